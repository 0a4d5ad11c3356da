"""workflow/Snakefile on this machine, over part of the bundled example with its broken run."""

import json
import os
import re
import shutil
import signal
import subprocess
import time

import h5py
import pytest

from campaign_fixtures import (EXAMPLES, READER_FILES, by_hand, copy_inputs, same_files,
                               same_h5, snakemake)

# A 2024 run with a second toroid and wider traces, a 2010 run archived as a table, a broken one.
NAMES = ["beam-0202", "archive-0001", "broken-0301"]
GOOD = NAMES[:2]


@pytest.fixture(scope="module")
def campaign(tmp_path_factory):
    root = tmp_path_factory.mktemp("workflow")
    copy_inputs(NAMES, str(root / "inputs"))
    proc = snakemake(str(root), "results", "--cores", "2")
    return root, root / "results", proc


def runs_table(index):
    with h5py.File(index, "r") as f:
        r = f["campaign/runs"]
        return {n: (s, w) for n, s, w in zip(r["name"].asstr()[:], r["status"].asstr()[:],
                                             r["reason"].asstr()[:])}


def test_broken_run_fails_alone(campaign):
    root, out, proc = campaign
    assert proc.returncode == 1, proc.stderr[-3000:]
    # Its own job failed and kept its log; nothing else of it is left.
    assert os.listdir(out / "broken-0301") == ["reader.log"]
    assert "broken-0301.run.json: line 1" in (out / "broken-0301" / "reader.log").read_text()
    for name in GOOD:
        assert (out / name / "run.png").exists(), name
    table = runs_table(out / "campaign.h5")
    assert list(table) == sorted(NAMES)
    assert table["broken-0301"][0] == "failed" and "broken-0301.run.json" in table["broken-0301"][1]
    assert all(table[n][0] == "ok" for n in GOOD)
    # Dated before the runs' files, so that the next run of the workflow makes the campaign
    # files again and retries the failed run on the way.
    assert os.path.getmtime(out / "campaign.h5") < min(os.path.getmtime(out / n / "run.h5") for n in GOOD)
    page = (out / "campaign.html").read_text()
    assert re.search(r'id="run-broken-0301".*?<span class="failed">failed</span>', page, re.S)
    assert page.count('<span class="ok">ok</span>') == 2


def test_outputs_equal_tools_run_by_hand(campaign, tmp_path):
    root, out, _ = campaign
    for name in GOOD:
        inp = next(str(root / "inputs" / (name + e)) for e in (".run.json", ".txt")
                   if (root / "inputs" / (name + e)).exists())
        assert by_hand(inp, str(tmp_path / name))
        same_h5(out / name / "run.h5", tmp_path / name / "run.h5")
        if inp.endswith(".run.json"):
            same_files(out / name, tmp_path / name, READER_FILES)
    # One picture drawn by hand, given the same path (its headings name the file): the same
    # pages, byte for byte.
    hand = tmp_path / "hand"
    os.makedirs(hand / "results" / "beam-0202")
    shutil.copy(tmp_path / "beam-0202" / "run.h5", hand / "results" / "beam-0202")
    subprocess.run([os.path.join(os.environ["BIN"], "daq-quicklook"), "results/beam-0202/run.h5",
                    "-o", "results/beam-0202/run.png"], cwd=hand, check=True, capture_output=True)
    pages = sorted(p for p in os.listdir(out / "beam-0202") if p.endswith(".png"))
    assert len(pages) > 1
    same_files(out / "beam-0202", hand / "results" / "beam-0202", pages)


def test_index_values_equal_run_files(campaign):
    _, out, _ = campaign
    with h5py.File(out / "campaign.h5", "r") as f:
        c = f["campaign"]
        first = dict(zip(c["runs/name"].asstr()[:], c["runs/first_row"][:]))
        for name in GOOD:
            with h5py.File(out / name / "run.h5", "r") as run:
                r = run["run"]
                n = r.attrs["events"]
                rows = slice(first[name], first[name] + n)
                for path in ("EventId", "Time", "TOROID.1/Value", "VAC.GAUGE/Missing"):
                    assert (c[path][rows] == r[path][:]).all() or path == "TOROID.1/Value"
                v = c["TOROID.1/Value"][rows]
                assert ((v == r["TOROID.1/Value"][:]) | (v != v)).all()


CHROMIUM = shutil.which("chromium")


