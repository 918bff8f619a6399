"""The intensity model: predicted heights of hand-checked molecules, the similarity measures against
hand-computed values, the fitting script on real spectra, and heights through batch files and score."""

import json
import math
from pathlib import Path

import pytest

import trelvanoxa
from helpers import run_python
from trelvanoxa.intensity import predict_spectrum
from trelvanoxa.intensity.similarity import leave_one_out_blind, sqrt_cosine, weighted_dot

DATA = Path(__file__).resolve().parent / "data"
ROOT = Path(__file__).resolve().parent.parent


# Hand arithmetic: 4**0.6 = 2.29740; m/z 50 -> 125000, m/z 60 -> 216000.
#   sqrt:     (2*1 + 1*2) / (sqrt(5) * sqrt(5)) = 0.8
#   weighted: a = (287175, 216000), b = (125000, 496238.4)
#             (287175*125000 + 216000*496238.4) / (|a| |b|) = 1.430836e11 / (359339.6 * 511739.4) = 0.77809
@pytest.mark.parametrize("predicted, measured, lo, cosine, dot", [
    ({50: 4, 60: 1}, {50: 1, 60: 4}, 0, 0.8, 0.77809),
    ({40: 100, 50: 1}, {50: 1, 60: 1}, 50, 1 / math.sqrt(2), 1 / math.sqrt(1 + (60 / 50) ** 6)),
    # a = (64000 * 100**0.6, 125000, 0) = (1014339, 125000, 0), b = (0, 125000, 216000):
    # 125000**2 / (1022011 * 249562) = 0.06126
    ({40: 100, 50: 1}, {50: 1, 60: 1}, 0, 1 / math.sqrt(101 * 2), 0.06126),
    ({50: 3}, {60: 3}, 0, 0.0, 0.0),
    ({}, {60: 3}, 0, 0.0, 0.0),
])
def test_similarity_of_hand_computed_spectra(predicted, measured, lo, cosine, dot):
    assert sqrt_cosine(predicted, measured, lo) == pytest.approx(cosine, abs=1e-5)
    assert weighted_dot(predicted, measured, lo) == pytest.approx(dot, rel=1e-3, abs=1e-6)


def test_structure_blind_average_leaves_each_spectrum_out():
    # relative spectra: A {50: 1, 60: .5}, B {50: .5, 70: 1}, C {60: 1}
    a, b, c = {50: 10, 60: 5}, {50: 2, 70: 4}, {60: 3}
    blind_a, blind_b, blind_c = leave_one_out_blind([a, b, c], [65, 80, 55])
    # A: mean of B and C = {50: .25, 60: .5, 70: .5}, cut below 65, M+ at the base .5, scaled to 100
    assert blind_a == pytest.approx({50: 50.0, 60: 100.0, 65: 100.0})
    # B: mean of A and C = {50: .5, 60: .75}; C: mean of A and B below 55 = {50: .75}
    assert blind_b == pytest.approx({50: 100 * .5 / .75, 60: 100.0, 80: 100.0})
    assert blind_c == pytest.approx({50: 100.0, 55: 100.0})


def relative(spectrum):
    return {mz: i for mz, i in spectrum}


def ion_share(smiles, mz):
    """Share of the ion current (all predicted peaks) at one m/z."""
    s = relative(predict_spectrum(smiles))
    return s[mz] / sum(s.values())


