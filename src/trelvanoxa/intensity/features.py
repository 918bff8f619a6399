"""What the intensity model knows about one molecule: every ion its cuts can give, described by a few
chemical features.

All fragments come from the native analysis, through the prediction record (``trelvanoxa.prediction``):
one prediction with every bond cut as if soft (single cuts, ring double cuts and the multi-generation
peaks) and one with the soft bonds only, which says which of those cuts and peaks the soft-bond
criterion itself predicts.  RDKit describes the bonds that are cut (what they join, what is next to
them) and the molecule as a whole; the fragment formulas describe the ions.  Each row's source is the
origin as the prediction record writes it (``Origin.as_dict``), with ``soft`` added.

A molecule's ``Design`` holds one row per contribution, a candidate ion at a nominal m/z: a piece of a
single or ring cut, the same piece one hydrogen heavier where the cut is the alpha-beta bond of a
McLafferty rearrangement, a multi-generation peak, or one of the common trimethylsilyl ions.  Row features
(``ROW_FEATURES``) raise or lower the ion's share of the fragment current; for the two pieces of a cut,
the difference of their ``CHARGE_FEATURES`` decides which piece keeps the charge (Stevenson's rule: the
piece with the lower ionisation energy, estimated from the same features).
"""

import math
import re
from dataclasses import dataclass, field

import numpy as np

from .. import _core
from ..prediction import GENERATION, Origin, predict

ROW_FEATURES = (
    "cut", "cut_ring", "cut_soft", "cut_xh", "cut_hetero", "cut_si", "cut_alpha", "cut_allyl", "cut_multiple",
    "cut_mclafferty", "peak_gen2", "peak_soft",
    "ion_size", "ion_even", "ion_unsat", "ion_hetero", "ion_small", "ion_alkyl",
    "tms_73", "tms_73_count", "tms_75", "tms_147",
)
CHARGE_FEATURES = ("charge_n", "charge_o", "charge_si", "charge_sp", "charge_unsat", "charge_heavy", "charge_one_atom")
MOLECULE_FEATURES = ("m_bias", "m_aromatic", "m_heavy", "m_tms", "m_nitrogen", "m_chain")

HETERO = frozenset(("N", "O", "S", "P"))
HALOGEN = frozenset(("F", "Cl", "Br", "I"))
# Heavy-isotope abundances relative to the lightest isotope (M+1 and M+2 of one atom).
ISOTOPE_1 = {"C": 0.0108, "H": 0.000115, "N": 0.0037, "O": 0.00038, "Si": 0.0508, "S": 0.0079}
ISOTOPE_2 = {"O": 0.00205, "Si": 0.0335, "S": 0.0447, "Cl": 0.3200, "Br": 0.9728}
TMS_IONS = ((73, "C3H9Si", "tms_73"), (75, "C2H7OSi", "tms_75"), (147, "C5H15O2Si2", "tms_147"))

# Cutting every bond multiplies the fragments each generation: a third generation costs about ten times
# the first two on a tetra-silylated flavone (22 s against 2 s), so every-bond cuts stop at two.
EVERY_BOND_GENERATIONS = 2

_ELEMENT = re.compile(r"([A-Z][a-z]?)(\d*)")
_ATOM = re.compile(r"([A-Z][a-z]?|\*)(\d+)")


def formula_counts(formula):
    """``{element: count}`` of a formula such as "C6H5Cl"."""
    counts = {}
    for symbol, n in _ELEMENT.findall(formula):
        counts[symbol] = counts.get(symbol, 0) + (int(n) if n else 1)
    return counts


def unsaturation(counts):
    """Rings plus double bonds of a formula (halogens count as H, Si as C, P as N); x.5 for a radical."""
    c = counts.get("C", 0) + counts.get("Si", 0)
    h = counts.get("H", 0) + sum(counts.get(x, 0) for x in HALOGEN)
    n = counts.get("N", 0) + counts.get("P", 0)
    return c - h / 2 + n / 2 + 1


def isotope_shares(counts):
    """Relative heights of the M, M+1 and M+2 peaks of an ion with these element counts."""
    p1 = sum(ISOTOPE_1.get(el, 0.0) * n for el, n in counts.items())
    p2 = sum(ISOTOPE_2.get(el, 0.0) * n for el, n in counts.items()) + p1 * p1 / 2
    return (1.0, p1, p2)


def _charge_vector(counts):
    heavy = sum(n for el, n in counts.items() if el != "H")
    return (float(counts.get("N", 0) > 0), float(counts.get("O", 0) > 0), float(counts.get("Si", 0) > 0),
            float(counts.get("S", 0) + counts.get("P", 0) > 0), min(max(unsaturation(counts), 0.0), 6.0) / 6.0,
            math.log1p(heavy), float(heavy == 1))


