"""Mass-spectrum fragment prediction: formulas, labels, single and ring
double cuts, fragment-level soft bonds and multi-generation cutting."""

import collections
import re

import networkx as nx
import pytest

import trelvanoxa
from trelvanoxa import (_core, _cut_atom_set, _fragment_atom_softs,
                        _fragment_formula, _pair_label, compute_lpi,
                        detect_soft_bonds, predict_fragments,
                        predict_fragments_recursive)

import oracles
from oracles import prepare

# RDKit average masses used in the hand-derived values below:
# C 12.011, H 1.008, N 14.007, O 15.999, Cl 35.453, 13C 13.003355


def soft(mol, u, v, order=1, **extra):
    """A hand-made soft-bond record for the bond u-v of a prepared molecule."""
    rec = {"atom_u": u, "atom_v": v,
           "sym_u": mol.GetAtomWithIdx(u).GetSymbol(),
           "sym_v": mol.GetAtomWithIdx(v).GetSymbol(), "order": order}
    rec.update(extra)
    return rec


def shape(records):
    """Records without the average masses (checked separately)."""
    return [(r["bond"], r["split"], r["mode"],
             None if r["fragments"] is None
             else [(f[0], f[2]) for f in r["fragments"]]) for r in records]


def pipeline(smiles):
    mol, H, subs, pos, chem = _core.build_vif_graph(smiles)
    softs = detect_soft_bonds(H, chem, compute_lpi(H))
    return mol, H, subs, chem, softs


# ------------------------------------------------------------ formulas, labels

@pytest.mark.parametrize("smiles,indices,expected", [
    ("CO", range(6), "CH4O"),
    ("CO", [], ""),
    ("CO", [0], "C"),
    ("CO", [2], "H"),
    ("CO", [0, 0], "C2"),              # repeated index counted twice
    ("CO", {1, 5}, "HO"),              # H second even without carbon
    ("Cl", range(2), "HCl"),
    ("O", range(3), "H2O"),
    ("CCl", range(5), "CH3Cl"),        # C first, then H, then Cl
    ("ClCBr", [0, 1, 2], "CBrCl"),
    ("CCCCO", range(15), "C4H10O"),
    ("N[Na]", range(4), "H2NNa"),      # N before Na
    ("[Ba].[B].Br.[Si].S.[Se]", [0, 1, 2, 3, 4, 5], "BBaBrSSeSi"),
    ("[13CH4]", range(5), "CH4"),      # isotopes keep their element symbol
    ("OS(=O)(=O)O", range(7), "H2O4S"),
])
def test_fragment_formula(smiles, indices, expected):
    assert _fragment_formula(prepare(smiles), indices) == expected


def test_fragment_formula_accepts_any_iterable():
    mol = prepare("CCO")
    assert _fragment_formula(mol, (i for i in range(9))) == "C2H6O"
    assert _fragment_formula(mol=mol, atom_indices=frozenset({0, 1})) == "C2"


@pytest.mark.parametrize("smiles,i,j,expected", [
    ("CCCO", 0, 3, "C0-O3"),
    ("CCCO", 3, 0, "O3-C0"),
    ("CCCO", 2, 10, "C2-H10"),
    ("ClCBr", 2, 0, "Br2-Cl0"),
])
def test_pair_label(smiles, i, j, expected):
    assert _pair_label(prepare(smiles), i, j) == expected


@pytest.mark.parametrize("call", [
    lambda m: _fragment_formula(m, [0, 6]),
    lambda m: _pair_label(m, 0, 6),
    lambda m: _pair_label(m, 6, 0),
    lambda m: trelvanoxa._nominal_mass(m, [6]),
])
def test_index_outside_the_molecule_raises(call):
    with pytest.raises(Exception) as info:
        call(prepare("CO"))  # six atoms: 0..5
    assert not isinstance(info.value, SystemError)


# ------------------------------------------------------------ single cuts

def test_no_soft_bonds_no_fragments():
    assert predict_fragments(prepare("c1ccccc1"), []) == []


