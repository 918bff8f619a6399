"""Predicted fragments of one structure, in the plain form the scoring reads."""

from rdkit import Chem

import trelvanoxa


def _analysed_molecule(smiles):
    """The molecule the analysis works on, atom for atom: unsanitised parse, kekulized, explicit hydrogens."""
    mol = Chem.MolFromSmiles(smiles, sanitize=False)
    mol.UpdatePropertyCache(strict=False)
    try:
        Chem.SetAromaticity(mol)
        Chem.Kekulize(mol, clearAromaticFlags=True)
    except Exception:
        pass
    return Chem.AddHs(mol)


def _all_soft_fragments(smiles, chem_bonds, ring):
    """Cuts of the baseline in which every chem bond counts as soft."""
    mol = _analysed_molecule(smiles)
    for cb in chem_bonds:
        for end in ("u", "v"):
            if mol.GetAtomWithIdx(cb[f"atom_{end}"]).GetSymbol() != cb[f"sym_{end}"]:
                raise RuntimeError(f"atom order of {smiles!r} differs from the analysed molecule")
    return trelvanoxa.predict_fragments(mol, list(chem_bonds), ring_fragmentation=ring)


def predict_for_scoring(smiles, *, ring=True, generations=3, all_soft=False):
    """Predicted fragments of ``smiles`` for scoring against a measured spectrum.

    Returns ``{"mol_mass": M, "fragments": [...], "peaks": [...]}``: ``mol_mass`` is the nominal mass of
    the molecule (explicit hydrogens included); ``fragments`` are the splitting cut records of the analysis
    (``{"bond", "split", "mode", "fragments": [(formula, mass, mz), ...]}``; single cuts, and ring double
    cuts when ``ring`` is true); ``peaks`` are the multi-generation peaks ``{"mz", "formula",
    "generation"}`` in ascending m/z, the molecular ion (generation 0) included, empty when ``generations``
    is 0.  The multi-generation pass always makes ring double cuts, whatever ``ring`` says.

    With ``all_soft`` true every chem bond is treated as soft (the baseline); its multi-generation peaks
    are not computed yet, so ``peaks`` is empty.  Raises ``ValueError`` when the SMILES cannot be read.
    """
    generations = int(generations)
    if generations < 0:
        raise ValueError("generations must be 0 or more")
    deep = generations > 0 and not all_soft
    record = trelvanoxa.VIF(smiles, draw=False, verbose=False, ring_fragmentation=bool(ring),
                            recursive_ms=deep, max_generations=max(generations, 1))
    if not isinstance(record, dict):
        raise ValueError(f"cannot read SMILES {smiles!r}")
    if all_soft:
        cuts = _all_soft_fragments(smiles, record["chem_bonds"], bool(ring))
    else:
        cuts = record["fragments"]
    fragments = [{"bond": c["bond"], "split": True, "mode": c["mode"], "fragments": [tuple(f) for f in c["fragments"]]}
                 for c in cuts if c["split"]]
    peaks = [{"mz": int(mz), "formula": p["formula"], "generation": int(p["generation"])}
             for mz, p in sorted((record["recursive_peaks"] or {}).items())]
    return {"mol_mass": int(record["mol_mass"]), "fragments": fragments, "peaks": peaks}
