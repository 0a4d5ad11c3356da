"""daq-quicklook over run files of the HDF5 layout: the panels it draws (--describe), the pages
it writes and its exit status. Pixels are not compared.

The program is loaded once and run in this process; only what needs a process of its own (its
exit status, the files it leaves) starts it."""

import contextlib
import importlib.machinery
import importlib.util
import io
import json
import os
import struct
import subprocess
import sys
import tracemalloc
from types import SimpleNamespace

import h5py
import numpy as np
import pytest
from matplotlib.colors import to_rgba

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import runfile_fixtures as fx  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(HERE))
TOOL = os.environ.get("QUICKLOOK") or os.path.join(ROOT, "tools", "quicklook", "daq_quicklook.py")


def _load_tool():
    loader = importlib.machinery.SourceFileLoader("daq_quicklook_under_test", TOOL)
    module = importlib.util.module_from_spec(importlib.util.spec_from_loader(loader.name, loader))
    loader.exec_module(module)  # puts the tool's own modules first on sys.path
    return module


tool = _load_tool()
import ql_panels  # noqa: E402  (the tool's, found through the path it set)
import ql_runfile  # noqa: E402


def quicklook(*args):
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        try:
            code = tool.main([str(a) for a in args])
        except SystemExit as exit_:  # argparse's usage errors
            code = exit_.code
    return SimpleNamespace(returncode=code, stdout=out.getvalue(), stderr=err.getvalue())


def quicklook_process(*args, cwd=None):
    return subprocess.run(["/usr/bin/python3", TOOL, *map(str, args)], cwd=cwd,
                          capture_output=True, text=True, timeout=300)


def describe(run_file, out, *args):
    res = quicklook(run_file, "-o", out, "--describe", *args)
    assert res.returncode == 0, res.stderr
    return json.loads(res.stdout)


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    assert head[:8] == b"\x89PNG\r\n\x1a\n"
    return struct.unpack(">II", head[16:24])


def panels(described, channel=None, kind=None):
    return [p for p in described if (channel is None or p["channel"] == channel)
            and (kind is None or p["kind"] == kind)]


def as_json(values):
    return [None if np.isnan(v) else float(v) for v in np.asarray(values, np.float64)]


def bins_of(values, ok, per_bin):
    """Expected per-bin minimum and maximum of values where ok, None for an empty bin."""
    lo, hi = [], []
    for start in range(0, len(values), per_bin):
        v = np.asarray(values[start:start + per_bin], np.float64)[ok[start:start + per_bin]]
        lo.append(float(v.min()) if v.size else None)
        hi.append(float(v.max()) if v.size else None)
    return lo, hi


# -- every kind, as the demo carries them, from the converter and from the plug-in -----------

@pytest.mark.parametrize("plugin", [False, True])
def test_every_kind_of_the_demo_run(tmp_path, plugin):
    run_file = tmp_path / "run.h5"
    fx.demo_run(run_file, plugin=plugin)
    out = tmp_path / "run.png"
    d = describe(run_file, out)

    header = panels(d, kind="header")[0]
    assert header["generation"] == (2024 if plugin else None)
    assert header["events"] == 20
    first = 5000000000
    assert (header["first_event"], header["last_event"]) == (first, first + 19)

    presence = panels(d, kind="presence")
    assert len(presence) == 1 and len(presence[0]["channels"]) == 9
    assert "TIMING.MARK" in presence[0]["channels"]
    assert presence[0]["events_per_bin"] == 1

    # 20 events are drawn one a point: each "bin" is its event, NaN where it has no value.
    toroid = panels(d, "TOROID.1")
    assert [p["kind"] for p in toroid] == ["series"]
    assert toroid[0]["events_per_bin"] == 1 and toroid[0]["bin_min"] == toroid[0]["bin_max"]
    with h5py.File(run_file, "r") as f:
        gauge = f["run/VAC.GAUGE/Value"][:]
    assert panels(d, "VAC.GAUGE")[0]["bin_min"] == as_json(gauge)
    assert panels(d, "BPM.1")[0]["names"] == ["x", "y", "charge"]
    assert [(p["kind"], p["member"]) for p in panels(d, "ADC.1")] == [
        ("waterfall", 0), ("mean_trace", 0), ("waterfall", 1), ("mean_trace", 1)]
    assert panels(d, "ADC.1", "waterfall")[0]["events_per_bin"] == 1
    assert [p["kind"] for p in panels(d, "ADC.SUB:2")] == ["waterfall", "mean_trace"]
    for cam in ("CAM.1", "CAM.2"):
        assert [p["kind"] for p in panels(d, cam)] == ["mean_frame", "last_frame", "intensity"]
    # CAM.2 has a frame every other event: the mean takes only those, the last is event 18.
    assert panels(d, "CAM.2", "mean_frame")[0]["frames"] == 10
    assert panels(d, "CAM.2", "last_frame")[0]["event"] == first + 18
    assert panels(d, "TIMING.MARK") == []  # a mark lives in the presence map only

    eq = panels(d, "MAGNET.EQ")[0]
    if plugin:
        assert (eq["kind"], eq["converted"], eq["failed"]) == ("conversion", 19, 1)
    else:
        assert eq["kind"] == "cannot_draw" and "Converted" in eq["reason"]

    assert {p["file"] for p in d if p["page"] == 1} == {str(out)}
    for f in {p["file"] for p in d}:
        w, h = png_size(f)
        assert w >= 1200 and h >= 800


