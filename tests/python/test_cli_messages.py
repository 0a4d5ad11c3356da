"""What the tools say when a command line or a folder is wrong: early, naming the file, with
the run and its outputs as they would be without the message."""

import os
import subprocess

BIN = os.environ["BIN_DIR"]
EXAMPLES = os.environ["EXAMPLES_DIR"]
READER = os.path.join(BIN, "daq-reader")
TABLE2H5 = os.path.join(BIN, "daq-table2h5")
RUN = os.path.join(EXAMPLES, "sim-2024.run.json")


def run(args, cwd, **kw):
    return subprocess.run(args, cwd=cwd, capture_output=True, timeout=120, **kw)


def test_unwritable_output_folders_are_named_before_the_first_event(tmp_path):
    good, bad = tmp_path / "good", tmp_path / "bad"
    for d in (good, bad):
        d.mkdir()
    (good / "img").mkdir()
    (bad / "afile").write_text("")
    words = {good: ["-imdump", "img", "-xdump", "img/d.xml"],
             bad: ["-imdump", "nodir", "-xdump", "nodir/d.xml"]}
    runs = {d: run([READER, "--quiet", RUN, "--", "-evstat", *w], d) for d, w in words.items()}
    assert runs[good].returncode == 0 and b"warning" not in runs[good].stderr, runs[good].stderr
    warnings = [
        b"libDAQUser: warning: image folder nodir (-imdump): No such file or directory; no image "
        b"file will be written",
        b"libDAQUser: warning: XML description nodir/d.xml (-xdump): folder nodir: No such file "
        b"or directory; it will not be written"]
    # Both streams in one pipe: the warnings come before anything the plug-in prints.
    merged = subprocess.run([READER, "--quiet", RUN, "--", "-evstat", *words[bad]], cwd=bad,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
    assert merged.stdout.split(b"\n")[:2] == warnings, merged.stdout[:400]
    # The run is what it was: status 3 at the end, the same table and event IDs, standard
    # output differing by the lines of the files that failed only.
    r = runs[bad]
    assert r.returncode == 3
    assert r.stderr.split(b"\n")[:2] == warnings
    assert b"image files not written in nodir" in r.stderr
    assert b"cannot write the XML description nodir/d.xml" in r.stderr
    for name in ("user_out.txt", "user_evids.txt"):
        assert (bad / name).read_bytes() == (good / name).read_bytes(), name
    failed = (b"Failed to dump image", b"Failed to dump XML description")
    kept = [line for line in r.stdout.split(b"\n") if not line.startswith(failed)]
    assert kept == runs[good].stdout.split(b"\n")
    assert len(kept) < len(r.stdout.split(b"\n"))

    # A file where the folder should be; a description that is a folder.
    r = run([READER, "--quiet", RUN, "--", "-nodump", "-xdump", "img"], good)
    assert r.stderr.startswith(b"libDAQUser: warning: XML description img (-xdump): Is a "
                               b"directory; it will not be written\n"), r.stderr
    r = run([READER, "--quiet", RUN, "--", "-imdump", "afile"], bad)
    assert r.stderr.startswith(b"libDAQUser: warning: image folder afile (-imdump): Not a "
                               b"directory;"), r.stderr
    # -nodump writes no image: nothing to warn of.
    r = run([READER, "--quiet", RUN, "--", "-nodump", "-imdump", "nodir"], bad)
    assert r.returncode == 0 and b"warning" not in r.stderr, r.stderr


def test_usage_errors_show_the_command_meant_and_name_the_file(tmp_path):
    # Plug-in words before "--", one with a value, another option among them: the line as
    # meant, which then runs.
    r = run([READER, RUN, "-evstat", "-out", "t x.txt", "--quiet", "-xdump", "--", "-nonvn"],
            tmp_path)
    assert r.returncode == 2 and r.stdout == b""
    meant = f"daq-reader {RUN} --quiet -- -evstat -out 't x.txt' -xdump -nonvn"
    assert r.stderr.decode() == (
        "daq-reader: unknown option -evstat: the plug-in's words go after -- (see daq-reader "
        f"--help); did you mean: {meant}\n")
    env = dict(os.environ, PATH=BIN + os.pathsep + os.environ["PATH"])
    assert subprocess.run(meant, shell=True, cwd=tmp_path, env=env,
                          capture_output=True).returncode == 0
    assert sorted(os.listdir(tmp_path)) == ["t x.txt", "user_descr.xml", "user_evids.txt"]
    # Not a plug-in word: the plain usage error.
    r = run([READER, RUN, "-evstats"], tmp_path)
    assert r.stderr == b"daq-reader: unknown option -evstats (see daq-reader --help)\n"

    r = run([READER, "--channels", "NOPE", RUN], tmp_path)
    assert r.returncode == 2
    assert r.stderr.startswith(f"daq-reader: {RUN}: ".encode()), r.stderr
    for args, name in [([str(tmp_path)], tmp_path), (["--xml", str(tmp_path), RUN], tmp_path)]:
        r = run([TABLE2H5, *args], tmp_path)
        assert (r.returncode, r.stderr) == (2, f"daq-table2h5: {name}: is a directory\n".encode())
