"""Fit the intensity model of trelvanoxa to measured EI spectra, and say how well it predicts spectra
it was not fitted on.

    python tools/fit_intensity.py tests/data/ei_spectra_dev.msp                 # cross-validate, print
    python tools/fit_intensity.py spectra.msp --out src/trelvanoxa/intensity/params.json

The MSP records need a structure (SMILES or InChI field) and may carry a group as the first word of
their COMMENT.  The weights are fitted by maximising the mean of the cosine on square-rooted
intensities plus half the weighted dot product (L-BFGS with a small ridge penalty); the prior is the
mean relative spectrum of the fitted spectra.  Cross-validation refits everything, prior included,
without the held-out spectra (``--folds N``; 0 for leave-one-out) and compares each held-out spectrum
with its prediction and with the structure-blind average of all the other spectra.
Needs scipy (``pip install scipy``) besides the package.
"""

import argparse
import os
import sys
import time

import numpy as np

from trelvanoxa.intensity import model as model_mod
from trelvanoxa.intensity.features import design
from trelvanoxa.intensity.report import similarity_table
from trelvanoxa.intensity.similarity import average_spectrum, relative
from trelvanoxa.score import nominal_spectrum
from trelvanoxa.score.spectra import read_records

RIDGE = 2e-4
# Signs that chemistry fixes: a piece holding N, O, Si, S or P, a more unsaturated or a larger piece has
# the lower ionisation energy and keeps the charge more often; a heteroatom's lone pair stabilises the
# ion (oxonium, iminium); ions of one or two heavy atoms are minor, and a one-atom piece (CH3 9.8 eV,
# NH2 11.1 eV, OH 13.0 eV, Cl 13.0 eV) rarely keeps the charge.
# The measured spectra start near m/z 50, so without these bounds the fit could hide intensity in light
# ions it never sees.
NONNEGATIVE = ("ion_hetero", "charge_n", "charge_o", "charge_si", "charge_sp", "charge_unsat", "charge_heavy")
NONPOSITIVE = ("ion_alkyl",)  # alkyl ions beyond C4 lose alkenes: they never gain with their size
# A one-atom piece's ionisation energy lies 2 eV or more above a larger radical's: at most about one
# cut in eight leaves it the charge; ions of one or two heavy atoms (CH3+, C2H5+, CHO+) are primary or
# barely stabilised cations: at most a fifth of the height a larger ion of the same cut would have
# (the spectra say nothing below m/z 50 to fit either on).
AT_MOST = {"charge_one_atom": -2.0, "ion_small": -1.5}


def _design_job(args):
    smiles, generations, ring = args
    try:
        return design(smiles, generations=generations, ring=ring)
    except Exception as e:  # noqa: BLE001 - reported and skipped
        return f"{type(e).__name__}: {e}"


class Data:
    """Designs and measured spectra of a set of records, on one m/z grid."""

    def __init__(self, designs, spectra):
        self.stack = model_mod.Stack(designs)
        self.spectra = spectra
        top = max(max(s) for s in spectra) + 1
        self.width = max(self.stack.width, top)
        self.measured = np.zeros((len(spectra), self.width))
        self.mask = np.zeros((len(spectra), self.width), dtype=bool)
        for i, s in enumerate(spectra):
            for mz, value in relative(s).items():
                if mz >= 0:
                    self.measured[i, mz] = value
            self.mask[i, min(s):] = True
        self.mz3 = np.arange(self.width, dtype=float) ** 3

    def scores(self, predicted):
        p = np.zeros_like(self.measured)
        p[:, : predicted.shape[1]] = predicted
        p = np.where(self.mask, p, 0.0)
        y = self.measured
        cos = (np.sqrt(p * y).sum(1)) / np.sqrt(np.maximum(p.sum(1) * y.sum(1), 1e-300))
        a, b = self.mz3 * p ** 0.6, self.mz3 * y ** 0.6
        dot = (a * b).sum(1) / np.sqrt(np.maximum((a * a).sum(1) * (b * b).sum(1), 1e-300))
        return cos, dot


def initial_vector():
    v = np.zeros(model_mod.N_PARAMS)
    names = dict(zip(model_mod.ROW_FEATURES, range(len(model_mod.ROW_FEATURES))))
    v[names["tms_73"]] = 2.0
    v[len(names) + model_mod.CHARGE_FEATURES.index("charge_one_atom")] = AT_MOST["charge_one_atom"]
    v[names["ion_small"]] = AT_MOST["ion_small"]
    return v


