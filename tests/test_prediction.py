"""The prediction record: every origin of every predicted m/z kept, and one formula chosen where
output needs one.  (Records read back from JSONL, MSP and Parquet: test_batch.py.)"""

import re
from pathlib import Path

import pytest
from rdkit import Chem

import trelvanoxa
from trelvanoxa.batch.spectra import stick_peaks
from trelvanoxa.prediction import Prediction, analyse, molecule_formula

DATA = Path(__file__).resolve().parent / "data"
PT = Chem.GetPeriodicTable()


def nominal(formula):
    """Nominal mass of a formula from RDKit's most common isotopes."""
    return sum(round(PT.GetMostCommonIsotopeMass(el)) * int(n or 1) for el, n in re.findall(r"([A-Z][a-z]?)(\d*)", formula))


@pytest.fixture(scope="module")
def analysed():
    """(smiles, raw analysis, record) of the 165 molecules with ring cuts and two generations."""
    out = []
    for line in (DATA / "molecules.smi").read_text().splitlines():
        if line.strip() and not line.startswith("#"):
            smiles = line.split("\t")[0]
            raw = analyse(smiles, ring=True, recursive=True, generations=2)
            out.append((smiles, raw, Prediction.from_record(raw)))
    return out


def test_every_origin_of_every_mz_is_kept(analysed):
    conflicts = 0
    for smiles, raw, pred in analysed:
        want = [(t[2], t[0], c["mode"], 1, c["bond"]) for c in raw["fragments"] if c["split"] for t in c["fragments"]]
        want += [(p["mz"], p["formula"], "generation", p["generation"], None) for p in raw["peaks"]]
        got = [(p.mz, o.formula, o.mode, o.generation, o.bond) for p in pred.peaks for o in p.origins]
        assert sorted(got, key=repr) == sorted(want, key=repr), smiles
        assert [p.mz for p in pred.peaks] == sorted({w[0] for w in want})
        for peak in pred.peaks:
            assert all(nominal(o.formula) == peak.mz for o in peak.origins), (smiles, peak)
            formulas = [o.formula for o in peak.origins]
            conflicts += len(set(formulas)) > 1
            # the one shown: the first cut piece in the analysis's order, else the multi-generation peak
            cut_first = [t[0] for c in raw["fragments"] if c["split"] for t in c["fragments"] if t[2] == peak.mz]
            first = (cut_first or [p["formula"] for p in raw["peaks"] if p["mz"] == peak.mz])[0]
            assert pred.labels()[peak.mz] == peak.formula == first
            assert peak.by_cut == bool(cut_first)
        whole = raw["peaks"][0]
        assert whole["generation"] == 0 and pred.formula == whole["formula"] == molecule_formula(smiles)
        assert nominal(pred.formula) == pred.mol_mass == whole["mz"]
    assert conflicts > 5  # m/z reached by fragments of different formulas are common, and all are kept


def test_annotation_choice_in_the_stick_spectra(analysed):
    smiles, raw, pred = next(a for a in analysed if any(len({o.formula for o in p.origins}) > 1
                                                        for p in a[2].peaks if p.mz != a[2].mol_mass))
    chosen = {p.mz: p.formula for p in pred.peaks}
    record = {"id": "x", "smiles": smiles, **trelvanoxa.batch.analyse_one(smiles, ring=True, recursive=True)}
    peaks = stick_peaks(record)
    assert {mz: label for mz, _i, label in peaks} == {**chosen, pred.mol_mass: "M+ " + pred.formula}
    assert [i for mz, i, _l in peaks] == [100.0 if mz == pred.mol_mass else 60.0 for mz, _i, _l in peaks]
    spectrum = trelvanoxa.to_matchms(record)
    assert spectrum.get("peak_comments") == {float(mz): label for mz, _i, label in peaks}
    # without the multi-generation pass the molecular ion is named from the SMILES
    plain = trelvanoxa.batch.analyse_one(smiles, ring=True)
    assert plain["peaks"] is None and stick_peaks({"smiles": smiles, **plain})[-1] == (
        pred.mol_mass, 100.0, "M+ " + pred.formula)
    ax = trelvanoxa.plot_mass_spectrum(smiles, raw["mol_mass"], raw["fragments"])
    drawn = {int(a.xy[0]): a.get_text().split("\n")[0] for a in ax.texts}
    cut = Prediction.build(pred.mol_mass, raw["fragments"])  # the figure draws the cuts only
    assert drawn == {**{p.mz: p.formula for p in cut.peaks}, pred.mol_mass: "M+"}