def test_hand_checked_molecules():
    # Naphthalene: the aromatic molecular ion survives and is the base peak.
    naphthalene = predict_spectrum("c1ccc2ccccc2c1")
    assert max(naphthalene, key=lambda p: p[1])[0] == 128
    assert [mz for mz, _ in naphthalene] == sorted({mz for mz, _ in naphthalene})
    assert max(i for _, i in naphthalene) == 100.0
    ion = next(p for p in naphthalene if p.mz == 128)
    assert ion.fragments[0]["ion"] == "M+" and ion.fragments[0]["share"] > 0.5
    # Isotopes, on molecules without hydrogen (no [M-H]+ whose 13C peak would land on M):
    # 81Br/79Br = 0.973, so two bromines give M+2 / M = 2 * 0.973 = 1.946; 37Cl/35Cl = 0.320.
    for smiles, mass, ratio in (("BrC#CBr", 182, 1.946), ("ClC#N", 61, 0.320)):
        s = relative(predict_spectrum(smiles))
        assert s[mass + 2] / s[mass] == pytest.approx(ratio, abs=0.01)
    # Silylated compounds: m/z 73 (Me3Si+) strong, 147 (Me2Si=O+-SiMe3) with two O-TMS groups, and the
    # loss of a methyl from silicon (M - 15); the parent diol has no 147.
    tms = relative(predict_spectrum("C[Si](C)(C)OCCO[Si](C)(C)C"))
    assert tms[73] >= 30 and tms[147] >= 10 and tms[206 - 15] >= 10
    peak73 = next(p for p in predict_spectrum("C[Si](C)(C)OCCO[Si](C)(C)C") if p.mz == 73)
    assert any(f.get("ion") == "TMS" and f["formula"] == "C3H9Si" for f in peak73.fragments)
    assert relative(predict_spectrum("OCCCCO")).get(147, 0.0) < 1.0
    # Long n-alkanes: C3H7+ and C4H9+ lead, the molecular ion is weak (its share falls with the chain).
    hexadecane = sorted(predict_spectrum("C" * 16), key=lambda p: -p[1])
    assert hexadecane[0].mz != 226 and {hexadecane[0].mz, hexadecane[1].mz} <= {43, 57, 71}
    # Methyl hexanoate: the McLafferty ion CH2=C(OH)OCH3+ at m/z 74, above the plain cut's m/z 73.
    ester = {p.mz: p for p in predict_spectrum("CCCCCC(=O)OC")}
    assert ester[74].intensity > ester[73].intensity and ester[74].fragments[0]["formula"] == "C3H6O2"
    # Every peak that comes from a cut names the cut: formula, bond and mode.
    cuts = [f for p in predict_spectrum("CCCCCC(=O)OC") for f in p.fragments if "bond" in f]
    assert cuts and all({"formula", "bond", "mode", "shift", "share"} <= set(f) for f in cuts)
    # An atom has nothing to lose: its spectrum is its ion (no isotope of argon is tabulated).
    assert [(tuple(p), p.fragments) for p in predict_spectrum("[Ar]")] == [((40, 100.0), [
        {"ion": "M+", "shift": 0, "share": 1.0}])]
    with pytest.raises(ValueError):
        predict_spectrum("C1CC(")


def test_heights_are_monotone_where_chemistry_says_so():
    # The molecular ion's share of the ion current fades as an n-alkane's chain grows.
    ions = [ion_share("C" * n, 14 * n + 2) for n in (8, 12, 16, 20)]
    assert ions == sorted(ions, reverse=True) and ions[0] > ions[-1]
    # An aromatic ring keeps more of the molecular ion than a saturated one of the same size.
    assert ion_share("CCc1ccccc1", 106) > ion_share("CCC1CCCCC1", 112)
    # More trimethylsilyl groups, more m/z 73 relative to the rest.
    assert ion_share("C[Si](C)(C)OCC(CO[Si](C)(C)C)O[Si](C)(C)C", 73) > ion_share("CCCCCCO[Si](C)(C)C", 73)


def dev_records(n):
    """The first n records of the shared development spectra, as MSP text."""
    blocks = [b for b in (DATA / "ei_spectra_dev.msp").read_text("utf-8").split("\n\n") if b.strip()]
    return "\n\n".join(blocks[:n]) + "\n"


def test_fitting_script_refits_and_cross_validates(tmp_path):
    msp = tmp_path / "few.msp"
    msp.write_text(dev_records(14) + "\n" + "\n\n".join(
        b for b in (DATA / "ei_spectra_dev.msp").read_text("utf-8").split("\n\n")[20:26] if b.strip()) + "\n")
    out = tmp_path / "params.json"
    proc = run_python([str(ROOT / "tools" / "fit_intensity.py"), str(msp), "--folds", "2", "--out", str(out)])
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert "2-fold cross-validated" in lines[0]
    head, overall = lines[1].split(), lines[2].split()
    assert head[:2] == ["group", "spectra"] and overall[:2] == ["overall", "20"]
    cosine, blind = float(overall[2]), float(overall[5])
    assert 0.3 < cosine <= 1 and 0 < blind <= 1
    data = json.loads(out.read_text())
    assert data["charge"]["charge_one_atom"] <= -2.0 and min(data["charge"].values()) >= -2.0 - 1e-9
    assert all(v >= 0 for k, v in data["charge"].items() if k != "charge_one_atom")
    # the refitted parameters drive the model
    from trelvanoxa.intensity import spectrum_of_design
    from trelvanoxa.intensity.features import design
    from trelvanoxa.intensity.model import Parameters

    d = design("CCCCCCCCCCCC(=O)OC")
    refit = dict(spectrum_of_design(d, Parameters.from_json(data)))
    shipped = dict(spectrum_of_design(d))
    assert refit.keys() & shipped.keys() and refit != shipped