@dataclass
class Design:
    """The contributions of one molecule, ready for ``trelvanoxa.intensity.model``."""

    smiles: str
    mol_mass: int
    rows: np.ndarray        # (n, len(ROW_FEATURES))
    charge: np.ndarray      # (n, len(CHARGE_FEATURES)): own minus partner's (zero without a partner)
    mz: np.ndarray          # (n,) nominal m/z of each contribution
    isotopes: np.ndarray    # (n, 3) M, M+1, M+2 shares
    hetero: np.ndarray      # (n,) 1 where the ion holds N, O, S or P
    molecule: np.ndarray    # (len(MOLECULE_FEATURES),)
    mol_isotopes: np.ndarray
    sources: list = field(default_factory=list)  # per row: {"formula", "bond"/"generation"/"ion", "mode"}


def _prepared(smiles):
    """RDKit molecule numbered like the native analysis (heavy atoms as written, then the hydrogens),
    with aromaticity perceived where RDKit can."""
    from rdkit import Chem

    mol = Chem.MolFromSmiles(smiles, sanitize=False)
    if mol is None:
        return None
    mol.UpdatePropertyCache(strict=False)
    try:
        Chem.SetAromaticity(mol)
    except Exception:  # noqa: BLE001 - perception is only a feature here
        pass
    Chem.FastFindRings(mol)
    return Chem.AddHs(mol)


def _bond_features(mol, label):
    """Features of the bonds named by a cut label ("C3-O4", or two of them for a ring cut)."""
    pairs = []
    for part in label.replace(" ", "").replace("+", ",").replace("/", ",").replace("&", ",").split(","):
        atoms = [int(i) for _s, i in _ATOM.findall(part)]
        if len(atoms) == 2:
            pairs.append(atoms)
    xh = hetero = si = alpha = allyl = multiple = 0.0
    for a, b in pairs:
        if max(a, b) >= mol.GetNumAtoms():
            continue
        atom_a, atom_b = mol.GetAtomWithIdx(a), mol.GetAtomWithIdx(b)
        symbols = {atom_a.GetSymbol(), atom_b.GetSymbol()}
        bond = mol.GetBondBetweenAtoms(a, b)
        xh = max(xh, float("H" in symbols))
        hetero = max(hetero, float(bool(symbols & (HETERO | HALOGEN))))
        si = max(si, float("Si" in symbols))
        if bond is not None and (bond.GetIsAromatic() or bond.GetBondTypeAsDouble() > 1.0):
            multiple = 1.0
        if "H" in symbols:
            continue
        for atom, other in ((atom_a, b), (atom_b, a)):
            for nb in atom.GetNeighbors():
                if nb.GetIdx() == other:
                    continue
                if nb.GetSymbol() in HETERO:
                    alpha = 1.0
                nb_bond = mol.GetBondBetweenAtoms(atom.GetIdx(), nb.GetIdx())
                if nb.GetIsAromatic() or nb_bond.GetBondTypeAsDouble() > 1.0:
                    allyl = 1.0
    return xh, hetero, si, alpha, allyl, multiple


def _single_bond(mol, label):
    """The two atoms of a cut label naming one acyclic single bond between heavy atoms, or None."""
    pairs = [[int(i) for _s, i in _ATOM.findall(part)] for part in label.split(",")]
    if len(pairs) != 1 or len(pairs[0]) != 2 or max(pairs[0]) >= mol.GetNumAtoms():
        return None
    a, b = pairs[0]
    bond = mol.GetBondBetweenAtoms(a, b)
    if bond is None or bond.IsInRing() or bond.GetBondTypeAsDouble() != 1.0 or "H" in (
            mol.GetAtomWithIdx(a).GetSymbol(), mol.GetAtomWithIdx(b).GetSymbol()):
        return None
    return a, b


def _side(mol, start, other):
    """Atoms of the piece holding atom ``start`` once its bond to ``other`` is cut, ascending."""
    seen, todo = {start}, [start]
    while todo:
        for nb in mol.GetAtomWithIdx(todo.pop()).GetNeighbors():
            if nb.GetIdx() not in seen and nb.GetIdx() != other:
                seen.add(nb.GetIdx())
                todo.append(nb.GetIdx())
    return sorted(seen)


def _double_to_hetero(atom):
    return atom.GetSymbol() == "C" and any(
        bond.GetOtherAtom(atom).GetSymbol() in ("O", "N", "S") and not bond.GetIsAromatic()
        and bond.GetBondTypeAsDouble() == 2.0 for bond in atom.GetBonds())


