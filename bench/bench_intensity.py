"""Cost of predicted heights, measured side by side in one run; prints ratios.

    python bench/bench_intensity.py           # the 165 molecules of tests/data/molecules.smi
    python bench/bench_intensity.py --quick   # the first 40

Per molecule, one process, warm (each path runs once over the molecules before timing):
1. `trelvanoxa.intensity.predict_spectrum` (every-bond cuts to two generations, soft-bond cuts to three,
   features, the model) vs the plain prediction the scoring uses (soft-bond cuts, ring cuts, three
   generations: one `analyse_compact`);
2. the model alone (features already built) vs building the features.
"""

import argparse
import statistics
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
SMI = ROOT / "tests" / "data" / "molecules.smi"


def molecules(n=None):
    rows = [line.split("\t", 1)[0] for line in SMI.read_text("utf-8").splitlines() if line.strip() and line[0] != "#"]
    return rows[:n]


def timed(fn, items):
    t = time.perf_counter()
    for item in items:
        fn(item)
    return time.perf_counter() - t


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    sys.path.insert(0, str(ROOT / "src"))
    from trelvanoxa.intensity import predict_spectrum, spectrum_of_design
    from trelvanoxa.intensity.features import design
    from trelvanoxa.score import predict_for_scoring

    mols = molecules(40 if args.quick else None)
    plain = lambda s: predict_for_scoring(s, ring=True, generations=3)  # noqa: E731
    for fn in (plain, predict_spectrum):
        timed(fn, mols)
    runs = []
    for _ in range(3):
        runs.append((timed(predict_spectrum, mols), timed(plain, mols)))
    heights, fragments = statistics.median(r[0] for r in runs), statistics.median(r[1] for r in runs)
    designs = [design(s) for s in mols]
    t_design = timed(design, mols)
    t_model = timed(spectrum_of_design, designs)
    n = len(mols)
    print(f"{n} molecules, median of 3 runs")
    print(f"predict_spectrum          {1000 * heights / n:8.1f} ms/molecule  (= s per 1000 molecules)")
    print(f"plain soft-bond prediction {1000 * fragments / n:7.1f} ms/molecule")
    print(f"ratio                     {heights / fragments:8.2f}")
    print(f"model alone vs features    {t_model / t_design:8.3f}  ({1000 * t_model / n:.2f} ms against "
          f"{1000 * t_design / n:.1f} ms per molecule)")


if __name__ == "__main__":
    main()
