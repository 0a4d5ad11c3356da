#!/usr/bin/python3
"""campaign_index: the runs of a campaign read as one HDF5 file.

    campaign_index.py -o OUT/campaign.h5 OUT/RUN1 OUT/RUN2 ...
    campaign_index.py -o OUT/campaign.h5 --manifest runs.json

Each RUN folder holds a run file `run.h5` of the layout of docs/hdf5-layout.md. The index holds
under `/campaign` one virtual dataset per per-event dataset of the runs, joining them along the
event axis, with source files named relative to the index; the table `/campaign/runs`; and
`/campaign/Run`, the row of each event's run. It holds no copy of the data, so it stays small and
is made in seconds; the folder of index and runs can be moved as a whole.
"""

import argparse
import json
import os
import re
import sys
import tempfile

import h5py
import numpy as np
from h5py import h5d, h5p, h5s, h5t

LAYOUT_VERSIONS = (3, 4)    # of the run files read
LAYOUT_VERSION = 4          # of /campaign itself, which reads as a run file
INDEX_VERSION = 2           # of /campaign's own additions (the runs table, Run)
RUN_FILE = "run.h5"
TIME_UNITS = "microseconds since 1970-01-01 00:00:00"
# Attributes that tie a dataset to dimension scales of its own file: never copied.
SCALE_ATTRS = {"CLASS", "NAME", "REFERENCE_LIST", "DIMENSION_LIST"}
# Per-run summaries of a channel group: they describe one run, not the campaign.
RUN_ONLY_ATTRS = {"events", "source_file", "description_file", "rows_with_wrong_cell_count"}
# The converter's record of the text a dataset was read from: one run's, so a column of the
# runs table (text_format), never an attribute of the joined dataset.
RUN_ONLY_DATASET_ATTRS = {"text_format", "truncated_to"}
STATUS_CODES = ("ok: every job of the run finished; failed: a job of the run failed, left out; "
                "incomplete: the run's jobs did not finish (interrupted), left out; "
                "changed: the run file differs from the one indexed (the report's word)")


class Run:
    """One input of the campaign and what its jobs left behind."""

    def __init__(self, name, folder, source="", kind="", required=(RUN_FILE,), failed=None,
                 unfinished=None):
        self.name = name
        self.folder = folder
        self.source = source
        self.kind = kind
        self.required = list(required)
        # What the workflow knows: a job of the run failed; the files it did not finish (missing,
        # or marked incomplete by Snakemake).  None: not known, a missing file is a failure.
        self.failed = failed
        self.unfinished = unfinished
        self.status = "failed"
        self.reason = ""
        self.generation = 0
        self.producer = ""
        self.events = 0
        self.first_event = self.last_event = 0
        self.start = self.end = 0
        self.plugin_options = ""
        self.file_size = 0
        self.text_format = ""
        self.overlaps = 0
        self.ids = None         # its event IDs, while the index is made
        self.datasets = {}      # path under /run -> (shape, numpy dtype, fill)
        self.groups = []        # channel groups, in file order

    @property
    def path(self):
        return os.path.join(self.folder, RUN_FILE)


def last_log_line(folder):
    """The last line a failed job wrote to its log: usually the reason."""
    found = ""
    try:
        logs = sorted((os.path.getmtime(os.path.join(folder, n)), n)
                      for n in os.listdir(folder) if n.endswith(".log"))
    except OSError:
        return "no output folder"
    for _, name in logs:
        try:
            with open(os.path.join(folder, name), errors="replace") as f:
                lines = [line.strip() for line in f if line.strip()]
        except OSError:
            continue
        if lines:
            found = f"{name}: {lines[-1]}"
    return found[:400]


def fill_of(ds):
    if ds.dtype.kind in "OSU":
        return None  # h5py cannot give a variable-length string's fill; the library's own is ""
    return ds.fillvalue


def per_event(name, ds):
    """Whether a dataset of one row per event holds per-event values: extendible, or made at its
    final size at the end of a run (layout 4 without a codec) and not an axis of its own (a
    dimension scale such as `StatBit` or `Member0Sample`, which may be as long as the run)."""
    if ds.maxshape[0] is None:
        return True
    cls = ds.attrs.get("CLASS")
    if isinstance(cls, bytes):
        cls = cls.decode()
    return name.rsplit("/", 1)[-1] == "EventId" or cls != "DIMENSION_SCALE"


