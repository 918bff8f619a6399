"""Reference tables, the validation suite, the halogen test and the triple-group demo.

Expected report lines are assembled here from the report rules (column widths,
separators, verdicts) with Python's own formatting; the analysis numbers that
go into them (LPI triples, fragment lists) come from VIF.
"""

import os
import resource
import signal
import struct
import subprocess
import sys
from pathlib import Path

import matplotlib.pyplot as plt
import numpy as np
import pytest
from matplotlib.colors import to_rgba

import trelvanoxa

SRC = Path(__file__).resolve().parents[1] / "src"
UNPARSABLE = "C1CC("
RULE62 = "=" * 62
RULE78 = "=" * 78
HALOGEN_COLORS = {"C": "red", "H": "skyblue", "Cl": "lightgreen", "O": "red", "N": "violet", "F": "yellow",
                  "Br": "brown"}


def script_env():
    return dict(os.environ, PYTHONPATH=str(SRC), MPLBACKEND="Agg")


def png_size(path):
    with open(path, "rb") as fh:
        head = fh.read(24)
    assert head[:8] == b"\x89PNG\r\n\x1a\n" and head[12:16] == b"IHDR"
    return struct.unpack(">II", head[16:24])


def analyse(smiles):
    return trelvanoxa.VIF(smiles, draw=False, verbose=False)


def lines(out):
    assert out.endswith("\n") or out == ""
    return out.splitlines()


# ------------------------------------------------------------------ tables


def test_biomolecules():
    assert trelvanoxa.BIOMOLECULES == ["water", "glucose", "glycine", "urea", "lactic acid", "adenine", "dopamine",
                                       "ascorbic acid", "acetic acid", "cytosine"]
    assert all(type(n) is str for n in trelvanoxa.BIOMOLECULES)


def test_halogen_tests_table():
    assert trelvanoxa.HALOGEN_TESTS == [
        ("chlorobenzene  (C-Cl)", "Clc1ccccc1", "exp: 112(M), 77(-Cl) base"),
        ("fluorobenzene  (C-F)", "Fc1ccccc1", "exp: 96(M) BASE \u2014 F NOT lost"),
        ("CCl4", "C(Cl)(Cl)(Cl)Cl", "exp: 117(CCl3) base, weak M"),
        ("CF4", "C(F)(F)(F)F", "exp: 69(CF3) base, no M"),
        ("methyl chloride", "CCl", "exp: 50(M), 15(CH3), 35(Cl)"),
        ("fluoromethane [ref]", "CF", "ref LPI {5,0,6}"),
        ("benzyl chloride", "ClCc1ccccc1", "exp: 91(tropylium, -Cl) base"),
        ("benzyl fluoride", "FCc1ccccc1", "exp: 109/90, F hard to lose"),
        ("o-dichlorobenzene", "Clc1ccccc1Cl", "exp: 146(M), 111(-Cl)"),
        ("p-dichlorobenzene", "Clc1ccc(Cl)cc1", "exp: 146(M), 111(-Cl)"),
        ("chloroform", "C(Cl)(Cl)Cl", "exp: 83(CHCl2) base"),
        ("acetyl chloride", "CC(=O)Cl", "exp: 43(CH3CO) base, -Cl"),
    ]
    assert all(type(row) is tuple and all(type(x) is str for x in row) for row in trelvanoxa.HALOGEN_TESTS)
    assert "\u2014" in trelvanoxa.HALOGEN_TESTS[1][2]


def test_lpi_references_table():
    assert trelvanoxa.LPI_REFERENCES == [
        ("water", "O", (3, 0, 3)),
        ("methanol", "CO", (6, 0, 6)),
        ("propane", "CCC", (10, 0, 10)),
        ("n-butane", "CCCC", (13, 0, 13)),
        ("methylamine", "CN", (6, 1, 6)),
        ("HF", "F", (2, 0, 3)),
        ("fluoromethane", "CF", (5, 0, 6)),
        ("ethylene", "C=C", (6, 0, 6)),
        ("benzene", "c1ccccc1", (15, 0, 15)),
        ("cyclohexane", "C1CCCCC1", (18, 0, 18)),
        ("aspirin", "CC(=O)OC1=CC=CC=C1C(=O)O", (26, 0, 34)),
    ]
    for row in trelvanoxa.LPI_REFERENCES:
        assert type(row) is tuple and type(row[2]) is tuple and all(type(x) is int for x in row[2])


