"""Multi-molecule panels with real RDKit molecules, real matplotlib (Agg) and a local PubChem."""

import os

import matplotlib.pyplot as plt
import numpy as np
import pytest
from matplotlib.colors import to_rgba

import trelvanoxa
from helpers import analyse, png_size, triple

COLOURS = {"C": "red", "Li": "orange", "H": "skyblue", "Cl": "lightgreen", "O": "red", "B": "pink", "N": "violet",
           "F": "yellow", "S": "gold", "P": "darkorange"}
BROKEN = "C1CC("  # RDKit gives no molecule


def grid(fig):
    return (tuple(int(v) for v in fig.axes[0].get_subplotspec().get_geometry()[:2]),
            tuple(round(float(x), 9) for x in fig.get_size_inches()))


def cells(fig):
    return [(ax.get_title(), ax.title.get_color(), ax.axison) for ax in fig.axes]


@pytest.fixture
def calls(monkeypatch):
    """Arguments of every VIF call (the real VIF runs) and the open figures at every show."""
    log = {"vif": [], "show": []}
    real_vif, real_show = trelvanoxa.VIF, plt.show
    monkeypatch.setattr(trelvanoxa, "VIF", lambda *a, **k: log["vif"].append((a, k)) or real_vif(*a, **k))
    monkeypatch.setattr(plt, "show", lambda *a, **k: log["show"].append(plt.get_fignums()) or real_show(*a, **k))
    return log


def test_graph_panel_from_smiles(calls):
    mols = ["O", "Clc1ccccc1", BROKEN, "CF", "C[Li]", "CCl", "C=C"]
    fig = trelvanoxa.VIF_panel(mols, by="smiles", node_size=45)
    assert grid(fig) == ((2, 5), (16.0, 6.8))
    assert (fig._suptitle.get_text(), fig._suptitle.get_fontsize(), fig._suptitle.get_position()[1]) == (
        "VIF analysis — key molecules in human biochemistry", 13, 0.99)
    assert calls["vif"] == [((m,), {"draw": False, "verbose": False, "bond_kappa": 0.9}) for m in mols]
    assert calls["show"] == [[fig.number]]
    seg = lambda c: {frozenset(map(tuple, s.round(9).tolist())) for s in c.get_segments()}  # noqa: E731
    for ax, smi in zip(fig.axes, mols):
        assert not ax.axison and ax.title.get_fontsize() == 9 and not ax.texts
        if smi == BROKEN:
            assert (ax.get_title(), ax.title.get_color(), len(ax.collections)) == (BROKEN + "\n(error)", "gray", 0)
            continue
        r = analyse(smi)
        H, pos, lpi = r["graph"], r["pos"], "{%d,%d,%d}" % triple(r["lpi"])
        assert (ax.get_title(), ax.title.get_color(), ax.get_aspect()) == (f"{smi}\nLPI={lpi}", "black", 1.0)
        nodes, black, *red = ax.collections
        assert np.allclose(nodes.get_facecolors(), [to_rgba(COLOURS.get(H.nodes[n]["symbol"], "gray"), 0.9) for n in H])
        soft = {frozenset((s["u_node"], s["v_node"])) for s in r["soft_bonds"]}
        want = lambda keep: {frozenset((tuple(pos[u].round(9)), tuple(pos[v].round(9))))  # noqa: E731
                             for u, v in H.edges if (frozenset((u, v)) in soft) == keep}
        assert list(nodes.get_sizes()) == [45] and list(black.get_linewidths()) == [0.8] and seg(black) == want(False)
        assert np.allclose(black.get_colors(), [to_rgba("black", 0.7)]) and black.get_linestyles()[0][1] is None
        assert len(red) == (1 if soft else 0)  # no soft link: solid black only
        for coll in red:
            assert [tuple(c) for c in coll.get_colors()] == [to_rgba("red", 0.9)] and seg(coll) == want(True)
            assert list(coll.get_linewidths()) == [1.3] and coll.get_linestyles()[0][1] is not None
    assert [ax.get_title() for ax in fig.axes[:7:3]] == ["O\nLPI={3,0,3}", "CF\nLPI={5,0,6}", "C=C\nLPI={6,0,6}"]
    assert all(ax.get_title() == "" and not ax.collections and not ax.axison for ax in fig.axes[7:])


def test_graph_panel_by_name_through_local_pubchem(pug, tmp_path, calls, monkeypatch):
    pug.add("water", "O", 962)
    pug.add("methyl chloride", "CCl", 6327)
    pug.add("broken", BROKEN, 1)
    pug.add("empty", body={"PropertyTable": {"Properties": []}})
    names = ["water", "unobtainium", "methyl chloride", "broken", "empty"]
    out = tmp_path / "panel.png"
    monkeypatch.setattr(plt, "show", lambda: calls["show"].append(out.exists()))
    fig = trelvanoxa.VIF_panel(names, cols=3, save=str(out), bond_kappa=0.5)
    assert pug.queries() == names and grid(fig) == ((2, 3), (9.6, 6.8))
    assert [(t, c) for t, c, _ in cells(fig)] == [
        ("water\nLPI={3,0,3}", "black"), ("unobtainium\n(not found)", "gray"),
        ("methyl chloride\nLPI={5,0,6}", "black"), ("broken\n(error)", "gray"), ("empty\n(not found)", "gray"),
        ("", "black")]
    assert not fig.axes[1].collections and not fig.axes[4].collections
    assert [a[0] for a, k in calls["vif"]] == ["O", "CCl", BROKEN] and calls["vif"][0][1]["bond_kappa"] == 0.5
    assert calls["show"] == [True]  # saved before it is shown
    w, h = png_size(out)
    assert 0.75 * 9.6 * 110 < w < 1.25 * 9.6 * 110 and 0.75 * 6.8 * 110 < h < 1.25 * 6.8 * 110


