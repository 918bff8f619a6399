"""The one-eigendecomposition soft-bond pass against the definition (remove one link, count the eigenvalues
of the whole matrix), evaluated with numpy, on every shared molecule and on graphs rich in exact zeros."""

import networkx as nx
import numpy as np
import pytest

import trelvanoxa
from trelvanoxa import _core
from helpers import MOLECULES as SHARED

TOL = 1e-9


MOLECULES = [smiles for smiles, _name in SHARED]


def _counts(ev, tol=TOL):
    return (int((ev > tol).sum()), int((np.abs(ev) <= tol).sum()), int((ev < -tol).sum()))


def _definition(graph, records, tol=TOL):
    """Indices of records whose link removal keeps the eigenvalue counts."""
    nodes = list(graph)
    index = {n: i for i, n in enumerate(nodes)}
    a = nx.to_numpy_array(graph, nodelist=nodes)
    base = _counts(np.linalg.eigvalsh(a), tol)
    soft = []
    for k, rec in enumerate(records):
        u, v = index[rec["u_node"]], index[rec["v_node"]]
        w = a[u, v]
        a[u, v] = a[v, u] = 0.0
        if _counts(np.linalg.eigvalsh(a), tol) == base:
            soft.append(k)
        a[u, v] = a[v, u] = w
    return base, soft


def _native(graph, records, tol=TOL):
    lpi = trelvanoxa.compute_lpi(graph, tol=tol)
    found = trelvanoxa.detect_soft_bonds(graph, records, lpi, tol=tol)
    ids = {id(r) for r in found}
    return (lpi["n+"], lpi["n0"], lpi["n-"]), [k for k, r in enumerate(records) if id(r) in ids]


@pytest.fixture
def stats():
    _core._soft_pass_stats(reset=True)
    yield
    _core._set_fast_soft_pass(True)


def test_every_shared_molecule_matches_the_definition(stats):
    mismatches = []
    for smi in MOLECULES:
        built = _core.build_vif_graph(smi)
        assert built is not None, smi
        _mol, graph, _sub, _pos, chem_bonds = built
        expected = _definition(graph, chem_bonds)
        if _native(graph, chem_bonds) != expected:
            mismatches.append(smi)
    assert mismatches == []
    st = _core._soft_pass_stats()
    # Every link was decided, and on real molecules the decisions are clear-cut.
    assert st["links"] == st["fast"] + st["shifted"] + st["fallback"] + st["definition"]
    assert st["fast"] > 0.95 * st["links"]


