"""Multi-molecule panels drawn with real RDKit molecules and real matplotlib (Agg)."""

import os
import struct
import urllib.parse

import matplotlib
import matplotlib.pyplot as plt
import numpy as np
import pytest
from matplotlib.colors import to_rgba

import trelvanoxa

ELEMENT_COLORS = {"C": "red", "Li": "orange", "H": "skyblue", "Cl": "lightgreen", "O": "red", "B": "pink",
                  "N": "violet", "F": "yellow", "S": "gold", "P": "darkorange"}
UNPARSABLE = "C1CC("  # unclosed branch: RDKit gives no molecule


def png_size(path):
    with open(path, "rb") as fh:
        head = fh.read(24)
    assert head[:8] == b"\x89PNG\r\n\x1a\n" and head[12:16] == b"IHDR"
    return struct.unpack(">II", head[16:24])


def geometry(fig):
    return tuple(int(v) for v in fig.axes[0].get_subplotspec().get_geometry()[:2])


def props(smiles, cid):
    return {"PropertyTable": {"Properties": [{"CID": cid, "SMILES": smiles}]}}


def analyse(smiles, **kw):
    return trelvanoxa.VIF(smiles, draw=False, verbose=False, **kw)


def segment_pairs(collection):
    return {frozenset(map(tuple, seg.round(9).tolist())) for seg in collection.get_segments()}


def expected_pairs(r, pairs):
    return {frozenset((tuple(r["pos"][u].round(9).tolist()), tuple(r["pos"][v].round(9).tolist()))) for u, v in pairs}


@pytest.fixture
def vif_calls(monkeypatch):
    """Records the arguments of every VIF call the panels make (the real VIF runs)."""
    calls = []
    real = trelvanoxa.VIF

    def recording(*args, **kwargs):
        calls.append((args, kwargs))
        return real(*args, **kwargs)

    monkeypatch.setattr(trelvanoxa, "VIF", recording)
    return calls


@pytest.fixture
def show_calls(monkeypatch):
    calls = []
    real = plt.show

    def recording(*args, **kwargs):
        calls.append(plt.get_fignums())
        return real(*args, **kwargs)

    monkeypatch.setattr(plt, "show", recording)
    return calls


# ---------------------------------------------------------------- VIF_panel


def test_graph_panel_from_smiles(vif_calls, show_calls):
    mols = ["O", "Clc1ccccc1", UNPARSABLE, "CF", "C[Li]", "CCl", "C=C"]
    fig = trelvanoxa.VIF_panel(mols, by="smiles", bond_kappa=0.9)
    assert isinstance(fig, matplotlib.figure.Figure)
    # Seven entries, five columns: 2 x 5 cells of 3.2 x 3.4 inches.
    assert geometry(fig) == (2, 5)
    assert len(fig.axes) == 10
    assert fig.get_size_inches() == pytest.approx((16.0, 6.8))
    assert fig._suptitle.get_text() == "VIF analysis — key molecules in human biochemistry"
    assert fig._suptitle.get_fontsize() == 13
    assert fig._suptitle.get_position()[1] == pytest.approx(0.99)
    assert all(not ax.axison for ax in fig.axes)
    for ax in fig.axes[7:]:
        assert ax.get_title() == "" and not ax.collections
    assert [args[0] for args, _ in vif_calls] == mols
    assert all(kw == {"draw": False, "verbose": False, "bond_kappa": 0.9} for _, kw in vif_calls)
    assert len(show_calls) == 1

    titles = [ax.get_title() for ax in fig.axes[:7]]
    # Reference signatures: water, fluoromethane, ethylene.
    assert (titles[0], titles[3], titles[6]) == ("O\nLPI={3,0,3}", "CF\nLPI={5,0,6}", "C=C\nLPI={6,0,6}")
    assert titles[2] == UNPARSABLE + "\n(error)"
    for i in (1, 4, 5):
        lpi = analyse(mols[i])["lpi"]
        assert titles[i] == f"{mols[i]}\nLPI={{{lpi['n+']},{lpi['n0']},{lpi['n-']}}}"
    for i, ax in enumerate(fig.axes[:7]):
        assert ax.title.get_fontsize() == 9
        assert ax.title.get_color() == ("gray" if i == 2 else "black")
        assert ax.get_aspect() == (1.0 if i != 2 else "auto")
    assert not fig.axes[2].collections


