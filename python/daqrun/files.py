"""Open files and raw reads: one cached h5py.File per file on disk, with a cap on how many stay
open, and the block reads every source of events is made of."""

import collections
import os
import resource

import h5py
import numpy as np
from h5py import h5d, h5f, h5s

from .errors import Error

# Rows of N-D datasets read in one go when a selection is scattered over them: reading the span
# and picking rows is cheaper than a read per row, up to this many bytes.
SPAN_BYTES = 32 << 20


def _default_limit():
    soft, _ = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft == resource.RLIM_INFINITY:
        soft = 4096
    # An open HDF5 file holds about half a megabyte (its metadata cache), and many open files
    # slow every open and close: a campaign's run files are read one after the other, so a few
    # dozen at once are enough.
    return max(8, min(32, soft // 4))


class FileCache:
    """h5py.File objects by real path. Files a Run holds are pinned; the rest (the run files under
    an index) are closed oldest first once more than `limit` are open."""

    def __init__(self, limit=None):
        self.limit = limit or _default_limit()
        self._files = collections.OrderedDict()
        self._pins = collections.Counter()

    @staticmethod
    def _key(path):
        # realpath costs a stat per component: absolute paths (an index's sources) go as given.
        return path if os.path.isabs(path) else os.path.abspath(path)

    def get(self, path, pin=False):
        key = self._key(path) if not pin else os.path.realpath(path)
        f = self._files.get(key)
        if f is None or not f.id.valid:
            # The bare open: h5py.File's own costs twice as much, and a campaign opens
            # thousands of files.
            f = h5py.File(h5f.open(os.fsencode(key), h5f.ACC_RDONLY))
            self._files[key] = f
            self._evict()
        else:
            self._files.move_to_end(key)
        if pin:
            self._pins[key] += 1
        return f

    def unpin(self, f):
        key = os.path.realpath(f.filename)
        self._pins[key] -= 1
        if self._pins[key] <= 0:
            del self._pins[key]
            # A Run's own file: h5py's close, which also closes the groups and datasets still
            # open in it, so the file is really closed.
            g = self._files.pop(key, None)
            if g is not None and g.id.valid:
                g.close()

    def close(self, path):
        key = self._key(path)
        if key in self._pins:
            return
        f = self._files.pop(key, None)
        if f is not None and f.id.valid:
            f.id.close()

    def _evict(self):
        if len(self._files) <= self.limit:
            return
        for key in [k for k in self._files if k not in self._pins][:len(self._files) - self.limit]:
            f = self._files.pop(key)
            if f.id.valid:
                f.id.close()

    def __len__(self):
        return len(self._files)


files = FileCache()


def read_block(dsid, start, count, out):
    """Rows start .. start+count of a dataset into `out` (C-contiguous, count rows of the
    dataset's row shape), converted to out's type by HDF5."""
    fspace = dsid.get_space()
    shape = fspace.shape
    if start + count > shape[0] or tuple(out.shape[1:]) != tuple(shape[1:]):
        raise ValueError("rows outside the dataset")
    fspace.select_hyperslab((start,) + (0,) * (len(shape) - 1), (count,) + tuple(shape[1:]))
    dsid.read(h5s.create_simple(out.shape), fspace, out)


def row_runs(rows):
    """(position, first row, count) of each stretch of consecutive rows in a sorted array."""
    if len(rows) == 0:
        return []
    cut = np.flatnonzero(np.diff(rows) != 1) + 1
    starts = np.concatenate(([0], cut))
    ends = np.concatenate((cut, [len(rows)]))
    return [(int(a), int(rows[a]), int(b - a)) for a, b in zip(starts, ends)]


def read_rows(dsid, dtype, rows, out=None):
    """The given rows (sorted positions; None = all) of a dataset, as `dtype`."""
    shape = dsid.shape
    if dtype.kind == "O":
        ds = h5py.Dataset(dsid).asstr()
        data = np.asarray(ds[()], dtype=object)
        return data if rows is None else data[rows]
    row_shape = tuple(shape[1:])
    if rows is None:
        out = np.empty(shape, dtype) if out is None else out
        if out.size:
            dsid.read(h5s.create_simple(out.shape), h5s.ALL, out)
        return out
    n = len(rows)
    if out is None:
        out = np.empty((n,) + row_shape, dtype)
    if n == 0:
        return out
    first, last = int(rows[0]), int(rows[-1]) + 1
    row_bytes = dtype.itemsize * int(np.prod(row_shape, dtype=np.int64))
    if last - first == n:
        read_block(dsid, first, n, out)
    elif (last - first) * row_bytes <= SPAN_BYTES:
        span = np.empty((last - first,) + row_shape, dtype)
        read_block(dsid, first, last - first, span)
        np.take(span, rows - first, axis=0, out=out)
    else:
        for pos, start, count in row_runs(rows):
            read_block(dsid, start, count, out[pos:pos + count])
    return out


class DatasetStore:
    """The datasets of one group (/run or /campaign), opened once each by path."""

    def __init__(self, group):
        self.group = group
        self._ids = {}
        self._info = {}
        self._attrs = None

    @property
    def attrs(self):
        if self._attrs is None:
            self._attrs = dict(self.group.attrs)
        return self._attrs

    @property
    def events(self):
        return int(self.info("EventId")[0][0])

    def dsid(self, path):
        d = self._ids.get(path)
        if d is None:
            d = self._ids[path] = h5d.open(self.group.id, path.encode())
        return d

    def has(self, path):
        if path in self._info:
            return True
        try:
            self.info(path)
            return True
        except KeyError:
            return False

    def info(self, path):
        """(shape, numpy dtype, fill) of a dataset; KeyError when there is none."""
        got = self._info.get(path)
        if got is None:
            try:
                d = self.dsid(path)
            except (KeyError, ValueError, TypeError):
                raise KeyError(path) from None
            got = self._info[path] = (d.shape, d.dtype, self.fill_of(d))
        return got

    def fill_of(self, d):
        # A run file's reads fill every row: its fill value is never needed.
        return None


class RunFileStore(DatasetStore):
    """The events of one run file: datasets under /run, read straight from the file."""

    kind = "run"

    def __init__(self, f, root):
        self.file = f
        self.path = f.filename
        self.root = root
        super().__init__(f[root])
        self.base_rows = None

    def read(self, paths, rows=None):
        out = []
        for path in paths:
            _, dtype, _ = self.info(path)
            out.append(read_rows(self.dsid(path), dtype, rows))
        return out

    def close(self):
        self._ids.clear()
        if self.file.id.valid:
            files.unpin(self.file)
