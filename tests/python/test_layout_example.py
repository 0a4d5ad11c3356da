"""The reading example of docs/hdf5-layout.md, run as a user would run it on
a run file made by the built daq-reader and daq-table2h5."""
import os
import re
import subprocess

import h5py
import numpy as np


def make_run(tmp_path):
    subprocess.run([os.environ["READER"], "--quiet", "--outmode", "1", os.environ["RUN_JSON"],
                    "--", "-hdf5", "-xdump"], cwd=tmp_path, check=True,
                   stdout=subprocess.DEVNULL)
    subprocess.run([os.environ["TABLE2H5"], "-o", "run.h5", "--xml", "user_descr.xml",
                    "user_out.txt"], cwd=tmp_path, check=True, stdout=subprocess.DEVNULL)


def example_code(doc=None, after="## Reading it"):
    text = open(doc or os.environ["LAYOUT_DOC"], encoding="utf-8").read()
    reading = text[text.index(after):]
    return re.search(r"```python\n(.*?)```", reading, re.S).group(1)


def test_layout_example_runs(tmp_path, monkeypatch):
    make_run(tmp_path)
    monkeypatch.chdir(tmp_path)
    names = {}
    exec(compile(example_code(), "hdf5-layout.md", "exec"), names)
    time, bpm, toroid = names["time"], names["bpm"], names["toroid"]
    with h5py.File("run.h5", "r") as f:
        run = f["run"]
        assert len(time) == run.attrs["events"] == len(run["EventId"])
        assert str(time[0]).startswith("2024-12-08")
        assert list(bpm.columns) == list(run["BPM.1"].attrs["pair_names"])
        assert isinstance(run.attrs["producer"], str)
        assert isinstance(run["TOROID.1"].attrs["kind"], str)
        assert np.isnan(toroid[run["TOROID.1/Missing"][:] != 0]).all()
        assert run["CAM.1/Pixels"].dtype in (np.uint8, np.uint16)
        assert run["TOROID.1/Value"].attrs["_FillValue"] != run["TOROID.1/Value"].attrs["_FillValue"]
    assert names["mean_frame"].ndim == 2
    assert isinstance(names["iso"][0], str)
    assert names["toroid_x"].Value.attrs["units"] == "nC"


def test_readme_example_runs(tmp_path, monkeypatch):
    """The README's snippet, on the run file where make demo leaves it: its batched mean
    frame is the mean of the present frames."""
    (tmp_path / "out" / "hdf5").mkdir(parents=True)
    make_run(tmp_path / "out" / "hdf5")
    monkeypatch.chdir(tmp_path)
    readme = os.path.join(os.path.dirname(os.environ["LAYOUT_DOC"]), os.pardir, "README.md")
    names = {}
    exec(compile(example_code(readme, "```python\nimport h5py"), "README.md", "exec"), names)
    with h5py.File("out/hdf5/run.h5", "r") as f:
        cam = f["run/CAM.1"]
        present = cam["Missing"][:] == 0
        np.testing.assert_allclose(names["mean_frame"], cam["Pixels"][present].mean(axis=0))
        assert list(names["iso"]) == list(f["run/TimeISO"].asstr()[:])
        assert int(f["run"].attrs["layout_version"]) == 3
    assert isinstance(names["iso"][0], str)
    assert "EventId" in names["toroid_x"].Value.dims
