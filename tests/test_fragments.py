"""Mass-spectrum fragments: formulas, labels, single and ring double cuts, fragment-level soft
bonds and cuts, multi-generation cutting.

RDKit average masses used below: C 12.011, H 1.008, N 14.007, O 15.999, Cl 35.453.
"""

import collections
import re

import pytest
from rdkit import Chem

import trelvanoxa
from helpers import prepare
from trelvanoxa import (_core, _cut_atom_set, _fragment_atom_softs, _fragment_formula, _pair_label,
                        predict_fragments, predict_fragments_recursive)

NOMINAL = Chem.GetPeriodicTable().GetMostCommonIsotope


def soft(mol, u, v, order=1, **extra):
    """A hand-made soft-bond record for the bond u-v of a prepared molecule."""
    return {"atom_u": u, "atom_v": v, "sym_u": mol.GetAtomWithIdx(u).GetSymbol(),
            "sym_v": mol.GetAtomWithIdx(v).GetSymbol(), "order": order, **extra}


def shape(records):
    """Records without the average masses."""
    return [(r["bond"], r["split"], r["mode"], r["fragments"] and [(f[0], f[2]) for f in r["fragments"]])
            for r in records]


def element_counts(formula):
    return collections.Counter({el: int(n or 1) for el, n in re.findall(r"([A-Z][a-z]?)(\d*)", formula)})


def nominal_of(formula):
    pt = Chem.GetPeriodicTable()
    return sum(NOMINAL(pt.GetAtomicNumber(el)) * n for el, n in element_counts(formula).items())


@pytest.mark.parametrize("smiles,indices,expected", [
    ("CO", range(6), "CH4O"), ("CO", [], ""), ("CO", [0], "C"), ("CO", [2], "H"), ("CO", [0, 0], "C2"),
    ("CO", {1, 5}, "HO"), ("Cl", range(2), "HCl"), ("O", range(3), "H2O"), ("CCl", range(5), "CH3Cl"),
    ("ClCBr", [0, 1, 2], "CBrCl"), ("CCCCO", range(15), "C4H10O"), ("N[Na]", range(4), "H2NNa"),
    ("[Ba].[B].Br.[Si].S.[Se]", range(6), "BBaBrSSeSi"), ("[13CH4]", range(5), "CH4"),
    ("CCO", (i for i in range(9)), "C2H6O"), ("CCO", frozenset({0, 1}), "C2"),
])
def test_fragment_formula(smiles, indices, expected):
    assert _fragment_formula(prepare(smiles), indices) == expected


def test_pair_label_and_foreign_indices():
    mol = prepare("CCCO")
    assert [_pair_label(mol, 0, 3), _pair_label(mol, 3, 0), _pair_label(mol, i=2, j=10)] == ["C0-O3", "O3-C0",
                                                                                                "C2-H10"]
    for call in (lambda: _fragment_formula(mol, [0, 14]), lambda: _pair_label(mol, 0, 14),
                 lambda: _pair_label(mol, 14, 0), lambda: _fragment_formula(None, [0])):
        with pytest.raises(Exception) as err:
            call()
        assert not isinstance(err.value, SystemError)


# ------------------------------------------------------------ single and ring cuts

def test_hydroxyl_single_bond_is_cut_with_rounded_average_masses():
    # CH3-OH: OH = 16 + 1 = 17, CH3 = 12 + 3 = 15, heavier first.  CH3 weighs 12.011 + 3 * 1.008 =
    # 15.035, which rounds to 15.04 only when summed without accumulated error.
    mol = prepare("CO")
    out = predict_fragments(mol, [soft(mol, 0, 1)])
    assert out == [{"bond": "C0-O1", "split": True, "mode": "single", "fragments": [("HO", 17.01, 17),
                                                                                   ("CH3", 15.04, 15)]}]
    assert list(out[0]) == ["bond", "split", "mode", "fragments"] and type(out[0]["fragments"][0]) is tuple
    assert predict_fragments(mol, [soft(mol, 1, 0)])[0]["bond"] == "O1-C0"
    assert predict_fragments(mol, []) == []


