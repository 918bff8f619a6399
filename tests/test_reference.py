"""The validation suite, the halogen test and the triple-group demo."""

import os

import matplotlib.pyplot as plt
import pytest

import trelvanoxa
from helpers import png_size

R62, R78 = "=" * 62, "=" * 78
HEADING = [R78, "SUBSTITUTED-HALOGEN TEST — K4 (square) representation", R78]


def lines(capsys):
    return capsys.readouterr().out.splitlines()


def test_validate_report_and_tables_read_at_call_time(capsys, monkeypatch):
    assert trelvanoxa.validate() is True
    got = lines(capsys)
    assert got[:4] == [R62, "LPI validation (Orvanel 1985)", R62,
                       "  [PASS] water        O          expected=(3, 0, 3)  found=(3, 0, 3)"]
    assert got[9] == "  [PASS] fluoromethane CF         expected=(5, 0, 6)  found=(5, 0, 6)"  # name overflows
    # the oxime loses OH (17) and keeps C3H6N (56)
    assert got[14:17] + got[18:] == [R62, "MS soft-bond validation (Keplur 2017)", R62,
                                     "  [PASS] acetone oxime  m/z=17 expected  found peaks=[56, 17]",
                                     R62, "RESULT: ALL TESTS PASSED ✓", R62]
    assert trelvanoxa.validate(verbose=False) is True and capsys.readouterr().out == ""
    monkeypatch.setattr(trelvanoxa, "LPI_REFERENCES", [("water?", "O", (4, 0, 2))])
    monkeypatch.setattr(trelvanoxa, "MS_REFERENCES", [("water", "O", 18), ("acetone oxime", "CC(=NO)C", 17)])
    assert trelvanoxa.validate() is False
    assert lines(capsys)[3:] == [
        "  [FAIL] water?       O          expected=(4, 0, 2)  found=(3, 0, 3)",
        R62, "MS soft-bond validation (Keplur 2017)", R62,
        "  [FAIL] water          m/z=18 expected  found peaks=[]",  # water has no soft bond
        "  [PASS] acetone oxime  m/z=17 expected  found peaks=[56, 17]",
        R62, "RESULT: SOME TESTS FAILED ✗", R62]


def test_halogen_test(capsys, tmp_path, shown):
    rows = [("chlorobenzene", "Clc1ccccc1", "exp: 112(M), 77(-Cl) base"), ("methyllithium", "C[Li]", "none"),
            ("CCl4", "ClC(Cl)(Cl)Cl", "x")]
    out = tmp_path / "panel"
    sonuc = trelvanoxa.halogen_test(rows, panel_n=2, save=str(out))
    got = lines(capsys)
    # six K4 carbons, five H and a K4 chlorine: 33 nodes; 112 = 77 + 35; CCl3 = 12 + 3 * 35
    assert got[:3] == HEADING and got[-2:] == [R78, f"Panel saved: {tmp_path / 'panel.png'}"] and len(got) == 11
    assert got[3] == "chlorobenzene            LPI=(15, 0, 18)  | C-X: Cl0-C1->C6H5(77),Cl(35)"
    assert got[4] == " " * 24 + " [exp: 112(M), 77(-Cl) base]"
    assert got[5].startswith("methyllithium            LPI=(") and got[5].endswith(" | C-X: C-X does NOT cleave")
    assert got[7].count("->CCl3(117),Cl(35)") == 4 and got[7].count("; ") == 3
    assert [r[:2] for r in sonuc] == [r[:2] for r in rows] and sonuc[0][2]["lpi"]["n-"] == 18
    (fig,) = shown.pop()  # one figure, shown, then closed
    assert plt.get_fignums() == [] and len(fig.axes) == 4 and os.listdir(tmp_path) == ["panel.png"]
    assert 0.75 * 10 * 120 < png_size(tmp_path / "panel.png")[0] < 1.25 * 10 * 120
    with pytest.raises(ValueError, match=r"SMILES okunamadı! 'C1CC\(' \(garbage\)"):  # rows so far, nothing saved
        trelvanoxa.halogen_test(rows[:1] + [("garbage", "C1CC(", "x")], save=str(tmp_path / "h.png"))
    assert lines(capsys)[:4] == got[:4] and os.listdir(tmp_path) == ["panel.png"]


def test_triple_group_demo(capsys, tmp_path, shown):
    r = trelvanoxa.triple_group_demo(save_prefix=tmp_path / "k")
    got = lines(capsys)
    assert got[:3] == ["Molecule : N#Cc1ccc(cc1)N=Nc1ccc(cc1)Cl", "M+ = 241   LPI = {%d, %d, %d}" % tuple(
        r["lpi"][k] for k in ("n+", "n0", "n-")), "Fragments (single-cut):"]  # C13H8ClN3: 156 + 8 + 35 + 42
    assert "     C13-Cl16  ->  C13H8N3(206), Cl(35)" in got  # 241 - 35, label right-aligned in 10
    assert got[-1] == f"Saved: {tmp_path}/k_graph.png , {tmp_path}/k_ms.png" and plt.get_fignums() == []
    assert png_size(tmp_path / "k_graph.png")[0] > 500 and png_size(tmp_path / "k_ms.png")[0] > 500
    trelvanoxa.triple_group_demo("CN", save_prefix=None)
    assert lines(capsys) == ["Molecule : CN", "M+ = 31   LPI = {6, 1, 6}", "Fragments (single-cut):",
                             "        C0-N1  ->  H2N(16), CH3(15)"] + [
        f"        {b}  ->  CH4N(30), H(1)" for b in ("C0-H2", "C0-H3", "C0-H4", "N1-H5", "N1-H6")]
    with pytest.raises(ValueError, match=r"SMILES okunamadı! 'C1CC\('"):
        trelvanoxa.triple_group_demo("C1CC(", save_prefix=str(tmp_path / "p"))
    assert sorted(os.listdir(tmp_path)) == ["k_graph.png", "k_ms.png"]