def _mclafferty_alpha(mol, a, b):
    """(the alpha atom, a gamma hydrogen) when the bond a-b is the alpha-beta bond of a McLafferty
    rearrangement, else None.

    The rearrangement moves a gamma hydrogen onto the oxygen or nitrogen of a C=O or C=N through a
    six-membered ring and breaks the bond between the alpha and beta atoms: the piece holding the C=X
    group leaves as an ion one hydrogen heavier than the plain cut gives (m/z 74 of methyl esters)."""
    for alpha, beta in ((a, b), (b, a)):
        atom_b = mol.GetAtomWithIdx(beta)
        if atom_b.GetSymbol() != "C" or atom_b.GetIsAromatic():
            continue
        carbonyl = any(nb.GetIdx() != beta and _double_to_hetero(nb) for nb in mol.GetAtomWithIdx(alpha).GetNeighbors())
        gamma_h = [x.GetIdx() for nb in atom_b.GetNeighbors()
                   if nb.GetIdx() != alpha and nb.GetSymbol() == "C" and not nb.GetIsAromatic()
                   for x in nb.GetNeighbors() if x.GetSymbol() == "H"]
        if carbonyl and gamma_h:
            return alpha, gamma_h[0]
    return None


def _tms_groups(mol):
    """(trimethylsilyl groups, those on an oxygen or sulfur, those of them not on a phenolic oxygen).

    m/z 147 (Me2Si=O+-SiMe3) needs a silyl group to move between two silyloxy groups of a flexible
    chain; silyl ethers of phenols, whose oxygen is held by the ring, hardly give it."""
    n = on_o = aryl = 0
    for atom in mol.GetAtoms():
        if atom.GetSymbol() != "Si":
            continue
        nbs = list(atom.GetNeighbors())
        methyls = sum(1 for x in nbs if x.GetSymbol() == "C" and x.GetDegree() == 4
                      and sum(y.GetSymbol() == "H" for y in x.GetNeighbors()) == 3)
        if methyls >= 3:
            n += 1
            on_o += any(x.GetSymbol() in ("O", "S") for x in nbs)
            aryl += any(x.GetSymbol() == "O" and any(y.GetIsAromatic() for y in x.GetNeighbors()) for x in nbs)
    return n, on_o, on_o - aryl


