"""What a batch run leaves in OUTPUT: never the input overwritten, never a torn or lost record on a
full disk (a real file-size limit of the kernel), a resume that keeps every record once, and one
run at a time on a file."""

import json
import os
import resource
import signal
import subprocess

import pytest

import trelvanoxa
from helpers import MOLECULES, default_sigint
from test_batch_input import smi_rows
from test_cli import command, read_any, read_jsonl, run_cli

ROWS = MOLECULES[40:70]


def records_of(rows):
    return list(trelvanoxa.analyze_many([(n, s) for s, n in rows], jobs=1))


@pytest.mark.parametrize("link", ["symlink", "hardlink"])
@pytest.mark.parametrize("resume", [False, True])
def test_output_that_is_the_input_is_refused(tmp_path, link, resume):
    src = tmp_path / "in.smi"
    src.write_text(smi_rows(ROWS))
    before = src.read_bytes()
    out = tmp_path / "out.jsonl"
    (os.symlink if link == "symlink" else os.link)(src, out)
    proc = run_cli("batch", src, "-o", out, *(["--resume"] if resume else []))
    assert proc.returncode == 2 and "is the input file itself" in proc.stderr, proc.stderr
    assert src.read_bytes() == before


def limited_files(size):
    def setup():
        default_sigint()
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # a write past the limit fails with EFBIG
        resource.setrlimit(resource.RLIMIT_FSIZE, (size, size))
    return setup


@pytest.mark.parametrize("ext", ["jsonl", "msp"])
def test_a_full_disk_leaves_only_complete_records(tmp_path, ext):
    src = tmp_path / "in.smi"
    src.write_text(smi_rows(ROWS))
    out = tmp_path / f"out.{ext}"
    proc = subprocess.run(command() + ["batch", str(src), "-o", str(out), "-j", "1"], capture_output=True, text=True,
                          timeout=300, preexec_fn=limited_files(6000))
    assert proc.returncode == 1 and "cannot write to" in proc.stderr and "Traceback" not in proc.stderr, proc.stderr
    data = out.read_bytes()
    assert 0 < len(data) <= 6000
    full = tmp_path / f"full.{ext}"
    assert run_cli("batch", src, "-o", full, "-j", "1").returncode == 0
    assert full.read_bytes().startswith(data)  # a prefix of the complete output...
    end = b"\n" if ext == "jsonl" else b"\n\n"
    assert data.endswith(end)  # ...ending with a complete record
    n = len(read_jsonl(out)) if ext == "jsonl" else data.count(b"\n\n")
    assert f"it holds the {n} complete records" in proc.stderr
    resumed = run_cli("batch", src, "-o", out, "-j", "1", "--resume")
    assert resumed.returncode == 0 and out.read_bytes() == full.read_bytes()


def test_a_full_disk_during_a_parquet_resume_keeps_the_previous_file(tmp_path):
    pytest.importorskip("pyarrow")
    half, src = tmp_path / "half.smi", tmp_path / "in.smi"
    half.write_text(smi_rows(ROWS[:10]))
    src.write_text(smi_rows(ROWS * 8))
    out = tmp_path / "out.parquet"
    assert run_cli("batch", half, "-o", out, "-j", "1").returncode == 0
    before = out.read_bytes()
    proc = subprocess.run(command() + ["batch", str(src), "-o", str(out), "-j", "1", "--resume"], capture_output=True,
                          text=True, timeout=300, preexec_fn=limited_files(len(before) + 2000))
    assert proc.returncode == 1 and "is left as it was" in proc.stderr and "Traceback" not in proc.stderr, proc.stderr
    assert out.read_bytes() == before and not (tmp_path / "out.parquet.partial").exists()
    assert read_any(out) == records_of(ROWS[:10])


A, B, C, D = (ROWS[k][0] for k in range(4))


def line(ident, smiles):
    return json.dumps({"id": ident, "smiles": smiles, "error": "x"}) + "\n"


