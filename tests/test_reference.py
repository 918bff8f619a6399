"""Reference tables, the validation suite, the halogen test, the triple-group demo and the script entry."""

import os
from pathlib import Path

import matplotlib.pyplot as plt
import numpy as np
import pytest
from matplotlib.colors import to_rgba

import trelvanoxa
from helpers import analyse, png_size, run_python

R62, R78 = "=" * 62, "=" * 78
HEADING = [R78, "SUBSTITUTED-HALOGEN TEST — K4 (square) representation", R78]
COLOURS = {"C": "red", "H": "skyblue", "Cl": "lightgreen", "O": "red", "N": "violet", "F": "yellow", "Br": "brown"}


def lines(capsys):
    return capsys.readouterr().out.splitlines()


def test_validate_report(capsys):
    assert trelvanoxa.validate() is True
    got = lines(capsys)
    # each found triple adds up to the molecule's node count: 4 per C/N/O/F and 1 per H (aspirin 13 * 4 + 8)
    lpi = [("water", "O", "(3, 0, 3)"), ("methanol", "CO", "(6, 0, 6)"), ("propane", "CCC", "(10, 0, 10)"),
           ("n-butane", "CCCC", "(13, 0, 13)"), ("methylamine", "CN", "(6, 1, 6)"), ("HF", "F", "(2, 0, 3)"),
           ("fluoromethane", "CF", "(5, 0, 6)"), ("ethylene", "C=C", "(6, 0, 6)"),
           ("benzene", "c1ccccc1", "(15, 0, 15)"), ("cyclohexane", "C1CCCCC1", "(18, 0, 18)"),
           ("aspirin", "CC(=O)OC1=CC=CC=C1C(=O)O", "(26, 0, 34)")]
    assert got[:14] == [R62, "LPI validation (Orvanel 1985)", R62] + [
        f"  [PASS] {n:<12} {s:<10} expected={t}  found={t}" for n, s, t in lpi]
    assert got[3] == "  [PASS] water        O          expected=(3, 0, 3)  found=(3, 0, 3)"
    assert got[9] == "  [PASS] fluoromethane CF         expected=(5, 0, 6)  found=(5, 0, 6)"  # name overflows
    # nitrobenzene loses NO2 (C6H5, 77); the oxime loses OH (17) and keeps C3H6N (56)
    nitro = sorted({t[2] for f in analyse(trelvanoxa.nitrobenzene)["fragments"] if f["split"] for t in f["fragments"]})
    assert 77 in nitro
    assert got[14:] == [R62, "MS soft-bond validation (Keplur 2017)", R62,
                        f"  [PASS] nitrobenzene   m/z=77 expected  found peaks={nitro[::-1]}",
                        "  [PASS] acetone oxime  m/z=17 expected  found peaks=[56, 17]",
                        R62, "RESULT: ALL TESTS PASSED ✓", R62]
    assert trelvanoxa.validate(verbose=False) is trelvanoxa.validate(verbose=None) is True
    assert capsys.readouterr().out == ""


def test_validate_failures_and_tables_read_at_call_time(capsys, monkeypatch):
    monkeypatch.setattr(trelvanoxa, "LPI_REFERENCES", [("water", "O", (3, 0, 3)), ("water?", "O", (4, 0, 2))])
    monkeypatch.setattr(trelvanoxa, "MS_REFERENCES", [("water", "O", 18), ("acetone oxime", "CC(=NO)C", 17)])
    assert trelvanoxa.validate() is False
    assert lines(capsys) == [
        R62, "LPI validation (Orvanel 1985)", R62,
        "  [PASS] water        O          expected=(3, 0, 3)  found=(3, 0, 3)",
        "  [FAIL] water?       O          expected=(4, 0, 2)  found=(3, 0, 3)",
        R62, "MS soft-bond validation (Keplur 2017)", R62,
        "  [FAIL] water          m/z=18 expected  found peaks=[]",  # water has no soft bond
        "  [PASS] acetone oxime  m/z=17 expected  found peaks=[56, 17]",
        R62, "RESULT: SOME TESTS FAILED ✗", R62]
    assert trelvanoxa.validate(verbose=False) is False
    monkeypatch.setattr(trelvanoxa, "LPI_REFERENCES", [("water", "O", (3, 0, 3))])
    monkeypatch.setattr(trelvanoxa, "MS_REFERENCES", [])
    assert trelvanoxa.validate() is True
    assert lines(capsys)[4:] == [R62, "MS soft-bond validation (Keplur 2017)", R62, R62, "RESULT: ALL TESTS PASSED ✓",
                                 R62]
    monkeypatch.setattr(trelvanoxa, "LPI_REFERENCES", [("water", "O", (3, 0, 3)), ("bad", "C1CC(", (0, 0, 0))])
    with pytest.raises(TypeError):  # the failure text of VIF has no "lpi"
        trelvanoxa.validate()
    assert len(lines(capsys)) == 4