class Seen:
    """What earlier runs of the campaign showed at each path, by producer: the runs of a
    campaign share their layout, so a one-row-per-event dataset is opened once, and later only
    when it has more than one axis (a spectrum or a frame, whose width may differ)."""

    def __init__(self):
        self.kinds = {}   # (producer, path) -> None (group), or (ndim, dtype, fill)
        self.other = set()  # (producer, path): datasets that are not per event

    def scan_group(self, run, g, producer, events):
        names = []
        g.id.links.visit(names.append)
        for raw in names:
            name = raw.decode()
            if name.endswith("/EventId"):
                continue  # a channel group's link to /run/EventId (layout 4): the same dataset
            key = (producer, name)
            if key in self.other:
                continue
            kind = self.kinds.get(key, False)
            if kind is None:
                run.groups.append(name)
                continue
            if kind is not False and kind[0] == 1:
                run.datasets[name] = ((events,), kind[1], kind[2])
                continue
            if kind is not False:
                # Seen before with more axes: only its shape is new (h5py's Dataset wrapper
                # costs ten times the bare open).
                shape = h5d.open(g.id, raw).shape
                if len(shape) == kind[0] and shape[0] == events:
                    run.datasets[name] = (shape, kind[1], kind[2])
                    continue
            obj = g.get(name)
            if isinstance(obj, h5py.Group):
                self.kinds[key] = None
                run.groups.append(name)
            elif obj.ndim >= 1 and obj.shape[0] == events and per_event(name, obj):
                fill = fill_of(obj) if kind is False else kind[2]
                self.kinds[key] = (obj.ndim, obj.dtype, fill)
                run.datasets[name] = (obj.shape, obj.dtype, fill)
            else:
                self.other.add(key)


def text_formats(g):
    """The converter's text formats of a run, one per kind of dataset: `Value %f; Member %.e`."""
    found = set()

    def visit(name, obj):
        fmt = obj.attrs.get("text_format") if isinstance(obj, h5py.Dataset) else None
        if fmt is not None:
            found.add(f"{re.sub(r'[0-9]+', '', name.rsplit('/', 1)[-1])} {fmt}")

    g.visititems(visit)
    return "; ".join(sorted(found))


def scan(run, seen=None):
    """Fills `run` from its run file. Its status comes from what its jobs finished: `failed`
    when one of them failed, `incomplete` when they did not finish, else `ok` once the file reads."""
    if run.unfinished is None:
        missing = [n for n in run.required if not os.path.exists(os.path.join(run.folder, n))]
    else:
        missing = list(run.unfinished)
    if run.failed or (missing and run.failed is None):
        run.reason = last_log_line(run.folder) or f"no {missing[0] if missing else RUN_FILE}"
        return
    if missing:
        run.status = "incomplete"
        run.reason = "not finished: " + ", ".join(missing)
        return
    try:
        run.file_size = os.path.getsize(run.path)
        with h5py.File(run.path, "r") as f:
            g = f.get("run")
            if not isinstance(g, h5py.Group) or g.attrs.get("layout_version") not in LAYOUT_VERSIONS:
                raise ValueError("not a run file of layout version "
                                 + " or ".join(map(str, LAYOUT_VERSIONS)))
            events = int(g.attrs.get("events", g["EventId"].shape[0]))
            (seen or Seen()).scan_group(run, g, str(g.attrs.get("producer", "")), events)
            run.events = events
            run.generation = int(g.attrs.get("generation", 0))
            run.producer = str(g.attrs.get("producer", ""))
            run.plugin_options = str(g.attrs.get("plugin_options", ""))
            run.status_columns = int(g.attrs.get("status_columns", 0))
            if run.producer == "daq-table2h5":
                run.text_format = text_formats(g)
            run.ids = g["EventId"][:events].astype(np.uint64)
            if events:
                ids = run.ids
                run.first_event, run.last_event = int(ids[0]), int(ids[events - 1])
                if "Time" in g:
                    t = g["Time"]
                    run.start, run.end = int(t[0]), int(t[events - 1])
    except (OSError, KeyError, ValueError) as err:
        run.datasets, run.groups, run.ids, run.file_size = {}, [], None, 0
        run.reason = f"{RUN_FILE}: {err}"
        return
    run.status = "ok"


def common_dtype(dtypes):
    """The type every source converts to without loss; None when they cannot meet."""
    strings = [d for d in dtypes if d.kind in "OSU"]
    if strings:
        return h5py.string_dtype() if len(strings) == len(dtypes) else None
    try:
        return np.result_type(*dtypes)
    except TypeError:
        return None