@pytest.mark.parametrize("ext", ["jsonl", "msp", "parquet"])
def test_batch_writes_heights(tmp_path, ext):
    smi = tmp_path / "in.smi"
    smi.write_text("Clc1ccccc1 chlorobenzene\nC[Si](C)(C)OCCO[Si](C)(C)C glycol_tms\nC1CC( broken\n")
    out, plain = tmp_path / f"out.{ext}", tmp_path / f"plain.{ext}"
    for path, extra in ((out, ["--intensities"]), (plain, [])):
        proc = run_python(["-m", "trelvanoxa.cli", "batch", str(smi), "-o", str(path), "--jobs", "1", "-q", *extra])
        assert proc.returncode == 1, proc.stderr  # the broken SMILES
    expected = {name: [[mz, i] for mz, i in predict_spectrum(s)]
                for s, name in (("Clc1ccccc1", "chlorobenzene"), ("C[Si](C)(C)OCCO[Si](C)(C)C", "glycol_tms"))}
    if ext == "jsonl":
        records = [json.loads(line) for line in out.read_text().splitlines()]
        assert {r["id"]: r.get("intensities") for r in records} == {**expected, "broken": None}
        assert all("intensities" not in json.loads(line) for line in plain.read_text().splitlines())
        spectrum = trelvanoxa.to_matchms(records[0])
        assert list(spectrum.peaks.intensities) == [i for _, i in expected["chlorobenzene"]]
        assert spectrum.get("peak_comments")[112.0].startswith("M+ C6H5Cl")
    elif ext == "parquet":
        import pyarrow.parquet as pq

        rows = pq.read_table(out).to_pylist()
        got = {r["id"]: r["intensities"] and [[p["mz"], p["intensity"]] for p in r["intensities"]] for r in rows}
        assert got == {**expected, "broken": None}
        assert "intensities" not in pq.read_table(plain).column_names
    else:
        from matchms.importing import load_from_msp

        spectra = {s.get("compound_name"): s for s in load_from_msp(str(out))}
        assert set(spectra) == set(expected)
        for name, peaks in expected.items():
            assert spectra[name].peaks.mz.tolist() == [mz for mz, _ in peaks]
            assert spectra[name].peaks.intensities.tolist() == pytest.approx([i for _, i in peaks], rel=1e-5)
        assert {s.get("compound_name"): len(s.peaks.mz) for s in load_from_msp(str(plain))}["chlorobenzene"] < \
            len(expected["chlorobenzene"])


def test_score_and_explain_report_similarity(tmp_path):
    msp = tmp_path / "four.msp"
    msp.write_text(dev_records(4))
    out = tmp_path / "score.json"
    proc = run_python(["-m", "trelvanoxa.score", str(msp), "--intensities", "--json", str(out), "--generations", "2"])
    assert proc.returncode == 0, proc.stderr
    assert "cosine sqrt(I)" in proc.stdout and "blind cosine" in proc.stdout
    data = json.loads(out.read_text())
    entries = data["spectra"]
    from trelvanoxa.score import nominal_spectrum

    measured = [nominal_spectrum([(p["mz"], p["intensity"]) for p in e["peaks"]]) for e in entries]
    blinds = leave_one_out_blind(measured, [e["mol_mass"] for e in entries])
    for entry, peaks, blind in zip(entries, measured, blinds):
        lo = entry["lo"]
        predicted = dict(predict_spectrum(entry["smiles"]))
        assert entry["similarity"]["cosine"] == pytest.approx(sqrt_cosine(predicted, peaks, lo))
        assert entry["similarity"]["blind_dot"] == pytest.approx(weighted_dot(blind, peaks, lo))
    overall = data["similarity_summary"]["overall"]
    assert overall["spectra"] == 4
    assert overall["cosine"] == pytest.approx(sum(e["similarity"]["cosine"] for e in entries) / 4)
    # without --intensities the report is the one it always was
    plain = run_python(["-m", "trelvanoxa.score", str(msp), "--generations", "2"])
    assert plain.stdout == proc.stdout.split("\n\npredicted heights")[0] + "\n"

    peaks = [(p["mz"], p["intensity"]) for p in entries[0]["peaks"]]
    explained = trelvanoxa.explain(peaks, entries[0]["smiles"], intensities=True)
    assert explained["similarity"]["cosine"] == pytest.approx(entries[0]["similarity"]["cosine"])
    assert "similarity" not in trelvanoxa.explain(peaks, entries[0]["smiles"])
