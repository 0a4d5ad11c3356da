"""daqrun over files the built tools make: the plug-in's and the converter's file of one run read
alike, masks from Missing and ChanStatus only, cameras frame by present frame, and a campaign
index of two runs that share their event IDs."""
import json
import os
import shutil
import subprocess
import sys
import warnings

import h5py
import numpy as np
import pandas as pd
import pytest

import daqrun

INDEX = os.path.join(os.path.dirname(__file__), "..", "..", "workflow", "scripts",
                     "campaign_index.py")
INT_FILL = np.iinfo(np.int32).min

# GAUGE (-fti) brings INT32_MIN as a value once and misses once; LATE starts in the third
# event; CAM misses a frame and its pixel 0 is a value; BPM has a bad status in one event.
HAND = {
    "generation": 2024,
    "channels": [{"name": "GAUGE"}, {"name": "LATE"}, {"name": "CAM"}, {"name": "BPM"}],
    "events": [
        {"id": 100, "type": 1, "sec": 1733632724, "channels": {
            "GAUGE": {"type": 2, "single": "0x00000007"},
            "CAM": {"type": 4, "image": {"bpp": 1, "nx": 2, "ny": 2, "data": "00010203"}},
            "BPM": {"type": 2, "pairs": [["x", 0.5], ["y", 1.5]]}}},
        {"id": 101, "type": 3, "sec": 1733632724, "usec": 100000, "channels": {
            "GAUGE": {"type": 2, "single": "0x80000000"},
            "BPM": {"type": 2, "pairs": [["x", 0.25]]}}},
        {"id": 102, "type": 1, "sec": 1733632724, "usec": 200000, "channels": {
            "LATE": {"type": 2, "single": 2.5},
            "CAM": {"type": 4, "image": {"bpp": 1, "nx": 2, "ny": 2, "data": "00050607"}},
            "BPM": {"type": 2, "header": {"status": 16}, "pairs": [["x", 9], ["y", 9]]}}},
        {"id": 105, "type": 1, "sec": 1733632724, "usec": 300000, "channels": {
            "GAUGE": {"type": 2, "single": "0x0000002a"},
            "LATE": {"type": 2, "single": 3.5},
            "CAM": {"type": 4, "image": {"bpp": 1, "nx": 2, "ny": 2, "data": "000a0b0c"}}}},
    ],
}


def both_files(folder, recording, words=()):
    """The plug-in's file and the converter's file of one recording."""
    os.makedirs(folder, exist_ok=True)
    subprocess.run([os.environ["READER"], "--quiet", "--outmode", "1", str(recording), "--",
                    "-hdf5", "-xdump", *words, "-h5", "run.h5"], cwd=folder, check=True,
                   stdout=subprocess.DEVNULL)
    subprocess.run([os.environ["TABLE2H5"], "-o", "table.h5", "--xml", "user_descr.xml",
                    "user_out.txt"], cwd=folder, check=True, stdout=subprocess.DEVNULL)
    return os.path.join(folder, "run.h5"), os.path.join(folder, "table.h5")


@pytest.fixture(scope="module")
def sim(tmp_path_factory):
    return both_files(tmp_path_factory.mktemp("sim"), os.environ["RUN_JSON"])


@pytest.fixture(scope="module")
def hand(tmp_path_factory):
    d = tmp_path_factory.mktemp("hand")
    (d / "hand.run.json").write_text(json.dumps(HAND))
    return both_files(d, d / "hand.run.json", ["-fti", "GAUGE"])


