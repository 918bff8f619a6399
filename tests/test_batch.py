"""Batch analysis: compact records, readers, the ordered pools (local and Dask), time limits and the
JSONL, MSP and Parquet writers read back with json, matchms and pyarrow."""

import gzip
import json
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from rdkit import Chem

import trelvanoxa
from helpers import analyse, run_python, triple
from trelvanoxa.batch import analyse_one
from trelvanoxa.batch.readers import count_records, open_input, split_smiles_line
from trelvanoxa.batch.spectra import stick_peaks
from trelvanoxa.batch.writers import open_output, parquet_record
from trelvanoxa.prediction import molecule_formula

DATA = Path(__file__).resolve().parent / "data"
SMI = DATA / "molecules.smi"
BAD = [("space", "C C"), ("cr", "C\rC"), ("nul", "C\x00C"), ("nbsp", "C\u00a0C"), ("unreadable", "C1CC("),
       ("element", "[Xx]"), ("dummy", "*C"), ("empty", "")]


def items_of(path=SMI):
    return list(open_input(str(path)))


@pytest.fixture(scope="module")
def reference():
    """In-process records of the 165 molecules, each option set once."""
    items = items_of()
    return items, list(trelvanoxa.analyze_many(items, jobs=1, ring=True, recursive=True, generations=2))


@pytest.mark.parametrize("smiles,ring,recursive,generations", [
    ("CN", False, False, 2), ("Clc1ccccc1", True, True, 1), ("CC(=O)OC1=CC=CC=C1C(=O)O", True, True, 2)])
def test_compact_record_mirrors_the_analysis(smiles, ring, recursive, generations):
    rec = analyse_one(smiles, ring=ring, recursive=recursive, generations=generations)
    full = analyse(smiles, ring_fragmentation=ring, recursive_ms=recursive, max_generations=generations)
    assert json.loads(json.dumps(rec)) == rec and rec["error"] is None and rec["smiles"] == smiles
    assert tuple(rec["lpi"]) == triple(full["lpi"]) and (rec["mol_mass"], rec["mol_mass_avg"]) == (
        full["mol_mass"], full["mol_mass_avg"])
    assert rec["soft_bonds"] == [f"{s['sym_u']}{s['atom_u']}-{s['sym_v']}{s['atom_v']}" for s in full["soft_bonds"]]
    assert [(f["bond"], f["split"], f["mode"], f["fragments"] and [tuple(t) for t in f["fragments"]])
            for f in rec["fragments"]] == [(f["bond"], f["split"], f["mode"], f["fragments"]) for f in full["fragments"]]
    if recursive:
        assert [(p["mz"], p["formula"], p["generation"]) for p in rec["peaks"]] == [
            (mz, p["formula"], p["generation"]) for mz, p in full["recursive_peaks"].items()]
    else:
        assert rec["peaks"] is None
    every = analyse_one(smiles, all_soft=True)  # every chem bond cut as if soft
    assert every["soft_bonds"] == [f"{c['sym_u']}{c['atom_u']}-{c['sym_v']}{c['atom_v']}" for c in full["chem_bonds"]]
    assert every["lpi"] == rec["lpi"] and set(rec["soft_bonds"]) <= set(every["soft_bonds"])


@given(smiles=st.text(st.characters(blacklist_categories=("Cc", "Cs", "Zs", "Zl", "Zp")), min_size=1).filter(
    lambda s: not s.startswith("#") and not any(c.isspace() for c in s)),
    ident=st.one_of(st.none(), st.text(st.characters(blacklist_categories=("Cc", "Cs")), min_size=1).filter(
        lambda s: s.strip() == s and "\n" not in s and "\r" not in s)),
    sep=st.sampled_from(["\t", " ", "   ", " \t"]))
@settings(max_examples=200, deadline=None)
def test_smiles_line_round_trip(smiles, ident, sep):
    line = smiles if ident is None else smiles + sep + ident
    assert split_smiles_line(line) == (smiles, ident)


def test_smiles_file_reader(tmp_path):
    path = tmp_path / "in.smi"
    path.write_bytes(b"# header\nCCO\tethanol\n\n  \nc1ccccc1   benzene ring  \r\nC C\tspaced\nC\rC\nN\n"
                     b"O\twater\tdrinkable\n\tno-smiles\n\xff\xfeC\n")
    assert items_of(path) == [("ethanol", "CCO"), ("benzene ring", "c1ccccc1"), ("spaced", "C C"), ("7", "C\rC"),
                              ("8", "N"), ("water\tdrinkable", "O"), ("no-smiles", ""), ("11", "\ufffd\ufffdC")]
    assert len(items_of()) == 165 and items_of()[0] == ("water", "O")


def test_sdf_reader(tmp_path):
    mols = [Chem.MolFromSmiles(smiles) for _, smiles in items_of()[::10]]
    for i, mol in enumerate(mols):
        mol.SetProp("_Name", f"m{i}" if i % 3 else "")
        mol.SetProp("code", f"M{i}")
    with gzip.open(tmp_path / "in.sdf.gz", "wt") as f, Chem.SDWriter(f) as writer:
        for mol in mols:
            writer.write(mol)
    path = str(tmp_path / "in.sdf.gz")
    got = list(open_input(path))
    assert [i for i, _ in got] == [m.GetProp("_Name") or str(n) for n, m in enumerate(mols, 1)]
    assert [Chem.CanonSmiles(s) for _, s in got] == [Chem.MolToSmiles(m) for m in mols]
    assert [i for i, _ in open_input(path, id_property="code")] == [f"M{i}" for i in range(len(mols))]
    assert count_records(path) == len(mols) and count_records("-") is None


