"""Orbital-interaction (VIF) graph construction.  The LPI triples and node totals of
the reference molecules are checked through the validation report (test_reference.py)."""

import functools
import math

import mendeleev
import numpy as np
import pytest

from helpers import prepare
from trelvanoxa import _core, compute_atom_layout

period = functools.cache(lambda symbol: mendeleev.element(symbol).period)


def toward(p, centre):
    return math.atan2(p[1] - centre[1], p[0] - centre[0])


def same_direction(a, b):
    return abs((a - b + math.pi) % (2 * math.pi) - math.pi) < 1e-9


def test_water_in_detail():
    mol, H, subs, pos, chem = _core.build_vif_graph("O")
    assert [a.GetSymbol() for a in mol.GetAtoms()] == ["O", "H", "H"] and subs == {0: [0, 1, 2, 3], 1: [4], 2: [5]}
    assert list(H.nodes(data=True)) == [(n, {"symbol": s, "rol": "Uç", "kind": "sigma"})
                                        for n, s in enumerate("OOOOHH")]
    assert sorted(H.edges(data="weight")) == sorted([(a, b, 1.0) for a in range(4) for b in range(a + 1, 4)] + [
        (0, 4, 0.9), (1, 5, 0.9)])
    assert chem == [{"u_node": u, "v_node": v, "atom_u": 0, "atom_v": h, "sym_u": "O", "sym_v": "H", "order": 1, "k": 0}
                    for u, v, h in [(0, 4, 1), (1, 5, 2)]]
    assert list(chem[0]) == ["u_node", "v_node", "atom_u", "atom_v", "sym_u", "sym_v", "order", "k"]


def test_link_nodes_follow_the_bond_directions():
    # Ethylene C0: targets b - 0.175, b + 0.175 (b the C=C direction), then its two H directions; its nodes
    # take them in that order.  Sigma links: C1 -> node 0 and H2 -> node 2 match exactly, H3 takes the sigma
    # node left (1); the pi link goes to the only pi node, 3.
    mol, H, subs, pos, chem = _core.build_vif_graph("C=C")
    centres, _ = compute_atom_layout(mol)
    for atom, (other, h1, h2) in [(0, (1, 2, 3)), (1, (0, 4, 5))]:
        c = centres[atom]
        b = toward(centres[other], c)
        want = [b - 0.175, b + 0.175, toward(centres[h1], c), toward(centres[h2], c)]
        assert all(same_direction(toward(pos[n], c), w) for n, w in zip(subs[atom], want))
    assert [(c["u_node"], c["v_node"], c["k"], c["order"]) for c in chem] == [
        (0, 4, 0, 2), (3, 7, 1, 2), (2, 8, 0, 1), (1, 9, 0, 1), (6, 10, 0, 1), (5, 11, 0, 1)]
    mol, H, subs, pos, chem = _core.build_vif_graph("OCC(N)CS")  # single bonds: each link node faces its partner
    centres, _ = compute_atom_layout(mol)
    for c in chem:
        for node, atom, other in [(c["u_node"], c["atom_u"], c["atom_v"]), (c["v_node"], c["atom_v"], c["atom_u"])]:
            assert len(subs[atom]) == 1 or same_direction(toward(pos[node], centres[atom]),
                                                          toward(centres[other], centres[atom]))


# Blocks of 1, 4 or 9 nodes by period, sigma first, the sigma nodes a clique and nothing else inside an atom.
@pytest.mark.parametrize("smiles,atom,kinds", [
    ("CC#N", 2, "sspp"),               # triple bond: 2 sigma, 2 pi
    ("C(#C)#C", 0, "sppp"),            # pi excess 4 capped at n_nodes - 1 = 3
    ("c1ccccc1", 3, "sssp"),           # kekulized ring: one double bond per carbon
    ("CBr", 1, "s" * 9), ("FS(F)(F)(F)(F)F", 1, "ssss"), ("C[Li]", 1, "ssss"),
])
def test_sigma_and_pi_nodes(smiles, atom, kinds):
    mol, H, subs, pos, chem = _core.build_vif_graph(smiles)
    owner = {n: a for a, block in subs.items() for n in block}
    assert list(owner) == list(H.nodes) == list(range(len(owner))) and all(
        len(block) == {1: 1, 2: 4, 3: 4}.get(period(mol.GetAtomWithIdx(a).GetSymbol()), 9) for a, block in subs.items())
    sym = mol.GetAtomWithIdx(atom).GetSymbol()
    assert {(H.nodes[n]["symbol"], H.nodes[n]["rol"]) for n in subs[atom]} == {
        (sym, "Merkez" if sym in ("C", "Li") else "Uç")}
    assert "".join(H.nodes[n]["kind"][0] for n in subs[atom]) == kinds
    inter = {frozenset(e) for e in H.edges if owner[e[0]] != owner[e[1]]}  # the links are the chem-bond records
    assert len(chem) == len(inter) == len({frozenset((c["u_node"], c["v_node"])) for c in chem} & inter)
    n_sigma = kinds.count("s")
    assert H.subgraph(subs[atom]).number_of_edges() == n_sigma * (n_sigma - 1) // 2  # sigma clique only
    sides = [(c["u_node"] if c["atom_u"] == atom else c["v_node"], c["k"]) for c in chem
             if atom in (c["atom_u"], c["atom_v"])]
    assert all((H.nodes[n]["kind"] == "sigma") == (k == 0) for n, k in sides)
    assert n_sigma > 1 or {n for n, k in sides if k == 0} == {subs[atom][0]}  # one sigma node carries them all


def test_special_cases():
    # unbonded ions: no link, each atom's nodes evenly spaced from angle 0; the ions repel to 1.8 apart
    mol, H, subs, pos, chem = _core.build_vif_graph("[Na+].[Cl-]")
    centres, _ = compute_atom_layout(prepare("[Na+].[Cl-]"))
    assert chem == [] and H.number_of_edges() == 12 and np.allclose(sorted(centres[:, 0]), [-0.9, 0.9])
    for atom in (0, 1):
        np.testing.assert_allclose([pos[n] - centres[atom] for n in subs[atom]],
                                   0.345 * np.array([[1, 0], [0, 1], [-1, 0], [0, -1]]), atol=1e-12)
    mol, H, subs, pos, chem = _core.build_vif_graph("[He]=[He]")  # the second link would repeat the pair
    assert list(H.edges(data=True)) == [(0, 1, {"weight": 0.9})] and [(c["k"], c["order"]) for c in chem] == [(0, 2)]
    assert [_core.build_vif_graph(bad) for bad in ["C1CC", "not a smiles", ""]] == [None] * 3
