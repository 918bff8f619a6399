#!/usr/bin/env python
"""NumPy prototype of a soft-link decision rule without fallbacks on long chains.

The native pass (vif/spectrum.cpp, LinkRemoval) decides each link from one
eigendecomposition A = Q L Q^T but falls back to a full eigenvalue count when
the intact matrix has an eigenvalue between 1e-11 and 1e-5 (the whole pass
then runs link by link) or when its certificate at +-1e-6 fails.  Long
n-alkane chains hit both: their end-state eigenvalue pair decays
geometrically with chain length (2e-2 at C10, 8e-4 at C40, 1.5e-6 at C100,
8e-9 at C150).

This prototype counts directly at the edges of the zero band.  With
U = [e_u e_v], C = [[0, w], [w, 0]] and A' = A - U C U^T (the link removed),
Haynsworth additivity on the bordered matrix [[A - s, U], [U^T, C^-1]] gives
for any shift s that is not an eigenvalue of A

    In(A' - s) = In(A - s) + In(T_s) - (1, 0, 1),
    T_s = C^-1 - U^T Q (L - s)^-1 Q^T U          (2 x 2),

so n+ = #eig(A') > tol is the positive count at s = +tol, n- the negative
count at s = -tol, and n0 = N - n+ - n-: exactly the definition's counts, with
no null-space split and no certificate.  A sign of T_s is trusted when its
eigenvalue tau (unit eigenvector k) exceeds ten times

    1e-13 * (k-weighted magnitude sums of T_s's entries)      rounding
  + E * k^T U^T Q (L - s)^-2 Q^T U k                          solver error

with E = 10 sqrt(N) eps ||A||_1 a bound on the eigensolver's backward error
(first-order change of T_s under A -> A + E).  The second term is what the
current native bound lacks: without it a rounding-level tau of T counts as
nonzero once 1/lambda_min is large, and the certificate then fails.

Run:  PYTHONPATH=src python bench/band_edge_prototype.py [--all]
Checks every decision against the definition (all links of small graphs, an
even sample of 25 links of graphs with N >= 300, or all links with --all).
"""

import argparse
import os
import sys
from pathlib import Path

os.environ.setdefault("MPLBACKEND", "Agg")
REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "src"))

import networkx as nx  # noqa: E402
import numpy as np  # noqa: E402

import trelvanoxa as tx  # noqa: E402
from trelvanoxa import _core  # noqa: E402

TOL = 1e-9
EPS = np.finfo(float).eps


def band_edge_decisions(A, links, base):
    """Soft (True/False) per link, None where the rule is not clear-cut.

    Returns None for the whole matrix when an intact eigenvalue sits within
    solver error of +-tol (the shifts would be singular)."""
    lam, Q = np.linalg.eigh(A)
    N = len(lam)
    E = 10 * np.sqrt(N) * EPS * np.abs(A).sum(axis=1).max()
    if min(np.abs(lam - TOL).min(), np.abs(lam + TOL).min()) < 1e3 * E:
        return None
    above = int(np.sum(lam > TOL))  # In(A - tol): positive count
    below = int(np.sum(lam < -TOL))  # In(A + tol): negative count
    f_plus, f_minus = 1.0 / (lam - TOL), 1.0 / (lam + TOL)
    out = []
    for u, v in links:
        w = A[u, v]
        x, y = Q[u], Q[v]
        xx, xy, yy = x * x, x * y, y * y
        signs = []
        for f in (f_plus, f_minus):
            a, b, d = xx @ f, xy @ f, yy @ f
            f2 = f * f
            S2 = np.array([[xx @ f2, xy @ f2], [xy @ f2, yy @ f2]])
            af = np.abs(f)
            off = np.abs(xy) @ af + abs(1 / w)
            mag = np.array([[xx @ af, off], [off, yy @ af]])
            taus, K = np.linalg.eigh(np.array([[-a, 1 / w - b], [1 / w - b, -d]]))
            clear = True
            for q in range(2):
                k = K[:, q]
                err = 1e-13 * (np.abs(k) @ mag @ np.abs(k)) + E * (k @ S2 @ k)
                clear &= abs(taus[q]) > 10 * err
            if not clear:
                break
            signs.append(int(np.sum(taus > 0)))
        if len(signs) < 2:
            out.append(None)
            continue
        n_plus = above + signs[0] - 1
        n_minus = below + (2 - signs[1]) - 1
        out.append((n_plus, N - n_plus - n_minus, n_minus) == base)
    return out


def definition(A, u, v, base):
    w = A[u, v]
    A[u, v] = A[v, u] = 0.0
    ev = np.linalg.eigvalsh(A)
    A[u, v] = A[v, u] = w
    return (int(np.sum(ev > TOL)), int(np.sum(np.abs(ev) <= TOL)), int(np.sum(ev < -TOL))) == base


def molecules():
    out = [(f"n-C{k}", "C" * k) for k in (20, 40, 60, 80, 100, 120, 150)]
    out += [("cyclo-C60", "C1" + "C" * 58 + "C1"), ("Gly20", "NCC(=O)" * 20 + "O")]
    for p in (REPO.parent / "shared" / "data" / "molecules.smi", Path("/work/shared/data/molecules.smi")):
        if p.is_file():
            for line in p.read_text().splitlines():
                if line.strip() and not line.startswith("#"):
                    smi, _, name = line.partition("\t")
                    out.append((name.strip()[:24], smi))
            break
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--all", action="store_true", help="check every link of the large graphs too")
    args = ap.parse_args()
    total = unclear = mismatches = checked = 0
    for name, smi in molecules():
        built = _core.build_vif_graph(smi)
        if built is None:
            continue
        mol, H, asg, pos, chem_bonds = built
        nodes = list(H.nodes())
        idx = {n: i for i, n in enumerate(nodes)}
        A = nx.to_numpy_array(H, nodelist=nodes)
        lpi = tx.compute_lpi(H)
        base = (lpi["n+"], lpi["n0"], lpi["n-"])
        links = [(idx[c["u_node"]], idx[c["v_node"]]) for c in chem_bonds if H.has_edge(c["u_node"], c["v_node"])]
        if not links:
            continue
        res = band_edge_decisions(A, links, base)
        if res is None:
            print(f"{name}: an intact eigenvalue at the band edge; whole matrix needs the definition")
            continue
        big = A.shape[0] >= 300 and not args.all
        sample = range(0, len(links), max(1, len(links) // 25)) if big else range(len(links))
        bad = sum(1 for i in sample if res[i] is not None and res[i] != definition(A, *links[i], base))
        unc = sum(r is None for r in res)
        total, unclear, mismatches, checked = total + len(links), unclear + unc, mismatches + bad, checked + len(sample)
        if big or unc or bad or name.startswith(("n-C", "cyclo", "Gly")):
            print(f"{name:24s} N={A.shape[0]:4d} links={len(links):4d} unclear={unc:3d} "
                  f"checked={len(sample):4d} mismatches={bad}")
    print(f"TOTAL links={total} unclear={unclear} checked against the definition={checked} mismatches={mismatches}")


if __name__ == "__main__":
    main()