def test_graph_panel_cell_drawing():
    fig = trelvanoxa.VIF_panel(["O", "Clc1ccccc1", "C[Li]"], by="smiles", cols=3, node_size=45)
    for ax, smi in zip(fig.axes, ["O", "Clc1ccccc1", "C[Li]"]):
        r = analyse(smi)
        H = r["graph"]
        nodes = ax.collections[0]
        want = [to_rgba(ELEMENT_COLORS.get(H.nodes[n]["symbol"], "gray"), 0.9) for n in H]
        assert np.allclose(nodes.get_facecolors(), want)
        assert list(nodes.get_sizes()) == [45]
        assert not ax.texts  # no node or edge labels in a cell

        soft = {tuple(sorted((s["u_node"], s["v_node"]))) for s in r["soft_bonds"]}
        ordinary = [(u, v) for u, v in H.edges() if tuple(sorted((u, v))) not in soft]
        black = ax.collections[1]
        assert [tuple(c) for c in black.get_colors()] == [to_rgba("black", 0.7)]
        assert list(black.get_linewidths()) == [0.8]
        assert black.get_linestyles()[0][1] is None  # solid
        assert segment_pairs(black) == expected_pairs(r, ordinary)
        if soft:
            red = ax.collections[2]
            assert [tuple(c) for c in red.get_colors()] == [to_rgba("red", 0.9)]
            assert list(red.get_linewidths()) == [1.3]
            assert red.get_linestyles()[0][1] is not None  # dashed
            assert segment_pairs(red) == expected_pairs(r, soft)
        else:
            assert len(ax.collections) == 2  # no soft links: solid black only
    # Li is orange in the element map (the halogen figure has no Li).
    li_nodes = [n for n in analyse("C[Li]")["graph"] if analyse("C[Li]")["graph"].nodes[n]["symbol"] == "Li"]
    assert li_nodes
    assert np.allclose(fig.axes[2].collections[0].get_facecolors()[li_nodes[0]], to_rgba("orange", 0.9))


def test_graph_panel_by_name_through_local_pubchem(pug, tmp_path, show_calls):
    pug.add("water", props("O", 962))
    pug.add("methyl chloride", props("CCl", 6327))
    pug.add("broken", props(UNPARSABLE, 1))
    pug.add("empty", {"PropertyTable": {"Properties": []}})
    names = ["water", "unobtainium", "methyl chloride", "broken", "empty"]
    out = tmp_path / "panel.png"
    fig = trelvanoxa.VIF_panel(names, cols=3, save=str(out))
    assert [urllib.parse.unquote(p.split("/")[5]) for p in pug.paths] == names
    assert geometry(fig) == (2, 3)
    assert fig.get_size_inches() == pytest.approx((9.6, 6.8))
    titles = [(ax.get_title(), ax.title.get_color()) for ax in fig.axes]
    # CH3Cl has the same orbital graph as the fluoromethane reference, {5,0,6}.
    assert titles == [
        ("water\nLPI={3,0,3}", "black"),
        ("unobtainium\n(not found)", "gray"),
        ("methyl chloride\nLPI={5,0,6}", "black"),
        ("broken\n(error)", "gray"),
        ("empty\n(not found)", "gray"),
        ("", "black"),
    ]
    assert not fig.axes[1].collections and not fig.axes[4].collections
    # The file is written before the figure is shown.
    assert show_calls == [[fig.number]]
    w, h = png_size(out)
    assert 0.75 * 9.6 * 110 < w < 1.25 * 9.6 * 110
    assert 0.75 * 6.8 * 110 < h < 1.25 * 6.8 * 110


def test_graph_panel_default_biomolecules_by_name(pug):
    # PubChem knows none of them here: ten requests, ten gray cells, 2 x 5 grid.
    fig = trelvanoxa.VIF_panel()
    assert [urllib.parse.unquote(p.split("/")[5]) for p in pug.paths] == trelvanoxa.BIOMOLECULES
    assert geometry(fig) == (2, 5)
    assert fig.get_size_inches() == pytest.approx((16.0, 6.8))
    assert [ax.get_title() for ax in fig.axes] == [n + "\n(not found)" for n in trelvanoxa.BIOMOLECULES]


def test_graph_panel_reads_biomolecules_at_call_time(monkeypatch):
    monkeypatch.setattr(trelvanoxa, "BIOMOLECULES", ["O", "CO"])
    fig = trelvanoxa.VIF_panel(by="smiles")
    assert geometry(fig) == (1, 5)
    assert [ax.get_title() for ax in fig.axes[:2]] == ["O\nLPI={3,0,3}", "CO\nLPI={6,0,6}"]


def test_graph_panel_single_cell():
    fig = trelvanoxa.VIF_panel(["O"], by="smiles", cols=1)
    assert len(fig.axes) == 1
    assert fig.get_size_inches() == pytest.approx((3.2, 3.4))
    assert fig.axes[0].get_title() == "O\nLPI={3,0,3}"


@pytest.mark.parametrize("save", [None, "", False])
def test_graph_panel_false_save_writes_nothing(tmp_path, monkeypatch, save, show_calls):
    monkeypatch.chdir(tmp_path)
    fig = trelvanoxa.VIF_panel(["O"], by="smiles", save=save)
    assert isinstance(fig, matplotlib.figure.Figure)
    assert os.listdir(tmp_path) == []
    assert len(show_calls) == 1


