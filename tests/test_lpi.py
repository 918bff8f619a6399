"""Inertia (LPI) of weighted adjacency matrices."""

import networkx as nx
import numpy as np
import pytest

import trelvanoxa
from trelvanoxa import compute_lpi

from oracles import lpi_counts


def counts(rec):
    return (rec["n+"], rec["n0"], rec["n-"])


def random_weighted_graph(seed):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(1, 25))
    p = float(rng.uniform(0.05, 0.6))
    g = nx.gnp_random_graph(n, p, seed=seed)
    for u, v in g.edges:
        # mix of signs, unit weights and the bond weight 0.9
        g[u][v]["weight"] = float(rng.choice([1.0, 0.9, -0.5, rng.normal()]))
    return g


@pytest.mark.parametrize("seed", range(60))
def test_matches_numpy_on_random_weighted_graphs(seed):
    g = random_weighted_graph(seed)
    rec = compute_lpi(g)
    assert list(rec) == ["n+", "n0", "n-", "eigenvalues"]
    assert counts(rec) == lpi_counts(g)
    ev = np.linalg.eigvalsh(nx.to_numpy_array(g))
    assert isinstance(rec["eigenvalues"], np.ndarray)
    assert rec["eigenvalues"].dtype == np.float64
    assert rec["eigenvalues"].shape == (g.number_of_nodes(),)
    np.testing.assert_allclose(rec["eigenvalues"], ev, atol=1e-10)
    assert np.all(np.diff(rec["eigenvalues"]) >= 0)
    assert sum(counts(rec)) == g.number_of_nodes()


def test_counts_are_plain_ints():
    rec = compute_lpi(nx.path_graph(4))
    for key in ("n+", "n0", "n-"):
        assert type(rec[key]) is int


# Graphs whose eigenvalues include exact zeros, counted by hand:
#  - star K1,m: eigenvalues ±sqrt(m) and m-1 zeros
#  - path P_n: eigenvalues 2cos(k*pi/(n+1)), one zero exactly when n is odd
#  - complete bipartite K_{a,b}: ±sqrt(ab) and a+b-2 zeros
#  - isolated nodes: zeros
#  - cycle C_n: 2cos(2*pi*k/n), two zeros when 4 divides n
@pytest.mark.parametrize("graph,expected", [
    (nx.star_graph(4), (1, 3, 1)),
    (nx.star_graph(1), (1, 0, 1)),
    (nx.path_graph(3), (1, 1, 1)),
    (nx.path_graph(5), (2, 1, 2)),
    (nx.path_graph(7), (3, 1, 3)),
    (nx.path_graph(4), (2, 0, 2)),
    (nx.complete_bipartite_graph(2, 3), (1, 3, 1)),
    (nx.complete_bipartite_graph(3, 3), (1, 4, 1)),
    (nx.empty_graph(3), (0, 3, 0)),
    (nx.cycle_graph(4), (1, 2, 1)),
    (nx.cycle_graph(8), (3, 2, 3)),
    (nx.complete_graph(4), (1, 0, 3)),  # 3 and -1 (x3)
    (nx.cycle_graph(3), (1, 0, 2)),     # 2, -1, -1
])
def test_hand_counted_eigenvalue_signs(graph, expected):
    assert counts(compute_lpi(graph)) == expected


def test_empty_graph():
    rec = compute_lpi(nx.Graph())
    assert counts(rec) == (0, 0, 0)
    assert isinstance(rec["eigenvalues"], np.ndarray)
    assert rec["eigenvalues"].size == 0


def test_single_isolated_node():
    rec = compute_lpi(nx.empty_graph(1))
    assert counts(rec) == (0, 1, 0)
    np.testing.assert_array_equal(rec["eigenvalues"], [0.0])


def test_single_edge():
    g = nx.Graph()
    g.add_edge("a", "b", weight=1.0)
    rec = compute_lpi(g)
    assert counts(rec) == (1, 0, 1)
    np.testing.assert_allclose(rec["eigenvalues"], [-1.0, 1.0], atol=1e-15)


@pytest.mark.parametrize("w,expected", [
    # a single edge of weight w has eigenvalues -w and +w
    (1e-9, (0, 2, 0)),        # exactly tol: zero band is inclusive
    (-1e-9, (0, 2, 0)),
    (1.0000001e-9, (1, 0, 1)),
    (9.999999e-10, (0, 2, 0)),
    (0.5, (1, 0, 1)),
])
def test_zero_band_boundary(w, expected):
    g = nx.Graph()
    g.add_edge(0, 1, weight=w)
    assert counts(compute_lpi(g)) == expected


