"""Reading a run file of the HDF5 layout (layout_version 2 to 4) in bounded chunks."""

import math
import os

import h5py
import numpy as np

# Version 3 adds attributes and scales to version 2, version 4 an EventId link in every channel
# group; neither renames anything.
LAYOUT_VERSIONS = (2, 3, 4)
# Bytes of one dataset read at a time; keeps memory bounded on long runs.  The tests make it
# tiny to cross chunk boundaries on small files.
CHUNK_BYTES = int(os.environ.get("DAQ_QUICKLOOK_CHUNK_BYTES", 32 << 20))

MISSING_NAMES = {
    0: "value",
    1: "empty",
    2: "not found",
    3: "cut short",
    4: "other kind",
    5: "size differs",
    6: "no image",
    7: "invalid image",
    8: "not converted",
}

# Dataset names a channel group may hold besides its kind's own data (EventId: the link to
# /run/EventId of layout 4).
COMMON_DATASETS = {"Missing", "SrvBlockStatus", "ChanStatus", "MacroPulse", "Length", "EventId"}

# Event classes.  Pedestal events (beam off) are drawn apart from the others, which are "beam";
# a file without event types (the converter's) has the one class "all".
BEAM, PEDESTAL, ALL = "beam", "pedestal", "all"
PEDESTAL_NAME = "pedestal"  # the host's name of event type 3
PEDESTAL_TYPE = 3           # used where a file has EventType without EventTypeName
EVENT_TYPE_CHOICES = (ALL, BEAM, PEDESTAL)


class RunFileError(Exception):
    """The file cannot be read as a run file at all."""


class CannotDraw(Exception):
    """One channel's data cannot be drawn; the reason goes into its panel."""


def text(value):
    """An attribute as text: h5py gives str for UTF-8, bytes for fixed strings."""
    if value is None:
        return ""
    if isinstance(value, bytes):
        return value.decode("utf-8", "replace")
    if isinstance(value, np.ndarray) and value.shape == ():
        return text(value[()])
    return str(value)


def escape_name(name):
    key = name.replace("%", "%25").replace("/", "%2F")
    return {"": "%00", ".": "%2E"}.get(key, key)


def unescape_name(key):
    base = key.split("#", 1)[0] if "#" in key[1:] else key
    return base.replace("%2F", "/").replace("%25", "%")


