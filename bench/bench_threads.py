#!/usr/bin/env python
"""Threads, first call and the cost of a small analysis, measured side by side.

  1. native work (detect_soft_bonds and predict_fragments_recursive on prepared
     inputs of molecules with 20 or more heavy atoms): the same calls split over
     2 threads vs run in 1 thread; whole VIF(draw=False) calls likewise.
  2. the first VIF("C" * 100) in a fresh process vs the same with
     OPENBLAS_NUM_THREADS=1 set before the start.
  3. VIF(draw=False, verbose=False) on small molecules vs the sum of its
     mandatory parts timed in the same run: RDKit's preparation and depiction,
     the relaxation, one eigendecomposition and building the networkx graph.

Usage:  python bench/bench_threads.py [--quick]
"""

import argparse
import os
import subprocess
import sys
import threading
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
if (REPO / "src" / "trelvanoxa" / "__init__.py").is_file() and str(REPO / "src") not in sys.path:
    sys.path.insert(0, str(REPO / "src"))

import networkx as nx  # noqa: E402
import numpy as np  # noqa: E402
from rdkit import Chem  # noqa: E402
from rdkit.Chem import rdDepictor  # noqa: E402

import trelvanoxa as tx  # noqa: E402
from trelvanoxa import _core  # noqa: E402

perf = time.perf_counter
DATA = REPO / "tests" / "data" / "molecules.smi"


def molecules():
    rows = [line.split("\t")[0].strip() for line in DATA.read_text().splitlines()
            if line.strip() and not line.startswith("#")]
    return rows


def heavy_atoms(smi):
    mol = Chem.MolFromSmiles(smi, sanitize=False)
    return 0 if mol is None else sum(a.GetAtomicNum() > 1 for a in mol.GetAtoms())


def in_threads(jobs, n_threads):
    """Wall time of running every job on n_threads threads that take the next job as they finish."""
    queue = iter(jobs)
    lock = threading.Lock()

    def worker():
        while True:
            with lock:
                job = next(queue, None)
            if job is None:
                return
            job()

    threads = [threading.Thread(target=worker) for _ in range(n_threads)]
    t = perf()
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    return perf() - t


def best(fn, reps):
    return min(fn() for _ in range(reps))


def speedup(name, jobs, reps):
    one = best(lambda: in_threads(jobs, 1), reps)
    two = best(lambda: in_threads(jobs, 2), reps)
    print(f"  {name:<44} 1 thread {one:7.3f} s   2 threads {two:7.3f} s   speed-up {one / two:5.2f}x")
    return one / two


def bench_threads(args):
    print("1. Two threads vs one (same calls, best of %d)" % args.reps)
    # the shared molecules of 20 or more heavy atoms, then chains and small peptides of that size
    extra = ["C" * k for k in (20, 22, 24, 26)] + ["NCC(=O)" * k + "O" for k in (5, 6, 7)]
    big = ([s for s in molecules() if heavy_atoms(s) >= 20] + extra)[: args.molecules]
    prepared = []
    for smi in big:
        mol, H, subs, _pos, chem = _core.build_vif_graph(smi)
        prepared.append((mol, H, subs, chem, tx.compute_lpi(H)))
    native = []
    for mol, H, subs, chem, lpi in prepared:
        native.append(lambda H=H, chem=chem, lpi=lpi: tx.detect_soft_bonds(H, chem, lpi))
        native.append(lambda mol=mol, H=H, subs=subs, chem=chem: tx.predict_fragments_recursive(mol, H, subs, chem))
    speedup(f"native work ({len(big)} molecules, >= 20 heavy atoms)", native, args.reps)
    whole = [lambda s=s: tx.VIF(s, draw=False, verbose=False) for s in big]
    speedup(f"whole VIF(draw=False) ({len(big)} molecules)", whole, args.reps)


FIRST = "import time, trelvanoxa as tx; t = time.perf_counter(); tx.VIF('C' * 100, draw=False, verbose=False); " \
        "print(time.perf_counter() - t)"