def test_hydroxyl_single_bond_is_cut():
    # CH3-OH: CH3 = 12 + 3 = 15, OH = 16 + 1 = 17, heavier first
    mol = prepare("CO")
    out = predict_fragments(mol, [soft(mol, 0, 1)])
    assert shape(out) == [("C0-O1", True, "single", [("HO", 17), ("CH3", 15)])]
    assert list(out[0]) == ["bond", "split", "mode", "fragments"]
    (ho, ch3) = out[0]["fragments"]
    assert isinstance(ho, tuple) and type(ho[2]) is int and type(ho[1]) is float
    assert ho[1] == 17.01                       # 15.999 + 1.008 = 17.007
    assert ch3[1] == pytest.approx(15.035, abs=0.0051)


def test_ketone_double_bond_leaving_one_heavy_atom_gives_nothing():
    # acetone C1=O3: both links soft, but the O side is a single heavy atom
    mol = prepare("CC(C)=O")
    recs = [soft(mol, 1, 3, order=2, k=0), soft(mol, 1, 3, order=2, k=1)]
    assert predict_fragments(mol, recs) == []


def test_heavy_atom_rule_reads_the_record_order():
    # the same C=O cut reported with order 1 is made: C3H6 (42) + O (16)
    mol = prepare("CC(C)=O")
    out = predict_fragments(mol, [soft(mol, 1, 3, order=1)])
    assert shape(out) == [("C1-O3", True, "single", [("C3H6", 42), ("O", 16)])]
    # propene C0=C1 with order 2 leaves CH2 alone: skipped; with order 1 cut
    mol = prepare("C=CC")
    assert predict_fragments(mol, [soft(mol, 0, 1, order=2)]) == []
    assert shape(predict_fragments(mol, [soft(mol, 0, 1, order=1)])) == [
        ("C0-C1", True, "single", [("C2H4", 28), ("CH2", 14)])]


def test_methyl_cut_of_acetone():
    mol = prepare("CC(C)=O")
    out = predict_fragments(mol, [soft(mol, 0, 1)])
    # CH3 (15) and CH3-C=O (12*2 + 3 + 16 = 43)
    assert shape(out) == [("C0-C1", True, "single", [("C2H3O", 43), ("CH3", 15)])]


def test_one_record_per_atom_pair():
    # but-2-ene C1=C2: two links reported, in both orientations; the first
    # record names the cut.  Both halves are C2H4 (28), two heavy atoms each.
    mol = prepare("CC=CC")
    recs = [soft(mol, 1, 2, order=2, k=0), soft(mol, 2, 1, order=2, k=1)]
    out = predict_fragments(mol, recs)
    assert shape(out) == [("C1-C2", True, "single", [("C2H4", 28), ("C2H4", 28)])]


@pytest.mark.parametrize("smiles,masses", [
    # equal m/z 28: the component holding atom 0 comes first; the 13C
    # label changes the average mass (13.003 + 12.011 + 4.032 = 29.046)
    # but not the nominal mass
    ("[13CH3]C=CC", [29.05, 28.05]),
    ("CC=C[13CH3]", [28.05, 29.05]),
])
def test_equal_mz_fragments_keep_component_order(smiles, masses):
    mol = prepare(smiles)
    out = predict_fragments(mol, [soft(mol, 1, 2, order=2)])
    assert [f[2] for f in out[0]["fragments"]] == [28, 28]
    assert [f[1] for f in out[0]["fragments"]] == masses


def test_label_follows_the_record_orientation():
    mol = prepare("CO")
    out = predict_fragments(mol, [soft(mol, 1, 0)])
    assert out[0]["bond"] == "O1-C0"


def test_records_for_unbonded_atoms_are_skipped():
    mol = prepare("CO")  # atoms 0..5; 2 and 3 are hydrogens on C
    assert predict_fragments(mol, [soft(mol, 2, 3)]) == []
    # the pair is remembered before the bond test, so a later record for
    # the same pair is not looked at either
    assert predict_fragments(mol, [soft(mol, 2, 3), soft(mol, 3, 2)]) == []


@pytest.mark.parametrize("bad", [99, -1])
def test_records_for_atoms_outside_the_molecule_are_refused(bad):
    # A record naming an atom the molecule does not have is a caller error,
    # not a bond to skip silently.
    mol = prepare("CO")
    rec = {"atom_u": 0, "atom_v": bad, "sym_u": "C", "sym_v": "X", "order": 1}
    with pytest.raises(IndexError, match="outside the molecule"):
        predict_fragments(mol, [rec, soft(mol, 0, 1)])


