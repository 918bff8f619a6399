"""Predicted fragments of one structure, in the plain form the scoring reads."""

from .. import _core
from .._errors import UnreadableSmilesError, check_smiles_text


def predict_for_scoring(smiles, *, ring=True, generations=3, all_soft=False):
    """Predicted fragments of ``smiles`` for scoring against a measured spectrum.

    Returns ``{"mol_mass": M, "fragments": [...], "peaks": [...]}``: ``mol_mass`` is the nominal mass of
    the molecule (explicit hydrogens included); ``fragments`` are the splitting cut records of the analysis
    (``{"bond", "split", "mode", "fragments": [(formula, mass, mz), ...]}``; single cuts, and ring double
    cuts when ``ring`` is true); ``peaks`` are the multi-generation peaks ``{"mz", "formula",
    "generation"}`` in ascending m/z, the molecular ion (generation 0) included, empty when ``generations``
    is 0.  The multi-generation pass always makes ring double cuts, whatever ``ring`` says.

    With ``all_soft`` true every chem bond is treated as soft (the baseline), in the single and ring cuts
    and in every generation.  Raises ``UnreadableSmilesError`` (a ``ValueError``) when the SMILES cannot be
    read, whitespace or control characters inside it included (RDKit would read "CC O" as ethane); other
    failures (an unknown element) raise as the analysis raises them.
    """
    generations = int(generations)
    if generations < 0:
        raise ValueError("generations must be 0 or more")
    check_smiles_text(smiles)
    try:
        record = _core.analyse_compact(smiles, ring_fragmentation=bool(ring), recursive=generations > 0,
                                       max_generations=generations, all_soft=bool(all_soft))
    except UnreadableSmilesError as exc:
        raise UnreadableSmilesError(f"cannot read SMILES {smiles!r}") from exc
    fragments = [{"bond": c["bond"], "split": True, "mode": c["mode"], "fragments": [tuple(f) for f in c["fragments"]]}
                 for c in record["fragments"] if c["split"]]
    peaks = sorted(record["peaks"] or [], key=lambda p: p["mz"])
    return {"mol_mass": int(record["mol_mass"]), "fragments": fragments, "peaks": peaks}
