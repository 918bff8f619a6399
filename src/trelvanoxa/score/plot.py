"""Mirror plot of a measured spectrum against its predicted fragments."""

import io

from .._io import prepare_target, write_target
from .._imports import import_whole


def _label_of(fragments):
    """Formula of the first predicted fragment of a peak (cuts come before multi-generation peaks)."""
    return fragments[0]["formula"] if fragments else ""


def mirror_plot(scored, path, *, title=None, dpi=100):
    """Write a PNG mirror plot of one ``score_prediction`` / ``explain`` result to ``path``.

    Measured peaks (relative intensity, %) point up, grey when not counted, blue when counted and red
    with their formula when a predicted fragment explains them; predicted m/z point down (full length
    for single and ring cuts, half length for peaks only reached by later generations).  The file is
    written whole or not at all (a regular file is replaced, links are followed).  Returns ``path``.
    """
    Figure = import_whole("matplotlib.figure").Figure

    target = prepare_target(path)
    mol_mass = scored["mol_mass"]
    fig = Figure(figsize=(10, 5), dpi=dpi)
    ax = fig.add_subplot()
    colours = {"explained": "tab:red", "counted": "tab:blue", "other": "0.7"}
    for kind in colours:
        xs, ys = [], []
        for peak in scored["peaks"]:
            state = "explained" if peak["explained"] else "counted" if peak["counted"] else "other"
            if state == kind:
                xs.append(peak["mz"])
                ys.append(100.0 * peak["relative"])
        if xs:
            ax.vlines(xs, 0, ys, colors=colours[kind], linewidth=1.2, label=f"measured ({kind})")
    for peak in scored["peaks"]:
        if peak["explained"]:
            ax.annotate(_label_of(peak["fragments"]), (peak["mz"], 100.0 * peak["relative"]),
                        xytext=(0, 3), textcoords="offset points", ha="center", va="bottom",
                        fontsize=6, rotation=90, color="tab:red")

    by_cut = set(scored["predicted_by_cut"])
    cut_mz = [mz for mz in scored["predicted"] if mz in by_cut]
    deep_mz = [mz for mz in scored["predicted"] if mz not in by_cut]
    if cut_mz:
        ax.vlines(cut_mz, 0, -100, colors="tab:green", linewidth=1.0, label="predicted")
    if deep_mz:
        ax.vlines(deep_mz, 0, -50, colors="tab:olive", linewidth=1.0, label="predicted (later generations)")

    ax.axhline(0, color="black", linewidth=0.8)
    ax.axvline(mol_mass, color="0.5", linestyle=":", linewidth=0.8)
    ax.set_xlim(min(scored["lo"], min((p["mz"] for p in scored["peaks"]), default=0)) - 5, mol_mass + 10)
    ax.set_ylim(-110, 125)
    ax.set_xlabel("m/z")
    ax.set_ylabel("relative intensity (%)")
    precision = scored["precision"]
    ax.set_title(title or f"M = {mol_mass}", fontsize=10, pad=22)
    ax.text(0.01, 0.02, f"precision {precision:.2f}" if precision is not None else "no prediction in range",
            transform=ax.transAxes, fontsize=8)
    ax.legend(loc="lower center", bbox_to_anchor=(0.5, 1.0), ncol=5, fontsize=7, frameon=False)
    fig.tight_layout()

    buffer = io.BytesIO()
    fig.savefig(buffer, format="png")
    write_target(target, buffer.getbuffer())
    return path
