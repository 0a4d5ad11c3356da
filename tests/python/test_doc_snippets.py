"""Every Python snippet of the README, the layout page and the campaign page, run as it stands
on the files `make demo` leaves in out/hdf5/ and on a campaign index of two runs that reuse
their event IDs, so that no snippet can rot; and what the snippets compute, checked against
the files."""
import os
import re
import subprocess
import sys

import h5py
import numpy as np
import pytest

SOURCE = os.environ["SOURCE_DIR"]
PAGES = ["README.md", "docs/hdf5-layout.md", "docs/campaigns.md"]


def snippets():
    for page in PAGES:
        text = open(os.path.join(SOURCE, page), encoding="utf-8").read()
        for k, m in enumerate(re.finditer(r"```python\n(.*?)```", text, re.S)):
            yield pytest.param(page, m.group(1), id=f"{page}#{k}")


@pytest.fixture(scope="module")
def demo(tmp_path_factory):
    """out/hdf5/ as make demo leaves it, and out/campaign/ with two copies of that run."""
    root = tmp_path_factory.mktemp("demo")
    hdf5 = root / "out" / "hdf5"
    hdf5.mkdir(parents=True)
    subprocess.run([os.environ["READER"], "--quiet", "--outmode", "1", os.environ["RUN_JSON"],
                    "--", "-hdf5", "-evstat", "-xdump", "-h5", "run.h5"], cwd=hdf5, check=True,
                   stdout=subprocess.DEVNULL)
    subprocess.run([os.environ["TABLE2H5"], "-o", "from-table.h5", "--xml", "user_descr.xml",
                    "user_out.txt"], cwd=hdf5, check=True, stdout=subprocess.DEVNULL)
    campaign = root / "out" / "campaign"
    for run in ("a", "b"):
        (campaign / run).mkdir(parents=True)
        os.link(hdf5 / "run.h5", campaign / run / "run.h5")
    subprocess.run([sys.executable, os.path.join(os.environ["WORKFLOW"], "scripts",
                                                 "campaign_index.py"),
                    "-o", str(campaign / "campaign.h5"), str(campaign / "a"), str(campaign / "b")],
                   check=True, stdout=subprocess.DEVNULL)
    return root


@pytest.mark.parametrize("page,code", snippets())
def test_snippet_runs(demo, monkeypatch, page, code, capsys):
    monkeypatch.chdir(demo)
    names = {}
    exec(compile(code, page, "exec"), names)
    check(names)


def check(names):
    """What a snippet computed, where it names it, against the run file read plainly."""
    with h5py.File("out/hdf5/run.h5", "r") as f:
        run = f["run"]
        assert int(run.attrs["layout_version"]) == 4
        cam = run["CAM.1"]
        present = cam["Missing"][:] == 0
        if "mean_frame" in names:
            want = cam["Pixels"][present].mean(axis=0)
            np.testing.assert_allclose(np.asarray(names["mean_frame"]), want)
        g = run["TOROID.1"]
        if "toroid" in names and len(names["toroid"]) == len(g["Value"]):
            toroid = names["toroid"]
            good = g["Missing"][:] == 0
            if "good" in names:
                good = names["good"]
            assert np.isnan(np.asarray(toroid, dtype=float)[~good]).all()
            np.testing.assert_array_equal(np.asarray(toroid, dtype=float)[good],
                                          g["Value"][:][good])
        if "iso" in names:
            assert isinstance(names["iso"][0], str)
        if "table" in names and "run" not in names["table"].index.names:
            beam = run["EventTypeName"].asstr()[:] != "pedestal"
            assert list(names["table"].index) == list(run["EventId"][:][beam])
        if "gauge" in names and hasattr(names["gauge"], "dims"):
            gauge = run["VAC.GAUGE"]
            assert int(names["gauge"].count()) == int((gauge["Missing"][:] == 0).sum())
    if "per_run" in names:
        # Two runs with the same event IDs stay two runs.
        assert len(names["per_run"]) == 2
        assert list(names["table"].index.names) == ["run", "EventId"]