def test_both_producers_read_alike(sim, hand):
    for plugin, table in (sim, hand):
        with daqrun.open(plugin) as p, daqrun.open(table) as t:
            assert (p.producer, t.producer) == ("libDAQUser -h5", "daq-table2h5")
            assert sorted(p.channels) == sorted(t.channels)
            np.testing.assert_array_equal(p.event_ids, t.event_ids)
            assert p.event_ids.dtype == np.uint64 and (p.times == t.times).all()
            a, b = p.dataframe(), t.dataframe()
            assert sorted(a.columns) == sorted(b.columns) and (a.index == b.index).all()
            for col in a.columns:
                # The table prints single values to 1e-6, pairs to three digits.
                pd.testing.assert_series_equal(a[col], b[col], check_dtype=False,
                                               rtol=5e-3 if "/" in col else 0, atol=1e-6)
            for name in p.channels:
                if p[name].kind == "structured":
                    continue  # only the plug-in knows a conversion failed (code 8)
                np.testing.assert_array_equal(p[name].present, t[name].present, err_msg=name)
    for path in hand:
        with daqrun.open(path) as run:
            gauge = run["GAUGE"]
            assert gauge.kind == "scalar_int"
            # INT32_MIN that came stays a value; the event without a cell is <NA>.
            s = gauge.series()
            assert str(s.dtype) == "Int32"
            assert s.tolist() == [7, INT_FILL, pd.NA, 42]
            x = gauge.xarray()
            assert x.values[1] == INT_FILL and np.isnan(x.values[2])
            late = run["LATE"].series()
            assert np.isnan(late.iloc[:2]).all() and late.iloc[2:].tolist() == [2.5, 3.5]
            # A pair absent from a present cell is NaN; the missing cell is NaN in both pairs.
            bpm = run.dataframe(["BPM"])
            assert bpm["BPM/y"].isna().tolist() == [False, True, False, True]


def test_cameras_give_present_frames(sim, hand):
    for path in sim + hand:
        with daqrun.open(path) as run, h5py.File(path, "r") as f:
            name = "CAM.2" if "CAM.2" in run else "CAM"
            g = f["run"][name]
            present = g["Missing"][:] == 0
            assert 0 < present.sum() < len(present)
            cam = run[name]
            frames = cam.xarray()
            want = g["Pixels"][:][present]
            np.testing.assert_array_equal(frames.values, want)
            np.testing.assert_array_equal(frames.EventId, f["run/EventId"][:][present])
            np.testing.assert_allclose(cam.mean().values, want.mean(axis=0, dtype=np.float64))
            parts = list(cam.xarray(batch=2))
            assert [len(b.EventId) for b in parts][:-1] == [2] * (len(parts) - 1)
            np.testing.assert_array_equal(np.concatenate([b.values for b in parts]), want)
    # A pixel of 0 is a value.
    with daqrun.open(hand[0]) as run:
        assert (run["CAM"].xarray().values[:, 0, 0] == 0).all()
        assert run["CAM"].mean().values[0, 0] == 0


def test_status_and_event_types_select(sim, hand):
    plugin, table = sim
    with daqrun.open(plugin) as run, h5py.File(plugin, "r") as f:
        bad = f["run/TOROID.1/ChanStatus"][:] != 0
        assert bad.sum() == 1
        toroid = run["TOROID.1"]
        assert toroid.series().notna().all()
        assert toroid.series(good_status=True).isna().tolist() == bad.tolist()
        assert run.dataframe(good_status=True)["TOROID.1"].isna().tolist() == bad.tolist()
        types = f["run/EventType"][:]
        for how in ("pedestal", 3, ["pedestal"]):
            ped = run.select(event_type=how)
            np.testing.assert_array_equal(ped.event_ids, f["run/EventId"][:][types == 3])
            assert set(ped.event_types) == {"pedestal"}
            assert len(ped.dataframe()) == len(ped) == (types == 3).sum()
        # "beam" is every event that is not a pedestal, as the pictures draw them.
        np.testing.assert_array_equal(run.select(event_type="beam").event_ids,
                                      f["run/EventId"][:][types != 3])
        ids = run.event_ids
        part = run.select(events=slice(int(ids[2]), int(ids[6])), event_type="normal")
        assert list(part.event_ids) == [i for i, t in zip(ids[2:6], types[2:6]) if t == 1]
        assert list(run.select(events=[ids[5], ids[1]]).event_ids) == [ids[1], ids[5]]
        frames = run.select(events=range(int(ids[0]), int(ids[9])))["CAM.2"].xarray()
        assert len(frames.EventId) == 5
    with daqrun.open(table) as run:
        assert run.event_types is None
        with pytest.raises(daqrun.Error, match="no event types"):
            run.select(event_type="pedestal")
    with daqrun.open(hand[0]) as run:
        assert run.dataframe(good_status=True)["BPM/x"].isna().tolist() == [False, False, True, True]


