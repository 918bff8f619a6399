"""Orbital-interaction (VIF) graph construction, bond orders and soft bonds."""

import math

import mendeleev
import networkx as nx
import numpy as np
import pytest
from rdkit import Chem

import trelvanoxa
from trelvanoxa import _core, compute_lpi, detect_soft_bonds

import oracles
from oracles import prepare

RECORD_KEYS = ["u_node", "v_node", "atom_u", "atom_v", "sym_u", "sym_v",
               "order", "k"]

# Reference signatures (n+, n0, n-); node totals are 4 per C/N/O/F, 1 per H.
REFERENCE = [
    ("O", 6, (3, 0, 3)),            # 4 + 2
    ("CO", 12, (6, 0, 6)),          # 8 + 4
    ("CCC", 20, (10, 0, 10)),       # 12 + 8
    ("CCCC", 26, (13, 0, 13)),      # 16 + 10
    ("CN", 13, (6, 1, 6)),          # 8 + 5
    ("F", 5, (2, 0, 3)),            # 4 + 1
    ("CF", 11, (5, 0, 6)),          # 8 + 3
    ("C=C", 12, (6, 0, 6)),         # 8 + 4
    ("c1ccccc1", 30, (15, 0, 15)),  # 24 + 6
    ("C1CCCCC1", 36, (18, 0, 18)),  # 24 + 12
    ("CC(=O)OC1=CC=CC=C1C(=O)O", 60, (26, 0, 34)),  # 13 heavy * 4 + 8
]


def counts(rec):
    return (rec["n+"], rec["n0"], rec["n-"])


@pytest.mark.parametrize("smiles,total,lpi", REFERENCE)
def test_reference_molecules(built, smiles, total, lpi):
    mol, H, subs, pos, chem = built(smiles)
    assert H.number_of_nodes() == total
    assert counts(compute_lpi(H)) == lpi
    assert sum(lpi) == total


def test_water_in_detail(built):
    mol, H, subs, pos, chem = built("O")
    assert [a.GetSymbol() for a in mol.GetAtoms()] == ["O", "H", "H"]
    assert subs == {0: [0, 1, 2, 3], 1: [4], 2: [5]}
    assert [H.nodes[n]["kind"] for n in range(4)] == ["sigma"] * 4
    inner = [(u, v) for u, v in H.edges if u < 4 and v < 4]
    assert len(inner) == 6
    assert all(H[u][v]["weight"] == 1.0 for u, v in inner)
    links = [(u, v) for u, v in H.edges if (u < 4) != (v < 4)]
    assert len(links) == 2
    assert all(H[u][v]["weight"] == 0.9 for u, v in links)
    assert len(chem) == 2
    assert [(c["atom_u"], c["atom_v"], c["sym_u"], c["sym_v"], c["order"], c["k"])
            for c in chem] == [(0, 1, "O", "H", 1, 0), (0, 2, "O", "H", 1, 0)]
    assert [c["v_node"] for c in chem] == [4, 5]


STRUCTURE_SMILES = ["O", "C=C", "C#C", "CC(=O)O", "CBr", "CI", "C[N+](=O)[O-]",
                    "CS(C)(=O)=O", "C[Li]", "c1ccncc1", "FS(F)(F)(F)(F)F"]


@pytest.mark.parametrize("smiles", STRUCTURE_SMILES)
def test_node_and_edge_attributes(built, periods, smiles):
    mol, H, subs, pos, chem = built(smiles)
    assert isinstance(H, nx.Graph)
    assert not H.is_directed() and not H.is_multigraph()
    assert list(H.nodes) == list(range(H.number_of_nodes()))
    # consecutive blocks in atom order, sized by period
    nxt = 0
    for atom in mol.GetAtoms():
        block = subs[atom.GetIdx()]
        n = oracles.nodes_for_period(periods(atom.GetSymbol()))
        assert block == list(range(nxt, nxt + n))
        nxt += n
        sym = atom.GetSymbol()
        kinds = [H.nodes[v]["kind"] for v in block]
        assert kinds == sorted(kinds, key=lambda k: k != "sigma")  # sigma first
        for v in block:
            assert H.nodes[v] == {"symbol": sym,
                                  "rol": "Merkez" if sym in ("C", "Li") else "Uç",
                                  "kind": H.nodes[v]["kind"]}
            assert list(H.nodes[v]) == ["symbol", "rol", "kind"]
            assert H.nodes[v]["kind"] in ("sigma", "pi")
        sig = [v for v in block if H.nodes[v]["kind"] == "sigma"]
        pi = [v for v in block if H.nodes[v]["kind"] == "pi"]
        assert len(sig) >= 1
        # the sigma nodes form a clique of weight 1.0 ...
        for i, u in enumerate(sig):
            for v in sig[i + 1:]:
                assert H[u][v] == {"weight": 1.0}
        # ... and nothing else joins two nodes of the same atom
        for u in pi:
            assert not any(w in block for w in H[u])
    assert nxt == H.number_of_nodes()
    for u, v, d in H.edges(data=True):
        assert list(d) == ["weight"]


