#!/usr/bin/env python
"""The atom layout's relaxation, measured side by side in one run; prints ratios.

    python bench/bench_layout.py                 # 300 MOSES molecules, 3 rounds
    python bench/bench_layout.py --n 100 --rounds 1
    python bench/bench_layout.py --smiles FILE   # any .smi or .smi.gz (SMILES first on each line)

Each molecule is laid out with the repulsion taken from the list of near atom pairs (the default) and
with every atom pair tested on every step (`_core._set_layout_pair_list(False)`), one right after the
other, and its base analysis (`_core.analyse_compact`, the batch engine) run in both modes too.  The
relaxation's own time is a layout of 600 steps minus a layout of 0 steps (RDKit's CoordGen depiction,
principal axes and mirror snapping) on the same molecule.  Times are this process's CPU time, so other
load on a shared machine inflates them less than wall time would.  Printed:

  1. relaxation, all pairs / near-pair list (how much faster the relaxation is);
  2. the relaxation's share of the base analysis in each mode;
  3. base analysis, all pairs / near-pair list;
  4. that both modes gave the same coordinates, to the bit, on every molecule.
"""

import argparse
import gzip
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
# The source tree when the extension is built into it (./dev inplace), else the installed package.
if any((ROOT / "src" / "trelvanoxa").glob("_core*")) and str(ROOT / "src") not in sys.path:
    sys.path.insert(0, str(ROOT / "src"))

import numpy as np  # noqa: E402
from rdkit import Chem, RDLogger  # noqa: E402

import trelvanoxa as tx  # noqa: E402
from trelvanoxa import _core  # noqa: E402

MOSES = "moses_test_20k.smi.gz"


def default_smiles():
    for base in (ROOT.parent, ROOT.parent.parent, ROOT):
        path = base / "shared" / "data" / MOSES
        if path.exists():
            return path
    return ROOT / "tests" / "data" / "molecules.smi"


def read_smiles(path, n):
    opener = gzip.open if str(path).endswith(".gz") else open
    out = []
    with opener(path, "rt", encoding="utf-8") as fh:
        for line in fh:
            text = line.strip()
            if not text or text.startswith("#"):
                continue
            smiles = text.split()[0]
            if Chem.MolFromSmiles(smiles) is None:
                continue
            out.append(smiles)
            if len(out) == n:
                break
    return out


def prepared(smiles):
    """The molecule an analysis works on, prepared as the analysis prepares it."""
    return tx._core._prepare_molecule(smiles)


def clock(fn, *args, **kwargs):
    t = time.process_time()
    out = fn(*args, **kwargs)
    return time.process_time() - t, out


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--smiles", type=Path, default=default_smiles())
    ap.add_argument("--n", type=int, default=300, help="molecules (default 300)")
    ap.add_argument("--rounds", type=int, default=3, help="passes over the molecules (default 3)")
    args = ap.parse_args()
    RDLogger.DisableLog("rdApp.*")
    tx.set_blas_threads(1)

    smiles = read_smiles(args.smiles, args.n)
    mols = [prepared(s) for s in smiles]
    atoms = sum(m.GetNumAtoms() for m in mols)
    print(f"{len(smiles)} molecules from {args.smiles.name} ({atoms / len(mols):.1f} atoms each with H), "
          f"{args.rounds} round(s); CPU time of this process")

    t = dict(seed=0.0, new=0.0, old=0.0, an_new=0.0, an_old=0.0)
    identical = 0
    for s, m in zip(smiles, mols):  # warm-up: imports, caches, element data
        tx.compute_atom_layout(m)
        _core.analyse_compact(s)
    try:
        for _ in range(args.rounds):
            identical = 0
            for s, m in zip(smiles, mols):
                t["seed"] += clock(tx.compute_atom_layout, m, n_iter=0)[0]
                dt, new = clock(tx.compute_atom_layout, m)
                t["new"] += dt
                t["an_new"] += clock(_core.analyse_compact, s)[0]
                _core._set_layout_pair_list(False)
                dt, old = clock(tx.compute_atom_layout, m)
                t["old"] += dt
                t["an_old"] += clock(_core.analyse_compact, s)[0]
                _core._set_layout_pair_list(True)
                identical += np.array_equal(new[0], old[0])
    finally:
        _core._set_layout_pair_list(True)

    per = 1e3 / (len(mols) * args.rounds)
    relax_new, relax_old = t["new"] - t["seed"], t["old"] - t["seed"]
    print(f"  depiction + axes + mirror (0 steps)     {t['seed'] * per:7.3f} ms/molecule")
    print(f"  relaxation, near-pair list              {relax_new * per:7.3f} ms/molecule")
    print(f"  relaxation, all pairs                   {relax_old * per:7.3f} ms/molecule")
    print(f"  base analysis, near-pair list           {t['an_new'] * per:7.3f} ms/molecule")
    print(f"  base analysis, all pairs                {t['an_old'] * per:7.3f} ms/molecule")
    print(f"1. relaxation: all pairs / near-pair list = {relax_old / relax_new:.2f}")
    print(f"2. relaxation share of the base analysis: {relax_old / t['an_old']:.1%} with all pairs, "
          f"{relax_new / t['an_new']:.1%} with the near-pair list")
    print(f"3. base analysis: all pairs / near-pair list = {t['an_old'] / t['an_new']:.3f}")
    print(f"4. identical coordinates in both modes: {identical} of {len(mols)}")


if __name__ == "__main__":
    main()
