"""Scoring predicted fragments against measured spectra: metrics, annotations, MSP records, plots, the command."""

import json
import re
from pathlib import Path

import numpy as np
import pytest
from click.testing import CliRunner
from matchms import Spectrum

import trelvanoxa
from trelvanoxa.score import nominal_spectrum, predict_for_scoring, score_prediction, summarize
from trelvanoxa.score.cli import score
from trelvanoxa.score.plot import mirror_plot
from trelvanoxa.score.spectra import read_records
from trelvanoxa.prediction import GenerationPeak, Prediction

from helpers import png_size, run_python

ROOT = Path(__file__).resolve().parents[1]
CHLOROBENZENE_INCHI = "InChI=1S/C6H5Cl/c7-6-4-2-1-3-5-6/h1-5H"
NOMINAL = {"C": 12, "H": 1, "N": 14, "O": 16, "Cl": 35, "Si": 28}

# M = 100; one single cut (80 + 20), one ring cut (60 + 40), multi-generation peaks at 100 (the ion), 45, 80.
PREDICTION = Prediction.build(100, [{"bond": "C1-O2", "split": True, "mode": "single",
                                     "fragments": [("A", 80.1, 80), ("B", 20.0, 20)]},
                                    {"bond": "C3-C4 + C5-C6", "split": True, "mode": "ring",
                                     "fragments": [("C", 60.0, 60), ("D", 40.0, 40)]}],
                              [{"mz": 100, "formula": "F", "generation": 0}, {"mz": 80, "formula": "A", "generation": 1},
                               {"mz": 45, "formula": "E", "generation": 2}])
# 40.0 and 40.3 add up to 150 at m/z 40; 60 is below 1 % of the base peak (55); 99.6 joins the ion at 100;
# 120 lies above M.
PEAKS = [(40.0, 100), (40.3, 50), (55, 1000), (60, 5), (70, 300), (80.4, 200), (99.6, 20), (100, 400), (120, 30)]


def formula_mass(formula):
    return sum(NOMINAL[el] * int(n or 1) for el, n in re.findall(r"([A-Z][a-z]?)(\d*)", formula))


def test_nominal_spectrum_sums_peaks_of_one_mz():
    assert nominal_spectrum([(80.5, 1), (80.49, 2), (79.6, 4), (12, 0)]) == {12: 0.0, 80: 6.0, 81: 1.0}


@pytest.mark.parametrize("options, expected", [
    ({}, dict(lo=40, measured=[40, 55, 70, 80], predicted=[40, 45, 60, 80], precision=2 / 4, chance=4 / 60,
              recall_at_k=2 / 4, explained=350 / 1650)),
    ({"top_k": 2}, dict(recall_at_k=0.0)),
    ({"top_k": 3}, dict(recall_at_k=1 / 3)),
    ({"min_mz": 50}, dict(lo=50, measured=[55, 70, 80], predicted=[60, 80], precision=1 / 2, chance=3 / 50,
                          explained=200 / 1500)),
    ({"min_rel_intensity": 0.25}, dict(measured=[55, 70], matched=[], precision=0.0, explained=0.0)),
])
def test_metrics_of_a_hand_computed_spectrum(options, expected):
    scored = score_prediction(PEAKS, PREDICTION, **options)
    for key, value in expected.items():
        assert scored[key] == pytest.approx(value), key
    assert scored["base_peak"] == 1000 and scored["predicted_by_cut"] == [x for x in scored["predicted"] if x != 45]
    by_mz = {p["mz"]: p for p in scored["peaks"]}
    assert by_mz[100]["intensity"] == 420 and not by_mz[100]["counted"]
    if not options:
        assert by_mz[80]["explained"] and by_mz[80]["fragments"] == [
            {"formula": "A", "bond": "C1-O2", "mode": "single"}, {"formula": "A", "generation": 1}]
        assert by_mz[40]["fragments"] == [{"formula": "D", "bond": "C3-C4 + C5-C6", "mode": "ring"}]
        assert not by_mz[60]["counted"] and by_mz[60]["fragments"] and not by_mz[55]["fragments"]