def test_ms_references_table():
    assert trelvanoxa.MS_REFERENCES == [
        ("nitrobenzene", "c1ccc(cc1)[N+](=O)[O-]", 77),
        ("acetone oxime", "CC(=NO)C", 17),
    ]
    assert all(type(row) is tuple and type(row[2]) is int for row in trelvanoxa.MS_REFERENCES)
    assert trelvanoxa.MS_REFERENCES[0][1] == trelvanoxa.nitrobenzene


def test_import_order_of_public_names():
    names = list(vars(trelvanoxa))
    order = ["VIF", "PUBCHEM_REST", "fetch_smiles_from_pubchem", "VIF_from_pubchem", "BIOMOLECULES", "VIF_panel",
             "VIF_ms_panel", "triple_group_demo", "HALOGEN_TESTS", "halogen_test", "LPI_REFERENCES", "MS_REFERENCES",
             "validate", "diborane"]
    positions = [names.index(n) for n in order]
    assert positions == sorted(positions)
    assert positions[-1] - positions[0] == len(order) - 1


# ---------------------------------------------------------------- validate


def lpi_line(status, name, smi, expected, found):
    return f"  [{status}] {name:<12} {smi:<10} expected={expected}  found={found}"


def ms_line(status, name, mz, peaks):
    return f"  [{status}] {name:<14} m/z={mz} expected  found peaks={sorted(peaks, reverse=True)}"


def split_mz(r):
    return {t[2] for f in r["fragments"] if f["split"] for t in f["fragments"]}


def test_validate_report(capsys):
    assert trelvanoxa.validate() is True
    got = lines(capsys.readouterr().out)
    want = [RULE62, "LPI validation (Orvanel 1985)", RULE62]
    for name, smi, exp in trelvanoxa.LPI_REFERENCES:
        want.append(lpi_line("PASS", name, smi, exp, exp))
    want += [RULE62, "MS soft-bond validation (Keplur 2017)", RULE62]
    for name, smi, mz in trelvanoxa.MS_REFERENCES:
        peaks = split_mz(analyse(smi))
        assert mz in peaks
        want.append(ms_line("PASS", name, mz, peaks))
    want += [RULE62, "RESULT: ALL TESTS PASSED \u2713", RULE62]
    assert got == want
    # Written out by hand from the column rules.
    assert got[3] == "  [PASS] water        O          expected=(3, 0, 3)  found=(3, 0, 3)"
    assert got[9] == "  [PASS] fluoromethane CF         expected=(5, 0, 6)  found=(5, 0, 6)"
    assert got[13] == ("  [PASS] aspirin      CC(=O)OC1=CC=CC=C1C(=O)O expected=(26, 0, 34)  "
                       "found=(26, 0, 34)")
    assert got[17].startswith("  [PASS] nitrobenzene   m/z=77 expected  found peaks=[")
    assert got[18].startswith("  [PASS] acetone oxime  m/z=17 expected  found peaks=[")
    assert len(got) == 3 + 11 + 3 + 2 + 3


@pytest.mark.parametrize("flag", [False, 0, None, ""])
def test_validate_quiet(capsys, flag):
    assert trelvanoxa.validate(verbose=flag) is True
    assert capsys.readouterr().out == ""


def test_validate_without_ms_rows(capsys, monkeypatch):
    monkeypatch.setattr(trelvanoxa, "MS_REFERENCES", [])
    assert trelvanoxa.validate() is True
    got = lines(capsys.readouterr().out)
    assert got[-6:] == [RULE62, "MS soft-bond validation (Keplur 2017)", RULE62,
                        RULE62, "RESULT: ALL TESTS PASSED \u2713", RULE62]
    assert len(got) == 3 + 11 + 3 + 3


