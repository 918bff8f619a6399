"""Orbital-interaction (VIF) graph construction and the bond-order map."""

import functools
import math

import mendeleev
import networkx as nx
import numpy as np
import pytest
from rdkit import Chem

import trelvanoxa
from helpers import prepare, triple
from trelvanoxa import _core, compute_atom_layout, compute_lpi

# Reference signatures and node totals (4 per C/N/O/F, 1 per H).
REFERENCE = [
    ("O", 6, (3, 0, 3)), ("CO", 12, (6, 0, 6)), ("CCC", 20, (10, 0, 10)), ("CCCC", 26, (13, 0, 13)),
    ("CN", 13, (6, 1, 6)), ("F", 5, (2, 0, 3)), ("CF", 11, (5, 0, 6)), ("C=C", 12, (6, 0, 6)),
    ("c1ccccc1", 30, (15, 0, 15)), ("C1CCCCC1", 36, (18, 0, 18)),
    ("CC(=O)OC1=CC=CC=C1C(=O)O", 60, (26, 0, 34)),  # 13 heavy atoms * 4 + 8 H
]


@functools.cache
def period(symbol):
    return mendeleev.element(symbol).period


def angle(p, centre):
    return math.atan2(p[1] - centre[1], p[0] - centre[0])


def same_direction(a, b):
    return abs((a - b + math.pi) % (2 * math.pi) - math.pi) < 1e-9


@pytest.mark.parametrize("smiles,total,lpi", REFERENCE)
def test_reference_molecules(smiles, total, lpi):
    mol, H, subs, pos, chem = _core.build_vif_graph(smiles)
    assert H.number_of_nodes() == total and triple(compute_lpi(H)) == lpi


def test_water_in_detail():
    mol, H, subs, pos, chem = _core.build_vif_graph("O")
    assert [a.GetSymbol() for a in mol.GetAtoms()] == ["O", "H", "H"]
    assert subs == {0: [0, 1, 2, 3], 1: [4], 2: [5]}
    assert list(H.nodes(data=True)) == [(n, {"symbol": "O", "rol": "Uç", "kind": "sigma"}) for n in range(4)] + [
        (n, {"symbol": "H", "rol": "Uç", "kind": "sigma"}) for n in (4, 5)]
    assert sorted((min(e), max(e), d["weight"]) for *e, d in H.edges(data=True)) == sorted(
        [(a, b, 1.0) for a in range(4) for b in range(a + 1, 4)] + [(0, 4, 0.9), (1, 5, 0.9)])
    assert chem == [{"u_node": 0, "v_node": 4, "atom_u": 0, "atom_v": 1, "sym_u": "O", "sym_v": "H", "order": 1,
                     "k": 0},
                    {"u_node": 1, "v_node": 5, "atom_u": 0, "atom_v": 2, "sym_u": "O", "sym_v": "H", "order": 1,
                     "k": 0}]
    assert [list(r) for r in chem] == [["u_node", "v_node", "atom_u", "atom_v", "sym_u", "sym_v", "order", "k"]] * 2


def test_ethylene_nodes_follow_the_bond_directions():
    # C0 has targets b - 0.175, b + 0.175 (C=C, b its direction) and the two H directions; its
    # nodes take them in that order.  Sigma links: C1 -> node 0 and H2 -> node 2 match exactly,
    # H3 gets the sigma node left (node 1); the pi link goes to the only pi node, 3.
    mol, H, subs, pos, chem = _core.build_vif_graph("C=C")
    centres, _ = compute_atom_layout(mol)
    for atom, (other, h1, h2) in [(0, (1, 2, 3)), (1, (0, 4, 5))]:
        assert [H.nodes[n]["kind"] for n in subs[atom]] == ["sigma"] * 3 + ["pi"]
        b = angle(centres[other], centres[atom])
        want = [b - 0.175, b + 0.175, angle(centres[h1], centres[atom]), angle(centres[h2], centres[atom])]
        assert all(same_direction(angle(pos[n], centres[atom]), w) for n, w in zip(subs[atom], want))
    assert [(c["u_node"], c["v_node"], c["k"], c["order"]) for c in chem] == [
        (0, 4, 0, 2), (3, 7, 1, 2), (2, 8, 0, 1), (1, 9, 0, 1), (6, 10, 0, 1), (5, 11, 0, 1)]


