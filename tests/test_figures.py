"""Figures: the stick mass spectrum and the orbital-graph drawing, rendered with Agg."""

import runpy
from pathlib import Path

import matplotlib

matplotlib.use("Agg")

import matplotlib.image as mpimg
import matplotlib.pyplot as plt
import numpy as np
import pytest
from matplotlib.collections import LineCollection, PathCollection
from matplotlib.colors import to_rgba
from matplotlib.text import Annotation

import trelvanoxa

ASPIRIN = "CC(=O)OC1=CC=CC=C1C(=O)O"
CHLOROBENZENE = "Clc1ccccc1"

CRIMSON = to_rgba("crimson")
STEELBLUE = to_rgba("steelblue")
PNG_MAGIC = b"\x89PNG\r\n\x1a\n"
EXAMPLES = Path(__file__).resolve().parent.parent / "examples" / "figures.py"


@pytest.fixture(autouse=True)
def _no_figures_left():
    plt.close("all")
    yield
    plt.close("all")


def split(*pairs):
    """A split single-cut record holding the given (formula, m/z) fragments."""
    return {"bond": "X0-Y1", "split": True, "mode": "single",
            "fragments": [(formula, float(mz), mz) for formula, mz in pairs]}


def sticks(ax):
    """(x, bottom, top, rgba, width) of every vertical line, in drawing order."""
    out = []
    for coll in ax.collections:
        assert isinstance(coll, LineCollection)
        (seg,) = coll.get_segments()
        (x0, y0), (x1, y1) = seg
        assert x0 == x1
        (rgba,) = [tuple(c) for c in coll.get_color()]
        (width,) = coll.get_linewidth()
        out.append((x0, y0, y1, rgba, width))
    return out


def labels(ax):
    out = [t for t in ax.texts if isinstance(t, Annotation)]
    assert len(out) == len(ax.texts)
    return out


def label_table(ax):
    """text -> (anchor, text position)"""
    return {a.get_text(): (tuple(a.xy), tuple(a.xyann)) for a in labels(ax)}


def png_size(path):
    data = Path(path).read_bytes()
    assert data[:8] == PNG_MAGIC
    assert data[12:16] == b"IHDR"
    return int.from_bytes(data[16:20], "big"), int.from_bytes(data[20:24], "big"), len(data)


def new_figures(before):
    return [n for n in plt.get_fignums() if n not in before]


# ---------------------------------------------------------------------------
# Stick spectrum
# ---------------------------------------------------------------------------