def test_a_2010_run(tmp_path):
    fx.demo_run(tmp_path / "run.h5", plugin=True, generation=2010)
    d = describe(tmp_path / "run.h5", tmp_path / "run.png", "--channels", "TOROID.1")
    header = panels(d, kind="header")[0]
    assert (header["generation"], header["first_event"], header["last_event"]) == (
        2010, 900000, 900019)


def test_the_program_as_a_process(tmp_path):
    """Exit status and files: the default page beside the run file."""
    fx.demo_run(tmp_path / "r.h5")
    res = quicklook_process(tmp_path / "r.h5", "--channels", "TOROID.1")
    assert res.returncode == 0, res.stderr
    assert (tmp_path / "r.png").exists() and not (tmp_path / "r-2.png").exists()
    assert res.stdout == "" and res.stderr.startswith("daq-quicklook: 1 page(s)")


# -- many channels: further pages ------------------------------------------------------------

def test_many_channels_spill_onto_further_pages(tmp_path, monkeypatch):
    monkeypatch.setattr(tool, "PRESENCE_CHANNELS", 3)  # maps of 3 channels: fewer pages to draw
    fx.many_channels(tmp_path / "many.h5", channels=7)
    out = tmp_path / "many.png"
    d = describe(tmp_path / "many.h5", out)
    pages = sorted({p["page"] for p in d})
    assert len(pages) > 2 and pages == list(range(1, len(pages) + 1))
    for page in pages:
        name = out if page == 1 else tmp_path / f"many-{page}.png"
        assert {p["file"] for p in d if p["page"] == page} == {str(name)}
        assert name.exists()
    assert not (tmp_path / f"many-{len(pages) + 1}.png").exists()
    series = [p["channel"] for p in panels(d, kind="series")]
    assert series == [f"CH.{c:03d}" for c in range(7)]
    maps = panels(d, kind="presence")
    assert [len(p["channels"]) for p in maps] == [3, 3, 1]
    assert [c for p in maps for c in p["channels"]] == series


# -- cameras whose frame size changes ----------------------------------------------------------

def test_camera_size_change_from_the_plugin(tmp_path):
    big, small = fx.camera_size_change(tmp_path / "cam.h5", plugin=True)
    d = describe(tmp_path / "cam.h5", tmp_path / "cam.png")
    mean = panels(d, "CAM.ZOOM", "mean_frame")[0]
    assert (mean["frames"], mean["shape"], mean["other_size"]) == (big, [40, 60], small)
    last = panels(d, "CAM.ZOOM", "last_frame")[0]
    assert (last["event"], last["shape"]) == (5000000011, [20, 30])  # cropped to its own size


