"""The predicted EI mass spectrum as a schematic stick plot."""

import collections.abc
import math
import numbers
import operator

# Nominal masses beyond this are not molecules this analysis can draw (and
# would only stretch the axis): refused rather than plotted.
MAX_MOL_MASS = 10**7

TITLE = "Trelvanoxa predicted EI-MS fragments: "
Y_LABEL = "(schematic \u2014 intensities are not predicted)"


def _molecular_ion(mol_mass):
    """``mol_mass`` rounded half to even: the m/z of the molecular ion."""
    if isinstance(mol_mass, numbers.Real) and not isinstance(mol_mass, numbers.Integral):
        if not math.isfinite(mol_mass):
            raise ValueError(f"mol_mass must be a finite number, not {mol_mass!r}")
    try:
        M = operator.index(round(mol_mass))
    except TypeError:
        raise TypeError(f"mol_mass must be a number, not {type(mol_mass).__name__}") from None
    if not 0 <= M <= MAX_MOL_MASS:
        raise ValueError(f"mol_mass {mol_mass!r} is not a molecular mass (expected 0 to {MAX_MOL_MASS})")
    return M


def _peak_map(M, fragments):
    """m/z -> label, ascending: the molecular ion "M+" and every fragment m/z of the split records,
    labelled as `Prediction.labels` chooses; "M+" is never replaced.  Every record is checked
    first, naming the entry that is wrong."""
    from ..prediction import Prediction

    cuts = []
    if isinstance(fragments, (str, bytes)) or not hasattr(fragments, "__iter__"):
        raise TypeError(f"fragments must be a list of fragment records, not {type(fragments).__name__}")
    for i, record in enumerate(fragments):
        if not isinstance(record, collections.abc.Mapping) or "split" not in record:
            raise TypeError(f"fragments[{i}] must be a fragment record (a dict with 'split' and 'fragments'), "
                            f"not {type(record).__name__}")
        if not record["split"]:
            continue
        checked = []
        cuts.append({"bond": record.get("bond"), "split": True, "mode": record.get("mode"), "fragments": checked})
        pieces = record.get("fragments")
        if isinstance(pieces, (str, bytes)) or not hasattr(pieces, "__iter__"):
            raise TypeError(f"fragments[{i}]['fragments'] must be a list of (formula, mass, m/z), "
                            f"not {type(pieces).__name__}")
        for j, piece in enumerate(pieces):
            if not isinstance(piece, (tuple, list)) or len(piece) != 3:
                raise TypeError(f"fragments[{i}]['fragments'][{j}] must be a (formula, mass, m/z) triple, "
                                f"not {piece!r:.80}")
            formula, avg, mz = piece
            try:
                mz = operator.index(mz)
            except TypeError:
                raise TypeError(f"fragments[{i}]['fragments'][{j}]: the m/z of {formula!r} must be an integer "
                                f"nominal mass, not {type(mz).__name__} {mz!r}") from None
            checked.append((str(formula), avg, mz))
    return Prediction.build(M, cuts).labels(ion="M+")


def plot_mass_spectrum(smiles, mol_mass, fragments, ax=None):
    """Draws the predicted EI mass spectrum as a schematic stick plot and returns the axes.

    One line per m/z of the split fragment records: the molecular ion (round(mol_mass)) crimson
    and 100 high, fragments steelblue and 60 high, each labelled with formula and m/z (labels of
    close peaks are stacked).  Draws into ax, or into a new 11 x 5.5 inch figure when ax is None.
    Neither shows nor saves the figure.

    mol_mass must be a finite number from 0 to 10**7 (ValueError otherwise) and every m/z an
    integer nominal mass (TypeError naming the entry otherwise); both are checked before
    anything is drawn."""
    M = _molecular_ion(mol_mass)
    peaks = _peak_map(M, fragments)
    if ax is not None and not (hasattr(ax, "vlines") and hasattr(ax, "annotate")):
        raise TypeError(f"ax must be matplotlib axes or None, not {type(ax).__name__}")

    if ax is None:
        import matplotlib.pyplot as plt

        plt.figure(figsize=(11, 5.5))
        ax = plt.gca()
    x_max = M + max(20, int(M * 0.15))
    close_thresh = x_max * 0.06

    prev_mz, level = None, 0
    for mz, label in peaks.items():
        is_m = label == "M+"
        bar_h = 100 if is_m else 60
        color = "crimson" if is_m else "steelblue"
        ax.vlines(mz, 0, bar_h, color=color, linewidth=2.2 if is_m else 1.6)
        level = level + 1 if prev_mz is not None and mz - prev_mz < close_thresh else 0
        ax.annotate(f"{label}\n{mz}", xy=(mz, bar_h), xytext=(mz, bar_h + 3 + level * 11), ha="center",
                    va="bottom", fontsize=8, color=color, parse_math=False,
                    arrowprops={"arrowstyle": "-", "color": "gray", "lw": 0.5, "alpha": 0.6})
        prev_mz = mz
    ax.set_xlim(0, x_max)
    ax.set_ylim(0, 150)
    ax.set_xlabel("m/z")
    ax.set_ylabel(Y_LABEL)
    ax.set_title(TITLE + str(smiles), parse_math=False)
    ax.spines["top"].set_visible(False)
    ax.spines["right"].set_visible(False)
    return ax