def test_ring_bond_is_reported_without_fragments():
    mol = prepare("C1CCCCC1")
    for ring in (False, True):  # one ring bond alone never makes a ring cut
        out = predict_fragments(mol, [soft(mol, 0, 1)], ring_fragmentation=ring)
        assert out == [{"bond": "C0-C1", "split": False, "mode": "single",
                        "fragments": None}]


def test_cyclohexane_ring_cuts_deduplicated_by_mass_pair():
    # six soft ring bonds; of the 15 pairs, only the opposite bonds give two
    # pieces of at least 30 (C3H6 + C3H6, 42 + 42): (0-1, 3-4) is met first,
    # (1-2, 4-5) and (2-3, 5-0) repeat the mass pair and are dropped
    mol = prepare("C1CCCCC1")
    ring = [(0, 1), (1, 2), (2, 3), (3, 4), (4, 5), (5, 0)]
    out = predict_fragments(mol, [soft(mol, u, v) for u, v in ring], True)
    assert [r["bond"] for r in out[:6]] == ["C0-C1", "C1-C2", "C2-C3", "C3-C4",
                                            "C4-C5", "C5-C0"]
    assert all(not r["split"] and r["fragments"] is None for r in out[:6])
    assert shape(out[6:]) == [("C0-C1 + C3-C4", True, "ring",
                               [("C3H6", 42), ("C3H6", 42)])]
    assert predict_fragments(mol, [soft(mol, u, v) for u, v in ring]) == out[:6]


def test_ring_cut_threshold_29_dropped_30_kept():
    # piperidine: cutting C2-N3 and C4-C5 leaves N3H-C4H2 = CH3N, 12+3+14=29
    mol = prepare("C1CCNCC1")
    recs = [soft(mol, 2, 3), soft(mol, 4, 5)]
    out = predict_fragments(mol, recs, ring_fragmentation=True)
    assert [r["mode"] for r in out] == ["single", "single"]
    out = predict_fragments(mol, recs, ring_fragmentation=True,
                            min_ring_fragment_mz=29)
    assert shape(out[2:]) == [("C2-N3 + C4-C5", True, "ring",
                               [("C4H8", 56), ("CH3N", 29)])]
    # tetrahydropyran: the same cut leaves O3-C4H2 = CH2O, 12+2+16=30, kept
    # at the default threshold
    mol = prepare("C1CCOCC1")
    out = predict_fragments(mol, [soft(mol, 2, 3), soft(mol, 4, 5)], True)
    assert shape(out[2:]) == [("C2-O3 + C4-C5", True, "ring",
                               [("C4H8", 56), ("CH2O", 30)])]


def test_single_cuts_come_before_ring_cuts():
    # chlorocyclohexane: Cl0 on C1, ring C1..C6
    mol = prepare("ClC1CCCCC1")
    recs = [soft(mol, 1, 2), soft(mol, 0, 1), soft(mol, 4, 5)]
    out = predict_fragments(mol, recs, ring_fragmentation=True)
    # C6H11 = 72 + 11 = 83; the ring cut leaves C2H2-C3H2-C4H2 = C3H6 (42)
    # and C5H2-C6H2-C1H(Cl) = C3H5Cl (36 + 5 + 35 = 76)
    assert shape(out) == [
        ("C1-C2", False, "single", None),
        ("Cl0-C1", True, "single", [("C6H11", 83), ("Cl", 35)]),
        ("C4-C5", False, "single", None),
        ("C1-C2 + C4-C5", True, "ring", [("C3H5Cl", 76), ("C3H6", 42)]),
    ]


@pytest.mark.parametrize("missing", ["atom_u", "atom_v", "sym_u", "sym_v", "order"])
def test_record_missing_a_key_raises_key_error(missing):
    mol = prepare("CO")
    rec = soft(mol, 0, 1)
    del rec[missing]
    with pytest.raises(KeyError):
        predict_fragments(mol, [rec])


def test_fragments_of_real_molecules():
    # chlorobenzene: the C-Cl bond is soft, giving C6H5+ (72 + 5 = 77) and Cl
    mol, H, subs, chem, softs = pipeline("Clc1ccccc1")
    singles = [r for r in predict_fragments(mol, softs)
               if r["split"] and r["mode"] == "single"]
    assert [(f[0], f[2]) for r in singles for f in r["fragments"]] == [
        ("C6H5", 77), ("Cl", 35)]
    # nitrobenzene loses NO2 (phenyl cation 77); acetone oxime loses OH (17)
    for smiles, mz in [(trelvanoxa.nitrobenzene, 77), (trelvanoxa.acetone_oxime, 17)]:
        mol, H, subs, chem, softs = pipeline(smiles)
        mzs = {f[2] for r in predict_fragments(mol, softs) if r["split"]
               for f in r["fragments"]}
        assert mz in mzs, smiles


