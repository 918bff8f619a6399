"""Predicted stick spectra of compact records, as plain peak lists and as matchms Spectrum objects.

Without predicted heights, as in the spectrum plot, the molecular ion gets 100 and every fragment
60, so a peak's height only tells the molecular ion from the fragments.  A record with
"intensities" (``--intensities``, the intensity model) is drawn with those heights instead.
"""

from ..prediction import Prediction

M_INTENSITY = 100.0
FRAGMENT_INTENSITY = 60.0


def stick_peaks(record):
    """[(mz, intensity, annotation)] of a successful compact record (or a `Prediction`), ascending
    m/z: the molecular ion ("M+ <formula>"), then every m/z of the split fragment records and of
    the multi-generation peaks, annotated with the formula `Prediction.labels` chooses; the
    molecular ion is never relabelled.  A record with "intensities" gives the m/z and heights of
    its predicted spectrum instead (label "" where no fragment is predicted)."""
    prediction = record if isinstance(record, Prediction) else Prediction.from_record(record)
    labels = prediction.labels(ion=("M+ " + (prediction.formula or "")).strip())
    if not isinstance(record, Prediction) and record.get("intensities") is not None:
        # every m/z of the predicted spectrum with its height, labelled where a fragment is predicted
        return [(int(mz), float(i), labels.get(int(mz), "")) for mz, i in record["intensities"]]
    return [(mz, M_INTENSITY if mz == prediction.mol_mass else FRAGMENT_INTENSITY, label)
            for mz, label in labels.items()]


def spectrum_metadata(record):
    """MSP/matchms metadata and stick peaks of a successful compact record."""
    prediction = Prediction.from_record(record)
    meta = {
        "compound_name": record["id"],
        "smiles": record["smiles"],
        "formula": prediction.formula or None,
        "ionmode": "positive",
        "charge": 1,
        "nominal_mass": int(record["mol_mass"]),
        "molecular_weight": round(float(record["mol_mass_avg"]), 4),
        "lpi": "{}/{}/{}".format(*record["lpi"]),
        "soft_bonds": len(record["soft_bonds"]),
        "comment": ("predicted EI-MS spectrum (intensity model)" if record.get("intensities") is not None
                    else "predicted EI-MS fragments (schematic intensities)"),
    }
    peaks = stick_peaks(record if record.get("intensities") is not None else prediction)
    return {k: v for k, v in meta.items() if v is not None}, peaks


def to_matchms(record):
    """A matchms.Spectrum of a compact record: the molecular ion and every predicted m/z, each peak
    annotated with its formula in the "peak_comments" metadata; the id, SMILES, formula, LPI and
    masses are in the metadata too.  A record with "intensities" gives its predicted spectrum with
    those heights.  Raises ValueError for an error record."""
    if record.get("error"):
        raise ValueError(f"record {record.get('id')!r} has no spectrum: {record['error']}")
    import numpy as np
    from matchms import Spectrum

    meta, peaks = spectrum_metadata(record)
    meta["peak_comments"] = {float(mz): label for mz, _i, label in peaks if label}
    return Spectrum(mz=np.array([float(mz) for mz, _i, _l in peaks]),
                    intensities=np.array([i for _m, i, _l in peaks]), metadata=meta,
                    metadata_harmonization=False)
