#!/usr/bin/python3
"""campaign_report: one static HTML page for a campaign index.

    campaign_report.py OUT/campaign.h5 -o OUT/campaign.html [--channels A,B]

The page needs no server, no network and no script: warnings (repeated event IDs, run files
changed since indexing), a table of the runs (start, status, producer and precision, events,
duration, channels, bad-channel and missing cells, failed events, file sizes, a thumbnail of each
run's picture and links to it and to the logs) and pictures of chosen channels against run order,
read through the index. Pictures, and `drawn.json` (what each picture shows, in numbers), go to a
folder beside the page (`campaign_files/`).
"""

import argparse
import datetime as dt
import html
import json
import os
import re
import shutil
import sys
import tempfile
import urllib.parse

import h5py
import numpy as np

import matplotlib  # isort: skip

matplotlib.use("Agg")  # no display: pictures go to files
import matplotlib.pyplot as plt  # noqa: E402

THUMB_WIDTH = 160
MAX_PLOTS = 4
MAX_TICKS = 30
SUMMARY = re.compile(r"daq-reader: (\d+) events, (\d+) failed")
DRAWN_KINDS = ("scalar", "scalar_int", "pairs")
# Per-event datasets of a channel group that are not its values.
NOT_VALUES = {"Missing", "ChanStatus", "SrvBlockStatus", "MacroPulse", "Length", "EventId",
              "Converted", "Width", "Height"}
# The page runs nothing and loads nothing but its own pictures.
CSP = ("default-src 'none'; img-src 'self'; style-src 'unsafe-inline'; base-uri 'none'; "
       "form-action 'none'")


def strings(ds):
    return [v.decode() if isinstance(v, bytes) else str(v) for v in ds[:]]


def size_text(n):
    for unit in ("B", "kB", "MB", "GB"):
        if n < 1000 or unit == "GB":
            return f"{n:.0f} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1000.0


def when(us, fmt="%Y-%m-%d %H:%M:%S"):
    return dt.datetime.fromtimestamp(us / 1e6, dt.timezone.utc).strftime(fmt)


def run_counts(path):
    """Channels, bad-channel cells and missing cells of one run file."""
    channels = bad = missing = 0
    wrong_rows = 0
    with h5py.File(path, "r") as f:
        run = f["run"]
        wrong_rows = int(run.attrs.get("rows_with_wrong_cell_count", 0))
        for name, obj in run.items():
            if not isinstance(obj, h5py.Group):
                continue
            channels += 1
            if "ChanStatus" in obj:
                bad += int(np.count_nonzero(obj["ChanStatus"][:]))
            if "Missing" in obj:
                missing += int(np.count_nonzero(obj["Missing"][:]))
    return channels, bad, missing, wrong_rows


def failed_events(folder, wrong_rows):
    """From the reader's own summary line; a converted table's rows of the wrong width."""
    try:
        with open(os.path.join(folder, "reader.log"), errors="replace") as f:
            for line in f:
                m = SUMMARY.search(line)
                if m:
                    return int(m.group(2))
    except OSError:
        pass
    return wrong_rows


