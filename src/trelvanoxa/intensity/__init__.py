"""Predicted EI spectra with heights: an intensity model layered on the predicted fragments.

``predict_spectrum(smiles)`` gives a 70 eV stick spectrum, base peak 100, whose peaks each tell which
fragments they come from.  The model (``trelvanoxa.intensity.model``) has a few dozen weights with a
chemical meaning, shipped in ``params.json``; ``tools/fit_intensity.py`` refits them on any MSP file.
``sqrt_cosine`` and ``weighted_dot`` say how alike two spectra are.
"""

from .similarity import average_spectrum, blind_spectrum, leave_one_out_blind, sqrt_cosine, weighted_dot

__all__ = ["Peak", "predict_spectrum", "spectrum_of_design", "sqrt_cosine", "weighted_dot", "average_spectrum",
           "blind_spectrum", "leave_one_out_blind"]

MIN_RELATIVE = 1e-4  # peaks below this share of the base peak are left out


class Peak(tuple):
    """One predicted peak: unpacks as ``(mz, intensity)``; ``fragments`` lists where its height comes
    from, largest share first: dicts with ``formula``, the ``bond`` and ``mode`` of a cut (and
    ``rearrangement`` "McLafferty" for its hydrogen-transfer ion), the ``generation`` of a
    multi-generation peak, or ``ion`` ("M+", "TMS"); ``shift`` (-1, 0 or +1
    hydrogen) and ``share`` (of the peak's height)."""

    def __new__(cls, mz, intensity, fragments=()):
        self = super().__new__(cls, (int(mz), float(intensity)))
        self.fragments = list(fragments)
        return self

    @property
    def mz(self):
        return self[0]

    @property
    def intensity(self):
        return self[1]


def spectrum_of_design(d, params=None):
    """Predicted peaks (``Peak``) of a ``features.Design``."""
    import numpy as np

    from .model import Stack, shipped_parameters

    params = params or shipped_parameters()
    stack = Stack([d])
    spectra, shifted, scale, ion = stack.evaluate(params.vector, stack.prior_matrix(params.prior), parts=True)
    ion = float(ion[0])
    spectrum = spectra[0]
    base = spectrum.max()
    if not base > 0:
        return []
    iso = d.isotopes / d.isotopes.sum(axis=1, keepdims=True) if len(d.mz) else np.zeros((0, 3))
    sources = {}
    for i, src in enumerate(d.sources):
        for s in (-1, 0, 1):
            height = shifted[i, s + 1] * iso[i, 0] * scale[0]
            sources.setdefault(int(d.mz[i]) + s, []).append((height, src, s))
    out = []
    for mz in np.flatnonzero(spectrum >= MIN_RELATIVE * base):
        value = float(spectrum[mz])
        frags = []
        if mz == d.mol_mass:
            frags.append({"ion": "M+", "shift": 0, "share": round(min(1.0, ion / value), 3)})
        for height, src, s in sorted(sources.get(int(mz), ()), key=lambda t: -t[0]):
            share = height / value
            if share >= 0.02:
                frags.append({**src, "shift": s, "share": round(float(share), 3)})
        out.append(Peak(int(mz), round(100.0 * value / base, 3), frags))
    return out


def predict_spectrum(smiles, *, generations=3, ring=True):
    """Predicted 70 eV EI stick spectrum of ``smiles``: ``(mz, intensity)`` pairs (``Peak``), integer
    m/z ascending, base peak 100.  Each peak's ``fragments`` say which ions make it up.

    Fragments come from the native analysis (every bond and the soft bonds cut, ``generations``
    generations of multi-generation cuts, ring double cuts when ``ring``); heights from the shipped
    intensity model.  Raises ``ValueError`` when the SMILES cannot be read."""
    from .features import design

    return spectrum_of_design(design(smiles, generations=generations, ring=ring))
