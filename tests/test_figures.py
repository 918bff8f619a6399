"""Figures: the stick mass spectrum and the orbital-graph drawing, rendered with Agg."""

import matplotlib.pyplot as plt
import numpy as np
import pytest
from matplotlib.collections import LineCollection, PathCollection
from matplotlib.colors import to_rgba

import trelvanoxa
from helpers import png_size

COLOURS = {"C": "red", "Li": "orange", "H": "skyblue", "Cl": "lightgreen", "O": "red", "B": "pink", "N": "violet",
           "F": "yellow", "S": "gold", "P": "darkorange"}


def split(*pairs):
    return {"bond": "X0-Y1", "split": True, "mode": "single", "fragments": [(f, float(mz), mz) for f, mz in pairs]}


def sticks(ax):
    """(x, top, colour) of every vertical line, in drawing order."""
    out = []
    for coll in ax.collections:
        ((x0, y0), (x1, y1)), = coll.get_segments()
        assert x0 == x1 and y0 == 0
        out.append((x0, y1, tuple(coll.get_color()[0])))
    return out


def label_heights(ax):
    return {a.get_text(): a.xyann[1] for a in ax.texts}


# The molecular ion 100 high in crimson, fragments 60 in steelblue; labels of crowded peaks (closer than 6 % of
# the axis, which ends 15 % or at least 20 past M) stack 11 higher each.
@pytest.mark.parametrize("mol_mass,frags,heights", [
    (123, [split(("C6H5", 77)), split(("C6H6", 78)), split(("C6H7", 79)), split(("C7H5O", 105))],
     {"C6H5\n77": 63, "C6H6\n78": 74, "C6H7\n79": 85, "C7H5O\n105": 63, "M+\n123": 103}),
    (123, [split(("A", 110), ("B", 116))], {"A\n110": 63, "B\n116": 74, "M+\n123": 125}),  # M+ climbs too
    (130, [split(("A", 60), ("B", 69), ("C", 77))], {"A\n60": 63, "B\n69": 63, "C\n77": 74, "M+\n130": 103}),
    (58, [split(("C2H3O", 43), ("CHO", 29)), split(("C3H7", 43), ("CH3", 15))],  # the first formula wins
     {"CH3\n15": 63, "CHO\n29": 63, "C2H3O\n43": 63, "M+\n58": 103}),
    (60, [split(("C2H4O2", 60), ("H", 1))], {"H\n1": 63, "M+\n60": 103}),  # M+ never relabelled
    (30, [{"bond": "C0-C1", "split": False, "mode": "single", "fragments": None},
          {"split": 0, "fragments": [("junk",)]}, split(("CH3", np.int64(15)))], {"CH3\n15": 63, "M+\n30": 103}),
    (122.5, [], {"M+\n122": 103}), (123.5, [], {"M+\n124": 103}),  # rounded half to even
])
def test_spectrum_sticks_and_labels(mol_mass, frags, heights):
    ax = trelvanoxa.plot_mass_spectrum("Clc1ccccc1", mol_mass, frags)
    assert label_heights(ax) == heights
    m = round(mol_mass)
    assert sticks(ax) == [(float(int(t.split("\n")[1])), 100.0 if t.startswith("M+") else 60.0,
                           to_rgba("crimson" if t.startswith("M+") else "steelblue"))
                          for t in sorted(heights, key=lambda t: int(t.split("\n")[1]))] and "M+\n%d" % m in heights
    assert ax.get_title() == "Trelvanoxa predicted EI-MS fragments: Clc1ccccc1"


@pytest.fixture
def draw(shown):
    """VIF with drawing on: its record and the figures open when it shows them (closed afterwards under Agg)."""
    def run(smiles, **kwargs):
        shown.clear()
        rec = trelvanoxa.VIF(smiles, draw=True, verbose=False, **kwargs)
        assert len(shown) == 1 and plt.get_fignums() == []
        return rec, shown[0]
    return run


def segments(coll=None, rec=None, edges=()):
    """Line segments as sets of rounded end points, drawn (coll) or expected from the record's positions."""
    pairs = coll.get_segments() if coll is not None else [(rec["pos"][u], rec["pos"][v]) for u, v in edges]
    return {frozenset(tuple(np.round(p, 9)) for p in pair) for pair in pairs}


