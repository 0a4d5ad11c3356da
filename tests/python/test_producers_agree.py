"""The plug-in's run file (-h5) and daq-table2h5's file of the same run's table agree, dataset by
dataset and attribute by attribute, on simulated and on hand-made random recordings, except for
the differences docs/hdf5-layout.md states (ALLOWED). A difference the page does not state is
named in OPEN and the cases that show it are expected to fail until the file or the page is
fixed; any other difference fails every case."""
import fnmatch
import json
import os
import random
import re
import subprocess

import h5py
import numpy as np
import pytest

# What the page says may differ between the two files, as the categories `differences` names
# them (fnmatch patterns). Scopes: "/" the root, "/run", else the channel's kind.
ALLOWED = {
    "only plugin: /run/EventType": "the table has no event type",
    "only plugin: /run/EventTypeName": "the table has no event type",
    "only plugin: */MacroPulse": "the table has no macro-pulse number",
    "only plugin: image/Width": "the table has no per-event frame size",
    "only plugin: image/Height": "the table has no per-event frame size",
    "only plugin: structured/Converted": "the table's cell is empty whether converted or not",
    "only plugin: /run@generation": "a converted table cannot tell the generation",
    "only plugin: /run@nbunch": "a table does not show the host's globals",
    "only plugin: /run@outmode": "a table does not show the host's globals",
    "only plugin: /run@codec": "the plug-in records its -h5z codec",
    "only plugin: *@cells_not_converted": "code 8, which the converter counts in cells_present",
    "only converter: /run@source_file": "the converted table",
    "only converter: /run@description_file": "the --xml description",
    "only converter: /run@rows_with_wrong_cell_count": "a property of a table",
    "only converter: *@values_invalid": "the Invalid, nan and inf of the text",
    "only converter: */*@text_format": "what text a float dataset was read from",
    "only converter: spectrum/Member<m>@truncated_to": "the table shows at most --nbunch values",
    "attr: /run@producer": "names the producer",
    "attr: /run@plugin_options": "the plug-in's own words; the converter's inferred from the table",
    "attr: /run@plugin_options_inferred": "0 from the plug-in, 1 inferred from a table",
    "attr: *@kind_source": "host from the plug-in, xml, option or inferred from the converter",
    "summary: *": "each file's cells_* count its own Missing codes (their differences are below)",
    "dtype: */* float32/float64": "float32 as the host delivered it, float64 from the text",
    "attr type: */*@_FillValue float32/float64": "the fill in the dataset's own float type",
    "attr type: spectrum/Member<m>@* float64/int64":
        "a spectrum parameter the XML writes without a decimal point is int64 in the converter's",
    "Missing: structured 8->0": "a failed conversion leaves the same empty cell",
    "Missing: image 6->2": "the table's [] of a camera without an image",
    "Missing: image 7->2": "the table's [] of an invalid image",
    "Missing: pairs 1->2": "the table's [] of a name-value cell without pairs",
    "Missing: image 0->5": "the converter keeps the description's frame size, others are code 5",
    "values: image/Pixels in 0->5 rows": "a frame of another size keeps the fill in the converter's",
    "shape: image/Pixel*": "the plug-in's frames grow to the largest seen",
    "shape: spectrum/Member<m> truncated": "the plug-in stores every value, the table --nbunch",
    "shape: spectrum/Member<m>Sample truncated": "the axis of a truncated member",
    "values: spectrum/Member<m>Length truncated": "values the table shows for a truncated member",
    "only plugin: pairs-nonvn/<pair>": "the plug-in stores the names with -nonvn too",
    "only converter: pairs-nonvn/<pair>": "a -nonvn table names pairs by position",
    "attr: pairs-nonvn@pair_*": "names by position in the converter's file",
    "values: pairs-nonvn/<pair>": "a -nonvn table names pairs by position",
    "attr: pairs-nonvn@signal": "the first pair's dataset, named by position in the converter's",
    # The cases a table cannot tell apart, or that only one producer knows:
    "Missing: spectrum 0->2": "a spectrum cell without members is the table's [], as not found",
    "kind: image/empty": "a column of [] alone is empty in the converter's file",
    "kind: pairs/empty": "a column of [] alone is empty in the converter's file",
    "kind: spectrum/empty": "a column of [] alone is empty in the converter's file",
    "Missing: image 7->4": "an empty camera cell: a colour frame to the converter",
    "Missing: image 7->5": "a frame of no pixels: size differs to the converter",
    "only converter: spectrum/Member<m>@*": "the XML's parameters of a member the host gave none",
    "attr: spectrum/Member<m>@*": "the XML zeroes earlier members' parameters when members grow",
    "attr: /run@default": "the first group made: by the plug-in at a channel's first cell",
    "only plugin: /run@default": "a group with values only in the plug-in's file (see kind: */empty)",
    "values: image/Pixels": "a frame of the same pixel count in another shape: the table shows "
                            "no shape",
    "kind: pairs/spectrum": "-fti -nonvn pairs read as a -fti spectrum: the text is the same",
    "attr: /run@status_columns": "the plug-in stores the status words with and without --outmode",
    "only plugin: */ChanStatus": "the plug-in stores the status words with and without --outmode",
    "only plugin: */SrvBlockStatus": "the plug-in stores the status words with and without "
                                     "--outmode",
    "only plugin: /run/EvHeadStatus": "the plug-in stores the status words with and without "
                                      "--outmode",
}

