"""One channel of a run: its values to NumPy, pandas or xarray, masked by `Missing` (and on
request `ChanStatus`), never by a value."""

import re

import numpy as np
import pandas as pd
import xarray as xr

from .errors import ChannelNotFound, Error

SCALAR_KINDS = ("scalar", "scalar_int", "pairs")
# Frames read per batch by default: about this many bytes at a time.
BATCH_BYTES = 32 << 20
_MEMBER = re.compile(r"Member(\d+)$")


def _escape(name):
    """A pair's dataset name as the writer makes it (for files without pair_datasets)."""
    key = name.replace("%", "%25").replace("/", "%2F")
    return {"": "%00", ".": "%2E"}.get(key, key)


class ChannelInfo:
    """What a channel group says about itself, read once per file."""

    def __init__(self, store, column, key):
        g = store.group[key]
        a = g.attrs
        self._group = g
        self.column = column
        self.key = key
        self.kind = str(_attr(a, "kind", ""))
        self.datasets = {}  # key (what a user names) -> dataset path under the root
        if self.kind in ("scalar", "scalar_int"):
            if "Value" in g:
                self.datasets["Value"] = f"{key}/Value"
        elif self.kind == "pairs":
            names = [str(n) for n in _attr(a, "pair_names", [])]
            sets = _attr(a, "pair_datasets")
            sets = [str(s) for s in sets] if sets is not None else [_escape(n) for n in names]
            for n, s in zip(names, sets):
                self.datasets[n] = f"{key}/{s}"
        elif self.kind == "spectrum":
            members = sorted((int(m.group(1)), m.group(0)) for m in map(_MEMBER.match, g) if m)
            for _, m in members:
                self.datasets[m] = f"{key}/{m}"
        elif self.kind == "image" and "Pixels" in g:
            self.datasets["Pixels"] = f"{key}/Pixels"
        self.has_status = "ChanStatus" in g

    @property
    def members(self):
        return list(self._group)

    @property
    def unit(self):
        unit = _attr(self._group.attrs, "unit")
        return None if unit is None else str(unit)


def _attr(attrs, name, default=None):
    # One lookup where attrs.get makes two: a channel's few attributes are read at every open.
    try:
        return attrs[name]
    except KeyError:
        return default


