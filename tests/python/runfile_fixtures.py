"""Run files of the HDF5 layout (layout_version 2, or 4 with `layout=4`), written with h5py for
the tests.

`plugin=True` writes what the plug-in's -h5 output stores (generation, float32, Width/Height,
Converted, MacroPulse, event types); otherwise what daq-table2h5 stores (float64, no
generation, inferred options). Both generations of the plug-in are covered by `generation`.
"""

import h5py
import numpy as np

STR = h5py.string_dtype("utf-8")
T0 = 1733632724 * 10**6
MISSING_CODES = ("0 value, 1 empty, 2 not found, 3 cut short, 4 other kind, 5 size differs, "
                 "6 no image, 7 invalid image, 8 not converted")


def _ds(group, name, data, fill=None, **attrs):
    data = np.asarray(data)
    maxshape = (None,) * data.ndim
    chunks = tuple(max(1, min(s, 64)) for s in data.shape) if data.size else None
    kw = {}
    if fill is not None:
        kw["fillvalue"] = fill
    if data.dtype == object:
        ds = group.create_dataset(name, data=data, dtype=STR, maxshape=maxshape, chunks=chunks)
    else:
        ds = group.create_dataset(name, data=data, maxshape=maxshape, chunks=chunks,
                                  compression="gzip" if chunks else None, **kw)
    for key, value in attrs.items():
        ds.attrs[key] = value
    return ds