def test_validate_failing_lpi_row_still_runs_every_row(capsys, monkeypatch):
    monkeypatch.setattr(trelvanoxa, "LPI_REFERENCES", [
        ("water", "O", (3, 0, 3)),
        ("water?", "O", (4, 0, 2)),
        ("ethylene", "C=C", (6, 0, 6)),
    ])
    monkeypatch.setattr(trelvanoxa, "MS_REFERENCES", [
        ("acetone oxime", "CC(=NO)C", 17),
        ("water", "O", 18),
    ])
    assert trelvanoxa.validate() is False
    got = lines(capsys.readouterr().out)
    oxime = split_mz(analyse("CC(=NO)C"))
    assert got == [
        RULE62, "LPI validation (Orvanel 1985)", RULE62,
        "  [PASS] water        O          expected=(3, 0, 3)  found=(3, 0, 3)",
        "  [FAIL] water?       O          expected=(4, 0, 2)  found=(3, 0, 3)",
        "  [PASS] ethylene     C=C        expected=(6, 0, 6)  found=(6, 0, 6)",
        RULE62, "MS soft-bond validation (Keplur 2017)", RULE62,
        ms_line("PASS", "acetone oxime", 17, oxime),
        # Water has no soft bond, so no peaks at all.
        "  [FAIL] water          m/z=18 expected  found peaks=[]",
        RULE62, "RESULT: SOME TESTS FAILED \u2717", RULE62,
    ]
    assert trelvanoxa.validate(verbose=False) is False


def test_validate_unreadable_smiles_propagates(capsys, monkeypatch):
    monkeypatch.setattr(trelvanoxa, "LPI_REFERENCES", [("water", "O", (3, 0, 3)), ("bad", UNPARSABLE, (0, 0, 0))])
    with pytest.raises(TypeError):
        trelvanoxa.validate()
    got = lines(capsys.readouterr().out)
    assert got == [RULE62, "LPI validation (Orvanel 1985)", RULE62,
                   "  [PASS] water        O          expected=(3, 0, 3)  found=(3, 0, 3)"]


# ------------------------------------------------------------ halogen test


def halogen_report(rows, results):
    out = []
    for (ad, smi, note), (ad2, smi2, r) in zip(rows, results):
        assert (ad2, smi2) == (ad, smi)
        lpi = r["lpi"]
        cuts = [f for f in r["fragments"]
                if f["split"] and ("Cl" in f["bond"] or "F" in f["bond"] or "Br" in f["bond"])]
        cx = "; ".join(f["bond"] + "->" + ",".join(f"{t[0]}({t[2]})" for t in f["fragments"]) for f in cuts)
        triple = f"({lpi['n+']}, {lpi['n0']}, {lpi['n-']})"
        out.append(f"{ad:<24} LPI={triple:<12} | C-X: {cx or 'C-X does NOT cleave'}")
        out.append(" " * 24 + f" [{note}]")
    return out


HEADING = [RULE78, "SUBSTITUTED-HALOGEN TEST \u2014 K4 (square) representation", RULE78]


def check_halogen_figure(fig, entries, n_cols):
    assert len(fig.axes) == 2 * n_cols
    assert tuple(int(v) for v in fig.axes[0].get_subplotspec().get_geometry()[:2]) == (2, n_cols)
    assert fig.get_size_inches() == pytest.approx((5 * n_cols, 8.8))
    assert fig._suptitle.get_text() == "Substituted-halogen test (K4/square): structure (top) + MS (bottom)"
    assert fig._suptitle.get_fontsize() == 14
    # subplots(2, n) lists the axes row by row.
    top, bottom = fig.axes[:n_cols], fig.axes[n_cols:]
    for col, (ad, smi, r) in enumerate(entries[:n_cols]):
        axg, axs = top[col], bottom[col]
        lpi = r["lpi"]
        assert not axg.axison
        assert axg.get_title() == f"{ad}\nLPI = {{{lpi['n+']}, {lpi['n0']}, {lpi['n-']}}}"
        assert axg.title.get_fontsize() == 11
        assert axg.get_aspect() == 1.0
        H = r["graph"]
        want = [to_rgba(HALOGEN_COLORS.get(H.nodes[n]["symbol"], "gray"), 0.9) for n in H]
        assert np.allclose(axg.collections[0].get_facecolors(), want)
        assert list(axg.collections[0].get_sizes()) == [90]
        assert not axg.texts
        soft = {tuple(sorted((s["u_node"], s["v_node"]))) for s in r["soft_bonds"]}
        black = axg.collections[1]
        assert np.allclose(black.get_colors(), [to_rgba("black", 0.7)])
        assert list(black.get_linewidths()) == [0.8]
        assert len(black.get_segments()) == H.number_of_edges() - len(soft)
        if soft:
            red = axg.collections[2]
            assert np.allclose(red.get_colors(), [to_rgba("red", 0.9)])
            assert list(red.get_linewidths()) == [1.3]
            assert red.get_linestyles()[0][1] is not None
            assert len(red.get_segments()) == len(soft)
        assert axs.get_title() == "Trelvanoxa predicted EI-MS fragments: " + ad
        assert axs.title.get_fontsize() == 9


