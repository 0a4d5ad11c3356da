"""workflow/Snakefile on this machine, over part of the bundled example with its broken run."""

import html
import json
import os
import re
import shutil
import signal
import subprocess
import time

import h5py
import numpy as np
import pytest

from campaign_fixtures import (EXAMPLES, READER_FILES, by_hand, copy_inputs, same_files,
                               same_h5, snakemake, snakemake_cmd)

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
    assert re.search(r'<td class="name">broken-0301</td>\n.*?\n<td><span class="failed">failed</span>', page)
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



def test_run_file_changed_after_indexing(campaign):
    # After the mended run: every run ok. A run file is replaced by a shorter one that keeps its
    # time, so Snakemake's own dates do not tell.
    root, out, _ = campaign
    import campaign_report

    target = out / "beam-0202" / "run.h5"
    stamp = os.stat(target).st_mtime_ns
    shutil.copy(out / "archive-0001" / "run.h5", target)
    os.utime(target, ns=(stamp, stamp))
    # The report names it and still draws the others through the old index.
    campaign_report.build(str(out / "campaign.h5"), str(root / "page.html"), str(root / "page_files"))
    page = (root / "page.html").read_text()
    assert re.search(r"<td class=\"name\">beam-0202</td>\n.*\n<td><span class=\"changed\">", page)
    assert "beam-0202" in re.search(r'<p class="warning">Run files changed.*?</p>', page).group(0)
    drawn = json.loads((root / "page_files" / "drawn.json").read_text())
    assert drawn["channels"] and {r["run"] for r in drawn["channels"][0]["series"][0]["runs"]} == \
        {"archive-0001", "broken-0301"}
    # A run of the workflow names it and makes the index again, over the file as it is now.
    proc = snakemake(str(root), "results", "--cores", "2")
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert "run files changed since the index was made" in proc.stderr and "'beam-0202'" in proc.stderr
    assert jobs_done(proc) == {"all": 1, "index": 1, "report": 1}, proc.stdout + proc.stderr
    with h5py.File(out / "campaign.h5", "r") as f:
        r = f["campaign/runs"]
        assert set(r["status"].asstr()[:]) == {"ok"}
        assert r["file_size"][list(r["name"].asstr()[:]).index("beam-0202")] == os.path.getsize(target)
        f["campaign/TOROID.1/Value"][:]  # every mapping fits its source again


# Names a beam time brings: shell syntax, quotes, spaces, markup, a URL scheme, '%', unicode, a
# leading dash; every one a good recording (or table) that must come through as itself.
HOSTILE = ["inj$(touch INJECTED);touch INJ2;`touch INJ3`", "javascript:alert(1)",
           "it's \"a b\" <b>&amp; 100% ünï 日本 <img src=x onerror=document.body.setAttribute('data-pwned',1)>"]
HOSTILE_TABLE = "-rf --x"
CHROMIUM = shutil.which("chromium")


def chromium(page, tmp_path, *args):
    return subprocess.run([CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu",
                           "--disable-background-networking", "--allow-file-access-from-files",
                           "--virtual-time-budget=5000", f"--user-data-dir={tmp_path / 'profile'}",
                           *args, "--dump-dom", page.as_uri()],
                          capture_output=True, text=True, timeout=120)


