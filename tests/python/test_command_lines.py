"""The programs' command lines as a user meets them: --version, --help on standard output,
--opt=value beside --opt value, "--" and "-", one-line usage errors with status 2."""

import hashlib
import os
import subprocess

import h5py
import pytest

BIN = os.environ["BIN_DIR"]
EXAMPLES = os.environ["EXAMPLES_DIR"]
VERSION = os.environ["PROJECT_VERSION"]
READER = os.path.join(BIN, "daq-reader")
SIMULATE = os.path.join(BIN, "daq-simulate")
TABLE2H5 = os.path.join(BIN, "daq-table2h5")
QUICKLOOK = os.path.join(BIN, "daq-quicklook")
PROGRAMS = [READER, SIMULATE, TABLE2H5, QUICKLOOK]
RUN = os.path.join(EXAMPLES, "sim-2024.run.json")


def run(args, cwd=None, stdin=None, input=None):
    return subprocess.run(args, cwd=cwd, stdin=stdin, input=input, capture_output=True,
                          timeout=120)


def tree(folder):
    """Every file under folder with the digest of its bytes."""
    out = {}
    for root, _, files in os.walk(folder):
        for name in files:
            path = os.path.join(root, name)
            with open(path, "rb") as f:
                out[os.path.relpath(path, folder)] = hashlib.sha256(f.read()).hexdigest()
    return out


@pytest.mark.parametrize("program", PROGRAMS, ids=os.path.basename)
def test_version_and_help_go_to_stdout(program):
    name = os.path.basename(program)
    r = run([program, "--version"])
    assert (r.returncode, r.stdout, r.stderr) == (0, f"{name} {VERSION}\n".encode(), b"")
    r = run([program, "--help"])
    assert r.returncode == 0 and r.stderr == b""
    assert b"usage:" in r.stdout and b"Exit status" in r.stdout
    assert b"--version" in r.stdout


@pytest.mark.parametrize("program,args", [
    (READER, ["--bogus", RUN]), (READER, [RUN, "--nbunch"]), (READER, ["--quiet=1", RUN]),
    (READER, ["-", "-"]), (SIMULATE, ["--events=x"]), (SIMULATE, ["--", "stray"]),
    (TABLE2H5, ["--memory=0", "t.txt"]), (TABLE2H5, ["-o", "-", "t.txt"]),
    (TABLE2H5, ["-"]), (QUICKLOOK, ["--bogus", "x.h5"]), (QUICKLOOK, ["x.h5", "-o", "-",
                                                                     "--describe"]),
], ids=lambda v: v if isinstance(v, str) and not v.startswith("/") else None)
def test_usage_error_is_one_line_and_status_two(program, args, tmp_path):
    r = run([program, *args], cwd=tmp_path, stdin=subprocess.DEVNULL)
    assert r.returncode == 2, r.stderr
    assert r.stdout == b""
    if program != QUICKLOOK:  # argparse adds its usage line before the reason
        assert r.stderr.count(b"\n") == 1, r.stderr
    assert r.stderr.rstrip().split(b"\n")[-1].startswith(os.path.basename(program).encode())
    assert os.listdir(tmp_path) == []


def test_reader_takes_both_forms_dashes_and_stdin(tmp_path):
    """--opt=value is --opt value; "-" reads the recording from standard input; "--" hands
    the rest to the plug-in."""
    outs = {}
    for form, args, stdin in [
            ("spaced", ["--nbunch", "3", "--channels", "ADC.1,CAM.1", RUN], None),
            ("joined", ["--nbunch=3", "--channels=ADC.1,CAM.1", RUN], None),
            ("stdin", ["--nbunch=3", "--channels=ADC.1,CAM.1", "-"], RUN)]:
        folder = tmp_path / form
        folder.mkdir()
        with open(stdin or os.devnull, "rb") as f:
            r = run([READER, "--quiet", *args, "--", "-evstat", "-imdump", "-out", "t.txt"],
                    cwd=folder, stdin=f)
        assert r.returncode == 0, r.stderr
        outs[form] = (r.stdout, tree(folder))
    assert outs["spaced"] == outs["joined"] == outs["stdin"]
    assert "t.txt" in outs["spaced"][1] and "user_evids.txt" in outs["spaced"][1]
    head = open(tmp_path / "stdin" / "t.txt").readline()
    assert head == "EventId\tTime\t\t\tADC.1\tCAM.1\n"

    # A file already read past a header by the caller is read from where it stands.
    (tmp_path / "headed.txt").write_bytes(b"# a header line\n" + open(RUN, "rb").read())
    (tmp_path / "past").mkdir()
    with open(tmp_path / "headed.txt", "rb", buffering=0) as f:
        while os.read(f.fileno(), 1) != b"\n":
            pass
        r = run([READER, "--quiet", "--nbunch=3", "--channels=ADC.1,CAM.1", "-", "--", "-evstat",
                 "-imdump", "-out", "t.txt"], cwd=tmp_path / "past", stdin=f)
    assert r.returncode == 0, r.stderr
    assert (r.stdout, tree(tmp_path / "past")) == outs["stdin"]

    r = run([READER, "-"], cwd=tmp_path, input=b"{")
    assert r.returncode == 2
    assert r.stderr.startswith(b"daq-reader: standard input: line 1"), r.stderr


