#!/usr/bin/python3
"""Campaign figures: the workflow's overhead and the index over many small runs.

    bench/campaign_bench.py BIN [--runs 1000] [--jobs 100] [--dag 10000] [--work DIR]

BIN holds the built programs (build/bin). Prints one line a figure:

  CORES   eight small runs through the whole workflow, --cores 1 against --cores 2
  JOBS    J recordings of 100 channels through the reader's rule alone (--until recording):
          Snakemake's wall time per job beyond the reader's own time
  DAG     the dry run (DAG only) of a campaign of M runs
  INDEX   build time and size of the index of N runs of 100 channels (copies of one run file);
          time to open it; time to read one scalar channel over all runs, against the same
          values from one run file of N x 20 events and the same channels
"""

import argparse
import glob
import os
import shutil
import subprocess
import sys
import tempfile
import time

import h5py

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
SNAKEFILE = os.path.join(ROOT, "workflow", "Snakefile")
sys.path.insert(0, os.path.join(ROOT, "workflow", "scripts"))
sys.dont_write_bytecode = True
import campaign_index  # noqa: E402

# 100 channels: the mark, 64 toroids, 24 beam position monitors, 6 ADCs, the sub-channel ADC,
# two cameras, the structured-data channel and the vacuum gauge.
CHANNELS = ["--toroids", "64", "--bpms", "24", "--adcs", "6", "--cameras", "2", "--image", "32x24"]
EVENTS = 20


def simulate(bindir, out, seed, events=EVENTS, options=CHANNELS):
    subprocess.run([os.path.join(bindir, "daq-simulate"), "--seed", str(seed), "--events",
                    str(events), *options, "--out", out], check=True)


def snakemake(work, bindir, inputs, *args):
    t = time.perf_counter()
    proc = subprocess.run(["/usr/bin/snakemake", "-s", SNAKEFILE, *args, "--scheduler", "greedy",
                           "--config",
                           "out=results", f"bin={bindir}", f"runs=[{inputs}/*.run.json]"],
                          cwd=work, capture_output=True, text=True)
    if proc.returncode != 0:
        sys.exit(proc.stderr[-3000:])
    return time.perf_counter() - t


def cores(bindir, work):
    inputs = os.path.join(work, "cores-inputs")
    os.makedirs(inputs)
    for k in range(8):
        simulate(bindir, os.path.join(inputs, f"run-{k}.run.json"), 100 + k, options=[])
    times = {}
    for n in (1, 2):
        shutil.rmtree(os.path.join(work, "results"), ignore_errors=True)
        times[n] = snakemake(work, bindir, inputs, "--cores", str(n))
    print(f"CORES   8 runs, whole workflow: --cores 1 {times[1]:.1f} s, --cores 2 {times[2]:.1f} s, "
          f"ratio {times[2] / times[1]:.2f}")


