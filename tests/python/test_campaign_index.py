"""The campaign index over run files the built tools make from the bundled example."""

import glob
import os
import shutil
import subprocess

import h5py
import numpy as np
import pandas as pd
import pytest

from campaign_fixtures import BIN, EXAMPLES, by_hand, assert_equal
import campaign_index


@pytest.fixture(scope="module")
def campaign(tmp_path_factory):
    root = tmp_path_factory.mktemp("campaign")
    out = root / "out"
    runs = []
    inputs = sorted(glob.glob(os.path.join(EXAMPLES, "*.run.json")) +
                    glob.glob(os.path.join(EXAMPLES, "*.txt")), key=os.path.basename)
    for inp in inputs:
        name = os.path.basename(inp).split(".")[0]
        by_hand(inp, str(out / name))
        runs.append(campaign_index.Run(name, str(out / name), inp, ""))
    as_layout_3(out / "beam-0102" / "run.h5")  # a run file of the layout before, beside layout 4
    campaign_index.build(str(out / "campaign.h5"), runs)
    return root, out, runs


def as_layout_3(path):
    """Turns a run file back into layout 3: no EventId links in the groups, axes '.'."""
    with h5py.File(path, "r+") as f:
        run = f["run"]
        run.attrs["layout_version"] = 3
        for g in run.values():
            if isinstance(g, h5py.Group) and "EventId" in g:
                del g["EventId"]
                if "axes" in g.attrs:
                    axes = [str(a) for a in np.atleast_1d(g.attrs["axes"])]
                    g.attrs["axes"] = ["."] + axes[1:]


def test_repeated_event_ids_are_counted(campaign, tmp_path):
    _, out, _ = campaign
    # The same run twice, and one of its IDs again within a third run.
    for name in ("a", "b", "c"):
        os.makedirs(tmp_path / name)
        shutil.copy(out / "beam-0101" / "run.h5", tmp_path / name)
    with h5py.File(tmp_path / "c" / "run.h5", "r+") as f:
        ids = f["run/EventId"]
        ids[:] = np.arange(10**9, 10**9 + len(ids))
        ids[1] = ids[0]
    runs = [campaign_index.Run(n, str(tmp_path / n)) for n in ("a", "b", "c")]
    campaign_index.build(str(tmp_path / "campaign.h5"), runs)
    with h5py.File(tmp_path / "campaign.h5", "r") as f:
        n = len(f["campaign/EventId"]) // 3
        assert list(f["campaign/runs/overlaps"][:]) == [n, n, 2]
        assert f["campaign"].attrs["duplicate_event_ids"] == 2 * n + 2



def per_event(run_file):
    with h5py.File(run_file, "r") as f:
        n = f["run"].attrs["events"]
        found = {}

        def visit(name, o):
            if (isinstance(o, h5py.Dataset) and o.shape[:1] == (n,) and o.maxshape[0] is None
                    and not name.endswith("/EventId")):  # a group's link to /run/EventId
                found[name] = o[()]

        f["run"].visititems(visit)  # visits EventId once, under any of its links
        found["EventId"] = f["run/EventId"][()]
        return found


def test_values_equal_run_files_run_by_run(campaign):
    _, out, runs = campaign
    with h5py.File(out / "campaign.h5", "r") as f:
        c = f["campaign"]
        index_paths = []
        c.visititems(lambda name, o: index_paths.append(name) if isinstance(o, h5py.Dataset) and o.is_virtual
                     and not name.endswith("/EventId") else None)
        index_paths.append("EventId")
        for run in (r for r in runs if r.status == "ok"):
            rows = slice(run.first_row, run.first_row + run.events)
            data = per_event(run.path)
            assert set(data) <= set(index_paths)
            for path in index_paths:
                ds = c[path]
                got = ds[rows]
                if path not in data:
                    # A channel this run lacks reads as its fill: not found, NaN, 0, ...
                    if path.endswith("/Missing"):
                        assert (got == 2).all(), (run.name, path)
                    elif ds.dtype.kind == "f":
                        assert np.isnan(got).all(), (run.name, path)
                    continue
                want = data[path]
                if want.dtype.kind == "O":
                    assert list(got) == list(want), (run.name, path)
                    continue
                # The run's own part, then the fill where the campaign is wider.
                part = tuple(slice(0, s) for s in want.shape[1:])
                assert_equal(got[(slice(None),) + part].astype(want.dtype), want, f"{run.name} {path}")
                pad = got.copy()
                pad[(slice(None),) + part] = ds.fillvalue
                fill = np.full_like(pad, ds.fillvalue)
                assert_equal(pad, fill, f"{run.name} {path} padding")