def test_camera_size_change_from_the_converter(tmp_path):
    big, small = fx.camera_size_change(tmp_path / "cam.h5", plugin=False)
    d = describe(tmp_path / "cam.h5", tmp_path / "cam.png")
    mean = panels(d, "CAM.ZOOM", "mean_frame")[0]
    assert (mean["frames"], mean["shape"], mean["other_size"]) == (big, [40, 60], small)
    last = panels(d, "CAM.ZOOM", "last_frame")[0]
    assert last["event"] == 5000000010  # 11 is of another size (code 5)
    assert panels(d, "CAM.ZOOM", "intensity")


# -- selection ---------------------------------------------------------------------------------

def test_channels_are_drawn_as_listed(tmp_path):
    fx.demo_run(tmp_path / "r.h5")
    d = describe(tmp_path / "r.h5", tmp_path / "o.png", "--channels", "VAC.GAUGE,ADC.SUB:2")
    assert panels(d, kind="presence")[0]["channels"] == ["VAC.GAUGE", "ADC.SUB:2"]
    assert [p["channel"] for p in d if p["channel"]] == ["VAC.GAUGE", "ADC.SUB:2", "ADC.SUB:2"]


def test_events_restrict_every_panel(tmp_path):
    fx.demo_run(tmp_path / "r.h5", plugin=True)
    d = describe(tmp_path / "r.h5", tmp_path / "o.png", "--events", "5000000005:5000000009",
                 "--channels", "CAM.2,TOROID.1")
    header = panels(d, kind="header")[0]
    assert (header["events"], header["first_event"], header["last_event"]) == (
        5, 5000000005, 5000000009)
    assert panels(d, "CAM.2", "mean_frame")[0]["frames"] == 2  # events 6 and 8
    assert panels(d, "CAM.2", "last_frame")[0]["event"] == 5000000008
    assert len(panels(d, "TOROID.1")[0]["bin_min"]) == 5
    assert panels(d, kind="presence")[0]["counts"][0] == {"0": 2, "6": 3}
    open_ended = describe(tmp_path / "r.h5", tmp_path / "o.png", "--events", "5000000017:",
                          "--channels", "TOROID.1")
    assert panels(open_ended, kind="header")[0]["events"] == 3


@pytest.mark.parametrize("args,message", [
    (["--channels", "TOROID.1,NOPE"], "no channel 'NOPE'"),
    (["--events", "1:2"], "no events"),
    (["--events", "12"], "FIRST:LAST"),
    (["--events", "a:b"], "whole numbers"),
])
def test_bad_selection_is_a_usage_error(tmp_path, args, message):
    fx.demo_run(tmp_path / "r.h5")
    res = quicklook(tmp_path / "r.h5", "-o", tmp_path / "o.png", *args)
    assert res.returncode == 2
    assert message in res.stderr and "Traceback" not in res.stderr
    assert not (tmp_path / "o.png").exists()


# -- what cannot be drawn, and files that are not run files ------------------------------------

def test_channels_that_cannot_be_drawn_say_why(tmp_path):
    fx.cannot_draw_run(tmp_path / "bad.h5")
    d = describe(tmp_path / "bad.h5", tmp_path / "bad.png")
    reasons = {p["channel"]: p["reason"] for p in panels(d, kind="cannot_draw")}
    assert reasons == {
        "HOLOGRAM": "unknown kind 'hologram'",
        "NOVALUE": "no Value dataset",
        "SHORT.ADC": "Member0 has 5 rows, the run 10 events",
        "ALLGONE": "no values in the selected events",
    }
    assert [p["kind"] for p in panels(d, "GOOD")] == ["series"]


@pytest.mark.parametrize("make,message", [
    (lambda p, tmp: fx.not_hdf5(p), "not an HDF5 file"),
    (lambda p, tmp: fx.truncated(p, fx.demo_run(tmp / "whole.h5") or tmp / "whole.h5"),
     "HDF5"),
    (lambda p, tmp: fx.without_run(p), "no /run group"),
    (lambda p, tmp: fx.old_layout(p), "layout_version"),
    (lambda p, tmp: fx.future_layout(p), "layout_version 5, this tool reads 2 to 4"),
    (lambda p, tmp: None, "no such file"),
])
def test_a_file_that_is_no_run_file_is_refused(tmp_path, make, message):
    path = tmp_path / "x.h5"
    make(path, tmp_path)
    res = quicklook(path, "-o", tmp_path / "x.png")
    assert res.returncode == 2
    lines = res.stderr.strip().splitlines()
    assert len(lines) == 1 and str(path) in lines[0] and message in lines[0], res.stderr
    assert not (tmp_path / "x.png").exists()


