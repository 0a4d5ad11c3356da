"""The panels of a quick-look page: one Row per band of the page, each with one or more panels.

A row reads what it needs in compute() (bounded by the chunked reads of RunFile) and draws
each of its panels in draw(); either may raise CannotDraw, and the page then shows the reason.
"""

import textwrap

import numpy as np
from matplotlib.colors import to_rgba
from matplotlib.patches import Patch

from ql_runfile import (MISSING_NAMES, Bins, CannotDraw, bin_size, bin_starts, rows_per_read,
                        text)

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

# Presence-map cell classes: the Missing codes 0..8, a bad channel status, an unreadable channel.
BAD_STATUS = 9
UNREADABLE = 10
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
]
PRESENCE_LABELS = [f"{c} {MISSING_NAMES[c]}" for c in range(9)] + [
    "bad channel status", "unreadable / other code"]
BAD_MARK = "#000000"


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
    return channel.dataset("ChanStatus", run.last) if channel.has("ChanStatus") else None


def value_bins(channel, run, datasets, per_bin):
    """Bins of each one-dimensional dataset over the selected events.  A value counts where
    Missing is 0, the channel status is 0 and it is finite; bad statuses are counted apart."""
    missing = channel.dataset("Missing", run.last) if channel.has("Missing") else None
    status = status_of(channel, run)
    out = [Bins(run.count, per_bin) for _ in datasets]
    step = rows_per_read(8 * (len(datasets) + 2))
    for start in range(run.first, run.last, step):
        stop = min(run.last, start + step)
        present = (missing[start:stop] == 0) if missing is not None else np.ones(stop - start, bool)
        bad = (status[start:stop] != 0) if status is not None else np.zeros(stop - start, bool)
        for bins, ds in zip(out, datasets):
            values = ds[start:stop].astype(np.float64)
            bins.add(start - run.first, values, present & ~bad & np.isfinite(values), bad)
    return out


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


def draw_bins(ax, x, bins, colour, label=None):
    """One event a point as a line; bins as a band from minimum to maximum with the mean."""
    mean = bins.mean()
    if bins.per_bin == 1:
        ax.plot(x, mean, "-", marker=".", markersize=3, linewidth=1, color=colour, label=label)
        return
    lo, hi = bins.minimum(), bins.maximum()
    ok = np.isfinite(lo)
    ax.fill_between(x, np.where(ok, lo, 0), np.where(ok, hi, 0), where=ok, step="mid",
                    color=colour, alpha=0.35, linewidth=0)
    ax.plot(x, mean, "-", linewidth=1, color=colour, label=label)


def mark_bad(ax, x, bins):
    """Ticks along the bottom where events had a bad channel status: not values, so never on
    the value axis."""
    where = bins.bad > 0
    if where.any():
        ax.plot(x[where], np.full(int(where.sum()), 0.04), linestyle="none", marker="|",
                markersize=10, markeredgewidth=1.5, color=BAD_MARK,
                transform=ax.get_xaxis_transform(), clip_on=False)


def bad_note(bins):
    bad = int(bins.bad.sum())
    return f", {bad} of bad status (ticks)" if bad else ""


def bin_note(per_bin):
    if per_bin <= 1:
        return ""
    return f"; bins of {per_bin} events: band min to max, line mean"