def jobs(bindir, work, runs):
    inputs = os.path.join(work, "inputs")
    os.makedirs(inputs)
    first = os.path.join(inputs, "run-0000.run.json")
    simulate(bindir, first, 1)
    for k in range(1, runs):
        os.link(first, os.path.join(inputs, f"run-{k:04d}.run.json"))
    # The reader's own time, the way the rule calls it.
    sample = min(runs, 50)
    t = time.perf_counter()
    for k in range(sample):
        d = os.path.join(work, "direct", str(k))
        os.makedirs(d)
        subprocess.run([os.path.join(bindir, "daq-reader"), "--quiet", first, "--", "-hdf5",
                        "-evstat", "-xdump", "-h5", "run.h5", "-h5z", "gzip"], cwd=d,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    own = (time.perf_counter() - t) / sample
    shutil.rmtree(os.path.join(work, "results"), ignore_errors=True)
    wall = snakemake(work, bindir, inputs, "--cores", "1", "--until", "recording", "--quiet", "all")
    print(f"JOBS    {runs} reader jobs, --cores 1: {wall:.1f} s, {wall / runs * 1000:.0f} ms a job, "
          f"reader alone {own * 1000:.0f} ms: overhead {(wall / runs - own) * 1000:.0f} ms a job")
    return os.path.join(work, "results")


def dag(bindir, work, runs):
    inputs = os.path.join(work, "dag-inputs")
    os.makedirs(inputs)
    first = os.path.join(work, "inputs", "run-0000.run.json")
    for k in range(runs):
        os.symlink(first, os.path.join(inputs, f"run-{k:05d}.run.json"))
    dagwork = os.path.join(work, "dagwork")
    os.makedirs(dagwork)
    t = snakemake(dagwork, bindir, inputs, "--cores", "2", "--dry-run", "--quiet", "all")
    print(f"DAG     dry run of {runs} runs ({2 * runs + 3} jobs): {t:.1f} s")


def index(bindir, work, results, runs):
    # Copies of one run file, each its own file as on a cluster's disk (links to one file would
    # be opened once by HDF5).
    one = sorted(glob.glob(os.path.join(results, "run-*", "run.h5")))[0]
    results = os.path.join(work, "copies")
    folders = []
    for k in range(runs):
        folders.append(os.path.join(results, f"run-{k:04d}"))
        os.makedirs(folders[-1])
        shutil.copy(one, folders[-1])
    out = os.path.join(results, "campaign.h5")
    t = time.perf_counter()
    campaign_index.build(out, [campaign_index.Run(os.path.basename(f), f) for f in folders])
    build = time.perf_counter() - t
    size = os.path.getsize(out)

    # One run file of the same events and channels.
    big = os.path.join(work, "big")
    os.makedirs(big)
    simulate(bindir, os.path.join(big, "big.run.json"), 1, events=EVENTS * runs)
    subprocess.run([os.path.join(bindir, "daq-reader"), "--quiet", "big.run.json", "--", "-nodump",
                    "-h5", "run.h5"], cwd=big, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   check=True)

    def timed(path, group):
        t = time.perf_counter()
        f = h5py.File(path, "r")
        g = f[group]
        opened = time.perf_counter() - t
        values = g["TOROID.1/Value"][:]
        read = time.perf_counter() - t - opened
        f.close()
        return opened, read, values

    subprocess.run(["sync"])
    o_idx, r_idx, v_idx = timed(out, "campaign")
    o_one, r_one, v_one = timed(os.path.join(big, "run.h5"), "run")
    assert len(v_idx) == len(v_one) == EVENTS * runs
    print(f"INDEX   {len(folders)} runs of 100 channels: built in {build:.1f} s, {size / 1e6:.1f} MB; "
          f"open {o_idx * 1000:.0f} ms; TOROID.1/Value over all runs {r_idx * 1000:.0f} ms, "
          f"from one run file of {len(v_one)} events {r_one * 1000:.1f} ms "
          f"(open {o_one * 1000:.0f} ms): ratio {(o_idx + r_idx) / (o_one + r_one):.1f} "
          f"with the opens, {r_idx / r_one:.1f} the reads alone")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("bin")
    parser.add_argument("--runs", type=int, default=1000)
    parser.add_argument("--jobs", type=int, default=100, help="reader jobs timed (default 100)")
    parser.add_argument("--dag", type=int, default=10000)
    parser.add_argument("--work", help="folder to work in (default: a temporary one, removed)")
    parser.add_argument("--skip-cores", action="store_true")
    parser.add_argument("--skip-index", action="store_true")
    args = parser.parse_args()
    bindir = os.path.abspath(args.bin)
    work = args.work or tempfile.mkdtemp(prefix="campaign-bench-")
    os.makedirs(work, exist_ok=True)
    try:
        if not args.skip_cores:
            os.makedirs(os.path.join(work, "cores"))
            cores(bindir, os.path.join(work, "cores"))
        results = jobs(bindir, work, args.jobs)
        if args.dag:
            dag(bindir, work, args.dag)
        if not args.skip_index:
            index(bindir, work, results, args.runs)
    finally:
        if not args.work:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