def test_multiple_bond_leaving_one_heavy_atom_is_not_cut():
    # acetone C1=O3: the oxygen side is one heavy atom, so the double bond gives no record at all
    mol = prepare("CC(C)=O")
    assert predict_fragments(mol, [soft(mol, 1, 3, order=2, k=0), soft(mol, 1, 3, order=2, k=1)]) == []
    assert shape(predict_fragments(mol, [soft(mol, 1, 3, order=1)])) == [
        ("C1-O3", True, "single", [("C3H6", 42), ("O", 16)])]
    assert shape(predict_fragments(mol, [soft(mol, 0, 1)])) == [("C0-C1", True, "single",
                                                                [("C2H3O", 43), ("CH3", 15)])]
    mol = prepare("C=CC")  # propene C0=C1 leaves CH2 alone
    assert predict_fragments(mol, [soft(mol, 0, 1, order=2)]) == []
    assert shape(predict_fragments(mol, [soft(mol, 0, 1)])) == [("C0-C1", True, "single",
                                                                [("C2H4", 28), ("CH2", 14)])]
    # but-2-ene C1=C2: two heavy atoms each side; the two links give one record, named by the first
    mol = prepare("CC=CC")
    assert shape(predict_fragments(mol, [soft(mol, 1, 2, order=2, k=0), soft(mol, 2, 1, order=2, k=1)])) == [
        ("C1-C2", True, "single", [("C2H4", 28), ("C2H4", 28)])]


@pytest.mark.parametrize("smiles,masses", [("[13CH3]C=CC", [29.05, 28.05]), ("CC=C[13CH3]", [28.05, 29.05])])
def test_equal_mz_fragments_keep_component_order(smiles, masses):
    # the 13C label (13.003) changes the average mass but not the nominal mass
    mol = prepare(smiles)
    frags = predict_fragments(mol, [soft(mol, 1, 2, order=2)])[0]["fragments"]
    assert [(f[1], f[2]) for f in frags] == [(masses[0], 28), (masses[1], 28)]


def test_records_that_cut_no_bond():
    mol = prepare("CO")  # atoms 2 and 3 are hydrogens of the carbon, not bonded to each other
    assert predict_fragments(mol, [soft(mol, 2, 3), soft(mol, 3, 2)]) == []
    for bad in (99, -1):
        with pytest.raises(IndexError, match="outside the molecule"):
            predict_fragments(mol, [{"atom_u": 0, "atom_v": bad, "sym_u": "C", "sym_v": "X", "order": 1}])
    for missing in ("atom_u", "atom_v", "sym_u", "sym_v", "order"):
        rec = soft(mol, 0, 1)
        del rec[missing]
        with pytest.raises(KeyError):
            predict_fragments(mol, [rec])


def test_ring_bonds_and_ring_double_cuts():
    mol = prepare("C1CCCCC1")
    ring = [soft(mol, u, v) for u, v in [(0, 1), (1, 2), (2, 3), (3, 4), (4, 5), (5, 0)]]
    lone = {"bond": "C0-C1", "split": False, "mode": "single", "fragments": None}
    assert predict_fragments(mol, ring[:1], ring_fragmentation=True) == [lone]
    # of the 15 pairs only opposite bonds leave two pieces >= 30 (C3H6 + C3H6); (1-2, 4-5) and
    # (2-3, 5-0) repeat the mass pair (42, 42) and are dropped
    out = predict_fragments(mol, ring, True)
    assert out[:6] == predict_fragments(mol, ring) and out[0] == lone and not any(r["split"] for r in out[:6])
    assert shape(out[6:]) == [("C0-C1 + C3-C4", True, "ring", [("C3H6", 42), ("C3H6", 42)])]


