"""The campaign tests' shared pieces: the built programs, the example inputs, the workflow."""

import filecmp
import os
import shutil
import subprocess
import sys

import h5py
import numpy as np

BIN = os.environ.get("BIN", "")
WORKFLOW = os.environ["WORKFLOW"]
EXAMPLES = os.environ["CAMPAIGN_EXAMPLES"]
SNAKEMAKE = "/usr/bin/snakemake"
PYTHON = "/usr/bin/python3"
WORDS = ["-hdf5", "-evstat", "-xdump"]
READER_FILES = ["user_out.txt", "user_evids.txt", "user_descr.xml"]

sys.path.insert(0, os.path.join(WORKFLOW, "scripts"))
sys.dont_write_bytecode = True


def copy_inputs(names, dest):
    """Copies the example inputs of `names` (with a table's XML) into `dest`."""
    os.makedirs(dest, exist_ok=True)
    for name in names:
        for ext in (".run.json", ".txt", ".xml"):
            src = os.path.join(EXAMPLES, name + ext)
            if os.path.exists(src):
                shutil.copy(src, dest)
    return dest


def by_hand(inp, folder):
    """The run's files made with the tools themselves, as a user would."""
    os.makedirs(folder, exist_ok=True)
    if inp.endswith(".run.json"):
        with open(os.path.join(folder, "reader.log"), "w") as log:
            return subprocess.run([os.path.join(BIN, "daq-reader"), "--quiet", os.path.abspath(inp),
                                   "--", *WORDS, "-h5", "run.h5", "-h5z", "gzip"],
                                  cwd=folder, stdout=log, stderr=log).returncode == 0
    xml = inp[:-4] + ".xml"
    cmd = [os.path.join(BIN, "daq-table2h5"), "-o", os.path.join(folder, "run.h5")]
    cmd += ["--xml", xml] if os.path.exists(xml) else []
    with open(os.path.join(folder, "table2h5.log"), "w") as log:
        return subprocess.run(cmd + ["--codec", "gzip", inp], stdout=log, stderr=log).returncode == 0


def snakemake_cmd(out, *args, inputs="inputs", config=(), bin=BIN):
    """The documented local command (with `args`); `config`: further --config items."""
    return [SNAKEMAKE, "-s", os.path.join(WORKFLOW, "Snakefile"), *args, "--keep-going",
            "--rerun-incomplete", "--scheduler", "greedy", "--config", f"out={out}", f"bin={bin}",
            f"runs=[{inputs}/*.run.json,{inputs}/*.txt]", *config]


def snakemake(workdir, out, *args, env=None, inputs="inputs", config=()):
    return subprocess.run(snakemake_cmd(out, *args, inputs=inputs, config=config), cwd=workdir,
                          capture_output=True, text=True, env=env)


def same_h5(a, b, paths_differ=False):
    """Every dataset and attribute of two HDF5 files equal (NaN equal to NaN); with
    `paths_differ`, save the attributes that name the inputs."""
    with h5py.File(a, "r") as fa, h5py.File(b, "r") as fb:
        names_a, names_b = [], []
        fa.visit(names_a.append)
        fb.visit(names_b.append)
        assert names_a == names_b
        for name in ["/"] + names_a:
            oa, ob = fa[name], fb[name]
            assert sorted(oa.attrs) == sorted(ob.attrs), name
            for key in oa.attrs:
                if key in ("DIMENSION_LIST", "REFERENCE_LIST"):
                    continue  # references into each file: the scales are compared by name
                if paths_differ and key in ("source_file", "description_file", "plugin_options"):
                    continue
                assert_equal(oa.attrs[key], ob.attrs[key], f"{name}@{key}")
            if isinstance(oa, h5py.Dataset):
                assert ([[s.name for s in d.values()] for d in oa.dims] ==
                        [[s.name for s in d.values()] for d in ob.dims]), name
                if paths_differ and name in ("campaign/runs/input", "campaign/runs/plugin_options"):
                    continue
                assert_equal(oa[()], ob[()], name)


def assert_equal(x, y, what=""):
    x, y = np.asarray(x), np.asarray(y)
    assert x.shape == y.shape, what
    if x.dtype.kind == "f":
        np.testing.assert_array_equal(x, y, err_msg=what)  # NaN == NaN here
    else:
        assert (x == y).all(), what


def same_files(a, b, names):
    for name in names:
        assert filecmp.cmp(os.path.join(a, name), os.path.join(b, name), shallow=False), name
