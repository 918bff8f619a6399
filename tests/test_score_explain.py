"""explain and the score command on awkward input: text that is not one SMILES, broken MSP records,
options out of range and outputs that cannot be written, and how the JSON report is written."""

import json
import os
import stat
from pathlib import Path

import pytest
from click.testing import CliRunner

import trelvanoxa
from trelvanoxa.batch import analyse_one
from trelvanoxa.score.cli import score
from trelvanoxa._errors import UnreadableSmilesError

DATA = Path(__file__).resolve().parent / "data"
PEAKS = [(15, 120), (26, 80), (27, 300), (28, 1000), (29, 450), (30, 260)]  # a small ethane-like spectrum


def invoke(*args):
    return CliRunner().invoke(score, [str(a) for a in args])


def dev_records(n):
    """The first n records of the shared EI spectra, each as a list of lines."""
    return [block.splitlines() for block in (DATA / "ei_spectra_dev.msp").read_text("utf-8").split("\n\n")[:n]]


def write_records(path, records):
    path.write_text("\n\n".join("\n".join(lines) for lines in records) + "\n", encoding="utf-8")
    return path


@pytest.mark.parametrize("smiles,unreadable", [("CC O", True), ("C C", True), ("C\tC", True), ("CC\x00O", True),
                                               ("C1CC", True), ("*C", False)])
def test_text_that_is_not_one_smiles_is_refused_by_type(smiles, unreadable, tmp_path):
    # RDKit stops at a blank: "CC O" would be scored as ethane and "C C" as methane
    with pytest.raises(ValueError) as err:
        trelvanoxa.explain(PEAKS, smiles)
    assert isinstance(err.value, UnreadableSmilesError) == unreadable, err.value
    if not unreadable:  # an unknown element is a failure of its own, in batch as in scoring
        assert "Element not found" in str(err.value)
        with pytest.raises(ValueError, match="Element not found"):
            analyse_one(smiles)
    elif smiles.isprintable() and " " not in smiles:
        assert analyse_one(smiles) == {"smiles": smiles, "error": "SMILES okunamadı!"}
    msp = tmp_path / "one.msp"
    msp.write_text(f"NAME: probe\nSMILES: {smiles}\nNum Peaks: {len(PEAKS)}\n"
                   + "".join(f"{mz}\t{i}\n" for mz, i in PEAKS), encoding="utf-8")
    result = invoke(msp, "--generations", "0")
    assert result.exit_code == 1 and "0 spectra scored, 1 skipped" in result.output
    assert "skipped record 0 (probe): " in result.stderr
    assert ("UnreadableSmilesError" in result.stderr) == unreadable


def test_a_bad_peak_or_count_costs_one_peak_or_one_record(tmp_path):
    records = dev_records(3)
    at = next(i for i, line in enumerate(records[1]) if line.upper().startswith("NUM PEAKS"))
    count = int(records[1][at].split(":")[1])
    line_of = sum(len(r) + 1 for r in records[:1]) + 1  # 1-based number of the record's first line

    without = [records[0], records[1][:at] + [f"NUM PEAKS: {count - 1}"] + records[1][at + 1:at + 3]
               + records[1][at + 4:], records[2]]
    with_nan = [records[0], records[1][:at + 3] + ["nan\t50.0"] + records[1][at + 4:], records[2]]
    miscounted = [records[0], records[1][:at] + [f"NUM PEAKS: {count + 7}"] + records[1][at + 1:], records[2]]
    reports = {}
    for name, recs in [("without", without), ("nan", with_nan), ("count", miscounted)]:
        out = tmp_path / f"{name}.json"
        result = invoke(write_records(tmp_path / f"{name}.msp", recs), "--json", out, "--generations", "1")
        reports[name] = (result, json.loads(out.read_text()))

    result, data = reports["nan"]
    assert result.exit_code == 0 and "3 spectra scored, 0 skipped" in result.output, result.output
    assert f"record 2 ({records[1][0].split(': ', 1)[1]}), line {line_of + at + 3}: peak 'nan 50.0'" in result.stderr
    assert data["spectra"] == reports["without"][1]["spectra"]  # the same as without that peak

    result, data = reports["count"]
    assert result.exit_code == 1 and "2 spectra scored, 1 skipped" in result.output
    assert f"record 2 in the file, line {line_of + at}: {count + 7} peaks declared but {count} follow" \
        in data["skipped"][0]["reason"]
    assert [s["name"] for s in data["spectra"]] == [data_name(r) for r in (records[0], records[2])]


def data_name(lines):
    return next(line.split(": ", 1)[1] for line in lines if line.upper().startswith("COMPOUND_NAME"))


@pytest.mark.parametrize("args,hint", [
    (["--min-mz", "inf"], "--min-mz"), (["--min-mz", "nan"], "--min-mz"), (["--min-mz", "-1e308"], "--min-mz"),
    (["--min-rel-intensity", "nan"], "--min-rel-intensity"),
    (["--json", "{file}/out.json"], "--json"), (["--json", "{tmp}/missing/out.json"], "--json"),
    (["--json", "{fifo}"], "--json"), (["--png", "{file}/plots"], "--png"),
])
def test_options_and_outputs_are_checked_before_any_work(tmp_path, args, hint):
    msp = write_records(tmp_path / "in.msp", dev_records(1))
    os.mkfifo(tmp_path / "pipe")
    names = {"file": msp, "tmp": tmp_path, "fifo": tmp_path / "pipe"}
    result = invoke(msp, *[a.format(**names) for a in args])
    assert result.exit_code == 2 and hint in result.output and "spectra scored" not in result.output, result.output
    assert result.exception is None or isinstance(result.exception, SystemExit)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.msp", "pipe"]
    assert stat.S_ISFIFO(os.lstat(tmp_path / "pipe").st_mode)


def test_json_report_follows_links_and_keeps_permissions(tmp_path):
    msp = write_records(tmp_path / "in.msp", dev_records(1))
    (tmp_path / "real").mkdir()
    kept = tmp_path / "real" / "kept.json"
    kept.write_text("stale")
    kept.chmod(0o640)
    (tmp_path / "link.json").symlink_to(kept)
    old = os.umask(0o027)
    try:
        assert invoke(msp, "--json", tmp_path / "link.json", "--generations", "0").exit_code == 0
        assert invoke(msp, "--json", tmp_path / "new.json", "--generations", "0").exit_code == 0
    finally:
        os.umask(old)
    assert (tmp_path / "link.json").is_symlink() and os.readlink(tmp_path / "link.json") == str(kept)
    assert json.loads(kept.read_text())["summary"]["overall"]["spectra"] == 1
    assert stat.S_IMODE(kept.stat().st_mode) == 0o640
    assert stat.S_IMODE((tmp_path / "new.json").stat().st_mode) == 0o640  # 0666 less the umask, not 0600
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.msp", "link.json", "new.json", "real"]
    assert os.listdir(tmp_path / "real") == ["kept.json"]