@pytest.mark.parametrize("tol,expected", [
    # single edge of weight 0.3: eigenvalues -0.3, 0.3
    (0.3, (0, 2, 0)),
    (0.29, (1, 0, 1)),
    (0.0, (1, 0, 1)),
])
def test_custom_tolerance(tol, expected):
    g = nx.Graph()
    g.add_edge(0, 1, weight=0.3)
    assert counts(compute_lpi(g, tol=tol)) == expected
    assert counts(compute_lpi(g, tol)) == expected


def test_default_tolerance_is_1e_9():
    g = nx.Graph()
    g.add_edge(0, 1, weight=1e-9)
    assert counts(compute_lpi(g)) == counts(compute_lpi(g, tol=1e-9))
    g[0][1]["weight"] = 2e-9
    assert counts(compute_lpi(g)) == (1, 0, 1)


def test_custom_weight_attribute():
    g = nx.Graph()
    g.add_edge(0, 1, weight=1.0, w2=0.0)
    g.add_edge(1, 2, weight=1.0, w2=2.0)
    # by "w2": only the 1-2 edge is present; node 0 is isolated -> (1, 1, 1)
    assert counts(compute_lpi(g, weight="w2")) == (1, 1, 1)
    # by "weight": path of 3 -> (1, 1, 1) as well; tell them apart by values
    np.testing.assert_allclose(compute_lpi(g, weight="w2")["eigenvalues"],
                               [-2.0, 0.0, 2.0], atol=1e-12)
    np.testing.assert_allclose(compute_lpi(g)["eigenvalues"],
                               [-np.sqrt(2), 0.0, np.sqrt(2)], atol=1e-12)


def test_edge_without_attribute_counts_one():
    g = nx.Graph()
    g.add_edge(0, 1)                # no weight
    g.add_edge(1, 2, weight=-1.0)
    ev = compute_lpi(g)["eigenvalues"]
    np.testing.assert_allclose(
        ev, np.linalg.eigvalsh(np.array([[0, 1, 0], [1, 0, -1], [0, -1, 0]],
                                        dtype=float)), atol=1e-12)


@pytest.mark.parametrize("seed", range(10))
def test_node_ids_and_order_do_not_matter(seed):
    g = random_weighted_graph(100 + seed)
    rng = np.random.default_rng(seed)
    labels = [("atom", int(i)) if i % 3 == 0 else
              (f"n{i}" if i % 3 == 1 else frozenset({i, -i - 1}))
              for i in range(g.number_of_nodes())]
    perm = rng.permutation(g.number_of_nodes())
    h = nx.Graph()
    h.add_nodes_from(labels[i] for i in perm)
    for u, v, d in g.edges(data=True):
        h.add_edge(labels[v], labels[u], **d)
    assert counts(compute_lpi(h)) == counts(compute_lpi(g))
    np.testing.assert_allclose(compute_lpi(h)["eigenvalues"],
                               compute_lpi(g)["eigenvalues"], atol=1e-10)


def test_graph_is_not_modified():
    g = random_weighted_graph(7)
    before = (list(g.nodes(data=True)), list(g.edges(data=True)))
    compute_lpi(g)
    assert (list(g.nodes(data=True)), list(g.edges(data=True))) == before


@pytest.mark.parametrize("bad", [None, "graph", 42, [(0, 1)]])
def test_non_graph_input_raises(bad):
    with pytest.raises(Exception) as info:
        compute_lpi(bad)
    assert not isinstance(info.value, SystemError)


def test_non_numeric_weight_raises():
    g = nx.Graph()
    g.add_edge(0, 1, weight="heavy")
    with pytest.raises((TypeError, ValueError)):
        compute_lpi(g)


@pytest.mark.parametrize("bad", [None, 1 + 0j, object()])
def test_weight_that_is_not_a_real_number_raises(bad):
    g = nx.Graph()
    g.add_edge(0, 1, weight=bad)
    with pytest.raises((TypeError, ValueError)):
        compute_lpi(g)


@pytest.mark.parametrize("w", [True, np.float32(0.5), np.int64(3), 2])
def test_numeric_weight_types_are_accepted(w):
    g = nx.Graph()
    g.add_edge(0, 1, weight=w)
    rec = compute_lpi(g)
    np.testing.assert_allclose(rec["eigenvalues"], [-float(w), float(w)])


def test_reference_molecule_graphs(built):
    # the reference LPIs of the orbital graphs (n+, n0, n-)
    for smiles, expected in [("O", (3, 0, 3)), ("CN", (6, 1, 6)),
                             ("F", (2, 0, 3))]:
        H = built(smiles)[1]
        assert counts(compute_lpi(H)) == expected == lpi_counts(H)


def test_module_function_is_the_native_one():
    assert trelvanoxa.compute_lpi is compute_lpi