def series_entry(bins):
    return {"events_per_bin": bins.per_bin, "bins": len(bins),
            "bin_min": finite_list(bins.minimum()), "bin_max": finite_list(bins.maximum()),
            "bad_status": int(bins.bad.sum())}


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
        return {"generation": gen, "events": run.count,
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
        # Tall enough for the legend's eleven entries too.
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
            tally += np.bincount(np.minimum(codes, 9), minlength=10)
            cls = np.where(codes > 8, UNREADABLE, codes)
            if status is not None:
                flagged = status[start:stop] != 0
                nbad += int(flagged.sum())
                cls[flagged] = BAD_STATUS
            a, b, starts = bin_starts(start - run.first, stop - start, per_bin)
            for c in np.unique(cls):
                grid[a:b, c] += np.add.reduceat((cls == c).astype(np.int64), starts)
        counts = {str(c): int(tally[c]) for c in range(9) if tally[c]}
        if tally[9]:
            counts["other"] = int(tally[9])
        return grid, counts, nbad

    def draw(self, index, ax, data, run, fig):
        grid, counts, bad, per_bin = data
        if index == 1:
            ax.set_axis_off()
            handles = [Patch(facecolor=c, edgecolor="#808080", label=l)
                       for c, l in zip(PRESENCE_COLOURS, PRESENCE_LABELS)]
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
                "with_value": grid[:, :, 0].tolist()}


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
        return value_bins(ch, run, [ch.dataset("Value", run.last)], per_bin)[0]

    def draw(self, index, ax, data, run, fig):
        bins = data
        if not bins.values.any():
            raise CannotDraw("no values in the selected events")
        x = time_axis(ax, run, bins.per_bin)
        draw_bins(ax, x, bins, "#2166ac")
        mark_bad(ax, x, bins)
        ax.set_ylabel(unit_label("value", self.channel.unit))
        ax.set_title(self.title(f"{int(bins.values.sum())} of {run.count} events with a value"
                                + bad_note(bins) + bin_note(bins.per_bin)),
                     loc="left", fontsize=11)
        ax.grid(alpha=0.3)
        return series_entry(bins)


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
        bins = value_bins(ch, run, datasets, per_bin)
        return list(zip(names, bins)), len(pairs), unreadable, per_bin

    def draw(self, index, ax, data, run, fig):
        lines, total, unreadable, per_bin = data
        if not any(bins.values.any() for _, bins in lines):
            raise CannotDraw("no values in the selected events")
        x = time_axis(ax, run, per_bin)
        for number, (name, bins) in enumerate(lines):
            draw_bins(ax, x, bins, f"C{number % 10}", label=pair_label(name))
        mark_bad(ax, x, lines[0][1])
        ax.legend(fontsize=8, loc="upper left", bbox_to_anchor=(1.0, 1.0), frameon=False)
        ax.set_ylabel(unit_label("value", self.channel.unit))
        left_out = total - len(lines) - len(unreadable)
        notes = f", {left_out} names not drawn" if left_out > 0 else ""
        if unreadable:
            notes += f", {len(unreadable)} unreadable ({', '.join(map(pair_label, unreadable))})"
        ax.set_title(self.title(f"{total} names{notes}" + bad_note(lines[0][1])
                                + bin_note(per_bin)), loc="left", fontsize=11)
        ax.grid(alpha=0.3)
        return {"names": [n for n, _ in lines], "unreadable": unreadable,
                "events_per_bin": per_bin, "bins": len(lines[0][1]),
                "bin_min": [finite_list(b.minimum()) for _, b in lines],
                "bin_max": [finite_list(b.maximum()) for _, b in lines],
                "bad_status": int(lines[0][1].bad.sum())}


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
        rows_total = np.zeros((-(-run.count // per_bin), columns.size))
        rows_count = np.zeros(rows_total.shape, np.int64)
        total = np.zeros(width)
        count = np.zeros(width, np.int64)
        bad = 0
        for offset, rows in run.chunks(ds):
            start = run.first + offset
            rows = self._masked(rows.astype(np.float64), start, lengths_ds, missing)
            if status is not None:
                flagged = status[start:start + rows.shape[0]] != 0
                rows[flagged] = np.nan
                bad += int(flagged.sum())
            ok = np.isfinite(rows)
            rows = np.where(ok, rows, 0.0)
            total += rows.sum(axis=0)
            count += ok.sum(axis=0)
            a, b, starts = bin_starts(offset, rows.shape[0], per_bin)
            rows_total[a:b] += np.add.reduceat(np.add.reduceat(rows, starts, axis=0), columns,
                                               axis=1)
            rows_count[a:b] += np.add.reduceat(np.add.reduceat(ok, starts, axis=0,
                                                               dtype=np.int64), columns, axis=1)
        with np.errstate(invalid="ignore", divide="ignore"):
            mean = np.where(count > 0, total / np.maximum(count, 1), np.nan)
            image = np.where(rows_count > 0, rows_total / np.maximum(rows_count, 1), np.nan)
        return image, per_bin, samples_per_bin, mean, count, bad

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
        image, per_bin, samples_per_bin, mean, count, bad = data
        unit = self.channel.unit
        if index == 0:
            finite = image[np.isfinite(image)]
            if finite.size == 0:
                raise CannotDraw("no values in the selected events")
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
            notes = []
            if per_bin > 1:
                notes.append(f"row: mean of {per_bin} events")
            if samples_per_bin > 1:
                notes.append(f"column: mean of {samples_per_bin} samples")
            if bad:
                notes.append(f"{bad} of bad status left out")
            note = f" ({'; '.join(notes)})" if notes else ""
            ax.set_title(self.title(f"{self.member_note()}, waterfall{note}"), loc="left",
                         fontsize=11)
            return {"member": self.member, "events_per_bin": per_bin, "rows": nrows,
                    "samples_per_bin": samples_per_bin, "bad_status": bad}
        ok = np.isfinite(mean)
        if not ok.any():
            raise CannotDraw("no values in the selected events")
        ax.plot(np.arange(mean.size), mean, linewidth=1, color="#b2182b")
        ax.set_xlabel("sample index")
        ax.set_ylabel(unit_label("mean", unit))
        ax.set_title(f"mean trace over {int(count.max())} events", loc="left", fontsize=11)
        ax.grid(alpha=0.3)
        return {"member": self.member}


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
        # The most common frame size among present frames is the one averaged.
        shape = (height, width)
        if sizes is not None:
            tally = {}
            for offset, w in run.chunks(sizes[0]):
                h = sizes[1][run.first + offset:run.first + offset + w.size]
                ok = self._present(missing, status, run.first + offset, w.size)
                pairs = np.stack([h[ok], w[ok]], axis=1)
                for (hh, ww), n in zip(*np.unique(pairs, axis=0, return_counts=True)):
                    tally[(int(hh), int(ww))] = tally.get((int(hh), int(ww)), 0) + int(n)
            tally = {k: v for k, v in tally.items() if 0 < k[0] <= height and 0 < k[1] <= width}
            if tally:
                shape = max(tally, key=lambda k: (tally[k], k))
        sums = Bins(run.count, bin_size(run.count, INTENSITY_BINS))
        total = np.zeros(shape)
        frames = other_size = 0
        last = None
        # Frames are read a batch at a time (frames_per_read), and only batches that hold a
        # frame to draw: memory stays bounded whatever the stack.
        batch = self.frames_per_read(pixels)
        for begin in range(run.first, run.last, batch):
            end = min(run.last, begin + batch)
            ok = self._present(missing, status, begin, end - begin)
            if status is not None:
                sums.add_bad(begin - run.first, status[begin:end] != 0)
            if not ok.any():
                continue
            lo = int(np.flatnonzero(ok)[0])
            hi = int(np.flatnonzero(ok)[-1]) + 1
            block = pixels[begin + lo:begin + hi]
            ok = ok[lo:hi]
            start = begin + lo
            same = ok.copy()
            if sizes is not None:
                w = sizes[0][start:start + block.shape[0]]
                h = sizes[1][start:start + block.shape[0]]
                same &= (h == shape[0]) & (w == shape[1])
            other_size += int(ok.sum() - same.sum())
            if same.any():
                total += block[same][:, :shape[0], :shape[1]].sum(axis=0, dtype=np.float64)
                frames += int(same.sum())
            last = start + int(np.flatnonzero(ok)[-1])
            per_frame = np.zeros(block.shape[0])
            per_frame[ok] = block[ok].sum(axis=(1, 2), dtype=np.float64)
            sums.add(start - run.first, per_frame, ok)
        if missing is not None:
            other_size += sum(int((c == 5).sum()) for _, c in run.chunks(missing))
        mean = total / frames if frames else None
        last_frame = None
        if last is not None:
            last_frame = pixels[last]
            if sizes is not None:
                lh, lw = int(sizes[1][last]), int(sizes[0][last])
                if 0 < lh <= height and 0 < lw <= width:
                    last_frame = last_frame[:lh, :lw]
        return mean, frames, other_size, last, last_frame, sums

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
        mean, frames, other_size, last, last_frame, sums = data
        unit = self.channel.unit
        bad = int(sums.bad.sum())
        if index == 0:
            if mean is None:
                raise CannotDraw("no frame present in the selected events")
            image = ax.imshow(mean, cmap="gray", interpolation="nearest")
            fig.colorbar(image, ax=ax, fraction=0.046, pad=0.02).set_label(
                unit_label("mean", unit), fontsize=9)
            others = f"\n({other_size} of another size left out)" if other_size else ""
            if bad:
                others += f"\n({bad} of bad status left out)"
            ax.set_title(f"{self.channel.name} (image)\nmean of {frames} frames "
                         f"{mean.shape[1]}x{mean.shape[0]}{others}", loc="left", fontsize=10)
            ax.set_xlabel("x [pixel]")
            ax.set_ylabel("y [pixel]")
            return {"frames": frames, "shape": list(mean.shape), "other_size": other_size,
                    "bad_status": bad}
        if index == 1:
            if last_frame is None:
                raise CannotDraw("no frame present in the selected events")
            image = ax.imshow(last_frame, cmap="gray", interpolation="nearest")
            fig.colorbar(image, ax=ax, fraction=0.046, pad=0.02).set_label(
                unit_label("pixel", unit), fontsize=9)
            ax.set_title(f"last frame\nevent {run.event_id(last)} "
                         f"({last_frame.shape[1]}x{last_frame.shape[0]})", loc="left",
                         fontsize=10)
            ax.set_xlabel("x [pixel]")
            ax.set_ylabel("y [pixel]")
            return {"event": run.event_id(last), "shape": list(last_frame.shape)}
        if not sums.values.any():
            raise CannotDraw("no frame present in the selected events")
        x = time_axis(ax, run, sums.per_bin)
        draw_bins(ax, x, sums, "#5e3c99")
        mark_bad(ax, x, sums)
        ax.set_ylabel(unit_label("summed intensity", unit))
        note = (f"\n(bins of {sums.per_bin} events: band min to max, line mean)"
                if sums.per_bin > 1 else "")
        ax.set_title("summed intensity per event" + note, loc="left", fontsize=10)
        ax.grid(alpha=0.3)
        return series_entry(sums)


class StructuredRow(ChannelRow):
    """Whether the host's conversion of structured data succeeded, per event."""
    panels = [("conversion", 1)]
    height = 170
    COLOURS = ["#1a9850", "#e0e0e0", "#d73027"]
    LABELS = ["converted", "not in the event", "conversion failed"]

    def compute(self, run):
        ch = self.channel
        if not ch.has("Converted"):
            raise CannotDraw("no Converted dataset: only the plug-in's -h5 output records "
                             "the conversion (a converted table leaves these cells empty)")
        converted = ch.dataset("Converted", run.last)
        missing = ch.dataset("Missing", run.last) if ch.has("Missing") else None
        per_bin = bin_size(run.count, MAX_BINS)
        # Events per bin that were 0 converted, 1 not in the event, 2 conversion failed.
        grid = np.zeros((1, -(-run.count // per_bin), 3), np.int64)
        for offset, conv in run.chunks(converted):
            start = run.first + offset
            codes = missing[start:start + conv.size] if missing is not None else np.zeros(conv.size)
            cls = np.where(conv != 0, 0, np.where(codes == 8, 2, np.where(codes == 0, 2, 1)))
            a, b, starts = bin_starts(offset, conv.size, per_bin)
            for c in range(3):
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
        handles = [Patch(facecolor=c, label=l) for c, l in zip(self.COLOURS, self.LABELS)]
        ax.legend(handles=handles, loc="upper left", bbox_to_anchor=(1.0, 1.0), fontsize=8,
                  frameon=False)
        note = (f" (a cell is {per_bin} events, stacked by share: converted at the bottom)"
                if per_bin > 1 else "")
        ax.set_title(self.title(f"conversion: {good} converted, {failed} failed{note}"),
                     loc="left", fontsize=11)
        return {"converted": good, "failed": failed, "events_per_bin": per_bin}


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