@pytest.mark.parametrize("smiles", STRUCTURE_SMILES)
def test_chem_bond_records_are_the_inter_atom_edges(built, smiles):
    mol, H, subs, pos, chem = built(smiles)
    owner = {v: a for a, block in subs.items() for v in block}
    inter = {frozenset((u, v)) for u, v in H.edges if owner[u] != owner[v]}
    assert {frozenset((c["u_node"], c["v_node"])) for c in chem} == inter
    assert len(chem) == len(inter)
    orders = oracles.bond_orders(mol)
    bond_seq = [(b.GetBeginAtomIdx(), b.GetEndAtomIdx()) for b in mol.GetBonds()]
    last = -1
    for c in chem:
        assert list(c) == RECORD_KEYS
        assert owner[c["u_node"]] == c["atom_u"]
        assert owner[c["v_node"]] == c["atom_v"]
        assert c["sym_u"] == mol.GetAtomWithIdx(c["atom_u"]).GetSymbol()
        assert c["sym_v"] == mol.GetAtomWithIdx(c["atom_v"]).GetSymbol()
        assert c["order"] == orders[(c["atom_u"], c["atom_v"])]
        assert 0 <= c["k"] < c["order"]
        assert H[c["u_node"]][c["v_node"]] == {"weight": 0.9}
        # records follow RDKit bond order, begin atom first
        pos_ = bond_seq.index((c["atom_u"], c["atom_v"]))
        assert pos_ >= last
        last = pos_


def test_ethylene_pi_link(built):
    mol, H, subs, pos, chem = built("C=C")
    for atom in (0, 1):
        kinds = [H.nodes[v]["kind"] for v in subs[atom]]
        assert kinds == ["sigma", "sigma", "sigma", "pi"]
    cc = [c for c in chem if {c["atom_u"], c["atom_v"]} == {0, 1}]
    assert [(c["k"], c["order"]) for c in cc] == [(0, 2), (1, 2)]
    k0, k1 = cc
    assert H.nodes[k0["u_node"]]["kind"] == H.nodes[k0["v_node"]]["kind"] == "sigma"
    assert (k1["u_node"], k1["v_node"]) == (subs[0][3], subs[1][3])
    assert H.number_of_nodes() == 12


@pytest.mark.parametrize("smiles,atom", [("C#C", 0), ("CC#N", 1), ("N#N", 0),
                                         ("CC#N", 2)])
def test_triple_bond_atom_has_two_sigma_two_pi(built, smiles, atom):
    mol, H, subs, pos, chem = built(smiles)
    kinds = [H.nodes[v]["kind"] for v in subs[atom]]
    assert kinds == ["sigma", "sigma", "pi", "pi"]
    triple = [c for c in chem if c["order"] == 3 and atom in (c["atom_u"], c["atom_v"])]
    assert [c["k"] for c in triple] == [0, 1, 2]
    side = "u_node" if triple[0]["atom_u"] == atom else "v_node"
    assert H.nodes[triple[0][side]]["kind"] == "sigma"
    assert {triple[1][side], triple[2][side]} == set(subs[atom][2:])


def test_excess_pi_keeps_one_sigma_node(built):
    # the middle carbon of C(#C)#C has pi_count 2 + 2 = 4, capped at
    # n_nodes - 1 = 3 pi nodes: its one sigma node carries both sigma links
    mol, H, subs, pos, chem = built("C(#C)#C")
    kinds = [H.nodes[v]["kind"] for v in subs[0]]
    assert kinds == ["sigma", "pi", "pi", "pi"]
    sigma_links = [c for c in chem if c["atom_u"] == 0 and c["k"] == 0]
    assert len(sigma_links) == 2
    assert {c["u_node"] for c in sigma_links} == {subs[0][0]}


