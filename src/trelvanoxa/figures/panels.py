"""Multi-molecule panels: one VIF graph, or one predicted stick spectrum, per
grid cell.  A molecule that cannot be looked up or analysed only greys out
its own cell."""

import math
import numbers
import sys

from .graph import ELEMENT_COLORS, draw_graph_cell, lpi_text
from .output import prepare_target, save_figure
from .._imports import import_whole

_NOT_FOUND = object()


def _package():
    # Names a caller rebinds on the package (VIF, BIOMOLECULES, ...) are seen at call time.
    return sys.modules[__name__.split(".")[0]]


def _molecules(pkg, molecules, by, cols):
    """The entries to draw, after checking the arguments every panel takes."""
    mols = pkg.BIOMOLECULES if molecules is None else molecules
    if isinstance(mols, (str, bytes)) or not hasattr(mols, "__len__") or not hasattr(mols, "__iter__"):
        raise TypeError(f"molecules must be a list of names or SMILES, not {type(mols).__name__}")
    mols = list(mols)
    if not mols:
        raise ValueError("molecules is empty: there is nothing to draw")
    if not isinstance(by, str):
        raise TypeError(f"by must be a str ('name', 'smiles', ...), not {type(by).__name__}")
    if isinstance(cols, bool) or not isinstance(cols, numbers.Integral):
        raise TypeError(f"cols must be an int, not {type(cols).__name__}")
    if not 1 <= cols <= 100:
        raise ValueError(f"cols must be from 1 to 100, not {cols!r}")
    return mols, int(cols)


def _grid(n, cols, width_per_col, height_per_row):
    """subplots(ceil(n / cols), cols) with the axes as one row-major sequence."""
    plt = import_whole("matplotlib.pyplot")
    import numpy as np

    rows = math.ceil(n / cols)
    fig, axes = plt.subplots(rows, cols, figsize=(cols * width_per_col, rows * height_per_row))
    return fig, np.array(axes, dtype=object).reshape(-1)


def _gray_title(ax, text):
    ax.set_title(text, fontsize=9, color="gray", parse_math=False)


def _resolve(pkg, item, by_name):
    """The entry's SMILES (its PubChem lookup when by == "name"), or _NOT_FOUND when the lookup fails."""
    if not by_name:
        return item
    try:
        smi, _cid = pkg.fetch_smiles_from_pubchem(item)
    except Exception:
        return _NOT_FOUND
    return smi


def _finish(fig, axes, n, suptitle, y, save):
    plt = import_whole("matplotlib.pyplot")

    for ax in axes[n:]:
        ax.axis("off")
    fig.suptitle(suptitle, fontsize=13, y=y)
    fig.tight_layout()
    if save:
        save_figure(fig, save, dpi=110, bbox_inches="tight")
    plt.show()
    return fig


def VIF_panel(molecules=None, by="name", cols=5, save=None, node_size=60, bond_kappa=0.9):
    """Draws the VIF graph of every molecule in one grid and returns the figure.

    molecules are PubChem names (by='name', the default; None means BIOMOLECULES) or SMILES
    (any other by).  Each cell shows the orbital nodes coloured by element, essential links
    solid black and soft links dashed red, titled with the entry and its LPI; a failed lookup
    or analysis titles the cell '(not found)' or '(error)' in gray.  Grid: cols columns of
    3.2 x 3.4 inch cells.  Saved with dpi 110 when save is a true value, then shown."""
    pkg = _package()
    mols, cols = _molecules(pkg, molecules, by, cols)
    if save:
        prepare_target(save)  # a path that cannot be written fails before any drawing
    fig, axes = _grid(len(mols), cols, 3.2, 3.4)
    by_name = by == "name"
    vif = pkg.VIF
    for ax, item in zip(axes, mols):
        ax.axis("off")
        name = str(item)
        smi = _resolve(pkg, item, by_name)
        if smi is _NOT_FOUND:
            _gray_title(ax, name + "\n(not found)")
            continue
        try:
            r = vif(smi, draw=False, verbose=False, bond_kappa=bond_kappa)
            draw_graph_cell(ax, r, ELEMENT_COLORS, node_size)
            ax.set_title(f"{name}\nLPI={{{lpi_text(r['lpi'], ',')}}}", fontsize=9, parse_math=False)
            ax.set_aspect("equal")
        except Exception:
            _gray_title(ax, name + "\n(error)")
    return _finish(fig, axes, len(mols), "VIF analysis \u2014 key molecules in human biochemistry", 0.99, save)


def VIF_ms_panel(molecules=None, by="name", cols=2, save=None, ring_fragmentation=False, recursive_ms=False):
    """Draws the predicted stick mass spectrum of every molecule in one grid and returns the figure.

    molecules and by as in VIF_panel; ring_fragmentation and recursive_ms are passed to VIF.
    A failed lookup or analysis (an unreadable SMILES included) titles the cell
    '(not found)' or '(error)' in gray and turns it off.  Grid: cols columns of 5.5 x 2.8
    inch cells.  Saved with dpi 110 when save is a true value, then shown."""
    pkg = _package()
    mols, cols = _molecules(pkg, molecules, by, cols)
    if save:
        prepare_target(save)  # a path that cannot be written fails before any drawing
    fig, axes = _grid(len(mols), cols, 5.5, 2.8)
    by_name = by == "name"
    vif, plot = pkg.VIF, pkg.plot_mass_spectrum
    for ax, item in zip(axes, mols):
        name = str(item)
        smi = _resolve(pkg, item, by_name)
        if smi is _NOT_FOUND:
            _gray_title(ax, name + " (not found)")
            ax.axis("off")
            continue
        try:
            r = vif(smi, draw=False, verbose=False, ring_fragmentation=ring_fragmentation,
                    recursive_ms=recursive_ms)
        except Exception:
            r = None
        # An unreadable SMILES comes back as VIF's failure text, not a record.
        if r is None or isinstance(r, str):
            _gray_title(ax, name + " (error)")
            ax.axis("off")
            continue
        plot(item, r["mol_mass"], r["fragments"], ax=ax)
        ax.title.set_fontsize(9)
    return _finish(fig, axes, len(mols), "VIF-predicted mass spectra \u2014 biomolecules", 1.0, save)