@pytest.mark.parametrize("smiles", ["CCO", "C(Cl)(Cl)(Cl)Cl", "OCC(N)CS", "CBr"])
def test_single_bond_links_point_at_the_partner(smiles):
    mol, H, subs, pos, chem = _core.build_vif_graph(smiles)
    centres, _ = compute_atom_layout(mol)
    for c in chem:
        for node, atom, other in [(c["u_node"], c["atom_u"], c["atom_v"]), (c["v_node"], c["atom_v"], c["atom_u"])]:
            if len(subs[atom]) > 1:
                assert same_direction(angle(pos[node], centres[atom]), angle(centres[other], centres[atom]))


@pytest.mark.parametrize("smiles,atom,kinds", [
    ("C#C", 0, "sspp"), ("CC#N", 1, "sspp"), ("CC#N", 2, "sspp"),   # triple bond: 2 sigma, 2 pi
    ("C(#C)#C", 0, "sppp"),            # pi excess 4 capped at n_nodes - 1 = 3
    ("c1ccccc1", 3, "sssp"),           # kekulized ring: one double bond per carbon
    ("CBr", 1, "s" * 9), ("CI", 1, "s" * 9), ("FS(F)(F)(F)(F)F", 1, "ssss"),
])
def test_sigma_and_pi_nodes(smiles, atom, kinds):
    mol, H, subs, pos, chem = _core.build_vif_graph(smiles)
    assert "".join(H.nodes[n]["kind"][0] for n in subs[atom]) == kinds
    sigma = [n for n in subs[atom] if H.nodes[n]["kind"] == "sigma"]
    assert H.subgraph(subs[atom]).number_of_edges() == len(sigma) * (len(sigma) - 1) // 2
    links = [c for c in chem if atom in (c["atom_u"], c["atom_v"])]
    side = lambda c: c["u_node"] if c["atom_u"] == atom else c["v_node"]  # noqa: E731
    assert all((H.nodes[side(c)]["kind"] == "sigma") == (c["k"] == 0) for c in links)
    if kinds == "sppp":  # the one sigma node carries both sigma links
        assert {side(c) for c in links if c["k"] == 0} == {subs[atom][0]}


@pytest.mark.parametrize("smiles", ["C=C", "CC(=O)O", "CBr", "C[N+](=O)[O-]", "CS(C)(=O)=O", "C[Li]", "c1ccncc1",
                                    "OP(=O)(O)O", "[Na+].[Cl-]"])
def test_structure_invariants(smiles):
    mol, H, subs, pos, chem = _core.build_vif_graph(smiles)
    assert type(H) is nx.Graph and list(H.nodes) == list(range(H.number_of_nodes()))
    nxt, owner = 0, {}
    for atom in mol.GetAtoms():
        sym, per = atom.GetSymbol(), period(atom.GetSymbol())
        block = subs[atom.GetIdx()]
        assert block == list(range(nxt, nxt + (4 if per in (2, 3) else 9 if per > 3 else 1)))
        nxt += len(block)
        assert [H.nodes[n]["kind"] for n in block] == sorted((H.nodes[n]["kind"] for n in block), reverse=True)
        for n in block:
            owner[n] = atom.GetIdx()
            assert (H.nodes[n]["symbol"], H.nodes[n]["rol"]) == (sym, "Merkez" if sym in ("C", "Li") else "Uç")
    assert nxt == H.number_of_nodes()
    bond_seq = [(b.GetBeginAtomIdx(), b.GetEndAtomIdx()) for b in mol.GetBonds()]
    orders = trelvanoxa._build_bond_orders(mol)
    inter = {frozenset(e) for e in H.edges if owner[e[0]] != owner[e[1]]}
    assert len(chem) == len(inter) and {frozenset((c["u_node"], c["v_node"])) for c in chem} == inter
    for u, v, d in H.edges(data=True):
        assert d == {"weight": 0.9 if owner[u] != owner[v] else 1.0}
        assert owner[u] != owner[v] or H.nodes[u]["kind"] == H.nodes[v]["kind"] == "sigma"
    assert [bond_seq.index((c["atom_u"], c["atom_v"])) for c in chem] == sorted(
        bond_seq.index((c["atom_u"], c["atom_v"])) for c in chem)
    for c in chem:
        assert (owner[c["u_node"]], owner[c["v_node"]]) == (c["atom_u"], c["atom_v"])
        assert c["order"] == orders[(c["atom_u"], c["atom_v"])] and 0 <= c["k"] < c["order"]


@pytest.mark.parametrize("smiles,tbl,ratio,kappa", [("CCO", 1.5, 0.23, 0.9), ("C=CC#N", 1.5, 0.23, 0.5),
                                                     ("CBr", 2.0, 0.1, 1.3), ("O=C=O", 1.0, 0.5, 0.9)])