class Channel:
    """`run[name]`: one channel of the run's (selected) events."""

    def __init__(self, run, info):
        self.run = run
        self._info = info
        self.name = info.column
        self.kind = info.kind

    @property
    def unit(self):
        """The description's `unit`, or None."""
        return self._info.unit

    def __repr__(self):
        return (f"<daqrun.Channel {self.name!r} kind={self.kind} unit={self.unit} "
                f"keys={self.keys} events={len(self.run)}>")

    @property
    def keys(self):
        """The value keys: `Value`, the pair names, `Member0`…, `Pixels`."""
        return list(self._info.datasets)

    @property
    def attrs(self):
        """Every attribute of the channel's group (description, counts, kind, ...)."""
        return dict(self.run._store.group[self._info.key].attrs)

    def _path(self, key):
        if key is None:
            if not self._info.datasets:
                raise Error(f"{self.name} (kind {self.kind}) has no values: use .present")
            key = next(iter(self._info.datasets))
        path = self._info.datasets.get(key)
        if path is None:
            if key in self._info.members:
                return key, f"{self._info.key}/{key}"
            raise ChannelNotFound(f"{self.name} has no key {key!r}; its keys: "
                                  f"{', '.join(self.keys) or 'none'}")
        return key, path

    def _label(self, key):
        return f"{self.name}/{key}" if self.kind == "pairs" else self.name

    def _mask_paths(self, good_status):
        paths = [f"{self._info.key}/Missing"]
        if good_status and self._info.has_status:
            paths.append(f"{self._info.key}/ChanStatus")
        return paths

    @staticmethod
    def _missing(arrays):
        """True where the cell has no value: Missing != 0, or ChanStatus != 0 when asked."""
        missing = arrays[0] != 0
        if len(arrays) > 1:
            missing |= arrays[1] != 0
        return missing

    @property
    def present(self):
        """Per selected event, True where the channel had a value (Missing == 0)."""
        return self.run._read([f"{self._info.key}/Missing"])[0] == 0

    def ndarray(self, key=None):
        """The stored values of the selected events as written, fill included: any dataset of
        the group (`Length`, `ChanStatus`, `Width`, ...) by its name."""
        _, path = self._path(key)
        return self.run._read([path])[0]

    def _scalar(self, key, good_status):
        if self.kind not in SCALAR_KINDS:
            raise Error(f"{self.name} is a {self.kind} channel: use .xarray()"
                        if self.kind in ("spectrum", "image") else
                        f"{self.name} (kind {self.kind}) has no values: use .present")
        key, path = self._path(key)
        arrays = self.run._read([path] + self._mask_paths(good_status))
        return key, arrays[0], self._missing(arrays[1:])

    def series(self, key=None, good_status=False):
        """A pandas Series indexed by EventId (by run and EventId for an index): NaN where the
        channel had no value; integer channels (-fti) give a nullable Int32 series with <NA>
        there, so every integer that came, the fill value too, stays a value."""
        key, values, missing = self._scalar(key, good_status)
        return pd.Series(_masked(values, missing), index=self.run._index(),
                         name=self._label(key), copy=False)

    def _coords(self, rows=None):
        ids = self.run.event_ids
        coords = {"EventId": ids if rows is None else ids[rows]}
        if self.run.is_campaign:
            names = self.run.run_names
            coords["run"] = ("EventId", names if rows is None else names[rows])
        return coords

    def _attrs(self, key):
        a = {"channel": self.name, "kind": self.kind}
        if key != self.name:
            a["key"] = key
        if self.unit is not None:
            a["units"] = self.unit
        return a

    def xarray(self, key=None, good_status=False, batch=None):
        """A DataArray with the EventId coordinate. Scalars and pairs: floats, NaN where no
        value came. Spectra: events x samples, NaN past each row's length and where no value
        came. Cameras: the present frames only, read a batch at a time. With `batch=N`
        (spectra and cameras) an iterator of DataArrays of at most N events each, so a stack
        larger than memory can be summed or averaged."""
        if self.kind in SCALAR_KINDS:
            if batch is not None:
                raise Error(f"{self.name} is a {self.kind} channel: batch is for spectra and cameras")
            key, values, missing = self._scalar(key, good_status)
            if values.dtype.kind != "f":
                values = values.astype(np.float64)
            values[missing] = np.nan
            return xr.DataArray(values, dims=["EventId"], coords=self._coords(),
                                name=self._label(key), attrs=self._attrs(key))
        if self.kind not in ("spectrum", "image"):
            raise Error(f"{self.name} (kind {self.kind}) has no values: use .present")
        batches = self._batches(key, good_status, batch)
        if batch is not None:
            return batches
        parts = list(batches)
        if len(parts) == 1:
            return parts[0]
        if not parts:
            return self._empty(key)
        return xr.concat(parts, dim="EventId")

    def _rows_and_size(self, key, good_status, batch):
        key, path = self._path(key)
        shape, dtype, _ = self.run._store.info(path)
        missing = self._missing(self.run._read(self._mask_paths(good_status)))
        # Positions within the selection: cameras give present frames only.
        pos = np.flatnonzero(~missing) if self.kind == "image" else np.arange(len(missing))
        row_bytes = max(1, dtype.itemsize * int(np.prod(shape[1:], dtype=np.int64)))
        size = batch or max(1, BATCH_BYTES // row_bytes)
        return key, path, shape, dtype, missing, pos, int(size)

    def _batches(self, key, good_status, batch):
        key, path, shape, dtype, missing, pos, size = self._rows_and_size(key, good_status, batch)
        length = None
        if self.kind == "spectrum" and self.run._store.has(path + "Length"):
            length = path + "Length"
        for a in range(0, len(pos), size):
            p = pos[a:a + size]
            yield self._block(key, path, p, missing[p], length, shape, dtype)

    def _block(self, key, path, p, missing, length, shape, dtype):
        rows = self.run._rows_at(p)
        paths = [path] + ([length] if length else [])
        arrays = self.run._store.read(paths, rows)
        values = arrays[0]
        if self.kind == "image":
            dims = ["EventId", "PixelY", "PixelX"]
        else:
            dims = ["EventId", f"{key}Sample"]
            if values.dtype.kind != "f":
                values = values.astype(np.float64)
            cut = missing[:, None]
            if length:
                cut = cut | (np.arange(values.shape[1])[None, :] >= arrays[1][:, None])
            values[cut] = np.nan
        return xr.DataArray(values, dims=dims, coords=self._coords(p), name=self.name,
                            attrs=self._attrs(key))

    def _empty(self, key):
        key, path = self._path(key)
        shape, dtype, _ = self.run._store.info(path)
        dims = ["EventId", "PixelY", "PixelX"] if self.kind == "image" else ["EventId", f"{key}Sample"]
        if self.kind != "image":
            dtype = np.float64 if dtype.kind != "f" else dtype
        return xr.DataArray(np.empty((0,) + tuple(shape[1:]), dtype), dims=dims,
                            coords=self._coords(np.zeros(0, int)), name=self.name,
                            attrs=self._attrs(key))

    def mean(self, key=None, good_status=False, batch=None):
        """The mean over the events that had a value: a float for scalars and pairs, per sample
        for spectra, the mean frame for cameras (summed a batch at a time)."""
        if self.kind in SCALAR_KINDS:
            _, values, missing = self._scalar(key, good_status)
            kept = values[~missing]
            return float(kept.astype(np.float64).mean()) if len(kept) else float("nan")
        total = count = None
        template = None
        for block in self._batches(key, good_status, batch):
            v = block.values
            if template is None:
                template = block
                total = np.zeros(v.shape[1:], np.float64)
                count = np.zeros(v.shape[1:], np.int64)
            if self.kind == "image":
                total += v.sum(axis=0, dtype=np.float64)
                count += v.shape[0]
            else:
                ok = ~np.isnan(v)
                total += np.where(ok, v, 0).sum(axis=0, dtype=np.float64)
                count += ok.sum(axis=0)
        if template is None:
            return xr.DataArray(np.nan, name=self.name)
        with np.errstate(invalid="ignore", divide="ignore"):
            mean = total / count
        return xr.DataArray(mean, dims=template.dims[1:], name=self.name,
                            attrs=template.attrs)


def _masked(values, missing):
    """Values with the missing cells masked: NaN for floats, <NA> for integers."""
    if values.dtype.kind in "iu":
        return pd.arrays.IntegerArray(values, missing)
    if values.dtype.kind == "f":
        values[missing] = np.nan
        return values
    out = values.astype(object)
    out[missing] = None
    return out
