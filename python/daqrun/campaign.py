"""A campaign index (`/campaign`): virtual datasets over the runs' files, read here per source
file instead of through HDF5's virtual-dataset layer.

HDF5 opens every source of a virtual dataset each time the dataset is read, and a channel takes
three of them (values, Missing, EventId). Reading the sources ourselves opens each run file once
per read for all of them, follows the index's own mappings (what a run lacks stays the index's
fill: Missing 2, so masked), and leaves out a run whose file changed since it was indexed."""

import os
import warnings

import h5py
import numpy as np
from h5py import h5d, h5f, h5g, h5s

from .errors import ChangedRunFileWarning
from .files import DatasetStore, files, read_rows


def _column(ds):
    return ds.asstr()[()] if ds.dtype.kind == "O" else ds[()]


def _source_start(space):
    """First row of a mapping's source selection. A selection of the whole source is stored
    without its extent (the source's shape is the mapped block's, in the virtual space)."""
    if space.get_select_type() == h5s.SEL_ALL:
        return 0
    return space.get_select_bounds()[0][0]


class Mappings:
    """The mappings of one virtual dataset, as arrays: rows vstart .. vstart+count of the index
    are rows sstart .. of dataset `dset` of file `src` (None: not found), rows of `shape`."""

    def __init__(self, entries):
        self.vstart = np.array([e[0] for e in entries], np.int64)
        self.count = np.array([e[1] for e in entries], np.int64)
        self.src = [e[2] for e in entries]
        self.dset = [e[3] for e in entries]
        self.sstart = np.array([e[4] for e in entries], np.int64)
        self.shape = [e[5] for e in entries]


