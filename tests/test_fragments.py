"""Mass-spectrum fragments: formulas, labels, single and ring double cuts, fragment-level soft bonds and
cuts, multi-generation cutting.  RDKit average masses: C 12.011, H 1.008, N 14.007, O 15.999."""

import collections
import re

import networkx as nx
import pytest
from rdkit import Chem

from helpers import prepare
from trelvanoxa import (_core, _cut_atom_set, _fragment_atom_softs, _fragment_formula, compute_lpi,
                        detect_soft_bonds, predict_fragments, predict_fragments_recursive)

PT = Chem.GetPeriodicTable()


def soft(mol, u, v, order=1, **extra):
    """A hand-made soft-bond record for the bond u-v of a prepared molecule."""
    return {"atom_u": u, "atom_v": v, "sym_u": mol.GetAtomWithIdx(u).GetSymbol(),
            "sym_v": mol.GetAtomWithIdx(v).GetSymbol(), "order": order, **extra}


def shape(records):
    return [(r["bond"], r["split"], r["mode"], r["fragments"] and [(f[0], f[2]) for f in r["fragments"]])
            for r in records]


def counts(formula):
    return collections.Counter({el: int(n or 1) for el, n in re.findall(r"([A-Z][a-z]?)(\d*)", formula)})


def nominal(formula):
    return sum(PT.GetMostCommonIsotope(PT.GetAtomicNumber(el)) * n for el, n in counts(formula).items())


@pytest.mark.parametrize("smiles,indices,expected", [
    ("CO", range(6), "CH4O"), ("CO", [], ""), ("CO", [2], "H"), ("CO", [0, 0], "C2"), ("Cl", range(2), "HCl"),
    ("N[Na]", range(4), "H2NNa"), ("[Ba].[B].Br.[Si].S.[Se]", range(6), "BBaBrSSeSi"),
    ("CCO", (i for i in range(9)), "C2H6O"),
])
def test_fragment_formula(smiles, indices, expected):
    assert _fragment_formula(prepare(smiles), indices) == expected


def test_single_cuts():
    # CH3-OH: OH 17, CH3 15, heavier first; CH3 weighs 12.011 + 3 * 1.008 = 15.035, which rounds to 15.04
    # only when summed without accumulated error
    mol = prepare("CO")
    out = predict_fragments(mol, [soft(mol, 0, 1)])
    assert out == [{"bond": "C0-O1", "split": True, "mode": "single", "fragments": [("HO", 17.01, 17),
                                                                                   ("CH3", 15.04, 15)]}]
    assert list(out[0]) == ["bond", "split", "mode", "fragments"] and type(out[0]["fragments"][0]) is tuple
    assert predict_fragments(mol, [soft(mol, 1, 0)])[0]["bond"] == "O1-C0" and predict_fragments(mol, []) == []
    assert predict_fragments(mol, [soft(mol, 2, 3), soft(mol, 3, 2)]) == []  # two H of C: no bond to cut
    # acetone C1=O3: a double bond leaving one heavy atom gives no record at all; as a single bond it is cut
    mol = prepare("CC(C)=O")
    assert predict_fragments(mol, [soft(mol, 1, 3, order=2, k=0), soft(mol, 1, 3, order=2, k=1)]) == []
    assert shape(predict_fragments(mol, [soft(mol, 1, 3), soft(mol, 0, 1)])) == [
        ("C1-O3", True, "single", [("C3H6", 42), ("O", 16)]), ("C0-C1", True, "single", [("C2H3O", 43), ("CH3", 15)])]
    mol = prepare("C=CC")  # propene C0=C1 would leave CH2 alone
    assert predict_fragments(mol, [soft(mol, 0, 1, order=2)]) == []
    # but-2-ene C1=C2: two heavy atoms each side; the two links give one record, named by the first
    mol = prepare("CC=CC")
    assert shape(predict_fragments(mol, [soft(mol, 1, 2, order=2, k=0), soft(mol, 2, 1, order=2, k=1)])) == [
        ("C1-C2", True, "single", [("C2H4", 28), ("C2H4", 28)])]
    for smiles, masses in [("[13CH3]C=CC", [29.05, 28.05]), ("CC=C[13CH3]", [28.05, 29.05])]:
        mol = prepare(smiles)  # equal m/z keep component order; 13C changes only the average mass
        assert [f[1:] for f in predict_fragments(mol, [soft(mol, 1, 2, order=2)])[0]["fragments"]] == [
            (masses[0], 28), (masses[1], 28)]