# Differences of single cases, by name: the categories that show each, too broad to allow for
# every case. A case that shows one is expected to fail, naming it; one the page does not state
# stays here until the file or the page is fixed.
OPEN = {
    # Stated: the text of a -fti spectrum that shows no integer is that of a float spectrum.
    "-fti spectrum stored as float64": ["attr: spectrum/Member<m>@_FillValue",
                                        "dtype: spectrum/Member<m> int32/float64",
                                        "fill: spectrum/Member<m>", "values: spectrum/Member<m>"],
}


# Differences the page does not state, by name: the categories that show each. A case that
# shows one is expected to fail, naming it, until the file or the page is fixed.
CODES = {0: "cells_present", 1: "cells_empty", 2: "cells_not_found", 3: "cells_cut_short",
         4: "cells_other_kind", 5: "cells_size_differs", 6: "cells_no_image", 7: "cells_no_image",
         8: "cells_not_converted"}
# HDF5's dimension-scale bookkeeping holds object references: compared through .dims instead.
REFERENCES = {"DIMENSION_LIST", "REFERENCE_LIST"}


def leaf(name, pairs):
    if name in pairs:
        return "<pair>"
    return re.sub(r"^Member\d+", "Member<m>", name)


def type_name(value):
    return np.asarray(value).dtype.name if not isinstance(value, str) else "str"


def same(a, b):
    a, b = np.asarray(a), np.asarray(b)
    if a.shape != b.shape:
        return False
    if a.dtype.kind in "fc" or b.dtype.kind in "fc":
        # Attributes of both producers hold the float the XML wrote back exactly: a float32.
        return np.array_equal(a.astype(np.float32), b.astype(np.float32), equal_nan=True)
    return bool(np.all(a == b))


def printed(p, fmt):
    """The plug-in's float32 values as the table prints them, read back."""
    flat = p.astype(np.float64).ravel()
    return np.array([float(fmt % v) if np.isfinite(v) else v for v in flat]).reshape(p.shape)


def summary_agrees(group, kind):
    missing = group["Missing"][:]
    counts = dict.fromkeys(CODES.values(), 0)
    for code, n in zip(*np.unique(missing, return_counts=True)):
        name = CODES[int(code)]
        if kind == "image" and code == 2:
            name = "cells_no_image"
        if name == "cells_not_converted" and "cells_not_converted" not in group.attrs:
            name = "cells_present"
        counts[name] += int(n)
    return all(int(group.attrs[k]) == v for k, v in counts.items() if k in group.attrs)


