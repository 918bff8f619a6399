"""LPI (eigenvalue-sign counts) of weighted graphs and the soft-bond perturbation test."""

import networkx as nx
import numpy as np
import pytest

from helpers import triple
from trelvanoxa import _core, compute_lpi, detect_soft_bonds


def counts(values, tol=1e-9):
    return (int((values > tol).sum()), int((np.abs(values) <= tol).sum()), int((values < -tol).sum()))


def random_graph(seed):
    rng = np.random.default_rng(seed)
    g = nx.gnp_random_graph(int(rng.integers(1, 25)), float(rng.uniform(0.05, 0.6)), seed=seed)
    for u, v in g.edges:  # signs mixed, unit weights and the bond weight 0.9
        g[u][v]["weight"] = float(rng.choice([1.0, 0.9, -0.5, rng.normal()]))
    return g


def edges_of(g):
    return sorted((min(u, v), max(u, v), tuple(sorted(d.items()))) for u, v, d in g.edges(data=True))


@pytest.mark.parametrize("seed", range(40))
def test_lpi_matches_numpy_on_random_graphs(seed):
    g = random_graph(seed)
    before = edges_of(g)
    rec = compute_lpi(g)
    ev = np.linalg.eigvalsh(nx.to_numpy_array(g))
    assert list(rec) == ["n+", "n0", "n-", "eigenvalues"] and all(type(rec[k]) is int for k in ("n+", "n0", "n-"))
    assert rec["eigenvalues"].dtype == np.float64 and rec["eigenvalues"].shape == (g.number_of_nodes(),)
    np.testing.assert_allclose(rec["eigenvalues"], ev, atol=1e-10)
    assert triple(rec) == counts(ev) and edges_of(g) == before
    # node ids and their order do not matter
    perm = np.random.default_rng(seed).permutation(g.number_of_nodes())
    h = nx.Graph()
    h.add_nodes_from(f"n{i}" for i in perm)
    h.add_edges_from((f"n{v}", f"n{u}", d) for u, v, d in g.edges(data=True))
    assert triple(compute_lpi(h)) == triple(rec)


# Hand-counted: star K1,m has +-sqrt(m) and m-1 zeros; path P_n one zero when n is odd;
# K_{a,b} +-sqrt(ab) and a+b-2 zeros; C_n two zeros when 4 divides n; K4: 3 and -1 three times.
@pytest.mark.parametrize("graph,expected", [
    (nx.star_graph(4), (1, 3, 1)), (nx.path_graph(5), (2, 1, 2)), (nx.path_graph(4), (2, 0, 2)),
    (nx.complete_bipartite_graph(3, 3), (1, 4, 1)), (nx.empty_graph(3), (0, 3, 0)), (nx.cycle_graph(8), (3, 2, 3)),
    (nx.complete_graph(4), (1, 0, 3)), (nx.cycle_graph(3), (1, 0, 2)), (nx.empty_graph(1), (0, 1, 0)),
])
def test_hand_counted_signs(graph, expected):
    assert triple(compute_lpi(graph)) == expected


def test_small_cases():
    rec = compute_lpi(nx.Graph())
    assert triple(rec) == (0, 0, 0) and isinstance(rec["eigenvalues"], np.ndarray) and rec["eigenvalues"].size == 0
    np.testing.assert_array_equal(compute_lpi(nx.empty_graph(1))["eigenvalues"], [0.0])
    g = nx.Graph([(0, 1, {"weight": 1.0, "w2": 2.0}), (1, 2)])  # an edge without weight counts 1
    np.testing.assert_allclose(compute_lpi(g)["eigenvalues"], [-np.sqrt(2), 0, np.sqrt(2)], atol=1e-12)
    np.testing.assert_allclose(compute_lpi(g, weight="w2")["eigenvalues"], [-np.sqrt(5), 0, np.sqrt(5)], atol=1e-12)


@pytest.mark.parametrize("w,tol,expected", [
    (1e-9, 1e-9, (0, 2, 0)), (-1e-9, 1e-9, (0, 2, 0)),    # exactly tol: the zero band is inclusive
    (1.0000001e-9, 1e-9, (1, 0, 1)), (2e-9, None, (1, 0, 1)), (1e-9, None, (0, 2, 0)),
    (0.3, 0.3, (0, 2, 0)), (0.3, 0.29, (1, 0, 1)), (0.3, 0.0, (1, 0, 1)),
    (True, None, (1, 0, 1)), (np.float32(0.5), None, (1, 0, 1)), (np.int64(3), None, (1, 0, 1)),
])
def test_zero_band_and_weight_types(w, tol, expected):
    g = nx.Graph([(0, 1, {"weight": w})])  # eigenvalues -w and +w
    rec = compute_lpi(g) if tol is None else compute_lpi(g, tol)
    assert triple(rec) == expected and (tol is None or triple(compute_lpi(g, tol=tol)) == expected)
    np.testing.assert_allclose(rec["eigenvalues"], [-abs(float(w)), abs(float(w))])


