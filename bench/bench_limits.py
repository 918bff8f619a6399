#!/usr/bin/env python
"""How far VIF goes on long molecules: straight carbon chains ("C" * n).

For each chain length, in a fresh interpreter each time:

  - wall time of VIF(draw=False, verbose=False) and the peak resident set size
    of the process (ru_maxrss, which includes the interpreter, RDKit, numpy
    and networkx: about 150 MB before any work);
  - the orbital graph size N (nodes) and the time of its two steps that do not
    look at Ctrl-C: RDKit's 2D depiction of the molecule with hydrogens, and one
    dense eigensolve of an N x N symmetric matrix (numpy.linalg.eigvalsh);
  - Ctrl-C latency: a real SIGINT sent by this script at a few fractions of the
    measured wall time, and the time until the child's KeyboardInterrupt
    surfaces (CLOCK_MONOTONIC is shared by both processes).

Usage:  python bench/bench_limits.py [--sizes 100 300 1000 2000] [--timeout 900] [--sigint-max 1000]

Chains longer than --sigint-max get no Ctrl-C runs (each costs up to a whole
analysis).  A run over --timeout seconds is killed and reported as such.
"""

import argparse
import json
import math
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
ENV = dict(os.environ, MPLBACKEND="Agg", OPENBLAS_NUM_THREADS=os.environ.get("OPENBLAS_NUM_THREADS", "1"))
if any((REPO / "src" / "trelvanoxa").glob("_core*.so")):  # an in-place build: use it
    ENV["PYTHONPATH"] = os.pathsep.join(filter(None, [str(REPO / "src"), os.environ.get("PYTHONPATH")]))

RUN = r"""
import json, resource, signal, sys, time
# A shell without job control starts background commands with SIGINT ignored,
# and Python then installs no KeyboardInterrupt handler: put it back.
signal.signal(signal.SIGINT, signal.default_int_handler)
import trelvanoxa
n = int(sys.argv[1])
trelvanoxa._get_period("C"), trelvanoxa._get_period("H")  # element data before the clock starts
print("ready", flush=True)
t0 = time.monotonic()
try:
    r = trelvanoxa.VIF("C" * n, draw=False, verbose=False)
except KeyboardInterrupt:
    print(json.dumps({"interrupted": time.monotonic()}), flush=True)
    sys.exit(0)
t = time.monotonic() - t0
print(json.dumps({"wall": t, "nodes": r["graph"].number_of_nodes(), "lpi": [r["lpi"][k] for k in ("n+", "n0", "n-")],
                  "soft": len(r["soft_bonds"]), "maxrss_mb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024}),
      flush=True)
"""

STEPS = r"""
import json, sys, time
import numpy as np
from rdkit import Chem
from rdkit.Chem import rdDepictor
n, nodes = int(sys.argv[1]), int(sys.argv[2])
mol = Chem.AddHs(Chem.MolFromSmiles("C" * n))
rdDepictor.SetPreferCoordGen(True)
t0 = time.monotonic(); rdDepictor.Compute2DCoords(mol); dep = time.monotonic() - t0
a = np.random.default_rng(0).standard_normal((nodes, nodes)); a = a + a.T
t0 = time.monotonic(); np.linalg.eigvalsh(a); eig = time.monotonic() - t0
print(json.dumps({"depiction": dep, "eigensolve": eig}))
"""


def child(code, *args):
    return subprocess.Popen([sys.executable, "-c", code, *map(str, args)], stdout=subprocess.PIPE, text=True, env=ENV)


def last_json(text):
    lines = [line for line in text.splitlines() if line.startswith("{")]
    return json.loads(lines[-1]) if lines else None


def analyse(n, timeout):
    p = child(RUN, n)
    assert p.stdout.readline().strip() == "ready"
    try:
        out, _ = p.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        p.kill()
        p.communicate()
        return None
    return last_json(out) if p.returncode == 0 else {"failed": p.returncode}


def sigint_latency(n, delay, timeout):
    """Seconds from a SIGINT sent `delay` seconds into VIF until its KeyboardInterrupt surfaces."""
    p = child(RUN, n)
    assert p.stdout.readline().strip() == "ready"
    time.sleep(delay)
    sent = time.monotonic()
    p.send_signal(signal.SIGINT)
    try:
        out, _ = p.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        p.kill()
        p.communicate()
        return float("inf")
    got = last_json(out) or {}
    return got["interrupted"] - sent if "interrupted" in got else None  # None: VIF returned before the signal


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--sizes", type=int, nargs="+", default=[100, 300, 1000, 2000])
    ap.add_argument("--timeout", type=float, default=900.0, help="seconds per run before it is killed")
    ap.add_argument("--sigint-max", type=int, default=1000, help="longest chain that gets Ctrl-C runs")
    ap.add_argument("--fractions", type=float, nargs="+", default=[0.1, 0.5, 0.9])
    args = ap.parse_args()

    rows = []
    for n in args.sizes:
        t0 = time.monotonic()
        r = analyse(n, args.timeout)
        if r is None or "failed" in r:
            what = f"killed after {time.monotonic() - t0:.0f} s" if r is None else f"exit status {r['failed']}"
            rows.append((n, 6 * n + 2, what, "", "", "", "", ""))
            print(f"C{n}: {what}", flush=True)
            continue
        steps = child(STEPS, n, r["nodes"])
        try:
            s = last_json(steps.communicate(timeout=args.timeout)[0])
        except subprocess.TimeoutExpired:
            steps.kill()
            steps.communicate()
            s = None
        s = s or {"depiction": math.nan, "eigensolve": math.nan}
        lat = []
        if n <= args.sigint_max:
            for f in args.fractions:
                x = sigint_latency(n, f * r["wall"], args.timeout)
                lat.append("finished first" if x is None else f"{x:.2f}")
        rows.append((n, r["nodes"], f"{r['wall']:.2f}", f"{r['maxrss_mb']:.0f}", f"{s['depiction']:.2f}",
                     f"{s['eigensolve']:.2f}", " / ".join(lat) or "-", str(tuple(r["lpi"]))))
        print(f"C{n}: {rows[-1]}", flush=True)

    head = ("chain", "orbital nodes", "VIF wall s", "peak RSS MB", "depiction s", "one eigensolve s",
            "Ctrl-C latency s at " + "/".join(f"{f:.0%}" for f in args.fractions), "LPI")
    print()
    print("| " + " | ".join(head) + " |")
    print("|" + "---|" * len(head))
    for row in rows:
        print(f"| C{row[0]} | " + " | ".join(map(str, row[1:])) + " |")


if __name__ == "__main__":
    main()