def _set(name, value):
    return lambda f: f["run"].attrs.__setitem__(name, value)


def _run_with(change=None):
    return lambda tmp: fx.altered(tmp / "r.h5", change or (lambda f: None)) or tmp / "r.h5"


def _string_ids(f):
    fx.replaced(f, "run/EventId", np.array([str(i) for i in range(20)], object))


def _many(tmp):
    fx.many_channels(tmp / "r.h5", channels=25)
    return tmp / "r.h5"


def _folder(tmp):
    (tmp / "d").mkdir()
    return tmp / "d"


def _not_hdf5(tmp):
    fx.not_hdf5(tmp / "r.h5")
    return tmp / "r.h5"


CHANNELS = ", ".join(f"CH.{c:03d}" for c in range(20)) + " … and 5 more"


@pytest.mark.parametrize("make,args,code,message,written", [
    # odd values where the layout has whole numbers and per-event datasets
    (_run_with(_set("layout_version", np.inf)), [], 2,
     "{run}: layout_version inf, this tool reads 2 to 4", []),
    (_run_with(_set("events", np.inf)), [], 2, "{run}: /run events is inf, not a number", []),
    (_run_with(_set("events", np.int64(-5))), [], 2,
     "{run}: /run events is -5, not a number of events: not a run file", []),
    (_run_with(lambda f: fx.replaced(f, "run/Time", 5)), [], 0,  # drawn against event numbers
     "1 page(s): {tmp}/o.png", ["o.png"]),
    (_run_with(_string_ids), ["--events", "1:"], 2, "{run}: /run/EventId holds strings", []),
    (_folder, [], 2, "{run}: is a directory", []),
    (_not_hdf5, [], 2, "{run}: not an HDF5 file", []),
    (_many, ["--channels", "X"], 2, "{run}: no channel 'X' in the file; it has " + CHANNELS, []),
    # pages are PNG whatever -o says: named as written, or refused
    (_run_with(), ["-o", "{tmp}/run.h5"], 2, "{tmp}/run.h5: pages are PNG", []),
    (_run_with(), ["-o", "{tmp}/out.jpg"], 2, "{tmp}/out.jpg: pages are PNG", []),
    (_run_with(), ["-o", "{tmp}/plot"], 0, "1 page(s): {tmp}/plot.png", ["plot.png"]),
    (_run_with(), ["-o", "{tmp}/pages"], 0, "1 page(s): {tmp}/pages/r.png", ["pages/r.png"]),
    (_run_with(), ["--describe"], 0, None, []),
], ids=["layout-inf", "events-inf", "events-negative", "time-0d", "string-ids", "folder-as-run",
        "not-hdf5", "unknown-channel", "out-h5", "out-jpg", "out-no-extension", "out-folder",
        "describe-alone"])
def test_faults_are_one_line_and_pages_are_named_as_written(tmp_path, make, args, code,
                                                             message, written):
    """Whatever is wrong with the run file or the output name: one line, never a traceback;
    the pages reported are the files written; --describe alone writes none."""
    run_file = make(tmp_path)
    (tmp_path / "pages").mkdir()
    args = [a.format(tmp=tmp_path) for a in args]
    if "-o" not in args and "--describe" not in args:
        args += ["-o", tmp_path / "o.png"]
    res = quicklook(run_file, "--channels", "TOROID.1", *args)
    assert res.returncode == code, res.stderr
    if message is None:
        assert res.stderr == "" and {p["file"] for p in json.loads(res.stdout)} == {None}
    else:
        line = f"daq-quicklook: {message.format(tmp=tmp_path, run=run_file)}"
        assert res.stderr.startswith(line) and res.stderr.count("\n") == 1, res.stderr
    assert sorted(str(p.relative_to(tmp_path)) for p in tmp_path.rglob("*.png")) == written


# -- event types: pedestals apart, bad status only -------------------------------------------