@pytest.mark.parametrize("graph", [None, "graph", 42, nx.Graph([(0, 1, {"weight": "heavy"})]),
                                   nx.Graph([(0, 1, {"weight": None})]), nx.Graph([(0, 1, {"weight": 1j})])])
def test_bad_input_raises_a_python_error(graph):
    with pytest.raises(Exception) as err:
        compute_lpi(graph)
    assert not isinstance(err.value, SystemError)


# ------------------------------------------------------------ soft bonds

def definition(g, records, tol=1e-9):
    """Records whose link, removed alone, leaves the counts unchanged (numpy, on a copy)."""
    base = counts(np.linalg.eigvalsh(nx.to_numpy_array(g)), tol)
    out = []
    for r in records:
        if g.has_edge(r["u_node"], r["v_node"]):
            h = g.copy()
            h.remove_edge(r["u_node"], r["v_node"])
            if counts(np.linalg.eigvalsh(nx.to_numpy_array(h)), tol) == base:
                out.append(r)
    return out


@pytest.mark.parametrize("seed", range(30))
def test_soft_bonds_match_the_definition_on_random_graphs(seed):
    rng = np.random.default_rng(seed)
    g = nx.gnp_random_graph(int(rng.integers(2, 16)), float(rng.uniform(0.15, 0.6)), seed=seed)
    for u, v in g.edges:
        g[u][v]["weight"] = float(rng.choice([1.0, 0.9, 0.5]))
    recs = [{"u_node": u, "v_node": v, "tag": i} for i, (u, v) in enumerate(g.edges)]
    recs += [{"u_node": u, "v_node": v, "tag": "no link"} for u, v in list(nx.non_edges(g))[:3]]
    before = edges_of(g)
    soft = detect_soft_bonds(g, recs, compute_lpi(g))
    want = definition(g, recs)
    assert len(soft) == len(want) and all(a is b for a, b in zip(soft, want))  # the record objects themselves
    assert edges_of(g) == before


def test_soft_bonds_of_molecules_follow_the_definition():
    for smiles in ["O", "CN", "CC=O", "Clc1ccccc1", "CC(=NO)C"]:
        mol, H, subs, pos, chem = _core.build_vif_graph(smiles)
        assert [id(r) for r in detect_soft_bonds(H, chem, compute_lpi(H))] == [id(r) for r in definition(H, chem)]


def test_tolerance_is_passed_on_and_only_counts_compare():
    # a-b weight 1, b-c weight 1e-6.  Removing a-b leaves +-1e-6: (1, 1, 1) at tol 1e-9 but (0, 3, 0) at
    # tol 1e-5; removing b-c leaves +-1: (1, 1, 1) either way.
    g = nx.Graph([("a", "b", {"weight": 1.0}), ("b", "c", {"weight": 1e-6})])
    recs = [{"u_node": "a", "v_node": "b"}, {"u_node": "b", "v_node": "c"}]
    assert detect_soft_bonds(g, recs, compute_lpi(g, tol=1e-5), tol=1e-5) == [recs[1]]
    assert detect_soft_bonds(g, recs, compute_lpi(g, tol=1e-5), 1e-5) == [recs[1]]
    assert detect_soft_bonds(graph=g, chem_bonds=recs, baseline_lpi=compute_lpi(g)) == recs
    # path 0-1-2-3 without 0-1 gives (1, 2, 1); the eigenvalue array is never compared
    p = nx.path_graph(4)
    rec = [{"u_node": 0, "v_node": 1}]
    assert detect_soft_bonds(p, rec, {"n+": 1, "n0": 2, "n-": 1, "eigenvalues": np.array([9.0])}) == rec
    for other in [(2, 0, 2), (1, 1, 2), (2, 2, 0)]:
        assert detect_soft_bonds(p, rec, dict(zip(["n+", "n0", "n-"], other), eigenvalues=np.zeros(4))) == []
    assert detect_soft_bonds(p, [], compute_lpi(p)) == []


def test_graph_comes_back_with_its_attributes():
    g = nx.Graph([(0, 1, {"weight": 0.9, "label": "C-O"}), (1, 2, {"label": "no weight"}), (3, 4)])
    g.add_node(5)
    recs = [{"u_node": 0, "v_node": 1}, {"u_node": 1, "v_node": 2}, {"u_node": 2, "v_node": 5}]
    detect_soft_bonds(g, recs, compute_lpi(g))
    assert g[0][1] == {"weight": 0.9, "label": "C-O"} and g[1][2] == {"label": "no weight", "weight": 1.0}
    assert sorted(g.nodes) == list(range(6)) and g[3][4] == {} and not g.has_edge(2, 5)


@pytest.mark.parametrize("records,baseline", [([{"v_node": 1}], None), ([{"u_node": 0}], None),
                                              ([None], None), ([{"u_node": 0, "v_node": 1}], {})])
def test_bad_records_raise(records, baseline):
    g = nx.path_graph(3)
    with pytest.raises(Exception) as err:
        detect_soft_bonds(g, records, compute_lpi(g) if baseline is None else baseline)
    assert isinstance(err.value, (KeyError, TypeError)) and sorted(g.edges) == [(0, 1), (1, 2)]
