"""Render the orbital graph and the predicted EI-MS stick spectrum of two molecules.

    PYTHONPATH=src python examples/figures.py [OUTPUT_DIR]

Writes <name>_graph.png and <name>_ms.png for aspirin and chlorobenzene into
OUTPUT_DIR (default docs/img).  Uses the non-interactive Agg backend, so the
figures VIF opens are saved and closed instead of shown.
"""

import argparse
import os
import sys

import matplotlib

matplotlib.use("Agg")

import matplotlib.pyplot as plt

import trelvanoxa

MOLECULES = [
    ("aspirin", "CC(=O)OC1=CC=CC=C1C(=O)O"),
    ("chlorobenzene", "Clc1ccccc1"),
]


def render(name, smiles, out_dir, dpi=110):
    """Draw one molecule with VIF and save its two figures; returns the file paths."""
    before = set(plt.get_fignums())
    trelvanoxa.VIF(smiles, draw=True, verbose=False)
    opened = [n for n in plt.get_fignums() if n not in before]
    if len(opened) != 2:
        raise RuntimeError(f"expected a graph and a spectrum figure for {smiles}, got {len(opened)}")
    paths = []
    # VIF opens the graph figure first, then the spectrum
    for num, kind in zip(opened, ("graph", "ms")):
        fig = plt.figure(num)
        path = os.path.join(out_dir, f"{name}_{kind}.png")
        fig.savefig(path, dpi=dpi, bbox_inches="tight")
        plt.close(fig)
        paths.append(path)
    return paths


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out_dir", nargs="?", default=os.path.join("docs", "img"),
                        help="folder for the PNG files (default: docs/img)")
    args = parser.parse_args(argv)
    os.makedirs(args.out_dir, exist_ok=True)
    written = []
    for name, smiles in MOLECULES:
        written += render(name, smiles, args.out_dir)
    return written


if __name__ == "__main__":
    for path in main(sys.argv[1:]):
        print(path)