def test_widths_kinds_and_types_meet(campaign):
    _, out, _ = campaign
    with h5py.File(out / "campaign.h5", "r") as f:
        c = f["campaign"]
        assert c["ADC.1/Member0"].shape[1] == 80          # beam-0202's 80 samples, the widest
        assert c["CAM.1/Pixels"].shape[1:] == (30, 40)    # beam-0203's frames, the largest
        assert c["TOROID.1/Value"].dtype == np.float64    # the table's float64 over float32
        assert c["TOROID.2/Missing"].fillvalue == 2
        assert c["TimeISO"].dtype.kind == "O"


def test_runs_table_and_run_column(campaign):
    _, out, runs = campaign
    with h5py.File(out / "campaign.h5", "r") as f:
        c = f["campaign"]
        r = c["runs"]
        names = list(r["name"].asstr()[:])
        assert names == [run.name for run in runs]
        status = dict(zip(names, r["status"].asstr()[:]))
        assert status.pop("broken-0301") == "failed"
        assert set(status.values()) == {"ok"}
        k = names.index("broken-0301")
        assert r["events"][k] == 0 and r["file"].asstr()[k] == ""
        assert "broken-0301.run.json" in r["reason"].asstr()[k]
        assert r["file"].asstr()[names.index("beam-0101")] == "beam-0101/run.h5"
        assert r["generation"][names.index("beam-0101")] == 2010
        assert r["generation"][names.index("archive-0001")] == 0  # a table does not tell
        assert r["producer"].asstr()[names.index("archive-0001")] == "daq-table2h5"
        assert r["start"].attrs["units"] == "microseconds since 1970-01-01 00:00:00"
        # Per event, the run's row; the event IDs and times are the runs' first and last.
        run_col, ids, time = c["Run"][:], c["EventId"][:], c["Time"][:]
        assert len(run_col) == c.attrs["events"] == sum(r["events"][:])
        for row, name in enumerate(names):
            mine = run_col == row
            assert mine.sum() == r["events"][row]
            if mine.any():
                assert ids[mine][0] == r["first_event"][row] and ids[mine][-1] == r["last_event"][row]
                assert time[mine][0] == r["start"][row] and time[mine][-1] == r["end"][row]
        assert c.attrs["runs"] == len(names) and c.attrs["runs_failed"] == 1
        assert c.attrs["layout_version"] == 4 and c.attrs["duplicate_event_ids"] == 0
        # Each run file's size; the converter's text formats, per run (nothing for the plug-in).
        sizes = dict(zip(names, r["file_size"][:]))
        assert sizes.pop("broken-0301") == 0
        assert all(sizes[n] == os.path.getsize(out / n / "run.h5") for n in sizes)
        formats = dict(zip(names, r["text_format"].asstr()[:]))
        assert formats.pop("archive-0001") == "Member %.e; MemberStats %e; Value %f"
        assert set(formats.values()) == {""}
        assert "text_format" not in c["TOROID.1/Value"].attrs  # one run's: not the campaign's


def test_attributes_follow_the_layout(campaign):
    _, out, _ = campaign
    with h5py.File(out / "campaign.h5", "r") as f:
        c = f["campaign"]
        g = c["TOROID.1"]
        assert g.attrs["column"] == "TOROID.1" and g.attrs["unit"] == "nC"
        assert not [k for k in g.attrs if k.startswith("cells_")]  # one run's counts
        assert c["Time"].attrs["units"] == "microseconds since 1970-01-01 00:00:00"
        fill = c["TOROID.1/Value"].attrs["_FillValue"]
        assert np.isnan(fill) and np.asarray(fill).dtype == np.float64
        # EventId is the scale of every per-event axis.
        assert h5py.h5ds.is_scale(c["EventId"].id)
        for path in ("Time", "Run", "TOROID.1/Value", "CAM.1/Pixels", "ADC.1/Member0Length"):
            assert c[path].dims[0].values() == [c["EventId"]], path
        # Each channel group links to it (no copy) and is NXdata a viewer can draw.
        from silx.io.nxdata import is_valid_nxdata
        assert f.attrs["default"] == "campaign" and c.attrs["default"] == "TOROID.1"
        for name in ("TOROID.1", "BPM.1", "ADC.1", "CAM.1"):
            assert c[name + "/EventId"] == c["EventId"], name
            assert is_valid_nxdata(c[name]), name