@pytest.mark.parametrize("smiles,atom,symbol", [("CBr", 1, "Br"), ("CI", 1, "I"),
                                                ("Brc1ccccc1", 0, "Br")])
def test_heavy_halogens_have_nine_nodes(built, smiles, atom, symbol):
    mol, H, subs, pos, chem = built(smiles)
    assert mol.GetAtomWithIdx(atom).GetSymbol() == symbol
    assert len(subs[atom]) == 9
    # all sigma (single bond only): a 9-clique of 36 edges
    block = subs[atom]
    assert H.subgraph(block).number_of_edges() == 36


def _centres(mol, target_bond_len=1.5):
    """Atom positions from the layout of the prepared molecule."""
    coords, _ = trelvanoxa.compute_atom_layout(
        mol, n_iter=600, target_bond_len=target_bond_len)
    return coords


@pytest.mark.parametrize("smiles,tbl,ratio", [
    ("CCO", 1.5, 0.23),     # radius 0.345
    ("C=CC#N", 1.5, 0.23),
    ("CBr", 2.0, 0.1),      # radius 0.2
    ("O=C=O", 1.0, 0.5),    # radius 0.5
])
def test_nodes_on_circle_and_hydrogens_at_angle_zero(smiles, tbl, ratio):
    mol, H, subs, pos, chem = _core.build_vif_graph(
        smiles, target_bond_len=tbl, radius_ratio=ratio)
    radius = tbl * ratio
    centres = _centres(prepare(smiles), tbl)
    for atom in mol.GetAtoms():
        c = centres[atom.GetIdx()]
        for v in subs[atom.GetIdx()]:
            p = pos[v]
            assert isinstance(p, np.ndarray) and p.dtype == np.float64
            assert p.shape == (2,)
            assert math.isclose(np.linalg.norm(p - c), radius, rel_tol=1e-12)
        if atom.GetSymbol() == "H":
            (v,) = subs[atom.GetIdx()]
            np.testing.assert_allclose(pos[v], c + [radius, 0.0], atol=1e-12)


@pytest.mark.parametrize("kappa", [0.9, 0.5, 1.3])
def test_bond_kappa_is_the_link_weight(kappa):
    mol, H, subs, pos, chem = _core.build_vif_graph("CC=O", bond_kappa=kappa)
    for c in chem:
        assert H[c["u_node"]][c["v_node"]]["weight"] == kappa
    owner = {v: a for a, b in subs.items() for v in b}
    intra = [d["weight"] for u, v, d in H.edges(data=True) if owner[u] == owner[v]]
    assert intra and set(intra) == {1.0}


def test_isolated_atoms_get_evenly_spaced_nodes():
    # Na+ and Cl- are not bonded: no links, each atom's four nodes at
    # angles 0, pi/2, pi, 3pi/2; the two ions repel until they are
    # min_nb = 1.5 * 1.2 = 1.8 apart, centred: x = -0.9 and +0.9
    mol, H, subs, pos, chem = _core.build_vif_graph("[Na+].[Cl-]")
    assert chem == []
    assert H.number_of_nodes() == 8
    assert H.number_of_edges() == 12
    centres = _centres(prepare("[Na+].[Cl-]"))
    np.testing.assert_allclose(sorted(centres[:, 0]), [-0.9, 0.9], atol=1e-9)
    np.testing.assert_allclose(centres[:, 1], [0.0, 0.0], atol=1e-12)
    r = 0.345
    for atom in (0, 1):
        got = np.array([pos[v] for v in subs[atom]]) - centres[atom]
        np.testing.assert_allclose(got, [[r, 0], [0, r], [-r, 0], [0, -r]],
                                   atol=1e-12)


def test_two_one_node_atoms_with_a_double_bond_get_one_link():
    # both links of the bond fall on the only node of each atom; the second
    # would repeat the pair, so it is skipped
    mol, H, subs, pos, chem = _core.build_vif_graph("[He]=[He]")
    assert H.number_of_nodes() == 2
    assert list(H.edges(data=True)) == [(0, 1, {"weight": 0.9})]
    assert [(c["k"], c["order"]) for c in chem] == [(0, 2)]