def test_pedestals_are_drawn_apart_and_bad_status_only_is_no_gap(tmp_path):
    """Layout 4 (an EventId link in every group): pedestal events (0) never enter the beam
    lines and means (100 + event), whatever the case of their name; an event whose only value
    had a bad status is a bin of its own kind; --event-type selects one class."""
    n = 24
    names = np.array(["normal"] * n, object)
    names[3::4] = "pedestal"
    names[7] = "Pedestal"
    ped = np.char.lower(names.astype(str)) == "pedestal"
    beam = np.where(ped, 0.0, 100.0 + np.arange(n))
    w = fx.RunWriter(tmp_path / "p.h5", n, plugin=True, layout=4, type_names=names)
    w.scalar("T", beam, bad=[5])
    w.spectrum("ADC", [np.repeat(beam[:, None], 4, axis=1)])
    w.image("CAM", np.broadcast_to(beam[:, None, None], (n, 2, 3)))
    g = w.pairs("BPM", {"x": beam})
    del g.attrs["pair_names"], g.attrs["pair_datasets"]  # names from the datasets: not EventId
    w.close()
    d = describe(tmp_path / "p.h5", tmp_path / "p.png")
    good = ~ped
    good[5] = False
    t = panels(d, "T", "series")[0]
    assert t["event_types"] == {"beam": int(good.sum()), "pedestal": int(ped.sum())}
    assert t["bin_min"] == t["by_event_type"]["beam"]["bin_mean"] == as_json(
        np.where(good, beam, np.nan))
    assert t["by_event_type"]["pedestal"]["bin_max"] == as_json(np.where(ped, 0.0, np.nan))
    assert (t["bad_status"], t["bad_status_only"]) == (1, [5])
    trace = panels(d, "ADC", "mean_trace")[0]["by_event_type"]
    assert trace["beam"]["mean"] == [float(np.mean(beam[~ped]))] * 4
    assert trace["pedestal"]["mean"] == [0.0] * 4
    assert panels(d, "ADC", "waterfall")[0]["pedestal_only_rows"] == np.flatnonzero(ped).tolist()
    mean = panels(d, "CAM", "mean_frame")[0]
    assert (mean["frames"], mean["pedestal_left_out"]) == (n - ped.sum(), ped.sum())
    assert panels(d, "CAM", "intensity")[0]["by_event_type"]["pedestal"]["bin_max"] == as_json(
        np.where(ped, 0.0, np.nan))
    assert panels(d, "BPM", "pairs")[0]["names"] == ["x"]
    assert panels(d, kind="header")[0]["event_type_names"] == {
        "normal": int(n - ped.sum()), "pedestal": int(ped.sum()) - 1, "Pedestal": 1}

    only = describe(tmp_path / "p.h5", tmp_path / "p.png", "--event-type", "pedestal")
    t = panels(only, "T", "series")[0]
    assert t["event_types"] == {"pedestal": int(ped.sum())}
    assert t["bin_min"] == as_json(np.where(ped, 0.0, np.nan)) and t["bad_status_only"] == []
    assert panels(only, kind="presence")[0]["counts"][0] == {"0": int(ped.sum())}

    fx.demo_run(tmp_path / "conv.h5")  # the converter's: no event types
    assert panels(describe(tmp_path / "conv.h5", tmp_path / "c.png", "--event-type", "beam"),
                  "TOROID.1")[0]["event_types"] == {"all": 20}
    res = quicklook(tmp_path / "conv.h5", "-o", tmp_path / "c2.png", "--event-type", "pedestal")
    assert res.returncode == 2 and len(res.stderr.splitlines()) == 1
    assert "no event types" in res.stderr and not (tmp_path / "c2.png").exists()


# -- pairs ---------------------------------------------------------------------------------------

