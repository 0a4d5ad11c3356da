#!/usr/bin/python3
"""Writes the bundled campaign example into this folder.

    examples/campaign/make_example.py build/bin

Six simulated runs of both generations, one run archived as an HDF5-mode table with its XML
description, and one recording cut short. Each run is moved to its own slot of one beam time
(event IDs and times follow on from the run before), since the simulator starts every run of a
generation at the same event and second: IDs with `daq-simulate --first-event` where the tool
has it, else shifted here, with the times, so that no ID repeats in the campaign. The runs differ the way real ones do: one with a
second toroid, one without its 16-bit camera, spectra and frames of other widths.
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
START = 1733900400  # 2024-12-11T07:00:00Z, the first run's first second
SLOT_S = 600        # runs start ten minutes apart
SLOT_EVENTS = 1000  # and a thousand event IDs apart

# name, generation, seed, further daq-simulate options
RUNS = [
    ("beam-0101", 2010, 101, []),
    ("beam-0102", 2010, 102, ["--samples", "48"]),
    ("beam-0103", 2010, 103, ["--cameras", "1"]),
    ("beam-0201", 2024, 201, []),
    ("beam-0202", 2024, 202, ["--toroids", "2", "--samples", "80"]),
    ("beam-0203", 2024, 203, ["--image", "40x30"]),
]
ARCHIVED = ("archive-0001", 2010, 1, ["--cameras", "0", "--adcs", "0"])
BROKEN = ("broken-0301", 2024, 301, [])


def shift_block(block, dt_s, did):
    if isinstance(block, dict):
        if "sec" in block:
            block["sec"] += dt_s
        if "mpulse" in block:
            block["mpulse"] += did


def shift(doc, slot, ids=True):
    """Moves a recording to its slot: times by whole seconds, IDs (unless the simulator gave
    them) and macro pulses alike."""
    first = doc["events"][0]
    dt_s = START + slot * SLOT_S - first["sec"]
    did = slot * SLOT_EVENTS
    for event in doc["events"]:
        event["id"] += did if ids else 0
        event["sec"] += dt_s
        shift_block(event.get("fast_block"), dt_s, did)
        shift_block(event.get("image_block"), dt_s, did)
        for chan in event.get("channels", {}).values():
            shift_block(chan.get("block"), dt_s, did)
    return doc


FIRST_EVENT = {2010: 1200000, 2024: 5000000000}  # the simulator's own first IDs


def has_first_event(bindir):
    text = subprocess.run([os.path.join(bindir, "daq-simulate"), "--help"],
                          capture_output=True, text=True).stdout
    return "--first-event" in text


def simulate(bindir, generation, seed, options, slot):
    first = []
    if has_first_event(bindir):
        first = ["--first-event", str(FIRST_EVENT[generation] + slot * SLOT_EVENTS)]
    out = subprocess.run([os.path.join(bindir, "daq-simulate"), "--generation", str(generation),
                          "--seed", str(seed), "--image", "32x24", *first, *options],
                         check=True, capture_output=True, text=True).stdout
    # With --first-event the IDs (also those in the frame headers) are the tool's own.
    return shift(json.loads(out), slot, ids=not first)


def write(path, doc):
    with open(path, "w") as f:
        json.dump(doc, f, separators=(",", ":"))
        f.write("\n")


def main(bindir):
    bindir = os.path.abspath(bindir)
    # The archived run, the oldest: only its table and description are kept.
    name, generation, seed, options = ARCHIVED
    with tempfile.TemporaryDirectory() as tmp:
        rec = os.path.join(tmp, "r.run.json")
        write(rec, simulate(bindir, generation, seed, options, 0))
        # Default output names: a word's value that holds a '-' is not taken.
        subprocess.run([os.path.join(bindir, "daq-reader"), "--quiet", rec, "--", "-hdf5", "-xdump"],
                       check=True, cwd=tmp, stdout=subprocess.DEVNULL)
        shutil.copy(os.path.join(tmp, "user_out.txt"), os.path.join(HERE, name + ".txt"))
        shutil.copy(os.path.join(tmp, "user_descr.xml"), os.path.join(HERE, name + ".xml"))
    slot = 1
    for name, generation, seed, options in RUNS:
        write(os.path.join(HERE, name + ".run.json"), simulate(bindir, generation, seed, options, slot))
        slot += 1

    # Cut in the middle of an event: the reader refuses the file.
    name, generation, seed, options = BROKEN
    text = json.dumps(simulate(bindir, generation, seed, options, slot), separators=(",", ":"))
    with open(os.path.join(HERE, name + ".run.json"), "w") as f:
        f.write(text[: len(text) // 2])


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: make_example.py BINDIR")
    main(sys.argv[1])
