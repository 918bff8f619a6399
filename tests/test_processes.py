"""Worker processes and signals: fresh machines do not hang, workers never outlive the command, and
SIGINT, SIGTERM and time limits stop `batch` and `score` cleanly."""

import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

from helpers import default_sigint, run_python
from test_cli import command, read_jsonl, run_cli

DATA = Path(__file__).resolve().parent / "data"


def children(pid):
    try:
        return [int(p) for p in Path(f"/proc/{pid}/task/{pid}/children").read_text().split()]
    except OSError:
        return []


def alive(pid):
    try:
        return Path(f"/proc/{pid}/stat").read_text().split(")")[-1].split()[0] != "Z"
    except OSError:
        return False


# A fresh machine: nothing remembered about elements, and the parent asks about an element (the dummy
# atom, which only mendeleev itself can refuse) before its workers are forked.
FRESH = """
import json, multiprocessing, os, sys, time
import trelvanoxa
try:
    trelvanoxa._get_period("*")
except ValueError as exc:
    refused = str(exc)

def ask():
    try:
        trelvanoxa._get_period("*")
    except ValueError:
        os._exit(7)

child = multiprocessing.get_context("fork").Process(target=ask)  # forked while the lookup thread exists
child.start()
child.join(60)
child.kill()
t0 = time.monotonic()
items = [("a", "*C"), ("b", "ClCCl"), ("c", "C[Li]"), ("d", "*CBr")]
out = [r["error"] or r["lpi"] for r in trelvanoxa.analyze_many(items, jobs=2, chunk_size=1, timeout=30)]
took = time.monotonic() - t0
want = [r["error"] or r["lpi"] for r in trelvanoxa.analyze_many(items, jobs=1)]
print(json.dumps([refused, child.exitcode, out, want, took]))
"""


def test_a_fresh_machine_runs_to_the_end(tmp_path):
    env = {"TRELVANOXA_CACHE_DIR": str(tmp_path / "empty")}
    proc = run_python(["-c", FRESH], env=env)
    assert proc.returncode == 0, proc.stderr[-2000:]
    refused, forked, out, want, took = json.loads(proc.stdout)
    assert refused == "Element not found: *" and forked == 7 and out[0] == out[3] == "ValueError: Element not found: *"
    assert out == want and isinstance(out[2], list) and took < 30
    src = tmp_path / "in.smi"
    src.write_text("CCO\n" * 200 + "ClCCl\n[Li]C\n")
    for jobs in ("2", "1"):
        result = subprocess.run(command() + ["batch", str(src), "-o", str(tmp_path / f"out{jobs}.jsonl"), "-j", jobs,
                                             "--recursive"], env=dict(os.environ, **env), capture_output=True,
                                text=True, timeout=120)
        assert result.returncode == 0, result.stderr[-2000:]
    assert read_jsonl(tmp_path / "out2.jsonl") == read_jsonl(tmp_path / "out1.jsonl")
    assert len(read_jsonl(tmp_path / "out2.jsonl")) == 202


def slow_input(tmp_path):
    src = tmp_path / "in.smi"
    src.write_text("C C\tfirst\n" + "".join(f"{'C' * n}\tchain{n}\n" for n in range(60, 120)))
    return src


def start_batch(src, out, *args):
    proc = subprocess.Popen(command() + ["batch", str(src), "-o", str(out), "-j", "2", "--chunk-size", "1", *args],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, preexec_fn=default_sigint)
    assert proc.stderr.readline().startswith("error: first")  # the run is under way
    deadline = time.monotonic() + 30
    while len(children(proc.pid)) < 2 and time.monotonic() < deadline:
        time.sleep(0.05)
    return proc, children(proc.pid)


def test_workers_die_with_a_killed_command(tmp_path):
    proc, workers = start_batch(slow_input(tmp_path), tmp_path / "out.jsonl")
    try:
        assert len(workers) == 2
        proc.kill()
        proc.communicate(timeout=30)  # no worker holds the command's stdout and stderr open
        deadline = time.monotonic() + 10
        while any(alive(w) for w in workers) and time.monotonic() < deadline:
            time.sleep(0.05)
        assert not any(alive(w) for w in workers)
    finally:
        proc.kill()
        for w in workers:
            if alive(w):
                os.kill(w, signal.SIGKILL)


def test_sigterm_stops_a_run_as_ctrl_c_does(tmp_path):
    out = tmp_path / "out.jsonl"
    proc, workers = start_batch(slow_input(tmp_path), out)
    try:
        proc.terminate()
        _, err = proc.communicate(timeout=30)
    finally:
        proc.kill()
    assert proc.returncode == 143 and "interrupted, continue with --resume" in err and "Traceback" not in err, err
    assert not any(alive(w) for w in workers)
    records = read_jsonl(out)
    assert records[0]["id"] == "first" and [r["id"] for r in records[1:]] == [f"chain{n}"
                                                                                for n in range(60, 60 + len(records) - 1)]


def long_chain_msp(tmp_path):
    path = tmp_path / "in.msp"
    text = (DATA / "ei_spectra_dev.msp").read_text("utf-8")
    path.write_text(text.split("\n\n")[0] + "\n\n" + f"NAME: C200\nSMILES: {'C' * 200}\nNum Peaks: 2\n57 999\n43 500\n\n"
                    + text.split("\n\n")[1] + "\n\n")
    return path


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_score_has_a_time_limit(tmp_path, jobs):
    t0 = time.monotonic()
    proc = run_cli("score", long_chain_msp(tmp_path), "--jobs", jobs, "--timeout", "2")
    assert time.monotonic() - t0 < 60
    assert proc.returncode == 1 and "2 spectra scored, 1 skipped" in proc.stdout, proc.stderr
    assert "skipped record 1 (C200): timed out: analysis took longer than 2 s" in proc.stderr


def test_score_stops_on_sigint_to_the_command_alone(tmp_path):
    proc = subprocess.Popen(command() + ["score", str(long_chain_msp(tmp_path)), "--jobs", "2"], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, preexec_fn=default_sigint)
    try:
        deadline = time.monotonic() + 60
        while len(children(proc.pid)) < 2 and time.monotonic() < deadline:
            time.sleep(0.05)
        workers = children(proc.pid)
        time.sleep(1.0)  # the workers are on the chain
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=30)
    finally:
        proc.kill()
    assert len(workers) == 2 and proc.returncode == 130 and "Traceback" not in err, err
    assert "interrupted" in err and out == ""
    assert not any(alive(w) for w in workers)