@pytest.mark.parametrize("with_datasets", [True, False])
def test_pairs_of_any_name_are_drawn(tmp_path, with_datasets):
    """Names HDF5 cannot take as they are ("", ".") or that are dataset names of the group,
    found through pair_datasets, or rebuilt as the writer makes them in older files."""
    w = fx.RunWriter(tmp_path / "p.h5", 6, plugin=True)
    table = {"": np.arange(6.0), ".": np.arange(6.0) + 10, "Length": np.arange(6.0) + 20,
             "a/b": np.full(6, np.nan)}
    w.pairs("ODD", table, with_datasets=with_datasets)
    w.close()
    d = describe(tmp_path / "p.h5", tmp_path / "p.png")
    pairs = panels(d, "ODD")[0]
    assert pairs["kind"] == "pairs" and pairs["unreadable"] == []
    assert pairs["names"] == ["", ".", "Length", "a/b"]
    assert pairs["bin_min"] == [as_json(v) for v in table.values()]


def test_a_pair_without_its_dataset_leaves_the_others_drawn(tmp_path):
    w = fx.RunWriter(tmp_path / "p.h5", 6)
    g = w.pairs("BPM", {"x": np.arange(6.0), "y": np.arange(6.0)})
    del g["y"]
    w.close()
    pairs = panels(describe(tmp_path / "p.h5", tmp_path / "p.png"), "BPM")[0]
    assert (pairs["kind"], pairs["names"], pairs["unreadable"]) == ("pairs", ["x"], ["y"])


# -- long runs: every event counts -----------------------------------------------------------

