"""One molecule's predicted EI fragments and peaks, as one typed record.

The native analysis cuts a molecule in two ways: single cuts (and ring double cuts) at its soft
bonds, each giving a fragment record ``{"bond", "split", "mode", "fragments"}``, and, when asked,
the multi-generation pass, which keeps one formula per m/z (the first fragment it finds there) with
the generation that reached it.  `Prediction` holds both as the core gives them (`cuts`,
`generation_peaks`) and merges them into `peaks`: every predicted nominal m/z, ascending, each with
every `Origin` that reaches it, in a fixed order: the pieces of the split cut records in record
order, then the multi-generation peak.

Where output needs one formula per m/z (stick spectra, MSP annotations, plot labels),
`Prediction.labels` gives the first origin's formula; the other origins stay in the record.

`analyse` is the one call of the native ``analyse_compact`` that predictions come from (batch
records, scoring); `predict` turns its result into a record.  `Prediction.from_record` builds the
record from that result, or from a compact batch record read back from a file; `Prediction.build`
from plain fragment records, such as those of a `VIF` result.
"""

from __future__ import annotations

import operator
from dataclasses import dataclass, field

from . import _core
from ._errors import UnreadableSmilesError as UnreadableSmiles

__all__ = ["Cut", "GenerationPeak", "Origin", "Peak", "Piece", "Prediction", "UnreadableSmiles", "analyse",
           "predict"]

# Origin modes: a piece of a single cut or of a ring double cut of the molecule, or a peak of the
# multi-generation pass (generation 0 is the molecular ion itself).
SINGLE, RING, GENERATION = "single", "ring", "generation"


@dataclass(frozen=True, slots=True)
class Piece:
    """One fragment of a cut: formula, average mass (rounded to 2 decimals) and nominal m/z."""

    formula: str
    mass: float
    mz: int


@dataclass(frozen=True, slots=True)
class Cut:
    """One fragment record of the analysis: the bond label ("C0-O1", or two labels joined by " + "
    for a ring double cut), whether it splits the molecule, its mode ("single" or "ring") and its
    pieces, heavier first (None when the cut does not split, as for one ring bond alone)."""

    bond: str
    split: bool
    mode: str
    pieces: tuple[Piece, ...] | None


@dataclass(frozen=True, slots=True)
class GenerationPeak:
    """A peak of the multi-generation pass: the first fragment found at ``mz`` and its generation."""

    mz: int
    formula: str
    generation: int


@dataclass(frozen=True, slots=True)
class Origin:
    """How a fragment of some m/z arises.

    ``mode`` is "single" or "ring" for a piece of a cut of the molecule (``bond`` names the cut;
    ``generation`` is 1), or "generation" for a multi-generation peak (``bond`` is None;
    ``generation`` counts the cuts from the molecule, 0 for the molecular ion)."""

    formula: str
    mode: str
    generation: int
    bond: str | None = None

    @property
    def is_cut(self):
        return self.mode != GENERATION

    def as_dict(self):
        """``{"formula", "bond", "mode"}`` for a cut, ``{"formula", "generation"}`` for a
        multi-generation peak (the shape of the scoring annotations)."""
        if self.is_cut:
            return {"formula": self.formula, "bond": self.bond, "mode": self.mode}
        return {"formula": self.formula, "generation": self.generation}


@dataclass(frozen=True, slots=True)
class Peak:
    """One predicted nominal m/z with every origin that reaches it (never empty)."""

    mz: int
    origins: tuple[Origin, ...]

    @property
    def formula(self):
        """The formula that names this m/z where only one can be shown: the first origin's."""
        return self.origins[0].formula

    @property
    def by_cut(self):
        """True when a single or ring cut of the molecule reaches this m/z."""
        return any(o.is_cut for o in self.origins)