def design(smiles, *, generations=3, ring=True):
    """The ``Design`` of one molecule.  Raises ``trelvanoxa.prediction.UnreadableSmiles`` (a ValueError)
    when RDKit cannot read the SMILES."""
    generations = int(generations)
    if generations < 0:
        raise ValueError("generations must be 0 or more")
    every_generations = min(generations, EVERY_BOND_GENERATIONS)
    every = predict(smiles, ring=ring, generations=every_generations, all_soft=True)
    soft = predict(smiles, ring=ring, generations=generations)
    mol = _prepared(smiles)
    mol_mass = every.mol_mass
    soft_cuts = {c.bond for c in soft.cuts if c.split}
    soft_formulas = {p.formula for p in soft.generation_peaks or ()}
    index = {name: i for i, name in enumerate(ROW_FEATURES)}
    rows, charge, mz, isotopes, hetero, sources = [], [], [], [], [], []

    def ion_features(row, counts, m):
        heavy = sum(n for el, n in counts.items() if el != "H")
        dbe = unsaturation(counts)
        row[index["ion_size"]] = m / mol_mass if mol_mass else 0.0
        row[index["ion_even"]] = float(dbe != math.floor(dbe))
        row[index["ion_unsat"]] = min(max(dbe, 0.0), 6.0) / 6.0
        row[index["ion_hetero"]] = float(any(counts.get(x, 0) for x in HETERO))
        row[index["ion_small"]] = float(heavy <= 2)
        # alkyl and alkenyl ions beyond C4 lose alkenes on their way out: C4H9+ outlives C8H17+
        if set(counts) <= {"C", "H"} and dbe <= 1.5:
            row[index["ion_alkyl"]] = max(math.log(counts.get("C", 0) / 4.0), 0.0)

    def add(row, counts, m, charge_row, source):
        rows.append(row)
        charge.append(charge_row)
        mz.append(int(m))
        isotopes.append(isotope_shares(counts))
        hetero.append(float(any(counts.get(x, 0) for x in HETERO)))
        sources.append(source)

    for cut in every.cuts:
        if not cut.split or not cut.pieces or len(cut.pieces) != 2:
            continue
        bond_feats = _bond_features(mol, cut.bond) if mol is not None else (0.0,) * 6
        pieces = [(p.formula, formula_counts(p.formula), p.mz) for p in cut.pieces]
        vectors = [np.array(_charge_vector(c)) for _f, c, _m in pieces]
        bond = _single_bond(mol, cut.bond) if mol is not None and cut.mode == "single" else None
        moved = _mclafferty_alpha(mol, *bond) if bond is not None else None
        # the piece holding the C=X group, and the same piece with the gamma hydrogen moved over
        piece = _side(mol, moved[0], sum(bond) - moved[0]) if moved is not None else None
        mclafferty = _core._fragment_formula(mol, piece) if piece is not None else None
        for k, (formula, counts, m) in enumerate(pieces):
            if m < 1 or m >= mol_mass or not any(el != "H" for el in counts):
                continue  # a hydrogen atom (ionisation energy 13.6 eV) never keeps the charge
            row = np.zeros(len(ROW_FEATURES))
            row[index["cut"]] = 1.0
            row[index["cut_ring"]] = float(cut.mode != "single")
            row[index["cut_soft"]] = float(cut.bond in soft_cuts)
            for name, value in zip(("cut_xh", "cut_hetero", "cut_si", "cut_alpha", "cut_allyl", "cut_multiple"),
                                   bond_feats):
                row[index[name]] = value
            ion_features(row, counts, m)
            origin = {**Origin(formula, cut.mode, 1, cut.bond).as_dict(), "soft": cut.bond in soft_cuts}
            add(row, counts, m, vectors[k] - vectors[1 - k], origin)
            if formula == mclafferty:  # the same cut with the gamma hydrogen moved over: one more H
                row = row.copy()
                shifted = _core._fragment_formula(mol, piece + [moved[1]])
                shifted_counts = formula_counts(shifted)
                row[index["cut_mclafferty"]] = 1.0
                ion_features(row, shifted_counts, m + 1)
                add(row, shifted_counts, m + 1, vectors[k] - vectors[1 - k],
                    {**origin, "formula": shifted, "rearrangement": "McLafferty"})
    for peak in every.generation_peaks or ():
        g, m = peak.generation, peak.mz
        if g < 2 or m < 1 or m >= mol_mass:
            continue
        counts = formula_counts(peak.formula)
        row = np.zeros(len(ROW_FEATURES))
        row[index["peak_gen2"]] = 1.0  # every-bond cuts stop at EVERY_BOND_GENERATIONS = 2
        row[index["peak_soft"]] = float(peak.formula in soft_formulas)
        ion_features(row, counts, m)
        # the partner is not known, but a one-atom ion (CH+, C+) keeps the charge as seldom here as in a cut
        one_atom = np.zeros(len(CHARGE_FEATURES))
        one_atom[CHARGE_FEATURES.index("charge_one_atom")] = float(sum(n for el, n in counts.items() if el != "H") == 1)
        add(row, counts, m, one_atom,
            {**Origin(peak.formula, GENERATION, g).as_dict(), "soft": peak.formula in soft_formulas})

    n_tms, n_tms_o, n_tms_aliphatic = _tms_groups(mol) if mol is not None else (0, 0, 0)
    for m, formula, name in TMS_IONS:
        wanted = {"tms_73": n_tms >= 1, "tms_75": n_tms_o >= 1, "tms_147": n_tms_aliphatic >= 2}[name]
        if not wanted or m >= mol_mass:
            continue
        row = np.zeros(len(ROW_FEATURES))
        row[index[name]] = 1.0
        if name == "tms_73":
            row[index["tms_73_count"]] = math.log(n_tms)
        add(row, formula_counts(formula), m, np.zeros(len(CHARGE_FEATURES)), {"formula": formula, "ion": "TMS"})

    whole = {}
    aromatic = heavy = chain = 0
    nitrogen = False
    if mol is not None:
        for atom in mol.GetAtoms():
            whole[atom.GetSymbol()] = whole.get(atom.GetSymbol(), 0) + 1
            if atom.GetSymbol() != "H":
                heavy += 1
                nitrogen |= atom.GetSymbol() == "N"
                chain += (atom.GetSymbol() == "C" and not atom.IsInRing() and atom.GetDegree() == 4
                          and sum(x.GetSymbol() == "H" for x in atom.GetNeighbors()) == 2)
        aromatic = sum(1 for ring_atoms in mol.GetRingInfo().AtomRings()
                       if all(mol.GetAtomWithIdx(i).GetIsAromatic() for i in ring_atoms))
    molecule = np.array([1.0, float(aromatic > 0), math.log1p(heavy), float(n_tms > 0), float(nitrogen),
                         chain / heavy if heavy else 0.0])
    return Design(smiles=smiles, mol_mass=mol_mass,
                  rows=np.array(rows).reshape(-1, len(ROW_FEATURES)),
                  charge=np.array(charge).reshape(-1, len(CHARGE_FEATURES)),
                  mz=np.array(mz, dtype=np.int64), isotopes=np.array(isotopes).reshape(-1, 3),
                  hetero=np.array(hetero), molecule=molecule, mol_isotopes=np.array(isotope_shares(whole)),
                  sources=sources)
