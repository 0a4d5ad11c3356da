"""The panels of a quick-look page: one Row per band of the page, each with one or more panels.

A row reads what it needs in compute() (bounded by the chunked reads of RunFile) and draws
each of its panels in draw(); either may raise CannotDraw, and the page then shows the reason.
"""

import textwrap

import numpy as np
from matplotlib.colors import to_rgba
from matplotlib.lines import Line2D
from matplotlib.patches import Patch

from ql_runfile import (ALL, BEAM, MISSING_NAMES, PEDESTAL, Bins, CannotDraw, bin_size,
                        bin_starts, rows_per_read, text)

# Longer runs are drawn in bins of consecutive events, each bin as its minimum to maximum and
# its mean, so that every event counts.  At most this many bins per series panel (a few pixels
# each across the page), per camera intensity panel, and waterfall rows (about one a pixel).
SERIES_BINS = 300
INTENSITY_BINS = 100
WATERFALL_ROWS = 200
# At most this many columns of a waterfall (samples are averaged in bins beyond).
MAX_SAMPLES = 1000
# At most this many presence-map columns (bins of events).
MAX_BINS = 800
# Channels in one presence-map panel.
PRESENCE_CHANNELS = 40
# Pair names drawn per channel and members per spectrum channel.
MAX_PAIR_LINES = 12
MAX_MEMBERS = 4

# Presence-map cell classes: the Missing codes 0..8, a bad channel status, an unreadable channel,
# an event of a type not drawn (--event-type).
BAD_STATUS = 9
UNREADABLE = 10
OTHER_TYPE = 11
PRESENCE_COLOURS = [
    "#a6dba0",  # 0 value
    "#e0e0e0",  # 1 empty
    "#fdae61",  # 2 not found
    "#8c510a",  # 3 cut short
    "#dfc27d",  # 4 other kind
    "#9970ab",  # 5 size differs
    "#4393c3",  # 6 no image
    "#d73027",  # 7 invalid image
    "#f46d43",  # 8 not converted
    "#000000",  # bad channel status
    "#f1b6da",  # unreadable / unknown code
    "#ffffcc",  # event of a type not drawn
]
PRESENCE_LABELS = [f"{c} {MISSING_NAMES[c]}" for c in range(9)] + [
    "bad channel status", "unreadable / other code", "other event type (not drawn)"]
BAD_MARK = "#000000"
# Lines of each event class; pedestals also get markers, as a bin may hold just one.
CLASS_COLOURS = {ALL: "#2166ac", BEAM: "#2166ac", PEDESTAL: "#e08214"}
# A bin with no value to draw because its events had a bad channel status: not a gap.
BAD_ONLY_COLOUR = "#d73027"
BAD_ONLY_LABEL = "bad status only"


def unit_label(label, unit):
    return f"{label} [{unit}]" if unit else label