@dataclass(frozen=True)
class Prediction:
    """Predicted fragments and peaks of one molecule.

    ``mol_mass`` is the nominal mass (the m/z of the molecular ion), ``mol_mass_avg`` the average
    mass and ``formula`` the formula of the whole molecule (C, H, then the other symbols in
    code-point order; hydrogens included).  ``cuts`` are the fragment records of the single and
    ring cuts in the analysis's order; ``generation_peaks`` the multi-generation peaks in discovery
    order, or None when that pass was not run.  ``peaks`` (derived) merges them by m/z."""

    mol_mass: int
    mol_mass_avg: float | None
    formula: str | None
    cuts: tuple[Cut, ...]
    generation_peaks: tuple[GenerationPeak, ...] | None = None
    peaks: tuple[Peak, ...] = field(init=False, repr=False, compare=False)

    def __post_init__(self):
        origins = {}
        for cut in self.cuts:
            if cut.split:
                for piece in cut.pieces:
                    origins.setdefault(piece.mz, []).append(Origin(piece.formula, cut.mode, 1, cut.bond))
        for peak in self.generation_peaks or ():
            origins.setdefault(peak.mz, []).append(Origin(peak.formula, GENERATION, peak.generation))
        object.__setattr__(self, "peaks", tuple(Peak(mz, tuple(o)) for mz, o in sorted(origins.items())))

    @classmethod
    def build(cls, mol_mass, fragments, peaks=None, *, mol_mass_avg=None, formula=None):
        """A record from the analysis's plain values: ``fragments`` are fragment records (mappings
        with "bond", "split", "mode" and "fragments", a list of (formula, mass, m/z) or None),
        ``peaks`` multi-generation peaks as mappings with "mz", "formula" and "generation" in
        discovery order (or None).  Values are checked only as far as the record needs them."""
        cuts = tuple(_cut(f) for f in fragments)
        gen = None if peaks is None else tuple(
            GenerationPeak(operator.index(p["mz"]), str(p["formula"]), operator.index(p["generation"])) for p in peaks)
        return cls(operator.index(mol_mass), mol_mass_avg, formula, cuts, gen)

    @classmethod
    def from_record(cls, record):
        """The record of an ``analyse_compact`` result or of a compact batch record (as written to
        JSONL or Parquet and read back).  The molecule's formula comes from the result, else from
        its generation-0 peak, else from the SMILES (the core's formula of the whole molecule)."""
        formula = record.get("formula")
        if formula is None:
            formula = next((p["formula"] for p in record.get("peaks") or () if p["generation"] == 0), None)
        if formula is None and record.get("smiles") is not None:
            formula = molecule_formula(record["smiles"])
        return cls.build(record["mol_mass"], record["fragments"], record.get("peaks"),
                         mol_mass_avg=record.get("mol_mass_avg"), formula=formula)

    def compact(self):
        """The prediction keys of a compact batch record: "fragments" (lists [formula, mass, mz]),
        "peaks" (dicts in discovery order, or None), "mol_mass" and "mol_mass_avg"."""
        return {
            "fragments": [{"bond": c.bond, "split": c.split, "mode": c.mode,
                           "fragments": None if c.pieces is None else [[p.formula, p.mass, p.mz] for p in c.pieces]}
                          for c in self.cuts],
            "peaks": None if self.generation_peaks is None else [
                {"mz": p.mz, "formula": p.formula, "generation": p.generation} for p in self.generation_peaks],
            "mol_mass": self.mol_mass,
            "mol_mass_avg": self.mol_mass_avg,
        }

    def peak(self, mz):
        """The peak at nominal ``mz``, or None."""
        for p in self.peaks:
            if p.mz == mz:
                return p
        return None

    def labels(self, ion=None):
        """``{m/z: formula}``, ascending, one formula per m/z: the first origin's.  With ``ion`` the
        molecular ion's m/z (``mol_mass``) is always present and labelled ``ion`` instead."""
        out = {p.mz: p.formula for p in self.peaks}
        if ion is not None:
            out[self.mol_mass] = ion
            out = dict(sorted(out.items()))
        return out


def _cut(record):
    pieces = record["fragments"]
    if pieces is not None:
        pieces = tuple(Piece(str(f), m, operator.index(z)) for f, m, z in pieces)
    return Cut(record["bond"], bool(record["split"]), record["mode"], pieces)


def molecule_formula(smiles):
    """Formula of the whole molecule of ``smiles`` (hydrogens included), or None if RDKit cannot
    read it; the core writes it, as it writes every fragment formula, of the molecule the analysis
    prepares."""
    mol = _core._prepare_molecule(smiles)
    if mol is None:
        return None
    return _core._fragment_formula(mol, list(range(mol.GetNumAtoms())))


def analyse(smiles, *, ring=False, recursive=False, generations=2, all_soft=False):
    """The native compact analysis of one molecule: a dict with "lpi", "soft_bonds", "fragments",
    "peaks", "formula", "mol_mass" and "mol_mass_avg".  Raises `UnreadableSmiles` when RDKit
    cannot read the SMILES; other errors propagate."""
    try:
        return _core.analyse_compact(smiles, ring_fragmentation=bool(ring), recursive=bool(recursive),
                                     max_generations=generations, all_soft=bool(all_soft))
    except UnreadableSmiles as exc:  # RDKit cannot read it: the analysis stopped before anything was built
        exc.smiles = smiles
        raise


def predict(smiles, *, ring=False, generations=0, all_soft=False):
    """The `Prediction` of ``smiles``: single cuts at the soft bonds (ring double cuts too with
    ``ring``) and, when ``generations`` > 0, the multi-generation peaks up to that generation (that
    pass always makes ring double cuts).  With ``all_soft`` every chem bond is cut as if soft.
    Raises `UnreadableSmiles` when RDKit cannot read the SMILES."""
    generations = operator.index(generations)
    if generations < 0:
        raise ValueError("generations must be 0 or more")
    return Prediction.from_record(analyse(smiles, ring=ring, recursive=generations > 0,
                                          generations=generations, all_soft=all_soft))

