"""The intensity model: heights of a predicted 70 eV EI stick spectrum from a molecule's ``Design``.

A predicted spectrum is a mixture of two parts,

    spectrum = (1 - mix) * structure + mix * prior

- ``structure``: the ions the cuts give (their sum from m/z 50 up is the fragments' share).  Each
  contribution (a cut piece, its McLafferty ion, a multi-generation peak, a trimethylsilyl ion) carries
  the weight exp(row . w_row) * sigmoid(charge . w_charge): the first factor says how readily the bond
  breaks and how stable the ion is, the second which piece of a cut keeps the charge (the difference of
  the two pieces' features estimates the difference of their ionisation energies).  Each contribution
  is spread over m/z - 1, m/z and m/z + 1 (hydrogen lost or gained while the bond breaks; the gain has
  its own weight for ions holding a heteroatom, and never happens to the piece left by losing a
  hydrogen atom) and over its isotope peaks.  The fragments share 1 - p_M of the structure part, the
  molecular ion p_M = sigmoid(molecule . w_M).
- ``prior``: the mean relative spectrum of the training spectra, below the molecular ion: what any
  molecule's spectrum looks like, whatever its structure.

All parameters live in one JSON file (``params.json`` beside this module); ``tools/fit_intensity.py``
fits them to any MSP file of measured spectra.  Only numpy is needed here.
"""

import json
import os

import numpy as np

from .features import CHARGE_FEATURES, MOLECULE_FEATURES, ROW_FEATURES  # noqa: F401 (re-exported)

# The fragments share their part of the spectrum by their heights from this m/z up (from half the
# molecular mass for molecules lighter than twice this).  Measured library spectra usually start near
# m/z 50, so this is the range the weights are fitted on; lighter ions are drawn relative to it.
SCANNED_FROM = 50
PARAMS_PATH = os.path.join(os.path.dirname(__file__), "params.json")
SHIFT_NAMES = ("h_loss", "h_gain", "h_gain_hetero")
N_PARAMS = len(ROW_FEATURES) + len(CHARGE_FEATURES) + len(MOLECULE_FEATURES) + len(SHIFT_NAMES) + 1


class Parameters:
    """Weights of the model (one flat vector for fitting) and its prior spectrum."""

    def __init__(self, vector, prior):
        self.vector = np.asarray(vector, dtype=float)
        if self.vector.shape != (N_PARAMS,):
            raise ValueError(f"the model has {N_PARAMS} weights, not {self.vector.size}")
        self.prior = {int(k): float(v) for k, v in dict(prior).items()}

    def split(self, vector=None):
        v = self.vector if vector is None else vector
        a = len(ROW_FEATURES)
        b = a + len(CHARGE_FEATURES)
        c = b + len(MOLECULE_FEATURES)
        return v[:a], v[a:b], v[b:c], v[c:c + 3], v[c + 3]

    def to_json(self):
        w_row, w_charge, w_mol, w_shift, mix = self.split()
        return {
            "row": dict(zip(ROW_FEATURES, np.round(w_row, 5).tolist())),
            "charge": dict(zip(CHARGE_FEATURES, np.round(w_charge, 5).tolist())),
            "molecular_ion": dict(zip(MOLECULE_FEATURES, np.round(w_mol, 5).tolist())),
            "shift": dict(zip(SHIFT_NAMES, np.round(w_shift, 5).tolist())),
            "mix": round(float(mix), 5),
            "prior": {str(k): round(v, 5) for k, v in sorted(self.prior.items()) if round(v, 5) > 0},
        }

    @classmethod
    def from_json(cls, data):
        vector = ([data["row"][k] for k in ROW_FEATURES] + [data["charge"][k] for k in CHARGE_FEATURES]
                  + [data["molecular_ion"][k] for k in MOLECULE_FEATURES] + [data["shift"][k] for k in SHIFT_NAMES]
                  + [data["mix"]])
        return cls(vector, {int(k): v for k, v in data["prior"].items()})

    def save(self, path):
        with open(path, "w", encoding="utf-8") as f:
            json.dump(self.to_json(), f, indent=1)
            f.write("\n")


_loaded = None


def shipped_parameters():
    """The parameters shipped with the package (read once)."""
    global _loaded
    if _loaded is None:
        with open(PARAMS_PATH, encoding="utf-8") as f:
            _loaded = Parameters.from_json(json.load(f))
    return _loaded


def _log_sigmoid(x):
    return -np.logaddexp(0.0, -x)