def test_ring_bonds_and_ring_double_cuts():
    mol = prepare("C1CCCCC1")
    ring = [soft(mol, u, v) for u, v in [(0, 1), (1, 2), (2, 3), (3, 4), (4, 5), (5, 0)]]
    lone = {"bond": "C0-C1", "split": False, "mode": "single", "fragments": None}
    assert predict_fragments(mol, ring[:1], ring_fragmentation=True) == [lone]
    # only opposite bonds leave two pieces >= 30; (1-2, 4-5) and (2-3, 5-0) repeat the masses (42, 42)
    out = predict_fragments(mol, ring, True)
    assert out[:6] == predict_fragments(mol, ring) and out[0] == lone and not any(r["split"] for r in out[:6])
    assert shape(out[6:]) == [("C0-C1 + C3-C4", True, "ring", [("C3H6", 42), ("C3H6", 42)])]
    mol = prepare("C1CCNCC1")  # piperidine: C2-N3 + C4-C5 cut out N3H-C4H2 = CH3N, 29
    recs = [soft(mol, 2, 3), soft(mol, 4, 5)]
    assert [r["mode"] for r in predict_fragments(mol, recs, ring_fragmentation=True)] == ["single"] * 2
    assert shape(predict_fragments(mol, recs, True, min_ring_fragment_mz=29)[2:]) == [
        ("C2-N3 + C4-C5", True, "ring", [("C4H8", 56), ("CH3N", 29)])]
    mol = prepare("C1CCOCC1")  # tetrahydropyran: O3-C4H2 = CH2O, 30, kept by default
    assert shape(predict_fragments(mol, [soft(mol, 2, 3), soft(mol, 4, 5)], True)[2:]) == [
        ("C2-O3 + C4-C5", True, "ring", [("C4H8", 56), ("CH2O", 30)])]
    mol = prepare("ClC1CCCCC1")  # single cuts first: C6H11 = 83; C3H5Cl = 36 + 5 + 35 = 76
    assert shape(predict_fragments(mol, [soft(mol, 1, 2), soft(mol, 0, 1), soft(mol, 4, 5)], True)) == [
        ("C1-C2", False, "single", None), ("Cl0-C1", True, "single", [("C6H11", 83), ("Cl", 35)]),
        ("C4-C5", False, "single", None), ("C1-C2 + C4-C5", True, "ring", [("C3H5Cl", 76), ("C3H6", 42)])]


def test_cutting_rules_hold_on_every_shared_molecule(molecules):
    for smiles, name in molecules:
        mol, H, subs, pos, chem = _core.build_vif_graph(smiles)
        softs = detect_soft_bonds(H, chem, compute_lpi(H))
        whole = collections.Counter(a.GetSymbol() for a in mol.GetAtoms())
        m0, avg = sum(PT.GetMostCommonIsotope(a.GetAtomicNum()) for a in mol.GetAtoms()), sum(
            a.GetMass() for a in mol.GetAtoms())
        labels = ["{}{}-{}{}".format(s["sym_u"], s["atom_u"], s["sym_v"], s["atom_v"]) for s in softs]
        order = {frozenset((s["atom_u"], s["atom_v"])): s["order"] for s in softs}
        for ring in (False, True):
            out = predict_fragments(mol, softs, ring_fragmentation=ring)
            singles = [r for r in out if r["mode"] == "single"]
            bonds = [r["bond"] for r in singles]
            assert out[:len(singles)] == singles and (ring or len(singles) == len(out)), name
            assert bonds == sorted(bonds, key=labels.index) and len(set(bonds)) == len(bonds), name
            assert {lb for lb, s in zip(labels, softs) if s["order"] == 1} <= set(bonds), name
            rings = [tuple(f[2] for f in r["fragments"]) for r in out[len(singles):]]
            assert len(set(rings)) == len(rings) and all(z >= 30 for _, z in rings), name
            for r in out:
                if not r["split"]:
                    assert r["fragments"] is None and r["mode"] == "single", name
                    continue
                (f1, a1, z1), (f2, a2, z2) = r["fragments"]  # two pieces that make up the molecule
                assert z1 >= z2 and z1 + z2 == m0 and abs(a1 + a2 - avg) < 0.0101, name
                assert counts(f1) + counts(f2) == whole and (nominal(f1), nominal(f2)) == (z1, z2), name
                heavy = min(sum(n for el, n in counts(f).items() if el != "H") for f in (f1, f2))
                pair = frozenset(int(x) for x in re.findall(r"\d+", r["bond"]))
                assert r["mode"] == "ring" or order[pair] == 1 or heavy >= 2, name