def h5type(dtype):
    if dtype.kind == "O":
        return h5t.py_create(h5py.string_dtype(), logical=True)
    return h5t.py_create(dtype)


def vds_name(name):
    # HDF5 reads '%' in a mapping's file and dataset names as printf-like ('%b'): '%%' is '%'.
    return name.replace("%", "%%").encode()


def virtual(group, name, total, entries, dtype, fill):
    """Creates one virtual dataset of `total` rows from (offset, run, shape) entries."""
    shape = (total,) + tuple(max(e[3][d] for e in entries) for d in range(1, len(entries[0][3])))
    vspace = h5s.create_simple(shape, shape)
    dcpl = h5p.create(h5p.DATASET_CREATE)
    if fill is not None and dtype.kind != "O":
        dcpl.set_fill_value(np.array(fill, dtype=dtype))
    spaces = {}
    for offset, relfile, dset, src_shape in entries:
        if src_shape[0] == 0:
            continue
        src = spaces.get(src_shape)
        if src is None:
            src = spaces[src_shape] = h5s.create_simple(src_shape, src_shape)
        vspace.select_hyperslab((offset,) + (0,) * (len(shape) - 1), src_shape)
        dcpl.set_virtual(vspace, vds_name(relfile), vds_name(dset), src)
    vspace.select_all()
    dsid = h5d.create(group.id, name.encode(), h5type(dtype), vspace, dcpl=dcpl)
    return h5py.Dataset(dsid)


# netCDF's mark of a dimension that has no coordinate values.
NOT_A_VARIABLE = "This is a netCDF dimension but not a netCDF variable."


def source_axes(ds):
    """The names of the scales on the axes past the event axis of a run file's dataset."""
    names = []
    for k in range(1, ds.ndim):
        scales = ds.dims[k].values()
        names.append(scales[0].name.rsplit("/", 1)[-1] if scales else None)
    return names


def label_other_axes(ds, names):
    """Gives the axes after the event axis scales: the run files' own (`Member0Sample`,
    `PixelY`, ..., 0, 1, ... as wide as the campaign's widest row), else dimensions without
    values (NAME_dimK): netCDF readers refuse a dataset whose axes are labelled in part, and
    NeXus viewers want the axes that `axes` names."""
    parent = ds.parent
    base = ds.name.rsplit("/", 1)[-1]
    for k in range(1, ds.ndim):
        width = ds.shape[k]
        name = names[k - 1] if k - 1 < len(names) else None
        scale = parent.get(name) if name else None
        if name and scale is None:
            scale = parent.create_dataset(name, data=np.arange(width, dtype=np.int32))
            scale.make_scale(name)
        if not (isinstance(scale, h5py.Dataset) and scale.shape == (width,)
                and h5py.h5ds.is_scale(scale.id)):
            name = f"{base}_dim{k}"
            scale = parent.get(name)
            if scale is None:
                scale = parent.create_dataset(name, shape=(width,), dtype="f4")
                scale.make_scale(f"{NOT_A_VARIABLE}{width:10d}")
        ds.dims[k].attach_scale(scale)


def copy_attrs(src, dst, skip=()):
    for key in src.attrs:
        if key in SCALE_ATTRS or key in skip:
            continue
        value = src.attrs[key]
        if key == "_FillValue" and isinstance(dst, h5py.Dataset) and dst.dtype.kind in "fiu":
            value = np.array(value).astype(dst.dtype)  # a fill of the promoted type
        dst.attrs[key] = value


def as_nxdata(group):
    """Makes a channel group that a run file marks NXdata valid NXdata of the index: its event
    axis is the group's link to EventId, and every other axis it names is there."""
    if group.attrs.get("NX_class") != "NXdata":
        return
    signal = group.get(str(group.attrs.get("signal", "")))
    if not isinstance(signal, h5py.Dataset):
        for key in ("NX_class", "signal", "axes"):
            group.attrs.pop(key, None)
        return
    axes = []
    for k in range(signal.ndim):
        scales = signal.dims[k].values()
        name = scales[0].name.rsplit("/", 1)[-1] if scales else "."
        axes.append("EventId" if k == 0 else name if name in group else ".")
    group.attrs["axes"] = axes if len(axes) > 1 else axes[0]