@pytest.fixture(scope="module")
def long_run(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("long")
    data = fx.long_run(tmp / "long.h5")
    return data, describe(tmp / "long.h5", tmp / "long.png"), tmp


def test_every_bin_of_a_long_run_reaches_its_pedestals(long_run):
    """3000 events with a pedestal (0) every 10th: each drawn bin holds one and reaches 0."""
    data, d, _ = long_run
    every = np.ones(3000, bool)
    toroid = panels(d, "TOROID.1", "series")[0]
    assert (toroid["events_per_bin"], toroid["bins"]) == (10, 300)
    assert set(toroid["bin_min"]) == {0.0}
    assert (toroid["bin_min"], toroid["bin_max"]) == bins_of(data["charge"], every, 10)
    charge = panels(d, "BPM.1", "pairs")[0]
    assert charge["names"] == ["x", "charge"] and set(charge["bin_min"][1]) == {0.0}
    sums = data["frames"].sum(axis=(1, 2))
    cam = panels(d, "CAM.1", "intensity")[0]
    assert cam["events_per_bin"] == 30 and set(cam["bin_min"]) == {0.0}
    assert (cam["bin_min"], cam["bin_max"]) == bins_of(sums, every, 30)
    present = np.arange(3000) % 2 == 0
    assert (panels(d, "CAM.2", "intensity")[0]["bin_max"]
            == bins_of(sums, present, 30)[1])
    assert panels(d, "CAM.2", "mean_frame")[0]["frames"] == 1500
    waterfall = panels(d, "ADC.1", "waterfall")[0]
    assert (waterfall["events_per_bin"], waterfall["rows"]) == (15, 200)


def test_the_presence_map_counts_every_event(long_run):
    data, d, _ = long_run
    presence = panels(d, kind="presence")[0]
    assert (presence["events_per_bin"], presence["bins"]) == (4, 750)
    channel = presence["channels"].index
    assert presence["with_value"][channel("CAM.2")] == [2] * 750  # half of every cell
    assert presence["counts"][channel("CAM.2")] == {"0": 1500, "6": 1500}
    assert presence["counts"][channel("TOROID.1")] == {"0": 3000}
    bad = np.zeros(3000, bool)
    bad[data["bad"]] = True
    assert presence["bad_status"][channel("GAUGE")] == bad.sum() > 0
    assert presence["with_value"][channel("GAUGE")] == [
        4 - int(b.sum()) for b in bad.reshape(750, 4)]


def test_bad_status_is_no_value(long_run, tmp_path):
    """GAUGE delivered 0 where its status is bad: no bin reaches 0, and with one event a
    point the bad events are holes in the line."""
    data, d, tmp = long_run
    gauge = panels(d, "GAUGE", "series")[0]
    good = np.ones(3000, bool)
    good[data["bad"]] = False
    assert gauge["bad_status"] == len(data["bad"])
    assert (gauge["bin_min"], gauge["bin_max"]) == bins_of(data["gauge"], good, 10)
    assert min(gauge["bin_min"]) > 3
    first = describe(tmp / "long.h5", tmp_path / "first.png", "--channels", "GAUGE",
                     "--events", ":5000000099")
    gauge = panels(first, "GAUGE", "series")[0]
    assert gauge["events_per_bin"] == 1
    assert gauge["bin_min"] == as_json(np.where(good[:100], data["gauge"][:100], np.nan))


def test_the_long_run_page_files(long_run):
    _, d, tmp = long_run
    files = [p["file"] for p in d if p["kind"] == "header"] + [p["file"] for p in d]
    assert files[0] == str(tmp / "long.png") and all(png_size(f)[0] == 1600 for f in set(files))


def test_a_cell_of_several_events_is_stacked_by_their_shares():
    """Values fill a cell from the bottom in proportion; a cell of one class is all its colour."""
    grid = np.zeros((1, 3, len(ql_panels.PRESENCE_COLOURS)), np.int64)
    grid[0, 0, [0, 2]] = 2                            # half values, half "not found"
    grid[0, 1, [0, 6, ql_panels.BAD_STATUS]] = [1, 1, 2]
    grid[0, 2, ql_panels.BAD_STATUS] = 4
    image = ql_panels.stacked(grid, ql_panels.PRESENCE_COLOURS, 4)
    palette = [tuple(to_rgba(c)) for c in ql_panels.PRESENCE_COLOURS]
    drawn = [[palette.index(tuple(image[r, c])) for r in range(4)] for c in range(3)]
    assert drawn == [[2, 2, 0, 0], [9, 9, 6, 0], [9, 9, 9, 9]]  # top row first


def test_reads_in_small_chunks_give_the_same_panels(tmp_path, monkeypatch):
    """Every chunked read (presence bins, bins of series, means, sums, last frame) across
    chunk and batch boundaries."""
    n = 1300
    w = fx.RunWriter(tmp_path / "r.h5", n, plugin=True)
    rng = np.random.default_rng(5)
    missing = np.where(rng.random(n) < 0.2, 6, 0)
    sizes = np.where((np.arange(n) % 5 == 0)[:, None], [2, 3], [4, 6])
    w.image("CAM", rng.integers(0, 255, (n, 6, 4)), missing=missing, sizes=sizes, bad=[3, 1000])
    w.spectrum("ADC", [rng.normal(0, 1, (n, 7))], missing=np.where(missing, 2, 0))
    w.scalar("T", rng.normal(0, 1, n), missing=missing, bad=[7, 700])
    w.close()
    whole = describe(tmp_path / "r.h5", tmp_path / "a.png")
    monkeypatch.setattr(ql_runfile, "CHUNK_BYTES", 200)  # 25 values, 4 frames a read
    small = describe(tmp_path / "r.h5", tmp_path / "a.png")
    assert small == whole
    mean = panels(whole, "CAM", "mean_frame")[0]
    present = missing == 0
    present[[3, 1000]] = False
    same = present & (np.arange(n) % 5 != 0)
    assert (mean["frames"], mean["other_size"]) == (int(same.sum()), int((present & ~same).sum()))
    assert mean["bad_status"] == 2
    assert panels(whole, "CAM", "intensity")[0]["events_per_bin"] == 13
    assert panels(whole, kind="presence")[0]["events_per_bin"] == 2


# -- camera stacks in batches ----------------------------------------------------------------

def camera(run_file, name):
    run = ql_runfile.RunFile(str(run_file))
    return run, ql_panels.CameraRow(next(c for c in run.channels if c.name == name))


def test_the_batched_mean_is_the_mean_of_the_present_frames(tmp_path, monkeypatch):
    rng = np.random.default_rng(3)
    frames = rng.integers(0, 65535, (50, 5, 7))
    missing = np.where(rng.random(50) < 0.3, 6, 0)
    w = fx.RunWriter(tmp_path / "c.h5", 50, plugin=True)
    w.image("CAM", frames, missing=missing, dtype=np.uint16, bad=[4, 5])
    w.close()
    present = (missing == 0) & ~np.isin(np.arange(50), [4, 5])
    expected = frames[present].astype(np.float64)
    for frames_read in (1, 3, 50):
        monkeypatch.setattr(ql_runfile, "CHUNK_BYTES", frames_read * 5 * 7 * 2)
        run, row = camera(tmp_path / "c.h5", "CAM")
        mean, count, _, last, _, sums, _ = row.compute(run)
        run.close()
        assert count == present.sum()
        np.testing.assert_allclose(mean, expected.mean(axis=0), rtol=1e-12)
        assert last == np.flatnonzero(present)[-1]
        np.testing.assert_array_equal(sums.main.minimum(),
                                      np.where(present, frames.sum(axis=(1, 2)), np.nan))


def test_a_big_stack_is_read_in_bounded_batches(tmp_path, monkeypatch):
    """1000 frames of 2048 x 2048 16-bit pixels (8 GB, a few written, the rest fill): the
    reads stay within one batch of 32 MiB and what the row holds within 512 MB."""
    n, h, w = 1000, 2048, 2048
    written = [0, 400, 999]
    missing = np.full(n, 6, np.uint8)
    missing[written] = 0
    run_writer = fx.RunWriter(tmp_path / "big.h5", n, plugin=True)
    g, _ = run_writer.channel("CAM.BIG", "image", missing)
    pixels = g.create_dataset("Pixels", shape=(n, h, w), dtype=np.uint16, chunks=(1, h, w),
                              compression="gzip", compression_opts=1, fillvalue=0)
    frame = np.add.outer(np.arange(h), np.arange(w)).astype(np.uint16)
    for e in written:
        pixels[e] = frame + e
    run_writer.close()

    largest = []
    read = h5py.Dataset.__getitem__

    def spy(dataset, key):
        out = read(dataset, key)
        largest.append(getattr(out, "nbytes", 0))
        return out

    monkeypatch.setattr(h5py.Dataset, "__getitem__", spy)
    run, row = camera(tmp_path / "big.h5", "CAM.BIG")
    batch = row.frames_per_read(run.channels[0].group["Pixels"])
    assert batch * h * w * 2 <= 32 << 20
    tracemalloc.start()
    try:
        mean, frames, _, last, _, _, _ = row.compute(run)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
        run.close()
    assert max(largest) <= batch * h * w * 2
    assert peak < 512 << 20, peak
    assert (frames, last) == (3, 999)
    np.testing.assert_allclose(mean, frame + np.mean(written))


# -- the demo's own run file, through daq-reader and daq-table2h5 ------------------------------

@pytest.mark.skipif(not (os.environ.get("READER") and os.environ.get("TABLE2H5")),
                    reason="READER and TABLE2H5 name the built programs (set by CTest)")
def test_the_demo_run_file(tmp_path):
    recording = os.path.join(ROOT, "examples", "sim-2024.run.json")
    subprocess.run([os.environ["READER"], "--quiet", "--outmode", "1", recording, "--",
                    "-hdf5", "-xdump", "-h5", "plugin.h5"], cwd=tmp_path, check=True,
                   capture_output=True)
    subprocess.run([os.environ["TABLE2H5"], "-o", "run.h5", "--xml", "user_descr.xml",
                    "user_out.txt"], cwd=tmp_path, check=True, capture_output=True)
    # The converter's file drawn whole; the plug-in's for the panels its writer names.
    for name, only in (("run.h5", ()), ("plugin.h5", ("--channels", "TOROID.1,BPM.1"))):
        d = describe(tmp_path / name, tmp_path / "run.png", *only)
        drawn = {p["channel"] for p in d if p["channel"]}
        assert {"TOROID.1", "BPM.1"} <= drawn
        assert only or {"ADC.1", "CAM.1", "CAM.2", "VAC.GAUGE"} <= drawn
        assert panels(d, "BPM.1", "pairs")[0]["names"] == ["x", "y", "charge"]
        # The one bad channel status of TOROID.1 is left out of its line.
        with h5py.File(tmp_path / name, "r") as f:
            bad = f["run/TOROID.1/ChanStatus"][:] != 0
        toroid = panels(d, "TOROID.1", "series")[0]
        assert toroid["bad_status"] == bad.sum() > 0
        assert all(v is None for v, b in zip(toroid["bin_min"], bad) if b)
    assert png_size(tmp_path / "run.png")[0] >= 1200