def test_pools_agree_and_keep_order(reference):
    items, want = reference
    mixed = items[:40] + BAD + items[40:]
    records = list(trelvanoxa.analyze_many(mixed, jobs=2, chunk_size=3, ring=True, recursive=True))
    assert [r["id"] for r in records] == [i for i, _ in mixed]
    assert records[:40] + records[40 + len(BAD):] == want
    bad = records[40:40 + len(BAD)]
    assert all(set(r) == {"id", "smiles", "error"} for r in bad) and [r["error"] for r in bad[-3:]] == [
        "SMILES okunamadı!", "ValueError: Element not found: *", "empty SMILES"]
    assert "whitespace" in bad[0]["error"] and "control character" in bad[2]["error"]


@pytest.mark.parametrize("jobs", [1, 2])
def test_time_limit(jobs):
    slow = "C" * 160  # its layout alone takes far longer than the limit
    got = list(trelvanoxa.analyze_many(["CCO", slow, "c1ccccc1", slow, "N"], jobs=jobs, chunk_size=2, timeout=0.05,
                                       recursive=True))
    assert [r["error"] for r in got] == [None, "timed out: analysis took longer than 0.05 s", None,
                                         "timed out: analysis took longer than 0.05 s", None]
    assert tuple(got[4]["lpi"]) == triple(analyse("N")["lpi"])


# A worker stuck where no signal can reach it, and one that dies, are replaced; their queues move on.
STUCK = """
import json, os, signal, time, sys
import trelvanoxa
from trelvanoxa.batch import engine
real = engine.analyse_one
def analyse_one(smiles, **kw):
    if smiles == "[Ne]":
        signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGALRM})
        time.sleep(60)
    if smiles == "[Ar]":
        os._exit(3)
    return real(smiles, **kw)
engine.analyse_one = analyse_one
items = ["CCO", "[Ne]", "CC", "O", "[Ar]", "C", "CO", "[Ne]", "OCO"]
t0 = time.monotonic()
out = [r.get("lpi") or r["error"] for r in trelvanoxa.analyze_many(items, jobs=2, chunk_size=4, timeout=0.2)]
print(json.dumps([out, time.monotonic() - t0 < 30]))
"""


def test_stuck_and_dead_workers_are_replaced():
    proc = run_python(["-c", STUCK])
    assert proc.returncode == 0, proc.stderr[-2000:]
    out, quick = json.loads(proc.stdout)
    limit, died = "timed out: analysis took longer than 0.2 s", "worker process died (exit code 3)"
    assert out[1] == out[7] == limit and out[4].startswith(died) and quick
    assert [tuple(out[i]) for i in (0, 2, 3, 5, 6, 8)] == [triple(analyse(s)["lpi"])
                                                            for s in ("CCO", "CC", "O", "C", "CO", "OCO")]


def test_spectrum_peaks_and_matchms(reference):
    matchms = pytest.importorskip("matchms")
    _, records = reference
    for rec in records:
        peaks = stick_peaks(rec)
        whole = rec["peaks"][0]
        assert whole["generation"] == 0 and molecule_formula(rec["smiles"]) == whole["formula"]
        predicted = {t[2] for f in rec["fragments"] if f["split"] for t in f["fragments"]}
        assert [mz for mz, _, _ in peaks] == sorted(predicted | {p["mz"] for p in rec["peaks"]} | {rec["mol_mass"]})
        spectrum = trelvanoxa.to_matchms(rec)
        assert isinstance(spectrum, matchms.Spectrum) and list(spectrum.peaks.mz) == [mz for mz, _, _ in peaks]
        assert spectrum.get("peak_comments")[float(rec["mol_mass"])] == "M+ " + whole["formula"]
        assert spectrum.get("formula") == whole["formula"] and spectrum.get("compound_name") == rec["id"]
    with pytest.raises(ValueError, match="no spectrum"):
        trelvanoxa.to_matchms({"id": "x", "smiles": "C C", "error": "bad"})


@pytest.mark.parametrize("ext", ["jsonl", "msp", "parquet"])
def test_writers_read_back(tmp_path, reference, ext):
    _, records = reference
    records = records[:60] + [{"id": "bad", "smiles": "C C", "error": "SMILES contains whitespace"}] + records[60:]
    path = tmp_path / f"out.{ext}"
    writer = open_output(str(path))
    for rec in records:
        writer.write(rec)
    writer.close()
    good = [r for r in records if not r["error"]]
    if ext == "jsonl":
        assert [json.loads(line) for line in path.read_text("utf-8").splitlines()] == records
        path.write_bytes(path.read_bytes()[:-1])  # the last record lost only its line end: it is written again
        writer = open_output(str(path), resume=True)
        assert sorted(ident for ident, _ in writer.done.elements()) == sorted(r["id"] for r in records[:-1])
        writer.write(records[-1])
        writer.close()
        assert [json.loads(line) for line in path.read_text("utf-8").splitlines()] == records
    elif ext == "parquet":
        import pyarrow.parquet as pq

        assert [parquet_record(row) for row in pq.read_table(path).to_pylist()] == records
    else:
        from matchms.importing import load_from_msp

        spectra = list(load_from_msp(str(path)))
        assert [s.get("compound_name") for s in spectra] == [r["id"] for r in good]
        for spectrum, rec in zip(spectra, good):
            peaks = stick_peaks(rec)
            assert list(spectrum.peaks.mz) == [mz for mz, _, _ in peaks]
            assert list(spectrum.peaks.intensities) == [i for _, i, _ in peaks]
            assert spectrum.get("peak_comments") == {float(mz): label for mz, _, label in peaks}
            assert spectrum.get("smiles") == rec["smiles"]
