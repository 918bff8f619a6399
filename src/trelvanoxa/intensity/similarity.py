"""How alike two nominal-mass stick spectra are, and the structure-blind reference spectrum.

Spectra are ``{nominal m/z: intensity}`` mappings (``trelvanoxa.score.nominal_spectrum`` makes them from
peak lists).  Both measures are cosines of peak vectors over the union of the m/z present, from ``lo``
upwards (the lowest m/z the instrument scanned; lighter predicted ions are not held against it):

- ``sqrt_cosine``: the vectors are the square roots of the intensities, so that a few dominant peaks do
  not decide the score alone;
- ``weighted_dot``: the vectors are m/z^3 * intensity^0.6, the weighting of library search (heavier,
  more specific ions count more); the same number as matchms' ``CosineGreedy(tolerance=0.5,
  mz_power=3, intensity_power=0.6)`` on nominal spectra.

Either is 0.0 when one spectrum has nothing at or above ``lo``.
"""

import math


def _vectors(predicted, measured, lo, weight):
    keys = sorted(k for k in set(predicted) | set(measured) if k >= lo)
    a = [weight(k, max(float(predicted.get(k, 0.0)), 0.0)) for k in keys]
    b = [weight(k, max(float(measured.get(k, 0.0)), 0.0)) for k in keys]
    return a, b


def _cosine(a, b):
    na = math.sqrt(math.fsum(x * x for x in a))
    nb = math.sqrt(math.fsum(y * y for y in b))
    if na == 0.0 or nb == 0.0:
        return 0.0
    return math.fsum(x * y for x, y in zip(a, b)) / (na * nb)


def sqrt_cosine(predicted, measured, lo=0):
    """Cosine of the square-rooted intensities of two ``{m/z: intensity}`` spectra, m/z >= ``lo``."""
    return _cosine(*_vectors(predicted, measured, lo, lambda mz, i: math.sqrt(i)))


def weighted_dot(predicted, measured, lo=0):
    """Cosine of m/z^3 * intensity^0.6 of two ``{m/z: intensity}`` spectra, m/z >= ``lo``."""
    return _cosine(*_vectors(predicted, measured, lo, lambda mz, i: float(mz) ** 3 * i ** 0.6))


def relative(spectrum):
    """The spectrum with its base peak at 1."""
    base = max(spectrum.values(), default=0.0)
    return {mz: i / base for mz, i in spectrum.items()} if base > 0 else {}


def average_spectrum(spectra):
    """Mean of the relative spectra (each with its base peak at 1) of ``spectra``."""
    total = {}
    spectra = list(spectra)
    for s in spectra:
        for mz, i in relative(s).items():
            total[mz] = total.get(mz, 0.0) + i
    return {mz: i / len(spectra) for mz, i in sorted(total.items())} if spectra else {}


def blind_spectrum(average, mol_mass):
    """The structure-blind prediction for a molecule of nominal mass ``mol_mass``: ``average`` cut at
    the molecular ion, which is set to the height of its base peak, scaled to a base peak of 100."""
    mol_mass = int(mol_mass)
    cut = {mz: i for mz, i in average.items() if mz < mol_mass and i > 0}
    base = max(cut.values(), default=1.0)
    cut[mol_mass] = base
    return {mz: 100.0 * i / base for mz, i in sorted(cut.items())}


def leave_one_out_blind(spectra, mol_masses):
    """Structure-blind predictions of each spectrum from the mean relative spectrum of all the others."""
    spectra = [relative(s) for s in spectra]
    total = {}
    for s in spectra:
        for mz, i in s.items():
            total[mz] = total.get(mz, 0.0) + i
    n = len(spectra)
    out = []
    for s, mass in zip(spectra, mol_masses, strict=True):
        if n < 2:
            out.append(blind_spectrum({}, mass))
            continue
        others = {mz: (t - s.get(mz, 0.0)) / (n - 1) for mz, t in total.items()}
        out.append(blind_spectrum(others, mass))
    return out
