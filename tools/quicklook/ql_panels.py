"""The panels of a quick-look page: one Row per band of the page, each with one or more panels.

A row reads what it needs in compute() (bounded by the chunked reads of RunFile) and draws
each of its panels in draw(); either may raise CannotDraw, and the page then shows the reason.
"""

import textwrap

import numpy as np
from matplotlib.colors import ListedColormap
from matplotlib.patches import Patch

from ql_runfile import MISSING_NAMES, CannotDraw, rows_per_read, stride_for, text

# At most this many events are drawn per series or waterfall; longer runs are strided.
MAX_POINTS = 2000
# At most this many samples of a spectrum row are drawn.
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


def stride_note(stride, what="event"):
    if stride <= 1:
        return ""
    suffix = {2: "nd", 3: "rd"}.get(stride % 10 if stride % 100 not in (11, 12, 13) else 0, "th")
    return f" (decimated: every {stride}{suffix} {what})"


def unit_label(label, unit):
    return f"{label} [{unit}]" if unit else label


def tick_positions(count, ticks):
    """Evenly spaced whole positions in range(count), at most about `ticks` of them."""
    return np.arange(0, count, max(1, -(-count // ticks)))


def event_ticks(ax, run, rows, axis="x", count=6):
    """Labels a row-number axis (0 = first selected event) with event IDs."""
    if rows <= 0:
        return
    pos = tick_positions(rows, count)
    labels = [str(run.event_id(run.first + int(p))) for p in pos]
    if axis == "x":
        ax.set_xticks(pos + 0.5)
        ax.set_xticklabels(labels, fontsize=8)
    else:
        ax.set_yticks(pos + 0.5)
        ax.set_yticklabels(labels, fontsize=8)


def present_mask(channel, run, stride):
    """Missing == 0 for every stride-th selected event (all True without a Missing dataset)."""
    if not channel.has("Missing"):
        return np.ones(len(range(run.first, run.last, stride)), bool)
    return run.strided(channel.dataset("Missing", run.last), stride) == 0


def time_axis(ax, run, stride):
    x, is_time = run.seconds(stride)
    if is_time:
        ax.set_xlabel("time since first event [s]")
    else:
        ax.set_xlabel("event (row from first; the file has no Time)")
    return x


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
    """Channels by events, coloured by what each cell was."""
    panels = [("presence", 6), ("presence_legend", 1)]

    def __init__(self, channels, part, parts):
        self.channels = channels
        self.part, self.parts = part, parts
        # Tall enough for the legend's eleven entries too.
        self.height = max(260, 75 + 15 * len(channels))

    def compute(self, run):
        n = run.count
        if n == 0:
            raise CannotDraw("no events selected")
        per_bin = stride_for(n, MAX_BINS)
        bins = -(-n // per_bin)
        grid = np.zeros((len(self.channels), bins), np.uint8)
        for row, ch in enumerate(self.channels):
            try:
                grid[row] = self._bins(ch, run, per_bin, bins)
            except Exception:  # a damaged channel is a row of its own colour, not a failed map
                grid[row] = UNREADABLE
        return grid, per_bin

    @staticmethod
    def _bins(ch, run, per_bin, bins):
        out = np.zeros(bins, np.uint8)
        if not ch.has("Missing"):
            out[:] = UNREADABLE
            return out
        missing = ch.dataset("Missing", run.last)
        status = ch.dataset("ChanStatus", run.last) if ch.has("ChanStatus") else None
        step = per_bin * max(1, rows_per_read(8) // per_bin)
        for start in range(run.first, run.last, step):
            stop = min(run.last, start + step)
            codes = missing[start:stop].astype(np.int16)
            pad = (-codes.size) % per_bin
            blocks = np.pad(codes, (0, pad), constant_values=-1).reshape(-1, per_bin)
            counts = np.stack([(blocks == c).sum(axis=1) for c in range(1, 9)], axis=1)
            other = ((blocks > 8) | (blocks < -1)).sum(axis=1)
            cls = np.where(counts.max(axis=1) > 0, counts.argmax(axis=1) + 1, 0)
            cls = np.where((other > 0) & (counts.max(axis=1) < other), UNREADABLE, cls)
            if status is not None:
                bad = status[start:stop] != 0
                bad = np.pad(bad, (0, pad)).reshape(-1, per_bin).any(axis=1)
                cls = np.where(bad, BAD_STATUS, cls)
            first_bin = (start - run.first) // per_bin
            out[first_bin:first_bin + cls.size] = cls
        return out

    def draw(self, index, ax, data, run, fig):
        grid, per_bin = data
        if index == 1:
            ax.set_axis_off()
            handles = [Patch(facecolor=c, edgecolor="#808080", label=l)
                       for c, l in zip(PRESENCE_COLOURS, PRESENCE_LABELS)]
            ax.legend(handles=handles, loc="upper left", fontsize=8, title="cell was",
                      frameon=False)
            return {}
        cmap = ListedColormap(PRESENCE_COLOURS)
        ax.imshow(grid, aspect="auto", interpolation="nearest", cmap=cmap, vmin=-0.5,
                  vmax=len(PRESENCE_COLOURS) - 0.5,
                  extent=(0, grid.shape[1], grid.shape[0], 0))
        ax.set_yticks(np.arange(len(self.channels)) + 0.5)
        size = 9 if len(self.channels) <= 25 else 7
        ax.set_yticklabels([c.name for c in self.channels], fontsize=size)
        bins = grid.shape[1]
        pos = tick_positions(bins, 6)
        ax.set_xticks(pos + 0.5)
        ax.set_xticklabels([str(run.event_id(run.first + int(p) * per_bin)) for p in pos],
                           fontsize=8)
        ax.set_xlabel("event ID")
        part = f", part {self.part} of {self.parts}" if self.parts > 1 else ""
        note = (f" (decimated: bins of {per_bin} events, a bin shows its most frequent "
                f"missing code)") if per_bin > 1 else ""
        ax.set_title(f"data presence: {len(self.channels)} channels by {run.count} events"
                     f"{part}{note}", loc="left", fontsize=11)
        return {"channels": [c.name for c in self.channels], "bin": per_bin}


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
        stride = stride_for(run.count, MAX_POINTS)
        values = run.strided(ch.dataset("Value", run.last), stride).astype(np.float64)
        present = present_mask(ch, run, stride)
        values[~present] = np.nan
        return values, stride

    def draw(self, index, ax, data, run, fig):
        values, stride = data
        ok = np.isfinite(values)
        if not ok.any():
            raise CannotDraw("no values in the selected events")
        x = time_axis(ax, run, stride)
        ax.plot(x, values, "-", marker=".", markersize=3, linewidth=1, color="#2166ac")
        ax.set_ylabel(unit_label("value", self.channel.unit))
        ax.set_title(self.title(f"{int(ok.sum())} of {values.size} events with a value"
                                + stride_note(stride)), loc="left", fontsize=11)
        ax.grid(alpha=0.3)
        return {"stride": stride}


class PairsRow(ChannelRow):
    """Name-value pairs: one line per name."""
    panels = [("pairs", 1)]
    height = 250

    def compute(self, run):
        ch = self.channel
        pairs = ch.pair_datasets()
        if not pairs:
            raise CannotDraw("no pair datasets")
        stride = stride_for(run.count, MAX_POINTS)
        present = present_mask(ch, run, stride)
        lines = []
        for name, key in pairs[:MAX_PAIR_LINES]:
            values = run.strided(ch.dataset(key, run.last), stride).astype(np.float64)
            values[~present] = np.nan
            lines.append((name, values))
        return lines, len(pairs), stride

    def draw(self, index, ax, data, run, fig):
        lines, total, stride = data
        if not any(np.isfinite(v).any() for _, v in lines):
            raise CannotDraw("no values in the selected events")
        x = time_axis(ax, run, stride)
        for name, values in lines:
            ax.plot(x, values, "-", marker=".", markersize=3, linewidth=1, label=name)
        ax.legend(fontsize=8, loc="upper left", bbox_to_anchor=(1.0, 1.0), frameon=False)
        ax.set_ylabel(unit_label("value", self.channel.unit))
        left_out = f", {total - len(lines)} names not drawn" if total > len(lines) else ""
        ax.set_title(self.title(f"{total} names{left_out}" + stride_note(stride)),
                     loc="left", fontsize=11)
        ax.grid(alpha=0.3)
        return {"names": [n for n, _ in lines], "stride": stride}


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
        # Mean trace over every selected event, in chunks.
        total = np.zeros(width)
        count = np.zeros(width, np.int64)
        for offset, rows in run.chunks(ds):
            rows = self._masked(rows.astype(np.float64), run.first + offset, lengths_ds, missing)
            ok = np.isfinite(rows)
            total += np.where(ok, rows, 0).sum(axis=0)
            count += ok.sum(axis=0)
        # Waterfall: every stride-th event, every sample_stride-th sample.
        stride = stride_for(run.count, MAX_POINTS)
        sample_stride = stride_for(width, MAX_SAMPLES)
        rows = ds[run.first:run.last:stride, ::sample_stride].astype(np.float32)
        picked = np.arange(run.first, run.last, stride)
        lengths = lengths_ds[run.first:run.last:stride] if lengths_ds is not None else None
        codes = missing[run.first:run.last:stride] if missing is not None else None
        cols = np.arange(rows.shape[1]) * sample_stride
        if lengths is not None:
            rows[cols[None, :] >= lengths[:, None]] = np.nan
        if codes is not None:
            rows[codes != 0] = np.nan
        with np.errstate(invalid="ignore", divide="ignore"):
            mean = np.where(count > 0, total / np.maximum(count, 1), np.nan)
        return rows, picked.size, stride, sample_stride, mean, count

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
        rows, nrows, stride, sample_stride, mean, count = data
        unit = self.channel.unit
        if index == 0:
            finite = rows[np.isfinite(rows)]
            if finite.size == 0:
                raise CannotDraw("no values in the selected events")
            lo, hi = np.percentile(finite, [1, 99])
            if hi <= lo:
                lo, hi = lo - 0.5, hi + 0.5
            width = rows.shape[1] * sample_stride
            image = ax.imshow(np.ma.masked_invalid(rows), aspect="auto", interpolation="nearest",
                              cmap="viridis", vmin=lo, vmax=hi, extent=(0, width, nrows, 0))
            bar = fig.colorbar(image, ax=ax, fraction=0.04, pad=0.01)
            bar.set_label(unit_label("value", unit), fontsize=9)
            ax.set_xlabel("sample index")
            ax.set_ylabel("event ID")
            if stride == 1:
                event_ticks(ax, run, nrows, axis="y", count=5)
            else:
                pos = tick_positions(nrows, 5)
                ax.set_yticks(pos + 0.5)
                ax.set_yticklabels([str(run.event_id(run.first + int(p) * stride)) for p in pos],
                                   fontsize=8)
            note = stride_note(stride)
            if sample_stride > 1:
                note += f" (every {sample_stride}th sample)"
            ax.set_title(self.title(f"{self.member_note()}, waterfall{note}"), loc="left",
                         fontsize=11)
            return {"member": self.member, "stride": stride, "sample_stride": sample_stride}
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
        sizes = None
        if ch.has("Width") and ch.has("Height"):
            sizes = (ch.dataset("Width", run.last), ch.dataset("Height", run.last))
        # The most common frame size among present frames is the one averaged.
        shape = (height, width)
        if sizes is not None:
            tally = {}
            for offset, w in run.chunks(sizes[0]):
                h = sizes[1][run.first + offset:run.first + offset + w.size]
                ok = self._present(missing, run.first + offset, w.size)
                pairs = np.stack([h[ok], w[ok]], axis=1)
                for (hh, ww), n in zip(*np.unique(pairs, axis=0, return_counts=True)):
                    tally[(int(hh), int(ww))] = tally.get((int(hh), int(ww)), 0) + int(n)
            tally = {k: v for k, v in tally.items() if 0 < k[0] <= height and 0 < k[1] <= width}
            if tally:
                shape = max(tally, key=lambda k: (tally[k], k))
        stride = stride_for(run.count, MAX_POINTS)
        total = np.zeros(shape)
        frames = other_size = 0
        last = None
        sums = np.full(len(range(run.first, run.last, stride)), np.nan)
        row_bytes = pixels.dtype.itemsize * height * width
        for offset, block in run.chunks(pixels, row_bytes):
            start = run.first + offset
            ok = self._present(missing, start, block.shape[0])
            same = ok.copy()
            if sizes is not None:
                w = sizes[0][start:start + block.shape[0]]
                h = sizes[1][start:start + block.shape[0]]
                same &= (h == shape[0]) & (w == shape[1])
            other_size += int(ok.sum() - same.sum())
            if same.any():
                total += block[same][:, :shape[0], :shape[1]].sum(axis=0, dtype=np.float64)
                frames += int(same.sum())
            if ok.any():
                last = start + int(np.flatnonzero(ok)[-1])
            rel = np.arange(offset, offset + block.shape[0])
            take = (rel % stride == 0) & ok
            if take.any():
                sums[rel[take] // stride] = block[take].sum(axis=(1, 2), dtype=np.float64)
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
        return mean, frames, other_size, last, last_frame, sums, stride

    @staticmethod
    def _present(missing, start, rows):
        if missing is None:
            return np.ones(rows, bool)
        return missing[start:start + rows] == 0

    def draw(self, index, ax, data, run, fig):
        mean, frames, other_size, last, last_frame, sums, stride = data
        unit = self.channel.unit
        if index == 0:
            if mean is None:
                raise CannotDraw("no frame present in the selected events")
            image = ax.imshow(mean, cmap="gray", interpolation="nearest")
            fig.colorbar(image, ax=ax, fraction=0.046, pad=0.02).set_label(
                unit_label("mean", unit), fontsize=9)
            others = f"\n({other_size} of another size left out)" if other_size else ""
            ax.set_title(f"{self.channel.name} (image)\nmean of {frames} frames "
                         f"{mean.shape[1]}x{mean.shape[0]}{others}", loc="left", fontsize=10)
            ax.set_xlabel("x [pixel]")
            ax.set_ylabel("y [pixel]")
            return {"frames": frames, "shape": list(mean.shape), "other_size": other_size}
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
        if not np.isfinite(sums).any():
            raise CannotDraw("no frame present in the selected events")
        x = time_axis(ax, run, stride)
        ax.plot(x, sums, "-", marker=".", markersize=3, linewidth=1, color="#5e3c99")
        ax.set_ylabel(unit_label("summed intensity", unit))
        ax.set_title("summed intensity per event" + stride_note(stride), loc="left", fontsize=10)
        ax.grid(alpha=0.3)
        return {"stride": stride}


class StructuredRow(ChannelRow):
    """Whether the host's conversion of structured data succeeded, per event."""
    panels = [("conversion", 1)]
    height = 170

    def compute(self, run):
        ch = self.channel
        if not ch.has("Converted"):
            raise CannotDraw("no Converted dataset: only the plug-in's -h5 output records "
                             "the conversion (a converted table leaves these cells empty)")
        converted = ch.dataset("Converted", run.last)
        missing = ch.dataset("Missing", run.last) if ch.has("Missing") else None
        per_bin = stride_for(run.count, MAX_BINS)
        bins = -(-run.count // per_bin)
        # 0 converted, 1 not in the event, 2 conversion failed; a bin shows its worst.
        state = np.zeros(bins, np.uint8)
        good = failed = 0
        for offset, conv in run.chunks(converted):
            start = run.first + offset
            codes = missing[start:start + conv.size] if missing is not None else np.zeros(conv.size)
            cls = np.where(conv != 0, 0, np.where(codes == 8, 2, np.where(codes == 0, 2, 1)))
            good += int((cls == 0).sum())
            failed += int((cls == 2).sum())
            idx = np.arange(offset, offset + conv.size) // per_bin
            np.maximum.at(state, idx, cls.astype(np.uint8))
        return state, per_bin, good, failed

    def draw(self, index, ax, data, run, fig):
        state, per_bin, good, failed = data
        colours = ListedColormap(["#1a9850", "#e0e0e0", "#d73027"])
        ax.imshow(state[None, :], aspect="auto", interpolation="nearest", cmap=colours,
                  vmin=-0.5, vmax=2.5, extent=(0, state.size, 1, 0))
        ax.set_yticks([])
        pos = tick_positions(state.size, 6)
        ax.set_xticks(pos + 0.5)
        ax.set_xticklabels([str(run.event_id(run.first + int(p) * per_bin)) for p in pos],
                           fontsize=8)
        ax.set_xlabel("event ID")
        handles = [Patch(facecolor=c, label=l) for c, l in
                   zip(["#1a9850", "#e0e0e0", "#d73027"], ["converted", "not in the event",
                                                            "conversion failed"])]
        ax.legend(handles=handles, loc="upper left", bbox_to_anchor=(1.0, 1.0), fontsize=8,
                  frameon=False)
        note = f" (decimated: bins of {per_bin} events, a bin shows its worst)" if per_bin > 1 else ""
        ax.set_title(self.title(f"conversion: {good} converted, {failed} failed{note}"),
                     loc="left", fontsize=11)
        return {"converted": good, "failed": failed}


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