def differences(plugin, converter):
    """(category, where, detail) for everything that differs between the two files."""
    out = []
    nonvn = "-nonvn" in converter["run"].attrs.get("plugin_options", "")

    def attrs(scope, where, a, b, kind=None, group=None):
        for name in sorted(set(a.attrs) | set(b.attrs)):
            if name in REFERENCES:
                continue
            if name not in b.attrs:
                out.append((f"only plugin: {scope}@{name}", where, repr(a.attrs[name])))
            elif name not in a.attrs:
                out.append((f"only converter: {scope}@{name}", where, repr(b.attrs[name])))
            elif not same(a.attrs[name], b.attrs[name]):
                pv, cv = a.attrs[name], b.attrs[name]
                if name.startswith("cells_") and group is not None and \
                        summary_agrees(group[0], kind) and summary_agrees(group[1], kind):
                    out.append((f"summary: {scope}@{name}", where, f"{pv!r} / {cv!r}"))
                else:
                    out.append((f"attr: {scope}@{name}", where, f"{pv!r} / {cv!r}"))
            elif type_name(a.attrs[name]) != type_name(b.attrs[name]):
                out.append((f"attr type: {scope}@{name} "
                            f"{type_name(a.attrs[name])}/{type_name(b.attrs[name])}", where,
                            f"{a.attrs[name]!r} / {b.attrs[name]!r}"))

    def dataset(scope, name, a, b, where, truncated, rows=None):
        attrs(f"{scope}/{name}", where, a, b)
        if a.dtype != b.dtype:
            out.append((f"dtype: {scope}/{name} {a.dtype}/{b.dtype}", where, ""))
        if a.shape != b.shape:
            cut = truncated is not None and a.ndim >= 1 and b.shape[-1] == truncated
            out.append((f"shape: {scope}/{name}" + (" truncated" if cut else ""), where,
                        f"{a.shape} / {b.shape}"))
        for axis in range(min(a.ndim, b.ndim)):
            pa = [s.name.rsplit("/", 1)[-1] for s in a.dims[axis].values()]
            pb = [s.name.rsplit("/", 1)[-1] for s in b.dims[axis].values()]
            if pa != pb:
                out.append((f"dims: {scope}/{name}", where, f"axis {axis}: {pa} / {pb}"))
        if a.dtype.kind in "fiu" and b.dtype.kind in "fiu":
            fa, fb = a.fillvalue, b.fillvalue
            if not same(fa, fb):
                out.append((f"fill: {scope}/{name}", where, f"{fa!r} / {fb!r}"))
        if a.ndim != b.ndim:
            return
        common = tuple(slice(0, min(x, y)) for x, y in zip(a.shape, b.shape))
        pv, cv = a[common], b[common]
        if a.dtype.kind == "O" or b.dtype.kind == "O":
            equal = a.asstr()[common].tolist() == b.asstr()[common].tolist() \
                if a.dtype.kind == "O" and b.dtype.kind == "O" else False
            if not equal:
                out.append((f"values: {scope}/{name}", where, "strings differ"))
            return
        fmt = b.attrs.get("text_format")
        if fmt is None and scope.startswith("pairs"):
            fmt = "%.2e"  # the pairs' text; their datasets carry no text_format yet
        if a.dtype.kind == "f" and fmt and fmt != "%d":
            pv = printed(pv, fmt)
        pv, cv = np.asarray(pv, np.float64), np.asarray(cv, np.float64)
        bad = np.argwhere(~((pv == cv) | (np.isnan(pv) & np.isnan(cv))))
        if len(bad):
            first = tuple(bad[0])
            note = ""
            if truncated is not None and name.endswith("Length") and \
                    np.array_equal(np.minimum(a[:], truncated), b[:]):
                note = " truncated"
            elif rows is not None and a.shape[0] == len(rows[0]):
                # Rows whose Missing codes differ, as the Missing entries name them.
                moves = {(int(rows[0][r]), int(rows[1][r])) for r in set(bad[:, 0].tolist())}
                if all(p != c for p, c in moves):
                    note = " in " + ",".join(f"{p}->{c}" for p, c in sorted(moves)) + " rows"
            out.append((f"values: {scope}/{name}{note}", where,
                        f"{len(bad)} differ, first at {first}: {pv[first]!r} / {cv[first]!r}"))

    attrs("/", "/", plugin, converter)
    attrs("/run", "/run", plugin["run"], converter["run"])
    pr, cr = plugin["run"], converter["run"]
    for name in sorted(set(pr) | set(cr)):
        where = f"/run/{name}"
        a, b = pr.get(name), cr.get(name)
        if isinstance(a or b, h5py.Dataset):
            if a is None or b is None:
                out.append((f"only {'plugin' if b is None else 'converter'}: /run/{name}",
                            where, ""))
            else:
                dataset("/run", name, a, b, where, None)
            continue
        if a is None or b is None:
            out.append((f"only {'plugin' if b is None else 'converter'}: /run/<channel>",
                        where, (a or b).attrs["kind"]))
            continue
        kind = a.attrs["kind"]
        pm, cm = a["Missing"][:], b["Missing"][:]
        for pc, cc in sorted(set(zip(pm.tolist(), cm.tolist()))):
            if pc != cc:
                rows = np.flatnonzero((pm == pc) & (cm == cc))
                out.append((f"Missing: {kind} {pc}->{cc}", where, f"rows {rows.tolist()}"))
        if kind != b.attrs["kind"]:
            # Groups of two kinds differ in every dataset: the kind says it all.
            out.append((f"kind: {kind}/{b.attrs['kind']}", where, ""))
            continue
        scope = kind + ("-nonvn" if kind == "pairs" and nonvn else "")
        pair_names = set(a.attrs.get("pair_datasets", [])) | set(b.attrs.get("pair_datasets", []))
        attrs(scope, where, a, b, kind, (a, b))
        for member in sorted(set(a) | set(b)):
            da, db = a.get(member), b.get(member)
            category = f"{scope}/{leaf(member, pair_names)}"
            if da is None or db is None:
                out.append((f"only {'plugin' if db is None else 'converter'}: {category}",
                            f"{where}/{member}", ""))
            elif member != "Missing":
                base = re.match(r"Member\d+", member)
                truncated = base and b.get(base.group(0), {}).attrs.get("truncated_to")
                dataset(scope, leaf(member, pair_names), da, db, f"{where}/{member}",
                        None if truncated is None else int(truncated), (pm, cm))
    return out


