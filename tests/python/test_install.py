"""The installed tree and the Debian packages, used as a user would: install into a prefix,
move it, run the demo's commands from there and compare every output with the build tree's;
build the installed example plug-in against the installed host with its Makefile (pkg-config)
and with find_package; extract the packages into a root and run the demo from it; lintian."""

import filecmp
import gzip
import os
import shutil
import subprocess

import h5py
import pytest

BUILD = os.environ["BUILD_DIR"]
SOURCE = os.environ["SOURCE_DIR"]
RUN = os.path.join(SOURCE, "examples", "sim-2024.run.json")
PROGRAMS = ["daq-reader", "daq-simulate", "daq-table2h5", "daq-quicklook"]
WORDS = ["-evstat", "-xdump", "-imdump", "images"]
LIBDIR = "lib/" + subprocess.run(["gcc", "-print-multiarch"], capture_output=True,
                                 text=True).stdout.strip()
EXAMPLES = "share/doc/daq-tools/examples"

# A user's environment: nothing that points into the build tree.
ENV = {k: v for k, v in os.environ.items() if not k.startswith(("LD_", "PYTHON"))}


def sh(args, cwd=None, env=ENV, **kw):
    r = subprocess.run(args, cwd=cwd, env=env, capture_output=True, timeout=300, **kw)
    assert r.returncode == 0, (args, r.stdout[-2000:], r.stderr[-2000:])
    return r


def demo(bin_dir, out):
    """The commands of make demo, with the programs of bin_dir, into out/tab and out/hdf5;
    returns their standard outputs."""
    outputs = []
    for mode, args in [("tab", [RUN, "--", *WORDS]),
                       ("hdf5", ["--outmode", "1", RUN, "--", "-hdf5", *WORDS, "-h5", "run.h5"])]:
        folder = os.path.join(out, mode)
        os.makedirs(os.path.join(folder, "images"))
        outputs.append(sh([os.path.join(bin_dir, "daq-reader"), "--quiet", *args],
                          cwd=folder).stdout)
    hdf5 = os.path.join(out, "hdf5")
    outputs.append(sh([os.path.join(bin_dir, "daq-table2h5"), "-o", "from-table.h5", "--xml",
                       "user_descr.xml", "user_out.txt"], cwd=hdf5).stdout)
    sh([os.path.join(bin_dir, "daq-quicklook"), "run.h5", "-o", "run.png"], cwd=hdf5)
    return outputs


def h5_values(path):
    values = {}

    def keep(name, obj):
        if isinstance(obj, h5py.Dataset):
            data = obj[()]
            values[name] = data.tolist() if data.dtype.kind == "O" else data.tobytes()

    with h5py.File(path, "r") as f:
        f.visititems(keep)
    return values


def assert_same_outputs(a, b):
    """Every file of the two demo folders alike: text and images byte for byte, run files
    value for value."""
    for root, _, files in os.walk(a):
        for name in files:
            left = os.path.join(root, name)
            right = os.path.join(b, os.path.relpath(left, a))
            assert os.path.exists(right), right
            if name.endswith(".h5"):
                assert h5_values(left) == h5_values(right), name
            else:
                assert filecmp.cmp(left, right, shallow=False), name
    count = sum(len(files) for _, _, files in os.walk(a))
    assert count == sum(len(files) for _, _, files in os.walk(b))
    assert count > 30


@pytest.fixture(scope="module")
def reference(tmp_path_factory):
    out = tmp_path_factory.mktemp("build-tree")
    return str(out), demo(os.path.join(BUILD, "bin"), str(out))


@pytest.fixture(scope="module")
def moved(tmp_path_factory):
    """An installed tree, moved after installing."""
    base = tmp_path_factory.mktemp("install")
    sh(["cmake", "--install", BUILD, "--prefix", str(base / "first")])
    os.rename(base / "first", base / "moved")
    return str(base / "moved")