def test_cut_atom_set():
    mol = prepare("CO")
    everything = set(range(6))
    assert _cut_atom_set(mol, everything, [soft(mol, 0, 1)], False, 25) == {frozenset({0, 2, 3, 4}), frozenset({1, 5})}
    assert everything == set(range(6))
    # a bond leaving the set is never cut
    assert _cut_atom_set(mol, {0, 2, 3, 4}, [soft(mol, 0, 1), soft(mol, 0, 2)], False, 25) == {
        frozenset({2}), frozenset({0, 3, 4})}
    mol = prepare("CCO")  # the same child from duplicate records is there once
    assert _cut_atom_set(mol, set(range(9)), [soft(mol, 0, 1), soft(mol, 1, 0, k=1)], True, 25) == {
        frozenset({0, 3, 4, 5}), frozenset({1, 2, 6, 7, 8})}
    mol = prepare("CC(C)=O")  # a pair takes its highest order; a record without "order" counts 1
    one, two, everything = soft(mol, 1, 3), soft(mol, 3, 1, order=2), set(range(10))
    assert _cut_atom_set(mol, everything, [one, two], False, 25) == _cut_atom_set(mol, everything, [two, one],
                                                                                   False, 25) == set()
    for recs in ([one], [{k: v for k, v in one.items() if k != "order"}]):
        assert _cut_atom_set(mol, everything, recs, False, 25) == {frozenset({3}), frozenset(everything - {3})}
    mol = prepare("C1CCCCC1")  # ring cuts need ring_fragmentation and compare average masses with min_mz
    everything, recs = set(range(18)), [soft(mol, 0, 1), soft(mol, 3, 4)]
    assert _cut_atom_set(mol, everything, recs, False, 25) == set() == _cut_atom_set(mol, everything, recs, True, 42.1)
    out = _cut_atom_set(mol, everything, recs, True, 42.05)  # C3H6 weighs 42.081 although its m/z is 42
    assert len(out) == 2 and {_fragment_formula(mol, c) for c in out} == {"C3H6"}
    mol = prepare("C1CC[12C]=[12C]1")  # [12C]=[12C]: no hydrogens, the piece weighs exactly 24.0
    everything, recs = set(range(mol.GetNumAtoms())), [soft(mol, 2, 3), soft(mol, 4, 0)]
    assert frozenset({3, 4}) in _cut_atom_set(mol, everything, recs, True, 24.0)
    assert _cut_atom_set(mol, everything, recs, True, 24.0 + 1e-9) == set()


def _cuts_by_search(mol, atoms, min_mz):
    """Children of cutting every bond inside `atoms`, found by removing edges from a networkx graph."""
    g = nx.Graph()
    g.add_nodes_from(atoms)
    g.add_edges_from((b.GetBeginAtomIdx(), b.GetEndAtomIdx(), {"order": b.GetBondTypeAsDouble()})
                     for b in mol.GetBonds() if {b.GetBeginAtomIdx(), b.GetEndAtomIdx()} <= atoms)
    heavy = lambda c: sum(mol.GetAtomWithIdx(a).GetAtomicNum() > 1 for a in c)  # noqa: E731
    mass = lambda c: sum(mol.GetAtomWithIdx(a).GetMass() for a in sorted(c))  # noqa: E731
    out, ring = set(), []
    for u, v, d in g.edges(data=True):
        pieces = list(nx.connected_components(nx.restricted_view(g, [], [(u, v)])))
        if len(pieces) != 2:
            ring.append((u, v))
        elif d["order"] < 2 or min(map(heavy, pieces)) != 1:
            out.update(map(frozenset, pieces))
    for i, e in enumerate(ring):
        for f in ring[i + 1:]:
            pieces = list(nx.connected_components(nx.restricted_view(g, [], [e, f])))
            if len(pieces) == 2 and min(map(mass, pieces)) >= min_mz:
                out.update(map(frozenset, pieces))
    return out


@pytest.mark.parametrize("smiles", ["C1CC2CCC1C2", "c1ccc2ccccc2c1", "C1CC1C1CCC2(CC2)C1", "C12C3C4C1C5C2C3C45",
                                    "O=C1CCC2(CC1)OCCO2"])
def test_cut_atom_set_agrees_with_a_graph_search(smiles):
    # fused, bridged, spiro and cage rings, the whole molecule and a piece of it, cut at every bond
    mol = prepare(smiles)
    bonds = [soft(mol, b.GetBeginAtomIdx(), b.GetEndAtomIdx(), b.GetBondTypeAsDouble()) for b in mol.GetBonds()]
    whole = set(range(mol.GetNumAtoms()))
    piece = max(_cut_atom_set(mol, whole, bonds, True, 1), key=len)
    for atoms in (whole, set(piece)):
        assert _cut_atom_set(mol, atoms, bonds, True, 14) == _cuts_by_search(mol, atoms, 14), smiles


