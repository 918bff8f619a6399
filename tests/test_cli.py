"""The trelvanoxa command: its real entry point, exit codes, inputs and outputs, Ctrl-C and --resume,
a Dask scheduler address and PubChem queries."""

import contextlib
import io
import json
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

import trelvanoxa
from trelvanoxa.batch import analyse_one
from trelvanoxa.batch.readers import open_input
from trelvanoxa.batch.writers import parquet_record
from helpers import default_sigint, invoke, png_size

DATA = Path(__file__).resolve().parent / "data"
SMI = DATA / "molecules.smi"
SCRIPT = Path(sys.executable).with_name("trelvanoxa")


def command(*args):
    return [str(SCRIPT)] if SCRIPT.exists() else [sys.executable, "-m", "trelvanoxa.cli"]


def run_cli(*args, **kwargs):
    return subprocess.run(command() + [str(a) for a in args], capture_output=True, text=True, timeout=300, **kwargs)



def read_jsonl(path):
    return [json.loads(line) for line in Path(path).read_text("utf-8").splitlines()]


def read_any(path):
    if str(path).endswith(".parquet"):
        import pyarrow.parquet as pq

        return [parquet_record(row) for row in pq.read_table(path).to_pylist()]
    return read_jsonl(path)


@pytest.fixture(scope="module")
def small(tmp_path_factory):
    """Forty molecules of the shared set with three bad lines among them, and their in-process records."""
    path = tmp_path_factory.mktemp("cli") / "small.smi"
    lines = [line for line in SMI.read_text("utf-8").splitlines()[1:]  # C, H, N, O only: few element look-ups
             if not set(line.split("\t")[0].upper()) - set("CNOH()=#123456789[]+-@/\\")][:40]
    lines[10:10] = ["C C\tspaced", "[Xx]\tunknown", "C\x01C"]
    path.write_text("# test set\n" + "\n".join(lines) + "\n")
    return path, list(trelvanoxa.analyze_many(open_input(str(path)), jobs=1))


def test_entry_point_batch_and_analyze(tmp_path, small):
    path, want = small
    out = tmp_path / "out.jsonl"
    proc = run_cli("batch", path, "-o", out, "--jobs", "2", "--chunk-size", "3")
    assert proc.returncode == 1, proc.stderr
    assert read_jsonl(out) == want and "43 records written" in proc.stderr and "(3 failed)" in proc.stderr
    assert [r["id"] for r in want if r["error"]] == ["spaced", "unknown", "14"]
    proc = run_cli("analyze", "CC(=O)Oc1ccccc1C(=O)O", "--json", "--ring")
    assert proc.returncode == 0 and json.loads(proc.stdout) == dict(
        {"id": "CC(=O)Oc1ccccc1C(=O)O"}, **analyse_one("CC(=O)Oc1ccccc1C(=O)O", ring=True))
    proc = run_cli("--help")
    assert proc.returncode == 0 and "analyze" in proc.stdout and "batch" in proc.stdout


@pytest.mark.parametrize("args,message", [
    (["batch", "{smi}", "-o", "{tmp}/out.txt"], "cannot tell the format"),
    (["batch", "{tmp}/missing.smi", "-o", "{tmp}/out.jsonl"], "no such file"),
    (["batch", "{smi}", "-o", "{tmp}/o.jsonl", "--timeout", "0"], "Invalid value"),
    (["batch", "{csv}", "-o", "{tmp}/o.jsonl", "--id-column", "name"], "no id column 'name'"),
    (["frobnicate"], "No such command"),
])
def test_usage_errors_exit_2(tmp_path, args, message):
    (tmp_path / "in.csv").write_text("SMILES,id\nCCO,e\n")
    fill = {"smi": SMI, "tmp": tmp_path, "csv": tmp_path / "in.csv"}
    result = invoke(*[a.format(**fill) for a in args])
    assert result.exit_code == 2 and message in result.output
    assert not (tmp_path / "o.jsonl").exists()


def test_inputs_and_stdin(tmp_path):
    mols = [("eth", "CCO"), ("benz", "c1ccccc1"), ("acid", "OC=O")]
    csv = tmp_path / "in.csv"
    csv.write_text("name,structure\n" + "".join(f"{i},{s}\n" for i, s in mols))
    want = [analyse_one(s)["lpi"] for _, s in mols]
    for args, ids in [([csv, "--smiles-column", "structure", "--id-column", "name"], ["eth", "benz", "acid"]),
                      (["-"], ["1", "benzene", "4"])]:
        result = invoke("batch", *args, "-o", tmp_path / "out.jsonl", "--jobs", "1", "-q",
                        input="CCO\n\nc1ccccc1 benzene\nOC=O\n")
        assert result.exit_code == 0, result.output
        got = read_jsonl(tmp_path / "out.jsonl")
        assert [r["id"] for r in got] == ids and [r["lpi"] for r in got] == want