class Stack:
    """Designs of many molecules laid end to end, so that one set of weights is evaluated on all of them
    with a few array operations (fitting evaluates thousands of weight vectors)."""

    def __init__(self, designs):
        self.designs = list(designs)
        self.n = len(self.designs)
        self.masses = np.array([d.mol_mass for d in self.designs], dtype=np.int64)
        self.width = int(self.masses.max(initial=0)) + 4
        counts = [len(d.mz) for d in self.designs]
        self.owner = np.repeat(np.arange(self.n), counts)
        cat = lambda name, cols: (np.concatenate([getattr(d, name) for d in self.designs])  # noqa: E731
                                  if sum(counts) else np.zeros((0,) + cols))
        self.rows = cat("rows", (len(ROW_FEATURES),))
        self.charge = cat("charge", (len(CHARGE_FEATURES),))
        self.mz = cat("mz", ()).astype(np.int64)
        self.isotopes = cat("isotopes", (3,))
        self.hetero = cat("hetero", ())
        # a piece that lost a hydrogen does not take one back (that would be the molecular ion)
        self.xh = self.rows[:, ROW_FEATURES.index("cut_xh")] if len(self.rows) else np.zeros(0)
        self.molecule = np.array([d.molecule for d in self.designs]).reshape(self.n, len(MOLECULE_FEATURES))
        self.mol_isotopes = np.array([d.mol_isotopes for d in self.designs]).reshape(self.n, 3)
        # Every (shift, isotope) target of every row, flattened into the (molecule, m/z) grid.
        base = self.owner * self.width + self.mz
        self.targets = np.stack([base + s + j for s in (-1, 0, 1) for j in (0, 1, 2)], axis=1)
        grid = np.arange(self.width)[None, :]
        self.below_mass = grid < self.masses[:, None]
        self.scanned = grid >= np.minimum(SCANNED_FROM, self.masses // 2)[:, None]

    def prior_matrix(self, prior):
        """The prior cut below each molecular ion, each row summing to 1 (0 where nothing is left)."""
        grid = np.zeros(self.width)
        for mz, value in prior.items():
            if 0 <= mz < self.width:
                grid[mz] = value
        out = np.where(self.below_mass, grid[None, :], 0.0)
        sums = out.sum(axis=1, keepdims=True)
        return np.divide(out, sums, out=np.zeros_like(out), where=sums > 0)

    def evaluate(self, vector, prior_matrix, *, parts=False):
        """Predicted spectra (rows of a molecule-by-m/z matrix, each summing to 1)."""
        w_row, w_charge, w_mol, w_shift, mix = Parameters.split(None, vector)
        logw = self.rows @ w_row + _log_sigmoid(self.charge @ w_charge)
        weight = np.exp(np.clip(logw, -60.0, 60.0))
        gain = np.where(self.xh > 0, -60.0, w_shift[1] + w_shift[2] * self.hetero)
        shifts = np.stack([np.full_like(weight, w_shift[0]), np.zeros_like(weight), gain], axis=1)
        shifts = np.exp(shifts - shifts.max(axis=1, keepdims=True))
        shifts /= shifts.sum(axis=1, keepdims=True)
        iso = self.isotopes / self.isotopes.sum(axis=1, keepdims=True)
        values = weight[:, None] * (shifts[:, :, None] * iso[:, None, :]).reshape(-1, 9)
        grid = np.bincount(self.targets.ravel(), weights=values.ravel(), minlength=self.n * self.width)
        fragments = grid[: self.n * self.width].reshape(self.n, self.width).astype(float)
        sums = np.where(self.scanned, fragments, 0.0).sum(axis=1, keepdims=True)
        sums = np.where(sums > 0, sums, fragments.sum(axis=1, keepdims=True))
        fragments = np.divide(fragments, sums, out=np.zeros_like(fragments), where=sums > 0)
        p_m = 1.0 / (1.0 + np.exp(-(self.molecule @ w_mol)))
        p_m = np.where(sums[:, 0] > 0, p_m, 1.0)
        ion = np.zeros((self.n, self.width))
        mol_iso = self.mol_isotopes / self.mol_isotopes.sum(axis=1, keepdims=True)
        rows = np.arange(self.n)
        for j in range(3):
            ion[rows, self.masses + j] = mol_iso[:, j]
        structure = (1.0 - p_m)[:, None] * fragments + p_m[:, None] * ion
        m = 1.0 / (1.0 + np.exp(-mix))
        spectra = (1.0 - m) * structure + m * prior_matrix
        if parts:  # per-row heights before isotopes, their scale, and the molecular ion's own height
            scale = (1.0 - m) * (1.0 - p_m) / np.where(sums[:, 0] > 0, sums[:, 0], 1.0)
            return spectra, weight[:, None] * shifts, scale, (1.0 - m) * p_m * mol_iso[:, 0]
        return spectra