def test_generations():
    mol, H, subs, pos, chem = _core.build_vif_graph("CC(=NO)C")
    before = (sorted(H.edges(data="weight")), [dict(c) for c in chem], dict(subs))
    assert predict_fragments_recursive(mol, H, subs, chem, max_generations=0) == {
        73: {"formula": "C3H7NO", "generation": 0}}  # 36 + 7 + 14 + 16
    peaks = predict_fragments_recursive(mol, H, subs, chem, max_generations=1)  # N2-O3 is the soft bond
    assert list(peaks)[0] == 73 and peaks == {73: {"formula": "C3H7NO", "generation": 0},
                                              56: {"formula": "C3H6N", "generation": 1},
                                              17: {"formula": "HO", "generation": 1}}
    assert (sorted(H.edges(data="weight")), [dict(c) for c in chem], dict(subs)) == before
    with pytest.raises(KeyError):
        predict_fragments_recursive(mol, H, {a: n for a, n in subs.items() if a != 0}, chem)
    mol, H, subs, pos, chem = _core.build_vif_graph("CN")  # soft C-H and N-H: a lone H peak
    assert predict_fragments_recursive(mol, H, subs, chem, 1)[1] == {"formula": "H", "generation": 1}


def test_generation_rules_hold_on_small_shared_molecules(molecules):
    small = [s for s, _ in molecules if prepare(s).GetNumAtoms() <= 16]
    assert len(small) > 100
    for smiles in small:
        mol, H, subs, pos, chem = _core.build_vif_graph(smiles)
        peaks = predict_fragments_recursive(mol, H, subs, chem, max_generations=2)
        whole = _fragment_formula(mol, range(mol.GetNumAtoms()))
        assert list(peaks.items())[0] == (nominal(whole), {"formula": whole, "generation": 0}), smiles
        gens = [p["generation"] for p in peaks.values()]
        assert gens == sorted(gens) and set(gens) <= {0, 1, 2}, smiles  # breadth first
        assert all(type(mz) is int and nominal(p["formula"]) == mz for mz, p in peaks.items()), smiles
        if not mol.GetRingInfo().NumRings():  # generation 1 = the single cuts of the whole molecule
            cuts = predict_fragments(mol, detect_soft_bonds(H, chem, compute_lpi(H)))
            assert {mz for mz, p in peaks.items() if p["generation"] == 1} == {
                f[2] for r in cuts if r["split"] for f in r["fragments"]}, smiles


def _breadth_first(mol, H, subs, chem, max_generations):
    """Multi-generation peaks the plain way: every fragment of an earlier generation than the last is
    tested for soft bonds on its own orbital subgraph and cut; children in ascending atom order."""
    everything = frozenset(range(mol.GetNumAtoms()))
    whole = _fragment_formula(mol, everything)
    peaks = {nominal(whole): {"formula": whole, "generation": 0}}
    seen, queue = {everything}, collections.deque([(everything, 0)])
    while queue:
        atoms, gen = queue.popleft()
        if gen >= max_generations:
            continue
        softs = _fragment_atom_softs(H, subs, chem, set(atoms))
        for child in sorted(_cut_atom_set(mol, set(atoms), softs, True, 25), key=sorted):
            if not child or child == atoms or child in seen:
                continue
            seen.add(child)
            formula = _fragment_formula(mol, child)
            peaks.setdefault(nominal(formula), {"formula": formula, "generation": gen + 1})
            queue.append((child, gen + 1))
    return peaks


def test_three_generations_match_fragment_by_fragment_cutting(molecules):
    # The native pass skips the soft-bond test of last-generation fragments whose cuts can only give
    # masses already recorded, and reuses the whole molecule's soft bonds: neither may change a peak.
    picked = [s for s, _ in molecules if 8 <= prepare(s).GetNumAtoms() <= 30][::3]
    assert len(picked) > 20 and any(prepare(s).GetRingInfo().NumRings() for s in picked)
    for smiles in picked:
        mol, H, subs, pos, chem = _core.build_vif_graph(smiles)
        expected = list(_breadth_first(mol, H, subs, chem, 3).items())
        assert list(predict_fragments_recursive(mol, H, subs, chem, max_generations=3).items()) == expected, smiles
        record = _core.analyse_compact(smiles, ring_fragmentation=True, recursive=True, max_generations=3)
        assert [(p["mz"], {"formula": p["formula"], "generation": p["generation"]}) for p in record["peaks"]] == \
            expected, smiles