def write_runs_table(g, runs, rel):
    str_t = h5py.string_dtype()
    cols = {
        "name": ([r.name for r in runs], str_t),
        "file": ([rel(r) if r.status == "ok" else "" for r in runs], str_t),
        "generation": ([r.generation for r in runs], np.int64),
        "producer": ([r.producer for r in runs], str_t),
        "first_event": ([r.first_event for r in runs], np.uint64),
        "last_event": ([r.last_event for r in runs], np.uint64),
        "events": ([r.events for r in runs], np.uint64),
        "start": ([r.start for r in runs], np.int64),
        "end": ([r.end for r in runs], np.int64),
        "status": ([r.status for r in runs], str_t),
        "first_row": ([r.first_row for r in runs], np.uint64),
        "input": ([r.source for r in runs], str_t),
        "plugin_options": ([r.plugin_options for r in runs], str_t),
        "reason": ([r.reason for r in runs], str_t),
        "file_size": ([r.file_size for r in runs], np.uint64),
        "text_format": ([r.text_format for r in runs], str_t),
        "overlaps": ([r.overlaps for r in runs], np.uint64),
    }
    rg = g.create_group("runs")
    for key, (values, dtype) in cols.items():
        rg.create_dataset(key, data=np.array(values, dtype=dtype), dtype=dtype)
    for key in ("start", "end"):
        rg[key].attrs["units"] = TIME_UNITS
    rg["file_size"].attrs["units"] = "bytes"
    rg.attrs["status_codes"] = STATUS_CODES
    return rg


def count_duplicates(runs):
    """Marks each run's events whose ID occurs elsewhere too (another run, or again in its
    own); returns the number of such events in the campaign."""
    ok = [r for r in runs if r.ids is not None and r.status == "ok"]
    if not ok:
        return 0
    ids = np.concatenate([r.ids for r in ok])
    _, inverse, counts = np.unique(ids, return_inverse=True, return_counts=True)
    repeated = counts[inverse] > 1
    start = 0
    for r in ok:
        r.overlaps = int(np.count_nonzero(repeated[start:start + len(r.ids)]))
        start += len(r.ids)
        r.ids = None
    return int(np.count_nonzero(repeated))