def test_hostile_names_come_through_as_data(tmp_path):
    inputs = tmp_path / "inputs"
    inputs.mkdir()
    # Names that cannot be a folder of the output: refused, all of them in one message, before
    # anything runs (no out folder, nothing above it).
    for name in ("..", "."):
        shutil.copy(os.path.join(EXAMPLES, "beam-0201.run.json"), inputs / (name + ".run.json"))
    proc = snakemake(str(tmp_path), "deep/results", "--cores", "2",
                     config=["runs=[inputs/*.run.json,inputs/.*.run.json]"])
    assert proc.returncode == 1
    for name in ("...run.json", "..run.json"):
        assert f"inputs/{name}'" in proc.stderr, proc.stderr[-2000:]
    assert sorted(os.listdir(tmp_path)) == [".snakemake", "inputs"]
    for name in ("..", "."):
        os.unlink(inputs / (name + ".run.json"))

    for name in HOSTILE:
        shutil.copy(os.path.join(EXAMPLES, "beam-0201.run.json"), inputs / (name + ".run.json"))
    for ext in (".txt", ".xml"):
        shutil.copy(os.path.join(EXAMPLES, "archive-0001" + ext), inputs / (HOSTILE_TABLE + ext))
    proc = snakemake(str(tmp_path), "results", "--cores", "2",
                     config=["words=-hdf5 -evstat -xdump -fti VAC.GAUGE", "codec=lz4",
                             "report_channels=[VAC.GAUGE,BPM.1,CAM.1,NOPE]"])
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert not [p for p in os.listdir(tmp_path) if p.startswith("INJ")]
    out = tmp_path / "results"
    names = sorted(HOSTILE + [HOSTILE_TABLE])
    with h5py.File(out / "campaign.h5", "r") as f:
        r = f["campaign/runs"]
        assert list(r["name"].asstr()[:]) == names
        assert set(r["status"].asstr()[:]) == {"ok"}
        # codec=lz4, which both tools take: the LZ4 filter (32004) on the run files.
        with h5py.File(out / r["file"].asstr()[0], "r") as run:
            plist = run["run/TOROID.1/Value"].id.get_create_plist()
            assert 32004 in [plist.get_filter(k)[0] for k in range(plist.get_nfilters())]
        assert f["campaign/TOROID.1/Value"].shape == (sum(r["events"][:]),)
        assert not (f["campaign/TOROID.1/Missing"][:] == 2).all()  # '%' names read back
        # Three copies of one recording: each of their IDs is elsewhere too.
        assert f["campaign"].attrs["duplicate_event_ids"] == 3 * 20
        assert list(r["overlaps"][:]) == [0 if n == HOSTILE_TABLE else 20 for n in names]
    assert sorted(p for p in os.listdir(out)) == sorted(
        names + ["campaign.h5", "campaign.html", "campaign_files", "campaign-index.log",
                 "campaign-report.log", ".campaign.lock"])

    # The pictures' numbers: per run, the median of the good values read from the run file by
    # Missing and ChanStatus, never a fill; one series per pair; what was not drawn, and why.
    drawn = json.loads((out / "campaign_files" / "drawn.json").read_text())
    assert {d["channel"] for d in drawn["not_drawn"]} == {"CAM.1", "NOPE"}
    by_column = {ch["column"]: ch for ch in drawn["channels"]}
    assert sorted(by_column) == ["BPM.1", "VAC.GAUGE"]
    with h5py.File(out / HOSTILE[0] / "run.h5", "r") as f:
        run = f["run"]
        ped = run["EventTypeName"].asstr()[:] == "pedestal"
        for column, datasets in (("VAC.GAUGE", ["Value"]), ("BPM.1", ["x", "y", "charge"])):
            g = run[column]
            good = (g["Missing"][:] == 0) & (g["ChanStatus"][:] == 0)
            series = by_column[column]["series"]
            assert sorted({s["dataset"] for s in series}) == sorted(datasets)
            for s in series:
                values = g[s["dataset"]][:][good & (ped if s["events"] == "pedestal" else ~ped)]
                got = next(x for x in s["runs"] if x["run"] == HOSTILE[0])
                assert got["n"] == len(values) and got["median"] == pytest.approx(np.median(values))
        assert run["VAC.GAUGE/Value"].dtype == np.int32 and (run["VAC.GAUGE/Missing"][:] != 0).any()
    vac = by_column["VAC.GAUGE"]["series"]
    assert min(x["q25"] for s in vac for x in s["runs"] if x["n"]) > -2147483648

    # The page: every name is text, every link a relative path, and nothing runs.
    page = (out / "campaign.html").read_text()
    assert 'http-equiv="Content-Security-Policy"' in page and "<script" not in page
    assert "Repeated event IDs: 60 events" in page
    links = re.findall(r'(?:href|src)="([^"]*)"', page)
    assert links and all(link.startswith("./") for link in links)
    if CHROMIUM is None:
        pytest.skip("Debian's chromium is not installed (make deps installs it for the tests)")
    proc = chromium(out / "campaign.html", tmp_path)
    dom = proc.stdout
    assert "<body" in dom, proc.stderr[-2000:]
    assert not re.search(r"<body[^>]*data-pwned", dom)
    assert not re.search(r"<img[^>]*src=\"x\"", dom)
    for link in re.findall(r'(?:href|src)="([^"]*)"', dom):
        assert link.startswith("./") and not re.match(r"[a-z]+:", link, re.I), link
    for name in names:
        assert html.escape(name, quote=False) in dom
    # Every picture loads under the page's policy: a copy whose policy lets one probe script
    # through says which did not.
    probe = out / "probe.html"
    probe.write_text(page.replace("default-src 'none';", "default-src 'none'; script-src 'unsafe-inline';")
                     .replace("<head>", "<head>" + PROBE, 1))
    try:
        proc = chromium(probe, tmp_path)
    finally:
        probe.unlink()
    m = re.search(r'<pre id="probe">(.*?)</pre>', proc.stdout, re.S)
    assert m, proc.stderr[-2000:]
    result = json.loads(html.unescape(m.group(1)))
    assert result["bad"] == [] and result["errors"] == []
    assert result["images"] == len(names) + 2  # thumbnails, two channels against runs