def thumbnail(picture, target):
    from PIL import Image  # matplotlib's own dependency

    with Image.open(picture) as im:
        im.thumbnail((THUMB_WIDTH, THUMB_WIDTH * im.height // max(im.width, 1)))
        im.save(target, optimize=True)


def pick_channels(c, wanted):
    """The channels to draw, as (column, group), and those named but not drawn, as
    (name, reason)."""
    groups = [(key, g) for key, g in c.items() if isinstance(g, h5py.Group) and key != "runs"]
    skipped = []
    if wanted:
        by_column = {}
        for key, g in groups:
            by_column.setdefault(str(g.attrs.get("column", key)), key)
            by_column.setdefault(key, key)
        picked = []
        for w in wanted:
            if w not in by_column:
                skipped.append((w, "no such channel in the campaign"))
                continue
            key = by_column[w]
            kind = str(c[key].attrs.get("kind", ""))
            if kind not in DRAWN_KINDS:
                skipped.append((w, f"a {kind or 'channel of unknown kind'} channel: only scalar "
                                   "and pair channels are drawn against runs (see each run's picture)"))
            else:
                picked.append((w, key))
        return picked, skipped
    picked = [(str(g.attrs.get("column", key)), key) for key, g in groups
              if g.attrs.get("kind") in DRAWN_KINDS and value_datasets(g)]
    return picked[:MAX_PLOTS], skipped


def value_datasets(g):
    """(label, dataset name) of a channel's values: `Value`, or each pair's dataset."""
    if g.attrs.get("kind") != "pairs":
        return [("Value", "Value")] if "Value" in g else []
    names = [str(n) for n in np.atleast_1d(g.attrs.get("pair_names", []))]
    datasets = [str(d) for d in np.atleast_1d(g.attrs.get("pair_datasets", []))]
    label = dict(zip(datasets, names))
    found = [(label.get(k, k), k) for k, d in g.items()
             if isinstance(d, h5py.Dataset) and d.ndim == 1 and k not in NOT_VALUES
             and not h5py.h5ds.is_scale(d.id)]
    order = {d: i for i, d in enumerate(datasets)}
    return sorted(found, key=lambda e: order.get(e[1], len(order)))


def spread(v):
    if len(v) == 0:
        return {"n": 0, "median": None, "q25": None, "q75": None}
    q25, med, q75 = np.percentile(v.astype(np.float64), [25, 50, 75])
    return {"n": int(len(v)), "median": float(med), "q25": float(q25), "q75": float(q75)}


def channel_stats(c, key, spans):
    """Per run of `spans` ((name, first row, rows)), the median and quartiles of the channel's
    good values (`Missing` 0 and `ChanStatus` 0), beam and pedestal events apart. Values are
    chosen by `Missing`, never by value, so a fill never counts; a pair absent from a cell
    reads as its fill (NaN, or -2147483648 for -fti) and is not a value either."""
    g = c[key]
    pedestal = None
    if "EventTypeName" in c:  # the plug-in's; a converted table's rows read as fill: beam
        names = c["EventTypeName"]
        pedestal = [np.array([v in (b"pedestal", "pedestal") for v in names[a:a + n]], bool)
                    if n else np.zeros(0, bool) for _, a, n in spans]
    good = []
    for _, a, n in spans:
        ok = g["Missing"][a:a + n] == 0 if "Missing" in g else np.ones(n, bool)
        if "ChanStatus" in g:
            ok &= g["ChanStatus"][a:a + n] == 0
        good.append(ok)
    series = []
    for label, name in value_datasets(g):
        ds = g[name]
        fill = ds.attrs.get("_FillValue")
        per_run = {"beam": [], "pedestal": []}
        for k, (run, a, n) in enumerate(spans):
            values = ds[a:a + n]
            ok = good[k].copy()
            if g.attrs.get("kind") == "pairs":
                ok &= ~np.isnan(values) if values.dtype.kind == "f" else values != fill
            ped = pedestal[k] if pedestal is not None else np.zeros(n, bool)
            for events, sel in (("beam", ok & ~ped), ("pedestal", ok & ped)):
                per_run[events].append(dict(run=run, **spread(values[sel])))
        for events, runs in per_run.items():
            if any(r["n"] for r in runs):
                series.append({"label": label, "dataset": name, "events": events, "runs": runs})
    return series


def plot_channel(column, g, series, runs, picture):
    """One picture: per run (in run order) the median and quartiles of each series."""
    fig, ax = plt.subplots(figsize=(10, 3.2), dpi=100)
    x = np.arange(len(runs))
    shown = 0
    for k, s in enumerate(series):
        med = np.array([r["median"] if r["n"] else np.nan for r in s["runs"]], dtype=float)
        lo = np.array([r["q25"] if r["n"] else np.nan for r in s["runs"]], dtype=float)
        hi = np.array([r["q75"] if r["n"] else np.nan for r in s["runs"]], dtype=float)
        label = s["events"] if s["label"] == "Value" else f"{s['label']} {s['events']}"
        ax.errorbar(x, med, yerr=[med - lo, hi - med], fmt="o-" if s["events"] == "beam" else "s--",
                    ms=4, capsize=2, lw=1, color=f"C{k % 10}", label=label)
        shown += sum(r["n"] for r in s["runs"])
    unit = str(g.attrs.get("unit", ""))
    ax.set_ylabel(f"{column} [{unit}]" if unit and unit != "none" else column)
    with_values = len({r["run"] for s in series for r in s["runs"] if r["n"]})
    ax.set_title(f"{column}: {shown} good values from {with_values} of {len(runs)} runs; "
                 "per run median and quartiles", fontsize=10)
    step = max(1, -(-len(runs) // MAX_TICKS))
    ax.set_xticks(x[::step])
    ax.set_xticklabels([f"{name}\n{when(start, '%Y-%m-%d %H:%M')}" if start else name
                        for name, start in runs[::step]], fontsize=7, rotation=30, ha="right")
    ax.set_xlim(-0.5, len(runs) - 0.5)
    ax.grid(alpha=0.3)
    if len(series) > 1:
        ax.legend(fontsize=7, loc="best")
    fig.tight_layout()
    fig.savefig(picture)
    plt.close(fig)


STYLE = """
body { font-family: sans-serif; margin: 1.5em; color: #222; }
table { border-collapse: collapse; font-size: 13px; }
th, td { border: 1px solid #ccc; padding: 3px 6px; text-align: right; vertical-align: middle; }
th { background: #eee; }
td.name, td.reason, td.text { text-align: left; }
td.name { white-space: nowrap; }
td.reason { max-width: 40em; overflow-wrap: anywhere; }
tr.failed, tr.incomplete, tr.changed { background: #fde4e4; }
span.ok { color: #171; font-weight: bold; }
span.failed, span.incomplete, span.changed { color: #b11; font-weight: bold; }
p.warning { background: #fff3cd; border: 1px solid #e0c060; padding: 0.5em; }
img.thumb { width: 160px; display: block; }
.plots img { max-width: 100%; display: block; margin-bottom: 0.5em; }
"""


def href(path, base):
    """A link to `path` relative to `base`: `./` first and every character percent-encoded
    that could make the name anything but a path (a scheme's `:`, `#`, `?`, ...)."""
    rel = os.path.relpath(path, base).replace(os.sep, "/")
    return html.escape("./" + urllib.parse.quote(rel, safe="/"), quote=True)


def publish_folder(new, final):
    """Puts the folder `new` in the place of `final`; the old one is removed only once it is
    out of the way, so a page never points into a folder another report is writing."""
    parent = os.path.dirname(final)
    for _ in range(10):
        old = None
        if os.path.lexists(final):
            old = tempfile.mkdtemp(prefix=os.path.basename(final) + ".old-", dir=parent)
            try:
                os.replace(final, os.path.join(old, "x"))
            except FileNotFoundError:
                pass
        try:
            os.rename(new, final)
        except OSError:  # another report put its folder there first: try again
            if old:
                shutil.rmtree(old, ignore_errors=True)
            continue
        if old:
            shutil.rmtree(old, ignore_errors=True)
        return
    raise OSError(f"{final}: cannot put the report's folder in place")


def build(index, out_html, files_dir, channels=()):
    out_dir = os.path.dirname(os.path.abspath(out_html))
    files_dir = os.path.abspath(files_dir)
    os.makedirs(os.path.dirname(files_dir), exist_ok=True)
    work = tempfile.mkdtemp(prefix=os.path.basename(files_dir) + ".new-", dir=os.path.dirname(files_dir))
    try:
        page = write_files(index, out_dir, files_dir, work, channels)
        fd, tmp = tempfile.mkstemp(prefix=os.path.basename(out_html) + ".tmp-", dir=out_dir)
        try:
            with os.fdopen(fd, "w", encoding="utf-8") as f:
                f.write(page)
            os.chmod(tmp, 0o644)
            os.chmod(work, 0o755)
            publish_folder(work, files_dir)
            os.replace(tmp, out_html)
        except BaseException:
            if os.path.exists(tmp):
                os.unlink(tmp)
            raise
    finally:
        if os.path.isdir(work):
            shutil.rmtree(work, ignore_errors=True)


def write_files(index, out_dir, files_dir, work, channels):
    """Draws the pictures into `work` (to become `files_dir`); returns the page."""
    os.makedirs(os.path.join(work, "thumbs"))
    rows = []
    drawn = {"channels": [], "not_drawn": []}
    with h5py.File(index, "r") as f:
        c = f["campaign"]
        r = c["runs"]
        names, files, status = strings(r["name"]), strings(r["file"]), strings(r["status"])
        reasons = strings(r["reason"])

        def column(key, default):
            if key not in r:
                return [default] * len(names)
            return strings(r[key]) if r[key].dtype.kind == "O" else r[key][:].tolist()

        inputs, producers = column("input", ""), column("producer", "")
        formats, sizes = column("text_format", ""), column("file_size", None)
        overlaps = column("overlaps", 0)
        events, start, end = r["events"][:], r["start"][:], r["end"][:]
        first_row = r["first_row"][:]
        idx_dir = os.path.dirname(os.path.abspath(index))
        duplicates = int(c.attrs.get("duplicate_event_ids", 0))
        total_events = int(c.attrs.get("events", 0))

        # A run file that is not the one indexed (by size) is not read through the index: its
        # mappings no longer fit it. The other runs are read run by run, so they still read.
        for k in range(len(names)):
            if status[k] == "ok" and sizes[k] is not None:
                path = os.path.join(idx_dir, files[k])
                now = os.path.getsize(path) if os.path.exists(path) else None
                if now != sizes[k]:
                    status[k] = "changed"
                    reasons[k] = (f"run file changed since indexing: {sizes[k]} bytes then, "
                                  + (f"{now} now" if now is not None else "gone now"))
        readable = [k for k in range(len(names)) if status[k] == "ok"]
        spans = [(names[k], int(first_row[k]), int(events[k])) for k in readable]
        order = [(names[k], int(start[k]) if events[k] else 0) for k in readable]

        picked, skipped = pick_channels(c, list(channels))
        drawn["not_drawn"] += [{"channel": n, "reason": why} for n, why in skipped]
        for column_name, key in picked:
            series = channel_stats(c, key, spans)
            if not series:
                drawn["not_drawn"].append({"channel": column_name,
                                           "reason": "no good values (Missing 0, ChanStatus 0) in any run"})
                continue
            picture = f"channel-{len(drawn['channels']) + 1}.png"
            plot_channel(column_name, c[key], series, order, os.path.join(work, picture))
            drawn["channels"].append({"column": column_name, "group": key,
                                      "kind": str(c[key].attrs.get("kind", "")),
                                      "picture": picture, "series": series})

        for k, name in enumerate(names):
            folder = os.path.join(idx_dir, os.path.dirname(files[k]) if files[k] else name)
            row = {"name": name, "status": status[k], "folder": folder, "reason": reasons[k],
                   "producer": producers[k], "format": formats[k], "overlaps": overlaps[k]}
            row["input_size"] = os.path.getsize(inputs[k]) if inputs[k] and os.path.exists(inputs[k]) else None
            row["logs"] = sorted(n for n in os.listdir(folder) if n.endswith(".log")) \
                if os.path.isdir(folder) else []
            if events[k]:
                row["start"] = int(start[k])
            if status[k] == "ok":
                path = os.path.join(idx_dir, files[k])
                ch, bad, missing, wrong = run_counts(path)
                row.update(events=int(events[k]), duration=(int(end[k]) - int(start[k])) / 1e6,
                           channels=ch, bad=bad, missing=missing,
                           failed_events=failed_events(folder, wrong), h5_size=os.path.getsize(path))
                table = os.path.join(folder, "user_out.txt")
                row["table_size"] = os.path.getsize(table) if os.path.exists(table) else None
                picture = os.path.join(folder, "run.png")
                if os.path.exists(picture):
                    # Named by row: a run's name is data, never part of a path made here.
                    thumb = os.path.join("thumbs", f"{k}.png")
                    thumbnail(picture, os.path.join(work, thumb))
                    row["picture"], row["thumb"] = picture, os.path.join(files_dir, thumb)
            rows.append(row)

    with open(os.path.join(work, "drawn.json"), "w") as f:
        json.dump(drawn, f, indent=1)
    return page_text(out_dir, index, files_dir, rows, drawn, duplicates, total_events)


def page_text(out_dir, index, files_dir, rows, drawn, duplicates, total_events):
    esc = html.escape
    counts = {s: sum(r["status"] == s for r in rows) for s in ("ok", "failed", "incomplete", "changed")}
    span = [r["start"] for r in rows if "start" in r]
    head = (f"{len(rows)} runs: {counts['ok']} complete, {counts['failed']} failed, "
            f"{counts['incomplete']} incomplete, {counts['changed']} changed since indexing; "
            f"{total_events} events")
    if span:
        head += f"; runs from {when(min(span))} to {when(max(span))} UTC"
    title = os.path.basename(out_dir) or out_dir
    out = ["<!DOCTYPE html>", '<html lang="en"><head><meta charset="utf-8">',
           f'<meta http-equiv="Content-Security-Policy" content="{esc(CSP)}">',
           '<meta name="referrer" content="no-referrer">',
           f"<title>Campaign {esc(title)}</title>",
           f"<style>{STYLE}</style></head><body>",
           f"<h1>Campaign <code>{esc(title)}</code></h1>"]
    warnings = []
    if duplicates or any(r["overlaps"] for r in rows):
        runs = [r["name"] for r in rows if r["overlaps"]]
        warnings.append(f"Repeated event IDs: {duplicates} events have an ID that occurs in more "
                        f"than one place, in {len(runs)} runs ({', '.join(runs[:20])}"
                        f"{', …' if len(runs) > 20 else ''}); see the column 'repeated IDs'.")
    changed = [r["name"] for r in rows if r["status"] == "changed"]
    if changed:
        warnings.append("Run files changed since the index was made, left out here until the "
                        f"index is made again (run the workflow again): {', '.join(changed)}.")
    for w in warnings:
        out.append(f'<p class="warning">{esc(w)}</p>')
    out.append(f"<p>{esc(head)}. Index: <a href=\"{href(index, out_dir)}\">"
               f"{esc(os.path.basename(index))}</a>; what the pictures show, in numbers: "
               f"<a href=\"{href(os.path.join(files_dir, 'drawn.json'), out_dir)}\">drawn.json</a>.</p>")
    if drawn["channels"]:
        out.append('<h2>Channels against runs</h2><p>Per run, in the order of the table below, '
                   "the median of the channel's good values (Missing 0, ChanStatus 0) with their "
                   "quartiles; beam and pedestal events apart.</p><div class=\"plots\">")
        for ch in drawn["channels"]:
            out.append(f'<img src="{href(os.path.join(files_dir, ch["picture"]), out_dir)}" '
                       f'alt="{esc(ch["column"])} against runs">')
        out.append("</div>")
    if drawn["not_drawn"]:
        out.append("<p>Not drawn:</p><ul>")
        out += [f"<li><code>{esc(n['channel'])}</code>: {esc(n['reason'])}</li>"
                for n in drawn["not_drawn"]]
        out.append("</ul>")
    out.append("<h2>Runs</h2><table><tr><th>run</th><th>start (UTC)</th><th>status</th>"
               "<th>producer</th><th>precision</th><th>events</th><th>repeated IDs</th>"
               "<th>duration [s]</th><th>channels</th><th>bad-channel cells</th>"
               "<th>missing cells</th><th>failed events</th><th>input</th><th>table</th>"
               "<th>run.h5</th><th>picture</th><th>logs</th></tr>")

    def cell(value, fmt=str, cls=""):
        attr = f' class="{cls}"' if cls else ""
        return f"<td{attr}>–</td>" if value is None else f"<td{attr}>{esc(fmt(value))}</td>"

    for row in rows:
        bad = row["status"] != "ok"
        precision = row["format"] or ("float32 as delivered" if row["producer"].startswith("libDAQUser")
                                      else None)
        out.append(f'<tr class="{esc(row["status"])}">')
        out.append(f'<td class="name">{esc(row["name"])}</td>')
        out.append(cell(row.get("start"), when))
        out.append(f'<td><span class="{esc(row["status"])}">{esc(row["status"])}</span></td>')
        out += [cell(row["producer"] or None, cls="text"), cell(precision, cls="text")]
        if bad:
            reason = row["reason"] if len(row["reason"]) <= 300 else row["reason"][:300] + " …"
            out.append(f'<td class="reason" colspan="7">{esc(reason)}</td>')
        else:
            out += [cell(row["events"]), cell(row["overlaps"]),
                    cell(row["duration"], lambda v: f"{v:.1f}"), cell(row["channels"]),
                    cell(row["bad"]), cell(row["missing"]), cell(row["failed_events"])]
        out += [cell(row["input_size"], size_text), cell(row.get("table_size"), size_text),
                cell(row.get("h5_size"), size_text)]
        if "thumb" in row:
            out.append(f'<td><a href="{href(row["picture"], out_dir)}"><img class="thumb" '
                       f'src="{href(row["thumb"], out_dir)}" alt="{esc(row["name"])}"></a></td>')
        else:
            out.append("<td>–</td>")
        logs = " ".join(f'<a href="{href(os.path.join(row["folder"], n), out_dir)}">{esc(n)}</a>'
                        for n in row["logs"])
        out.append(f"<td>{logs or '–'}</td></tr>")
    out.append("</table></body></html>")
    return "\n".join(out) + "\n"


def main(argv=None):
    parser = argparse.ArgumentParser(prog="campaign_report", description=__doc__.split("\n")[0])
    parser.add_argument("index", metavar="CAMPAIGN.h5")
    parser.add_argument("-o", "--output", required=True, metavar="CAMPAIGN.html")
    parser.add_argument("--files", metavar="DIR", help="pictures (default: NAME_files beside the page)")
    parser.add_argument("--channels", default="", help="comma-separated columns to draw against runs")
    args = parser.parse_args(argv)
    files = args.files or os.path.splitext(args.output)[0] + "_files"
    build(args.index, args.output, files, [c for c in args.channels.split(",") if c])
    return 0


if __name__ == "__main__":
    sys.exit(main())