def unexplained(found):
    return [d for d in found if not any(fnmatch.fnmatchcase(d[0], p) for p in ALLOWED)]


class OpenDifference(AssertionError):
    """Only the open differences a case names, each of them: the expected failure."""


def check(found, known=()):
    shown, other = set(), []
    for d in unexplained(found):
        names = {n for n in known if any(fnmatch.fnmatchcase(d[0], p) for p in OPEN[n])}
        shown |= names
        if not names:
            other.append(d)
    assert not other, "differences the layout page does not allow:\n" + "\n".join(
        f"{c} at {w}: {v}" for c, w, v in other)
    assert shown == set(known), f"no longer shown, take off this case's list: {set(known) - shown}"
    if shown:
        raise OpenDifference("; ".join(sorted(shown)))


# --- recordings ------------------------------------------------------------------------------

def bits(value):
    return "0x%08x" % (value & 0xFFFFFFFF)


def random_value(rng):
    return rng.choice([round(rng.uniform(-2, 2), 4), rng.uniform(-1e5, 1e5),
                       rng.uniform(-1e-3, 1e-3), float(rng.randint(-300, 300))])


def frame_head(nx, ny, bpp, rng):
    return [nx, ny, nx, ny, 0, 0, bpp, 8 * bpp, 1, 1, bpp, bpp, rng.randint(0, 99), 7,
            rng.choice([0.0125, 0.5, 1.0]), 0.25, 0.0, 0, 0, 0, 0, 0, 0, 0, nx * ny * bpp]