def test_ring_cut_threshold_29_dropped_30_kept():
    # piperidine C2-N3 + C4-C5 cut out N3H-C4H2 = CH3N, 12 + 3 + 14 = 29
    mol = prepare("C1CCNCC1")
    recs = [soft(mol, 2, 3), soft(mol, 4, 5)]
    assert [r["mode"] for r in predict_fragments(mol, recs, ring_fragmentation=True)] == ["single"] * 2
    assert shape(predict_fragments(mol, recs, True, min_ring_fragment_mz=29)[2:]) == [
        ("C2-N3 + C4-C5", True, "ring", [("C4H8", 56), ("CH3N", 29)])]
    mol = prepare("C1CCOCC1")  # tetrahydropyran: O3-C4H2 = CH2O, 12 + 2 + 16 = 30
    assert shape(predict_fragments(mol, [soft(mol, 2, 3), soft(mol, 4, 5)], True)[2:]) == [
        ("C2-O3 + C4-C5", True, "ring", [("C4H8", 56), ("CH2O", 30)])]


def test_single_cuts_come_before_ring_cuts():
    mol = prepare("ClC1CCCCC1")  # C6H11 = 83; C3H5Cl = 36 + 5 + 35 = 76; C3H6 = 42
    out = predict_fragments(mol, [soft(mol, 1, 2), soft(mol, 0, 1), soft(mol, 4, 5)], ring_fragmentation=True)
    assert shape(out) == [("C1-C2", False, "single", None), ("Cl0-C1", True, "single", [("C6H11", 83), ("Cl", 35)]),
                          ("C4-C5", False, "single", None),
                          ("C1-C2 + C4-C5", True, "ring", [("C3H5Cl", 76), ("C3H6", 42)])]


def test_cutting_rules_hold_on_every_shared_molecule(molecules):
    for smiles, name in molecules:
        mol, H, subs, pos, chem = _core.build_vif_graph(smiles)
        softs = trelvanoxa.detect_soft_bonds(H, chem, trelvanoxa.compute_lpi(H))
        whole = collections.Counter(a.GetSymbol() for a in mol.GetAtoms())
        m0 = sum(NOMINAL(a.GetAtomicNum()) for a in mol.GetAtoms())
        avg = sum(a.GetMass() for a in mol.GetAtoms())
        labels = ["{}{}-{}{}".format(s["sym_u"], s["atom_u"], s["sym_v"], s["atom_v"]) for s in softs]
        order = {frozenset((s["atom_u"], s["atom_v"])): s["order"] for s in softs}
        for ring in (False, True):
            out = predict_fragments(mol, softs, ring_fragmentation=ring)
            singles = [r for r in out if r["mode"] == "single"]
            assert out[:len(singles)] == singles and all(r["split"] for r in out[len(singles):]), name
            bonds = [r["bond"] for r in singles]
            assert bonds == sorted(bonds, key=labels.index) and len(set(bonds)) == len(bonds), name
            assert {lb for lb, s in zip(labels, softs) if s["order"] == 1} <= set(bonds), name
            assert ring or len(singles) == len(out)
            mass_pairs = []
            for r in out:
                if not r["split"]:
                    assert r["fragments"] is None and r["mode"] == "single", name
                    continue
                (f1, a1, z1), (f2, a2, z2) = r["fragments"]
                assert z1 >= z2 and z1 + z2 == m0 and abs(a1 + a2 - avg) < 0.0101, name
                assert element_counts(f1) + element_counts(f2) == whole, name
                assert nominal_of(f1) == z1 and nominal_of(f2) == z2, name
                heavy = min(sum(n for el, n in element_counts(f).items() if el != "H") for f in (f1, f2))
                if r["mode"] == "single":
                    u, v = (int(x) for x in re.findall(r"\d+", r["bond"]))
                    assert order[frozenset((u, v))] == 1 or heavy >= 2, name
                else:
                    assert z2 >= 30, name
                    mass_pairs.append((z2, z1))
            assert len(set(mass_pairs)) == len(mass_pairs), name


# ------------------------------------------------------------ fragment-level soft bonds and cuts