class RunWriter:
    """Builds one run file: per-event datasets, then one group per channel."""

    def __init__(self, path, events, plugin=False, generation=2024, status=True,
                 ids=None, options="-evstat -xdump -imdump images", layout=2, type_names=None):
        """type_names: the plug-in's EventTypeName per event (default all "normal")."""
        self.f = h5py.File(path, "w")
        self.n = events
        self.plugin = plugin
        self.status = status
        self.layout = layout
        self.float = np.float32 if plugin else np.float64
        run = self.run = self.f.create_group("run", track_order=True)
        a = run.attrs
        a["layout_version"] = np.int64(layout)
        a["producer"] = "libDAQUser -h5" if plugin else "daq-table2h5"
        a["events"] = np.uint64(events)
        if plugin:
            a["generation"] = np.int64(generation)
            a["nbunch"] = np.int64(0)
            a["outmode"] = np.int64(1 if status else 0)
            a["plugin_options_inferred"] = np.uint8(0)
        else:
            a["source_file"] = "user_out.txt"
            a["description_file"] = "user_descr.xml"
            a["plugin_options_inferred"] = np.uint8(1)
            a["rows_with_wrong_cell_count"] = np.uint64(0)
        a["plugin_options"] = options
        a["status_columns"] = np.uint8(1 if status else 0)
        a["fill_value"] = np.float64(np.nan)
        base = 5000000000 if generation == 2024 else 900000
        self.ids = np.asarray(ids if ids is not None else base + np.arange(events), np.uint64)
        time = T0 + np.arange(events, dtype=np.int64) * 100000 + 5
        _ds(run, "EventId", self.ids)
        _ds(run, "Time", time, units="microseconds since 1970-01-01 00:00:00")
        _ds(run, "TimeSec", (time // 10**6).astype(np.uint32))
        _ds(run, "TimeUsec", (time % 10**6).astype(np.uint32))
        _ds(run, "TimeISO", np.array(["2024-12-08T04:38:44Z"] * events, dtype=object))
        if status:
            _ds(run, "EvHeadStatus", np.zeros(events, np.uint32))
        if plugin:
            names = np.array(["normal"] * events if type_names is None else type_names, object)
            numbers = {"normal": 1, "calibration": 2, "pedestal": 3, "test": 4}
            _ds(run, "EventType", np.array([numbers.get(n.lower(), 7) for n in names], np.int32))
            _ds(run, "EventTypeName", names)

    def channel(self, column, kind, missing=None, bad=None, **description):
        key = column.replace("%", "%25").replace("/", "%2F")
        g = self.run.create_group(key, track_order=True)
        g.attrs["column"] = column
        g.attrs["kind"] = kind
        g.attrs["kind_source"] = "host" if self.plugin else "xml"
        g.attrs["missing_codes"] = MISSING_CODES
        if self.layout >= 4:
            g["EventId"] = self.run["EventId"]  # a hard link, as layout 4 has it
        for name, value in description.items():
            g.attrs[name] = value
        missing = np.zeros(self.n, np.uint8) if missing is None else np.asarray(missing, np.uint8)
        _ds(g, "Missing", missing)
        for name, code in (("cells_present", 0), ("cells_empty", 1), ("cells_not_found", 2),
                           ("cells_cut_short", 3), ("cells_other_kind", 4),
                           ("cells_size_differs", 5), ("cells_no_image", 6)):
            g.attrs[name] = np.uint64((missing == code).sum())
        g.attrs["values_invalid"] = np.uint64(0)
        if self.status:
            status = np.zeros(self.n, np.uint32)
            if bad is not None:
                status[bad] = 0x10
            _ds(g, "SrvBlockStatus", np.zeros(self.n, np.uint32))
            _ds(g, "ChanStatus", status)
        if self.plugin:
            _ds(g, "MacroPulse", np.arange(self.n, dtype=np.uint64) + 9000000000)
        return g, missing

    def scalar(self, column, values, missing=None, bad=None, **description):
        g, missing = self.channel(column, "scalar", missing, bad, **description)
        values = np.asarray(values, self.float).copy()
        values[missing != 0] = np.nan
        _ds(g, "Value", values, fill=np.nan, _FillValue=self.float(np.nan))
        return g

    def pairs(self, column, table, missing=None, bad=None, with_datasets=True, **description):
        """table: {name: values per event} (NaN where the name is absent). Dataset names as the
        writer makes them; `with_datasets` False leaves out the pair_datasets attribute, as
        older files do."""
        g, missing = self.channel(column, "pairs", missing, bad, **description)
        keys = []
        for name in table:
            key = name.replace("%", "%25").replace("/", "%2F")
            key = {"": "%00", ".": "%2E"}.get(key, key)
            if key in ("Missing", "Length", "SrvBlockStatus", "ChanStatus", "MacroPulse"):
                key += "#pair"
            keys.append(key)
        g.attrs["pair_names"] = np.array(list(table), dtype=object).astype(STR)
        if with_datasets:
            g.attrs["pair_datasets"] = np.array(keys, dtype=object).astype(STR)
        for key, values in zip(keys, table.values()):
            v = np.asarray(values, self.float).copy()
            v[missing != 0] = np.nan
            _ds(g, key, v, fill=np.nan)
        _ds(g, "Length", np.where(missing == 0, len(table), 0).astype(np.int32))
        return g

    def spectrum(self, column, members, missing=None, **description):
        """members: list of events x samples arrays."""
        g, missing = self.channel(column, "spectrum", missing, **description)
        for m, rows in enumerate(members):
            rows = np.asarray(rows, self.float).copy()
            rows[missing != 0] = np.nan
            _ds(g, f"Member{m}", rows, fill=np.nan, start=np.int64(0), inc=np.int64(2),
                ndata=np.int64(rows.shape[1]))
            _ds(g, f"Member{m}Length",
                np.where(missing == 0, rows.shape[1], -1).astype(np.int32))
            _ds(g, f"Member{m}Stats", np.full((self.n, 32), np.nan, self.float), fill=np.nan)
        return g

    def image(self, column, frames, missing=None, sizes=None, dtype=np.uint8, bad=None,
              **description):
        """frames: events x height x width; sizes: per event (width, height) for the plug-in."""
        g, missing = self.channel(column, "image", missing, bad, **description)
        frames = np.asarray(frames, dtype).copy()
        frames[missing != 0] = 0
        h, w = frames.shape[1:]
        _ds(g, "Pixels", frames, fill=0, width=np.int64(w), height=np.int64(h),
            length=np.int64(w * h))
        if sizes is None:
            sizes = np.tile([w, h], (self.n, 1))
        sizes = np.asarray(sizes)
        _ds(g, "Length", np.where(missing == 0, sizes[:, 0] * sizes[:, 1], 0).astype(np.int32))
        if self.plugin:
            _ds(g, "Width", sizes[:, 0].astype(np.int32))
            _ds(g, "Height", sizes[:, 1].astype(np.int32))
        return g

    def structured(self, column, converted=None, missing=None, **description):
        g, missing = self.channel(column, "structured", missing, **description)
        if self.plugin and converted is not None:
            _ds(g, "Converted", np.asarray(converted, np.uint8))
        return g

    def close(self):
        self.f.close()


def _frames(n, h, w, rng, scale=200):
    yy, xx = np.mgrid[0:h, 0:w]
    spot = np.exp(-(((xx - w / 2) / (w / 6)) ** 2 + ((yy - h / 2) / (h / 6)) ** 2))
    return (spot[None] * scale + rng.integers(0, 20, (n, h, w))).clip(0, 255)


def demo_run(path, plugin=False, generation=2024, events=20):
    """The demo's machine: every kind, as the simulated run of `make demo` carries it."""
    rng = np.random.default_rng(generation + events)
    n = events
    w = RunWriter(path, n, plugin=plugin, generation=generation)
    w.channel("TIMING.MARK", "mark", unit="none", source="timing")
    w.scalar("TOROID.1", 1 + rng.normal(0, 1e-3, n), unit="nC", location="LINAC.1", calib=1.01)
    w.pairs("BPM.1", {"x": rng.normal(0, 0.05, n), "y": rng.normal(0, 0.02, n),
                      "charge": 1 + rng.normal(0, 0.01, n)}, unit="mm", location="LINAC.1")
    t = np.arange(64)
    trace = 200 * np.exp(-((t - 20) / 6.0) ** 2)
    w.spectrum("ADC.1", [trace + rng.normal(0, 2, (n, 64)), trace * 0.5 + rng.normal(0, 2, (n, 64))],
               unit="counts", bits=np.int64(12))
    w.spectrum("ADC.SUB:2", [rng.normal(5, 1, (n, 32))], unit="kV")
    w.image("CAM.1", _frames(n, 48, 64, rng), unit="counts", bpp=np.int64(1))
    cam2_missing = np.where(np.arange(n) % 2 == 1, 6 if plugin else 2, 0)
    w.image("CAM.2", _frames(n, 48, 64, rng) * 40, missing=cam2_missing, dtype=np.uint16,
            unit="counts", bpp=np.int64(2))
    if plugin:
        conv = np.ones(n, np.uint8)
        conv[3] = 0
        eq_missing = np.where(conv == 1, 0, 8)
        w.structured("MAGNET.EQ", conv, eq_missing, format="EqData", location="ARC")
    else:
        w.structured("MAGNET.EQ", None, np.ones(n), format="EqData", location="ARC")
    gauge_missing = np.where(np.arange(n) % 3 == 1, 2, 0)
    w.scalar("VAC.GAUGE", 3.17 + rng.normal(0, 0.01, n), missing=gauge_missing, unit="nPa",
             location="DUMP")
    w.close()


def long_run(path, events=3000, jump_at=1500, jump=5):
    """A machine run long enough to be drawn in bins: every event whose ID ends in 9 is a
    pedestal (beam off, every reading 0, frames dark), the IDs jump by `jump` at row `jump_at`,
    CAM.2 has a frame in every other event, and GAUGE delivers 0 in the events whose channel
    status is bad. Returns the arrays written."""
    rng = np.random.default_rng(events)
    offsets = np.arange(events) + np.where(np.arange(events) >= jump_at, jump, 0)
    n = events
    w = RunWriter(path, n, plugin=True, ids=5000000000 + offsets)
    pedestal = offsets % 10 == 9
    charge = np.where(pedestal, 0.0, 1 + rng.normal(0, 0.01, n)).astype(np.float32)
    w.scalar("TOROID.1", charge, unit="nC")
    w.pairs("BPM.1", {"x": rng.normal(0, 0.05, n), "charge": charge}, unit="mm")
    w.spectrum("ADC.1", [np.where(pedestal[:, None], 0, 100 + rng.normal(0, 1, (n, 16)))])
    frames = np.where(pedestal[:, None, None], 0, _frames(n, 12, 16, rng)).astype(np.uint8)
    w.image("CAM.1", frames, unit="counts")
    w.image("CAM.2", frames, missing=np.where(np.arange(n) % 2 == 1, 6, 0), unit="counts")
    bad = np.flatnonzero(rng.random(n) < 0.05)
    gauge = (3.2 + rng.normal(0, 0.01, n)).astype(np.float32)
    gauge[bad] = 0
    w.scalar("GAUGE", gauge, bad=bad, unit="nPa")
    w.close()
    return {"charge": charge, "frames": frames, "pedestal": pedestal, "gauge": gauge, "bad": bad}


def many_channels(path, channels=200, events=30):
    """A run of many scalar channels, with gaps and a bad channel status here and there."""
    rng = np.random.default_rng(channels)
    w = RunWriter(path, events)
    for c in range(channels):
        missing = np.where(rng.random(events) < 0.1, 2, 0)
        bad = [c % events] if c % 17 == 0 else None
        w.scalar(f"CH.{c:03d}", rng.normal(c, 1, events), missing=missing, bad=bad, unit="V")
    w.close()


def camera_size_change(path, plugin=True, events=12):
    """A camera whose frame size changes. The plug-in grows the dataset to the largest frame and
    records each frame's Width/Height; the converter keeps one shape and marks others with 5."""
    rng = np.random.default_rng(7)
    w = RunWriter(path, events, plugin=plugin)
    big, small = (40, 60), (20, 30)  # height, width
    frames = np.zeros((events, *big))
    sizes = np.zeros((events, 2), int)
    missing = np.zeros(events, np.uint8)
    for e in range(events):
        h, wd = small if e % 3 == 2 else big
        sizes[e] = (wd, h)
        if plugin:
            frames[e, :h, :wd] = rng.integers(10, 200, (h, wd))
        elif (h, wd) == big:
            frames[e] = rng.integers(10, 200, big)
        else:
            missing[e] = 5
    w.image("CAM.ZOOM", frames, missing=missing, sizes=sizes, unit="counts")
    w.close()
    return int((sizes[:, 0] == big[1]).sum()), int((sizes[:, 0] == small[1]).sum())


def cannot_draw_run(path, events=10):
    """Channels the tool cannot draw: an unknown kind, a scalar without Value, a spectrum whose
    rows disagree with the run, a scalar with no value at all; and one drawable channel."""
    rng = np.random.default_rng(1)
    w = RunWriter(path, events)
    w.scalar("GOOD", rng.normal(0, 1, events), unit="A")
    w.channel("HOLOGRAM", "hologram")
    w.channel("NOVALUE", "scalar")
    g, _ = w.channel("SHORT.ADC", "spectrum")
    _ds(g, "Member0", np.zeros((events // 2, 8)))
    w.scalar("ALLGONE", np.zeros(events), missing=np.full(events, 2))
    w.close()


def not_hdf5(path):
    with open(path, "w") as f:
        f.write("EventId,Time\n5000000000,1733632724:5\n")


def truncated(path, source):
    """A copy of a run file cut off in the middle."""
    data = open(source, "rb").read()
    with open(path, "wb") as f:
        f.write(data[: len(data) // 3])


def without_run(path):
    with h5py.File(path, "w") as f:
        f.create_group("data").create_dataset("x", data=np.arange(3))


def altered(path, change):
    """The demo run with change(file) applied to it, e.g. an attribute of a wrong value."""
    demo_run(path)
    with h5py.File(path, "r+") as f:
        change(f)


def replaced(f, name, data):
    """Dataset `name` of f holding data instead (another type or shape)."""
    del f[name]
    f.create_dataset(name, data=data)


def future_layout(path):
    """A run file of a layout this tool does not know yet."""
    demo_run(path)
    with h5py.File(path, "r+") as f:
        f["run"].attrs["layout_version"] = np.int64(5)


def old_layout(path):
    """What daq-table2h5 wrote before layout_version: /run without the attribute."""
    with h5py.File(path, "w") as f:
        run = f.create_group("run")
        run.create_dataset("EventId", data=np.arange(3, dtype=np.uint64))
        run.create_dataset("TimeSec", data=np.arange(3, dtype=np.uint32))