class TestSpectrumSticks:
    def test_molecular_ion_only(self):
        ax = trelvanoxa.plot_mass_spectrum("CCO", 46, [])
        assert sticks(ax) == [(46.0, 0.0, 100.0, CRIMSON, 2.2)]
        (ann,) = labels(ax)
        assert ann.get_text() == "M+\n46"
        assert tuple(ann.xy) == (46, 100)
        assert tuple(ann.xyann) == (46, 103)
        assert ann.get_color() == "crimson"
        assert ann.get_fontsize() == 8
        assert ann.get_ha() == "center" and ann.get_va() == "bottom"
        assert ann.arrowprops == {"arrowstyle": "-", "color": "gray", "lw": 0.5, "alpha": 0.6}
        assert ax.get_xlim() == (0.0, 66.0)
        assert ax.get_ylim() == (0.0, 150.0)

    def test_fragment_sticks_and_labels(self):
        frags = [split(("C6H5", 77), ("Cl", 35))]
        ax = trelvanoxa.plot_mass_spectrum(CHLOROBENZENE, 112, frags)
        assert sticks(ax) == [
            (35.0, 0.0, 60.0, STEELBLUE, 1.6),
            (77.0, 0.0, 60.0, STEELBLUE, 1.6),
            (112.0, 0.0, 100.0, CRIMSON, 2.2),
        ]
        table = label_table(ax)
        assert table == {
            "Cl\n35": ((35, 60), (35, 63)),
            "C6H5\n77": ((77, 60), (77, 63)),
            "M+\n112": ((112, 100), (112, 103)),
        }
        colours = {a.get_text(): a.get_color() for a in labels(ax)}
        assert colours == {"Cl\n35": "steelblue", "C6H5\n77": "steelblue", "M+\n112": "crimson"}
        for a in labels(ax):
            assert a.arrowprops == {"arrowstyle": "-", "color": "gray", "lw": 0.5, "alpha": 0.6}
            assert a.get_fontsize() == 8

    def test_label_stacking(self):
        # M = 123: x_max = 143, crowding threshold 143 * 0.06 = 8.58
        frags = [split(("C6H5", 77)), split(("C6H6", 78)), split(("C6H7", 79)), split(("C7H5O", 105))]
        ax = trelvanoxa.plot_mass_spectrum("c1ccccc1C=O", 123, frags)
        heights = {a.get_text().split("\n")[1]: a.xyann[1] for a in labels(ax)}
        assert heights == {"77": 63, "78": 74, "79": 85, "105": 63, "123": 103}
        assert ax.get_xlim() == (0.0, 143.0)

    def test_molecular_ion_label_climbs_when_crowded(self):
        ax = trelvanoxa.plot_mass_spectrum("x", 123, [split(("A", 110), ("B", 116))])
        heights = {a.get_text(): a.xyann[1] for a in labels(ax)}
        # 116 - 110 = 6 < 8.58: level 1; 123 - 116 = 7 < 8.58: level 2
        assert heights == {"A\n110": 63, "B\n116": 74, "M+\n123": 125}

    def test_crowding_is_strict(self):
        # M = 130: x_max = 150 and the threshold is exactly 9
        ax = trelvanoxa.plot_mass_spectrum("x", 130, [split(("A", 60), ("B", 69), ("C", 77))])
        heights = {a.get_text(): a.xyann[1] for a in labels(ax)}
        assert heights == {"A\n60": 63, "B\n69": 63, "C\n77": 74, "M+\n130": 103}

    @pytest.mark.parametrize("mol_mass,m,x_max", [
        (46, 46, 66),
        (139, 139, 159),
        (140, 140, 161),
        (200, 200, 230),
        (122.5, 122, 142),
        (123.5, 124, 144),
        (np.float64(122.5), 122, 142),
        (139.6, 140, 161),
    ])
    def test_limits_and_rounding(self, mol_mass, m, x_max):
        ax = trelvanoxa.plot_mass_spectrum("x", mol_mass, [])
        assert sticks(ax) == [(float(m), 0.0, 100.0, CRIMSON, 2.2)]
        assert [a.get_text() for a in labels(ax)] == ["M+\n%d" % m]
        assert ax.get_xlim() == (0.0, float(x_max))
        assert ax.get_ylim() == (0.0, 150.0)

    def test_first_formula_wins(self):
        frags = [split(("C2H3O", 43), ("CHO", 29)), split(("C3H7", 43), ("CH3", 15))]
        ax = trelvanoxa.plot_mass_spectrum("x", 58, frags)
        assert [a.get_text() for a in labels(ax)] == ["CH3\n15", "CHO\n29", "C2H3O\n43", "M+\n58"]
        assert [s[0] for s in sticks(ax)] == [15.0, 29.0, 43.0, 58.0]

    def test_molecular_ion_not_relabelled(self):
        ax = trelvanoxa.plot_mass_spectrum("x", 60, [split(("C2H4O2", 60), ("H", 1))])
        assert sticks(ax) == [(1.0, 0.0, 60.0, STEELBLUE, 1.6), (60.0, 0.0, 100.0, CRIMSON, 2.2)]
        assert [a.get_text() for a in labels(ax)] == ["H\n1", "M+\n60"]

    def test_unsplit_records_are_skipped(self):
        frags = [{"bond": "C0-C1", "split": False, "mode": "single", "fragments": None},
                 {"split": 0, "fragments": [("junk",)]},
                 split(("CH3", 15))]
        ax = trelvanoxa.plot_mass_spectrum("x", 30, frags)
        assert [a.get_text() for a in labels(ax)] == ["CH3\n15", "M+\n30"]

    def test_real_record_fragments(self):
        rec = trelvanoxa.VIF(CHLOROBENZENE, draw=False, verbose=False, ring_fragmentation=True)
        ax = trelvanoxa.plot_mass_spectrum(CHLOROBENZENE, rec["mol_mass"], rec["fragments"])
        expected = {rec["mol_mass"]}
        for f in rec["fragments"]:
            if f["split"]:
                expected.update(t[2] for t in f["fragments"])
        assert [s[0] for s in sticks(ax)] == sorted(float(x) for x in expected)
        table = label_table(ax)
        assert "Cl\n35" in table and "C6H5\n77" in table and "M+\n112" in table