def _zero_rich_graphs(seed=11, count=120):
    rng = np.random.default_rng(seed)
    for trial in range(count):
        n = int(rng.integers(4, 60))
        kind = trial % 4
        if kind == 0:  # trees: many exact zeros from unmatched vertices
            g = nx.random_labeled_tree(n, seed=int(rng.integers(2**31)))
        elif kind == 1:  # trees with a few extra edges
            g = nx.random_labeled_tree(n, seed=int(rng.integers(2**31)))
            for _ in range(int(rng.integers(1, n // 4 + 2))):
                a, b = (int(x) for x in rng.integers(0, n, 2))
                if a != b:
                    g.add_edge(a, b)
        elif kind == 2:  # complete bipartite plus a star: nullity p + q - 2 and more
            g = nx.disjoint_union(nx.complete_bipartite_graph(int(rng.integers(1, 6)), int(rng.integers(1, 10))),
                                  nx.star_graph(int(rng.integers(1, 8))))
        else:
            g = nx.gnm_random_graph(n, int(rng.integers(n // 2, 2 * n)), seed=int(rng.integers(2**31)))
        weights = trial % 3
        for u, v in g.edges():
            g[u][v]["weight"] = (float(rng.choice([1.0, 0.9])) if weights == 0 else
                                 1.0 if weights == 1 else float(rng.uniform(0.2, 2.0)))
        yield g


def test_graphs_with_many_zero_eigenvalues_match_the_definition(stats):
    checked = 0
    for g in _zero_rich_graphs():
        records = [{"u_node": u, "v_node": v} for u, v in g.edges()]
        assert _native(g, records) == _definition(g, records)
        checked += len(records)
    st = _core._soft_pass_stats()
    assert st["links"] == checked
    assert st["fast"] > 0  # the fast path is actually exercised


@pytest.mark.parametrize("tol", [1e-2, 0.3])
def test_wide_zero_band_matches_the_definition(stats, tol):
    # A wide zero band changes which eigenvalues count as zero: the exact
    # split (exact zeros only) must not decide these links.
    g = nx.path_graph(9)
    for u, v in g.edges():
        g[u][v]["weight"] = 0.05 * (u + 1)
    g.add_edge(0, 4, weight=0.7)
    records = [{"u_node": u, "v_node": v} for u, v in g.edges()]
    assert _native(g, records, tol=tol) == _definition(g, records, tol=tol)
    st = _core._soft_pass_stats()
    assert st["fast"] == 0 and st["shifted"] + st["fallback"] == len(records)


def test_fragment_level_soft_links_match_the_definition():
    for smi in MOLECULES[::4]:
        mol, graph, sub, _pos, chem_bonds = _core.build_vif_graph(smi)
        n = mol.GetNumAtoms()
        softs = trelvanoxa._fragment_atom_softs(graph, sub, chem_bonds, set(range(n)))
        children = trelvanoxa._cut_atom_set(mol, set(range(n)), softs, True, 25)
        for atoms in [set(range(n))] + sorted(children, key=sorted)[:4]:
            nodes = [node for a in sorted(atoms) for node in sub[a]]
            induced = graph.subgraph(nodes).copy()
            inside = [cb for cb in chem_bonds if cb["atom_u"] in atoms and cb["atom_v"] in atoms
                      and induced.has_edge(cb["u_node"], cb["v_node"])]
            _base, expected = _definition(induced, inside)
            got = trelvanoxa._fragment_atom_softs(graph, sub, chem_bonds, atoms)
            assert [id(r) for r in got] == [id(inside[k]) for k in expected], (smi, sorted(atoms))


def test_multi_generation_peaks_agree_with_the_definition(stats):
    for smi in MOLECULES[::9]:
        mol, graph, sub, _pos, chem_bonds = _core.build_vif_graph(smi)
        fast = trelvanoxa.predict_fragments_recursive(mol, graph, sub, chem_bonds, max_generations=2)
        _core._set_fast_soft_pass(False)
        slow = trelvanoxa.predict_fragments_recursive(mol, graph, sub, chem_bonds, max_generations=2)
        _core._set_fast_soft_pass(True)
        assert list(fast.items()) == list(slow.items()), smi


def test_chains_with_tiny_nonzero_eigenvalues_match_the_definition(stats):
    # Chains that start and end on a weak link carry an edge-state pair of
    # eigenvalues near +-weak^(n/2): here from 5e-7 down to 1e-10, on both
    # sides of the zero band.  Exact zeros (odd n) and tiny nonzero
    # eigenvalues must not be confused, before or after a link is removed.
    for n, weak in [(24, 0.3), (30, 0.3), (34, 0.3), (38, 0.3), (44, 0.4), (60, 0.5), (41, 0.3)]:
        g = nx.path_graph(n)
        for u, v in g.edges():
            g[u][v]["weight"] = weak if u % 2 == 0 else 1.0
        records = [{"u_node": u, "v_node": v} for u, v in g.edges()]
        assert _native(g, records) == _definition(g, records), (n, weak)
    st = _core._soft_pass_stats()
    assert st["shifted"] > 0 and st["fast"] > 0


def test_a_link_of_weight_zero_is_soft_under_any_zero_band():
    # removing it changes nothing, so the LPI is A's own, counted as compute_lpi counts it (with no zero band
    # the decomposition's eigenvalues may sit 1e-26 away from the exact zeros of a full count)
    g = nx.Graph([(0, 0, {"weight": 0.0}), (1, 3, {"weight": 1e-10}), (2, 3, {"weight": 2.0})])
    records = [{"u_node": 0, "v_node": 0}, {"u_node": 2, "v_node": 3}]
    # without the 2-3 link only +-1e-10 are left: still nonzero below that band, inside TOL's
    for tol, soft in ((0.0, records), (1e-12, records), (TOL, records[:1])):
        lpi = trelvanoxa.compute_lpi(g, tol=tol)
        assert trelvanoxa.detect_soft_bonds(g, records, lpi, tol=tol) == soft


def _tree_of_cliques(rng, atoms):
    """An orbital-like graph: atoms of 1 or 4 nodes (sigma cliques of weight 1), bonds from a random
    tree plus a ring closure or two, each bond a link between free nodes of its two atoms."""
    g, nodes, free = nx.Graph(), [], []
    for a in range(atoms):
        size = 4 if rng.random() < 0.5 else 1
        own = list(range(len(g), len(g) + size))
        g.add_nodes_from(own)
        g.add_edges_from(((p, q, {"weight": 1.0}) for i, p in enumerate(own) for q in own[i + 1:]))
        nodes.append(own)
        free.append(list(own))
    tree = nx.random_labeled_tree(atoms, seed=int(rng.integers(2**31))) if atoms > 1 else nx.empty_graph(1)
    bonds = list(tree.edges()) + [tuple(int(x) for x in rng.integers(0, atoms, 2)) for _ in range(2)]
    for a, b in bonds:
        if a != b and free[a] and free[b]:
            g.add_edge(free[a].pop(), free[b].pop(), weight=float(rng.choice([1.0, rng.uniform(0.3, 1.8)])))
    return g


def test_sparse_fragment_pass_matches_the_definition(stats):
    # Fragment subgraphs are decided on sparse shifted factorizations first: random tree-like graphs
    # (sigma cliques, pendant nodes, ring closures), zero-rich graphs and weak-link chains against numpy.
    rng = np.random.default_rng(23)
    graphs = [_tree_of_cliques(rng, int(rng.integers(2, 30))) for _ in range(60)]
    graphs += list(_zero_rich_graphs(seed=3, count=40))
    for n, weak in [(24, 0.3), (38, 0.3), (41, 0.3), (60, 0.5)]:
        chain = nx.path_graph(n)
        nx.set_edge_attributes(chain, {(u, v): weak if u % 2 == 0 else 1.0 for u, v in chain.edges()}, "weight")
        graphs.append(chain)
    for g in graphs:
        g = nx.convert_node_labels_to_integers(g)
        # every node its own atom, every edge a bond record
        subs = {v: [v] for v in g}
        records = [{"u_node": u, "v_node": v, "atom_u": u, "atom_v": v, "order": 1} for u, v in g.edges()]
        _base, expected = _definition(g, records)
        got = trelvanoxa._fragment_atom_softs(g, subs, records, set(g))
        assert [id(r) for r in got] == [id(records[k]) for k in expected]
    st = _core._soft_pass_stats()
    assert st["sparse"] > 0.5 * st["links"] and st["sparse_off"] > 0  # both paths exercised