def random_recording(seed):
    """A small recording that mixes every kind of cell and every way a read goes wrong."""
    rng = random.Random(seed)
    generation = rng.choice([2010, 2024])
    kinds = ["mark", "single", "pairs", "spectrum", "camera", "structured"]
    kinds += rng.sample(kinds, 3) + ["ghost"]
    nonvn = rng.random() < 0.3
    channels, descriptions, fti = [], [], []
    for i, kind in enumerate(kinds):
        name = f"{kind.upper()}.{i}"
        entry = {"name": name}
        if kind == "spectrum" and rng.random() < 0.5:
            entry["sub"] = rng.randint(0, 3)
        channels.append(entry)
        selector = name + (f":{entry['sub']}" if "sub" in entry else "")
        if kind in ("single", "pairs", "spectrum") and rng.random() < 0.3 and \
                not (nonvn and kind == "pairs"):
            fti.append(name)
        if rng.random() < 0.7:
            descriptions.append({"daq_name": name, "unit": rng.choice(["mm", "nC", "V"]),
                                 "calib": rng.choice([1, 1.5, "2"])})
        entry["_kind"], entry["_selector"] = kind, selector
        entry["_bpp"] = rng.choice([1, 1, 2])
    events, first = [], rng.randint(1, 10**6)
    for e in range(rng.randint(3, 8)):
        mp = first + e
        event = {"id": first + e, "type": rng.randint(0, 5), "sec": 1733632724 + e,
                 "usec": rng.randint(0, 999999), "status": rng.choice([0, 0, 1]), "channels": {}}
        if rng.random() < 0.3:
            event["fast_block"] = {"sec": 1733632724 + e, "usec": 5, "mpulse": mp}
        for entry in channels:
            kind, selector = entry["_kind"], entry["_selector"]
            if kind == "ghost" or rng.random() < 0.12:
                continue  # not in the event
            cell = {"block": {"mpulse": mp, "status": rng.choice([0, 0, 0, 3])}}
            if rng.random() < 0.1:
                cell["header"] = {"status": rng.randint(1, 9)}  # a bad channel
            if rng.random() < 0.03:
                cell["block"]["fails"] = True
            as_int = entry["name"] in fti
            value = (lambda: bits(rng.randint(0, 10**6))) if as_int else \
                (lambda: random_value(rng))
            if kind == "mark":
                cell["type"] = 1
            elif kind == "single":
                cell.update(type=2, single=value())
            elif kind == "pairs":
                names = ["x", "y", "charge", "Length", "a/b", "", "Missing", None]
                cell.update(type=2, pairs=[[rng.choice(names[:6] if rng.random() < 0.9 else
                                                       names), value()]
                                           for _ in range(rng.choice([0, 1, 2, 3, 4]))])
            elif kind == "spectrum":
                members = []
                for m in range(rng.choice([0, 1, 2, 2, 3])):
                    n = rng.choice([0, 1, 3, 5])
                    member = {"start": rng.choice([0, 1.5]), "inc": rng.choice([1, 0.25]),
                              "values": [value() for _ in range(n)]}
                    if n == 0:
                        member["ndata"] = 0
                    if rng.random() < 0.3:
                        member["stat"] = {"mask": 5, "val": {"0": random_value(rng), "2": 3}}
                    if rng.random() < 0.1:
                        member = {"fails": True}
                    members.append(member)
                cell.update(type=3, members=members)
            elif kind == "camera":
                cell["type"] = 4
                bpp = entry["_bpp"]
                nx, ny = (3, 2) if rng.random() < 0.85 else (2, 2)
                what = rng.random()
                if what < 0.12:
                    pass  # no image
                else:
                    if what < 0.2:
                        bpp = 3  # colour
                    data = bytes(rng.randint(1, 255) for _ in range(nx * ny * bpp)).hex()
                    cell["image"] = {"bpp": bpp, "nx": nx, "ny": ny, "data": data,
                                     "frame_head": frame_head(nx, ny, bpp, rng)}
                    if what > 0.92:
                        cell["image"]["size"] = nx * ny * bpp + 1  # invalid image
            elif kind == "structured":
                cell.update(type=5, convertible=rng.random() < 0.8)
            event["channels"][selector] = cell
        events.append(event)
    for entry in channels:
        del entry["_kind"], entry["_selector"], entry["_bpp"]
    recording = {"generation": generation, "channels": channels, "events": events}
    if descriptions:
        recording["descriptions"] = descriptions
    words = ["-fti", ";".join(fti)] if fti else []
    if nonvn:
        words.append("-nonvn")
    return recording, words


