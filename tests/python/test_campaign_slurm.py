"""workflow/Snakefile submitted to a real one-node Slurm cluster (Snakemake 7's --slurm, job
states from sacct over slurmdbd and MariaDB), against the same workflow run on this machine."""

import os
import re
import subprocess
import tempfile
import time

import h5py
import pytest

from campaign_fixtures import (READER_FILES, WORKFLOW, copy_inputs, same_files, same_h5, snakemake,
                               snakemake_cmd)
import slurm_cluster

NAMES = ["archive-0001", "beam-0202"]


@pytest.fixture(scope="module")
def cluster():
    why = slurm_cluster.cannot_start()
    if why:
        pytest.skip(f"no Slurm cluster here: {why}")
    # Short path: the munge socket's name must fit a socket address.
    c = slurm_cluster.Cluster(tempfile.mkdtemp(prefix="slurm-"))
    try:
        c.start()
    except (slurm_cluster.ClusterError, OSError) as err:
        c.stop()
        logs = c.logs() if os.path.isdir(c.path("log")) else ""
        c.remove()
        pytest.skip(f"Slurm cannot start here: {err}\n{logs[-3000:]}")
    yield c
    c.stop()
    assert c.ours() == [], "processes of the cluster left running"
    c.remove()


def test_slurm_outputs_equal_local_and_sacct_shows_every_job(cluster, tmp_path):
    # One folder of inputs for both, so that the files that name their inputs are equal too.
    inputs = copy_inputs(NAMES, str(tmp_path / "inputs"))
    for where in ("slurm", "local"):
        os.makedirs(tmp_path / where)
    # The local run goes on while the cluster's jobs wait for their turns.
    local = subprocess.Popen(snakemake_cmd("results", "--cores", "1", inputs=inputs),
                             cwd=tmp_path / "local", stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, text=True)
    proc = snakemake(str(tmp_path / "slurm"), "results",
                     "--profile", os.path.join(WORKFLOW, "profiles", "slurm"),
                     "--default-resources", f"slurm_account={slurm_cluster.ACCOUNT}",
                     f"slurm_partition={slurm_cluster.PARTITION}", "mem_mb=500", "runtime=10",
                     "--jobs", "4", "--latency-wait", "5",
                     # Status once a second (a real cluster: the profile's default, every 30 s).
                     "--max-status-checks-per-second", "1",
                     env=cluster.env, inputs=inputs)
    local_log = local.communicate()[0]
    assert proc.returncode == 0, proc.stderr[-4000:] + cluster.logs()
    assert local.returncode == 0, local_log[-3000:]

    a, b = tmp_path / "slurm" / "results", tmp_path / "local" / "results"
    for name in NAMES:
        same_h5(a / name / "run.h5", b / name / "run.h5", paths_differ=True)
        pages = sorted(p for p in os.listdir(b / name) if p.endswith(".png"))
        same_files(a / name, b / name, pages)
    same_files(a / "beam-0202", b / "beam-0202", READER_FILES)
    same_h5(a / "campaign.h5", b / "campaign.h5", paths_differ=True)

    # Slurm's accounting holds every job Snakemake submitted, each completed.
    ids = re.findall(r"submitted with SLURM jobid (\d+)", proc.stdout + proc.stderr)
    assert len(ids) == len(NAMES) + 1  # a job per run (file and picture), one for the campaign
    deadline = time.monotonic() + 30
    while True:
        out = cluster.run("/usr/bin/sacct", "-X", "-n", "-P", "--format=JobID,JobName,State,Account",
                          "-j", ",".join(ids)).stdout
        states = {line.split("|")[0]: line.split("|")[1:] for line in out.splitlines() if line}
        if set(states) == set(ids) or time.monotonic() > deadline:
            break
        time.sleep(0.5)
    assert set(states) == set(ids), out
    assert {s[1] for s in states.values()} == {"COMPLETED"}, out
    assert {s[2] for s in states.values()} == {slurm_cluster.ACCOUNT}, out
    names = sorted(s[0] for s in states.values())
    assert [n.split("_")[1] for n in names] == ["campaign", "run", "run"], names
    with h5py.File(a / "campaign.h5", "r") as f:
        assert list(f["campaign/runs/status"].asstr()[:]) == ["ok", "ok"]