def halogen_lines(rows, results):
    """Report lines assembled from the column rules and each row's own record."""
    out = []
    for (ad, smi, note), (ad2, smi2, r) in zip(rows, results):
        assert (ad2, smi2) == (ad, smi)
        cuts = [f["bond"] + "->" + ",".join(f"{t[0]}({t[2]})" for t in f["fragments"]) for f in r["fragments"]
                if f["split"] and any(x in f["bond"] for x in ("Cl", "F", "Br"))]
        lpi = "(%d, %d, %d)" % (r["lpi"]["n+"], r["lpi"]["n0"], r["lpi"]["n-"])
        out += [f"{ad:<24} LPI={lpi:<12} | C-X: {'; '.join(cuts) or 'C-X does NOT cleave'}", " " * 24 + f" [{note}]"]
    return out


def check_halogen_figure(results, n_cols, shown):
    """The one figure shown by the last halogen_test call, closed after it was shown."""
    (fig,) = shown.pop()
    assert plt.get_fignums() == [] and not shown
    assert fig.axes[0].get_subplotspec().get_geometry()[:2] == (2, n_cols) and len(fig.axes) == 2 * n_cols
    assert tuple(fig.get_size_inches()) == pytest.approx((5 * n_cols, 8.8)) and fig._suptitle.get_fontsize() == 14
    assert fig._suptitle.get_text() == "Substituted-halogen test (K4/square): structure (top) + MS (bottom)"
    for col, (ad, smi, r) in enumerate(results[:n_cols]):
        axg, axs, H, lpi = fig.axes[col], fig.axes[n_cols + col], r["graph"], r["lpi"]
        assert not axg.axison and axg.get_aspect() == 1.0 and not axg.texts and axg.title.get_fontsize() == 11
        assert axg.get_title() == f"{ad}\nLPI = {{{lpi['n+']}, {lpi['n0']}, {lpi['n-']}}}"
        nodes, black, *red = axg.collections
        assert np.allclose(nodes.get_facecolors(), [to_rgba(COLOURS.get(H.nodes[n]["symbol"], "gray"), 0.9) for n in H])
        soft = {frozenset((s["u_node"], s["v_node"])) for s in r["soft_bonds"]}
        assert list(nodes.get_sizes()) == [90] and list(black.get_linewidths()) == [0.8] and len(red) == bool(soft)
        assert np.allclose(black.get_colors(), [to_rgba("black", 0.7)]) and len(black.get_segments()) == len(
            H.edges) - len(soft)
        for coll in red:
            assert np.allclose(coll.get_colors(), [to_rgba("red", 0.9)]) and list(coll.get_linewidths()) == [1.3]
            assert coll.get_linestyles()[0][1] is not None and len(coll.get_segments()) == len(soft)
        assert (axs.get_title(), axs.title.get_fontsize()) == ("Trelvanoxa predicted EI-MS fragments: " + ad, 9)


def test_halogen_test_default(capsys, shown):
    target = Path("/tmp/vif_halojen.png")
    target.unlink(missing_ok=True)
    sonuc = trelvanoxa.halogen_test()
    got = lines(capsys)
    assert len(sonuc) == 12 and all(len(r) == 14 for _, _, r in sonuc)
    assert got == HEADING + halogen_lines(trelvanoxa.HALOGEN_TESTS, sonuc) + [R78, "Panel saved: " + str(target)]
    # Hand-checked pieces: six K4 carbons, five H and a K4 chlorine; 112 = 77 + 35; CCl3 = 12 + 3 * 35.
    assert got[3].startswith("chlorobenzene  (C-Cl)    LPI=(") and sum(sonuc[0][2]["lpi"][k] for k in
                                                                      ("n+", "n0", "n-")) == 6 * 4 + 5 + 4
    assert "Cl0-C1->C6H5(77),Cl(35)" in got[3] and got[4] == " " * 24 + " [exp: 112(M), 77(-Cl) base]"
    assert got[7].count("->CCl3(117),Cl(35)") == 4 and got[7].count("; ") == 3
    assert got[13].startswith("fluoromethane [ref]      LPI=(5, 0, 6)    | C-X: ")
    check_halogen_figure(sonuc, 4, shown)
    w, h = png_size(target)
    assert 0.75 * 20 * 120 < w < 1.25 * 20 * 120 and 0.75 * 8.8 * 120 < h < 1.25 * 8.8 * 120