def test_dask_scheduler_address(tmp_path, small):
    distributed = pytest.importorskip("distributed")
    path, want = small
    out = tmp_path / "out.parquet"
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                  host="127.0.0.1") as cluster:
        result = invoke("batch", path, "-o", out, "--scheduler", cluster.scheduler_address, "--chunk-size", "4")
    assert result.exit_code == 1 and read_any(out) == want
    result = invoke("batch", path, "-o", out, "--scheduler", "tcp://127.0.0.1:9")
    assert result.exit_code == 2 and "cannot connect" in result.output


@pytest.mark.parametrize("ext", ["jsonl", "parquet"])
def test_interrupt_then_resume(tmp_path, small, ext):
    path, want = small
    chains = [(f"chain{n}", "C" * n) for n in range(50, 60)]  # slower molecules at the end keep the run going
    text = path.read_text("utf-8") + "".join(f"{s}\t{i}\n" for i, s in chains)
    big = tmp_path / "in.smi"
    big.write_text(text)
    want = want + list(trelvanoxa.analyze_many(chains, jobs=1))
    out = tmp_path / f"out.{ext}"
    args = command() + ["batch", str(big), "-o", str(out), "--jobs", "2", "--chunk-size", "2"]
    proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, preexec_fn=default_sigint)
    try:
        head = proc.stderr.readline()  # the first error record has been written: Ctrl-C now
        proc.send_signal(signal.SIGINT)
        t0 = time.monotonic()
        _, err = proc.communicate(timeout=60)
        err = head + err
        stopped = time.monotonic() - t0
    finally:
        proc.kill()
    assert proc.returncode == 130 and "interrupted, continue with --resume" in err, err
    assert stopped < 10
    first = read_any(out)  # complete records only, a prefix of the full run
    assert 0 < len(first) < len(want) and first == want[:len(first)]
    if ext == "jsonl":
        with open(out, "ab") as f:
            f.write(b'{"id":"torn","smi')  # a record cut short by a crash
    proc = run_cli("batch", big, "-o", out, "--jobs", "2", "--resume")
    failed = any(r["error"] for r in want[len(first):])  # the exit code tells this run's own failures
    assert proc.returncode == int(failed) and f"{len(first)} already in" in proc.stderr, proc.stderr
    assert read_any(out) == want


def test_msp_resume_after_torn_record(tmp_path, small):
    path, want = small
    out = tmp_path / "out.msp"
    assert invoke("batch", path, "-o", out, "--jobs", "1", "-q").exit_code == 1
    full = out.read_bytes()
    out.write_bytes(full[:len(full) * 2 // 3])  # ends inside a record
    result = invoke("batch", path, "-o", out, "--jobs", "1", "--resume")
    assert result.exit_code == 1 and out.read_bytes() == full
    from matchms.importing import load_from_msp

    assert [s.get("compound_name") for s in load_from_msp(str(out))] == [r["id"] for r in want if not r["error"]]


@pytest.mark.parametrize("query,namespace,found", [("2244", "cid", True), ("no such thing", "name", False),
                                                   ("CCO", None, True)])
def test_analyze_queries(pug, query, namespace, found):
    aspirin = "CC(=O)OC1=CC=CC=C1C(=O)O"
    pug.add("aspirin", aspirin, cid=2244)
    pug.add("2244", aspirin, cid=2244, namespace="cid")
    result = invoke("analyze", query)
    assert pug.queries() == ([] if namespace is None else [query])
    if not found:
        assert result.exit_code == 1 and "cannot resolve 'no such thing'" in result.output
        return
    smiles = aspirin if namespace else query
    rec = analyse_one(smiles)
    assert result.exit_code == 0 and result.stdout.startswith(f"[VIF] {smiles}\n")
    assert f"LPI = {{n+={rec['lpi'][0]}, n0={rec['lpi'][1]}, n-={rec['lpi'][2]}}}" in result.output
    for frag in rec["fragments"]:
        assert (f"if {frag['bond']} cleaves:" in result.output) == frag["split"]


def test_analyze_prints_the_report_and_draws(tmp_path, capfd):
    result = invoke("analyze", "Clc1ccccc1", "--png", str(tmp_path / "chlorobenzene.png"))
    capfd.readouterr()
    report = io.StringIO()
    with contextlib.redirect_stdout(report):
        trelvanoxa.VIF("Clc1ccccc1", draw=False)
    assert result.exit_code == 0 and result.stdout == report.getvalue()  # the analysis's own report
    assert result.stderr.count("Figure saved: ") == 2
    for name in ("chlorobenzene.png", "chlorobenzene_ms.png"):
        assert png_size(tmp_path / name)[0] > 500
    assert invoke("analyze", "CCO", "--png", str(tmp_path)).exit_code == 2  # a folder is no figure file
    assert "score" in invoke("--help").output and invoke("score", "--help").exit_code == 0
