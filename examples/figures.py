"""Render the orbital graph and the predicted EI-MS stick spectrum of two molecules.

    PYTHONPATH=src python examples/figures.py [OUTPUT_DIR]

Writes <name>_graph.png and <name>_ms.png for aspirin and chlorobenzene into
OUTPUT_DIR (default docs/img).  The molecule is analysed without drawing and
drawn with trelvanoxa.figures.draw_vif, which returns the figures instead of
showing them.
"""

import argparse
import os
import sys

import matplotlib

matplotlib.use("Agg")

import matplotlib.pyplot as plt

import trelvanoxa
from trelvanoxa.figures import draw_vif, save_figure

MOLECULES = [
    ("aspirin", "CC(=O)OC1=CC=CC=C1C(=O)O"),
    ("chlorobenzene", "Clc1ccccc1"),
]


def render(name, smiles, out_dir, dpi=110):
    """Draw one molecule and save its two figures; returns the file paths."""
    record = trelvanoxa.VIF(smiles, draw=False, verbose=False)
    paths = []
    # the graph figure first, then the spectrum
    for fig, kind in zip(draw_vif(smiles, record), ("graph", "ms")):
        paths.append(str(save_figure(fig, os.path.join(out_dir, f"{name}_{kind}.png"), dpi=dpi,
                                     bbox_inches="tight")))
        plt.close(fig)
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