def test_campaign_of_runs_sharing_event_ids(sim, tmp_path):
    for name in ("RUN1", "RUN2"):
        os.makedirs(tmp_path / name)
        shutil.copy(sim[0], tmp_path / name / "run.h5")
    index = str(tmp_path / "campaign.h5")
    subprocess.run([sys.executable, INDEX, "-o", index, str(tmp_path / "RUN1"),
                    str(tmp_path / "RUN2")], check=True, stderr=subprocess.DEVNULL)
    with daqrun.open(sim[0]) as one:
        single = one.dataframe()
        frames = one["CAM.2"].xarray()
    with daqrun.open(index) as run:
        df = run.dataframe()
        assert df.index.names == ["run", "EventId"] and df.index.is_unique
        assert len(df) == 2 * len(single)
        for name in ("RUN1", "RUN2"):
            pd.testing.assert_frame_equal(df.loc[name], single, check_dtype=False)
        assert run["TOROID.1"].series().index.equals(df.index)
        cam = run.select(runs="RUN2")["CAM.2"].xarray()
        np.testing.assert_array_equal(cam.values, frames.values)
        assert set(cam.run.values) == {"RUN2"}
        assert len(run.select(event_type="pedestal").dataframe()) == 4
    # A run file replaced after indexing by a shorter one: warned, its events left out.
    shutil.copy(sim[1], tmp_path / "RUN2" / "short.h5")
    with h5py.File(tmp_path / "RUN2" / "short.h5", "r+") as f:
        f["run"].attrs["events"] = np.uint64(3)
        for ds in [f["run"][n] for n in ("EventId", "Time")]:
            ds.resize((3,))
    os.replace(tmp_path / "RUN2" / "short.h5", tmp_path / "RUN2" / "run.h5")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        run = daqrun.open(index)
    with run:
        changed = [w for w in caught if issubclass(w.category, daqrun.ChangedRunFileWarning)]
        assert len(changed) == 1 and os.path.join("RUN2", "run.h5") in str(changed[0].message)
        df = run.dataframe()
        assert list(df.index.unique("run")) == ["RUN1"]
        pd.testing.assert_frame_equal(df.loc["RUN1"], single, check_dtype=False)
        assert run.runs.left_out.tolist() == [False, True]


def test_errors_are_one_line(sim, tmp_path):
    text = tmp_path / "table.txt"
    text.write_text("EventId,Time\n")
    other = tmp_path / "other.h5"
    with h5py.File(other, "w") as f:
        f.create_group("data")
    newer = tmp_path / "newer.h5"
    shutil.copy(sim[0], newer)
    with h5py.File(newer, "r+") as f:
        f["run"].attrs["layout_version"] = np.int64(9)
    for path, words in [(text, "not an HDF5 file"), (other, "neither a run file"),
                        (newer, "layout_version 9"), (tmp_path / "none.h5", "no such file")]:
        with pytest.raises(daqrun.Error, match=words) as err:
            daqrun.open(path)
        assert "\n" not in str(err.value)
    with daqrun.open(sim[0]) as run:
        with pytest.raises(KeyError) as err:
            run["TOROID"]
        assert isinstance(err.value, daqrun.Error)
        assert str(err.value).endswith("channels: " + ", ".join(run.channels))
        with pytest.raises(daqrun.Error, match="image channel"):
            run.dataframe(["CAM.1"])