def test_reader_help_explains_its_options_and_the_plugins_words():
    r = run([READER, "--help"])
    for word in [b"--channels", b"--nbunch", b"--outmode", b"--plugin", b"--quiet", b"-imdump",
                 b"-h5z"]:
        assert word in r.stdout, word


def test_simulate_takes_both_forms_and_the_end_of_options(tmp_path):
    a = run([SIMULATE, "--events", "3", "--image", "8x6", "--seed", "5"])
    b = run([SIMULATE, "--events=3", "--image=8x6", "--seed=5", "--"])
    assert a.returncode == b.returncode == 0
    assert a.stdout == b.stdout and a.stdout.startswith(b'{"generation":2024')


def test_table2h5_reads_standard_input_and_takes_both_forms(tmp_path):
    r = run([READER, "--quiet", RUN, "--", "-hdf5", "-xdump"], cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    table = tmp_path / "user_out.txt"
    with open(table, "rb") as f:
        piped = subprocess.run(f"cat user_out.txt | {TABLE2H5} --output=piped.h5 "
                               "--xml=user_descr.xml -", shell=True, cwd=tmp_path,
                               capture_output=True)
    assert piped.returncode == 0, piped.stderr
    with open(table, "rb") as f:
        redirected = run([TABLE2H5, "-o", "redirected.h5", "--xml", "user_descr.xml", "--",
                          "-"], cwd=tmp_path, stdin=f)
    assert redirected.returncode == 0, redirected.stderr
    # A table after a line the caller has read off: from where it stands.
    (tmp_path / "headed.txt").write_bytes(b"# header\n" + table.read_bytes())
    with open(tmp_path / "headed.txt", "rb", buffering=0) as f:
        while os.read(f.fileno(), 1) != b"\n":
            pass
        headed = run([TABLE2H5, "-o", "headed.h5", "--xml", "user_descr.xml", "-"],
                     cwd=tmp_path, stdin=f)
    assert headed.returncode == 0, headed.stderr
    named = run([TABLE2H5, "-o", "named.h5", "--xml", "user_descr.xml", "user_out.txt"],
                cwd=tmp_path)
    # The summary names the table as given; otherwise the three runs say the same.
    assert piped.stdout.replace(b"piped.h5", b"redirected.h5") == redirected.stdout
    assert piped.stdout.replace(b"standard input", b"user_out.txt").replace(
        b"piped.h5", b"named.h5") == named.stdout
    values = []
    for name in ("piped.h5", "redirected.h5", "named.h5", "headed.h5"):
        with h5py.File(tmp_path / name, "r") as f:
            values.append((f["run/EventId"][:].tolist(), f["run/ADC.1/Member0"][:].tobytes(),
                           f["run/CAM.1/Pixels"][:].tobytes()))
    assert values[0] == values[1] == values[2] == values[3]
    check = run([TABLE2H5, "--check", "-"], cwd=tmp_path, stdin=open(table, "rb"))
    assert check.returncode == 0 and b"standard input: 20 events" in check.stdout
    assert not os.path.exists(tmp_path / "-") and not os.path.exists(tmp_path / "-.h5")


def test_quicklook_writes_one_page_to_stdout_and_makes_no_folder(tmp_path):
    r = run([READER, "--quiet", RUN, "--", "-nodump", "-h5", "run.h5"], cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    one = run([QUICKLOOK, "run.h5", "--channels=TOROID.1", "-o", "-"], cwd=tmp_path)
    assert one.returncode == 0, one.stderr
    assert one.stdout.startswith(b"\x89PNG\r\n\x1a\n")
    many = run([QUICKLOOK, "run.h5", "-o", "-"], cwd=tmp_path)
    assert many.returncode == 2 and many.stdout == b""
    assert b"pages do not fit standard output" in many.stderr
    missing = run([QUICKLOOK, "run.h5", "-o", "no/such/x.png"], cwd=tmp_path)
    assert missing.returncode == 1
    assert missing.stderr == b"daq-quicklook: no/such/x.png: cannot write (no folder no/such)\n"
    assert sorted(os.listdir(tmp_path)) == ["run.h5"]


def test_quicklook_ignores_the_python_environment(tmp_path):
    """A PYTHONPATH made for another Python does not reach the Debian one it runs with."""
    (tmp_path / "numpy").mkdir()
    (tmp_path / "numpy" / "__init__.py").write_text("raise ImportError('wrong numpy')\n")
    env = dict(os.environ, PYTHONPATH=str(tmp_path))
    r = subprocess.run([QUICKLOOK, "--version"], env=env, capture_output=True)
    assert r.returncode == 0, r.stderr