def test_halogen_test_rows_panels_and_saving(capsys, tmp_path, monkeypatch, shown):
    rows = [("bromobenzene", "Brc1ccccc1", "exp: 156/158(M), 77(-Br) base"), ("methyllithium", "C[Li]", "none")]
    out = tmp_path / "two.png"
    sonuc = trelvanoxa.halogen_test(rows, panel_n=10, save=str(out))
    got = lines(capsys)
    assert got == HEADING + halogen_lines(rows, sonuc) + [R78, "Panel saved: " + str(out)]
    assert "Br0-C1->" in got[3] and "Br(79)" in got[3] and got[5].endswith(" | C-X: C-X does NOT cleave")
    check_halogen_figure(sonuc, 2, shown)  # Br brown, Li gray in this colour map
    assert 0.75 * 10 * 120 < png_size(out)[0] < 1.25 * 10 * 120
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(trelvanoxa, "HALOGEN_TESTS", [("methyl chloride", "CCl", "a"), ("CF4", "C(F)(F)(F)F", "b")])
    for save in (None, ""):
        sonuc = trelvanoxa.halogen_test(panel_n=None, save=save)
        assert lines(capsys) == HEADING + halogen_lines(trelvanoxa.HALOGEN_TESTS, sonuc)
        check_halogen_figure(sonuc, 2, shown)
    assert os.listdir(tmp_path) == ["two.png"]


@pytest.mark.parametrize("rows,panel_n,error", [
    ([("methyl chloride", "CCl", "n"), ("garbage", "C1CC(", "x"), ("CF4", "C(F)(F)(F)F", "y")], 4, ValueError),
    ([("methyl chloride", "CCl", "n")], 0, ValueError), ([], 4, ValueError),
    ([("methyl chloride", "CCl", "n")], 4, FileNotFoundError),
])
def test_halogen_test_failures_save_nothing(capsys, tmp_path, rows, panel_n, error):
    out = tmp_path / ("missing/h.png" if error is FileNotFoundError else "h.png")
    with pytest.raises(error):
        trelvanoxa.halogen_test(rows, panel_n=panel_n, save=str(out))
    first = halogen_lines(rows[:1], [("methyl chloride", "CCl", analyse("CCl"))]) if rows else []
    assert lines(capsys) == HEADING + first and os.listdir(tmp_path) == []  # rows so far, no "Panel saved"


def test_triple_group_demo(capsys, tmp_path, monkeypatch, shown):
    files = [Path("/tmp/vif_kombine_graph.png"), Path("/tmp/vif_kombine_ms.png")]
    for f in files:
        f.unlink(missing_ok=True)
    r = trelvanoxa.triple_group_demo()
    lpi, got = r["lpi"], lines(capsys)
    assert list(r) == ["lpi", "soft_bonds", "fragments", "graph", "chem_bonds", "atom_subgraphs", "pos", "mol_mass",
                       "mol_mass_avg"] and plt.get_fignums() == []
    (graph_fig,), (graph_again, ms_fig) = shown  # the graph is shown as VIF shows it, then both; then closed
    assert graph_again is graph_fig and [tuple(f.get_size_inches()) for f in shown[1]] == [(12, 10), (11, 5.5)]
    cuts = [f"   {f['bond']:>10}  ->  " + ", ".join(f"{t[0]}({t[2]})" for t in f["fragments"])
            for f in r["fragments"] if f["split"]]
    assert got == ["Molecule : N#Cc1ccc(cc1)N=Nc1ccc(cc1)Cl", f"M+ = 241   LPI = {{{lpi['n+']}, {lpi['n0']}, "
                   f"{lpi['n-']}}}", "Fragments (single-cut):"] + cuts + [
        "Saved: /tmp/vif_kombine_graph.png , /tmp/vif_kombine_ms.png"]  # C13H8ClN3: 156 + 8 + 35 + 42 = 241
    assert "     C13-Cl16  ->  C13H8N3(206), Cl(35)" in got  # 241 - 35, label right-aligned in 10
    (gw, gh), (mw, mh) = png_size(files[0]), png_size(files[1])
    assert 0.75 * 12 * 140 < gw < 1.25 * 12 * 140 and 0.75 * 10 * 140 < gh < 1.25 * 10 * 140  # the VIF drawing
    assert 0.75 * 11 * 140 < mw < 1.25 * 11 * 140 and 0.75 * 5.5 * 140 < mh < 1.25 * 5.5 * 140
    monkeypatch.chdir(tmp_path)
    for empty in (None, ""):
        trelvanoxa.triple_group_demo("CN", save_prefix=empty)
        assert lines(capsys) == ["Molecule : CN", "M+ = 31   LPI = {6, 1, 6}", "Fragments (single-cut):",
                                 "        C0-N1  ->  H2N(16), CH3(15)"] + [
            f"        {b}  ->  CH4N(30), H(1)" for b in ("C0-H2", "C0-H3", "C0-H4", "N1-H5", "N1-H6")]
    assert os.listdir(tmp_path) == []