def test_graph_panel_bond_kappa_reaches_vif(vif_calls):
    trelvanoxa.VIF_panel(["CO"], by="smiles", bond_kappa=0.5)
    assert vif_calls == [(("CO",), {"draw": False, "verbose": False, "bond_kappa": 0.5})]


def test_graph_panel_refuses_empty_list_and_zero_columns():
    with pytest.raises(ValueError):
        trelvanoxa.VIF_panel([], by="smiles")
    with pytest.raises(ZeroDivisionError):
        trelvanoxa.VIF_panel(["O"], by="smiles", cols=0)


def test_graph_panel_unwritable_save_propagates(tmp_path):
    target = tmp_path / "no" / "such" / "dir.png"
    with pytest.raises(FileNotFoundError):
        trelvanoxa.VIF_panel(["O"], by="smiles", save=str(target))
    assert not target.exists()


# ------------------------------------------------------------- VIF_ms_panel


def test_spectrum_panel_from_smiles(vif_calls, tmp_path, show_calls):
    mols = ["O", "CO", "CCl", "CF", "N", "Clc1ccccc1", "CC(=NO)C", "C=O", "CC", "OC=O"]
    out = tmp_path / "ms.png"
    fig = trelvanoxa.VIF_ms_panel(mols, by="smiles", save=out)
    assert geometry(fig) == (5, 2)
    assert fig.get_size_inches() == pytest.approx((11.0, 14.0))
    assert fig._suptitle.get_text() == "VIF-predicted mass spectra — biomolecules"
    assert fig._suptitle.get_fontsize() == 13
    assert fig._suptitle.get_position()[1] == pytest.approx(1.0)
    assert all(kw == {"draw": False, "verbose": False, "ring_fragmentation": False, "recursive_ms": False}
               for _, kw in vif_calls)
    for ax, smi in zip(fig.axes, mols):
        assert ax.axison
        assert ax.get_title() == "Trelvanoxa predicted EI-MS fragments: " + smi
        assert ax.title.get_fontsize() == 9
    # Chlorobenzene: molecular ion 112 crimson, fragments 77 and 35 steelblue.
    ax = fig.axes[5]
    xs = sorted(float(seg[0][0]) for coll in ax.collections for seg in coll.get_segments())
    assert xs == [35.0, 77.0, 112.0]
    assert show_calls == [[fig.number]]
    w, h = png_size(out)
    assert 0.75 * 11 * 110 < w < 1.25 * 11 * 110
    assert 0.75 * 14 * 110 < h < 1.25 * 14 * 110


def test_spectrum_panel_by_name_with_failures(pug):
    pug.add("water", props("O", 962))
    pug.add("broken", props(UNPARSABLE, 1))
    pug.add("acetyl chloride", props("CC(=O)Cl", 6367))
    names = ["water", "unobtainium", "broken", "acetyl chloride", "glycine"]
    fig = trelvanoxa.VIF_ms_panel(names)
    assert geometry(fig) == (3, 2)
    assert fig.get_size_inches() == pytest.approx((11.0, 8.4))
    got = [(ax.get_title(), ax.title.get_color(), ax.axison) for ax in fig.axes]
    assert got == [
        ("Trelvanoxa predicted EI-MS fragments: water", "black", True),
        ("unobtainium (not found)", "gray", False),
        ("broken (error)", "gray", False),
        ("Trelvanoxa predicted EI-MS fragments: acetyl chloride", "black", True),
        ("glycine (not found)", "gray", False),
        ("", "black", False),
    ]
    assert [fig.axes[i].title.get_fontsize() for i in (1, 2, 4)] == [9, 9, 9]
    assert not fig.axes[2].collections


def test_spectrum_panel_default_biomolecules(pug, monkeypatch):
    fig = trelvanoxa.VIF_ms_panel()
    assert geometry(fig) == (5, 2)
    assert fig.get_size_inches() == pytest.approx((11.0, 14.0))
    assert [ax.get_title() for ax in fig.axes] == [n + " (not found)" for n in trelvanoxa.BIOMOLECULES]
    monkeypatch.setattr(trelvanoxa, "BIOMOLECULES", ["CO"])
    fig = trelvanoxa.VIF_ms_panel(by="smiles")
    assert len(fig.axes) == 2 and fig.axes[0].axison and not fig.axes[1].axison


def test_spectrum_panel_passes_fragmentation_options(vif_calls):
    trelvanoxa.VIF_ms_panel(["C1CCCCC1"], by="smiles", ring_fragmentation=True, recursive_ms=True)
    assert vif_calls == [(("C1CCCCC1",), {"draw": False, "verbose": False,
                                          "ring_fragmentation": True, "recursive_ms": True})]


@pytest.mark.parametrize("save", [None, ""])
def test_spectrum_panel_false_save_writes_nothing(tmp_path, monkeypatch, save):
    monkeypatch.chdir(tmp_path)
    trelvanoxa.VIF_ms_panel(["O"], by="smiles", save=save)
    assert os.listdir(tmp_path) == []