def test_every_test_molecule_against_the_cutting_rules(molecules):
    for smiles, name in molecules:
        mol, H, subs, chem, softs = pipeline(smiles)
        whole = collections.Counter(a.GetSymbol() for a in mol.GetAtoms())
        m0 = trelvanoxa._nominal_mass(mol, range(mol.GetNumAtoms()))
        for ring in (False, True):
            got = predict_fragments(mol, softs, ring_fragmentation=ring)
            expected = oracles.predict_fragments(mol, softs, ring)
            assert shape(got) == shape(expected), name
            for g, e in zip(got, expected):
                if g["fragments"] is None:
                    continue
                for gf, ef in zip(g["fragments"], e["fragments"]):
                    assert gf[1] == pytest.approx(ef[1], abs=0.0100001), name
                # the two pieces partition the molecule
                assert len(g["fragments"]) == 2
                assert sum(f[2] for f in g["fragments"]) == m0, name
                parts = sum((_formula_counts(f[0]) for f in g["fragments"]),
                            collections.Counter())
                assert parts == whole, name
                assert g["fragments"][0][2] >= g["fragments"][1][2]


def _formula_counts(formula):
    return collections.Counter({el: int(n or 1) for el, n in
                                re.findall(r"([A-Z][a-z]?)(\d*)", formula)})


# CH3: 12.011 + 3 * 1.008 = 15.035 must round to 15.04, which needs the
# compensated summation of the interpreter's sum(), not plain addition.
def test_average_mass_is_the_rounded_sum_of_atom_masses(molecules):
    mol = prepare("CO")
    frags = predict_fragments(mol, [soft(mol, 0, 1)])[0]["fragments"]
    assert frags[1] == ("CH3", 15.04, 15)
    for smiles, name in molecules:
        mol, H, subs, chem, softs = pipeline(smiles)
        got = predict_fragments(mol, softs, ring_fragmentation=True)
        expected = oracles.predict_fragments(mol, softs, True)
        assert got == expected, name


# ------------------------------------------------------------ fragment softs

def _snapshot(g):
    return sorted((min(u, v), max(u, v), tuple(sorted(d.items())))
                  for u, v, d in g.edges(data=True))


@pytest.mark.parametrize("smiles", ["CCO", "CC(=NO)C", "Clc1ccccc1",
                                    "c1ccc(cc1)[N+](=O)[O-]", "CC(=O)Oc1ccccc1C(=O)O",
                                    "NCC(=O)O", "CN"])
def test_fragment_softs_match_the_definition(smiles):
    mol, H, subs, pos, chem = _core.build_vif_graph(smiles)
    before = _snapshot(H)
    chem_before = [dict(c) for c in chem]
    everything = set(range(mol.GetNumAtoms()))
    sets = [everything]
    sets += sorted(oracles.cut_atom_set(
        mol, everything, [chem[i] for i in oracles.soft_indices(H, chem)],
        True, 25), key=sorted)
    for atom_set in sets:
        got = _fragment_atom_softs(H, subs, chem, set(atom_set))
        expected = [chem[i] for i in
                    oracles.fragment_soft_indices(H, subs, chem, set(atom_set))]
        assert [id(r) for r in got] == [id(r) for r in expected], sorted(atom_set)
    assert _snapshot(H) == before
    assert chem == chem_before


def test_fragment_baseline_is_the_fragments_own():
    # water: the whole molecule has no soft bond, but the OH fragment
    # (O's 4 nodes + 1 H) is judged on its own subgraph
    mol, H, subs, pos, chem = _core.build_vif_graph("O")
    got = _fragment_atom_softs(H, subs, chem, {0, 1})
    expected = [chem[i] for i in oracles.fragment_soft_indices(H, subs, chem, {0, 1})]
    assert got == expected
    assert all(c["atom_v"] == 1 for c in got)


def test_single_atom_fragment_has_no_soft_bonds():
    mol, H, subs, pos, chem = _core.build_vif_graph("CO")
    assert _fragment_atom_softs(H, subs, chem, {0}) == []
    assert _cut_atom_set(mol, {0}, chem, True, 25) == set()


