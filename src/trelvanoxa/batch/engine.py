"""One molecule in, one compact JSON-friendly record out.

`analyse_one` is the single place where the batch layer calls the analysis; everything else (the
local pool, Dask, the command line, the file writers) goes through it.  `safe_record` wraps it so
that no input can stop a run: bad text, unreadable SMILES and any exception become error records.
"""

from ..prediction import Prediction, UnreadableSmiles, analyse

# Keys of a compact record, in the order they are written.
RECORD_KEYS = ("id", "smiles", "lpi", "soft_bonds", "fragments", "peaks", "mol_mass", "mol_mass_avg", "error")


def analyse_one(smiles, *, ring=False, recursive=False, generations=2, all_soft=False, intensities=False):
    """Analyse one molecule and return its compact record (without "id").

    Keys: "smiles", "lpi" [n+, n0, n-], "soft_bonds" (bond labels such as "C0-O1", one per soft
    orbital link), then the prediction (`Prediction.compact`): "fragments" (fragment records with
    [formula, mass, mz] triples or None), "peaks" (multi-generation peaks [{"mz", "formula",
    "generation"}] in discovery order, or None when `recursive` is false), "mol_mass" (nominal,
    int), "mol_mass_avg" (float); and "error" (None).  With `all_soft` every chem bond counts as
    soft.  With `intensities` the record also has "intensities": the predicted spectrum
    [[mz, intensity], ...] of `trelvanoxa.intensity.predict_spectrum` (its own cuts and generations,
    base peak 100).  An unreadable SMILES gives {"smiles": smiles, "error": "SMILES okunamadı!"};
    other errors raise.
    """
    try:
        rec = analyse(smiles, ring=ring, recursive=recursive, generations=generations, all_soft=all_soft)
    except UnreadableSmiles as exc:
        return {"smiles": smiles, "error": str(exc)}
    out = {"smiles": smiles, "lpi": list(rec["lpi"]), "soft_bonds": rec["soft_bonds"],
           **Prediction.from_record(rec).compact(), "error": None}
    if intensities:
        from ..intensity import predict_spectrum

        out["intensities"] = [[mz, intensity] for mz, intensity in predict_spectrum(smiles)]
    return out


class MoleculeTimeout(BaseException):
    """Raised inside a worker when one molecule overruns its time limit.  Like KeyboardInterrupt it
    is not an Exception, so no fallback inside the analysis can swallow it."""


def smiles_problem(smiles):
    """Why this text cannot be a SMILES field, or None.  RDKit stops reading at the first blank, so
    "CC O" would silently become ethane; whitespace and control characters are refused here."""
    if not isinstance(smiles, str):
        return f"SMILES must be text, got {type(smiles).__name__}"
    if not smiles:
        return "empty SMILES"
    for pos, ch in enumerate(smiles):
        if ch.isspace() or not ch.isprintable():
            kind = "whitespace" if ch.isspace() else "a control character"
            return f"SMILES contains {kind} (U+{ord(ch):04X}) at position {pos}"
    return None


def error_record(ident, smiles, message):
    return {"id": ident, "smiles": smiles, "error": message}


def safe_record(ident, smiles, options):
    """The compact record of one (id, smiles) item; never raises an Exception."""
    problem = smiles_problem(smiles)
    if problem:
        return error_record(ident, smiles if isinstance(smiles, str) else repr(smiles), problem)
    try:
        rec = analyse_one(smiles, **options)
    except MoleculeTimeout as exc:
        return error_record(ident, smiles, str(exc))
    except Exception as exc:  # noqa: BLE001 - one molecule must never stop the run
        return error_record(ident, smiles, f"{type(exc).__name__}: {exc}")
    out = {"id": ident}
    out.update(rec)
    return out


def analyse_chunk(items, options):
    """Compact records of a list of (id, smiles) items, in order (used by Dask tasks and tests)."""
    return [safe_record(i, s, options) for i, s in items]
