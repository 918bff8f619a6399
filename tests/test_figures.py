"""Figures: the stick mass spectrum and the orbital-graph drawing, rendered with Agg."""

import matplotlib.image as mpimg
import matplotlib.pyplot as plt
import numpy as np
import pytest
from matplotlib.collections import LineCollection, PathCollection
from matplotlib.colors import to_rgba

import trelvanoxa
from helpers import png_size

CRIMSON, STEELBLUE = to_rgba("crimson"), to_rgba("steelblue")
LEADER = {"arrowstyle": "-", "color": "gray", "lw": 0.5, "alpha": 0.6}
COLOURS = {"C": "red", "Li": "orange", "H": "skyblue", "Cl": "lightgreen", "O": "red", "B": "pink", "N": "violet",
           "F": "yellow", "S": "gold", "P": "darkorange"}


def split(*pairs):
    return {"bond": "X0-Y1", "split": True, "mode": "single", "fragments": [(f, float(mz), mz) for f, mz in pairs]}


def sticks(ax):
    """(x, bottom, top, rgba, width) of every vertical line, in drawing order."""
    out = []
    for coll in ax.collections:
        ((x0, y0), (x1, y1)), = coll.get_segments()
        (rgba,), (width,) = [tuple(c) for c in coll.get_color()], coll.get_linewidth()
        assert x0 == x1
        out.append((x0, y0, y1, rgba, width))
    return out


def labels(ax):
    """text -> (anchor, text position); every label has the same style."""
    for a in ax.texts:
        assert a.arrowprops == LEADER and a.get_fontsize() == 8 and (a.get_ha(), a.get_va()) == ("center", "bottom")
        assert a.get_color() == ("crimson" if a.get_text().startswith("M+") else "steelblue")
    return {a.get_text(): (tuple(a.xy), tuple(a.xyann)) for a in ax.texts}


def test_spectrum_sticks_labels_and_axes():
    before = plt.get_fignums()
    ax = trelvanoxa.plot_mass_spectrum("Clc1ccccc1", 112, [split(("C6H5", 77), ("Cl", 35))])
    (num,) = [n for n in plt.get_fignums() if n not in before]
    assert ax.figure is plt.figure(num) and tuple(ax.figure.get_size_inches()) == (11.0, 5.5)
    assert sticks(ax) == [(35.0, 0.0, 60.0, STEELBLUE, 1.6), (77.0, 0.0, 60.0, STEELBLUE, 1.6),
                          (112.0, 0.0, 100.0, CRIMSON, 2.2)]
    assert labels(ax) == {"Cl\n35": ((35, 60), (35, 63)), "C6H5\n77": ((77, 60), (77, 63)),
                          "M+\n112": ((112, 100), (112, 103))}
    assert (ax.get_xlim(), ax.get_ylim()) == ((0.0, 132.0), (0.0, 150.0))
    assert ax.get_title() == "Trelvanoxa predicted EI-MS fragments: Clc1ccccc1"
    assert (ax.get_xlabel(), ax.get_ylabel()) == ("m/z", "(schematic \u2014 intensities are not predicted)")
    assert [ax.spines[s].get_visible() for s in ("top", "right", "left", "bottom")] == [False, False, True, True]
    fig, (left, right) = plt.subplots(1, 2)
    before = plt.get_fignums()
    assert trelvanoxa.plot_mass_spectrum(42, 46, [split(("CH3", 15))], ax=right) is right
    assert plt.get_fignums() == before and len(right.collections) == 2 and not left.collections
    assert right.get_title() == "Trelvanoxa predicted EI-MS fragments: 42"
    assert trelvanoxa.plot_mass_spectrum("CO", 32, [], fig.axes[0]) is left


