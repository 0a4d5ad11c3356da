#!/usr/bin/python3
"""campaign_report: one static HTML page for a campaign index.

    campaign_report.py OUT/campaign.h5 -o OUT/campaign.html [--channels A,B]

The page needs no server and no network: a table of the runs (events, duration, channels,
bad-channel and missing cells, failed events, file sizes, status, a thumbnail of each run's
picture and links to it and to the logs) and plots of chosen channels against time over all
runs, read through the index. Pictures go to a folder beside the page (`campaign_files/`).
"""

import argparse
import datetime as dt
import html
import os
import re
import shutil
import sys

import h5py
import numpy as np

import matplotlib  # isort: skip

matplotlib.use("Agg")  # no display: pictures go to files
import matplotlib.pyplot as plt  # noqa: E402

THUMB_WIDTH = 160
MAX_PLOTS = 4
SUMMARY = re.compile(r"daq-reader: (\d+) events, (\d+) failed")


def strings(ds):
    return [v.decode() if isinstance(v, bytes) else str(v) for v in ds[:]]


def size_text(n):
    for unit in ("B", "kB", "MB", "GB"):
        if n < 1000 or unit == "GB":
            return f"{n:.0f} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1000.0


def when(us):
    return dt.datetime.fromtimestamp(us / 1e6, dt.timezone.utc).strftime("%Y-%m-%d %H:%M:%S")


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
    if wanted:
        by_column = {}
        for key, g in c.items():
            if isinstance(g, h5py.Group) and key != "runs":
                by_column[str(g.attrs.get("column", key))] = key
                by_column.setdefault(key, key)
        return [(w, by_column[w]) for w in wanted if w in by_column]
    picked = []
    for key, g in c.items():
        if (isinstance(g, h5py.Group) and key != "runs" and g.attrs.get("kind") == "scalar"
                and "Value" in g):
            picked.append((str(g.attrs.get("column", key)), key))
        if len(picked) == MAX_PLOTS:
            break
    return picked


def plot_channels(c, channels, files_dir, runs_ok):
    """One picture per channel against time, runs in alternating colours; returns the names."""
    made = []
    if "Time" not in c or not channels:
        return made
    time = c["Time"][:].astype("datetime64[us]")
    run_of = c["Run"][:]
    span = (time.min(), time.max()) if len(time) else None
    for k, (column, key) in enumerate(channels):
        g = c[key]
        data = g["Value"][:] if "Value" in g else None
        if data is None or data.ndim != 1:
            continue
        fig, ax = plt.subplots(figsize=(10, 2.6), dpi=100)
        for i, row in enumerate(sorted(set(run_of.tolist()))):
            sel = run_of == row
            ax.plot(time[sel], data[sel], ".", ms=3, color=("C0", "C1")[i % 2])
        unit = str(g.attrs.get("unit", ""))
        ax.set_ylabel(f"{column} [{unit}]" if unit and unit != "none" else column)
        present = ~np.isnan(data.astype(float))
        ax.set_title(f"{column}: {np.count_nonzero(present)} values "
                     f"from {len(set(run_of[present].tolist()))} of {runs_ok} runs", fontsize=10)
        if span is not None and span[1] > span[0]:
            pad = (span[1] - span[0]) / 50
            ax.set_xlim(span[0] - pad, span[1] + pad)  # one time axis for every picture
        ax.grid(alpha=0.3)
        fig.autofmt_xdate()
        fig.tight_layout()
        name = f"channel-{k + 1}.png"
        fig.savefig(os.path.join(files_dir, name))
        plt.close(fig)
        made.append((column, name))
    return made


STYLE = """
body { font-family: sans-serif; margin: 1.5em; color: #222; }
table { border-collapse: collapse; font-size: 13px; }
th, td { border: 1px solid #ccc; padding: 3px 6px; text-align: right; vertical-align: middle; }
th { background: #eee; }
td.name, td.reason { text-align: left; }
td.name { white-space: nowrap; }
td.reason { max-width: 40em; overflow-wrap: anywhere; }
tr.failed { background: #fde4e4; }
span.ok { color: #171; font-weight: bold; }
span.failed { color: #b11; font-weight: bold; }
img.thumb { width: 160px; display: block; }
.plots img { max-width: 100%; display: block; margin-bottom: 0.5em; }
"""