def tick_positions(count, ticks):
    """Evenly spaced whole positions in range(count), at most about `ticks` of them."""
    return np.arange(0, count, max(1, -(-count // ticks)))


def bin_ticks(ax, run, bins, per_bin, axis="x", count=6):
    """Labels a bin axis (0 = first selected event) with the event ID each bin starts at."""
    if bins <= 0:
        return
    pos = tick_positions(bins, count)
    labels = [str(run.event_id(run.first + int(p) * per_bin)) for p in pos]
    if axis == "x":
        ax.set_xticks(pos + 0.5)
        ax.set_xticklabels(labels, fontsize=8)
    else:
        ax.set_yticks(pos + 0.5)
        ax.set_yticklabels(labels, fontsize=8)


def finite_list(values):
    """A float array as a JSON list, null where there is nothing."""
    return [float(v) if np.isfinite(v) else None for v in values]


def status_of(channel, run):
    """The ChanStatus dataset, or None when the file keeps no status words."""
    if not channel.has("ChanStatus"):
        return None
    status = channel.dataset("ChanStatus", run.last)
    if status.dtype.kind not in "iu":
        raise CannotDraw(f"ChanStatus holds {status.dtype}, not status words")
    return status


class Classes(dict):
    """Bins of each event class drawn, in the run's order of classes: the first is the main
    line (beam events, or all of a file without event types)."""

    @property
    def main(self):
        return next(iter(self.values()))

    def bad(self):
        return sum(b.bad for b in self.values())

    def values(self):
        return list(super().values())

    def counts(self):
        return {c: int(b.values.sum()) for c, b in self.items()}


def class_bins(run, per_bin):
    return Classes((c, Bins(run.count, per_bin)) for c in run.classes)


def add_classes(classes, run, start, values, ok, bad=None):
    """Feeds rows start, start + 1, ... to the bins of each class, each its own events only;
    events of a class not drawn count nowhere."""
    stop = start + values.shape[0]
    for c, bins in classes.items():
        mask = run.class_mask(start, stop, c)
        bins.add(start - run.first, values, ok & mask, None if bad is None else bad & mask)


def bad_only(lines):
    """Bins where no class of any line has a value and some event had a bad status."""
    values = sum(b.values for classes in lines for b in classes.values())
    return (values == 0) & (lines[0].bad() > 0)


def value_bins(channel, run, datasets, per_bin):
    """Bins of each one-dimensional dataset over the selected events, by event class, and the
    events of each class with a value.  A value counts where Missing is 0, the channel status is
    0 and it is finite; bad statuses are counted apart."""
    missing = channel.dataset("Missing", run.last) if channel.has("Missing") else None
    status = status_of(channel, run)
    out = [class_bins(run, per_bin) for _ in datasets]
    events = dict.fromkeys(run.classes, 0)
    step = rows_per_read(8 * (len(datasets) + 2))
    for start in range(run.first, run.last, step):
        stop = min(run.last, start + step)
        present = (missing[start:stop] == 0) if missing is not None else np.ones(stop - start, bool)
        bad = (status[start:stop] != 0) if status is not None else np.zeros(stop - start, bool)
        any_value = np.zeros(stop - start, bool)
        for classes, ds in zip(out, datasets):
            values = ds[start:stop].astype(np.float64)
            ok = present & ~bad & np.isfinite(values)
            any_value |= ok
            add_classes(classes, run, start, values, ok, bad)
        for c in events:
            events[c] += int((any_value & run.class_mask(start, stop, c)).sum())
    return out, events


def time_axis(ax, run, per_bin):
    x, is_time = run.bin_positions(per_bin)
    if is_time:
        ax.set_xlabel("time since first event [s]")
    else:
        ax.set_xlabel("event (row from first; the file has no Time)")
    return x


def stacked(grid, colours, stack):
    """RGBA image of grid (rows x bins x classes: events of each class): each row `stack`
    image rows high, a cell filled from the bottom by its classes in order, each in proportion
    to its events.  A cell of one class is that class's colour."""
    rows, bins, _ = grid.shape
    share = np.cumsum(grid, axis=2) / np.maximum(grid.sum(axis=2, keepdims=True), 1)
    # Heights of the image rows from the bottom of the cell, the top one first.
    heights = (np.arange(stack)[::-1] + 0.5) / stack
    which = np.argmax(share[:, :, None, :] > heights[None, None, :, None], axis=3)
    palette = np.array([to_rgba(c) for c in colours])
    return palette[which.transpose(0, 2, 1).reshape(rows * stack, bins)]


def draw_bins(ax, x, bins, colour, label=None, marker=None, linestyle="-", zorder=2):
    """One event a point as a line; bins as a band from minimum to maximum with the mean."""
    mean = bins.mean()
    if bins.per_bin == 1:
        ax.plot(x, mean, linestyle, marker=marker or ".", markersize=3, linewidth=1,
                color=colour, label=label, zorder=zorder)
        return
    lo, hi = bins.minimum(), bins.maximum()
    ok = np.isfinite(lo)
    ax.fill_between(x, np.where(ok, lo, 0), np.where(ok, hi, 0), where=ok, step="mid",
                    color=colour, alpha=0.35, linewidth=0, zorder=zorder)
    ax.plot(x, mean, linestyle, marker=marker, markersize=3, linewidth=1, color=colour,
            label=label, zorder=zorder)


def class_label(run, name, count):
    """Legend text of a class's line; nothing for the one class of a file without types."""
    return f"{name} events ({count})" if run.has_types else None


def draw_classes(ax, x, classes, run, counts, colours=CLASS_COLOURS):
    """The pedestal line under the beam line, each in its class's colour."""
    for name in classes:
        draw_bins(ax, x, classes[name], colours[name], label=class_label(run, name, counts[name]),
                  marker="." if name == PEDESTAL else None,
                  zorder=1.9 if name == PEDESTAL else 2)


def bin_edges(x):
    """Edges of the bins centred on x (as step="mid" draws them)."""
    x = np.asarray(x, np.float64)
    if x.size == 1:
        return np.array([x[0] - 0.5, x[0] + 0.5])
    inner = (x[1:] + x[:-1]) / 2
    return np.concatenate([[2 * x[0] - inner[0]], inner, [2 * x[-1] - inner[-1]]])


def spans(where):
    """(first, one past the last) of each run of True."""
    padded = np.concatenate([[False], np.asarray(where, bool), [False]])
    change = np.flatnonzero(padded[1:] != padded[:-1])
    return list(zip(change[::2], change[1::2]))


def mark_bad_only(ax, edges, where, vertical=True):
    """A hatched red band over each run of bins whose events all had a bad status (or were
    missing): nothing to draw there, yet no gap either."""
    style = dict(facecolor="none", edgecolor=BAD_ONLY_COLOUR, hatch="////", linewidth=0,
                 alpha=0.8)
    for number, (a, b) in enumerate(spans(where)):
        label = BAD_ONLY_LABEL if number == 0 else None
        if vertical:
            ax.axvspan(edges[a], edges[b], label=label, **style)
        else:
            ax.axhspan(edges[a], edges[b], label=label, **style)


def side_legend(ax, handles=None):
    if handles is None:
        handles, _ = ax.get_legend_handles_labels()
    if handles:
        ax.legend(handles=handles, fontsize=8, loc="upper left", bbox_to_anchor=(1.0, 1.0),
                  frameon=False)


def mark_bad(ax, x, classes):
    """Ticks along the bottom where events had a bad channel status: not values, so never on
    the value axis."""
    where = classes.bad() > 0
    if where.any():
        ax.plot(x[where], np.full(int(where.sum()), 0.04), linestyle="none", marker="|",
                markersize=10, markeredgewidth=1.5, color=BAD_MARK,
                transform=ax.get_xaxis_transform(), clip_on=False)


def bad_note(classes):
    bad = int(classes.bad().sum())
    return f", {bad} of bad status (ticks)" if bad else ""


def bin_note(per_bin):
    if per_bin <= 1:
        return ""
    return f"; bins of {per_bin} events: band min to max, line mean"


def series_entry(classes, counts, where_bad_only):
    """bin_min and bin_max: the main line's band; each class's own under by_event_type."""
    main = classes.main
    return {"events_per_bin": main.per_bin, "bins": len(main),
            "bin_min": finite_list(main.minimum()), "bin_max": finite_list(main.maximum()),
            "bad_status": int(classes.bad().sum()), "event_types": dict(counts),
            "by_event_type": {c: {"bin_min": finite_list(b.minimum()),
                                  "bin_max": finite_list(b.maximum()),
                                  "bin_mean": finite_list(b.mean())} for c, b in classes.items()},
            "bad_status_only": np.flatnonzero(where_bad_only).tolist()}


class Row:
    """One band of a page. panels: (panel kind, relative width)."""
    height = 260
    gap = 120
    channel = None
    panels = []

    def compute(self, run):
        return None

    def draw(self, index, ax, data, run, fig):
        raise NotImplementedError


class HeaderRow(Row):
    height = 150
    panels = [("header", 1)]

    def __init__(self, path, channels):
        self.path = path
        self.channels = channels

    def compute(self, run):
        lines = [f"file: {self.path}"]
        gen = run.attr("generation")
        producer = run.attr("producer") or "?"
        lines.append(f"generation: {gen if gen is not None else 'not recorded'}    producer: "
                     f"{producer}    layout_version: {run.attr('layout_version')}")
        span = "-"
        first_t, last_t = (run.time_us(run.first), run.time_us(run.last - 1)) if run.count else (None, None)
        if first_t is not None:
            span = f"{(last_t - first_t) / 1e6:.6f} s"
        if run.count:
            ids = f"first event ID {run.event_id(run.first)}, last {run.event_id(run.last - 1)}"
        else:
            ids = "no events"
        selected = "" if run.count == run.events else f" (drawn: {run.count} of {run.events})"
        lines.append(f"events: {run.count}{selected}    {ids}    time span: {span}    "
                     f"channels: {len(run.channels)} in the file, {len(self.channels)} drawn")
        if run.has_types:
            events = run.class_events()
            names = ", ".join(f"{name} {n}" for name, n in run.type_counts.items())
            if len(run.classes) > 1:
                how = f"drawn apart ({PEDESTAL} in orange)" if events[PEDESTAL] else "drawn"
            else:
                how = f"only {run.classes[0]} drawn"
            lines.append(f"event types: {names}: {events[BEAM]} beam, {events[PEDESTAL]} "
                         f"{PEDESTAL}, {how}")
        opts = run.attr("plugin_options")
        if opts is not None:
            inferred = run.attr("plugin_options_inferred")
            how = " (inferred from the table)" if inferred else ""
            lines.append(f"plug-in options{how}: {text(opts) or '(none)'}")
        extra = []
        for name in ("nbunch", "outmode", "status_columns", "fill_value", "source_file",
                     "description_file", "rows_with_wrong_cell_count"):
            value = run.attr(name)
            if value is not None:
                extra.append(f"{name}={value}")
        if extra:
            lines.append("    ".join(extra))
        wrapped = []
        for line in lines:
            wrapped.extend(textwrap.wrap(line, 150, subsequent_indent="    ") or [""])
        return wrapped

    def draw(self, index, ax, data, run, fig):
        ax.set_axis_off()
        ax.set_title("daq-quicklook: a run at a glance", loc="left", fontsize=13,
                     fontweight="bold")
        ax.text(0, 1, "\n".join(data), va="top", ha="left", family="monospace", fontsize=10,
                transform=ax.transAxes)
        gen = run.attr("generation")
        return {"generation": gen, "events": run.count, "event_types": run.class_events(),
                "event_type_names": dict(run.type_counts), "event_types_drawn": list(run.classes),
                "first_event": run.event_id(run.first) if run.count else None,
                "last_event": run.event_id(run.last - 1) if run.count else None}


class PresenceRow(Row):
    """Channels by events, coloured by what each cell was.  A cell that holds several events
    is stacked by their shares: events with a value at the bottom, then each code's."""
    panels = [("presence", 6), ("presence_legend", 1)]
    STACK = 12  # image rows per channel: the resolution of a cell's shares

    def __init__(self, channels, part, parts):
        self.channels = channels
        self.part, self.parts = part, parts
        # Tall enough for the legend's twelve entries too.
        self.height = max(260, 75 + 15 * len(channels))

    def compute(self, run):
        n = run.count
        if n == 0:
            raise CannotDraw("no events selected")
        per_bin = bin_size(n, MAX_BINS)
        bins = -(-n // per_bin)
        # Events of each class (the Missing codes, bad status, unreadable) per channel and bin.
        grid = np.zeros((len(self.channels), bins, len(PRESENCE_COLOURS)), np.int64)
        counts, bad = [], []
        for row, ch in enumerate(self.channels):
            try:
                grid[row], codes, nbad = self._bins(ch, run, per_bin, bins)
            except Exception:  # a damaged channel is a row of its own colour, not a failed map
                grid[row] = 0
                grid[row, :, UNREADABLE] = np.minimum(per_bin, n - np.arange(bins) * per_bin)
                codes, nbad = {"unreadable": n}, 0
                if not run.drawn_mask(run.first, run.last).all():  # bounded: one byte an event
                    self._other_type(grid[row], run, per_bin)
            counts.append(codes)
            bad.append(nbad)
        return grid, counts, bad, per_bin

    @staticmethod
    def _bins(ch, run, per_bin, bins):
        if not ch.has("Missing"):
            raise CannotDraw("no Missing dataset")
        missing = ch.dataset("Missing", run.last)
        status = status_of(ch, run)
        grid = np.zeros((bins, len(PRESENCE_COLOURS)), np.int64)
        tally = np.zeros(10, np.int64)  # codes 0..8, then any other
        nbad = 0
        step = rows_per_read(8)
        for start in range(run.first, run.last, step):
            stop = min(run.last, start + step)
            codes = missing[start:stop].astype(np.int64)
            drawn = run.drawn_mask(start, stop)
            tally += np.bincount(np.minimum(codes[drawn], 9), minlength=10)
            cls = np.where(codes > 8, UNREADABLE, codes)
            if status is not None:
                flagged = (status[start:stop] != 0) & drawn
                nbad += int(flagged.sum())
                cls[flagged] = BAD_STATUS
            cls[~drawn] = OTHER_TYPE
            a, b, starts = bin_starts(start - run.first, stop - start, per_bin)
            for c in np.unique(cls):
                grid[a:b, c] += np.add.reduceat((cls == c).astype(np.int64), starts)
        counts = {str(c): int(tally[c]) for c in range(9) if tally[c]}
        if tally[9]:
            counts["other"] = int(tally[9])
        return grid, counts, nbad

    @staticmethod
    def _other_type(grid, run, per_bin):
        """Moves the events of a type not drawn out of an unreadable channel's cells."""
        step = rows_per_read(8)
        for start in range(run.first, run.last, step):
            stop = min(run.last, start + step)
            other = ~run.drawn_mask(start, stop)
            a, b, starts = bin_starts(start - run.first, stop - start, per_bin)
            moved = np.add.reduceat(other.astype(np.int64), starts)
            grid[a:b, OTHER_TYPE] += moved
            grid[a:b, UNREADABLE] -= moved

    def draw(self, index, ax, data, run, fig):
        grid, counts, bad, per_bin = data
        if index == 1:
            ax.set_axis_off()
            shown = len(PRESENCE_COLOURS) if grid[:, :, OTHER_TYPE].any() else OTHER_TYPE
            handles = [Patch(facecolor=c, edgecolor="#808080", label=l)
                       for c, l in zip(PRESENCE_COLOURS[:shown], PRESENCE_LABELS[:shown])]
            ax.legend(handles=handles, loc="upper left", fontsize=8, title="cell was",
                      frameon=False)
            return {}
        ax.imshow(stacked(grid, PRESENCE_COLOURS, self.STACK), aspect="auto",
                  interpolation="nearest",
                  extent=(0, grid.shape[1], grid.shape[0], 0))
        ax.set_yticks(np.arange(len(self.channels)) + 0.5)
        size = 9 if len(self.channels) <= 25 else 7
        ax.set_yticklabels([c.name for c in self.channels], fontsize=size)
        bin_ticks(ax, run, grid.shape[1], per_bin)
        ax.set_xlabel("event ID")
        part = f", part {self.part} of {self.parts}" if self.parts > 1 else ""
        note = (f" (a cell is {per_bin} events, stacked by share: values at the bottom)"
                if per_bin > 1 else "")
        ax.set_title(f"data presence: {len(self.channels)} channels by {run.count} events"
                     f"{part}{note}", loc="left", fontsize=11)
        return {"channels": [c.name for c in self.channels], "events_per_bin": per_bin,
                "bins": int(grid.shape[1]), "counts": counts, "bad_status": bad,
                "with_value": grid[:, :, 0].tolist(),
                "event_types": {c: n for c, n in run.class_events().items() if c in run.classes}}


class ChannelRow(Row):
    def __init__(self, channel):
        self.channel = channel

    def title(self, what):
        return f"{self.channel.name} ({self.channel.kind}): {what}"


class SeriesRow(ChannelRow):
    """A scalar channel's value against event time, gaps left as gaps."""
    panels = [("series", 1)]
    height = 210

    def compute(self, run):
        ch = self.channel
        per_bin = bin_size(run.count, SERIES_BINS)
        lines, events = value_bins(ch, run, [ch.dataset("Value", run.last)], per_bin)
        return lines[0], events

    def draw(self, index, ax, data, run, fig):
        classes, events = data
        if not any(b.values.any() for b in classes.values()):
            raise CannotDraw("no values in the selected events")
        per_bin = classes.main.per_bin
        x = time_axis(ax, run, per_bin)
        draw_classes(ax, x, classes, run, events)
        where = bad_only([classes])
        mark_bad_only(ax, bin_edges(x), where)
        mark_bad(ax, x, classes)
        side_legend(ax)
        ax.set_ylabel(unit_label("value", self.channel.unit))
        drawn = sum(n for c, n in run.class_events().items() if c in run.classes)
        which = f" {run.classes[0]}" if len(run.classes) == 1 and run.has_types else ""
        ax.set_title(self.title(f"{sum(events.values())} of {drawn}{which} events with a value"
                                + bad_note(classes) + bin_note(per_bin)),
                     loc="left", fontsize=11)
        ax.grid(alpha=0.3)
        return series_entry(classes, events, where)


def pair_label(name):
    # Legend labels that are empty or begin with "_" would be left out of the legend.
    return f'"{name}"' if not name or name.startswith("_") else name


class PairsRow(ChannelRow):
    """Name-value pairs: one line per name."""
    panels = [("pairs", 1)]
    height = 250

    def compute(self, run):
        ch = self.channel
        pairs = ch.pair_datasets()
        if not pairs:
            raise CannotDraw("no pair datasets")
        per_bin = bin_size(run.count, SERIES_BINS)
        names, datasets, unreadable = [], [], []
        for name, key in pairs[:MAX_PAIR_LINES]:
            try:  # one name's damaged dataset leaves the others drawn
                ds = ch.dataset(key, run.last)
                if ds.ndim != 1:
                    raise CannotDraw(f"{key} is not one value per event")
            except (CannotDraw, OSError, ValueError, KeyError):
                unreadable.append(name)
                continue
            names.append(name)
            datasets.append(ds)
        if not datasets:
            raise CannotDraw("no readable pair dataset")
        bins, events = value_bins(ch, run, datasets, per_bin)
        return list(zip(names, bins)), len(pairs), unreadable, per_bin, events

    def draw(self, index, ax, data, run, fig):
        lines, total, unreadable, per_bin, events = data
        if not any(b.values.any() for _, classes in lines for b in classes.values()):
            raise CannotDraw("no values in the selected events")
        x = time_axis(ax, run, per_bin)
        # A name keeps its colour in every class; pedestal lines are dotted with markers.
        for number, (name, classes) in enumerate(lines):
            for c in classes:
                draw_bins(ax, x, classes[c], f"C{number % 10}",
                          label=pair_label(name) if c == run.classes[0] else None,
                          marker="x" if c == PEDESTAL else None,
                          linestyle=":" if c == PEDESTAL else "-",
                          zorder=1.9 if c == PEDESTAL else 2)
        where = bad_only([classes for _, classes in lines])
        mark_bad_only(ax, bin_edges(x), where)
        mark_bad(ax, x, lines[0][1])
        handles, _ = ax.get_legend_handles_labels()
        if run.has_types:
            handles += [Line2D([], [], color="#606060", linestyle=style, marker=marker,
                               label=f"{c} events ({events[c]})")
                        for c, style, marker in ((BEAM, "-", None), (PEDESTAL, ":", "x"))
                        if c in run.classes]
        side_legend(ax, handles)
        ax.set_ylabel(unit_label("value", self.channel.unit))
        left_out = total - len(lines) - len(unreadable)
        notes = f", {left_out} names not drawn" if left_out > 0 else ""
        if unreadable:
            notes += f", {len(unreadable)} unreadable ({', '.join(map(pair_label, unreadable))})"
        ax.set_title(self.title(f"{total} names{notes}" + bad_note(lines[0][1])
                                + bin_note(per_bin)), loc="left", fontsize=11)
        ax.grid(alpha=0.3)
        return {"names": [n for n, _ in lines], "unreadable": unreadable,
                "events_per_bin": per_bin, "bins": len(lines[0][1].main),
                "bin_min": [finite_list(b.main.minimum()) for _, b in lines],
                "bin_max": [finite_list(b.main.maximum()) for _, b in lines],
                "bad_status": int(lines[0][1].bad().sum()), "event_types": dict(events),
                "by_event_type": {c: {"bin_min": [finite_list(b[c].minimum()) for _, b in lines],
                                      "bin_max": [finite_list(b[c].maximum()) for _, b in lines],
                                      "bin_mean": [finite_list(b[c].mean()) for _, b in lines]}
                                  for c in run.classes},
                "bad_status_only": np.flatnonzero(where).tolist()}


class SpectrumRow(ChannelRow):
    """One spectrum member: a waterfall (events by sample index) and the mean trace."""
    panels = [("waterfall", 3), ("mean_trace", 2)]
    height = 270

    def __init__(self, channel, member, members):
        super().__init__(channel)
        self.member, self.members = member, members

    def compute(self, run):
        ch = self.channel
        name = f"Member{self.member}"
        ds = ch.dataset(name, run.last)
        if ds.ndim != 2:
            raise CannotDraw(f"{name} has {ds.ndim} dimensions, not events x samples")
        width = ds.shape[1]
        if width == 0:
            raise CannotDraw(f"{name} has no samples")
        lengths_ds = ch.dataset(name + "Length", run.last) if ch.has(name + "Length") else None
        missing = ch.dataset("Missing", run.last) if ch.has("Missing") else None
        status = status_of(ch, run)
        # The mean trace over every selected event; the waterfall's rows are means over bins
        # of consecutive events, its columns means over bins of samples.
        per_bin = bin_size(run.count, WATERFALL_ROWS)
        samples_per_bin = bin_size(width, MAX_SAMPLES)
        columns = np.arange(0, width, samples_per_bin)
        # The waterfall holds the main class only (beam events); every class has its own
        # mean trace.
        nrows = -(-run.count // per_bin)
        rows_total = np.zeros((nrows, columns.size))
        rows_count = np.zeros(rows_total.shape, np.int64)
        apart_rows = np.zeros(nrows, np.int64)  # events of the other classes with values
        bad_rows = np.zeros(nrows, np.int64)
        total = {c: np.zeros(width) for c in run.classes}
        count = {c: np.zeros(width, np.int64) for c in run.classes}
        events = dict.fromkeys(run.classes, 0)
        bad = 0
        for offset, rows in run.chunks(ds):
            start = run.first + offset
            stop = start + rows.shape[0]
            rows = self._masked(rows.astype(np.float64), start, lengths_ds, missing)
            drawn = run.drawn_mask(start, stop)
            flagged = np.zeros(rows.shape[0], bool)
            if status is not None:
                flagged = (status[start:stop] != 0) & drawn
                rows[flagged] = np.nan
                bad += int(flagged.sum())
            ok = np.isfinite(rows)
            rows = np.where(ok, rows, 0.0)
            with_value = ok.any(axis=1)
            main = None
            for c in run.classes:
                mask = run.class_mask(start, stop, c)
                main = mask if main is None else main
                total[c] += rows[mask].sum(axis=0)
                count[c] += ok[mask].sum(axis=0)
                events[c] += int((with_value & mask).sum())
            rows = np.where(main[:, None], rows, 0.0)
            ok &= main[:, None]
            a, b, starts = bin_starts(offset, rows.shape[0], per_bin)
            rows_total[a:b] += np.add.reduceat(np.add.reduceat(rows, starts, axis=0), columns,
                                               axis=1)
            rows_count[a:b] += np.add.reduceat(np.add.reduceat(ok, starts, axis=0,
                                                               dtype=np.int64), columns, axis=1)
            apart_rows[a:b] += np.add.reduceat(with_value & drawn & ~main, starts,
                                               dtype=np.int64)
            bad_rows[a:b] += np.add.reduceat(flagged, starts, dtype=np.int64)
        with np.errstate(invalid="ignore", divide="ignore"):
            mean = {c: np.where(count[c] > 0, total[c] / np.maximum(count[c], 1), np.nan)
                    for c in run.classes}
            image = np.where(rows_count > 0, rows_total / np.maximum(rows_count, 1), np.nan)
        empty = rows_count.sum(axis=1) == 0
        marks = {"apart": empty & (apart_rows > 0),
                 "bad": empty & (apart_rows == 0) & (bad_rows > 0)}
        return image, per_bin, samples_per_bin, mean, events, bad, marks

    @staticmethod
    def _masked(rows, start, lengths_ds, missing):
        stop = start + rows.shape[0]
        if lengths_ds is not None:
            lengths = lengths_ds[start:stop]
            rows[np.arange(rows.shape[1])[None, :] >= lengths[:, None]] = np.nan
        if missing is not None:
            rows[missing[start:stop] != 0] = np.nan
        return rows

    def member_note(self):
        more = ""
        if len(self.members) > MAX_MEMBERS and self.member == self.members[MAX_MEMBERS - 1]:
            more = f"; members {self.members[MAX_MEMBERS]}..{self.members[-1]} not drawn"
        return f"member {self.member}{more}"

    def draw(self, index, ax, data, run, fig):
        image, per_bin, samples_per_bin, mean, events, bad, marks = data
        unit = self.channel.unit
        main = run.classes[0]
        if index == 0:
            finite = image[np.isfinite(image)]
            if finite.size == 0:
                raise CannotDraw(f"no values in the selected {main} events" if run.has_types
                                 else "no values in the selected events")
            lo, hi = np.percentile(finite, [1, 99])
            if hi <= lo:
                lo, hi = lo - 0.5, hi + 0.5
            nrows = image.shape[0]
            width = image.shape[1] * samples_per_bin
            shown = ax.imshow(np.ma.masked_invalid(image), aspect="auto", interpolation="nearest",
                              cmap="viridis", vmin=lo, vmax=hi, extent=(0, width, nrows, 0))
            bar = fig.colorbar(shown, ax=ax, fraction=0.04, pad=0.01)
            bar.set_label(unit_label("value", unit), fontsize=9)
            ax.set_xlabel("sample index")
            ax.set_ylabel("event ID")
            bin_ticks(ax, run, nrows, per_bin, axis="y", count=5)
            edges = np.arange(nrows + 1)
            mark_bad_only(ax, edges, marks["bad"], vertical=False)
            for number, (a, b) in enumerate(spans(marks["apart"])):
                ax.axhspan(a, b, facecolor="none", edgecolor=CLASS_COLOURS[PEDESTAL],
                           hatch="\\\\", linewidth=0,
                           label=f"{PEDESTAL} events only" if number == 0 else None)
            if marks["bad"].any() or marks["apart"].any():  # inside: the colour bar is beside
                ax.legend(fontsize=7, loc="upper right", framealpha=0.8)
            notes = []
            if per_bin > 1:
                notes.append(f"row: mean of {per_bin} events")
            if samples_per_bin > 1:
                notes.append(f"column: mean of {samples_per_bin} samples")
            if bad:
                notes.append(f"{bad} of bad status left out")
            note = f" ({'; '.join(notes)})" if notes else ""
            which = f"{main} " if run.has_types else ""
            ax.set_title(self.title(f"{self.member_note()}, {which}waterfall{note}"), loc="left",
                         fontsize=11)
            return {"member": self.member, "events_per_bin": per_bin, "rows": nrows,
                    "samples_per_bin": samples_per_bin, "bad_status": bad,
                    "event_types": {main: events[main]},
                    "pedestal_only_rows": np.flatnonzero(marks["apart"]).tolist(),
                    "bad_status_only": np.flatnonzero(marks["bad"]).tolist()}
        if not any(np.isfinite(m).any() for m in mean.values()):
            raise CannotDraw("no values in the selected events")
        # The main class red as ever; pedestals dashed in their own colour, under it.
        colours = {ALL: "#b2182b", BEAM: "#b2182b", PEDESTAL: CLASS_COLOURS[PEDESTAL]}
        for c in run.classes:
            ax.plot(np.arange(mean[c].size), mean[c], "--" if c == PEDESTAL else "-",
                    linewidth=1, color=colours[c], label=class_label(run, c, events[c]),
                    zorder=1.9 if c == PEDESTAL else 2)
        side_legend(ax)
        ax.set_xlabel("sample index")
        ax.set_ylabel(unit_label("mean", unit))
        what = ", ".join(f"{events[c]} {c}" for c in run.classes) if run.has_types else (
            str(events[ALL]))
        ax.set_title(f"mean trace over {what} events", loc="left", fontsize=11)
        ax.grid(alpha=0.3)
        return {"member": self.member, "event_types": dict(events),
                "by_event_type": {c: {"mean": finite_list(mean[c])} for c in run.classes}}


class CameraRow(ChannelRow):
    """A camera: the mean frame, the last frame with its event ID, the summed intensity."""
    panels = [("mean_frame", 2), ("last_frame", 2), ("intensity", 3)]
    height = 300
    gap = 190  # the frames' colour bars sit in the gap
    title_space = 58  # titles of up to three lines

    def compute(self, run):
        ch = self.channel
        pixels = ch.dataset("Pixels", run.last)
        if pixels.ndim != 3:
            raise CannotDraw(f"Pixels has {pixels.ndim} dimensions, not events x height x width")
        height, width = pixels.shape[1:]
        missing = ch.dataset("Missing", run.last) if ch.has("Missing") else None
        status = status_of(ch, run)
        sizes = None
        if ch.has("Width") and ch.has("Height"):
            sizes = (ch.dataset("Width", run.last), ch.dataset("Height", run.last))
        # The most common frame size among present frames of the main class (beam events) is
        # the one averaged; frames of the other classes are summed in their own line only.
        shape = (height, width)
        main_class = run.classes[0]
        if sizes is not None:
            tally = {}
            for offset, w in run.chunks(sizes[0]):
                h = sizes[1][run.first + offset:run.first + offset + w.size]
                ok = self._present(missing, status, run.first + offset, w.size)
                ok &= run.class_mask(run.first + offset, run.first + offset + w.size, main_class)
                pairs = np.stack([h[ok], w[ok]], axis=1)
                for (hh, ww), n in zip(*np.unique(pairs, axis=0, return_counts=True)):
                    tally[(int(hh), int(ww))] = tally.get((int(hh), int(ww)), 0) + int(n)
            tally = {k: v for k, v in tally.items() if 0 < k[0] <= height and 0 < k[1] <= width}
            if tally:
                shape = max(tally, key=lambda k: (tally[k], k))
        sums = class_bins(run, bin_size(run.count, INTENSITY_BINS))
        total = np.zeros(shape)
        frames = other_size = apart = 0
        last = None
        # Frames are read a batch at a time (frames_per_read), and only batches that hold a
        # frame to draw: memory stays bounded whatever the stack.
        batch = self.frames_per_read(pixels)
        for begin in range(run.first, run.last, batch):
            end = min(run.last, begin + batch)
            ok = self._present(missing, status, begin, end - begin) & run.drawn_mask(begin, end)
            if status is not None:
                for c, bins in sums.items():
                    bins.add_bad(begin - run.first,
                                 (status[begin:end] != 0) & run.class_mask(begin, end, c))
            if not ok.any():
                continue
            lo = int(np.flatnonzero(ok)[0])
            hi = int(np.flatnonzero(ok)[-1]) + 1
            block = pixels[begin + lo:begin + hi]
            ok = ok[lo:hi]
            start = begin + lo
            main = ok & run.class_mask(start, start + ok.size, main_class)
            apart += int(ok.sum() - main.sum())
            same = main.copy()
            if sizes is not None:
                w = sizes[0][start:start + block.shape[0]]
                h = sizes[1][start:start + block.shape[0]]
                same &= (h == shape[0]) & (w == shape[1])
            other_size += int(main.sum() - same.sum())
            if same.any():
                total += block[same][:, :shape[0], :shape[1]].sum(axis=0, dtype=np.float64)
                frames += int(same.sum())
            last = start + int(np.flatnonzero(ok)[-1])
            per_frame = np.zeros(block.shape[0])
            per_frame[ok] = block[ok].sum(axis=(1, 2), dtype=np.float64)
            add_classes(sums, run, start, per_frame, ok)
        if missing is not None:
            other_size += sum(int(((c == 5) & run.class_mask(run.first + o, run.first + o + c.size,
                                                             main_class)).sum())
                              for o, c in run.chunks(missing))
        mean = total / frames if frames else None
        last_frame = None
        if last is not None:
            last_frame = pixels[last]
            if sizes is not None:
                lh, lw = int(sizes[1][last]), int(sizes[0][last])
                if 0 < lh <= height and 0 < lw <= width:
                    last_frame = last_frame[:lh, :lw]
        return mean, frames, other_size, last, last_frame, sums, apart

    @staticmethod
    def frames_per_read(pixels):
        return rows_per_read(pixels.dtype.itemsize * pixels.shape[1] * pixels.shape[2])

    @staticmethod
    def _present(missing, status, start, rows):
        """Frames to draw: present, and not flagged by a bad channel status."""
        ok = np.ones(rows, bool) if missing is None else missing[start:start + rows] == 0
        if status is not None:
            ok &= status[start:start + rows] == 0
        return ok

    def draw(self, index, ax, data, run, fig):
        mean, frames, other_size, last, last_frame, sums, apart = data
        unit = self.channel.unit
        bad = int(sums.bad().sum())
        main = run.classes[0]
        if index == 0:
            if mean is None:
                raise CannotDraw(f"no {main} frame present in the selected events"
                                 if run.has_types else "no frame present in the selected events")
            image = ax.imshow(mean, cmap="gray", interpolation="nearest")
            fig.colorbar(image, ax=ax, fraction=0.046, pad=0.02).set_label(
                unit_label("mean", unit), fontsize=9)
            others = f"\n({other_size} of another size left out)" if other_size else ""
            left_out = ([f"{bad} of bad status"] if bad else []) + (
                [f"{apart} {PEDESTAL}"] if apart else [])
            if left_out:
                others += f"\n({', '.join(left_out)} left out)"
            which = f" {main}" if run.has_types else ""
            ax.set_title(f"{self.channel.name} (image)\nmean of {frames}{which} frames "
                         f"{mean.shape[1]}x{mean.shape[0]}{others}", loc="left", fontsize=10)
            ax.set_xlabel("x [pixel]")
            ax.set_ylabel("y [pixel]")
            return {"frames": frames, "shape": list(mean.shape), "other_size": other_size,
                    "bad_status": bad, "event_types": {main: frames},
                    "pedestal_left_out": apart}
        if index == 1:
            if last_frame is None:
                raise CannotDraw("no frame present in the selected events")
            image = ax.imshow(last_frame, cmap="gray", interpolation="nearest")
            fig.colorbar(image, ax=ax, fraction=0.046, pad=0.02).set_label(
                unit_label("pixel", unit), fontsize=9)
            kind = next((c for c in run.classes if run.class_mask(last, last + 1, c)[0]), main)
            which = f", {kind}" if run.has_types else ""
            ax.set_title(f"last frame\nevent {run.event_id(last)}{which} "
                         f"({last_frame.shape[1]}x{last_frame.shape[0]})", loc="left",
                         fontsize=10)
            ax.set_xlabel("x [pixel]")
            ax.set_ylabel("y [pixel]")
            return {"event": run.event_id(last), "shape": list(last_frame.shape),
                    "event_types": {kind: 1}}
        if not any(b.values.any() for b in sums.values()):
            raise CannotDraw("no frame present in the selected events")
        per_bin = sums.main.per_bin
        x = time_axis(ax, run, per_bin)
        counts = sums.counts()
        draw_classes(ax, x, sums, run, counts, dict(CLASS_COLOURS, beam="#5e3c99", all="#5e3c99"))
        where = bad_only([sums])
        mark_bad_only(ax, bin_edges(x), where)
        mark_bad(ax, x, sums)
        side_legend(ax)
        ax.set_ylabel(unit_label("summed intensity", unit))
        note = (f"\n(bins of {per_bin} events: band min to max, line mean)"
                if per_bin > 1 else "")
        ax.set_title("summed intensity per event" + note, loc="left", fontsize=10)
        ax.grid(alpha=0.3)
        return series_entry(sums, counts, where)


class StructuredRow(ChannelRow):
    """Whether the host's conversion of structured data succeeded, per event."""
    panels = [("conversion", 1)]
    height = 170
    COLOURS = ["#1a9850", "#e0e0e0", "#d73027", PRESENCE_COLOURS[OTHER_TYPE]]
    LABELS = ["converted", "not in the event", "conversion failed", "other event type"]

    def compute(self, run):
        ch = self.channel
        if not ch.has("Converted"):
            raise CannotDraw("no Converted dataset: only the plug-in's -h5 output records "
                             "the conversion (a converted table leaves these cells empty)")
        converted = ch.dataset("Converted", run.last)
        missing = ch.dataset("Missing", run.last) if ch.has("Missing") else None
        per_bin = bin_size(run.count, MAX_BINS)
        # Events per bin that were 0 converted, 1 not in the event, 2 conversion failed, 3 of a
        # type not drawn.
        grid = np.zeros((1, -(-run.count // per_bin), 4), np.int64)
        for offset, conv in run.chunks(converted):
            start = run.first + offset
            codes = missing[start:start + conv.size] if missing is not None else np.zeros(conv.size)
            cls = np.where(conv != 0, 0, np.where(codes == 8, 2, np.where(codes == 0, 2, 1)))
            cls[~run.drawn_mask(start, start + conv.size)] = 3
            a, b, starts = bin_starts(offset, conv.size, per_bin)
            for c in range(4):
                grid[0, a:b, c] += np.add.reduceat((cls == c).astype(np.int64), starts)
        return grid, per_bin

    def draw(self, index, ax, data, run, fig):
        grid, per_bin = data
        good, failed = int(grid[0, :, 0].sum()), int(grid[0, :, 2].sum())
        bins = grid.shape[1]
        ax.imshow(stacked(grid, self.COLOURS, 24), aspect="auto", interpolation="nearest",
                  extent=(0, bins, 1, 0))
        ax.set_yticks([])
        bin_ticks(ax, run, bins, per_bin)
        ax.set_xlabel("event ID")
        shown = 4 if grid[0, :, 3].any() else 3
        handles = [Patch(facecolor=c, label=l)
                   for c, l in zip(self.COLOURS[:shown], self.LABELS[:shown])]
        ax.legend(handles=handles, loc="upper left", bbox_to_anchor=(1.0, 1.0), fontsize=8,
                  frameon=False)
        note = (f" (a cell is {per_bin} events, stacked by share: converted at the bottom)"
                if per_bin > 1 else "")
        ax.set_title(self.title(f"conversion: {good} converted, {failed} failed{note}"),
                     loc="left", fontsize=11)
        return {"converted": good, "failed": failed, "events_per_bin": per_bin,
                "event_types": {c: n for c, n in run.class_events().items() if c in run.classes}}


class UnknownRow(ChannelRow):
    """A channel whose kind gives nothing to draw: a panel that says why."""
    panels = [("cannot_draw", 1)]
    height = 110

    def __init__(self, channel, reason=None):
        super().__init__(channel)
        kind = channel.kind
        self.reason = reason or (f"unknown kind '{kind}'" if kind else
                                 "the group has no kind attribute")

    def compute(self, run):
        raise CannotDraw(self.reason)


def rows_for(channel):
    """The rows drawn for one channel; marks and empty channels live in the presence map."""
    kind = channel.kind
    if kind in ("scalar", "scalar_int"):
        return [SeriesRow(channel)]
    if kind == "pairs":
        return [PairsRow(channel)]
    if kind == "spectrum":
        members = channel.members()
        if not members:
            return [UnknownRow(channel, "no Member<m> datasets")]
        return [SpectrumRow(channel, m, members) for m in members[:MAX_MEMBERS]]
    if kind == "image":
        return [CameraRow(channel)]
    if kind == "structured":
        return [StructuredRow(channel)]
    if kind in ("mark", "empty"):
        return []
    return [UnknownRow(channel)]
