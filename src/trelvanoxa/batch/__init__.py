"""Batch analysis: many molecules through a local process pool or a Dask cluster, compact records
out, readers and writers for SMILES, CSV, SDF, JSONL, MSP and Parquet files."""

from .engine import RECORD_KEYS, analyse_one, smiles_problem
from .pool import DASK_CHUNK_SIZE, DEFAULT_CHUNK_SIZE, can_alarm, default_jobs, imap_dask, imap_inprocess, imap_local
from .spectra import to_matchms

__all__ = ["analyze_many", "analyse_one", "to_matchms", "RECORD_KEYS", "smiles_problem"]


def normalise_items(items):
    """(id, smiles) pairs from SMILES strings, (id, smiles) pairs or mappings with "smiles" and
    optionally "id".  A string without an id is numbered by its 1-based position."""
    for pos, item in enumerate(items, 1):
        if isinstance(item, str):
            yield str(pos), item
        elif isinstance(item, dict):
            ident = item.get("id")
            yield (str(pos) if ident is None else str(ident)), item.get("smiles")
        elif isinstance(item, (tuple, list)) and len(item) == 2:
            yield str(item[0]), item[1]
        else:
            yield str(pos), item  # becomes an error record ("SMILES must be text")


def analyze_many(smiles_or_records, jobs=None, client=None, ring=False, recursive=False, generations=2,
                 timeout=None, chunk_size=None, intensities=False):
    """Analyse many molecules; yield one compact record per item, in input order.

    Items are SMILES strings, (id, smiles) pairs or dicts with "smiles" (and "id").  `jobs` worker
    processes (default: all cores; 1 analyses in this process), or the workers of `client`, a
    dask.distributed.Client.  `chunk_size` molecules go to a worker at a time (default 16 for the
    local pool, 64 for Dask, whose tasks cost more to schedule).  `timeout` limits the seconds spent on one molecule: an overrun gives
    an error record and the worker is replaced.  Input is consumed lazily and only a bounded
    number of molecules is in flight, so any iterable (a file, a generator) may be passed.

    Each record has "id", "smiles", "lpi", "soft_bonds", "fragments", "peaks", "mol_mass",
    "mol_mass_avg" and "error" (None, or the reason the molecule failed; the analysis keys are
    then absent).  With `intensities` each record also has "intensities", the predicted spectrum with
    heights ([[mz, intensity], ...], base peak 100; see `trelvanoxa.intensity.predict_spectrum`).
    """
    options = {"ring": bool(ring), "recursive": bool(recursive), "generations": int(generations)}
    if intensities:
        options["intensities"] = True
    if timeout is not None and timeout <= 0:
        raise ValueError("timeout must be a positive number of seconds")
    items = normalise_items(smiles_or_records)
    if client is not None:
        return imap_dask(items, options, client, timeout=timeout, chunk_size=chunk_size or DASK_CHUNK_SIZE)
    jobs = default_jobs() if jobs is None else int(jobs)
    if jobs < 1:
        raise ValueError("jobs must be at least 1")
    if jobs == 1 and (timeout is None or can_alarm()):
        return imap_inprocess(items, options, timeout=timeout)
    return imap_local(items, options, jobs, timeout=timeout, chunk_size=chunk_size or DEFAULT_CHUNK_SIZE)