def test_moved_tree_gives_the_build_trees_outputs(moved, reference, tmp_path):
    out = str(tmp_path)
    assert demo(os.path.join(moved, "bin"), out) == reference[1]
    assert_same_outputs(reference[0], out)


def test_installed_layout(moved):
    completions = os.path.join(moved, "share/bash-completion/completions")
    for program in PROGRAMS:
        assert os.access(os.path.join(moved, "bin", program), os.X_OK)
        if program != "daq-reader":
            assert os.readlink(os.path.join(completions, program)) == "daq-reader"
        with gzip.open(os.path.join(moved, "share/man/man1", program + ".1.gz"), "rt") as page:
            text = page.read()
        assert '.TH "' + program + '" "1"' in text and "EXIT STATUS" in text
    assert os.path.exists(os.path.join(moved, "share/man/man5/daq-runfile.5.gz"))
    plugins = sorted(os.listdir(os.path.join(moved, "lib/daquser")))
    assert plugins == ["libDAQUser.so", "libDAQUserH5.so"]
    version = os.environ["PROJECT_VERSION"]
    assert os.readlink(os.path.join(moved, LIBDIR, "libvexahost.so")) == "libvexahost.so.1"
    assert os.readlink(os.path.join(moved, LIBDIR, "libvexahost.so.1")) == \
        "libvexahost.so." + version
    assert "Library soname: [libvexahost.so.1]" in sh(
        ["readelf", "-d", os.path.join(moved, LIBDIR, "libvexahost.so")]).stdout.decode()
    assert os.path.exists(os.path.join(moved, "include/vexa/vexa_daq_reader_2024.h"))
    assert {"README.md", "campaign", "minimal-plugin"} <= set(
        os.listdir(os.path.join(moved, EXAMPLES)))
    assert filecmp.cmp(os.path.join(moved, EXAMPLES, "sim-2024.run.json"), RUN, shallow=False)
    # The README shows the example plug-in whole.
    with open(os.path.join(moved, EXAMPLES, "minimal-plugin/mine.cc")) as mine, \
            open(os.path.join(SOURCE, "README.md")) as readme:
        assert "```cpp\n" + mine.read() + "```\n" in readme.read()
    site = os.path.join(moved, "lib/python3/dist-packages")
    assert os.path.exists(os.path.join(site, "daqrun/__init__.py")) and sh(
        ["/usr/bin/python3", "-c", "import daqrun"], cwd=moved,
        env=dict(ENV, PYTHONPATH=site, PYTHONDONTWRITEBYTECODE="1"))


def elf_files(root):
    for folder, _, files in os.walk(root):
        for name in files:
            path = os.path.join(folder, name)
            if os.path.islink(path):
                continue
            with open(path, "rb") as f:
                if f.read(4) == b"\x7fELF":
                    yield path


def test_nothing_installed_names_the_build_folder(moved):
    elves = list(elf_files(moved))
    assert len(elves) == 6
    for path in elves:
        dynamic = sh(["readelf", "-d", path]).stdout.decode()
        assert BUILD not in dynamic and SOURCE not in dynamic, path
        for line in dynamic.splitlines():
            if "RPATH" in line or "RUNPATH" in line:
                assert "[$ORIGIN" in line, (path, line)
    for folder, _, files in os.walk(moved):
        for name in files:
            with open(os.path.join(folder, name), "rb") as f:
                assert BUILD.encode() not in f.read(), name


def example_plugin(moved, tmp_path):
    """The installed example plug-in, copied out of the read-only documentation folder."""
    folder = tmp_path / "minimal-plugin"
    shutil.copytree(os.path.join(moved, EXAMPLES, "minimal-plugin"), folder)
    return folder