@pytest.mark.skipif(CHROMIUM is None, reason="Debian's chromium is not installed")
def test_report_loads_in_a_browser(campaign, tmp_path):
    _, out, _ = campaign
    # A copy of the page, beside it, that says after loading which images did not load and
    # which scripts errors occurred; the page itself holds no script.
    probe = out / "probe.html"
    page = (out / "campaign.html").read_text()
    script = """<script>
window.__errors = [];
window.addEventListener('error', e => window.__errors.push(String(e.message || e.target.src)), true);
window.addEventListener('load', () => {
  const imgs = Array.from(document.images);
  const bad = imgs.filter(i => !i.complete || i.naturalWidth === 0).map(i => i.src);
  const p = document.createElement('pre'); p.id = 'probe';
  p.textContent = JSON.stringify({images: imgs.length, bad: bad, errors: window.__errors});
  document.body.appendChild(p);
});
</script>"""
    probe.write_text(page.replace("<head>", "<head>" + script, 1))
    try:
        proc = subprocess.run([CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu",
                               "--allow-file-access-from-files", "--virtual-time-budget=5000",
                               f"--user-data-dir={tmp_path / 'profile'}", "--dump-dom",
                               probe.as_uri()], capture_output=True, text=True, timeout=120)
    finally:
        probe.unlink()
    m = re.search(r'<pre id="probe">(.*?)</pre>', proc.stdout, re.S)
    assert m, proc.stderr[-2000:]
    result = json.loads(m.group(1).replace("&quot;", '"').replace("&amp;", "&"))
    assert result["bad"] == [] and result["errors"] == []
    # Two runs' thumbnails and at least one channel against time.
    assert result["images"] >= 3


def jobs_done(proc):
    """The jobs a run of the workflow did, by rule, from the table it prints first."""
    jobs = {}
    for m in re.finditer(r"^(\w+)\s+(\d+)\s+\d+\s+\d+$", proc.stdout + proc.stderr, re.M):
        if m.group(1) != "total":
            jobs[m.group(1)] = int(m.group(2))
    return jobs


def test_mended_input_redoes_that_run_only(campaign):
    root, out, _ = campaign
    before = {n: os.stat(out / n / "run.h5").st_mtime_ns for n in GOOD}
    shutil.copy(os.path.join(EXAMPLES, "beam-0201.run.json"), root / "inputs" / "broken-0301.run.json")
    proc = snakemake(str(root), "results", "--cores", "2")
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert jobs_done(proc) == {"all": 1, "recording": 1, "quicklook": 1, "index": 1, "report": 1}
    assert {n: os.stat(out / n / "run.h5").st_mtime_ns for n in GOOD} == before
    assert set(runs_table(out / "campaign.h5").values()) == {("ok", "")}


def test_interrupted_job_leaves_nothing_complete(tmp_path):
    # A reader that writes part of its output, then hangs until the workflow is interrupted.
    fake = tmp_path / "bin"
    fake.mkdir()
    (fake / "daq-reader").write_text("#!/bin/sh\necho partial > run.h5\necho partial > user_out.txt\n"
                                     "touch \"$STARTED\"\nexec sleep 60\n")
    (fake / "daq-reader").chmod(0o755)
    copy_inputs(["beam-0101"], str(tmp_path / "inputs"))
    started = tmp_path / "started"
    cmd = ["/usr/bin/snakemake", "-s", os.path.join(os.environ["WORKFLOW"], "Snakefile"),
           "results/beam-0101/run.h5", "--cores", "1", "--config", "out=results",
           "runs=[inputs/*.run.json]"]
    proc = subprocess.Popen(cmd + [f"bin={fake}"], cwd=tmp_path, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, text=True, start_new_session=True,
                            env=dict(os.environ, STARTED=str(started)))
    try:
        deadline = time.monotonic() + 60
        while not started.exists() and time.monotonic() < deadline and proc.poll() is None:
            time.sleep(0.1)
        assert started.exists(), "the job never started"
        os.killpg(proc.pid, signal.SIGINT)
        proc.wait(timeout=60)
    finally:
        if proc.poll() is None:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
    # The part written stayed in the job's own folder, which went with the job.
    folder = tmp_path / "results" / "beam-0101"
    assert not (folder / "run.h5").exists() and not (folder / "user_out.txt").exists()
    assert os.listdir(tmp_path / "results") == ["beam-0101"]