def test_halogen_test_default(capsys):
    default_file = Path("/tmp/vif_halojen.png")
    if default_file.exists():
        default_file.unlink()
    sonuc = trelvanoxa.halogen_test()
    got = lines(capsys.readouterr().out)
    rows = trelvanoxa.HALOGEN_TESTS
    assert len(sonuc) == 12
    assert [(ad, smi) for ad, smi, _ in sonuc] == [(ad, smi) for ad, smi, _ in rows]
    assert all(len(r) == 14 for _, _, r in sonuc)
    assert got == HEADING + halogen_report(rows, sonuc) + [RULE78, "Panel saved: /tmp/vif_halojen.png"]
    assert len(got) == 3 + 24 + 2

    # Pieces checked by hand against the column rules and the chemistry.
    first, note = got[3], got[4]
    assert first[:24] == "chlorobenzene  (C-Cl)   "
    assert first[24:29] == " LPI="
    lpi = sonuc[0][2]["lpi"]
    assert lpi["n+"] + lpi["n0"] + lpi["n-"] == 6 * 4 + 5 + 4  # six K4 carbons, five H, one K4 chlorine
    assert first[29:41] == f"({lpi['n+']}, {lpi['n0']}, {lpi['n-']})".ljust(12)
    assert first[41:].startswith(" | C-X: ")
    assert "Cl0-C1->C6H5(77),Cl(35)" in first  # 112 = 77 + 35
    assert note == "                         [exp: 112(M), 77(-Cl) base]"
    ccl4 = got[7]
    assert ccl4.startswith("CCl4" + " " * 20 + " LPI=")
    assert ccl4.count("->CCl3(117),Cl(35)") == 4  # CCl3 = 12 + 3 * 35
    assert ccl4.count("; ") == 3
    assert got[13] == "fluoromethane [ref]      LPI=(5, 0, 6)    | C-X: " + got[13].split(" | C-X: ")[1]
    assert got[14] == " " * 24 + " [ref LPI {5,0,6}]"

    fig = plt.gcf()
    check_halogen_figure(fig, sonuc, 4)
    w, h = png_size(default_file)
    assert 0.75 * 20 * 120 < w < 1.25 * 20 * 120
    assert 0.75 * 8.8 * 120 < h < 1.25 * 8.8 * 120


def test_halogen_test_more_panels_than_rows(capsys, tmp_path):
    rows = [("bromobenzene", "Brc1ccccc1", "exp: 156/158(M), 77(-Br) base"), ("methyllithium", "C[Li]", "no halogen")]
    out = tmp_path / "two.png"
    sonuc = trelvanoxa.halogen_test(rows, panel_n=10, save=str(out))
    got = lines(capsys.readouterr().out)
    assert got == HEADING + halogen_report(rows, sonuc) + [RULE78, "Panel saved: " + str(out)]
    # The C-Br cut is a C-X cut; methyllithium has none.
    assert "Br0-C1->" in got[3] and "Br(79)" in got[3]
    assert got[5].endswith(" | C-X: C-X does NOT cleave")
    fig = plt.gcf()
    check_halogen_figure(fig, sonuc, 2)
    colors = fig.axes[0].collections[0].get_facecolors()
    H = sonuc[0][2]["graph"]
    br = [i for i, n in enumerate(H) if H.nodes[n]["symbol"] == "Br"]
    assert br and np.allclose(colors[br], to_rgba("brown", 0.9))
    H = sonuc[1][2]["graph"]
    li = [i for i, n in enumerate(H) if H.nodes[n]["symbol"] == "Li"]
    assert li and np.allclose(fig.axes[1].collections[0].get_facecolors()[li], to_rgba("gray", 0.9))
    w, h = png_size(out)
    assert 0.75 * 10 * 120 < w < 1.25 * 10 * 120