def build(out, runs):
    """Writes the index `out` for `runs` (in their order); returns the runs, scanned."""
    out_dir = os.path.dirname(os.path.abspath(out))
    seen = Seen()
    for run in runs:
        scan(run, seen)
    duplicates = count_duplicates(runs)

    for run in runs:
        run.relpath = os.path.relpath(os.path.abspath(run.path), out_dir)

    def rel(run):
        return run.relpath

    ok = [r for r in runs if r.status == "ok"]
    offset = 0
    for run in runs:
        run.first_row = offset
        offset += run.events if run.status == "ok" else 0
    total = offset

    # Every per-event dataset and channel group of any run, in order of first appearance, with
    # the first run that has it.
    paths, groups = {}, {}
    for run in ok:
        for path, info in run.datasets.items():
            paths.setdefault(path, []).append((run, info))
        for name in run.groups:
            groups.setdefault(name, run)

    fd, tmp = tempfile.mkstemp(prefix=os.path.basename(out) + ".tmp-", dir=out_dir)
    os.close(fd)
    try:
        with h5py.File(tmp, "w", libver=("v110", "v110")) as f:
            g = f.create_group("campaign")
            for name in groups:
                g.require_group(name)
            # Each virtual dataset is wrapped once: h5py copies a dataset's creation properties,
            # every mapping with them, whenever it wraps one.
            made = {}
            first_file = {}
            for path, sources in paths.items():
                dtype = common_dtype([info[1] for _, info in sources])
                if dtype is None:
                    dtype = sources[0][1][1]
                keep = [(r, info) for r, info in sources
                        if common_dtype([dtype, info[1]]) == dtype and len(info[0]) == len(sources[0][1][0])]
                parent = g.require_group(os.path.dirname(path)) if "/" in path else g
                fill = keep[0][1][2]
                if fill is not None and dtype.kind in "fiu":
                    fill = np.array(fill).astype(dtype)
                entries = [(r.first_row, r.relpath, "/run/" + path, info[0]) for r, info in keep]
                made[path] = virtual(parent, os.path.basename(path), total, entries, dtype, fill)
                first_file[path] = keep[0][0]

            made["Run"] = g.create_dataset(
                "Run", data=np.repeat(np.arange(len(runs), dtype=np.uint32),
                                      [r.events if r.status == "ok" else 0 for r in runs]),
                dtype=np.uint32, chunks=(min(max(total, 1), 1 << 16),), compression="gzip",
                shuffle=True, maxshape=(None,))
            made["Run"].attrs["long_name"] = "row of /campaign/runs that holds the event"
            write_runs_table(g, runs, rel)

            # Attributes from the first run that has the object: names, kinds, units, ...
            by_run = {}
            for path, run in list(first_file.items()) + list(groups.items()):
                by_run.setdefault(run.name, (run, []))[1].append(path)
            axes = {}
            entry_attrs = {}
            for run, objects in by_run.values():
                with h5py.File(run.path, "r") as src:
                    if not entry_attrs:
                        entry_attrs = dict(src["run"].attrs)
                    for path in objects:
                        obj = src["run"][path]
                        skip = RUN_ONLY_ATTRS
                        if isinstance(obj, h5py.Group):
                            skip = skip | {k for k in obj.attrs
                                           if k.startswith("cells_") or k == "values_invalid"}
                        else:
                            skip = skip | RUN_ONLY_DATASET_ATTRS
                            if obj.ndim > 1:
                                axes[path] = source_axes(obj)
                        copy_attrs(obj, made[path] if path in made else g[path], skip)
            g.attrs["layout_version"] = LAYOUT_VERSION
            g.attrs["index_version"] = INDEX_VERSION
            g.attrs["producer"] = "campaign_index"
            g.attrs["events"] = np.uint64(total)
            g.attrs["runs"] = np.uint64(len(runs))
            g.attrs["runs_failed"] = np.uint64(len(runs) - len(ok))
            g.attrs["fill_value"] = np.nan
            g.attrs["status_columns"] = np.uint8(any(r.status_columns for r in ok))
            g.attrs["duplicate_event_ids"] = np.uint64(duplicates)

            # EventId is the scale of every per-event axis, as in a run file, and each channel
            # group links to it, so that a group opened alone has its event coordinate.
            scale = made.get("EventId")
            if scale is not None:
                scale.make_scale("EventId")
                for path, ds in made.items():
                    if path != "EventId" and ds.ndim >= 1 and ds.shape[0] == total:
                        ds.dims[0].attach_scale(scale)
                        label_other_axes(ds, axes.get(path, []))
                for name in groups:
                    if "EventId" not in g[name]:
                        g[name]["EventId"] = scale
            for name in groups:
                as_nxdata(g[name])

            # For viewers (NeXus): the index's entry and its default picture, as in a run file.
            g.attrs["NX_class"] = "NXentry"
            default = str(entry_attrs.get("default", ""))
            if default not in g or g[default].attrs.get("NX_class") != "NXdata":
                default = next((n for n in groups if g[n].attrs.get("NX_class") == "NXdata"), "")
            if default:
                g.attrs["default"] = default
            f.attrs["default"] = "campaign"
        os.chmod(tmp, 0o644)
        os.replace(tmp, out)
    except BaseException:
        os.unlink(tmp)
        raise
    return runs


def runs_from_manifest(path):
    with open(path) as f:
        doc = json.load(f)
    return [Run(e["name"], e["folder"], e.get("input", ""), e.get("kind", ""),
                e.get("required", [RUN_FILE]), e.get("failed"), e.get("unfinished"))
            for e in doc]


def main(argv=None):
    parser = argparse.ArgumentParser(prog="campaign_index", description=__doc__.split("\n")[0])
    parser.add_argument("-o", "--output", required=True, metavar="CAMPAIGN.h5")
    parser.add_argument("--manifest", metavar="RUNS.json",
                        help="JSON list of {name, folder, input, kind, required, failed, unfinished}")
    parser.add_argument("folders", nargs="*", metavar="RUN_FOLDER",
                        help="folders holding run.h5, one a run (the folder's name is the run's)")
    args = parser.parse_args(argv)
    runs = runs_from_manifest(args.manifest) if args.manifest else []
    runs += [Run(os.path.basename(os.path.normpath(d)), d) for d in args.folders]
    if not runs:
        parser.error("no runs")
    build(args.output, runs)
    failed = [r.name for r in runs if r.status != "ok"]
    print(f"campaign_index: {args.output}: {len(runs)} runs, {len(failed)} failed"
          + (f" ({', '.join(failed)})" if failed else ""), file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