class TestSpectrumAxes:
    def test_new_figure(self):
        before = plt.get_fignums()
        ax = trelvanoxa.plot_mass_spectrum("CCO", 46, [])
        (num,) = new_figures(before)
        fig = plt.figure(num)
        assert ax.figure is fig
        assert tuple(fig.get_size_inches()) == (11.0, 5.5)

    def test_given_axes(self):
        fig, (left, right) = plt.subplots(1, 2)
        before = plt.get_fignums()
        ax = trelvanoxa.plot_mass_spectrum("CCO", 46, [split(("CH3", 15))], ax=right)
        assert ax is right
        assert plt.get_fignums() == before
        assert len(right.collections) == 2 and len(left.collections) == 0
        ax2 = trelvanoxa.plot_mass_spectrum("CO", 32, [], right.figure.axes[0])
        assert ax2 is left

    def test_titles_and_spines(self):
        ax = trelvanoxa.plot_mass_spectrum(ASPIRIN, 180, [])
        assert ax.get_title() == "Trelvanoxa predicted EI-MS fragments: " + ASPIRIN
        assert ax.get_xlabel() == "m/z"
        assert ax.get_ylabel() == "(schematic \u2014 intensities are not predicted)"
        assert not ax.spines["top"].get_visible()
        assert not ax.spines["right"].get_visible()
        assert ax.spines["left"].get_visible() and ax.spines["bottom"].get_visible()

    def test_title_takes_any_value(self):
        ax = trelvanoxa.plot_mass_spectrum(42, 46, [])
        assert ax.get_title() == "Trelvanoxa predicted EI-MS fragments: 42"

    def test_record_without_split(self):
        before = plt.get_fignums()
        with pytest.raises(KeyError):
            trelvanoxa.plot_mass_spectrum("x", 50, [{"fragments": [("A", 1.0, 15)]}])
        assert plt.get_fignums() == before  # peaks are gathered before a figure is opened

    @pytest.mark.parametrize("entry", [("A", 15), ("A", 15.0, 15, "extra"), ()])
    def test_fragment_entry_of_wrong_length(self, entry):
        fig, ax = plt.subplots()
        with pytest.raises(ValueError):
            trelvanoxa.plot_mass_spectrum("x", 50, [{"split": True, "fragments": [entry]}], ax=ax)

    def test_saved_png(self, tmp_path):
        frags = [split(("C6H5", 77), ("Cl", 35))]
        ax = trelvanoxa.plot_mass_spectrum(CHLOROBENZENE, 112, frags)
        path = tmp_path / "ms.png"
        ax.figure.savefig(path, dpi=80)
        width, height, size = png_size(path)
        assert (width, height) == (880, 440)
        assert 5_000 < size < 2_000_000
        pixels = mpimg.imread(path)[..., :3]
        crimson = np.array(CRIMSON[:3])
        steelblue = np.array(STEELBLUE[:3])
        assert np.any(np.all(np.abs(pixels - crimson) < 0.05, axis=-1))
        assert np.any(np.all(np.abs(pixels - steelblue) < 0.05, axis=-1))


# ---------------------------------------------------------------------------
# Orbital-graph drawing through VIF(draw=True)
# ---------------------------------------------------------------------------

ELEMENT_COLOURS = {"C": "red", "Li": "orange", "H": "skyblue", "Cl": "lightgreen", "O": "red",
                   "B": "pink", "N": "violet", "F": "yellow", "S": "gold", "P": "darkorange"}


def draw(smiles, **kwargs):
    before = plt.get_fignums()
    rec = trelvanoxa.VIF(smiles, draw=True, verbose=False, **kwargs)
    figs = [plt.figure(n) for n in new_figures(before)]
    return rec, figs


def graph_parts(fig):
    (ax,) = fig.axes
    nodes = [c for c in ax.collections if isinstance(c, PathCollection)]
    edges = [c for c in ax.collections if isinstance(c, LineCollection)]
    assert len(nodes) == 1 and len(nodes) + len(edges) == len(ax.collections)
    return ax, nodes[0], edges


def segment_set(segments):
    return {frozenset((tuple(np.round(a, 9)), tuple(np.round(b, 9)))) for a, b in segments}


def edge_segments(rec, edges):
    return segment_set([(rec["pos"][u], rec["pos"][v]) for u, v in edges])


