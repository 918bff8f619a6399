"""What goes into a batch run: damaged records inside readable files, files that cannot be read,
items that cannot reach a worker, options and the text printed about the input."""

import csv
import gzip
import io
import http.server
import json
import math
import threading
from pathlib import Path

import pytest
from rdkit import Chem

import trelvanoxa
from helpers import MOLECULES
from test_cli import read_jsonl, run_cli

SOME = MOLECULES[20:32]  # (SMILES, name) rows of the shared set


def sdf_bytes(rows, title=lambda k, name: name.encode()):
    """An SDF text of the rows, titles given as raw bytes."""
    blocks = []
    for k, (smiles, name) in enumerate(rows):
        block = Chem.MolToMolBlock(Chem.MolFromSmiles(smiles)).encode()
        blocks.append(title(k, name) + block[block.index(b"\n"):] + b"$$$$\n")
    return b"".join(blocks)


def smi_rows(rows):
    return "".join(f"{s}\t{n}\n" for s, n in rows)


def csv_rows(rows, header=("smiles", "name")):
    out = io.StringIO()
    csv.writer(out, lineterminator="\n").writerows([header, *rows])
    return out.getvalue()


# Each case: file name, its bytes, which records are errors (by position, -1 the last) with what in the
# message, and the rows read; an SDF record whose title is unreadable is one of them, a long CSV field a row of
# its own, and a compressed file cut in half ends with one error record for the rest.
CASES = {
    "long CSV field": ("in.csv", csv_rows(SOME[:5] + [("C" * 140_000, "huge")] + SOME[5:]).encode(),
                       {5: "field larger than field limit"}, SOME),
    "SDF title not UTF-8": ("in.sdf", sdf_bytes(SOME, lambda k, n: b"caf\xe9" if k == 4 else n.encode()),
                            {4: "title of record 5 is not UTF-8"}, SOME),
    "truncated sdf.gz": ("in.sdf.gz", gzip.compress(sdf_bytes(MOLECULES))[:2949], {-1: "cannot be read from record"},
                         MOLECULES),
    "BOM before SMILES": ("in.smi", b"\xef\xbb\xbf" + smi_rows(SOME).encode(), {}, SOME),
    "BOM before CSV header": ("in.csv", b"\xef\xbb\xbf" + csv_rows(SOME).encode(), {}, SOME),
}


@pytest.mark.parametrize("case", CASES)
def test_a_bad_record_is_one_error_record_and_the_run_goes_on(tmp_path, case):
    name, data, errors, rows = CASES[case]
    src = tmp_path / name
    src.write_bytes(data)
    runs = {}
    for jobs in ("1", "2"):
        out = tmp_path / f"out{jobs}.jsonl"
        args = ["--id-column", "name"] if name.endswith(".csv") else []
        proc = run_cli("batch", src, "-o", out, "-j", jobs, "--chunk-size", "2", *args)
        assert proc.returncode == (1 if errors else 0), proc.stderr[-2000:]
        assert "Traceback" not in proc.stderr
        runs[jobs] = read_jsonl(out)
    assert runs["1"] == runs["2"]  # the records before a bad one are never lost to the pool
    records = runs["1"]
    failed = {k if k < len(records) - 1 else -1: r["error"] for k, r in enumerate(records) if r["error"]}
    assert failed.keys() == errors.keys() and all(errors[k] in failed[k] for k in errors), failed
    good = [r for r in records if not r["error"]]
    expected = [s for k, (s, _) in enumerate(rows) if not (name == "in.sdf" and k in errors)][:len(good)]
    assert [Chem.CanonSmiles(r["smiles"]) for r in good] == [Chem.CanonSmiles(s) for s in expected]
    assert len(good) >= (100 if case == "truncated sdf.gz" else len(rows) - (name == "in.sdf"))
    if "BOM" in case:
        assert [r["id"] for r in records] == [n for _, n in rows]