# (input rows, what OUTPUT holds before the resume, exit code, message, the ids OUTPUT ends with or None:
# untouched)
RESUMES = {
    "an id twice in the input": ([(A, "a"), (B, "dup"), (C, "dup"), (D, "d")], [(A, "a"), (B, "dup")], 0,
                                 "more than once in INPUT", ["a", "dup", "dup", "d"]),
    "an id from another input": ([(A, "a"), (B, "b")], [(A, "a"), (D, "b")], 0, "match no molecule of INPUT",
                                 ["a", "b", "b"]),
    "first line without id": ([(A, "a"), (B, "b")], '{"smiles": "C"}\n', 2, "line 1 is not a record", None),
    "an id that is not text": ([(A, "a"), (B, "b")], '{"id": [1], "smiles": "C"}\n', 2, "line 1 is not a record",
                               None),
    "a torn middle line": ([(A, "a"), (B, "b"), (C, "c")], [(A, "a")] + ['{"id": "b", "smi\n'] + [(C, "c")], 2,
                           "line 2 is not a record", None),
    "a torn last line": ([(A, "a"), (B, "b")], [(A, "a")] + ['{"id": "b", "smi'], 0, "cut the last 16 bytes",
                         ["a", "b"]),
}


@pytest.mark.parametrize("case", RESUMES)
def test_resume_keeps_every_record_once_and_says_what_it_did(tmp_path, case):
    rows, held, code, message, ids = RESUMES[case]
    src = tmp_path / "in.smi"
    src.write_text(smi_rows(rows))
    out = tmp_path / "out.jsonl"
    if isinstance(held, str):
        out.write_text(held)
    else:
        done = {(n, s): r for (s, n), r in zip(rows, records_of(rows))}
        out.write_text("".join(h if isinstance(h, str) else
                               json.dumps(done.get((h[1], h[0])) or records_of([h])[0], ensure_ascii=False) + "\n"
                               for h in held))
    before = out.read_bytes()
    proc = run_cli("batch", src, "-o", out, "-j", "1", "--resume")
    assert proc.returncode == code and message in proc.stderr, proc.stderr
    if ids is None:
        assert out.read_bytes() == before
        return
    got = read_jsonl(out)
    assert [r["id"] for r in got] == ids
    by_input = records_of(rows)
    assert all(r in got for r in by_input)  # every molecule of INPUT has its record


def test_msp_ids_with_tabs_and_spaces_are_matched_on_resume(tmp_path):
    src = tmp_path / "in.smi"
    src.write_text(f"{A}\tone\ttab\n{B}\ttwo  spaces\n{C}\tplain\n")
    out = tmp_path / "out.msp"
    assert run_cli("batch", src, "-o", out, "-j", "1").returncode == 0
    full = out.read_bytes()
    for _ in range(2):
        proc = run_cli("batch", src, "-o", out, "-j", "1", "--resume")
        assert proc.returncode == 0 and "3 already in" in proc.stderr and out.read_bytes() == full


def test_a_second_run_on_the_same_output_is_refused(tmp_path):
    rows = "C C\tfirst\n" + smi_rows(ROWS)
    src = tmp_path / "in.smi"
    src.write_text(rows)
    out = tmp_path / "out.jsonl"
    # The first run reads standard input, so it holds OUTPUT for as long as its input stays open.
    first = subprocess.Popen(command() + ["batch", "-", "-o", str(out), "-j", "1"], stdin=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True, preexec_fn=default_sigint)
    try:
        first.stdin.write("C C\tfirst\n")
        first.stdin.flush()
        assert first.stderr.readline().startswith("error: first")  # it is writing
        for resume in ([], ["--resume"]):
            second = run_cli("batch", src, "-o", out, "-j", "1", *resume)
            assert second.returncode == 2 and "is being written by another run" in second.stderr
        _, err = first.communicate(rows.split("\n", 1)[1], timeout=300)
    finally:
        first.kill()
    assert first.returncode == 1, err
    assert [r["id"] for r in read_jsonl(out)] == ["first"] + [n for _, n in ROWS]