def rows_per_read(row_bytes):
    return max(1, CHUNK_BYTES // max(1, int(row_bytes)))


def bin_size(count, limit):
    """Events per bin so that at most `limit` bins of consecutive events cover `count`."""
    return max(1, math.ceil(count / limit)) if count > 0 else 1


def bin_starts(offset, rows, per_bin):
    """For rows [offset, offset + rows): the first and one past the last bin they touch, and
    where each bin begins within them (for ufunc.reduceat)."""
    first = offset // per_bin
    end = (offset + rows - 1) // per_bin + 1
    starts = np.arange(first, end, dtype=np.int64) * per_bin - offset
    starts[0] = 0
    return first, end, starts


class Bins:
    """Minimum, maximum, mean and counts per bin of consecutive events, fed chunk by chunk.

    Every event of a bin counts: a bin's extremes are those of all its values, so a bin that
    holds one pedestal reaches the pedestal whatever the bin size."""

    def __init__(self, events, per_bin):
        self.per_bin = per_bin
        self.events = events
        n = -(-events // per_bin) if events > 0 else 0
        self.lo = np.full(n, np.inf)
        self.hi = np.full(n, -np.inf)
        self.total = np.zeros(n)
        self.values = np.zeros(n, np.int64)
        self.bad = np.zeros(n, np.int64)

    def __len__(self):
        return self.lo.size

    def add(self, offset, values, ok, bad=None):
        """values of the events offset, offset + 1, ...; ok: which are values to draw;
        bad: which had a bad channel status (counted, never drawn)."""
        if values.size == 0:
            return
        a, b, starts = bin_starts(offset, values.size, self.per_bin)
        self.lo[a:b] = np.minimum(self.lo[a:b],
                                  np.minimum.reduceat(np.where(ok, values, np.inf), starts))
        self.hi[a:b] = np.maximum(self.hi[a:b],
                                  np.maximum.reduceat(np.where(ok, values, -np.inf), starts))
        self.total[a:b] += np.add.reduceat(np.where(ok, values, 0.0), starts)
        self.values[a:b] += np.add.reduceat(ok, starts, dtype=np.int64)
        if bad is not None:
            self.add_bad(offset, bad)

    def add_bad(self, offset, bad):
        if bad.size:
            a, b, starts = bin_starts(offset, bad.size, self.per_bin)
            self.bad[a:b] += np.add.reduceat(bad, starts, dtype=np.int64)

    def minimum(self):
        return np.where(self.values > 0, self.lo, np.nan)

    def maximum(self):
        return np.where(self.values > 0, self.hi, np.nan)

    def mean(self):
        return np.where(self.values > 0, self.total / np.maximum(self.values, 1), np.nan)


class Channel:
    def __init__(self, key, group):
        self.key = key
        self.group = group
        attrs = group.attrs
        self.name = text(attrs.get("column")) or unescape_name(key)
        self.kind = text(attrs.get("kind"))
        self.unit = text(attrs.get("unit"))
        if self.unit.lower() == "none":
            self.unit = ""

    def has(self, name):
        return isinstance(self.group.get(name), h5py.Dataset)

    def dataset(self, name, events=None):
        """A dataset of the group with at least `events` rows, else CannotDraw."""
        obj = self.group.get(name)
        if not isinstance(obj, h5py.Dataset):
            raise CannotDraw(f"no {name} dataset")
        if events is not None and (obj.ndim == 0 or obj.shape[0] < events):
            rows = 0 if obj.ndim == 0 else obj.shape[0]
            raise CannotDraw(f"{name} has {rows} rows, the run {events} events")
        return obj

    def members(self):
        """Spectrum member numbers, from the Member<m> datasets."""
        found = []
        for key in self.group.keys():
            if key.startswith("Member") and key[6:].isdigit():
                found.append(int(key[6:]))
        return sorted(found)

    def pair_datasets(self):
        """(pair name, dataset name) in order of first appearance."""
        names = self.group.attrs.get("pair_names")
        if names is None:
            keys = [k for k in self.group.keys()
                    if k not in COMMON_DATASETS and isinstance(self.group.get(k), h5py.Dataset)]
            return [(unescape_name(k), k) for k in keys]
        names = _texts(names)
        # The writer's own names: rebuilding them misses its escapes ("" and "." cannot be
        # HDF5 names) and its ways out of collisions.
        links = self.group.attrs.get("pair_datasets")
        if links is not None and len(_texts(links)) == len(names):
            return list(zip(names, _texts(links)))
        result = []
        for name in names:
            key = escape_name(name)
            if key in COMMON_DATASETS or key not in self.group:
                if key + "#pair" in self.group:
                    key += "#pair"
            result.append((name, key))
        return result


def _texts(value):
    """A string or an array of strings as a list of str."""
    if isinstance(value, (str, bytes)):
        value = [value]
    return [text(v) for v in np.ravel(np.asarray(value, dtype=object))]


class RunFile:
    """An open run file: its header, channels, and chunked reads over a range of events."""

    def __init__(self, path):
        self.path = path
        # HDF5's own messages name its internals; say what is wrong with the path first.
        if os.path.isdir(path):
            raise RunFileError("is a directory")
        if not os.path.exists(path):
            raise RunFileError("no such file")
        try:
            with open(path, "rb"):
                pass
        except OSError as err:
            raise RunFileError(f"cannot read ({err.strerror or err})")
        try:
            self.file = h5py.File(path, "r")
        except (OSError, ValueError) as err:
            if not _hdf5_signature(path):
                raise RunFileError("not an HDF5 file")
            raise RunFileError(f"not a readable HDF5 file ({_short(err)})")
        try:
            self._open()
        except RunFileError:
            self.file.close()
            raise
        except Exception as err:  # whatever a damaged file makes h5py or numpy raise
            self.file.close()
            raise RunFileError(f"damaged run file ({_short(err)})")

    def _open(self):
        run = self.file.get("run")
        if not isinstance(run, h5py.Group):
            raise RunFileError("no /run group: not a run file")
        self.run = run
        attrs = run.attrs
        version = attrs.get("layout_version")
        if version is None:
            raise RunFileError("/run has no layout_version: not a run file of layout 2 to 4 "
                               "(written by an older daq-table2h5?)")
        if _whole(version) not in LAYOUT_VERSIONS:
            raise RunFileError(f"layout_version {_show(version)}, this tool reads "
                               f"{LAYOUT_VERSIONS[0]} to {LAYOUT_VERSIONS[-1]}")
        ids = run.get("EventId")
        if not isinstance(ids, h5py.Dataset) or ids.ndim != 1:
            raise RunFileError("no /run/EventId dataset")
        if ids.dtype.kind not in "iu":  # event IDs are compared with --events and printed
            held = "strings" if ids.dtype.kind in "OSU" else f"{ids.dtype} values"
            raise RunFileError(f"/run/EventId holds {held}, not event IDs: not a run file")
        self.event_ids = ids
        if "events" in attrs:
            self.events = _whole(attrs["events"])
            if self.events is None or self.events < 0:
                raise RunFileError(f"/run events is {_show(attrs['events'])}, not a number of "
                                   "events: not a run file")
        else:
            self.events = ids.shape[0]
        if ids.shape[0] < self.events:
            raise RunFileError(f"/run/EventId has {ids.shape[0]} rows, events says {self.events}")
        # Time only labels the axes: a run without a usable one is drawn against event numbers.
        time = run.get("Time")
        usable = (isinstance(time, h5py.Dataset) and time.ndim == 1 and time.dtype.kind in "iu"
                  and time.shape[0] >= self.events)
        self.time = time if usable else None
        self.channels = [Channel(key, obj) for key, obj in run.items()
                         if isinstance(obj, h5py.Group)]
        self.type_names = self._per_event("EventTypeName", "OSU")
        self.type_numbers = self._per_event("EventType", "iu")
        self.has_types = self.type_names is not None or self.type_numbers is not None
        self.first, self.last = 0, self.events
        self._positions = {}
        self._pedestal = None
        self.type_counts = {}
        self.classes = [BEAM, PEDESTAL] if self.has_types else [ALL]

    def _per_event(self, name, kinds):
        ds = self.run.get(name)
        if (isinstance(ds, h5py.Dataset) and ds.ndim == 1 and ds.dtype.kind in kinds
                and ds.shape[0] >= self.events):
            return ds
        return None

    def close(self):
        self.file.close()

    # -- header ------------------------------------------------------------------------------

    def attr(self, name, default=None):
        value = self.run.attrs.get(name, default)
        if isinstance(value, np.generic):
            value = value.item()
        if isinstance(value, bytes):
            value = value.decode("utf-8", "replace")
        return value

    def event_id(self, row):
        return int(self.event_ids[row])

    def time_us(self, row):
        if self.time is None:
            return None
        return int(self.time[row])

    # -- event selection ---------------------------------------------------------------------

    def select(self, first_id=None, last_id=None):
        """Restricts reads to the rows from the first event ID >= first_id to the last <= last_id."""
        lo, hi = None, None
        step = rows_per_read(8)
        for start in range(0, self.events, step):
            ids = self.event_ids[start:min(self.events, start + step)]
            ok = np.ones(ids.shape, bool)
            if first_id is not None:
                ok &= ids >= first_id
            if last_id is not None:
                ok &= ids <= last_id
            where = np.flatnonzero(ok)
            if where.size:
                if lo is None:
                    lo = start + int(where[0])
                hi = start + int(where[-1]) + 1
        if lo is None:
            return False
        self.first, self.last = lo, hi
        self._positions = {}
        self._pedestal = None
        return True

    def select_type(self, which):
        """Which event classes are drawn: all (each apart), beam or pedestal only."""
        if which == PEDESTAL and not self.has_types:
            raise RunFileError("the file has no event types (no /run/EventType): "
                               "--event-type pedestal selects nothing")
        if not self.has_types:
            self.classes = [ALL]
        else:
            self.classes = [BEAM, PEDESTAL] if which == ALL else [which]

    def _classify(self):
        """The pedestal flag of every selected event (one byte an event), read in chunks, and
        the events of each type name."""
        flags = np.zeros(self.count, bool)
        names = {}
        if self.has_types:
            ds = self.type_names if self.type_names is not None else self.type_numbers
            for offset, chunk in self.chunks(ds, 64):  # strings are Python objects
                if self.type_names is not None:
                    found, inverse, n = np.unique(chunk.astype(object), return_inverse=True,
                                                  return_counts=True)
                    texts = [text(v) for v in found]
                    ped = np.array([t.strip().lower() == PEDESTAL_NAME for t in texts])
                    flags[offset:offset + chunk.size] = ped[inverse]
                else:
                    found, n = np.unique(chunk, return_counts=True)
                    texts = [f"type {int(v)}" for v in found]
                    flags[offset:offset + chunk.size] = chunk == PEDESTAL_TYPE
                for t, k in zip(texts, n):
                    names[t] = names.get(t, 0) + int(k)
        self._pedestal = flags
        self.type_counts = dict(sorted(names.items(), key=lambda kv: -kv[1]))

    def class_mask(self, start, stop, name):
        """Which events of rows [start, stop) belong to class `name`."""
        if name == ALL:
            return np.ones(stop - start, bool)
        if self._pedestal is None:
            self._classify()
        ped = self._pedestal[start - self.first:stop - self.first]
        return ped.copy() if name == PEDESTAL else ~ped

    def drawn_mask(self, start, stop):
        """Which events of rows [start, stop) are of a class drawn."""
        if len(self.classes) > 1 or self.classes == [ALL]:
            return np.ones(stop - start, bool)
        return self.class_mask(start, stop, self.classes[0])

    def class_events(self):
        """Events of each class in the selection, drawn or not."""
        if not self.has_types:
            return {ALL: self.count}
        if self._pedestal is None:
            self._classify()
        ped = int(self._pedestal.sum())
        return {BEAM: self.count - ped, PEDESTAL: ped}

    @property
    def count(self):
        return self.last - self.first

    # -- reads -------------------------------------------------------------------------------

    def chunks(self, dataset, row_bytes=None):
        """(row offset within the selection, rows) over the selected events, bounded in size."""
        if row_bytes is None:
            row_bytes = dataset.dtype.itemsize * int(np.prod(dataset.shape[1:], dtype=np.int64))
        step = rows_per_read(row_bytes)
        for start in range(self.first, self.last, step):
            yield start - self.first, dataset[start:min(self.last, start + step)]

    def bin_positions(self, per_bin):
        """Per bin of selected events, the middle of its first and last event's time in seconds
        since the first selected event (row numbers without Time), and whether it is time."""
        if per_bin not in self._positions:
            if self.time is None:
                starts = np.arange(0, self.count, per_bin)
                ends = np.minimum(starts + per_bin, self.count) - 1
                self._positions[per_bin] = ((starts + ends) / 2, False)
            else:
                bins = Bins(self.count, per_bin)
                t0 = int(self.time[self.first])
                for offset, t in self.chunks(self.time):
                    rel = (t.astype(np.int64) - t0) / 1e6
                    bins.add(offset, rel, np.ones(rel.size, bool))
                self._positions[per_bin] = ((bins.lo + bins.hi) / 2, True)
        return self._positions[per_bin]


def _whole(value):
    """A scalar attribute as an int, None unless it is a whole number."""
    try:
        value = np.asarray(value)
        if value.size != 1:
            return None
        value = value.reshape(())
        if value.dtype.kind in "iu":
            return int(value)
        if value.dtype.kind == "f" and np.isfinite(value) and value == np.floor(value):
            return int(value)
    except (TypeError, ValueError):
        pass
    return None


def _show(value):
    """An attribute's value for a message, on one short line."""
    if isinstance(value, np.ndarray) and value.size == 1:
        value = value.reshape(())[()]
    if isinstance(value, np.generic):
        value = value.item()
    if isinstance(value, bytes):
        value = value.decode("utf-8", "replace")
    if isinstance(value, str):  # "4" is text, not the number 4
        return repr(value[:40])
    return " ".join(str(value).split())[:40]


def _hdf5_signature(path):
    """Whether the file starts with the HDF5 signature at 0, 512, 1024, ... (after a user
    block), as HDF5 looks for it."""
    signature = b"\x89HDF\r\n\x1a\n"
    try:
        with open(path, "rb") as f:
            size = os.fstat(f.fileno()).st_size
            offset = 0
            while offset + len(signature) <= size:
                f.seek(offset)
                if f.read(len(signature)) == signature:
                    return True
                offset = 512 if offset == 0 else offset * 2
    except OSError:
        pass
    return False


def _short(err):
    msg = str(err).strip().splitlines()[0] if str(err).strip() else type(err).__name__
    return msg[:160]
