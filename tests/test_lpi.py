"""LPI (eigenvalue-sign counts) of weighted graphs.  The soft-bond pass is compared with a numpy evaluation
of its definition in test_soft_pass.py and test_fuzz.py."""

import networkx as nx
import numpy as np
import pytest

from helpers import triple
from trelvanoxa import compute_lpi, detect_soft_bonds


@pytest.mark.parametrize("seed", range(20))
def test_lpi_matches_numpy_on_random_graphs(seed):
    rng = np.random.default_rng(seed)
    g = nx.gnp_random_graph(int(rng.integers(1, 25)), float(rng.uniform(0.05, 0.6)), seed=seed)
    for u, v in g.edges:  # signs mixed, unit weights and the bond weight 0.9
        g[u][v]["weight"] = float(rng.choice([1.0, 0.9, -0.5, rng.normal()]))
    rec = compute_lpi(g)
    ev = np.linalg.eigvalsh(nx.to_numpy_array(g))
    assert list(rec) == ["n+", "n0", "n-", "eigenvalues"] and all(type(v) is int for v in triple(rec))
    np.testing.assert_allclose(rec["eigenvalues"], ev, atol=1e-10)
    assert triple(rec) == ((ev > 1e-9).sum(), (abs(ev) <= 1e-9).sum(), (ev < -1e-9).sum())
    h = nx.Graph()  # node ids and their order do not matter
    h.add_nodes_from(f"n{i}" for i in rng.permutation(g.number_of_nodes()))
    h.add_edges_from((f"n{v}", f"n{u}", d) for u, v, d in g.edges(data=True))
    assert triple(compute_lpi(h)) == triple(rec)


# Star K1,m: +-sqrt(m) and m-1 zeros; path P_n: one zero when n is odd; K_{a,b}: +-sqrt(ab) and a+b-2
# zeros; C_n: two zeros when 4 divides n; K4: 3 and -1 three times.
@pytest.mark.parametrize("graph,expected", [
    (nx.star_graph(4), (1, 3, 1)), (nx.path_graph(5), (2, 1, 2)), (nx.complete_bipartite_graph(3, 3), (1, 4, 1)),
    (nx.cycle_graph(8), (3, 2, 3)), (nx.complete_graph(4), (1, 0, 3)), (nx.empty_graph(1), (0, 1, 0)),
])
def test_hand_counted_signs(graph, expected):
    assert triple(compute_lpi(graph)) == expected


@pytest.mark.parametrize("w,tol,expected", [
    (-1e-9, 1e-9, (0, 2, 0)), (1e-9, None, (0, 2, 0)),  # exactly tol: the zero band is inclusive
    (1.0000001e-9, 1e-9, (1, 0, 1)), (0.3, 0.29, (1, 0, 1)), (0.3, 0.0, (1, 0, 1)),
    (True, None, (1, 0, 1)), (np.float32(0.5), None, (1, 0, 1)),
])
def test_zero_band_and_weight_types(w, tol, expected):
    g = nx.Graph([(0, 1, {"weight": w})])  # eigenvalues -|w| and +|w|
    rec = compute_lpi(g) if tol is None else compute_lpi(g, tol)
    assert triple(rec) == expected and (tol is None or triple(compute_lpi(g, tol=tol)) == expected)
    np.testing.assert_allclose(rec["eigenvalues"], [-abs(float(w)), abs(float(w))])


def test_soft_bonds_skip_unlinked_records_and_leave_the_graph_as_it_was():
    g = nx.Graph([(0, 1, {"weight": 0.9, "label": "C-O"}), (1, 2, {"label": "no weight"}), (3, 4)])
    g.add_nodes_from([5, 6])
    # removing a missing link would leave the counts alone, but such a record is never tested
    recs = [{"u_node": 5, "v_node": 6, "k": 0}, {"u_node": 0, "v_node": 1}, {"u_node": 1, "v_node": 2}]
    soft = detect_soft_bonds(g, recs, compute_lpi(g))
    assert recs[0] not in soft and all(any(s is r for r in recs) for s in soft)
    # a tested link without a weight gains none
    assert g[0][1] == {"weight": 0.9, "label": "C-O"} and g[1][2] == {"label": "no weight"}
    assert sorted(g.nodes) == list(range(7)) and g[3][4] == {} and g.number_of_edges() == 3