def test_halogen_test_panel_n_none_and_table_read_at_call_time(capsys, monkeypatch, tmp_path):
    rows = [("methyl chloride", "CCl", "a"), ("chloroform", "C(Cl)(Cl)Cl", "b"), ("CF4", "C(F)(F)(F)F", "c")]
    monkeypatch.setattr(trelvanoxa, "HALOGEN_TESTS", rows)
    sonuc = trelvanoxa.halogen_test(panel_n=None, save=None)
    assert [ad for ad, _, _ in sonuc] == ["methyl chloride", "chloroform", "CF4"]
    check_halogen_figure(plt.gcf(), sonuc, 3)
    assert lines(capsys.readouterr().out) == HEADING + halogen_report(rows, sonuc)


def test_halogen_test_without_saving(capsys, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    rows = trelvanoxa.HALOGEN_TESTS[:2]
    sonuc = trelvanoxa.halogen_test(rows, save=None)
    got = lines(capsys.readouterr().out)
    assert got == HEADING + halogen_report(rows, sonuc)
    assert os.listdir(tmp_path) == []
    check_halogen_figure(plt.gcf(), sonuc, 2)
    trelvanoxa.halogen_test(rows, save="")
    assert lines(capsys.readouterr().out)[-1] == " " * 24 + " [" + rows[1][2] + "]"
    assert os.listdir(tmp_path) == []


def test_halogen_test_unreadable_row(capsys, tmp_path):
    out = tmp_path / "h.png"
    rows = [("methyl chloride", "CCl", "first"), ("garbage", UNPARSABLE, "second"), ("chloroform", "C(Cl)(Cl)Cl", "x")]
    with pytest.raises(TypeError):
        trelvanoxa.halogen_test(rows, save=str(out))
    got = lines(capsys.readouterr().out)
    assert got == HEADING + halogen_report(rows[:1], [("methyl chloride", "CCl", analyse("CCl"))])
    assert not out.exists()


def test_halogen_test_zero_panels(capsys, tmp_path):
    out = tmp_path / "h.png"
    rows = [("methyl chloride", "CCl", "n")]
    with pytest.raises(ValueError, match="columns"):
        trelvanoxa.halogen_test(rows, panel_n=0, save=str(out))
    first = [("methyl chloride", "CCl", analyse("CCl"))]
    assert lines(capsys.readouterr().out) == HEADING + halogen_report(rows, first)
    assert not out.exists()
    with pytest.raises(ValueError):
        trelvanoxa.halogen_test([], save=str(out))


@pytest.mark.parametrize("where", ["missing_dir", "is_a_dir"])
def test_halogen_test_unwritable_save(capsys, tmp_path, where):
    rows = [("methyl chloride", "CCl", "n")]
    if where == "missing_dir":
        target = tmp_path / "missing" / "h.png"
        with pytest.raises(FileNotFoundError):
            trelvanoxa.halogen_test(rows, save=str(target))
        assert not target.parent.exists()
    else:
        target = tmp_path / "dir.png"
        target.mkdir()
        with pytest.raises(IsADirectoryError):
            trelvanoxa.halogen_test(rows, save=str(target))
        assert target.is_dir() and os.listdir(target) == []
    got = lines(capsys.readouterr().out)
    assert "Panel saved" not in "\n".join(got)
    assert got[-1] == " " * 24 + " [n]"
    assert os.listdir(tmp_path) == ([] if where == "missing_dir" else ["dir.png"])


def test_halogen_test_write_cut_short_leaves_no_partial_file(tmp_path):
    # The file-size limit stops the PNG part-way; an earlier image at that
    # path has already been truncated, so neither it nor the torso may remain.
    old = tmp_path / "old.png"
    old.write_bytes(b"previous image")
    fresh = tmp_path / "fresh.png"
    noext = tmp_path / "noext"
    code = (
        "import resource, signal, sys, trelvanoxa\n"
        "rows = [('methyl chloride', 'CCl', 'n')]\n"
        "trelvanoxa.halogen_test(rows, save=None)  # element data and fonts loaded before the limit\n"
        "signal.signal(signal.SIGXFSZ, signal.SIG_IGN)\n"
        "resource.setrlimit(resource.RLIMIT_FSIZE, (4000, resource.RLIM_INFINITY))\n"
        "for path in sys.argv[1:]:\n"
        "    try:\n"
        "        trelvanoxa.halogen_test(rows, save=path)\n"
        "    except OSError as e:\n"
        "        print('error', e.errno)\n"
    )
    run = subprocess.run([sys.executable, "-c", code, str(old), str(fresh), str(noext)], capture_output=True,
                         text=True, env=script_env(), check=True)
    errors = [line for line in run.stdout.splitlines() if line.startswith("error")]
    assert errors == ["error 27"] * 3  # EFBIG
    assert "Panel saved" not in run.stdout
    assert os.listdir(tmp_path) == []


# ------------------------------------------------------- triple-group demo

DEMO = "N#Cc1ccc(cc1)N=Nc1ccc(cc1)Cl"


def demo_lines(r, prefix=None):
    lpi = r["lpi"]
    out = [f"Molecule : {DEMO}", f"M+ = {round(r['mol_mass'])}   LPI = {{{lpi['n+']}, {lpi['n0']}, {lpi['n-']}}}",
           "Fragments (single-cut):"]
    for f in r["fragments"]:
        if f["split"]:
            out.append(f"   {f['bond']:>10}  ->  " + ", ".join(f"{t[0]}({t[2]})" for t in f["fragments"]))
    if prefix:
        out.append(f"Saved: {prefix}_graph.png , {prefix}_ms.png")
    return out


def test_triple_group_demo_saves_both_figures(capsys, tmp_path):
    prefix = str(tmp_path / "demo")
    r = trelvanoxa.triple_group_demo(save_prefix=prefix)
    got = lines(capsys.readouterr().out)
    assert list(r) == ["lpi", "soft_bonds", "fragments", "graph", "chem_bonds", "atom_subgraphs", "pos", "mol_mass",
                       "mol_mass_avg"]
    assert got == demo_lines(r, prefix)
    # C13H8ClN3: 13*12 + 8 + 35 + 3*14 = 241.
    assert got[1].startswith("M+ = 241   LPI = {")
    assert "     C13-Cl16  ->  C13H8N3(206), Cl(35)" in got  # 241 - 35, label right-aligned in 10
    graph_png, ms_png = Path(prefix + "_graph.png"), Path(prefix + "_ms.png")
    gw, gh = png_size(graph_png)
    mw, mh = png_size(ms_png)
    # The graph figure is 12 x 10 inches, the spectrum 11 x 5.5, both at 140 dpi.
    assert 0.75 * 12 * 140 < gw < 1.25 * 12 * 140 and 0.75 * 10 * 140 < gh < 1.25 * 10 * 140
    assert 0.75 * 11 * 140 < mw < 1.25 * 11 * 140 and 0.75 * 5.5 * 140 < mh < 1.25 * 5.5 * 140
    assert len(plt.get_fignums()) == 2


@pytest.mark.parametrize("prefix", [None, ""])
def test_triple_group_demo_without_saving(capsys, tmp_path, monkeypatch, prefix):
    monkeypatch.chdir(tmp_path)
    r = trelvanoxa.triple_group_demo(save_prefix=prefix)
    assert lines(capsys.readouterr().out) == demo_lines(r)
    assert os.listdir(tmp_path) == []


def test_triple_group_demo_default_files(capsys):
    files = [Path("/tmp/vif_kombine_graph.png"), Path("/tmp/vif_kombine_ms.png")]
    for f in files:
        if f.exists():
            f.unlink()
    trelvanoxa.triple_group_demo()
    assert lines(capsys.readouterr().out)[-1] == "Saved: /tmp/vif_kombine_graph.png , /tmp/vif_kombine_ms.png"
    for f in files:
        png_size(f)


# ---------------------------------------------------------- script entry


def test_module_as_script_runs_the_halogen_test(tmp_path):
    target = Path("/tmp/vif_halogen.png")
    if target.exists():
        target.unlink()
    run = subprocess.run([sys.executable, "-m", "trelvanoxa"], capture_output=True, text=True, env=script_env(),
                         cwd=tmp_path, check=True)
    out = run.stdout.splitlines()
    assert out[:3] == HEADING
    assert len(out) == 3 + 24 + 2
    assert out[-2:] == [RULE78, "Panel saved: /tmp/vif_halogen.png"]
    w, h = png_size(target)
    assert 0.75 * 20 * 120 < w < 1.25 * 20 * 120
    assert os.listdir(tmp_path) == []