def check_plugin(moved, library, cwd):
    """The example plug-in on the installed example recording, with its default channel and with
    one named after "--": a line per event that carries the channel as a single value."""
    recording = os.path.join(moved, EXAMPLES, "sim-2024.run.json")
    reader = os.path.join(moved, "bin/daq-reader")
    lines = sh([reader, "--quiet", "--plugin", library, recording],
               cwd=cwd).stdout.decode().splitlines()
    assert lines[0] == "mine: 9 channels, showing TOROID.1" and lines[-1] == "mine: 20 events"
    assert lines[1] == "5000000000 1.000400" and len(lines) == 22
    lines = sh([reader, "--quiet", "--plugin", library, recording, "--", "VAC.GAUGE"],
               cwd=cwd).stdout.decode().splitlines()
    assert lines[0] == "mine: 9 channels, showing VAC.GAUGE" and len(lines) == 2 + 13


def test_example_plugin_builds_with_its_makefile(moved, tmp_path):
    folder = example_plugin(moved, tmp_path)
    env = dict(ENV, PKG_CONFIG_PATH=os.path.join(moved, LIBDIR, "pkgconfig"))
    assert sh(["pkg-config", "--modversion", "vexahost"], env=env).stdout.strip() == \
        os.environ["PROJECT_VERSION"].encode()
    sh(["make", "-s"], cwd=folder, env=env)
    check_plugin(moved, str(folder / "libmine.so"), tmp_path)


def test_example_plugin_builds_with_find_package(moved, tmp_path):
    folder = example_plugin(moved, tmp_path)
    (folder / "CMakeLists.txt").write_text(
        "cmake_minimum_required(VERSION 3.20)\nproject(mine CXX)\n"
        "find_package(vexahost 1 REQUIRED)\n"
        "add_library(mine SHARED mine.cc)\n"
        "target_link_libraries(mine PRIVATE vexahost::vexahost)\n"
        "target_compile_features(mine PRIVATE cxx_std_20)\n"
        "target_link_options(mine PRIVATE -Wl,--no-undefined)\n"
        "file(WRITE ${CMAKE_BINARY_DIR}/plugin_dir.txt ${vexahost_PLUGIN_DIR})\n")
    sh(["cmake", "-S", ".", "-B", "b", "-DCMAKE_PREFIX_PATH=" + moved], cwd=folder)
    sh(["cmake", "--build", "b"], cwd=folder)
    assert os.path.samefile((folder / "b/plugin_dir.txt").read_text(),
                            os.path.join(moved, "lib/daquser"))
    check_plugin(moved, str(folder / "b/libmine.so"), tmp_path)


def test_completion_offers_options_and_plugin_words(moved):
    script = os.path.join(moved, "share/bash-completion/completions/daq-reader")
    r = sh(["bash", "-c", f"source '{script}'; "
            "COMP_WORDS=(daq-reader run.json -- -im); COMP_CWORD=3; _daq_tools daq-reader; "
            "echo ${COMPREPLY[@]}; COMP_WORDS=(daq-reader --nb); COMP_CWORD=1; "
            "_daq_tools daq-reader; echo ${COMPREPLY[@]}; "
            "COMP_WORDS=(daq-table2h5 --codec ''); COMP_CWORD=2; _daq_tools daq-table2h5; "
            "echo ${COMPREPLY[@]}; complete -p daq-quicklook"])
    assert r.stdout.decode().splitlines() == [
        "-imdump -imbin", "--nbunch", "gzip none lz4 bslz4",
        "complete -o filenames -F _daq_tools daq-quicklook"]


@pytest.fixture(scope="module")
def packages(tmp_path_factory):
    """The two packages make deb builds, by package name."""
    out = tmp_path_factory.mktemp("package")
    sh(["cpack", "-G", "DEB", "--config", os.path.join(BUILD, "CPackConfig.cmake"), "-B",
        str(out)])
    version = os.environ["PROJECT_VERSION"]
    arch = sh(["dpkg", "--print-architecture"]).stdout.decode().strip()
    names = sorted(name for name in os.listdir(out) if name.endswith(".deb"))
    assert names == [f"daq-tools-dev_{version}_{arch}.deb", f"daq-tools_{version}_{arch}.deb"]
    return {name.split("_")[0]: str(out / name) for name in names}