@pytest.mark.parametrize("mol_mass,frags,heights,x_max", [
    # M = 123: x_max 143, crowding below 143 * 0.06 = 8.58
    (123, [split(("C6H5", 77)), split(("C6H6", 78)), split(("C6H7", 79)), split(("C7H5O", 105))],
     {"C6H5\n77": 63, "C6H6\n78": 74, "C6H7\n79": 85, "C7H5O\n105": 63, "M+\n123": 103}, 143),
    (123, [split(("A", 110), ("B", 116))], {"A\n110": 63, "B\n116": 74, "M+\n123": 125}, 143),  # M+ climbs too
    (130, [split(("A", 60), ("B", 69), ("C", 77))], {"A\n60": 63, "B\n69": 63, "C\n77": 74, "M+\n130": 103},
     150),  # threshold exactly 9: a gap of 9 is not crowded
    (58, [split(("C2H3O", 43), ("CHO", 29)), split(("C3H7", 43), ("CH3", 15))],  # the first formula wins
     {"CH3\n15": 63, "CHO\n29": 63, "C2H3O\n43": 63, "M+\n58": 103}, 78),
    (60, [split(("C2H4O2", 60), ("H", 1))], {"H\n1": 63, "M+\n60": 103}, 80),  # M+ never relabelled
    (30, [{"bond": "C0-C1", "split": False, "mode": "single", "fragments": None},
          {"split": 0, "fragments": [("junk",)]}, split(("CH3", 15))], {"CH3\n15": 63, "M+\n30": 103}, 50),
    (46, [], {"M+\n46": 103}, 66), (139, [], {"M+\n139": 103}, 159), (140, [], {"M+\n140": 103}, 161),
    (200, [], {"M+\n200": 103}, 230), (122.5, [], {"M+\n122": 103}, 142), (123.5, [], {"M+\n124": 103}, 144),
    (np.float64(122.5), [], {"M+\n122": 103}, 142), (139.6, [], {"M+\n140": 103}, 161),
])
def test_spectrum_label_stacking_and_limits(mol_mass, frags, heights, x_max):
    ax = trelvanoxa.plot_mass_spectrum("x", mol_mass, frags)
    assert {t: pos[1][1] for t, pos in labels(ax).items()} == heights
    assert [s[0] for s in sticks(ax)] == sorted(float(t.split("\n")[1]) for t in heights)
    assert sticks(ax)[-1][2:] == (100.0, CRIMSON, 2.2) and ax.get_xlim() == (0.0, float(x_max))


@pytest.fixture
def draw(shown):
    """VIF with drawing on: its record and the figures open when it shows them (closed afterwards under Agg)."""
    def run(smiles, **kwargs):
        shown.clear()
        rec = trelvanoxa.VIF(smiles, draw=True, verbose=False, **kwargs)
        assert len(shown) == 1 and plt.get_fignums() == []
        return rec, shown[0]
    return run


def graph_parts(fig):
    """The graph axes, its node collection and its line collections."""
    (ax,) = fig.axes
    (nodes,), edges = ([c for c in ax.collections if isinstance(c, kind)] for kind in (PathCollection, LineCollection))
    assert len(edges) + 1 == len(ax.collections)
    return ax, nodes, edges


def segments(coll=None, rec=None, edges=()):
    """Line segments as sets of rounded end points, drawn (coll) or expected from the record's positions."""
    pairs = coll.get_segments() if coll is not None else [(rec["pos"][u], rec["pos"][v]) for u, v in edges]
    return {frozenset(tuple(np.round(p, 9)) for p in pair) for pair in pairs}