class TestGraphDrawing:
    def test_water(self):
        rec, figs = draw("O")
        assert list(rec) == ["lpi", "soft_bonds", "fragments", "graph", "chem_bonds",
                             "atom_subgraphs", "pos", "mol_mass", "mol_mass_avg"]
        assert len(figs) == 2
        graph_fig, ms_fig = figs
        assert tuple(graph_fig.get_size_inches()) == (12.0, 10.0)
        assert tuple(ms_fig.get_size_inches()) == (11.0, 5.5)
        ax, nodes, edges = graph_parts(graph_fig)
        assert ax.get_title() == "VIF: O   |   LPI = {n+=3, n0=0, n-=3}   |   soft: yok"
        assert ax.get_aspect() == 1.0
        assert [t.get_text() for t in ax.texts] == ["O0", "O1", "O2", "O3", "H4", "H5"]
        expected_faces = [to_rgba("red", 0.9)] * 4 + [to_rgba("skyblue", 0.9)] * 2
        assert np.allclose(nodes.get_facecolor(), expected_faces)
        # no soft bond: every line black, none dashed
        (black,) = edges
        assert np.allclose(black.get_color(), [to_rgba("black", 0.9)])
        assert list(black.get_linewidth()) == [1.5]
        assert black.get_linestyle() == [(0.0, None)]
        assert edge_segments(rec, rec["graph"].edges) == segment_set(black.get_segments())
        assert len(black.get_segments()) == 8
        # the spectrum of water: the molecular ion alone
        (ms_ax,) = ms_fig.axes
        assert ms_ax.get_title() == "Trelvanoxa predicted EI-MS fragments: O"
        assert sticks(ms_ax) == [(18.0, 0.0, 100.0, CRIMSON, 2.2)]

    def test_nodes_sit_at_their_positions(self):
        rec, (graph_fig, _) = draw(ASPIRIN)
        ax, nodes, _ = graph_parts(graph_fig)
        order = list(rec["graph"].nodes)
        assert np.allclose(nodes.get_offsets(), [rec["pos"][n] for n in order])
        assert list(nodes.get_sizes()) == [800]
        texts = ax.texts
        assert len(texts) == len(order)
        for t, n in zip(texts, order):
            assert t.get_text() == rec["graph"].nodes[n]["symbol"] + str(n)
            assert np.allclose(t.get_position(), rec["pos"][n])
            assert t.get_fontsize() == 8

    def test_methane_labels(self):
        rec, (graph_fig, _) = draw("C")
        ax, _, _ = graph_parts(graph_fig)
        assert [t.get_text() for t in ax.texts] == ["C0", "C1", "C2", "C3", "H4", "H5", "H6", "H7"]

    @pytest.mark.parametrize("smiles", ["CBr", "CO", "CN", "CCl", "CF", "CS", "CP", "[Li]C", "BC", "C[Si](C)(C)C"])
    def test_node_colours(self, smiles):
        rec, (graph_fig,) = draw(smiles, show_spectrum=False)
        _, nodes, _ = graph_parts(graph_fig)
        graph = rec["graph"]
        expected = [to_rgba(ELEMENT_COLOURS.get(graph.nodes[n]["symbol"], "gray"), 0.9) for n in graph.nodes]
        assert np.allclose(nodes.get_facecolor(), expected)

    def test_colour_table_examples(self):
        rec, (graph_fig,) = draw("CBr", show_spectrum=False)
        _, nodes, _ = graph_parts(graph_fig)
        faces = [tuple(f) for f in nodes.get_facecolor()]
        symbols = [rec["graph"].nodes[n]["symbol"] for n in rec["graph"].nodes]
        assert symbols.count("Br") == 9
        assert {f for f, s in zip(faces, symbols) if s == "Br"} == {to_rgba("gray", 0.9)}
        assert {f for f, s in zip(faces, symbols) if s == "C"} == {to_rgba("red", 0.9)}
        assert {f for f, s in zip(faces, symbols) if s == "H"} == {to_rgba("skyblue", 0.9)}
        plt.close("all")
        rec, (graph_fig,) = draw("CO", show_spectrum=False)
        _, nodes, _ = graph_parts(graph_fig)
        symbols = [rec["graph"].nodes[n]["symbol"] for n in rec["graph"].nodes]
        faces = [tuple(f) for f in nodes.get_facecolor()]
        assert {f for f, s in zip(faces, symbols) if s in ("C", "O")} == {to_rgba("red", 0.9)}

    @pytest.mark.parametrize("smiles", [CHLOROBENZENE, ASPIRIN, "CN"])
    def test_soft_links_dashed_red(self, smiles):
        rec, (graph_fig, _) = draw(smiles)
        ax, _, edges = graph_parts(graph_fig)
        black, red = edges
        soft_pairs = {frozenset((s["u_node"], s["v_node"])) for s in rec["soft_bonds"]}
        assert soft_pairs
        all_edges = list(rec["graph"].edges)
        soft_edges = [e for e in all_edges if frozenset(e) in soft_pairs]
        plain_edges = [e for e in all_edges if frozenset(e) not in soft_pairs]
        assert len(soft_edges) == len(rec["soft_bonds"])

        assert np.allclose(red.get_color(), [to_rgba("red", 0.9)])
        assert list(red.get_linewidth()) == [2.0]
        reference = LineCollection([], linestyles="dashed", linewidths=2.0)
        assert red.get_linestyle() == reference.get_linestyle()
        assert red.get_linestyle()[0][1] is not None
        assert segment_set(red.get_segments()) == edge_segments(rec, soft_edges)
        assert len(red.get_segments()) == len(soft_edges)

        assert np.allclose(black.get_color(), [to_rgba("black", 0.9)])
        assert list(black.get_linewidth()) == [1.5]
        assert black.get_linestyle() == [(0.0, None)]
        assert segment_set(black.get_segments()) == edge_segments(rec, plain_edges)

        lpi = rec["lpi"]
        assert ax.get_title() == "VIF: %s   |   LPI = {n+=%d, n0=%d, n-=%d}   |   soft: %d bond" % (
            smiles, lpi["n+"], lpi["n0"], lpi["n-"], len(rec["soft_bonds"]))
        assert ax.get_aspect() == 1.0

    def test_titles_of_known_molecules(self):
        # methylamine and aspirin LPIs are the reference values {6,1,6} and {26,0,34}
        rec, (graph_fig,) = draw("CN", show_spectrum=False)
        assert graph_fig.axes[0].get_title() == "VIF: CN   |   LPI = {n+=6, n0=1, n-=6}   |   soft: 6 bond"
        plt.close("all")
        rec, (graph_fig,) = draw(ASPIRIN, show_spectrum=False)
        assert graph_fig.axes[0].get_title() == (
            "VIF: " + ASPIRIN + "   |   LPI = {n+=26, n0=0, n-=34}   |   soft: 12 bond")

    def test_without_spectrum(self):
        rec, figs = draw(CHLOROBENZENE, show_spectrum=False)
        assert len(figs) == 1
        assert tuple(figs[0].get_size_inches()) == (12.0, 10.0)
        assert list(rec)[0] == "lpi"

    def test_spectrum_figure_of_a_real_molecule(self):
        rec, (_, ms_fig) = draw(CHLOROBENZENE, ring_fragmentation=True)
        (ax,) = ms_fig.axes
        assert ax.get_title() == "Trelvanoxa predicted EI-MS fragments: " + CHLOROBENZENE
        expected = {rec["mol_mass"]}
        for f in rec["fragments"]:
            if f["split"]:
                expected.update(t[2] for t in f["fragments"])
        assert [s[0] for s in sticks(ax)] == sorted(float(x) for x in expected)
        assert any(f["mode"] == "ring" and f["split"] for f in rec["fragments"])

    def test_each_call_opens_new_figures(self):
        _, first = draw("O")
        _, second = draw("O")
        assert len(first) == len(second) == 2
        assert {f.number for f in first}.isdisjoint(f.number for f in second)
        assert len(plt.get_fignums()) == 4

    def test_saved_graph_png(self, tmp_path):
        _, (graph_fig, ms_fig) = draw(CHLOROBENZENE)
        for fig, name in ((graph_fig, "graph.png"), (ms_fig, "ms.png")):
            fig.savefig(tmp_path / name, dpi=50)
        assert png_size(tmp_path / "graph.png")[:2] == (600, 500)
        assert png_size(tmp_path / "ms.png")[:2] == (550, 275)
        pixels = mpimg.imread(tmp_path / "graph.png")[..., :3]
        # skyblue hydrogen discs (drawn with alpha 0.9 on white)
        sky = 0.9 * np.array(to_rgba("skyblue")[:3]) + 0.1
        assert np.any(np.all(np.abs(pixels - sky) < 0.05, axis=-1))


# ---------------------------------------------------------------------------
# The example script
# ---------------------------------------------------------------------------

def test_example_script_writes_pngs(tmp_path):
    script = runpy.run_path(str(EXAMPLES), run_name="example_figures")
    before = plt.get_fignums()
    written = script["main"]([str(tmp_path / "out")])
    names = sorted(p.name for p in (tmp_path / "out").iterdir())
    assert names == ["aspirin_graph.png", "aspirin_ms.png", "chlorobenzene_graph.png", "chlorobenzene_ms.png"]
    assert sorted(Path(p).name for p in written) == names
    for name in names:
        width, height, size = png_size(tmp_path / "out" / name)
        assert width > 300 and height > 150 and size > 10_000
    assert plt.get_fignums() == before
