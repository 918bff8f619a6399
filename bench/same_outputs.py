#!/usr/bin/env python
"""Write every file and printed text that predictions reach, to compare two builds byte for byte.

    python bench/same_outputs.py write DIR      # with the trelvanoxa this interpreter imports
    python bench/same_outputs.py compare A B    # exit 1 when any file differs

`write` runs, over tests/data/molecules.smi, `trelvanoxa batch` into JSONL, MSP and Parquet,
plain and with --ring --recursive; the matchms spectra of those records; `trelvanoxa analyze`
(report and --json); `trelvanoxa score` of tests/data/ei_spectra_dev.msp (table, JSON, mirror
plots; with --baseline; and without generations or ring cuts); `validate()`; and the stick
spectra the figures draw.  Run it before and after a change, then `compare`.
"""

import filecmp
import os
import subprocess
import sys
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
DATA = REPO / "tests" / "data"
CLI = "import sys; from trelvanoxa.cli import main; sys.argv[0] = 'trelvanoxa'; main()"


def _env():
    env = dict(os.environ, MPLBACKEND="Agg", PYTHONHASHSEED="0")

    return env


def run_cli(out, name, *args):
    """Run the command; its stdout, stderr and exit code go to DIR/name.txt."""
    proc = subprocess.run([sys.executable, "-c", CLI, *map(str, args)], capture_output=True, text=True,
                          env=_env(), cwd=REPO)
    (out / f"{name}.txt").write_text(f"exit {proc.returncode}\n--- stdout\n{proc.stdout}--- stderr\n{proc.stderr}")


PYTHON_PART = r"""
import json, sys
from pathlib import Path
import matplotlib
matplotlib.use("Agg")
import matplotlib.pyplot as plt
import trelvanoxa as tx

out, data = Path(sys.argv[1]), Path(sys.argv[2])
with open(out / "validate.txt", "w") as f:
    sys.stdout = f
    tx.validate()
    sys.stdout = sys.__stdout__

with open(out / "matchms.txt", "w") as f:
    for name in ("plain", "deep"):
        for line in open(out / f"{name}.jsonl", encoding="utf-8"):
            rec = json.loads(line)
            if rec.get("error"):
                continue
            s = tx.to_matchms(rec)
            f.write(f"{name} {rec['id']} {s.peaks.mz.tolist()} {s.peaks.intensities.tolist()} "
                    f"{s.get('peak_comments')} {s.get('formula')}\n")

smiles = [line.split()[0] for line in open(data / "molecules.smi") if line.strip() and not line.startswith("#")]
for i, smi in enumerate(smiles[:12]):
    r = tx.VIF(smi, draw=False, verbose=False, ring_fragmentation=True)
    ax = tx.plot_mass_spectrum(smi, r["mol_mass"], r["fragments"])
    ax.figure.savefig(out / f"stick_{i:02d}.png", metadata={"Software": None})
    plt.close(ax.figure)
tx.VIF_ms_panel(smiles[:6], by="smiles", cols=3, save=str(out / "ms_panel.png"))
plt.close("all")
"""


def write(out):
    out = Path(out)
    out.mkdir(parents=True, exist_ok=True)
    smi = DATA / "molecules.smi"
    for name, extra in (("plain", []), ("deep", ["--ring", "--recursive", "--generations", "3"])):
        for ext in ("jsonl", "msp", "parquet"):
            run_cli(out, f"batch_{name}_{ext}", "batch", smi, "-o", out / f"{name}.{ext}", "--jobs", "1", *extra)
    for smiles in ("Clc1ccccc1", "CC(=O)Oc1ccccc1C(=O)O"):
        for flags in ([], ["--ring", "--recursive"]):
            tag = f"{smiles}{''.join(flags)}".replace("(", "_").replace(")", "_").replace("=", "_")
            run_cli(out, f"analyze_{tag}", "analyze", smiles, *flags)
            run_cli(out, f"analyze_json_{tag}", "analyze", smiles, "--json", *flags)
    msp = DATA / "ei_spectra_dev.msp"
    run_cli(out, "score", "score", msp, "--json", out / "score.json", "--png", out / "mirror")
    run_cli(out, "score_baseline", "score", msp, "--baseline", "--json", out / "score_baseline.json")
    run_cli(out, "score_plain", "score", msp, "--generations", "0", "--no-ring", "--json", out / "score_plain.json")
    subprocess.run([sys.executable, "-c", PYTHON_PART, out, DATA], check=True, env=_env(), cwd=REPO)


def same(a, b, name):
    """Byte for byte; the command logs (*.txt) after replacing each folder's own name."""
    if name.suffix != ".txt" or name.parent != Path("."):
        return filecmp.cmp(a / name, b / name, shallow=False)
    return (a / name).read_bytes().replace(bytes(a), b"OUT") == (b / name).read_bytes().replace(bytes(b), b"OUT")


def compare(a, b):
    a, b = Path(a), Path(b)
    names = sorted({p.relative_to(a) for p in a.rglob("*") if p.is_file()}
                   | {p.relative_to(b) for p in b.rglob("*") if p.is_file()})
    bad = [n for n in names if not ((a / n).is_file() and (b / n).is_file() and same(a, b, n))]
    for n in bad:
        print(f"differs: {n}")
    print(f"{len(names) - len(bad)} of {len(names)} files identical")
    return 1 if bad else 0


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "write":
        write(sys.argv[2])
    elif len(sys.argv) == 4 and sys.argv[1] == "compare":
        sys.exit(compare(sys.argv[2], sys.argv[3]))
    else:
        sys.exit(__doc__)