def test_bonds_leaving_the_fragment_are_never_tested():
    mol, H, subs, pos, chem = _core.build_vif_graph("CO")
    methyl = {0, 2, 3, 4}
    got = _fragment_atom_softs(H, subs, chem, methyl)
    assert all(c["atom_u"] in methyl and c["atom_v"] in methyl for c in got)
    # with a huge zero band every eigenvalue is "zero" (every eigenvalue magnitude
    # is below the largest weighted degree, 3 * 1.0 + 0.9 < 10), so every
    # record inside the fragment is soft, and only those
    inside = [c for c in chem if c["atom_u"] in methyl and c["atom_v"] in methyl]
    assert len(inside) == 3
    assert _fragment_atom_softs(H, subs, chem, methyl, tol=10.0) == inside
    assert _fragment_atom_softs(H=H, atom_subgraphs=subs, chem_bonds=chem,
                                atom_set=methyl, tol=10.0) == inside


def test_fragment_softs_errors():
    mol, H, subs, pos, chem = _core.build_vif_graph("CO")
    with pytest.raises(KeyError):
        _fragment_atom_softs(H, subs, chem, {0, 1, 99})
    broken = [dict(c) for c in chem]
    del broken[0]["u_node"]
    with pytest.raises(KeyError):
        _fragment_atom_softs(H, subs, broken, set(range(6)))


# ------------------------------------------------------------ cutting atom sets

def test_cut_atom_set_single_cut_children():
    mol = prepare("CO")
    everything = set(range(6))
    out = _cut_atom_set(mol, everything, [soft(mol, 0, 1)], False, 25)
    assert out == {frozenset({0, 2, 3, 4}), frozenset({1, 5})}
    assert all(isinstance(c, frozenset) for c in out)
    assert everything == set(range(6))  # the argument is only read


def test_cut_atom_set_ignores_bonds_leaving_the_set():
    mol = prepare("CO")
    methyl = {0, 2, 3, 4}
    recs = [soft(mol, 0, 1), soft(mol, 0, 2)]
    assert _cut_atom_set(mol, methyl, recs, False, 25) == {
        frozenset({2}), frozenset({0, 3, 4})}


def test_cut_atom_set_pair_takes_the_highest_order():
    mol = prepare("CC(C)=O")
    one = soft(mol, 1, 3, order=1)
    two = soft(mol, 3, 1, order=2)
    everything = set(range(10))
    # order 2 applies: the O side is one heavy atom, so no cut
    assert _cut_atom_set(mol, everything, [one, two], False, 25) == set()
    assert _cut_atom_set(mol, everything, [two, one], False, 25) == set()
    # with the order-1 record alone the bond is cut
    assert _cut_atom_set(mol, everything, [one], False, 25) == {
        frozenset({3}), frozenset(everything - {3})}
    # a record without "order" counts as order 1
    no_order = {k: v for k, v in one.items() if k != "order"}
    assert _cut_atom_set(mol, everything, [no_order], False, 25) == {
        frozenset({3}), frozenset(everything - {3})}


def test_cut_atom_set_duplicate_records_give_each_child_once():
    mol = prepare("CCO")
    everything = set(range(9))
    recs = [soft(mol, 0, 1), soft(mol, 1, 0, k=1), soft(mol, 0, 1)]
    out = _cut_atom_set(mol, everything, recs, True, 25)
    assert len(out) == 2
    assert frozenset({0, 3, 4, 5}) in out


def test_cut_atom_set_ring_bonds_need_ring_fragmentation():
    mol = prepare("C1CCCCC1")
    everything = set(range(18))
    recs = [soft(mol, 0, 1), soft(mol, 3, 4)]
    assert _cut_atom_set(mol, everything, recs, False, 25) == set()
    # C1H2-C2H2-C3H2 and C4H2-C5H2-C0H2: 3 * 14.027 = 42.081 average each;
    # the threshold compares average masses, so 42.05 keeps the cut although
    # the nominal mass 42 is below it
    out = _cut_atom_set(mol, everything, recs, True, 42.05)
    assert len(out) == 2
    assert all(_fragment_formula(mol, c) == "C3H6" for c in out)
    assert _cut_atom_set(mol, everything, recs, True, 42.1) == set()