def test_double_bond_to_hydrogen_uses_two_carbon_nodes():
    # C=[H]: the hydrogen's single node takes both links, the carbon gives a
    # sigma node to k = 0 and its pi node to k = 1, so both edges exist
    mol, H, subs, pos, chem = _core.build_vif_graph("C=[H]")
    ch = [c for c in chem if c["atom_v"] == 1 or c["atom_u"] == 1]
    assert [c["k"] for c in ch] == [0, 1]
    assert len({c["u_node"] for c in ch}) == 2
    assert {c["v_node"] for c in ch} == set(subs[1])


@pytest.mark.parametrize("smiles", ["C1CC", "((", "not a smiles", "C)C"])
def test_unreadable_smiles_gives_none(smiles):
    assert _core.build_vif_graph(smiles) is None


def test_empty_smiles_is_unreadable():
    # RDKit parses "" to a molecule without atoms; there is nothing to
    # analyse, so it counts as unreadable rather than as an empty success.
    assert _core.build_vif_graph("") is None


def test_dummy_atom_raises_the_element_lookup_error():
    with pytest.raises(Exception) as direct:
        mendeleev.element("*")
    with pytest.raises(type(direct.value)):
        _core.build_vif_graph("*C")


@pytest.mark.parametrize("smiles", [
    "CCO.O",                     # two components
    "C(C)(C)(C)(C)C",            # five-bonded carbon: accepted without sanitising
    "C[Mg]Br", "CC[Zn]CC", "FI(F)(F)(F)(F)(F)F", "OS(=O)(=O)O",
    "C[N+](=O)[O-]", "ClP(Cl)(Cl)(Cl)Cl",
    "C(#C)#C", "[C](=O)(=O)(=O)=O", "O=S(=O)(=O)=O", "[Na+].[Cl-]",
    "[Li]#[Li]", "C=[H]",
])
def test_graph_follows_the_construction_rules(periods, smiles):
    _check_against_rules(periods, smiles)


def test_every_test_molecule_follows_the_construction_rules(periods, molecules):
    for smiles, name in molecules:
        _check_against_rules(periods, smiles, name)


def _check_against_rules(periods, smiles, name=""):
    """Rebuild the orbital graph from the layout coordinates with an
    independent implementation of the node and link rules and compare."""
    res = _core.build_vif_graph(smiles)
    assert res is not None, name
    mol, H, subs, pos, chem = res
    ref_mol = prepare(smiles)
    total = sum(oracles.nodes_for_period(periods(a.GetSymbol()))
                for a in ref_mol.GetAtoms())
    assert H.number_of_nodes() == total, name
    assert sum(counts(compute_lpi(H))) == total
    coords, _ = trelvanoxa.compute_atom_layout(ref_mol)
    H2, subs2, pos2, chem2 = oracles.expected_vif(
        ref_mol, coords, {a.GetSymbol(): periods(a.GetSymbol())
                          for a in ref_mol.GetAtoms()})
    assert list(H.nodes(data=True)) == list(H2.nodes(data=True)), name
    e1 = sorted((min(u, v), max(u, v), d["weight"]) for u, v, d in H.edges(data=True))
    e2 = sorted((min(u, v), max(u, v), d["weight"]) for u, v, d in H2.edges(data=True))
    assert e1 == e2, name
    assert chem == chem2, name
    assert subs == subs2, name
    assert list(pos) == list(pos2)
    if not np.isnan(coords).any():  # CoordGen gives NaN for a lone H2
        for v in pos2:
            np.testing.assert_allclose(pos[v], pos2[v], atol=1e-9, err_msg=name)


# ------------------------------------------------------------ bond orders

def test_bond_orders_both_orientations():
    mol = prepare("CC=CC#N")
    bo = trelvanoxa._build_bond_orders(mol)
    assert isinstance(bo, dict)
    assert len(bo) == 2 * mol.GetNumBonds()
    assert bo[(0, 1)] == bo[(1, 0)] == 1
    assert bo[(1, 2)] == bo[(2, 1)] == 2
    assert bo[(4, 3)] == bo[(3, 4)] == 3
    for (u, v), order in bo.items():
        assert type(order) is int and order >= 1
        assert bo[(v, u)] == order


def test_aromatic_bonds_not_kekulized_map_to_two():
    mol = Chem.MolFromSmiles("c1ccccc1", sanitize=False)
    assert all(b.GetBondType() == Chem.BondType.AROMATIC for b in mol.GetBonds())
    bo = trelvanoxa._build_bond_orders(mol)
    assert set(bo.values()) == {2}
    assert len(bo) == 12