def test_empty_prediction_and_summaries():
    full = score_prediction(PEAKS, PREDICTION)
    ion_only = Prediction.build(100, [], [{"mz": 100, "formula": "F", "generation": 0}])
    empty = score_prediction(PEAKS, ion_only)
    assert empty["predicted"] == [] and empty["precision"] is None and empty["explained"] == 0.0
    assert empty["recall_at_k"] == 0.0 and empty["chance"] == pytest.approx(4 / 60)
    s = summarize([full, empty])
    assert s["spectra"] == 2 and s["empty_predictions"] == 1
    assert s["precision"] == pytest.approx(0.5) and s["chance"] == pytest.approx(4 / 60)
    assert s["lift"] == pytest.approx(0.5 / (4 / 60)) and s["recall_at_k"] == pytest.approx(0.25)
    assert s["explained"] == pytest.approx(350 / 1650 / 2)
    assert summarize([])["spectra"] == 0


def test_explain_chlorobenzene_names_the_carbon_chlorine_cut():
    peaks = [(35, 50), (39, 40), (50, 80), (51, 150), (65, 30), (77, 600), (112, 1000), (114, 330)]
    r = trelvanoxa.explain(peaks, "Clc1ccccc1", generations=0, ring=False)
    assert r["mol_mass"] == 112 and r["lo"] == 35 and r["predicted"] == [35, 77]
    by_mz = {p["mz"]: p for p in r["peaks"]}
    assert by_mz[77]["fragments"] == [{"formula": "C6H5", "bond": "Cl0-C1", "mode": "single"}]
    assert r["precision"] == 1.0 and r["chance"] == pytest.approx(6 / 77)
    assert r["explained"] == pytest.approx(650 / 950) and r["recall_at_k"] == pytest.approx(2 / 6)
    deep = trelvanoxa.explain(Spectrum(mz=np.array([p[0] for p in peaks], dtype=float),
                                       intensities=np.array([p[1] for p in peaks], dtype=float), metadata={},
                                       metadata_harmonization=False), "Clc1ccccc1", generations=3)
    assert all(formula_mass(f["formula"]) == p["mz"] for p in deep["peaks"] for f in p["fragments"])
    # m/z 39 from the ring can only be three CH carbons cut out by a ring double cut
    ring = [f for f in {p["mz"]: p for p in deep["peaks"]}[39]["fragments"] if f.get("mode") == "ring"]
    assert ring and all(f["formula"] == "C3H3" for f in ring)


def test_predictions_follow_their_options():
    plain = predict_for_scoring("Clc1ccccc1", ring=False, generations=0)
    assert plain.generation_peaks is None and {c.mode for c in plain.cuts if c.split} == {"single"}
    soft = predict_for_scoring("Clc1ccccc1", ring=False, all_soft=True)
    deep = predict_for_scoring("Clc1ccccc1", ring=False)
    assert {p.mz for p in deep.generation_peaks} < {p.mz for p in soft.generation_peaks}
    assert {p.generation for p in soft.generation_peaks} == {0, 1, 2, 3}
    assert min(soft.generation_peaks, key=lambda p: p.mz) == GenerationPeak(1, "H", 1)
    pieces = sorted(tuple(sorted(f.formula for f in c.pieces)) for c in soft.cuts if c.split)
    assert pieces == [("C6H4Cl", "H")] * 5 + [("C6H5", "Cl")]


def readme_blocks():
    """The scoring tables the README prints for the shared EI spectra, and its count of predicted m/z."""
    text = (ROOT / "README.md").read_text("utf-8")
    section = text[text.index("## Scoring against measured spectra"):text.index("## Figures")]
    blocks = [b.strip("\n").splitlines() for b in re.findall(r"```\n(tests/data/ei_spectra_dev.msp:.*?)```", section,
                                                              re.S)][:2]  # the soft-bond table, then with --baseline
    counts = re.search(r"\(([\d,]+) against ([\d,]+) over the\s+56 spectra\)", section).groups()
    return blocks, [int(c.replace(",", "")) for c in counts]


