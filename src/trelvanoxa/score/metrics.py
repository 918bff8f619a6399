"""How well predicted fragments explain one measured spectrum, and summaries over many.

All comparisons are at nominal m/z.  Measured m/z values are rounded to the nearest integer (halves
upwards) and the intensities of peaks that round to the same nominal m/z are summed before anything
else, the base peak included.

For one spectrum, with M the nominal mass of the structure and lo the lowest measured nominal m/z (or
``min_mz`` rounded up to a whole m/z when given):

- Q, the measured set: nominal m/z with lo <= m/z < M whose intensity is at least ``min_rel_intensity``
  of the base peak;
- P, the predicted set: nominal m/z with lo <= m/z < M of every piece of every splitting cut (single
  cuts, ring double cuts) and of every multi-generation peak;
- precision = |P & Q| / |P|, undefined (None) when P is empty;
- chance = |Q| / (M - lo), the precision of m/z drawn at random from [lo, M); None when M <= lo;
- recall@k = share of the k most intense m/z of Q (ties by lower m/z first; all of Q when it has fewer)
  that lie in P; None when Q is empty;
- explained = intensity of Q at m/z in P / whole intensity of Q; None when Q is empty.

The molecular ion (m/z M) and anything heavier belong to neither set.
"""

import math
from statistics import fmean

SUMMARY_KEYS = ("spectra", "empty_predictions", "precision", "chance", "lift", "recall_at_k", "explained")


def nominal_mz(mz):
    """Nearest whole m/z, halves rounded upwards."""
    return int(math.floor(float(mz) + 0.5))


def _pairs(peaks):
    spectrum_peaks = getattr(peaks, "peaks", None)
    if spectrum_peaks is not None and hasattr(spectrum_peaks, "mz"):  # a matchms Spectrum
        return zip(spectrum_peaks.mz, spectrum_peaks.intensities)
    return peaks


def nominal_spectrum(peaks):
    """``{nominal m/z: summed intensity}`` of (m/z, intensity) pairs or a matchms Spectrum, ascending."""
    combined = {}
    for mz, intensity in _pairs(peaks):
        mz, intensity = float(mz), float(intensity)
        if not (math.isfinite(mz) and math.isfinite(intensity)):
            raise ValueError(f"peak ({mz}, {intensity}) is not finite")
        key = nominal_mz(mz)
        combined[key] = combined.get(key, 0.0) + intensity
    return dict(sorted(combined.items()))


def _check_options(min_rel_intensity, top_k):
    if not 0.0 <= float(min_rel_intensity) <= 1.0:
        raise ValueError("min_rel_intensity must lie between 0 and 1")
    if int(top_k) < 1:
        raise ValueError("top_k must be at least 1")


def score_prediction(peaks, prediction, *, min_rel_intensity=0.01, top_k=10, min_mz=None):
    """Annotations and metrics of one measured spectrum against a `Prediction` (``predict_for_scoring``).

    Returns a dict with ``mol_mass``, ``lo``, ``base_peak``, the sorted m/z lists ``measured`` (Q),
    ``predicted`` (P), ``predicted_by_cut`` (the m/z of P reached by a single or ring cut) and ``matched``
    (P & Q), the metrics ``precision``, ``chance``, ``recall_at_k``, ``explained`` (None where
    undefined), ``top_k``, and ``peaks``: one entry per measured nominal m/z with ``mz``,
    ``intensity``, ``relative`` (to the base peak), ``counted`` (in Q), ``explained`` (in Q and P) and
    ``fragments`` (every predicted fragment of that m/z: ``formula`` with ``bond`` and
    ``mode`` for a cut, ``generation`` for a multi-generation peak).
    Raises ``ValueError`` when there are no peaks.
    """
    _check_options(min_rel_intensity, top_k)
    spectrum = nominal_spectrum(peaks)
    if not spectrum:
        raise ValueError("the spectrum has no peaks")
    mol_mass = int(prediction.mol_mass)
    lo = min(spectrum) if min_mz is None else math.ceil(float(min_mz))
    base = max(spectrum.values())
    threshold = float(min_rel_intensity) * base
    measured = {mz: i for mz, i in spectrum.items() if lo <= mz < mol_mass and base > 0 and i >= threshold}
    by_mz = {peak.mz: peak for peak in prediction.peaks}
    predicted = {mz for mz in by_mz if lo <= mz < mol_mass}
    matched = predicted & measured.keys()

    top = sorted(measured, key=lambda mz: (-measured[mz], mz))[: int(top_k)]
    total = sum(measured.values())
    metrics = {
        "precision": len(matched) / len(predicted) if predicted else None,
        "chance": len(measured) / (mol_mass - lo) if mol_mass > lo else None,
        "recall_at_k": sum(mz in predicted for mz in top) / len(top) if top else None,
        "explained": sum(measured[mz] for mz in matched) / total if total > 0 else None,
    }
    annotations = [{"mz": mz, "intensity": i, "relative": i / base if base > 0 else 0.0,
                    "counted": mz in measured, "explained": mz in matched,
                    "fragments": [o.as_dict() for o in by_mz[mz].origins] if mz in by_mz else []}
                   for mz, i in spectrum.items()]
    by_cut = sorted(mz for mz in predicted if by_mz[mz].by_cut)
    return {"mol_mass": mol_mass, "lo": lo, "base_peak": base, "measured": sorted(measured),
            "predicted": sorted(predicted), "predicted_by_cut": by_cut, "matched": sorted(matched), **metrics,
            "top_k": int(top_k), "peaks": annotations}