def _single_bond_of_type(bond_type):
    mol = Chem.RWMol(Chem.MolFromSmiles("CC", sanitize=False))
    mol.GetBondWithIdx(0).SetBondType(bond_type)
    return mol


@pytest.mark.parametrize("bond_type,order", [
    (Chem.BondType.SINGLE, 1),
    (Chem.BondType.DOUBLE, 2),
    (Chem.BondType.TRIPLE, 3),
    (Chem.BondType.QUADRUPLE, 4),
    (Chem.BondType.AROMATIC, 2),          # 1.5 rounds half to even: 2
    (Chem.BondType.ONEANDAHALF, 2),
    (Chem.BondType.TWOANDAHALF, 2),       # 2.5 -> 2, not 3
    (Chem.BondType.THREEANDAHALF, 4),     # 3.5 -> 4
    (Chem.BondType.DATIVE, 1),
    (Chem.BondType.ZERO, 1),              # value 0 -> 1
    (Chem.BondType.UNSPECIFIED, 1),
    (Chem.BondType.IONIC, 1),
    (Chem.BondType.HYDROGEN, 1),
])
def test_bond_type_to_order(bond_type, order):
    mol = _single_bond_of_type(bond_type)
    assert mol.GetBondWithIdx(0).GetBondTypeAsDouble() in (
        0.0, 0.5, 1.0, 1.5, 2.0, 2.5, 3.0, 3.5, 4.0)
    bo = trelvanoxa._build_bond_orders(mol)
    assert bo == {(0, 1): order, (1, 0): order}


def test_bond_orders_of_a_molecule_without_bonds():
    assert trelvanoxa._build_bond_orders(prepare("[Na+].[Cl-]")) == {}


def test_bond_orders_agree_with_rule_on_test_molecules(molecules):
    for smiles, name in molecules:
        mol = prepare(smiles)
        assert trelvanoxa._build_bond_orders(mol) == oracles.bond_orders(mol), name


# ------------------------------------------------------------ soft bonds

def random_weighted_graph(seed):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(2, 16))
    g = nx.gnp_random_graph(n, float(rng.uniform(0.15, 0.6)), seed=seed)
    for u, v in g.edges:
        g[u][v]["weight"] = float(rng.choice([1.0, 0.9, 0.5]))
    return g


def _records_for_all_edges(g, extra_missing=()):
    recs = [{"u_node": u, "v_node": v, "tag": i} for i, (u, v) in enumerate(g.edges)]
    for u, v in extra_missing:
        recs.append({"u_node": u, "v_node": v, "tag": "missing"})
    return recs


def _snapshot(g):
    return (sorted(g.nodes), sorted((min(u, v), max(u, v), tuple(sorted(d.items())))
                                    for u, v, d in g.edges(data=True)))


@pytest.mark.parametrize("seed", range(40))
def test_soft_bonds_match_the_definition_on_random_graphs(seed):
    g = random_weighted_graph(seed)
    non_edges = [(u, v) for u, v in nx.non_edges(g)][:3]
    recs = _records_for_all_edges(g, non_edges)
    before = _snapshot(g)
    soft = detect_soft_bonds(g, recs, compute_lpi(g))
    expected = [recs[i] for i in oracles.soft_indices(g, recs)]
    assert soft == expected
    assert all(a is b for a, b in zip(soft, expected))  # the same objects
    assert all(r["tag"] != "missing" for r in soft)
    assert _snapshot(g) == before


@pytest.mark.parametrize("smiles", ["O", "CO", "CN", "CC=O", "c1ccccc1",
                                    "Clc1ccccc1", "CC(=NO)C", "C[N+](=O)[O-]",
                                    "CC(=O)OC1=CC=CC=C1C(=O)O", "CBr"])
def test_soft_bonds_match_the_definition_on_orbital_graphs(smiles):
    mol, H, subs, pos, chem = _core.build_vif_graph(smiles)
    before = _snapshot(H)
    soft = detect_soft_bonds(H, chem, compute_lpi(H))
    expected = [chem[i] for i in oracles.soft_indices(H, chem)]
    assert [id(r) for r in soft] == [id(r) for r in expected]
    assert _snapshot(H) == before