def build(index, out_html, files_dir, channels=()):
    out_dir = os.path.dirname(os.path.abspath(out_html))
    files_dir = os.path.abspath(files_dir)
    shutil.rmtree(files_dir, ignore_errors=True)
    os.makedirs(os.path.join(files_dir, "thumbs"))
    files_rel = os.path.relpath(files_dir, out_dir)

    def link(path):
        return html.escape(os.path.relpath(path, out_dir).replace(os.sep, "/"), quote=True)

    rows = []
    with h5py.File(index, "r") as f:
        c = f["campaign"]
        r = c["runs"]
        names, files, status = strings(r["name"]), strings(r["file"]), strings(r["status"])
        reasons = strings(r["reason"])
        inputs = strings(r["input"]) if "input" in r else [""] * len(names)
        events, start, end = r["events"][:], r["start"][:], r["end"][:]
        idx_dir = os.path.dirname(os.path.abspath(index))
        ok_count = status.count("ok")
        plots = plot_channels(c, pick_channels(c, list(channels)), files_dir, ok_count)
        total_events = int(c.attrs.get("events", 0))

        for k, name in enumerate(names):
            folder = os.path.join(idx_dir, os.path.dirname(files[k]) if files[k] else name)
            row = {"name": name, "status": status[k], "folder": folder, "reason": reasons[k]}
            row["input_size"] = os.path.getsize(inputs[k]) if inputs[k] and os.path.exists(inputs[k]) else None
            row["logs"] = sorted(n for n in os.listdir(folder) if n.endswith(".log")) \
                if os.path.isdir(folder) else []
            if status[k] == "ok":
                path = os.path.join(idx_dir, files[k])
                ch, bad, missing, wrong = run_counts(path)
                row.update(events=int(events[k]), duration=(int(end[k]) - int(start[k])) / 1e6,
                           start=int(start[k]), channels=ch, bad=bad, missing=missing,
                           failed_events=failed_events(folder, wrong), h5_size=os.path.getsize(path))
                table = os.path.join(folder, "user_out.txt")
                row["table_size"] = os.path.getsize(table) if os.path.exists(table) else None
                picture = os.path.join(folder, "run.png")
                if os.path.exists(picture):
                    thumb = os.path.join(files_dir, "thumbs", name + ".png")
                    thumbnail(picture, thumb)
                    row["picture"], row["thumb"] = picture, thumb
            rows.append(row)

    span = [r["start"] for r in rows if "start" in r]
    head = (f"{len(rows)} runs, {ok_count} complete, {len(rows) - ok_count} failed; "
            f"{total_events} events")
    if span:
        head += f"; first run started {when(min(span))} UTC"
    out = ["<!DOCTYPE html>", '<html lang="en"><head><meta charset="utf-8">',
           f"<title>Campaign {html.escape(os.path.basename(out_dir))}</title>",
           f"<style>{STYLE}</style></head><body>",
           f"<h1>Campaign <code>{html.escape(os.path.basename(out_dir) or out_dir)}</code></h1>",
           f"<p>{html.escape(head)}. Index: <a href=\"{link(index)}\">{html.escape(os.path.basename(index))}</a>.</p>"]
    if plots:
        out.append('<h2>Channels against time</h2><div class="plots">')
        for column, name in plots:
            out.append(f'<img src="{html.escape(files_rel)}/{name}" alt="{html.escape(column)} against time">')
        out.append("</div>")
    out.append("<h2>Runs</h2><table><tr><th>run</th><th>status</th><th>events</th>"
               "<th>duration [s]</th><th>channels</th><th>bad-channel cells</th>"
               "<th>missing cells</th><th>failed events</th><th>input</th><th>table</th>"
               "<th>run.h5</th><th>picture</th><th>logs</th></tr>")

    def cell(value, fmt=str):
        return "<td>–</td>" if value is None else f"<td>{html.escape(fmt(value))}</td>"

    for row in rows:
        failed = row["status"] != "ok"
        out.append(f'<tr class="{"failed" if failed else "ok"}" id="run-{html.escape(row["name"])}">')
        out.append(f'<td class="name">{html.escape(row["name"])}</td>')
        out.append(f'<td><span class="{html.escape(row["status"])}">{html.escape(row["status"])}</span></td>')
        if failed:
            reason = row["reason"] if len(row["reason"]) <= 300 else row["reason"][:300] + " …"
            out.append(f'<td class="reason" colspan="6">{html.escape(reason)}</td>')
        else:
            out += [cell(row["events"]), cell(row["duration"], lambda v: f"{v:.1f}"),
                    cell(row["channels"]), cell(row["bad"]), cell(row["missing"]),
                    cell(row["failed_events"])]
        out += [cell(row["input_size"], size_text), cell(row.get("table_size"), size_text),
                cell(row.get("h5_size"), size_text)]
        if "thumb" in row:
            out.append(f'<td><a href="{link(row["picture"])}"><img class="thumb" '
                       f'src="{link(row["thumb"])}" alt="{html.escape(row["name"])}"></a></td>')
        else:
            out.append("<td>–</td>")
        logs = " ".join(f'<a href="{link(os.path.join(row["folder"], n))}">{html.escape(n)}</a>'
                        for n in row["logs"])
        out.append(f"<td>{logs or '–'}</td></tr>")
    out.append("</table></body></html>")

    tmp = out_html + ".tmp"
    with open(tmp, "w") as f:
        f.write("\n".join(out) + "\n")
    os.replace(tmp, out_html)


def main(argv=None):
    parser = argparse.ArgumentParser(prog="campaign_report", description=__doc__.split("\n")[0])
    parser.add_argument("index", metavar="CAMPAIGN.h5")
    parser.add_argument("-o", "--output", required=True, metavar="CAMPAIGN.html")
    parser.add_argument("--files", metavar="DIR", help="pictures (default: NAME_files beside the page)")
    parser.add_argument("--channels", default="", help="comma-separated columns to draw against time")
    args = parser.parse_args(argv)
    files = args.files or os.path.splitext(args.output)[0] + "_files"
    build(args.index, args.output, files, [c for c in args.channels.split(",") if c])
    return 0


if __name__ == "__main__":
    sys.exit(main())
