#!/usr/bin/python3
"""daqrun against h5py's raw reads of the same datasets, side by side in one run.

    /usr/bin/python3 bench/daqrun_bench.py --bin build/bin [--work DIR] [--keep]

1. run.dataframe() of 20 scalar channels of a 3000-event run (made by daq-simulate and
   daq-reader) against h5py reading their datasets (target: at most 2x).
2. one scalar channel over a campaign index of 1000 runs (copies of one run the tools made, with
   new event IDs; indexed by workflow/scripts/campaign_index.py) against h5py's read of the
   virtual dataset (target: at most 1.5x).
3. the mean of 1000 frames of 2048x2048 (uint16) through daqrun's batches, in a child process:
   its peak RSS (target: under 600 MB).

Every timing is the median of several rounds, file opening included, daqrun and h5py taking
turns."""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import zlib

import h5py
import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(SOURCE, "python"))
import daqrun  # noqa: E402

INDEX = os.path.join(SOURCE, "workflow", "scripts", "campaign_index.py")


def tool(bin_dir, name, *args, cwd=None):
    subprocess.run([os.path.join(bin_dir, name), *args], cwd=cwd, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def run_file(bin_dir, folder, events, *options):
    os.makedirs(folder, exist_ok=True)
    tool(bin_dir, "daq-simulate", "--quiet", "--events", str(events), *options,
         "--out", "sim.run.json", cwd=folder)
    tool(bin_dir, "daq-reader", "--quiet", "sim.run.json", "--", "-h5", "run.h5", cwd=folder)
    return os.path.join(folder, "run.h5")


def side_by_side(a, b, rounds):
    """Medians of a() and b(), called in turn."""
    ta, tb = [], []
    for _ in range(rounds):
        for f, t in ((a, ta), (b, tb)):
            start = time.perf_counter()
            f()
            t.append(time.perf_counter() - start)
    return statistics.median(ta), statistics.median(tb)


def report(what, ours, raw, target):
    ratio = ours / raw
    verdict = "ok" if ratio <= target else "OVER"
    print(f"{what}: daqrun {ours * 1e3:.2f} ms, h5py {raw * 1e3:.2f} ms, "
          f"ratio {ratio:.2f} (target <= {target}) {verdict}")
    return ratio <= target


def bench_dataframe(bin_dir, work):
    path = run_file(bin_dir, os.path.join(work, "scalars"), 3000, "--toroids", "20", "--bpms",
                    "0", "--adcs", "0", "--cameras", "0")
    names = [f"TOROID.{i}" for i in range(1, 21)]

    def ours():
        with daqrun.open(path) as run:
            df = run.dataframe(names)
        assert df.shape == (3000, 20)

    def raw(keys):
        def read():
            with h5py.File(path, "r") as f:
                r = f["run"]
                ids = r["EventId"][:] if "Missing" in keys else None
                got = [r[f"{n}/{k}"][:] for n in names for k in keys]
            return ids, got
        return read

    same = side_by_side(ours, raw(("Value", "Missing")), 41)
    values = side_by_side(ours, raw(("Value",)), 41)
    ok = report("dataframe, 20 channels x 3000 events (h5py: EventId, Value, Missing)", *same, 2)
    report("dataframe, the same (h5py: Value alone, no mask)", *values, 2)
    return ok


def bench_campaign(bin_dir, work, runs):
    base = run_file(bin_dir, os.path.join(work, "campaign-base"), 5, "--cameras", "0")
    folders = []
    for i in range(runs):
        folder = os.path.join(work, "campaign", f"run-{i:04d}")
        os.makedirs(folder, exist_ok=True)
        shutil.copy(base, os.path.join(folder, "run.h5"))
        with h5py.File(os.path.join(folder, "run.h5"), "r+") as f:
            ids = f["run/EventId"]
            ids[...] = ids[...] + np.uint64(5 * i)
        folders.append(folder)
    index = os.path.join(work, "campaign", "campaign.h5")
    start = time.perf_counter()
    subprocess.run([sys.executable, INDEX, "-o", index, *folders], check=True,
                   stderr=subprocess.DEVNULL)
    print(f"campaign index of {runs} runs made in {time.perf_counter() - start:.1f} s")

    def ours():
        with daqrun.open(index) as run:
            s = run["TOROID.1"].series()
        assert len(s) == 5 * runs

    def raw():
        with h5py.File(index, "r") as f:
            v = f["campaign/TOROID.1/Value"][:]
        assert len(v) == 5 * runs

    return report(f"one scalar channel over {runs} runs (h5py: the virtual Value)",
                  *side_by_side(ours, raw, 7), 1.5)


FRAMES_CHILD = r"""
import resource, sys, time
sys.path.insert(0, sys.argv[1])
import daqrun
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
start = time.perf_counter()
with daqrun.open(sys.argv[2]) as run:
    cam = run["CAM.BIG"]
    mean = cam.mean()
    frames = 0
    for batch in cam.xarray(batch=8):
        frames += batch.sizes["EventId"]
hwm = [l.split()[1] for l in open("/proc/self/status") if l.startswith("VmHWM")][0]
print(frames, float(mean.mean()), base // 1024,
      resource.getrusage(resource.RUSAGE_SELF).ru_maxrss // 1024, int(hwm) // 1024,
      time.perf_counter() - start)
"""


def frames_file(path, events=1000, size=2048, every_missing=10):
    """A run file of one 16-bit camera, written with h5py in the layout: frames of a constant
    level with a noisy patch, gzip chunks of one frame made once and written directly."""
    rng = np.random.default_rng(1)
    variants = []
    for k in range(4):
        frame = np.full((size, size), 100 + k, np.uint16)
        frame[:64, :64] = rng.integers(0, 4096, (64, 64))
        variants.append(zlib.compress(frame.tobytes(), 1))
    missing = np.where(np.arange(events) % every_missing == every_missing - 1, 2, 0).astype(np.uint8)
    with h5py.File(path, "w", libver=("v110", "v110")) as f:
        run = f.create_group("run", track_order=True)
        run.attrs.update({"layout_version": np.int64(4), "producer": "libDAQUser -h5",
                          "events": np.uint64(events), "status_columns": np.uint8(0)})
        run.create_dataset("EventId", data=5000000000 + np.arange(events, dtype=np.uint64))
        run.create_dataset("Time", data=1733632724 * 10**6 + np.arange(events, dtype=np.int64))
        g = run.create_group("CAM.BIG")
        g.attrs.update({"column": "CAM.BIG", "kind": "image", "unit": "counts"})
        g.create_dataset("Missing", data=missing, fillvalue=2)
        pixels = g.create_dataset("Pixels", (events, size, size), np.uint16,
                                  chunks=(1, size, size), compression="gzip", fillvalue=0)
        for e in np.flatnonzero(missing == 0):
            pixels.id.write_direct_chunk((int(e), 0, 0), variants[e % 4])
    return int((missing == 0).sum())


def bench_frames(work):
    path = os.path.join(work, "frames.h5")
    present = frames_file(path)
    print(f"frames file: {os.path.getsize(path) / 1e6:.1f} MB on disk, {present} present frames "
          f"of 2048x2048 uint16 ({present * 8 / 1024:.1f} GiB of pixels)")
    # ru_maxrss survives exec: a child forked straight from this process, which has held a
    # thousand open files, would start with our peak. sh forks it from its own small image.
    out = subprocess.run(["/bin/sh", "-c", '"$@"; exit $?', "sh", sys.executable, "-c",
                          FRAMES_CHILD, os.path.join(SOURCE, "python"), path],
                         check=True, capture_output=True, text=True).stdout.split()
    frames, base, peak, hwm = int(out[0]), int(out[2]), int(out[3]), int(out[4])
    assert frames == present
    ok = peak < 600
    print(f"1000 frames, mean and batches of 8 through daqrun: peak RSS {peak} MB by ru_maxrss "
          f"(VmHWM {hwm} MB; {base} MB after imports), {float(out[5]):.1f} s "
          f"(target < 600 MB) {'ok' if ok else 'OVER'}")
    return ok


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--bin", required=True, help="folder of daq-simulate and daq-reader")
    parser.add_argument("--work", help="scratch folder (default: a temporary one, removed)")
    parser.add_argument("--runs", type=int, default=1000, help="runs of the campaign index")
    parser.add_argument("--keep", action="store_true", help="keep the scratch folder")
    args = parser.parse_args()
    args.bin = os.path.abspath(args.bin)
    work = args.work or tempfile.mkdtemp(prefix="daqrun-bench-")
    os.makedirs(work, exist_ok=True)
    try:
        ok = [bench_dataframe(args.bin, work), bench_campaign(args.bin, work, args.runs),
              bench_frames(work)]
    finally:
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)
    return 0 if all(ok) else 1


if __name__ == "__main__":
    sys.exit(main())