class IndexStore(DatasetStore):
    kind = "campaign"

    def __init__(self, f, root):
        self.file = f
        self.path = f.filename
        self.dir = os.path.dirname(os.path.abspath(self.path))
        self.root = root
        super().__init__(f[root])
        table = self.group.get("runs")
        self._table = table if isinstance(table, h5py.Group) else None
        self.runs = {}
        if self._table is not None:
            for k in ("name", "file", "status", "first_row", "events", "file_size"):
                if k in self._table:
                    self.runs[k] = _column(self._table[k])
        self._maps = {}
        self._opened = set()
        self._bad_files = set()
        self._run_of_file = {}
        self._events_of_file = {}
        self._where = {}
        self._sizes = {}
        self.left_out = np.zeros(len(self.runs.get("name", ())), bool)
        self._check_runs()
        total = self.events
        if self.left_out.any():
            keep = np.ones(total, bool)
            for i in np.flatnonzero(self.left_out):
                a = int(self.runs["first_row"][i])
                keep[a:a + int(self.runs["events"][i])] = False
            self.base_rows = np.flatnonzero(keep)
        else:
            self.base_rows = None

    def runs_table(self):
        """Every column of /campaign/runs."""
        if self._table is not None:
            for k in self._table:
                if k not in self.runs:
                    self.runs[k] = _column(self._table[k])
        return self.runs

    def source_path(self, name):
        """Where HDF5 would find a source file: under HDF5_VDS_PREFIX, beside the index, then
        as given."""
        if name not in self._where:
            self._where[name] = self._find(name)
        return self._where[name]

    def _find(self, name):
        if name == ".":
            return os.path.realpath(self.path)
        if os.path.isabs(name):
            return name if os.path.exists(name) else None
        candidates = []
        prefix = os.environ.get("HDF5_VDS_PREFIX")
        if prefix:
            candidates.append(os.path.join(prefix.replace("${ORIGIN}", self.dir), name))
        candidates += [os.path.join(self.dir, name), name]
        for c in candidates:
            try:
                size = os.stat(c).st_size
            except OSError:
                continue
            c = os.path.abspath(c)
            self._sizes[c] = size
            return c
        return None

    def _leave_out(self, i, path, why, stacklevel=6):
        self.left_out[i] = True
        self._bad_files.add(path)
        warnings.warn(f"{path}: {why}; the {int(self.runs['events'][i])} events of run "
                      f"{self.runs['name'][i]} are left out", ChangedRunFileWarning,
                      stacklevel=stacklevel)

    def _check_runs(self):
        """A run file that is gone, or (with the index's file_size) of another size than when
        it was indexed: warned once, its events left out. Its event count (the rows of every
        dataset read, /run's `events`) is checked as it is read."""
        r = self.runs
        if "status" not in r or "file" not in r:
            return
        sizes = r.get("file_size")
        for i in np.flatnonzero(r["status"] == "ok"):
            path = self.source_path(r["file"][i])
            if path is None:
                self._leave_out(i, os.path.join(self.dir, r["file"][i]), "run file missing")
                continue
            self._run_of_file[path] = i
            self._events_of_file[path] = int(r["events"][i])
            if sizes is not None:
                size = self._sizes.get(path) or os.path.getsize(path)
                if size != int(sizes[i]):
                    self._leave_out(i, path, f"run file changed after indexing ({size} bytes, "
                                             f"{int(sizes[i])} when indexed)")

    def _changed(self, path, why):
        if path not in self._bad_files:
            self._bad_files.add(path)
            i = self._run_of_file.get(path)
            run = f"run {self.runs['name'][i]}" if i is not None else "its run"
            warnings.warn(f"{path}: run file changed after indexing ({why}); {run} reads as "
                          f"missing", ChangedRunFileWarning, stacklevel=6)

    def first_run_order(self):
        """Column -> position in the first readable run file: the index lists its groups by
        name, the runs in the order they were made."""
        r = self.runs
        for i in np.flatnonzero((r.get("status", []) == "ok") & ~self.left_out):
            path = self.source_path(r["file"][i])
            try:
                run = self._source(path)["run"]
                columns = [run[k].attrs.get("column") for k in run
                           if h5g.get_objinfo(run.id, k.encode()).type == h5g.GROUP]
            except (OSError, KeyError, TypeError):
                continue
            return {str(c): n for n, c in enumerate(c for c in columns if c is not None)}
        return {}

    def _source(self, path):
        self._opened.add(path)
        return files.get(path)

    def fill_of(self, d):
        # The index's fill is what a run without the dataset reads as.
        if d.dtype.kind == "O":
            return ""
        box = np.zeros(1, d.dtype)
        d.get_create_plist().get_fill_value(box)
        return box[0]

    def mappings(self, path):
        """The Mappings of a virtual dataset; None for a dataset the index holds itself."""
        if path in self._maps:
            return self._maps[path]
        dcpl = self.dsid(path).get_create_plist()
        maps = None
        if dcpl.get_layout() == h5d.VIRTUAL:
            entries, names = [], {}
            for i in range(dcpl.get_virtual_count()):
                vstart, vend = dcpl.get_virtual_vspace(i).get_select_bounds()
                fname = dcpl.get_virtual_filename(i)
                if fname not in names:
                    names[fname] = self.source_path(fname)
                block = tuple(e - s + 1 for s, e in zip(vstart, vend))
                entries.append((vstart[0], block[0], names[fname],
                                dcpl.get_virtual_dsetname(i).encode(),
                                _source_start(dcpl.get_virtual_srcspace(i)), block[1:]))
            maps = Mappings(entries)
        self._maps[path] = maps
        return maps

    def read(self, paths, rows=None):
        n = self.events if rows is None else len(rows)
        outs, jobs = [], {}
        for k, path in enumerate(paths):
            shape, dtype, fill = self.info(path)
            maps = self.mappings(path)
            if maps is None:
                outs.append(read_rows(self.dsid(path), dtype, rows))
                continue
            if dtype.kind == "O":
                out = np.full(n, "", dtype=object)
            else:
                out = np.full((n,) + tuple(shape[1:]), fill, dtype)
            outs.append(out)
            if rows is None:
                i0, i1 = maps.vstart, maps.vstart + maps.count
            else:
                i0 = np.searchsorted(rows, maps.vstart)
                i1 = np.searchsorted(rows, maps.vstart + maps.count)
            for j in np.flatnonzero(i1 > i0).tolist():
                jobs.setdefault(maps.src[j], []).append((k, maps, j, int(i0[j]), int(i1[j])))
        jobs.pop(None, None)
        # One pass over the source files, every dataset of a file while it is open. A pass over
        # more files than the cache holds would only push out each file before its next use:
        # those are closed as soon as they are read.
        sweep = len(jobs) > files.limit
        for src, items in jobs.items():
            if src in self._bad_files:
                continue
            try:
                # A sweep opens each file once and closes it after: the bare file handle,
                # without the cache's bookkeeping (a campaign of thousands of runs).
                fid = (h5f.open(os.fsencode(src), h5f.ACC_RDONLY) if sweep
                       else self._source(src).id)
            except OSError:
                self._bad_files.add(src)
                warnings.warn(f"{src}: run file unreadable; its events read as missing",
                              ChangedRunFileWarning, stacklevel=4)
                continue
            written = []
            for k, maps, j, a, b in items:
                try:
                    d = h5d.open(fid, maps.dset[j])
                except KeyError:
                    continue
                shape = d.shape
                count, sstart = maps.count[j], maps.sstart[j]
                # Every per-event dataset of a run file has its `events` rows: a dataset of
                # other rows than the index mapped is another file's, never this run's data.
                events = self._events_of_file.get(src, sstart + count)
                if shape[1:] != maps.shape[j] or shape[0] != events:
                    self._changed(src, f"{maps.dset[j].decode()} has {shape[0]} rows, "
                                       f"{events} when indexed")
                    break
                out = outs[k]
                written.append((k, a, b))
                same = out.dtype.kind != "O" and out.shape[1:] == maps.shape[j]
                if rows is None and same and sstart == 0 and shape[0] == count:
                    d.read(h5s.ALL, h5s.ALL, out[a:b])  # the whole source: no selection
                    continue
                local = (np.arange(a, b) if rows is None else rows[a:b]) + int(sstart - maps.vstart[j])
                if same:
                    read_rows(d, out.dtype, local, out=out[a:b])
                else:
                    got = read_rows(d, out.dtype, local)
                    out[(slice(a, b),) + tuple(slice(0, s) for s in maps.shape[j])] = got
            if src in self._bad_files:
                for k, a, b in written:
                    outs[k][a:b] = self.info(paths[k])[2]
            if sweep:
                fid.close()
        return outs

    def close(self):
        self._ids.clear()
        for path in self._opened:
            files.close(path)
        self._opened.clear()
        if self.file.id.valid:
            files.unpin(self.file)
