"""Drug-like molecules at batch speed: the base analysis against RDKit's own depiction, and the
3-generation spectrum against the base analysis, side by side in one run; prints ratios.

    python bench/bench_moses.py                       # 300 MOSES molecules, 3 rounds
    python bench/bench_moses.py -n 2000 --rounds 1
    python bench/bench_moses.py --smi other.smi.gz    # any SMILES file (gzipped or not): SMILES, tab, id

Three passes over the same molecules, each the median of the rounds, interleaved so that a busy
machine slows them alike:

1. RDKit: parse + AddHs + CoordGen depiction (the floor every analysis pays);
2. base analysis: the compact record `trelvanoxa batch` writes (`analyse_one`);
3. 3 generations: the same with ring=True, recursive=True, generations=3.

Printed: the three times per molecule, base / RDKit, 3-generation / base, and molecules per
second per core for the base and the 3-generation analysis (one core: everything runs in this
process).  The default input is the first molecules of the MOSES test split in the shared data
folder beside the repository.
"""

import argparse
import gzip
import statistics
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
DEFAULT_SMI = ROOT.parent / "shared" / "data" / "moses_test_20k.smi.gz"  # the shared folder beside the checkout


def read_smiles(path, n):
    opener = gzip.open if str(path).endswith(".gz") else open
    out = []
    with opener(path, "rt", encoding="utf-8") as f:
        for line in f:
            if not line.strip() or line[0] == "#":
                continue
            out.append(line.split()[0])
            if len(out) >= n:
                break
    return out


def rdkit_pass(smiles):
    from rdkit import Chem
    from rdkit.Chem import rdDepictor

    rdDepictor.SetPreferCoordGen(True)
    for s in smiles:
        mol = Chem.MolFromSmiles(s, sanitize=False)
        mol.UpdatePropertyCache(strict=False)
        mol = Chem.AddHs(mol)
        rdDepictor.Compute2DCoords(mol)


def analysis_pass(smiles, **options):
    from trelvanoxa.batch import analyse_one

    for s in smiles:
        analyse_one(s, **options)


def timed(fn, *args, **kw):
    t0 = time.perf_counter()
    fn(*args, **kw)
    return time.perf_counter() - t0


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--smi", default=str(DEFAULT_SMI), help="SMILES file (.smi or .smi.gz), default: %(default)s")
    ap.add_argument("-n", type=int, default=300, help="molecules from the top of the file (default 300)")
    ap.add_argument("--rounds", type=int, default=3, help="rounds of each pass; the median is shown")
    opts = ap.parse_args()

    smiles = read_smiles(opts.smi, opts.n)
    n = len(smiles)
    if not n:
        sys.exit(f"no molecules in {opts.smi}")
    passes = {
        "rdkit": (rdkit_pass, {}),
        "base": (analysis_pass, {}),
        "gen3": (analysis_pass, {"ring": True, "recursive": True, "generations": 3}),
    }
    # warm-up: imports, element tables, first-call costs
    for fn, kw in passes.values():
        fn(smiles[:20], **kw)
    times = {k: [] for k in passes}
    for _ in range(max(1, opts.rounds)):
        for key, (fn, kw) in passes.items():
            times[key].append(timed(fn, smiles, **kw))
    t = {k: statistics.median(v) for k, v in times.items()}

    print(f"{n} molecules from {opts.smi}, median of {max(1, opts.rounds)} rounds, one core")
    print(f"{'RDKit parse + AddHs + CoordGen':<36} {t['rdkit'] / n * 1e3:8.3f} ms/molecule")
    print(f"{'base analysis':<36} {t['base'] / n * 1e3:8.3f} ms/molecule  {n / t['base']:8.1f} molecules/s per core")
    print(f"{'3 generations (ring, recursive)':<36} {t['gen3'] / n * 1e3:8.3f} ms/molecule  "
          f"{n / t['gen3']:8.1f} molecules/s per core")
    print(f"{'ratio base / RDKit':<36} {t['base'] / t['rdkit']:8.2f}")
    print(f"{'ratio 3 generations / base':<36} {t['gen3'] / t['base']:8.2f}")


if __name__ == "__main__":
    main()
