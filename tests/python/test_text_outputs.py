"""The text outputs (table, standard output, event-ID file, XML description, image files) of every
example under each mix of option words and both outmodes, against the digests of what stored
files and callers know (text_outputs.json). A change to them needs an issue that names it; then
`/usr/bin/python3 tests/python/test_text_outputs.py BIN_DIR` writes the digests anew."""

import hashlib
import json
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
DIGESTS = os.path.join(HERE, "text_outputs.json")
EXAMPLES = os.environ.get("EXAMPLES_DIR", os.path.join(HERE, "..", "..", "examples"))
MIXES = ["", "-dumpall", "-evstat -nostat", "-nonvn -zerocheck", "-hdf5", "-imdump img",
         "-imdump img -imbin",
         "-fti ADC.1;TOROID.1 -xdump descr.xml", "-h5 run.h5 -h5z none -evstat"]


def digest(data):
    return hashlib.sha256(data).hexdigest()[:16]


def outputs(bin_dir, example, mix, outmode, folder):
    """What one run leaves: its exit status, standard output and every file but the run file."""
    os.makedirs(os.path.join(folder, "img"))
    r = subprocess.run([os.path.join(bin_dir, "daq-reader"), "--quiet", "--outmode", str(outmode),
                        example, "--", "-out", "table.txt", *mix.split()],
                       cwd=folder, capture_output=True, timeout=120,
                       env={**os.environ, "TZ": "UTC"})  # image file names hold the local time
    found = {"status": str(r.returncode), "stdout": digest(r.stdout)}
    for root, _, files in os.walk(folder):
        for name in files:
            if name != "run.h5":
                path = os.path.join(root, name)
                with open(path, "rb") as f:
                    found[os.path.relpath(path, folder)] = digest(f.read())
    return found


def all_outputs(bin_dir):
    runs = {}
    examples = sorted(f for f in os.listdir(EXAMPLES) if f.endswith(".run.json"))
    with tempfile.TemporaryDirectory() as tmp:
        for example in examples:
            for mix in MIXES:
                for outmode in (0, 1):
                    key = f"{example} [{mix}] outmode {outmode}"
                    folder = os.path.join(tmp, str(len(runs)))
                    runs[key] = outputs(bin_dir, os.path.join(EXAMPLES, example), mix, outmode,
                                        folder)
    return runs


def test_text_outputs_keep_their_bytes():
    with open(DIGESTS) as f:
        want = json.load(f)
    got = all_outputs(os.environ["BIN_DIR"])
    assert sorted(got) == sorted(want)
    differ = [f"{key}: {name}" for key in want for name in sorted(set(want[key]) | set(got[key]))
              if want[key].get(name) != got[key].get(name)]
    assert not differ, "\n".join(differ)


if __name__ == "__main__":
    with open(DIGESTS, "w") as f:
        json.dump(all_outputs(sys.argv[1]), f, indent=1, sort_keys=True)
        f.write("\n")