def test_default_molecules_and_degenerate_grids(pug, monkeypatch, tmp_path):
    fig = trelvanoxa.VIF_panel()  # the local PubChem knows none of the ten names
    assert pug.queries() == trelvanoxa.BIOMOLECULES and grid(fig) == ((2, 5), (16.0, 6.8))
    assert [t for t, _, _ in cells(fig)] == [n + "\n(not found)" for n in trelvanoxa.BIOMOLECULES]
    fig = trelvanoxa.VIF_ms_panel()
    assert grid(fig) == ((5, 2), (11.0, 14.0))
    assert cells(fig) == [(n + " (not found)", "gray", False) for n in trelvanoxa.BIOMOLECULES]
    monkeypatch.setattr(trelvanoxa, "BIOMOLECULES", ["O"])  # read at call time
    fig = trelvanoxa.VIF_panel(by="smiles", cols=1)
    assert grid(fig) == ((1, 1), (3.2, 3.4)) and fig.axes[0].get_title() == "O\nLPI={3,0,3}"
    with pytest.raises(ValueError):  # a grid of zero rows
        trelvanoxa.VIF_panel([], by="smiles")
    monkeypatch.chdir(tmp_path)
    for save in (None, "", False):
        trelvanoxa.VIF_panel(["O"], by="smiles", save=save)
        trelvanoxa.VIF_ms_panel(["O"], by="smiles", save=save)
    assert os.listdir(tmp_path) == []


def test_spectrum_panel_from_smiles(calls, tmp_path):
    mols = ["O", "CO", BROKEN, "CF", "N", "Clc1ccccc1", "CC(=NO)C", "C=O", "CC"]
    out = tmp_path / "ms.png"
    fig = trelvanoxa.VIF_ms_panel(mols, by="smiles", save=out, ring_fragmentation=True, recursive_ms=True)
    assert grid(fig) == ((5, 2), (11.0, 14.0))
    assert (fig._suptitle.get_text(), fig._suptitle.get_fontsize(), fig._suptitle.get_position()[1]) == (
        "VIF-predicted mass spectra — biomolecules", 13, 1.0)
    assert calls["vif"] == [((m,), {"draw": False, "verbose": False, "ring_fragmentation": True,
                                    "recursive_ms": True}) for m in mols]
    assert cells(fig) == [(m + " (error)", "gray", False) if m == BROKEN else (
        "Trelvanoxa predicted EI-MS fragments: " + m, "black", True) for m in mols] + [("", "black", False)]
    assert all(ax.title.get_fontsize() == 9 for ax in fig.axes[:9]) and not fig.axes[2].collections
    r = analyse("Clc1ccccc1", ring_fragmentation=True)  # its spectrum: M+ and every split fragment, 77 and 35 too
    xs = sorted(float(seg[0][0]) for coll in fig.axes[5].collections for seg in coll.get_segments())
    assert xs == sorted({112, 77, 35} | {t[2] for f in r["fragments"] if f["split"] for t in f["fragments"]})
    assert calls["show"] == [[fig.number]]
    w, h = png_size(out)
    assert 0.75 * 11 * 110 < w < 1.25 * 11 * 110 and 0.75 * 14 * 110 < h < 1.25 * 14 * 110


@pytest.mark.parametrize("panel", [trelvanoxa.VIF_panel, trelvanoxa.VIF_ms_panel])
def test_bad_save_path_fails_before_any_work(panel, calls, tmp_path):
    for save, error in [(tmp_path / "missing" / "p.png", FileNotFoundError), (tmp_path, IsADirectoryError)]:
        with pytest.raises(error) as err:
            panel(["O", "CN"], by="smiles", save=save)
        assert err.value.filename == str(save)
    assert calls == {"vif": [], "show": []} and plt.get_fignums() == [] and os.listdir(tmp_path) == []


def test_names_are_literal_titles(pug, tmp_path):
    name = "$\\bad{$ water"
    pug.add(name, "O", 962)
    fig = trelvanoxa.VIF_panel([name, "$\\x$"], cols=2, save=tmp_path / "g")
    assert cells(fig) == [(name + "\nLPI={3,0,3}", "black", False), ("$\\x$\n(not found)", "gray", False)]
    fig = trelvanoxa.VIF_ms_panel([name], cols=1, save=tmp_path / "ms.png")
    assert fig.axes[0].get_title() == "Trelvanoxa predicted EI-MS fragments: " + name
    assert sorted(os.listdir(tmp_path)) == ["g.png", "ms.png"] and all(
        png_size(tmp_path / f)[0] > 0 for f in ("g.png", "ms.png"))
