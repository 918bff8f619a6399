"""Batch path benchmarks, measured side by side in one run; prints ratios.

    python bench/bench_batch.py            # full sizes (20,000 molecules, 100,000 lines: minutes)
    python bench/bench_batch.py --quick    # small sizes

1. per molecule: the batch path with one job (analyze_many, jobs=1) vs RDKit's own parse + AddHs +
   CoordGen depiction, over tests/data/molecules.smi (warm: both after one pass);
2. `trelvanoxa batch --jobs 2` vs `--jobs 1` on the 165 molecules repeated with new ids, start-up
   included (wall time of the command);
3. a Dask LocalCluster of 2 worker processes vs the local pool of 2 (cluster start-up shown apart);
4. peak RSS of the `trelvanoxa batch` process for 100,000 vs 10,000 input lines;
5. cold start: `trelvanoxa analyze CCO` vs `python -c "import rdkit.Chem"` plus one depiction.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
SMI = ROOT / "tests" / "data" / "molecules.smi"
SCRIPT = Path(sys.executable).with_name("trelvanoxa")
CLI = [str(SCRIPT)] if SCRIPT.exists() else [sys.executable, "-m", "trelvanoxa.cli"]


def molecules():
    rows = [line.split("\t", 1) for line in SMI.read_text("utf-8").splitlines() if line.strip() and line[0] != "#"]
    return [(name.strip(), smiles) for smiles, name in rows]


def repeated(path, n):
    mols = molecules()
    with open(path, "w") as f:
        for k in range(n):
            name, smiles = mols[k % len(mols)]
            f.write(f"{smiles}\t{name}#{k}\n")


def wall(args):
    t0 = time.perf_counter()
    proc = subprocess.run(args, capture_output=True, text=True)
    if proc.returncode not in (0, 1):
        raise RuntimeError(proc.stderr[-2000:])
    return time.perf_counter() - t0


def peak_rss(args):
    """Peak resident set (MiB) of the command's own process, not its workers: its VmHWM, read
    until it exits (the workers hold no input and at most a bounded window of work)."""
    proc = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    peak = 0
    while proc.poll() is None:
        try:
            with open(f"/proc/{proc.pid}/status") as f:
                peak = max([peak] + [int(line.split()[1]) for line in f if line.startswith("VmHWM:")])
        except (OSError, ValueError):
            pass
        time.sleep(0.05)
    return peak / 1024


def rdkit_pass(items):
    from rdkit import Chem
    from rdkit.Chem import rdDepictor

    rdDepictor.SetPreferCoordGen(True)
    for _, smiles in items:
        mol = Chem.MolFromSmiles(smiles, sanitize=False)
        mol.UpdatePropertyCache(strict=False)
        mol = Chem.AddHs(mol)
        rdDepictor.Compute2DCoords(mol)


def timed(fn, *args):
    t0 = time.perf_counter()
    fn(*args)
    return time.perf_counter() - t0


def row(label, a_name, a, b_name, b, unit="s"):
    print(f"{label:<44} {a_name} {a:9.4f} {unit:<4} {b_name} {b:9.4f} {unit:<4} ratio {a / b:6.2f}")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="small sizes")
    opts = ap.parse_args()
    n_par, n_dask, (n_big, n_small) = (2000, 1000, (10000, 1000)) if opts.quick else (20000, 5000, (100000, 10000))
    import trelvanoxa

    items = molecules()
    work = Path(tempfile.mkdtemp(prefix="bench_batch_"))
    try:
        # 1. per molecule, warm
        list(trelvanoxa.analyze_many(items, jobs=1))
        rdkit_pass(items)
        batch = statistics.median(timed(lambda: list(trelvanoxa.analyze_many(items, jobs=1))) for _ in range(3))
        rd = statistics.median(timed(rdkit_pass, items) for _ in range(3))
        n = len(items)
        row(f"per molecule, {n} molecules", "batch -j1", batch / n * 1e3, "RDKit", rd / n * 1e3, "ms")

        # 2. jobs 2 vs jobs 1 through the command, start-up included
        src = work / "par.smi"
        repeated(src, n_par)
        t1 = wall(CLI + ["batch", str(src), "-o", str(work / "j1.jsonl"), "-j", "1", "-q"])
        t2 = wall(CLI + ["batch", str(src), "-o", str(work / "j2.jsonl"), "-j", "2", "-q"])
        row(f"trelvanoxa batch, {n_par} molecules", "-j 2", t2, "-j 1", t1)

        # 3. Dask LocalCluster vs local pool (the pool first: once a Dask client has run, this process
        # has threads, and the pool then starts its workers by forkserver instead of fork)
        sub = [(f"{name}#{k}", smiles) for k in range(n_dask // n + 1) for name, smiles in items][:n_dask]
        list(trelvanoxa.analyze_many(sub[:200], jobs=2))
        tl = timed(lambda: list(trelvanoxa.analyze_many(sub, jobs=2)))
        try:
            from distributed import Client, LocalCluster
        except ImportError:
            print("dask.distributed not installed: skipping the cluster comparison")
        else:
            t0 = time.perf_counter()
            with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
                    Client(cluster) as client:
                start = time.perf_counter() - t0
                list(trelvanoxa.analyze_many(sub[:200], client=client))  # workers load their element data
                td = timed(lambda: list(trelvanoxa.analyze_many(sub, client=client)))
            row(f"{n_dask} molecules, 2 workers (warm)", "dask", td, "pool", tl)
            print(f"{'':<44} (LocalCluster start-up {start:.2f} s, not included)")

        # 4. peak RSS, streamed input (runs after the cluster, in fresh command processes)
        big, small = work / "big.smi", work / "small.smi"
        repeated(big, n_big)
        repeated(small, n_small)
        rb = peak_rss(CLI + ["batch", str(big), "-o", str(work / "big.jsonl"), "-j", "2", "-q"])
        rs = peak_rss(CLI + ["batch", str(small), "-o", str(work / "small.jsonl"), "-j", "2", "-q"])
        row(f"peak RSS of the command, {n_big} vs {n_small} lines", f"{n_big // 1000}k", rb, f"{n_small // 1000}k",
            rs, "MiB")

        # 5. cold start
        depict = ("import rdkit.Chem as C; from rdkit.Chem import rdDepictor as D; D.SetPreferCoordGen(True); "
                  "D.Compute2DCoords(C.AddHs(C.MolFromSmiles('CCO')))")
        tc = statistics.median(wall(CLI + ["analyze", "CCO"]) for _ in range(3))
        tr = statistics.median(wall([sys.executable, "-c", depict]) for _ in range(3))
        row("cold start", "analyze CCO", tc, "rdkit+depict", tr)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