def bounds():
    names = model_mod.ROW_FEATURES + model_mod.CHARGE_FEATURES
    out = [(None, None)] * model_mod.N_PARAMS
    for i, name in enumerate(names):
        if name in NONNEGATIVE:
            out[i] = (0.0, None)
        elif name in NONPOSITIVE:
            out[i] = (None, 0.0)
        elif name in AT_MOST:
            out[i] = (None, AT_MOST[name])
    return out


def fit(data, start=None):
    """Parameters fitted on every spectrum of ``data``."""
    from scipy.optimize import minimize

    prior = average_spectrum(data.spectra)
    prior_matrix = data.stack.prior_matrix(prior)

    def loss(v):
        cos, dot = data.scores(data.stack.evaluate(v, prior_matrix))
        return -(cos.mean() + 0.5 * dot.mean()) + RIDGE * float(v @ v)

    v0 = initial_vector() if start is None else start
    result = minimize(loss, v0, method="L-BFGS-B", bounds=bounds(), options={"maxiter": 400, "eps": 1e-5})
    return model_mod.Parameters(result.x, prior)


def subset(designs, spectra, indices):
    return Data([designs[i] for i in indices], [spectra[i] for i in indices])


def cross_validate(designs, spectra, folds, start=None, log=None):
    """Held-out (cosine, dot) of the model and of the structure-blind average of the other spectra (leave
    one out, as ``trelvanoxa score --intensities`` computes it) for every spectrum."""
    from trelvanoxa.intensity.similarity import leave_one_out_blind, sqrt_cosine, weighted_dot

    n = len(spectra)
    folds = n if folds <= 0 or folds > n else folds
    assignment = np.arange(n) % folds
    model_cos, model_dot, blind_cos, blind_dot = (np.zeros(n) for _ in range(4))
    for k in range(folds):
        test = np.flatnonzero(assignment == k)
        train = np.flatnonzero(assignment != k)
        params = fit(subset(designs, spectra, train), start)
        held = subset(designs, spectra, test)
        predicted = held.stack.evaluate(params.vector, held.stack.prior_matrix(params.prior))
        model_cos[test], model_dot[test] = held.scores(predicted)
        if log:
            log(f"fold {k + 1}/{folds}: held-out cosine {model_cos[test].mean():.3f}")
    for i, blind in enumerate(leave_one_out_blind(spectra, [d.mol_mass for d in designs])):
        lo = min(spectra[i])
        blind_cos[i] = sqrt_cosine(blind, spectra[i], lo)
        blind_dot[i] = weighted_dot(blind, spectra[i], lo)
    return model_cos, model_dot, blind_cos, blind_dot


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("msp", help="measured spectra with structures (MSP)")
    parser.add_argument("--out", help="write the parameters fitted on all spectra to this JSON file")
    parser.add_argument("--folds", type=int, default=0, help="cross-validation folds (0: leave one out)")
    parser.add_argument("--no-cv", action="store_true", help="only fit, do not cross-validate")
    parser.add_argument("--generations", type=int, default=3)
    parser.add_argument("--jobs", type=int, default=1)
    args = parser.parse_args(argv)

    t0 = time.perf_counter()
    records = [r for r in read_records(args.msp) if r["problem"] is None]
    jobs = [(r["smiles"], args.generations, True) for r in records]
    if args.jobs > 1:
        from concurrent.futures import ProcessPoolExecutor

        with ProcessPoolExecutor(args.jobs) as pool:
            made = list(pool.map(_design_job, jobs))
    else:
        made = [_design_job(j) for j in jobs]
    designs, spectra, groups = [], [], []
    for record, d in zip(records, made):
        if isinstance(d, str):
            print(f"skipped {record['name']}: {d}", file=sys.stderr)
            continue
        designs.append(d)
        spectra.append(nominal_spectrum(record["peaks"]))
        groups.append(record["group"])
    print(f"{len(designs)} spectra, designs in {time.perf_counter() - t0:.1f} s", file=sys.stderr)

    if args.out:
        params = fit(Data(designs, spectra))
        params.save(args.out)
        print(f"parameters written to {args.out}", file=sys.stderr)
    if not args.no_cv:
        log = lambda text: print(text, file=sys.stderr)  # noqa: E731
        scores = cross_validate(designs, spectra, args.folds, log=log)
        label = "leave-one-out" if args.folds <= 0 or args.folds >= len(spectra) else f"{args.folds}-fold"
        print(f"{args.msp}: {len(spectra)} spectra, {label} cross-validated; m/z from the lowest measured")
        print(similarity_table(list(zip(*scores)), groups))


if __name__ == "__main__":
    main()
