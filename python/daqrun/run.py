"""A run: the events of one run file or of a campaign index, or a selection of them."""

import os

import h5py
import numpy as np
import pandas as pd
from h5py import h5a, h5g

from .campaign import IndexStore
from .channel import SCALAR_KINDS, Channel, ChannelInfo, _masked
from .errors import ChannelNotFound, Error
from .files import RunFileStore, files


def open_store(path):
    """The store of a run file or a campaign index; Error for anything else."""
    if not os.path.exists(path):
        raise Error(f"{path}: no such file")
    try:
        f = files.get(path, pin=True)
    except OSError:
        raise Error(f"{path}: not an HDF5 file") from None
    try:
        if isinstance(f.get("run"), h5py.Group):
            root = "run"
        elif isinstance(f.get("campaign"), h5py.Group):
            root = "campaign"
        else:
            raise Error(f"{path}: neither a run file (/run) nor a campaign index (/campaign)")
        version = f[root].attrs.get("layout_version")
        if version is None:
            raise Error(f"{path}: /{root} has no layout_version: a file older than layout 2")
        if not 2 <= int(version) <= 4:
            raise Error(f"{path}: layout_version {int(version)}; daqrun reads layouts 2 to 4")
        if "EventId" not in f[root]:
            raise Error(f"{path}: /{root} has no EventId")
        if root == "run":
            return RunFileStore(f, root)
        return IndexStore(f, root)
    except BaseException:
        files.unpin(f)
        raise

def open(path):  # noqa: A001 - daqrun.open, as h5py.File or xarray.open_dataset
    """Opens a run file (either producer) or a campaign index as a Run."""
    return Run(open_store(path))


def _channels(store):
    """Column name -> (group name, info) in file order, read once per file."""
    found = getattr(store, "channels", None)
    if found is None:
        found = {}
        for key in store.group:
            # The type alone: wrapping an index's virtual dataset copies all its mappings, and
            # h5py's getclass asks for object info that costs as much.
            if h5g.get_objinfo(store.group.id, key.encode()).type != h5g.GROUP:
                continue
            gid = h5g.open(store.group.id, key.encode())
            if not h5a.exists(gid, b"column"):
                continue
            # A group is named after its column, with % and / escaped and #N added to a name
            # taken: a name without % or # is its column, read without reading the attribute.
            found[key if "%" not in key and "#" not in key
                  else str(store.group[key].attrs["column"])] = key
        first = getattr(store, "first_run_order", lambda: [])()
        if first:
            found = {c: found[c] for c in sorted(found, key=lambda c: (c not in first,
                                                                       first.get(c, 0)))}
        store.channels = found
        store.channel_info = {}
    return found