@pytest.mark.parametrize("smiles,title", [
    ("O", "VIF: O   |   LPI = {n+=3, n0=0, n-=3}   |   soft: yok"),
    ("CN", "VIF: CN   |   LPI = {n+=6, n0=1, n-=6}   |   soft: 6 bond"),
    ("CC(=O)OC1=CC=CC=C1C(=O)O", "VIF: CC(=O)OC1=CC=CC=C1C(=O)O   |   LPI = {n+=26, n0=0, n-=34}   |   soft: 12 bond"),
    ("C[Si](C)(C)Cl", None), ("[Li]CBr", None), ("BC(F)=S", None), ("CP", None),
])
def test_graph_drawing(smiles, title, draw):
    rec, (graph_fig, ms_fig) = draw(smiles, ring_fragmentation=True)
    (ax,) = graph_fig.axes
    (nodes,), (black, *red) = ([c for c in ax.collections if isinstance(c, k)] for k in (PathCollection, LineCollection))
    graph, edges = rec["graph"], list(rec["graph"].edges)
    soft = {frozenset((s["u_node"], s["v_node"])) for s in rec["soft_bonds"]}
    # soft links dashed red, the others solid black, each drawn once between its nodes' positions
    assert segments(black) == segments(rec=rec, edges=[e for e in edges if frozenset(e) not in soft])
    assert len(red) == bool(soft) and all(segments(r) == segments(rec=rec, edges=[e for e in edges if frozenset(e) in
                                                                                  soft]) for r in red)
    assert all(np.allclose(r.get_color(), [to_rgba("red", 0.9)]) and r.get_linestyle()[0][1] for r in red)
    assert black.get_linestyle() == [(0.0, None)]
    lpi = rec["lpi"]
    assert ax.get_title() == (title or "VIF: %s   |   LPI = {n+=%d, n0=%d, n-=%d}   |   soft: %s" % (
        smiles, lpi["n+"], lpi["n0"], lpi["n-"], f"{len(soft)} bond" if soft else "yok"))
    assert np.allclose(nodes.get_offsets(), [rec["pos"][n] for n in graph])
    assert np.allclose(nodes.get_facecolor(), [to_rgba(COLOURS.get(graph.nodes[n]["symbol"], "gray"), 0.9)
                                               for n in graph])
    assert [t.get_text() for t in ax.texts] == [graph.nodes[n]["symbol"] + str(n) for n in graph]
    (ms_ax,) = ms_fig.axes  # the spectrum gets the whole fragment list
    want = {rec["mol_mass"]} | {t[2] for f in rec["fragments"] if f["split"] for t in f["fragments"]}
    assert [s[0] for s in sticks(ms_ax)] == sorted(want)


NASTY = "$\\bad{$ 50% \\"  # broken mathtext if it were parsed


def test_titles_are_literal_text(tmp_path):
    ax = trelvanoxa.plot_mass_spectrum(NASTY, 46, [split(("$\\frac{$", 15))])
    assert ax.get_title() == "Trelvanoxa predicted EI-MS fragments: " + NASTY and "$\\frac{$\n15" in label_heights(ax)
    rec = trelvanoxa.VIF("O", draw=False, verbose=False)
    (graph_fig, ms_fig) = trelvanoxa.figures.draw_vif(NASTY, rec)
    assert graph_fig.axes[0].get_title().startswith("VIF: " + NASTY + "   |   LPI") and len(rec) == 14
    for n, fig in enumerate((ax.figure, graph_fig, ms_fig)):
        fig.savefig(tmp_path / f"{n}.png", dpi=30)
        assert png_size(tmp_path / f"{n}.png")[0] > 0


def test_drawing_leaves_no_open_figures(shown):
    before = plt.figure()  # someone else's figure stays open
    figs = trelvanoxa.figures.draw_vif("CN", trelvanoxa.VIF("CN", draw=False, verbose=False), show_spectrum=False)
    assert len(figs) == 1 and plt.get_fignums() == [before.number, figs[0].number] and not shown
    plt.close(figs[0])
    for i in range(5):
        assert len(trelvanoxa.VIF("O", draw=True, verbose=False, show_spectrum=i % 2 == 0)) == 9
    assert plt.get_fignums() == [before.number] and [len(s) for s in shown] == [3, 2, 3, 2, 3]
    assert trelvanoxa.VIF("C1CC(", draw=True, verbose=False) == "SMILES okunamadı!" and len(shown) == 5