def test_read_as_one_run_by_pandas_and_xarray(campaign):
    _, out, runs = campaign
    xr = pytest.importorskip("xarray")
    with h5py.File(out / "campaign.h5", "r") as f:
        c = f["campaign"]
        s = pd.Series(c["TOROID.1/Value"][:], index=pd.to_datetime(c["Time"][:], unit="us"))
        ids = c["EventId"][:]
    assert len(s) == sum(r.events for r in runs) and s.index.is_monotonic_increasing
    ds = xr.open_dataset(out / "campaign.h5", group="campaign/TOROID.1", engine="h5netcdf",
                         phony_dims="sort")
    try:
        assert ds["Value"].dims == ("EventId",)
        np.testing.assert_array_equal(ds["Value"].values, s.values)
    finally:
        ds.close()
    # A channel group opened alone: EventId its coordinate, the run files' own axes past it.
    for engine in ("h5netcdf", "netcdf4"):
        with xr.open_dataset(out / "campaign.h5", group="campaign/CAM.1", engine=engine) as ds:
            assert ds["Pixels"].dims == ("EventId", "PixelY", "PixelX"), engine
            assert ds["Pixels"].shape == (len(s), 30, 40)
            np.testing.assert_array_equal(ds["EventId"].values, ids)
    with xr.open_dataset(out / "campaign.h5", group="campaign", engine="h5netcdf") as ds:
        assert ds["Time"].dtype.kind == "M"  # its units make it a time axis


def test_moved_folder_still_reads(campaign, tmp_path):
    _, out, _ = campaign
    moved = tmp_path / "elsewhere"
    shutil.copytree(out, moved)
    cwd = os.getcwd()
    os.chdir("/")  # sources are found beside the index, not from the working folder
    try:
        with h5py.File(out / "campaign.h5", "r") as a, h5py.File(moved / "campaign.h5", "r") as b:
            want = a["campaign/VAC.GAUGE/Value"][:]
            shutil.rmtree(out / "beam-0101")  # the original is gone: only the copy can answer
            assert_equal(b["campaign/VAC.GAUGE/Value"][:], want)
            assert not np.isnan(want).all()
    finally:
        os.chdir(cwd)
        shutil.copytree(moved / "beam-0101", out / "beam-0101")


def test_index_of_failed_runs_only(tmp_path):
    runs = [campaign_index.Run(n, str(tmp_path / n)) for n in ("a", "b")]
    os.makedirs(tmp_path / "a")
    with open(tmp_path / "a" / "reader.log", "w") as f:
        f.write("daq-reader: a.run.json: cannot open\n")
    with open(tmp_path / "b.h5", "w"):
        pass
    os.makedirs(tmp_path / "b")
    with open(tmp_path / "b" / "run.h5", "w") as f:
        f.write("not HDF5")
    campaign_index.build(str(tmp_path / "campaign.h5"), runs)
    with h5py.File(tmp_path / "campaign.h5", "r") as f:
        c = f["campaign"]
        assert list(c["runs/status"].asstr()[:]) == ["failed", "failed"]
        reasons = list(c["runs/reason"].asstr()[:])
        assert reasons[0] == "reader.log: daq-reader: a.run.json: cannot open"
        assert reasons[1].startswith("run.h5:")
        assert c.attrs["events"] == 0 and c["Run"].shape == (0,)
    assert [p for p in os.listdir(tmp_path) if ".tmp-" in p] == []


def test_runs_written_whole_without_a_codec(tmp_path):
    """A short run without a codec has its datasets at their final size, not extendible; with 32
    events its StatBit axis is as long as the run and still no per-event dataset of the index."""
    rec = tmp_path / "s.run.json"
    subprocess.run([os.path.join(BIN, "daq-simulate"), "--quiet", "--events", "32", "--out",
                    str(rec)], check=True)
    for codec in ("none", "gzip"):
        folder = tmp_path / codec
        os.makedirs(folder)
        subprocess.run([os.path.join(BIN, "daq-reader"), "--quiet", str(rec), "--", "-nodump",
                        "-h5", "run.h5", "-h5z", codec], cwd=folder, check=True,
                       stdout=subprocess.DEVNULL)
        campaign_index.build(str(folder / "campaign.h5"), [campaign_index.Run(codec, str(folder))])
    with h5py.File(tmp_path / "none" / "run.h5", "r") as f:
        assert f["run/TOROID.1/Value"].maxshape == (32,)
        assert f["run/ADC.1/StatBit"].shape == (32,)

    def datasets(path):
        found = {}
        with h5py.File(path, "r") as f:
            f["campaign"].visititems(
                lambda name, o: found.__setitem__(name, (o.is_virtual, o[()]))
                if isinstance(o, h5py.Dataset) and o.shape[:1] == (32,) else None)
        return found

    whole, chunked = datasets(tmp_path / "none" / "campaign.h5"), datasets(
        tmp_path / "gzip" / "campaign.h5")
    assert sorted(whole) == sorted(chunked)
    assert whole["ADC.1/Missing"][0] and not whole["ADC.1/StatBit"][0]
    for name in whole:
        assert whole[name][0] == chunked[name][0], name
        assert_equal(whole[name][1], chunked[name][1], name)