@pytest.mark.parametrize("name,data,message", [
    ("in.sdf.gz", b"this is not gzip\n", "not a gzipped file"),
    ("missing.smi", None, "no such file"),
    ("in.csv", b"name,formula\nwater,H2O\n", "no smiles column"),
])
def test_input_that_cannot_be_read_is_a_usage_error_before_any_work(tmp_path, name, data, message):
    src = tmp_path / name
    if data is not None:
        src.write_bytes(data)
    proc = run_cli("batch", src, "-o", tmp_path / "out.jsonl")
    assert proc.returncode == 2 and message in proc.stderr.lower() and "Traceback" not in proc.stderr, proc.stderr
    assert not (tmp_path / "out.jsonl").exists()


class Unpicklable:
    def __reduce__(self):
        raise TypeError("cannot be pickled")


def generator_that_breaks(n):
    for k in range(n):
        yield (f"m{k}", ["C", "CC", "CCO", "N"][k % 4])
    raise RuntimeError("the source broke")


def test_items_that_cannot_travel_and_sources_that_break_behave_as_in_process():
    items = [("a", "CCO"), ("b", Unpicklable()), ("c", "N")]
    one, two = (list(trelvanoxa.analyze_many(items, jobs=j)) for j in (1, 2))
    assert two == one and one[1]["error"] == "SMILES must be text, got Unpicklable" and one[2]["lpi"]
    for jobs in (1, 2):
        got = []
        with pytest.raises(RuntimeError, match="the source broke"):
            for rec in trelvanoxa.analyze_many(generator_that_breaks(100), jobs=jobs, chunk_size=7):
                got.append(rec)
        assert [r["id"] for r in got] == [f"m{k}" for k in range(100)] and not any(r["error"] for r in got)


@pytest.mark.parametrize("timeout", ["nan", "inf", "1e300", "-1", "0"])
def test_time_limits_no_clock_can_count_are_refused(tmp_path, timeout):
    src = tmp_path / "in.smi"
    src.write_text(smi_rows(SOME[:2]))
    proc = run_cli("batch", src, "-o", tmp_path / "out.jsonl", "--timeout", timeout)
    assert proc.returncode == 2 and "--timeout" in proc.stderr and not (tmp_path / "out.jsonl").exists()
    with pytest.raises(ValueError, match="timeout must be a positive number"):
        trelvanoxa.analyze_many(["C"], timeout=float(timeout))
    assert math.isfinite(trelvanoxa.batch.check_timeout(86400))


def test_jobs_are_capped_and_printed_input_text_is_escaped(tmp_path):
    src = tmp_path / "in.csv"
    forged = 'x\nerror: forged line'
    src.write_text(csv_rows(SOME[:3] + [("C C", forged), ("C1CC", "\x1b[31mred\x1b[0m")]))
    proc = run_cli("batch", src, "-o", tmp_path / "out.jsonl", "--id-column", "name", "-j", "1000")
    assert proc.returncode == 1
    assert f"note: --jobs 1000 capped at {trelvanoxa.batch.max_jobs()}" in proc.stderr
    lines = proc.stderr.splitlines()
    assert [line for line in lines if line.startswith("error:")] == [
        "error: x\\nerror: forged line: SMILES contains whitespace (U+0020) at position 1",
        "error: \\x1b[31mred\\x1b[0m: SMILES okunamadı!"]
    assert "\x1b" not in proc.stderr
    records = read_jsonl(tmp_path / "out.jsonl")
    assert [r["id"] for r in records][-2:] == [forged, "\x1b[31mred\x1b[0m"] and len(records) == 5


def test_a_scheduler_address_that_is_not_dask_is_a_clear_usage_error(tmp_path):
    pytest.importorskip("distributed")
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), http.server.SimpleHTTPRequestHandler)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        src = tmp_path / "in.smi"
        src.write_text(smi_rows(SOME[:2]))
        proc = run_cli("batch", src, "-o", tmp_path / "out.jsonl", "--scheduler",
                       f"tcp://127.0.0.1:{server.server_address[1]}")
    finally:
        server.shutdown()
    assert proc.returncode == 2 and "not answer as a Dask scheduler" in proc.stderr, proc.stderr
    assert "allocate" not in proc.stderr and not (tmp_path / "out.jsonl").exists()