def test_tolerance_is_passed_on():
    # path a-b-c with weights 1 and 1e-6: eigenvalues -r, 0, +r with
    # r = sqrt(1 + 1e-12), so (1, 1, 1) for both tolerances below.
    # Removing a-b leaves b-c alone: -1e-6, 0, 1e-6 -> (1, 1, 1) at tol 1e-9
    # (soft) but (0, 3, 0) at tol 1e-5 (not soft).  Removing b-c leaves
    # -1, 0, 1 -> (1, 1, 1): soft at both tolerances.
    g = nx.Graph()
    g.add_edge("a", "b", weight=1.0)
    g.add_edge("b", "c", weight=1e-6)
    recs = [{"u_node": "a", "v_node": "b"}, {"u_node": "b", "v_node": "c"}]
    base = compute_lpi(g, tol=1e-5)
    assert counts(base) == (1, 1, 1)
    assert detect_soft_bonds(g, recs, base, tol=1e-5) == [recs[1]]
    assert detect_soft_bonds(g, recs, base, 1e-5) == [recs[1]]
    assert detect_soft_bonds(g, recs, compute_lpi(g)) == recs


def test_counts_only_are_compared():
    # removing 0-1 from the path 0-1-2-3 leaves an isolated node and the
    # path 1-2-3: eigenvalues -sqrt2, 0, 0, sqrt2 -> (1, 2, 1)
    g = nx.path_graph(4)
    recs = [{"u_node": 0, "v_node": 1}]
    same_counts = {"n+": 1, "n0": 2, "n-": 1, "eigenvalues": np.array([123.0])}
    assert detect_soft_bonds(g, recs, same_counts) == recs
    for other in [(2, 0, 2), (1, 1, 2), (2, 2, 0)]:
        base = dict(zip(["n+", "n0", "n-"], other), eigenvalues=np.zeros(4))
        assert detect_soft_bonds(g, recs, base) == []


def test_edge_without_weight_comes_back_with_weight_one():
    g = nx.Graph()
    g.add_edge(0, 1)
    g.add_edge(1, 2, weight=0.9)
    detect_soft_bonds(g, [{"u_node": 0, "v_node": 1}], compute_lpi(g))
    assert g[0][1] == {"weight": 1.0}
    assert g[1][2] == {"weight": 0.9}
    assert sorted(g.nodes) == [0, 1, 2]


def test_tested_link_keeps_its_attributes():
    # The caller's edge data is never dropped: a tested link keeps its weight
    # and any other attribute it carries.
    g = nx.Graph()
    g.add_edge(0, 1, weight=0.9, label="C-O")
    g.add_edge(1, 2, label="no weight")
    detect_soft_bonds(g, [{"u_node": 0, "v_node": 1}, {"u_node": 1, "v_node": 2}], compute_lpi(g))
    assert g[0][1] == {"weight": 0.9, "label": "C-O"}
    assert g[1][2] == {"label": "no weight", "weight": 1.0}


def test_empty_records_give_empty_result():
    g = nx.path_graph(3)
    assert detect_soft_bonds(g, [], compute_lpi(g)) == []


def test_unlinked_records_are_never_reported_and_leave_graph_alone():
    g = nx.Graph()
    g.add_nodes_from(range(4))
    g.add_edge(0, 1, weight=0.9)
    recs = [{"u_node": 2, "v_node": 3}, {"u_node": 0, "v_node": 3}]
    # removing a non-existent link would leave the LPI unchanged, but such
    # records are skipped before any test
    assert detect_soft_bonds(g, recs, compute_lpi(g)) == []
    assert list(g.edges(data=True)) == [(0, 1, {"weight": 0.9})]


@pytest.mark.parametrize("missing", ["u_node", "v_node"])
def test_record_missing_a_node_key_raises_key_error(missing):
    g = nx.path_graph(3)
    rec = {"u_node": 0, "v_node": 1}
    del rec[missing]
    with pytest.raises(KeyError):
        detect_soft_bonds(g, [rec], compute_lpi(g))


def test_soft_bond_keyword_call():
    g = nx.path_graph(3)
    recs = [{"u_node": 0, "v_node": 1}]
    base = compute_lpi(g)
    assert detect_soft_bonds(graph=g, chem_bonds=recs, baseline_lpi=base,
                             tol=1e-9) == detect_soft_bonds(g, recs, base)