PROBE = """<script>
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


def test_interrupted_or_concurrent_campaign(tmp_path):
    # The tools behind wrappers: those named in $HANG, for a run named in $HANG_RUN, write part
    # of an output and hang until the workflow is interrupted (as Ctrl-C does: SIGINT to the
    # process group).
    wrappers = tmp_path / "bin"
    wrappers.mkdir()
    for tool in ("daq-reader", "daq-table2h5", "daq-quicklook"):
        (wrappers / tool).write_text(
            '#!/bin/sh\ntool=$(basename "$0")\n'
            'if [ "$1" != --help ] && case " $HANG " in *" $tool "*) true;; *) false;; esac &&\n'
            '   case "$*" in *"$HANG_RUN"*) true;; *) false;; esac; then\n'
            '  echo partial > run.h5 2>/dev/null; [ "$2" = -o ] && echo partial > "$3"\n'
            '  touch "$STARTED/$tool"; exec sleep 60\nfi\n'
            f'exec {os.path.join(os.environ["BIN"], "$tool")} "$@"\n')
        (wrappers / tool).chmod(0o755)
    copy_inputs(["beam-0202", "archive-0001"], str(tmp_path / "inputs"))
    out = tmp_path / "results"
    started = tmp_path / "started"

    def interrupted(hang, run="", ready=lambda: True, while_hung=None):
        shutil.rmtree(started, ignore_errors=True)
        started.mkdir()
        proc = subprocess.Popen(snakemake_cmd("results", "--cores", "2", bin=str(wrappers)),
                                cwd=tmp_path, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                text=True, start_new_session=True,
                                env=dict(os.environ, HANG=" ".join(hang), HANG_RUN=run,
                                         STARTED=str(started)))
        try:
            deadline = time.monotonic() + 60
            while (sorted(os.listdir(started)) != sorted(hang) or not ready()) \
                    and time.monotonic() < deadline and proc.poll() is None:
                time.sleep(0.1)
            assert sorted(os.listdir(started)) == sorted(hang), proc.stderr.read()[-2000:]
            if while_hung:
                while_hung(proc)
            os.killpg(proc.pid, signal.SIGINT)
            proc.wait(timeout=60)
        finally:
            if proc.poll() is None:
                os.killpg(proc.pid, signal.SIGKILL)
                proc.wait()
        assert proc.returncode != 0
        return runs_table(out / "campaign.h5")

    def second_workflow(first):
        # Another workflow on the same folder, from another working folder: refused, naming
        # the holder, while the first goes on.
        other = tmp_path / "other"
        other.mkdir()
        proc = subprocess.run(snakemake_cmd(str(out), "--cores", "1", inputs=str(tmp_path / "inputs")),
                              cwd=other, capture_output=True, text=True)
        assert proc.returncode == 1, proc.stderr[-2000:]
        assert f"is held by pid {first.pid} on " in proc.stderr, proc.stderr[-2000:]
        assert first.poll() is None

    # The reader and the converter cut off: what they wrote went with their jobs.
    table = interrupted(["daq-reader", "daq-table2h5"], while_hung=second_workflow)
    assert table == {"archive-0001": ("incomplete", "not finished: run.h5, run.png"),
                     "beam-0202": ("incomplete", "not finished: run.h5, run.png, " + ", ".join(READER_FILES))}
    assert os.listdir(out / "beam-0202") == ["reader.log"]
    assert os.listdir(out / "archive-0001") == ["table2h5.log"]
    # A picture cut off after its run file was made: incomplete, not ok; the other run,
    # finished meanwhile, ok (not failed for want of its picture).
    # Ready when Snakemake has recorded every other job as finished: only the hung job's output
    # is still marked incomplete.
    marks = tmp_path / ".snakemake" / "incomplete"
    table = interrupted(["daq-quicklook"], "beam-0202", ready=lambda: (
        (out / "archive-0001" / "run.png").exists() and len(os.listdir(marks)) == 1))
    assert table == {"archive-0001": ("ok", ""), "beam-0202": ("incomplete", "not finished: run.png")}
    # The documented command goes on from there.
    proc = subprocess.run(snakemake_cmd("results", "--cores", "2", bin=str(wrappers)), cwd=tmp_path,
                          capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert set(runs_table(out / "campaign.h5").values()) == {("ok", "")}