def bench_first_call(args):
    print("2. First VIF('C' * 100) in a fresh process (best of %d)" % args.reps)
    env = dict(os.environ, PYTHONPATH=str(REPO / "src"))
    env.pop("OPENBLAS_NUM_THREADS", None)

    def run(extra):
        out = subprocess.run([sys.executable, "-c", FIRST], env=dict(env, **extra), capture_output=True, text=True,
                             check=True)
        return float(out.stdout.split()[-1])

    default = min(run({}) for _ in range(args.reps))
    single = min(run({"OPENBLAS_NUM_THREADS": "1"}) for _ in range(args.reps))
    print(f"  default {default:.3f} s   OPENBLAS_NUM_THREADS=1 {single:.3f} s   ratio {default / single:.2f}")


def prepared(smi):
    """The molecule an analysis works on, prepared as the analysis prepares it."""
    return tx._core._prepare_molecule(smi)


def parts(smi):
    """Times of the mandatory parts of one analysis: RDKit's preparation and CoordGen depiction,
    the relaxation (the layout with and without its iterations), one eigendecomposition with
    eigenvectors of the orbital graph, and building a networkx graph of its nodes and links."""
    t0 = perf()
    mol = prepared(smi)
    rdDepictor.SetPreferCoordGen(True)
    rdDepictor.Compute2DCoords(mol)
    t1 = perf()
    tx.compute_atom_layout(mol)
    t2 = perf()
    tx.compute_atom_layout(mol, n_iter=0)
    t3 = perf()
    _m, H, _s, _p, _c = _core.build_vif_graph(smi)
    A = nx.to_numpy_array(H)
    nodes = [(i, dict(d)) for i, d in H.nodes(data=True)]
    edges = [(u, v, {"weight": w}) for u, v, w in H.edges(data="weight")]
    t4 = perf()
    np.linalg.eigh(A)
    t5 = perf()
    g = nx.Graph()
    g.add_nodes_from(nodes)
    g.add_edges_from(edges)
    t6 = perf()
    return {"depiction": t1 - t0, "layout": t2 - t1, "layout without steps": t3 - t2, "eigh": t5 - t4,
            "graph": t6 - t5}


def bench_small(args):
    print("3. VIF(draw=False) vs the sum of its mandatory parts (best of %d)" % args.reps)
    for name, smi in [("caffeine", "Cn1c(=O)c2c(ncn2C)n(C)c1=O"), ("serotonin", "NCCc1c[nH]c2ccc(O)cc12"),
                      ("aspirin", "CC(=O)OC1=CC=CC=C1C(=O)O")]:
        whole = best(lambda: (lambda t: (tx.VIF(smi, draw=False, verbose=False), perf() - t)[1])(perf()), args.reps * 4)
        p = [parts(smi) for _ in range(args.reps * 4)]
        fastest = {k: min(x[k] for x in p) for k in p[0]}
        summed = {"depiction": fastest["depiction"], "relaxation": fastest["layout"] - fastest["layout without steps"],
                  "eigh": fastest["eigh"], "graph": fastest["graph"]}
        total = sum(summed.values())
        detail = "  ".join(f"{k} {v * 1e3:.2f}" for k, v in summed.items())
        print(f"  {name:<10} VIF {whole * 1e3:6.2f} ms   parts {total * 1e3:6.2f} ms ({detail})   ratio {whole / total:.2f}")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="fewer molecules and repeats")
    args = ap.parse_args()
    args.reps = 2 if args.quick else 3
    args.molecules = 6 if args.quick else 11
    print(f"trelvanoxa threads benchmark: Python {sys.version.split()[0]}, {os.cpu_count()} cores, "
          f"eigensolver threads {_core.get_blas_threads()}")
    bench_threads(args)
    bench_first_call(args)
    bench_small(args)


if __name__ == "__main__":
    main()