def test_readme_scoring_table(tmp_path):
    (plain, with_baseline), (n_baseline, n_soft) = readme_blocks()
    out = tmp_path / "out.json"
    proc = run_python(["-m", "trelvanoxa.score", "tests/data/ei_spectra_dev.msp", "--baseline", "--jobs", "2",
                       "--json", str(out)], cwd=ROOT)
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert proc.stdout.splitlines() == with_baseline
    assert [line.split(" |")[0] for line in with_baseline[:1] + with_baseline[2:]] == plain
    spectra = json.loads(out.read_text())["spectra"]
    assert sum(len(s["predicted"]) for s in spectra) == n_soft
    assert sum(len(s["baseline"]["predicted"]) for s in spectra) == n_baseline
    assert [s["group"] for s in spectra].count("native") == 12


def write_msp(path, records):
    blocks = []
    for meta, peaks in records:
        lines = [f"{k}: {v}" for k, v in meta.items()] + [f"NUM PEAKS: {len(peaks)}"]
        blocks.append("\n".join(lines + [f"{mz}\t{i}" for mz, i in peaks]))
    path.write_text("\n\n".join(blocks) + "\n", encoding="utf-8")


PEAKS_PHCL = [(35, 50), (51, 150), (77, 600), (112, 1000)]
ODD = [({"NAME": "chlorobenzene", "SMILES": "Clc1ccccc1", "COMMENT": "native; test"}, PEAKS_PHCL),
       ({"NAME": "no structure", "COMMENT": "native"}, PEAKS_PHCL),
       ({"NAME": "empty", "SMILES": "CCO", "COMMENT": "native"}, []),
       ({"NAME": "from inchi", "INCHI": CHLOROBENZENE_INCHI, "SMILES": "", "COMMENT": "derivatized_full"}, PEAKS_PHCL),
       ({"NAME": "unreadable", "SMILES": "C1CC(", "COMMENT": "native"}, [(50, 1)])]


def test_odd_records_are_reported_and_skipped(tmp_path):
    write_msp(tmp_path / "odd.msp", ODD)
    problems = {r["name"]: r["problem"] for r in read_records(tmp_path / "odd.msp")}
    assert problems["no structure"].startswith("no structure") and problems["empty"] == "no peaks"
    assert problems["chlorobenzene"] is None and problems["from inchi"] is None

    out, png = tmp_path / "out.json", tmp_path / "png"
    proc = run_python(["-m", "trelvanoxa.score", str(tmp_path / "odd.msp"), "--json", str(out), "--png", str(png),
                       "--baseline", "--jobs", "2", "--generations", "1", "--top-k", "3"])
    assert proc.returncode == 1, proc.stderr
    assert "recall@3" in proc.stdout and all(name in proc.stderr for name in ("no structure", "empty", "unreadable"))
    data = json.loads(out.read_text())
    assert {s["name"] for s in data["skipped"]} == {"no structure", "empty", "unreadable"}
    assert [s["name"] for s in data["spectra"]] == ["chlorobenzene", "from inchi"]
    assert data["spectra"][0]["predicted"] == data["spectra"][1]["predicted"]
    assert set(data["baseline_summary"]["groups"]) == {"native", "derivatized_full"}
    assert data["summary"]["overall"]["chance"] == data["baseline_summary"]["overall"]["chance"] == pytest.approx(3 / 77)
    assert sorted(p.name for p in png.iterdir()) == ["000_chlorobenzene.png", "002_from_inchi.png"]


def test_exit_codes_and_mirror_plot(tmp_path):
    write_msp(tmp_path / "good.msp", ODD[:1])
    runner = CliRunner()
    ok = runner.invoke(score, [str(tmp_path / "good.msp"), "--generations", "0", "--no-ring"])
    assert ok.exit_code == 0 and re.search(r"overall\s+1\s+0\s+1\.000", ok.output), ok.output
    assert runner.invoke(score, [str(tmp_path / "missing.msp")]).exit_code == 2
    assert runner.invoke(score, [str(tmp_path / "good.msp"), "--top-k", "0"]).exit_code == 2

    path = mirror_plot(score_prediction(PEAKS, PREDICTION), tmp_path / "mirror.png", dpi=50)
    assert png_size(path)[0] > 0