def test_water_drawing(tmp_path, draw):
    rec, (graph_fig, ms_fig) = draw("O")
    assert list(rec) == ["lpi", "soft_bonds", "fragments", "graph", "chem_bonds", "atom_subgraphs", "pos",
                         "mol_mass", "mol_mass_avg"]
    assert [tuple(f.get_size_inches()) for f in (graph_fig, ms_fig)] == [(12.0, 10.0), (11.0, 5.5)]
    ax, nodes, (black,) = graph_parts(graph_fig)  # no soft link: nothing red or dashed
    assert ax.get_title() == "VIF: O   |   LPI = {n+=3, n0=0, n-=3}   |   soft: yok" and ax.get_aspect() == 1.0
    assert [t.get_text() for t in ax.texts] == ["O0", "O1", "O2", "O3", "H4", "H5"]
    assert np.allclose(nodes.get_facecolor(), [to_rgba("red", 0.9)] * 4 + [to_rgba("skyblue", 0.9)] * 2)
    assert np.allclose(black.get_color(), [to_rgba("black", 0.9)]) and list(black.get_linewidth()) == [1.5]
    assert black.get_linestyle() == [(0.0, None)] and segments(black) == segments(rec=rec, edges=rec["graph"].edges)
    assert len(black.get_segments()) == 8
    (ms_ax,) = ms_fig.axes
    assert sticks(ms_ax) == [(18.0, 0.0, 100.0, CRIMSON, 2.2)]
    graph_fig.savefig(tmp_path / "graph.png", dpi=50)
    ms_fig.savefig(tmp_path / "ms.png", dpi=80)
    assert png_size(tmp_path / "graph.png") == (600, 500) and png_size(tmp_path / "ms.png") == (880, 440)
    for name, colours in [("graph", ("skyblue", "red")), ("ms", ("crimson",))]:
        pixels = mpimg.imread(tmp_path / f"{name}.png")[..., :3]
        for colour in colours:  # discs are drawn with alpha 0.9 on white
            want = (0.9 * np.array(to_rgba(colour)[:3]) + 0.1) if name == "graph" else np.array(to_rgba(colour)[:3])
            assert np.any(np.all(np.abs(pixels - want) < 0.05, axis=-1)), colour


@pytest.mark.parametrize("smiles,title", [
    ("CN", "VIF: CN   |   LPI = {n+=6, n0=1, n-=6}   |   soft: 6 bond"),
    ("CC(=O)OC1=CC=CC=C1C(=O)O", "VIF: CC(=O)OC1=CC=CC=C1C(=O)O   |   LPI = {n+=26, n0=0, n-=34}   |   soft: 12 bond"),
    ("Clc1ccccc1", None),
])
def test_soft_links_dashed_red(smiles, title, draw):
    rec, (graph_fig, ms_fig) = draw(smiles, ring_fragmentation=True)
    ax, nodes, (black, red) = graph_parts(graph_fig)
    soft = {frozenset((s["u_node"], s["v_node"])) for s in rec["soft_bonds"]}
    edges = list(rec["graph"].edges)
    assert segments(red) == segments(rec=rec, edges=[e for e in edges if frozenset(e) in soft]) and soft
    assert segments(black) == segments(rec=rec, edges=[e for e in edges if frozenset(e) not in soft])
    assert np.allclose(red.get_color(), [to_rgba("red", 0.9)]) and list(red.get_linewidth()) == [2.0]
    assert red.get_linestyle() == LineCollection([], linestyles="dashed", linewidths=2.0).get_linestyle()
    lpi = rec["lpi"]
    assert ax.get_title() == (title or "VIF: %s   |   LPI = {n+=%d, n0=%d, n-=%d}   |   soft: %d bond" % (
        smiles, lpi["n+"], lpi["n0"], lpi["n-"], len(rec["soft_bonds"])))
    assert np.allclose(nodes.get_offsets(), [rec["pos"][n] for n in rec["graph"]]) and list(nodes.get_sizes()) == [800]
    assert [(t.get_text(), t.get_fontsize()) for t in ax.texts] == [
        (rec["graph"].nodes[n]["symbol"] + str(n), 8) for n in rec["graph"]]
    assert np.allclose([t.get_position() for t in ax.texts], [rec["pos"][n] for n in rec["graph"]])
    (ms_ax,) = ms_fig.axes  # the spectrum gets the whole fragment list
    want = {rec["mol_mass"]} | {t[2] for f in rec["fragments"] if f["split"] for t in f["fragments"]}
    assert [s[0] for s in sticks(ms_ax)] == sorted(want)