def test_script_entry(tmp_path):
    target = Path("/tmp/vif_halogen.png")
    target.unlink(missing_ok=True)
    run = run_python(["-m", "trelvanoxa"], cwd=tmp_path)
    out = run.stdout.splitlines()
    assert run.returncode == 0, run.stderr[-2000:]
    assert out[:3] == HEADING and len(out) == 3 + 24 + 2 and out[-2:] == [R78, "Panel saved: /tmp/vif_halogen.png"]
    assert 0.75 * 20 * 120 < png_size(target)[0] < 1.25 * 20 * 120 and os.listdir(tmp_path) == []


def test_demos_refuse_unreadable_smiles_and_save_nothing(capsys, tmp_path, shown):
    mine = plt.figure(figsize=(2, 2))  # an unrelated open figure is neither saved nor closed
    with pytest.raises(ValueError, match=r"SMILES okunamadı! 'C1CC\('"):
        trelvanoxa.triple_group_demo("C1CC(", save_prefix=str(tmp_path / "p"))
    rows = [("methyl chloride", "CCl", "n"), ("garbage", "C1CC(", "x")]
    with pytest.raises(ValueError, match=r"SMILES okunamadı! 'C1CC\(' \(garbage\)"):
        trelvanoxa.halogen_test(rows, save=str(tmp_path / "h.png"))
    assert lines(capsys) == HEADING + halogen_lines(rows[:1], [("methyl chloride", "CCl", analyse("CCl"))])
    assert os.listdir(tmp_path) == [] and plt.get_fignums() == [mine.number] and not shown


def test_demo_files_are_their_own_figures(capsys, tmp_path, shown):
    mine = plt.figure(figsize=(2, 2))
    prefix = tmp_path / "cn"
    r = trelvanoxa.triple_group_demo("CN", save_prefix=prefix)
    assert lines(capsys)[-1] == f"Saved: {prefix}_graph.png , {prefix}_ms.png" and len(r) == 9
    (gw, gh), (mw, mh) = png_size(f"{prefix}_graph.png"), png_size(f"{prefix}_ms.png")
    assert gw > 4 * 2 * 140 and mw > 4 * 2 * 140  # the drawing and the spectrum, not the 2-inch figure
    assert plt.get_fignums() == [mine.number] and [len(s) for s in shown] == [2, 3]
    with pytest.raises(FileNotFoundError, match="missing"):  # checked before anything is analysed or drawn
        trelvanoxa.triple_group_demo("CN", save_prefix=tmp_path / "missing" / "p")
    assert lines(capsys) == [] and plt.get_fignums() == [mine.number]
    assert sorted(os.listdir(tmp_path)) == ["cn_graph.png", "cn_ms.png"]


def test_halogen_test_prints_the_file_it_wrote(capsys, tmp_path, shown):
    trelvanoxa.halogen_test([("$\\bad{$ chloride", "CCl", "$x$")], save=str(tmp_path / "panel"))
    assert lines(capsys)[-1] == f"Panel saved: {tmp_path / 'panel.png'}" and os.listdir(tmp_path) == ["panel.png"]
    (fig,) = shown[0]
    assert fig.axes[0].get_title() == "$\\bad{$ chloride\nLPI = {5, 0, 6}" and plt.get_fignums() == []
    assert png_size(tmp_path / "panel.png")[0] > 0