def run_both(tmp, recording, words=(), reader_options=("--outmode", "1")):
    if isinstance(recording, dict):
        (tmp / "r.run.json").write_text(json.dumps(recording))
        recording = "r.run.json"
    done = subprocess.run([os.environ["READER"], "--quiet", *reader_options, recording, "--",
                           "-hdf5", "-xdump", "-h5", "plugin.h5", *words], cwd=tmp,
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    assert done.returncode in (0, 3), done.stderr  # 3: some events failed, by design
    subprocess.run([os.environ["TABLE2H5"], "--xml", "user_descr.xml", "-o", "converter.h5",
                    "user_out.txt"], cwd=tmp, check=True, stdout=subprocess.DEVNULL)
    with h5py.File(tmp / "plugin.h5", "r") as p, h5py.File(tmp / "converter.h5", "r") as c:
        return differences(p, c)


def recording(events, channels=None, generation=2024, **more):
    """A hand-made recording: events as {selector: cell}, channels from their selectors."""
    if channels is None:
        channels = list(dict.fromkeys(sel for e in events for sel in e))
    entries = [{"name": c.split(":")[0], **({"sub": int(c.split(":")[1])} if ":" in c else {})}
               for c in channels]
    return {"generation": generation, "channels": entries, **more,
            "events": [{"id": 100 + i, "type": 1, "sec": 1733632724, "usec": i,
                        "channels": e} for i, e in enumerate(events)]}


def frame(nx, ny, bpp=1, pixel=7, **more):
    image = {"bpp": bpp, "nx": nx, "ny": ny, "data": bytes([pixel]).hex() * (nx * ny * bpp)}
    return {"type": 4, "image": {**image, **more}}


def spectrum(*members):
    return {"type": 3, "members": list(members)}


SINGLE = {"type": 2, "single": 1.5}

HEAD = [2, 2, 2, 2, 0, 0, 1, 8, 1, 1, 1, 1, 0, 0, 1.0, 0.5, 0, 0, 0, 0, 0, 0, 0, 0, 4]
COLOUR_HEAD = HEAD[:6] + [3, 24] + HEAD[8:10] + [3, 3] + HEAD[12:24] + [12]

# Small recordings of one cell family each: (name, recording, plug-in words, open differences).
MINIMAL = [
    ("spectrum cell without members", recording([{"S": spectrum({"values": [1, 2]})},
                                                 {"S": spectrum()}]), [],
     []),
    ("unnamed pair", recording([{"P": {"type": 2, "pairs": [["x", 1], [None, 2]]}}]), [],
     []),
    ("member that only failed", recording([{"S": spectrum({"values": [1, 2]}, {"fails": True})}]),
     [], []),
    ("frame header", recording([{"C": frame(2, 2, frame_head=HEAD)}]), [],
     []),
    ("channel first seen later", recording([{"B": SINGLE}, {"A": SINGLE, "B": SINGLE}], ["A", "B"]),
     [], []),
    ("column of two kinds", recording([{"M": {"type": 2, "pairs": [["x", 1]]}},
                                       {"M": spectrum({"values": [1]})},
                                       {"M": spectrum({"values": [2]})}]), [],
     []),
    ("camera turned", recording([{"C": frame(2, 3)}, {"C": frame(3, 2)}]), [],
     []),
    ("-fti spectrum of a NaN's bits", recording([{"S": spectrum({"values": [bits(-176)]})}]),
     ["-fti", "S"], ["-fti spectrum stored as float64"]),
    ("-fti spectrum first empty", recording([{"S": spectrum({"ndata": 0})},
                                             {"S": spectrum({"values": [bits(5)]})}]),
     ["-fti", "S"], []),
    ("-fti -nonvn pairs", recording([{"P": {"type": 2, "pairs": [["x", bits(5)], ["y", bits(7)]]}}]),
     ["-fti", "P", "-nonvn"], []),
    ("columns without values", recording([{"C": {"type": 4}, "P": {"type": 2, "pairs": []},
                                           "S": spectrum()}]), [],
     []),
    ("empty camera cells", recording([{"C": frame(2, 2)}, {"C": frame(0, 0, bpp=0)},
                                      {"C": frame(2, 2, data="")}]), [],
     []),
    ("camera of colour frames", recording([{"C": frame(2, 2, bpp=3, frame_head=COLOUR_HEAD)}]), [],
     []),
    # These agree: they guard what was fixed.
    ("-fti spectrum with statistics", recording([{"S": spectrum({"values": [bits(5), bits(7)],
                                                                 "stat": {"mask": 1,
                                                                          "val": {"0": 2.5}}})}]),
     ["-fti", "S"], []),
    ("status of a channel not in the event",
     recording([{"A": dict(SINGLE, block={"status": 3}, header={"status": 2})}, {}], ["A"]), [], []),
    ("member missing from a row", recording([{"S": spectrum({"values": [1, 2]}, {"values": [3]})},
                                             {}, {"S": spectrum({"values": [4]})}], ["S"]), [], []),
    ("camera of two depths", recording([{"C": frame(2, 2)}, {"C": frame(2, 2, bpp=2, pixel=3)}]),
     [], []),
]

# daq-simulate's runs: (id, its options, plug-in words, daq-reader options, open differences).
SIMULATED = [
    ("2024", ["--seed", "3", "--events", "10"], ["-fti", "VAC.GAUGE"], ["--outmode", "1"]),
    ("2010", ["--generation", "2010", "--seed", "2010", "--events", "10"], ["-fti", "VAC.GAUGE"],
     ["--outmode", "1"]),
    ("one-event", ["--seed", "7", "--events", "1"], [], ["--outmode", "1"]),
    ("cameras-long-traces", ["--seed", "11", "--events", "4", "--cameras", "3", "--samples", "150",
                             "--image", "8x6"], [], ["--outmode", "1"]),
    ("2010-short-traces-nonvn", ["--generation", "2010", "--seed", "5", "--events", "3",
                                 "--samples", "1", "--cameras", "0"], ["-nonvn"], []),
]
# The open differences each case shows (see OPEN); none once fixed or stated.
SIMULATED_OPEN = {}
RANDOM_OPEN = {seed: [] for seed in range(1, 9)}


def case(id, *values, known=()):
    known = [n for n in known if n in OPEN]  # the rest is fixed, or stated on the page
    marks = [pytest.mark.xfail(raises=OpenDifference, strict=True, reason="; ".join(known))] \
        if known else []
    return pytest.param(*values, list(known), id=id, marks=marks)


@pytest.mark.parametrize("options,words,reader_options,known", [
    case(c[0], *c[1:], known=SIMULATED_OPEN.get(c[0], ())) for c in SIMULATED])
def test_simulated_runs_agree(tmp_path, options, words, reader_options, known):
    subprocess.run([os.environ["SIMULATE"], *options, "--out", "s.run.json"], cwd=tmp_path,
                   check=True)
    check(run_both(tmp_path, "s.run.json", words, reader_options), known)


@pytest.mark.parametrize("seed,known", [case(f"seed{s}", s, known=k)
                                        for s, k in RANDOM_OPEN.items()])
def test_random_recordings_agree(tmp_path, seed, known):
    recording, words = random_recording(seed)
    check(run_both(tmp_path, recording, words), known)


@pytest.mark.parametrize("recording,words,known", [case(*c[:3], known=c[3]) for c in MINIMAL])
def test_cell_families_agree(tmp_path, recording, words, known):
    check(run_both(tmp_path, recording, words), known)


def test_the_comparison_sees_a_changed_value_and_code(tmp_path):
    """Guards the comparison itself: one value past the printed precision and one code."""
    subprocess.run([os.environ["SIMULATE"], "--events", "3", "--out", "s.run.json"], cwd=tmp_path,
                   check=True)
    run_both(tmp_path, "s.run.json")
    with h5py.File(tmp_path / "converter.h5", "r+") as f:
        f["run/TOROID.1/Value"][1] += 2e-6
        f["run/BPM.1/x"][0] += 0.02 * abs(f["run/BPM.1/x"][0])
        f["run/ADC.1/Missing"][2] = 1
    with h5py.File(tmp_path / "plugin.h5", "r") as p, \
            h5py.File(tmp_path / "converter.h5", "r") as c:
        seen = {category for category, _, _ in unexplained(differences(p, c))}
    assert {"values: scalar/Value", "values: pairs/<pair>", "Missing: spectrum 0->1"} <= seen