@pytest.mark.parametrize("smiles", ["CBr", "CO", "CN", "CCl", "CF", "CS", "CP", "[Li]C", "BC", "C[Si](C)(C)C"])
def test_node_colours_without_spectrum(smiles, draw):
    rec, figs = draw(smiles, show_spectrum=False)
    assert len(figs) == 1
    _, nodes, _ = graph_parts(figs[0])
    graph = rec["graph"]
    want = [to_rgba(COLOURS.get(graph.nodes[n]["symbol"], "gray"), 0.9) for n in graph]
    assert np.allclose(nodes.get_facecolor(), want)


@pytest.mark.parametrize("mz", [15.5, 15.0, "15", None, np.float64(15.0)])
def test_spectrum_refuses_non_integer_mz(mz):
    frags = [split(("CH3", 15)), {"split": True, "fragments": [("A", 1.0, mz)]}]
    with pytest.raises(TypeError, match=r"fragments\[1\]\['fragments'\]\[0\]: the m/z of 'A' must be an integer"):
        trelvanoxa.plot_mass_spectrum("x", 30, frags)
    assert plt.get_fignums() == []  # refused before any figure is opened


def test_spectrum_accepts_integer_like_mz():
    ax = trelvanoxa.plot_mass_spectrum("x", 30, [{"split": True, "fragments": [("A", 1.0, np.int64(15))]}])
    assert sticks(ax)[0][0] == 15.0 and "A\n15" in labels(ax)


@pytest.mark.parametrize("mol_mass,error", [
    (9e18, ValueError), (float("inf"), ValueError), (float("nan"), ValueError), (-5, ValueError),
    (10**30, ValueError), (np.float64("inf"), ValueError), ("46", TypeError), (None, TypeError),
])
def test_spectrum_refuses_absurd_masses(mol_mass, error):
    with pytest.raises(error, match="mol_mass"):
        trelvanoxa.plot_mass_spectrum("x", mol_mass, [])
    assert plt.get_fignums() == []


NASTY = "$\\bad{$ 50% \\"  # broken mathtext if it were parsed


def test_titles_are_literal_text(tmp_path):
    ax = trelvanoxa.plot_mass_spectrum(NASTY, 46, [split(("$\\frac{$", 15))])
    assert ax.get_title() == "Trelvanoxa predicted EI-MS fragments: " + NASTY and "$\\frac{$\n15" in labels(ax)
    ax.figure.savefig(tmp_path / "ms.png", dpi=40)
    rec = trelvanoxa.VIF("O", draw=False, verbose=False)
    (graph_fig, ms_fig) = trelvanoxa.figures.draw_vif(NASTY, rec)
    assert graph_fig.axes[0].get_title().startswith("VIF: " + NASTY + "   |   LPI")
    for n, fig in enumerate((graph_fig, ms_fig)):
        fig.savefig(tmp_path / f"{n}.png", dpi=30)
        assert png_size(tmp_path / f"{n}.png")[0] > 0


def test_draw_vif_draws_without_showing(shown):
    rec = trelvanoxa.VIF("CN", draw=False, verbose=False)
    figs = trelvanoxa.figures.draw_vif("CN", rec, show_spectrum=False)
    assert len(figs) == 1 and plt.get_fignums() == [figs[0].number] and not shown
    assert len(rec) == 14  # the record is read, not changed


def test_drawing_leaves_no_open_figures(shown):
    before = plt.figure()  # someone else's figure stays open
    for i in range(25):
        rec = trelvanoxa.VIF("O", draw=True, verbose=False, show_spectrum=i % 2 == 0)
        assert len(rec) == 9
    assert plt.get_fignums() == [before.number] and [len(s) for s in shown] == [3, 2] * 12 + [3]
    assert trelvanoxa.VIF("C1CC(", draw=True, verbose=False) == "SMILES okunamadı!" and len(shown) == 25