def test_cut_atom_set_ring_threshold_is_inclusive():
    # [12C]=[12C] carry no hydrogens and weigh exactly 12.000 each, so the
    # piece cut out by C2-C3 and C4-C0 weighs exactly 24.0
    mol = prepare("C1CC[12C]=[12C]1")
    assert mol.GetAtomWithIdx(3).GetMass() == 12.0
    assert mol.GetAtomWithIdx(3).GetTotalNumHs() == 0
    everything = set(range(mol.GetNumAtoms()))
    recs = [soft(mol, 2, 3), soft(mol, 4, 0)]
    out = _cut_atom_set(mol, everything, recs, True, 24.0)
    assert frozenset({3, 4}) in out and len(out) == 2
    assert _cut_atom_set(mol, everything, recs, True, 24.0 + 1e-9) == set()
    assert _cut_atom_set(mol, everything, recs, True, 24.9) == set()


@pytest.mark.parametrize("smiles", ["CCO", "C1CCNCC1", "ClC1CCCCC1",
                                    "CC(=O)Oc1ccccc1C(=O)O", "c1ccc2ccccc2c1"])
def test_cut_atom_set_matches_the_rules(smiles):
    mol, H, subs, chem, softs = pipeline(smiles)
    everything = set(range(mol.GetNumAtoms()))
    for ring in (False, True):
        for min_mz in (0, 25, 60):
            assert _cut_atom_set(mol, everything, softs, ring, min_mz) == \
                oracles.cut_atom_set(mol, everything, softs, ring, min_mz)
    # and on every child, with all its ring bonds soft
    for child in oracles.cut_atom_set(mol, everything, softs, True, 0):
        recs = [c for c in chem if c["atom_u"] in child and c["atom_v"] in child]
        assert _cut_atom_set(mol, set(child), recs, True, 25) == \
            oracles.cut_atom_set(mol, child, recs, True, 25)


# ------------------------------------------------------------ generations

def test_zero_generations_is_the_molecular_ion():
    mol, H, subs, chem, softs = pipeline("CCO")
    # C2H6O: 24 + 6 + 16 = 46
    assert predict_fragments_recursive(mol, H, subs, chem, max_generations=0) == {
        46: {"formula": "C2H6O", "generation": 0}}


def test_molecule_without_soft_bonds_gives_only_the_ion():
    mol, H, subs, chem, softs = pipeline("CO")
    assert oracles.soft_indices(H, chem) == []  # methanol has no soft link
    assert predict_fragments_recursive(mol, H, subs, chem) == {
        32: {"formula": "CH4O", "generation": 0}}


def test_one_generation():
    mol, H, subs, chem, softs = pipeline("CC(=NO)C")
    peaks = predict_fragments_recursive(mol, H, subs, chem, max_generations=1)
    everything = frozenset(range(mol.GetNumAtoms()))
    children = oracles.cut_atom_set(
        mol, everything,
        [chem[i] for i in oracles.fragment_soft_indices(H, subs, chem, everything)],
        True, 25)
    m0 = 73  # C3H7NO: 36 + 7 + 14 + 16
    assert list(peaks)[0] == m0
    assert peaks[m0] == {"formula": "C3H7NO", "generation": 0}
    assert set(peaks) == {m0} | {oracles.nominal(mol, c) for c in children}
    assert 17 in peaks and peaks[17] == {"formula": "HO", "generation": 1}
    assert all(v["generation"] == 1 for k, v in peaks.items() if k != m0)


def test_defaults_and_keywords():
    mol, H, subs, chem, softs = pipeline("ClC1CCCCC1")
    a = predict_fragments_recursive(mol, H, subs, chem)
    b = predict_fragments_recursive(mol=mol, H=H, atom_subgraphs=subs,
                                    chem_bonds=chem, max_generations=3,
                                    min_mz=25, ring_fragmentation=True)
    assert list(a.items()) == list(b.items())
    c = predict_fragments_recursive(mol, H, subs, chem, ring_fragmentation=False)
    assert set(c) <= set(a)


def test_recursion_is_deterministic_and_leaves_inputs_alone():
    mol, H, subs, chem, softs = pipeline("CC(=O)Oc1ccccc1C(=O)O")
    before = (_snapshot(H), [dict(c) for c in chem], dict(subs))
    a = predict_fragments_recursive(mol, H, subs, chem, max_generations=2)
    b = predict_fragments_recursive(mol, H, subs, chem, max_generations=2)
    assert list(a.items()) == list(b.items())
    assert (_snapshot(H), [dict(c) for c in chem], dict(subs)) == before
    for mz, entry in a.items():
        assert type(mz) is int
        assert list(entry) == ["formula", "generation"]


