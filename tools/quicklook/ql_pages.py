"""Packing rows into pages of fixed size and writing them as PNG files."""

import os

from matplotlib.backends.backend_agg import FigureCanvasAgg
from matplotlib.figure import Figure

from ql_runfile import CannotDraw

PAGE_W, PAGE_H, DPI = 1600, 1200, 100
TOP, BOTTOM = 20, 15
LEFT, RIGHT = 110, 170  # y labels on the left, legends on the right
GAP = 120               # between panels of one row: colour bar and the next y label
TITLE_SPACE, AXIS_SPACE = 30, 52


def page_names(out, pages):
    """out (a name ending in .png) and its further pages out-2.png, ..."""
    base = out[:-4] if out.lower().endswith(".png") else out
    return [out if p == 0 else f"{base}-{p + 1}.png" for p in range(pages)]


def paginate(rows, first_page_rows=()):
    """Lists of rows per page; a row never spans two pages."""
    pages, current, used = [], [], TOP
    for row in list(first_page_rows) + list(rows):
        if current and used + row.height > PAGE_H - BOTTOM:
            pages.append(current)
            current, used = [], TOP + 30  # later pages start with a one-line heading
        current.append(row)
        used += row.height
    if current:
        pages.append(current)
    return pages


def _rect(x0, y0, width, height):
    """Pixel box (top-left origin) as a figure fraction rectangle."""
    return [x0 / PAGE_W, 1 - (y0 + height) / PAGE_H, width / PAGE_W, height / PAGE_H]


def _panel_boxes(row, y):
    weights = [w for _, w in row.panels]
    gap = getattr(row, "gap", GAP)
    inner = PAGE_W - LEFT - RIGHT - gap * (len(weights) - 1)
    boxes, x = [], LEFT
    for w in weights:
        width = inner * w / sum(weights)
        title = getattr(row, "title_space", TITLE_SPACE)
        boxes.append((x, y + title, width, row.height - title - AXIS_SPACE))
        x += width + gap
    return boxes


def _cannot_draw(ax, row, reason):
    ax.set_axis_off()
    name = row.channel.name if row.channel is not None else ""
    kind = f" ({row.channel.kind})" if row.channel is not None else ""
    ax.text(0.5, 0.5, f"{name}{kind}: cannot draw: {reason}", ha="center", va="center",
            fontsize=11, wrap=True, transform=ax.transAxes,
            bbox=dict(boxstyle="round", facecolor="#fff3e0", edgecolor="#e08214"))


def _reason(err):
    if isinstance(err, CannotDraw):
        return str(err)
    msg = str(err).strip().splitlines()[0] if str(err).strip() else ""
    return f"read error: {type(err).__name__}" + (f": {msg[:120]}" if msg else "")


def draw_page(rows, run, page, pages, path, describe):
    fig = Figure(figsize=(PAGE_W / DPI, PAGE_H / DPI), dpi=DPI)
    FigureCanvasAgg(fig)
    y = TOP
    if page > 1:
        fig.text(LEFT / PAGE_W, 1 - (TOP + 14) / PAGE_H,
                 f"{run.path}: page {page} of {pages}", fontsize=11, fontweight="bold")
        y += 30
    for row in rows:
        channel = row.channel.name if row.channel is not None else None
        try:
            data = row.compute(run)
        except Exception as err:  # one channel's failure must not stop the others
            box = (LEFT, y + TITLE_SPACE // 2, PAGE_W - LEFT - RIGHT, row.height - TITLE_SPACE)
            _cannot_draw(fig.add_axes(_rect(*box)), row, _reason(err))
            describe.append({"page": page, "file": path, "channel": channel,
                             "kind": "cannot_draw", "panel": row.panels[0][0],
                             "reason": _reason(err)})
            y += row.height
            continue
        for index, ((kind, _), box) in enumerate(zip(row.panels, _panel_boxes(row, y))):
            ax = fig.add_axes(_rect(*box))
            entry = {"page": page, "file": path, "channel": channel, "kind": kind}
            try:
                entry.update(row.draw(index, ax, data, run, fig) or {})
            except Exception as err:
                ax.clear()
                _cannot_draw(ax, row, _reason(err))
                entry.update(kind="cannot_draw", panel=kind, reason=_reason(err))
            if kind != "presence_legend":
                describe.append(entry)
        y += row.height
    if path is None:  # described only
        return
    directory = os.path.dirname(path)
    if directory:
        os.makedirs(directory, exist_ok=True)
    fig.savefig(path, dpi=DPI, format="png")