def test_fragment_soft_bonds_use_the_fragments_own_graph():
    # OH: O's K4 with one pendant H has no zero eigenvalue (the symmetric block [[0, 3, .9], [1, 2, 0],
    # [.9, 0, 0]] has determinant -1.62); without the link the H is isolated: a zero appears, not soft.
    mol, H, subs, pos, chem = _core.build_vif_graph("O")
    assert _fragment_atom_softs(H, subs, chem, {0, 1}) == []
    assert [id(c) for c in _fragment_atom_softs(H, subs, chem, {0, 1}, tol=10.0)] == [id(chem[0])]
    mol, H, subs, pos, chem = _core.build_vif_graph("CO")
    before = sorted(H.edges(data="weight"))
    assert _fragment_atom_softs(H, subs, chem, {0}) == [] and _cut_atom_set(mol, {0}, chem, True, 25) == set()
    # with a zero band wider than every eigenvalue all links inside the methyl group are soft, and only those
    methyl = {0, 2, 3, 4}
    inside = [c for c in chem if c["atom_u"] in methyl and c["atom_v"] in methyl]
    assert len(inside) == 3
    assert _fragment_atom_softs(H=H, atom_subgraphs=subs, chem_bonds=chem, atom_set=methyl, tol=10.0) == inside
    assert all(a is b for a, b in zip(_fragment_atom_softs(H, subs, chem, methyl, 10.0), inside))
    assert sorted(H.edges(data="weight")) == before
    with pytest.raises(KeyError):
        _fragment_atom_softs(H, subs, chem, {0, 1, 99})


def test_cut_atom_set_single_cuts():
    mol = prepare("CO")
    everything = set(range(6))
    out = _cut_atom_set(mol, everything, [soft(mol, 0, 1)], False, 25)
    assert out == {frozenset({0, 2, 3, 4}), frozenset({1, 5})} and everything == set(range(6))
    # a bond leaving the set is never cut
    assert _cut_atom_set(mol, {0, 2, 3, 4}, [soft(mol, 0, 1), soft(mol, 0, 2)], False, 25) == {
        frozenset({2}), frozenset({0, 3, 4})}
    mol = prepare("CCO")  # the same child from duplicate records is there once
    assert _cut_atom_set(mol, set(range(9)), [soft(mol, 0, 1), soft(mol, 1, 0, k=1)], True, 25) == {
        frozenset({0, 3, 4, 5}), frozenset({1, 2, 6, 7, 8})}
    with pytest.raises(IndexError, match="outside the molecule"):
        _cut_atom_set(mol, {0, 1, 99}, [soft(mol, 0, 1)], True, 25)
    with pytest.raises(KeyError):
        _cut_atom_set(mol, {0, 1}, [{"atom_v": 1, "order": 1}], True, 25)


def test_cut_atom_set_pair_takes_the_highest_order():
    mol = prepare("CC(C)=O")
    one, two, everything = soft(mol, 1, 3, order=1), soft(mol, 3, 1, order=2), set(range(10))
    assert _cut_atom_set(mol, everything, [one, two], False, 25) == set()
    assert _cut_atom_set(mol, everything, [two, one], False, 25) == set()
    no_order = {k: v for k, v in one.items() if k != "order"}  # counts as order 1
    for recs in ([one], [no_order]):
        assert _cut_atom_set(mol, everything, recs, False, 25) == {frozenset({3}), frozenset(everything - {3})}


def test_cut_atom_set_ring_cuts_compare_average_masses():
    mol = prepare("C1CCCCC1")
    everything, recs = set(range(18)), [soft(mol, 0, 1), soft(mol, 3, 4)]
    assert _cut_atom_set(mol, everything, recs, False, 25) == set()
    # each half is C3H6 of average mass 42.081: kept at 42.05 though its nominal mass is 42
    out = _cut_atom_set(mol, everything, recs, True, 42.05)
    assert len(out) == 2 and {_fragment_formula(mol, c) for c in out} == {"C3H6"}
    assert _cut_atom_set(mol, everything, recs, True, 42.1) == set()
    # [12C]=[12C] have no hydrogens and weigh exactly 12.0: the piece between the cuts weighs 24.0
    mol = prepare("C1CC[12C]=[12C]1")
    everything, recs = set(range(mol.GetNumAtoms())), [soft(mol, 2, 3), soft(mol, 4, 0)]
    out = _cut_atom_set(mol, everything, recs, True, 24.0)
    assert frozenset({3, 4}) in out and len(out) == 2
    assert _cut_atom_set(mol, everything, recs, True, 24.0 + 1e-9) == set()