def test_nodes_sit_on_a_circle_and_hydrogens_at_angle_zero(smiles, tbl, ratio, kappa):
    mol, H, subs, pos, chem = _core.build_vif_graph(smiles, target_bond_len=tbl, radius_ratio=ratio,
                                                    bond_kappa=kappa)
    centres, _ = compute_atom_layout(prepare(smiles), target_bond_len=tbl)
    for atom in mol.GetAtoms():
        c = centres[atom.GetIdx()]
        for n in subs[atom.GetIdx()]:
            assert pos[n].dtype == np.float64 and pos[n].shape == (2,)
            assert math.isclose(np.linalg.norm(pos[n] - c), tbl * ratio, rel_tol=1e-12)
        if atom.GetSymbol() == "H":
            assert np.allclose(pos[subs[atom.GetIdx()][0]], c + [tbl * ratio, 0.0], atol=1e-12)
    assert {H[c["u_node"]][c["v_node"]]["weight"] for c in chem} == {kappa}


def test_unbonded_ions_get_evenly_spaced_nodes():
    # No links; the ions repel to min_nb = 1.8 apart, centred at x = -0.9 and +0.9.
    mol, H, subs, pos, chem = _core.build_vif_graph("[Na+].[Cl-]")
    assert chem == [] and (H.number_of_nodes(), H.number_of_edges()) == (8, 12)
    centres, _ = compute_atom_layout(prepare("[Na+].[Cl-]"))
    assert np.allclose(sorted(centres[:, 0]), [-0.9, 0.9], atol=1e-9) and np.allclose(centres[:, 1], 0, atol=1e-12)
    r = 0.345
    for atom in (0, 1):
        assert np.allclose([pos[n] - centres[atom] for n in subs[atom]], [[r, 0], [0, r], [-r, 0], [0, -r]])


def test_one_node_atoms_take_every_link_and_pairs_are_never_doubled():
    mol, H, subs, pos, chem = _core.build_vif_graph("[He]=[He]")  # second link would repeat the pair
    assert list(H.edges(data=True)) == [(0, 1, {"weight": 0.9})] and [(c["k"], c["order"]) for c in chem] == [(0, 2)]
    mol, H, subs, pos, chem = _core.build_vif_graph("C=[H]")  # carbon: sigma node for k=0, pi node for k=1
    ch = [c for c in chem if 1 in (c["atom_u"], c["atom_v"])]
    assert [c["k"] for c in ch] == [0, 1] and len({c["u_node"] for c in ch}) == 2
    assert {c["v_node"] for c in ch} == set(subs[1])


@pytest.mark.parametrize("smiles", ["C1CC", "((", "not a smiles", "C)C", ""])
def test_unreadable_smiles_gives_no_graph(smiles):
    assert _core.build_vif_graph(smiles) is None


def test_unusual_valence_is_accepted_and_dummy_atom_fails_in_the_element_lookup():
    assert _core.build_vif_graph("C(C)(C)(C)(C)C")[1].number_of_nodes() == 6 * 4 + 15
    with pytest.raises(Exception) as direct:
        mendeleev.element("*")
    with pytest.raises(type(direct.value)):
        _core.build_vif_graph("*C")


# ------------------------------------------------------------ bond orders

@pytest.mark.parametrize("bond_type,order", [
    ("SINGLE", 1), ("DOUBLE", 2), ("TRIPLE", 3), ("QUADRUPLE", 4), ("DATIVE", 1),
    ("AROMATIC", 2), ("ONEANDAHALF", 2),                # 1.5 rounds to 2
    ("TWOANDAHALF", 2), ("THREEANDAHALF", 4),           # halves go to the even neighbour
    ("ZERO", 1), ("UNSPECIFIED", 1), ("IONIC", 1), ("HYDROGEN", 1),
])
def test_bond_type_to_order(bond_type, order):
    mol = Chem.RWMol(Chem.MolFromSmiles("CC", sanitize=False))
    mol.GetBondWithIdx(0).SetBondType(getattr(Chem.BondType, bond_type))
    assert trelvanoxa._build_bond_orders(mol) == {(0, 1): order, (1, 0): order}


def test_bond_order_map_of_molecules():
    bo = trelvanoxa._build_bond_orders(prepare("CC=CC#N"))
    assert len(bo) == 2 * 9 and bo[(1, 2)] == bo[(2, 1)] == 2 and bo[(4, 3)] == bo[(3, 4)] == 3
    assert all(type(v) is int and bo[(b, a)] == v for (a, b), v in bo.items())
    assert set(trelvanoxa._build_bond_orders(Chem.MolFromSmiles("c1ccccc1", sanitize=False)).values()) == {2}
    assert trelvanoxa._build_bond_orders(prepare("[Na+].[Cl-]")) == {}