class Run:
    """The events of a run file or a campaign index, or a selection of them (`select`).

    `run[name]` gives a Channel; `channels`, `event_ids`, `times` and `event_types` describe the
    events; `dataframe()` puts the scalar channels side by side. Selections share the open file:
    closing any closes them all."""

    def __init__(self, store, rows=None):
        self._store = store
        self._rows = store.base_rows if rows is None else rows
        _channels(store)

    # The file --------------------------------------------------------------------------------

    @property
    def path(self):
        return self._store.path

    @property
    def is_campaign(self):
        return self._store.kind == "campaign"

    @property
    def attrs(self):
        """The attributes of /run (or /campaign)."""
        return dict(self._store.attrs)

    @property
    def producer(self):
        return str(self._store.attrs.get("producer", ""))

    @property
    def layout_version(self):
        return int(self._store.attrs["layout_version"])

    def close(self):
        self._store.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __repr__(self):
        what = "campaign index" if self.is_campaign else f"run file ({self.producer})"
        return (f"<daqrun.Run {self.path!r}: {what}, layout {self.layout_version}, "
                f"{len(self)} events, {len(self.channels)} channels>")

    # Events ----------------------------------------------------------------------------------

    def __len__(self):
        return self._store.events if self._rows is None else len(self._rows)

    def _rows_at(self, positions):
        """File rows of positions within this selection."""
        return positions if self._rows is None else self._rows[positions]

    def _read(self, paths):
        cache = self._store.__dict__.setdefault("columns", {})
        if self.is_campaign and "EventId" not in cache and self._rows is self._store.base_rows:
            # Event IDs come with the first read: each run file is opened once for both.
            arrays = self._store.read(list(paths) + ["EventId"], self._rows)
            ids = arrays.pop()
            if self._rows is not None:
                full = np.zeros(self._store.events, ids.dtype)
                full[self._rows] = ids
                ids = full
            cache["EventId"] = ids
            return arrays
        return self._store.read(paths, self._rows)

    def _column(self, path):
        """A per-event dataset of the root, read whole once per file, of this selection."""
        cache = self._store.__dict__.setdefault("columns", {})
        data = cache.get(path)
        if data is None:
            data = cache[path] = self._store.read([path], None)[0]
        return data if self._rows is None else data[self._rows]

    @property
    def event_ids(self):
        """numpy uint64, from /run/EventId (never a channel's own link)."""
        return self._column("EventId")

    @property
    def times(self):
        """pandas DatetimeIndex (UTC) of each event, from Time (microseconds)."""
        if self._store.has("Time"):
            us = self._column("Time")
        else:
            us = self._column("TimeSec").astype(np.int64) * 10**6 + self._column("TimeUsec")
        return pd.DatetimeIndex(pd.to_datetime(us, unit="us"), name="Time")

    @property
    def event_types(self):
        """Per event the type's name (`normal`, `pedestal`, ...), or None where the file has no
        event types (the converter's files)."""
        if not self._store.has("EventTypeName"):
            return None
        return self._column("EventTypeName")

    @property
    def runs(self):
        """A campaign index's table of runs (`/campaign/runs`), with `left_out` True for a run
        whose file is missing or changed; None for a run file."""
        if not self.is_campaign:
            return None
        table = pd.DataFrame(self._store.runs_table())
        table["left_out"] = self._store.left_out
        return table

    @property
    def run_names(self):
        """A campaign index's run name of each event (numpy str); None for a run file."""
        if not self.is_campaign:
            return None
        cache = self._store.__dict__.setdefault("columns", {})
        names = cache.get("run names")
        if names is None:
            table = np.asarray(self._store.runs["name"], dtype=str)
            names = cache["run names"] = table[self._store.read(["Run"], None)[0]]
        return names if self._rows is None else names[self._rows]

    def _index(self):
        ids = self.event_ids
        if not self.is_campaign:
            return pd.Index(ids, name="EventId")
        cache = self._store.__dict__.setdefault("columns", {})
        codes = cache.get("Run")
        if codes is None:
            codes = cache["Run"] = self._store.read(["Run"], None)[0]
        codes = codes if self._rows is None else codes[self._rows]
        names = pd.Index(np.asarray(self._store.runs["name"], dtype=str))
        if names.is_unique:
            run = pd.Categorical.from_codes(codes.astype(np.int64), categories=names)
        else:
            run = names.values[codes]
        return pd.MultiIndex.from_arrays([run, ids], names=["run", "EventId"])

    # Channels --------------------------------------------------------------------------------

    @property
    def channels(self):
        """Channel names (the groups' `column`), in file order."""
        return list(self._store.channels)

    def __contains__(self, name):
        return name in self._store.channels

    def __iter__(self):
        return iter(self.channels)

    def _info(self, name):
        key = self._store.channels.get(name)
        if key is None:
            raise ChannelNotFound(f"{self.path}: no channel {name!r}; channels: "
                                  f"{', '.join(self.channels) or 'none'}")
        info = self._store.channel_info.get(name)
        if info is None:
            info = self._store.channel_info[name] = ChannelInfo(self._store, name, key)
        return info

    def __getitem__(self, name):
        return Channel(self, self._info(name))

    def dataframe(self, names=None, good_status=False):
        """One column per scalar channel (a pairs channel gives NAME/pair for each pair),
        indexed by EventId, or by (run, EventId) for a campaign index; NaN (or <NA> for integer
        channels) where a channel had no value, and with good_status where its ChanStatus is
        not 0."""
        if names is None:
            infos = [i for i in map(self._info, self.channels) if i.kind in SCALAR_KINDS]
        else:
            infos = [self._info(n) for n in ([names] if isinstance(names, str) else names)]
            for i in infos:
                if i.kind not in SCALAR_KINDS:
                    raise Error(f"{i.column} is a {i.kind} channel: dataframe takes scalar and "
                                f"pairs channels; use run[{i.column!r}].xarray()")
        paths, plan = [], []
        for i in infos:
            masks = [f"{i.key}/Missing"]
            if good_status and i.has_status:
                masks.append(f"{i.key}/ChanStatus")
            first = len(paths)
            paths += masks + list(i.datasets.values())
            plan.append((i, first, len(masks)))
        arrays = self._read(paths)
        columns = {}
        for i, first, nmasks in plan:
            missing = arrays[first] != 0
            if nmasks > 1:
                missing |= arrays[first + 1] != 0
            for k, key in enumerate(i.datasets):
                label = f"{i.column}/{key}" if i.kind == "pairs" else i.column
                columns[label] = _masked(arrays[first + nmasks + k], missing)
        return pd.DataFrame(columns, index=self._index(), copy=False)

    # Selections ------------------------------------------------------------------------------

    def select(self, event_type=None, events=None, runs=None):
        """The events of this run that match every criterion given, as a Run.

        event_type: `"beam"` (every event that is not a pedestal, as daq-quicklook draws
        them), a name (`"pedestal"`, `"normal"`, matched against EventTypeName, case and
        surrounding blanks aside) or a code (`3`, against EventType), or a list of them. events: event IDs (an iterable, or a slice or
        range of IDs). runs (campaign index): run names or rows of the runs table."""
        keep = np.ones(len(self), bool)
        if event_type is not None:
            keep &= self._type_mask(event_type)
        if events is not None:
            keep &= self._event_mask(events)
        if runs is not None:
            if not self.is_campaign:
                raise Error(f"{self.path}: selecting by run needs a campaign index")
            wanted = [runs] if isinstance(runs, (str, int, np.integer)) else list(runs)
            table = np.asarray(self._store.runs["name"], dtype=str)
            rows = set()
            for w in wanted:
                if isinstance(w, str):
                    hit = np.flatnonzero(table == w)
                    if not len(hit):
                        raise ChannelNotFound(f"{self.path}: no run {w!r}")
                    rows.update(hit.tolist())
                else:
                    rows.add(int(w))
            codes = self._column("Run")
            keep &= np.isin(codes, list(rows))
        base = np.arange(self._store.events) if self._rows is None else self._rows
        return Run(self._store, base[keep])

    def _type_mask(self, event_type):
        if not self._store.has("EventType") and not self._store.has("EventTypeName"):
            raise Error(f"{self.path}: the file has no event types (producer {self.producer}); "
                        f"select by events instead")
        wanted = [event_type] if isinstance(event_type, (str, int, np.integer)) else list(event_type)
        mask = np.zeros(len(self), bool)
        for w in wanted:
            if isinstance(w, str):
                if not self._store.has("EventTypeName"):
                    raise Error(f"{self.path}: no EventTypeName; select by type code")
                names = np.char.lower(np.char.strip(self._column("EventTypeName").astype(str)))
                wanted_name = w.strip().lower()
                if wanted_name == "beam":
                    mask |= names != "pedestal"
                else:
                    mask |= names == wanted_name
            elif isinstance(w, (int, np.integer)) and not isinstance(w, bool):
                if not self._store.has("EventType"):
                    raise Error(f"{self.path}: no EventType; select by type name")
                mask |= self._column("EventType") == int(w)
            else:
                raise Error(f"event_type {w!r}: a type name or an integer code")
        return mask

    def _event_mask(self, events):
        ids = self.event_ids
        if isinstance(events, (slice, range)):
            step = events.step if events.step is not None else 1
            if step < 1:
                raise Error(f"events {events!r}: IDs ascending, step 1 or more")
            mask = np.ones(len(ids), bool)
            if events.start is not None:
                mask &= ids >= np.uint64(max(0, events.start))
            if events.stop is not None:
                mask &= ids < np.uint64(max(0, events.stop))
            if step != 1:
                start = np.uint64(max(0, events.start or 0))
                mask &= (ids - start) % np.uint64(step) == 0
            return mask
        if isinstance(events, (int, np.integer)):
            events = [events]
        wanted = np.asarray(list(events), dtype=np.uint64)
        return np.isin(ids, wanted)
