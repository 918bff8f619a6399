"""Demonstrations: the substituted-halogen test (also the script entry) and
the nitrile + azo + aryl chloride molecule."""

import sys

from .. import figures
from ..vif import drawn_record
from .._errors import UnreadableSmilesError
from .._imports import import_whole

# The halogen figure adds bromine (brown) and drops Li, B, S and P.
HALOGEN_COLORS = {"C": "red", "H": "skyblue", "Cl": "lightgreen", "O": "red", "N": "violet", "F": "yellow",
                  "Br": "brown"}


def _package():
    return sys.modules[__name__.split(".")[0]]


def _readable(r, smiles, name=None):
    """r itself; an UnreadableSmilesError (a ValueError) naming the SMILES when VIF could not read it."""
    if isinstance(r, str):
        where = f" ({name})" if name is not None else ""
        raise UnreadableSmilesError(f"{r} {smiles!r}{where}")
    return r


def _fragment_list(fragments, sep):
    """formula(m/z) of every fragment of a record."""
    return sep.join(f"{fr[0]}({fr[2]})" for fr in fragments)


def _halogen_cuts(fragments):
    """Cleavages of bonds to a halogen, e.g. "Cl0-C1->C6H5(77),Cl(35)"."""
    cuts = [f"{f['bond']}->{_fragment_list(f['fragments'], ',')}" for f in fragments
            if f["split"] and ("Cl" in f["bond"] or "F" in f["bond"] or "Br" in f["bond"])]
    return "; ".join(cuts) or "C-X does NOT cleave"


def halogen_test(molekuller=None, panel_n=4, save="/tmp/vif_halojen.png"):
    """Substituted-halogen test: how the analysis treats carbon-halogen bonds.

    Analyses every (name, SMILES, note) row of molekuller (None means HALOGEN_TESTS) with
    VIF(..., draw=False, verbose=False) and prints its LPI, the predicted cleavages of bonds
    to Cl, F or Br and the experimental note.  The first panel_n rows get a figure column:
    the VIF graph on top, the predicted spectrum below (2 rows, 5 inches per column, 8.8
    high).  Saved with dpi 120 when save is a true value, then shown.  Returns a list of
    (name, SMILES, VIF result record).  A SMILES that cannot be read raises ValueError
    after the rows before it are printed, and nothing is saved."""
    plt = import_whole("matplotlib.pyplot")

    pkg = _package()
    rows = pkg.HALOGEN_TESTS if molekuller is None else molekuller
    vif, plot = pkg.VIF, pkg.plot_mass_spectrum

    print("=" * 78)
    print("SUBSTITUTED-HALOGEN TEST \u2014 K4 (square) representation")
    print("=" * 78)
    sonuc = []
    for ad, smi, not_ in rows:
        r = _readable(vif(smi, draw=False, verbose=False, show_spectrum=False), smi, ad)
        lpi = r["lpi"]
        triple = str((lpi["n+"], lpi["n0"], lpi["n-"]))
        print(f"{ad!s:<24} LPI={triple:<12} | C-X: {_halogen_cuts(r['fragments'])}")
        print(" " * 24 + f" [{not_}]")
        sonuc.append((ad, smi, r))

    if save:
        figures.prepare_target(save)  # a path that cannot be written fails before any drawing
    pnl = sonuc[:panel_n]
    n = len(pnl)
    fig, axes = plt.subplots(2, n, figsize=(5 * n, 8.8), squeeze=False)
    try:
        for col, (ad, _smi, r) in enumerate(pnl):
            axg = axes[0][col]
            axg.axis("off")
            figures.draw_graph_cell(axg, r, HALOGEN_COLORS, 90)
            axg.set_title(f"{ad}\nLPI = {{{figures.lpi_text(r['lpi'], ', ')}}}", fontsize=11,
                          parse_math=False)
            axg.set_aspect("equal")
            axs = axes[1][col]
            plot(ad, r["mol_mass"], r["fragments"], ax=axs)
            axs.title.set_fontsize(9)
        fig.suptitle("Substituted-halogen test (K4/square): structure (top) + MS (bottom)", fontsize=14)
        fig.tight_layout()
        if save:
            written = figures.save_figure(fig, save, dpi=120, bbox_inches="tight")
            print("=" * 78)
            print(f"Panel saved: {written}")
    except BaseException:
        plt.close(fig)
        raise
    figures.show([fig])
    return sonuc


def triple_group_demo(smiles="N#Cc1ccc(cc1)N=Nc1ccc(cc1)Cl", save_prefix="/tmp/vif_kombine"):
    """Nitrile, azo and aryl chloride in one molecule: draws its VIF graph and predicted spectrum.

    Prints the molecule, M+ and LPI and the single-cut fragments; when save_prefix is a true
    value writes <prefix>_graph.png and <prefix>_ms.png (dpi 140).  Returns the VIF result
    record (the 9-key record of a drawing VIF call).  A SMILES that cannot be read raises
    ValueError before anything is drawn, printed or saved."""
    plt = import_whole("matplotlib.pyplot")

    pkg = _package()
    saving = bool(save_prefix)
    if saving:
        for suffix in ("_graph.png", "_ms.png"):
            figures.prepare_target(f"{save_prefix}{suffix}")
    r = drawn_record(_readable(pkg.VIF(smiles, draw=False, verbose=False, show_spectrum=False), smiles))
    opened = []
    try:
        # The graph is drawn and shown as VIF(draw=True) does, then saved from its own figure.
        opened += figures.draw_vif(smiles, r, show_spectrum=False)
        plt.show()
        if saving:
            graph_file = figures.save_figure(opened[0], f"{save_prefix}_graph.png", dpi=140, bbox_inches="tight")

        lpi = r["lpi"]
        print(f"Molecule : {smiles}")
        print(f"M+ = {int(round(r['mol_mass']))}   LPI = {{{figures.lpi_text(lpi, ', ')}}}")
        print("Fragments (single-cut):")
        for f in r["fragments"]:
            if f["split"]:
                print(f"   {f['bond']!s:>10}  ->  {_fragment_list(f['fragments'], ', ')}")

        opened.append(pkg.plot_mass_spectrum(smiles, r["mol_mass"], r["fragments"]).figure)
        if saving:
            ms_file = figures.save_figure(opened[-1], f"{save_prefix}_ms.png", dpi=140,
                                          bbox_inches="tight")
            print(f"Saved: {graph_file} , {ms_file}")
    except BaseException:
        for fig in opened:
            plt.close(fig)
        raise
    figures.show(opened)
    return r
