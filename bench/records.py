"""Dump every record of the shared test molecules, or compare two dumps: a guard for changes that
must leave results bit for bit as they were (speed work on the soft-bond pass and fragmentation).

    python bench/records.py dump before.json            # with the build to compare against
    python bench/records.py dump after.json
    python bench/records.py compare before.json after.json

For each molecule of tests/data/molecules.smi it keeps:
- the compact records (`_core.analyse_compact`) with ring fragmentation and multi-generation
  peaks for 2 and 3 generations, and the base record without them;
- the full `VIF(..., draw=False, ring_fragmentation=True, recursive_ms=True)` record: LPI counts,
  eigenvalues (exact float text), soft bonds, fragments, peaks, masses, the orbital graph's nodes
  and edges with their attributes, and the report printed.
"""

import argparse
import contextlib
import io
import json
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
SMI = ROOT / "tests" / "data" / "molecules.smi"


def molecules():
    rows = [line.split("\t", 1) for line in SMI.read_text("utf-8").splitlines() if line.strip() and line[0] != "#"]
    return [(name.strip(), smiles) for smiles, name in rows]


def plain(x):
    """JSON-ready copy; floats as repr text so that the comparison is exact."""
    import networkx as nx
    import numpy as np

    if isinstance(x, nx.Graph):
        return {"nodes": [[repr(n), plain(d)] for n, d in x.nodes(data=True)],
                "edges": [[repr(u), repr(v), plain(d)] for u, v, d in x.edges(data=True)]}
    if isinstance(x, np.ndarray):
        return [plain(v) for v in x.tolist()]
    if isinstance(x, (np.floating, float)):
        return repr(float(x))
    if isinstance(x, np.integer):
        return int(x)
    if isinstance(x, dict):
        return {str(k): plain(v) for k, v in x.items()}
    if isinstance(x, (list, tuple, set, frozenset)):
        return [plain(v) for v in (sorted(x, key=repr) if isinstance(x, (set, frozenset)) else x)]
    if x is None or isinstance(x, (bool, int, str)):
        return x
    return repr(x)


def dump(path):
    import trelvanoxa
    from trelvanoxa import _core

    out = {}
    for name, smiles in molecules():
        rec = {}
        rec["base"] = plain(_core.analyse_compact(smiles))
        for gens in (2, 3):
            rec[f"ring_gen{gens}"] = plain(_core.analyse_compact(smiles, ring_fragmentation=True, recursive=True,
                                                                 max_generations=gens))
        text = io.StringIO()
        with contextlib.redirect_stdout(text):
            full = trelvanoxa.VIF(smiles, draw=False, ring_fragmentation=True, recursive_ms=True)
        rec["vif"] = plain(full)
        rec["report"] = text.getvalue()
        out[f"{name}\t{smiles}"] = rec
    Path(path).write_text(json.dumps(out, indent=0, sort_keys=True), "utf-8")
    print(f"{len(out)} molecules written to {path}")


def compare(a_path, b_path):
    a = json.loads(Path(a_path).read_text("utf-8"))
    b = json.loads(Path(b_path).read_text("utf-8"))
    bad = 0
    for key in sorted(set(a) | set(b)):
        if key not in a or key not in b:
            print(f"only in one dump: {key}")
            bad += 1
            continue
        for part in sorted(set(a[key]) | set(b[key])):
            if a[key].get(part) != b[key].get(part):
                print(f"differs: {key.split(chr(9))[0]} [{part}]")
                bad += 1
    print(f"{len(a)} vs {len(b)} molecules, {bad} differences")
    return 1 if bad else 0


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = ap.add_subparsers(dest="cmd", required=True)
    d = sub.add_parser("dump")
    d.add_argument("path")
    c = sub.add_parser("compare")
    c.add_argument("before")
    c.add_argument("after")
    opts = ap.parse_args()
    if opts.cmd == "dump":
        dump(opts.path)
        return 0
    return compare(opts.before, opts.after)


if __name__ == "__main__":
    sys.exit(main())