def spectrum_similarity(peaks, predicted, blind, lo):
    """``{"cosine", "weighted_dot", "blind_cosine", "blind_dot"}`` of a measured spectrum (peaks or a
    matchms Spectrum) against a predicted one and a structure-blind one (``(m/z, intensity)`` pairs or
    ``{m/z: intensity}``), compared from m/z ``lo`` up (``trelvanoxa.intensity.similarity``)."""
    from ..intensity.similarity import sqrt_cosine, weighted_dot

    measured = nominal_spectrum(peaks)
    predicted = predicted if isinstance(predicted, dict) else nominal_spectrum(predicted)
    blind = blind if isinstance(blind, dict) else nominal_spectrum(blind)
    return {"cosine": sqrt_cosine(predicted, measured, lo), "weighted_dot": weighted_dot(predicted, measured, lo),
            "blind_cosine": sqrt_cosine(blind, measured, lo), "blind_dot": weighted_dot(blind, measured, lo)}


def explain(peaks, smiles, *, generations=3, ring=True, min_rel_intensity=0.01, top_k=10, min_mz=None,
            baseline=False, intensities=False):
    """Explain a measured EI spectrum of ``smiles`` by its predicted fragments.

    ``peaks`` are (m/z, intensity) pairs or a matchms ``Spectrum``.  Predictions come from
    ``predict_for_scoring`` (``generations`` multi-generation cuts, 0 for none; ring double cuts when
    ``ring``; with ``baseline`` every chem bond treated as soft instead of the soft bonds).  Returns the
    per-peak annotations and the metrics of ``score_prediction``, with ``smiles`` added.

    With ``intensities`` the result also holds ``spectrum``, the predicted spectrum with heights
    (``trelvanoxa.intensity.predict_spectrum``, as ``[m/z, intensity]`` pairs), and ``similarity``:
    its cosine on square-rooted intensities and weighted dot product against the measured spectrum,
    and the same for the structure-blind reference (the intensity model's prior, the mean relative
    spectrum of the spectra it was fitted on, cut at M with M+ at its base), from m/z ``lo`` up.
    """
    from .predict import predict_for_scoring

    _check_options(min_rel_intensity, top_k)
    prediction = predict_for_scoring(smiles, ring=ring, generations=generations, all_soft=baseline)
    result = score_prediction(peaks, prediction, min_rel_intensity=min_rel_intensity, top_k=top_k, min_mz=min_mz)
    if intensities:
        from ..intensity import predict_spectrum
        from ..intensity.model import shipped_parameters
        from ..intensity.similarity import blind_spectrum

        spectrum = predict_spectrum(smiles)
        blind = blind_spectrum(shipped_parameters().prior, result["mol_mass"])
        result["spectrum"] = [[mz, i] for mz, i in spectrum]
        result["similarity"] = spectrum_similarity(peaks, spectrum, blind, result["lo"])
    return {"smiles": smiles, **result}


def _mean(values):
    values = [v for v in values if v is not None]
    return fmean(values) if values else None


def summarize(results):
    """Summary of scored spectra (``score_prediction`` results): their number, how many had no prediction
    in range (left out of the mean precision), and the means of precision, chance, recall@k and explained
    over the spectra where each is defined; lift = mean precision / mean chance."""
    results = list(results)
    precision, chance = _mean(r["precision"] for r in results), _mean(r["chance"] for r in results)
    return {
        "spectra": len(results),
        "empty_predictions": sum(not r["predicted"] for r in results),
        "precision": precision,
        "chance": chance,
        "lift": precision / chance if precision is not None and chance else None,
        "recall_at_k": _mean(r["recall_at_k"] for r in results),
        "explained": _mean(r["explained"] for r in results),
    }


def summarize_groups(results, groups):
    """``{"overall": S, "groups": {name: S}}`` for results with their group names (None: no group)."""
    by_group = {}
    for result, group in zip(results, groups, strict=True):
        if group is not None:
            by_group.setdefault(group, []).append(result)
    return {"overall": summarize(results), "groups": {g: summarize(rs) for g, rs in sorted(by_group.items())}}