def contents(deb):
    """Each file and link of a package: its path, and for a link its target."""
    entries = {}
    for line in sh(["dpkg-deb", "-c", deb]).stdout.decode().splitlines():
        path, _, target = line.split(None, 5)[5].partition(" -> ")
        if not path.endswith("/"):
            entries[path[1:]] = target or None
    return entries


def relations(deb, field):
    return [d.strip() for d in
            sh(["dpkg-deb", "-f", deb, field]).stdout.decode().split(",") if d.strip()]


def test_packages_split_runtime_and_dev(packages):
    runtime, dev = packages["daq-tools"], packages["daq-tools-dev"]
    version = os.environ["PROJECT_VERSION"]
    depends = {d.split()[0] for d in relations(runtime, "Depends")}
    for needed in ["libc6", "libstdc++6", "libhdf5-103-1", "hdf5-filter-plugin", "libisal2",
                   "libpugixml1v5", "python3"]:
        assert needed in depends, (needed, depends)
    # daq-quicklook's and daqrun's Python stack: recommended, not required.
    recommends = {d.split()[0] for d in relations(runtime, "Recommends")}
    assert {"python3-h5py", "python3-numpy", "python3-matplotlib"} <= recommends
    assert not recommends & depends
    assert relations(dev, "Depends") == [f"daq-tools (= {version})"]

    files, dev_files = contents(runtime), contents(dev)
    lib = "/usr/" + LIBDIR
    completions = "/usr/share/bash-completion/completions/"
    for path in ["/usr/bin/" + p for p in PROGRAMS] + [
            "/usr/lib/daquser/libDAQUser.so", "/usr/lib/daquser/libDAQUserH5.so",
            lib + "/libvexahost.so." + version, "/usr/share/man/man1/daq-reader.1.gz",
            "/usr/share/man/man5/daq-runfile.5.gz", completions + "daq-reader",
            "/usr/share/daq-quicklook/ql_version.py",
            "/usr/lib/python3/dist-packages/daqrun/__init__.py",
            "/usr/share/doc/daq-tools/copyright", "/usr/share/doc/daq-tools/changelog.gz",
            "/usr/share/doc/daq-tools/examples/sim-2024.run.json",
            "/usr/share/doc/daq-tools/examples/minimal-plugin/mine.cc"]:
        assert path in files, path
    assert files[lib + "/libvexahost.so.1"] == "libvexahost.so." + version
    for program in PROGRAMS[1:]:
        assert files[completions + program] == "daq-reader"
    assert dev_files[lib + "/libvexahost.so"] == "libvexahost.so.1"
    for path in ["/usr/include/vexa/vexa_daq_data.h", lib + "/pkgconfig/vexahost.pc",
                 lib + "/cmake/vexahost/vexahostConfig.cmake",
                 "/usr/share/doc/daq-tools-dev/copyright"]:
        assert path in dev_files, path
    assert not files.keys() & dev_files.keys()


def test_runtime_package_alone_runs_the_demo_stripped(packages, reference, tmp_path):
    root = tmp_path / "root"
    sh(["dpkg-deb", "-x", packages["daq-tools"], str(root)])
    out = str(tmp_path / "out")
    assert demo(str(root / "usr/bin"), out) == reference[1]
    assert_same_outputs(reference[0], out)
    elves = list(elf_files(root))
    assert len(elves) == 6
    for path in elves:
        sections = sh(["readelf", "-S", "-W", path]).stdout.decode()
        assert ".symtab" not in sections and ".debug_info" not in sections, path


@pytest.mark.skipif(shutil.which("lintian") is None, reason="lintian is not installed")
def test_lintian_reports_no_errors(packages):
    r = subprocess.run(["lintian", "--fail-on", "error", *packages.values()], env=ENV,
                       capture_output=True, timeout=300)
    errors = [line for line in r.stdout.decode().splitlines() if line.startswith("E:")]
    assert r.returncode == 0 and not errors, (errors, r.stderr.decode()[-2000:])
