"""One molecule in, one compact JSON-friendly record out.

`analyse_one` is the single place where the batch layer calls the analysis; everything else (the
local pool, Dask, the command line, the file writers) goes through it.  `safe_record` wraps it so
that no input can stop a run: bad text, unreadable SMILES and any exception become error records.
"""

from .._errors import smiles_problem as text_problem
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


class UnreadableRecord:
    """Stands for the SMILES of an input record that could not be read (a CSV field beyond the
    size limit, an SDF title that is not UTF-8, a compressed file cut short): its item becomes an
    error record saying why, and the run goes on."""

    def __init__(self, reason):
        self.reason = reason

    def __eq__(self, other):
        return isinstance(other, UnreadableRecord) and other.reason == self.reason

    def __repr__(self):
        return f"UnreadableRecord({self.reason!r})"


def smiles_problem(smiles):
    """Why this input field cannot be analysed, or None: the reason of a record that could not be
    read, or what the text lacks as a SMILES."""
    if isinstance(smiles, UnreadableRecord):
        return smiles.reason
    return text_problem(smiles)


def error_record(ident, smiles, message):
    return {"id": ident, "smiles": smiles, "error": message}


def safe_record(ident, smiles, options):
    """The compact record of one (id, smiles) item; never raises an Exception."""
    problem = smiles_problem(smiles)
    if problem:
        text = smiles if isinstance(smiles, str) else "" if isinstance(smiles, UnreadableRecord) else repr(smiles)
        return error_record(ident, text, problem)
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
