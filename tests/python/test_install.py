"""The installed tree and the Debian package, used as a user would: install into a prefix,
move it, run the demo's commands from there and compare every output with the build tree's;
build a plug-in against the installed host with pkg-config and with find_package; extract the
package into a root and run the demo from it."""

import filecmp
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
    for program in PROGRAMS:
        assert os.access(os.path.join(moved, "bin", program), os.X_OK)
        assert os.path.exists(os.path.join(moved, "share/bash-completion/completions", program))
        with open(os.path.join(moved, "share/man/man1", program + ".1")) as page:
            text = page.read()
        assert '.TH "' + program + '" "1"' in text and "EXIT STATUS" in text
    assert os.path.exists(os.path.join(moved, "share/man/man5/daq-runfile.5"))
    plugins = sorted(os.listdir(os.path.join(moved, "lib/daquser")))
    assert plugins == ["libDAQUser.so", "libDAQUserH5.so"]
    assert os.path.exists(os.path.join(moved, "lib/libvexahost.so"))
    assert os.path.exists(os.path.join(moved, "include/vexa/vexa_daq_reader_2024.h"))


def elf_files(root):
    for folder, _, files in os.walk(root):
        for name in files:
            path = os.path.join(folder, name)
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


PLUGIN = r'''
#include <cstdio>
#include "vexa_daq_reader_2024.h"
#include "vexa_daq_data.h"
static int events = 0;
int vexa_user_init_2024(int, char**, vexa_daq_reader_2024* r) {
  std::printf("mine: %d channels\n", r->get_number_of_channels());
  return 0;
}
int vexa_user_loop(vexa_daq_getdata*) { return ++events, 0; }
int vexa_user_end_2024(vexa_daq_reader_2024*) { return std::printf("mine: %d events\n", events), 0; }
'''


def check_plugin(moved, library, cwd):
    r = sh([os.path.join(moved, "bin/daq-reader"), "--quiet", "--plugin", library, RUN], cwd=cwd)
    assert r.stdout == b"mine: 9 channels\nmine: 20 events\n"


def test_plugin_builds_with_pkg_config(moved, tmp_path):
    (tmp_path / "mine.cc").write_text(PLUGIN)
    env = dict(ENV, PKG_CONFIG_PATH=os.path.join(moved, "lib/pkgconfig"))
    flags = sh(["pkg-config", "--cflags", "--libs", "vexahost"], env=env).stdout.decode().split()
    assert sh(["pkg-config", "--modversion", "vexahost"], env=env).stdout.strip() == \
        os.environ["PROJECT_VERSION"].encode()
    sh(["g++", "-std=c++20", "-shared", "-fPIC", "-Wl,--no-undefined", "mine.cc", *flags,
        "-o", "libmine.so"], cwd=tmp_path)
    check_plugin(moved, str(tmp_path / "libmine.so"), tmp_path)


def test_plugin_builds_with_find_package(moved, tmp_path):
    (tmp_path / "mine.cc").write_text(PLUGIN)
    (tmp_path / "CMakeLists.txt").write_text(
        "cmake_minimum_required(VERSION 3.20)\nproject(mine CXX)\n"
        "find_package(vexahost 1 REQUIRED)\n"
        "add_library(mine SHARED mine.cc)\n"
        "target_link_libraries(mine PRIVATE vexahost::vexahost)\n"
        "target_compile_features(mine PRIVATE cxx_std_20)\n"
        "target_link_options(mine PRIVATE -Wl,--no-undefined)\n"
        "file(WRITE ${CMAKE_BINARY_DIR}/plugin_dir.txt ${vexahost_PLUGIN_DIR})\n")
    sh(["cmake", "-S", ".", "-B", "b", "-DCMAKE_PREFIX_PATH=" + moved], cwd=tmp_path)
    sh(["cmake", "--build", "b"], cwd=tmp_path)
    assert os.path.samefile((tmp_path / "b/plugin_dir.txt").read_text(),
                            os.path.join(moved, "lib/daquser"))
    check_plugin(moved, str(tmp_path / "b/libmine.so"), tmp_path)


def test_completion_offers_options_and_plugin_words(moved):
    script = os.path.join(moved, "share/bash-completion/completions/daq-reader")
    r = sh(["bash", "-c", f"source '{script}'; "
            "COMP_WORDS=(daq-reader run.json -- -im); COMP_CWORD=3; _daq_tools daq-reader; "
            "echo ${COMPREPLY[@]}; COMP_WORDS=(daq-reader --nb); COMP_CWORD=1; "
            "_daq_tools daq-reader; echo ${COMPREPLY[@]}; "
            "COMP_WORDS=(daq-table2h5 --codec ''); COMP_CWORD=2; _daq_tools daq-table2h5; "
            "echo ${COMPREPLY[@]}; complete -p daq-quicklook"])
    assert r.stdout.decode().splitlines() == [
        "-imdump -imbin", "--nbunch", "gzip none bslz4",
        "complete -o filenames -F _daq_tools daq-quicklook"]


@pytest.fixture(scope="module")
def package(tmp_path_factory):
    out = tmp_path_factory.mktemp("package")
    sh(["cpack", "-G", "DEB", "--config", os.path.join(BUILD, "CPackConfig.cmake"), "-B",
        str(out)])
    debs = [name for name in os.listdir(out) if name.endswith(".deb")]
    assert debs == [f"daq-tools_{os.environ['PROJECT_VERSION']}_amd64.deb"] or \
        len(debs) == 1 and debs[0].startswith("daq-tools_")
    return str(out / debs[0])


def test_package_depends_and_files(package):
    fields = sh(["dpkg-deb", "-f", package, "Package", "Depends"]).stdout.decode()
    depends = {d.split()[0] for d in fields.split("Depends:")[1].split(",")}
    for needed in ["libhdf5-103-1", "hdf5-filter-plugin", "libisal2", "python3", "python3-h5py",
                   "python3-numpy", "python3-matplotlib", "libpugixml1v5"]:
        assert needed in depends, (needed, fields)
    assert "Package: daq-tools" in fields
    files = {line.split()[-1].lstrip(".") for line in
             sh(["dpkg-deb", "-c", package]).stdout.decode().splitlines()}
    for path in ["/usr/bin/" + p for p in PROGRAMS] + [
            "/usr/lib/daquser/libDAQUser.so", "/usr/lib/daquser/libDAQUserH5.so",
            "/usr/lib/libvexahost.so", "/usr/include/vexa/vexa_daq_data.h",
            "/usr/lib/pkgconfig/vexahost.pc", "/usr/lib/cmake/vexahost/vexahostConfig.cmake",
            "/usr/share/man/man5/daq-runfile.5", "/usr/share/man/man1/daq-reader.1",
            "/usr/share/bash-completion/completions/daq-table2h5",
            "/usr/share/daq-quicklook/ql_version.py"]:
        assert path in files, path


def test_package_root_runs_the_demo(package, reference, tmp_path):
    root = tmp_path / "root"
    sh(["dpkg-deb", "-x", package, str(root)])
    out = str(tmp_path / "out")
    assert demo(str(root / "usr/bin"), out) == reference[1]
    assert_same_outputs(reference[0], out)