def _check_recursion(mol, H, subs, chem, max_generations, name=""):
    peaks = predict_fragments_recursive(mol, H, subs, chem,
                                        max_generations=max_generations)
    m0, gen_of = oracles.recursive_generations(mol, H, subs, chem,
                                               max_generations)
    first = {}
    for atom_set, gen in gen_of.items():
        mz = oracles.nominal(mol, atom_set)
        f = oracles.formula(mol, sorted(atom_set))
        if mz not in first or gen < first[mz][0]:
            first[mz] = (gen, {f})
        elif gen == first[mz][0]:
            first[mz][1].add(f)
    assert set(peaks) == set(first), name
    assert list(peaks)[0] == m0
    gens = [v["generation"] for v in peaks.values()]
    assert gens == sorted(gens), name  # breadth first discovery order
    for mz, entry in peaks.items():
        gen, formulas = first[mz]
        assert entry["generation"] == gen, (name, mz)
        assert entry["formula"] in formulas, (name, mz)


def test_recursion_follows_the_rules_on_small_test_molecules(molecules):
    checked = 0
    for smiles, name in molecules:
        mol, H, subs, pos, chem = _core.build_vif_graph(smiles)
        if mol.GetNumAtoms() > 16:
            continue
        _check_recursion(mol, H, subs, chem, 2, name)
        checked += 1
    assert checked > 100


@pytest.mark.parametrize("smiles,generations", [
    ("CN", 3),            # C-H and N-H links are soft: lone H (m/z 1) peaks
    ("CCN(CC)CC", 3),
    ("NCC(=O)O", 4),
    ("ClC1CCCCC1", 3),
])
def test_recursion_deeper(smiles, generations):
    mol, H, subs, pos, chem = _core.build_vif_graph(smiles)
    _check_recursion(mol, H, subs, chem, generations, smiles)


def test_lone_hydrogen_peak():
    mol, H, subs, chem, softs = pipeline("CN")
    peaks = predict_fragments_recursive(mol, H, subs, chem, max_generations=1)
    assert peaks[1] == {"formula": "H", "generation": 1}


# ------------------------------------------------------------ bad input

def test_cut_atom_set_record_missing_an_atom_raises_key_error():
    mol = prepare("CO")
    with pytest.raises(KeyError):
        _cut_atom_set(mol, {0, 1}, [{"atom_v": 1, "order": 1}], True, 25)


def test_recursion_needs_every_atom_in_the_node_map():
    mol, H, subs, chem, softs = pipeline("CC(=NO)C")
    partial = {a: n for a, n in subs.items() if a != 0}
    with pytest.raises(KeyError):
        predict_fragments_recursive(mol, H, partial, chem)


def test_cut_atom_set_refuses_atoms_outside_the_molecule():
    mol = prepare("CO")
    with pytest.raises(IndexError, match="outside the molecule"):
        _cut_atom_set(mol, {0, 1, 99}, [soft(mol, 0, 1)], True, 25)


@pytest.mark.parametrize("call", [
    lambda: predict_fragments(None, []),
    lambda: _fragment_formula(None, [0]),
    lambda: _cut_atom_set(None, {0}, [], False, 25),
    lambda: trelvanoxa._build_bond_orders(None),
    lambda: trelvanoxa.compute_atom_layout(None),
    lambda: trelvanoxa._nominal_mass(None, [0]),
    lambda: detect_soft_bonds(None, [], {}),
    lambda: detect_soft_bonds(nx.path_graph(3), [None], compute_lpi(nx.path_graph(3))),
    lambda: detect_soft_bonds(nx.path_graph(3), [{"u_node": 0, "v_node": 1}], {}),
    lambda: _fragment_atom_softs(nx.path_graph(3), {0: [0]}, [], None),
    lambda: predict_fragments_recursive(prepare("CO"), nx.Graph(), {}, []),
    lambda: compute_lpi(nx.path_graph(3), tol="x"),
    lambda: trelvanoxa._angle_diff("a", 1.0),
])
def test_garbage_input_raises_a_python_exception(call):
    with pytest.raises(Exception) as info:
        call()
    assert not isinstance(info.value, SystemError)