# ------------------------------------------------------------ generations

def test_generations_zero_and_one():
    mol, H, subs, pos, chem = _core.build_vif_graph("CC(=NO)C")
    assert predict_fragments_recursive(mol, H, subs, chem, max_generations=0) == {
        73: {"formula": "C3H7NO", "generation": 0}}  # 36 + 7 + 14 + 16
    # the only soft bond is N2-O3: C3H6N (56) and OH (17)
    peaks = predict_fragments_recursive(mol, H, subs, chem, max_generations=1)
    assert list(peaks)[0] == 73 and peaks == {73: {"formula": "C3H7NO", "generation": 0},
                                              56: {"formula": "C3H6N", "generation": 1},
                                              17: {"formula": "HO", "generation": 1}}
    mol, H, subs, pos, chem = _core.build_vif_graph("CO")  # methanol has no soft link
    assert predict_fragments_recursive(mol, H, subs, chem) == {32: {"formula": "CH4O", "generation": 0}}
    mol, H, subs, pos, chem = _core.build_vif_graph("CN")  # C-H and N-H are soft: a lone H peak
    assert predict_fragments_recursive(mol, H, subs, chem, max_generations=1)[1] == {"formula": "H",
                                                                                    "generation": 1}
    with pytest.raises(KeyError):
        predict_fragments_recursive(mol, H, {a: n for a, n in subs.items() if a != 0}, chem)


def test_recursion_is_deterministic_and_leaves_inputs_alone():
    mol, H, subs, pos, chem = _core.build_vif_graph("CC(=O)Oc1ccccc1C(=O)O")
    before = (sorted(H.edges(data="weight")), [dict(c) for c in chem], dict(subs))
    a = predict_fragments_recursive(mol, H, subs, chem, max_generations=2)
    b = predict_fragments_recursive(mol=mol, H=H, atom_subgraphs=subs, chem_bonds=chem, max_generations=2,
                                    min_mz=25, ring_fragmentation=True)
    assert list(a.items()) == list(b.items())
    assert (sorted(H.edges(data="weight")), [dict(c) for c in chem], dict(subs)) == before


def test_recursion_rules_hold_on_small_shared_molecules(molecules):
    checked = 0
    for smiles, name in molecules:
        mol, H, subs, pos, chem = _core.build_vif_graph(smiles)
        if mol.GetNumAtoms() > 16:
            continue
        peaks = predict_fragments_recursive(mol, H, subs, chem, max_generations=2)
        m0 = sum(NOMINAL(a.GetAtomicNum()) for a in mol.GetAtoms())
        assert list(peaks.items())[0] == (m0, {"formula": _fragment_formula(mol, range(mol.GetNumAtoms())),
                                               "generation": 0}), name
        gens = [p["generation"] for p in peaks.values()]
        assert gens == sorted(gens) and set(gens) <= {0, 1, 2}, name  # breadth first
        assert all(type(mz) is int and list(p) == ["formula", "generation"] and nominal_of(p["formula"]) == mz
                   for mz, p in peaks.items()), name
        if not mol.GetRingInfo().NumRings():  # generation 1 = the single cuts of the whole molecule
            singles = {f[2] for r in predict_fragments(mol, trelvanoxa.detect_soft_bonds(
                H, chem, trelvanoxa.compute_lpi(H))) if r["split"] for f in r["fragments"]}
            assert {mz for mz, p in peaks.items() if p["generation"] == 1} == singles - {m0}, name
        checked += 1
    assert checked > 100
