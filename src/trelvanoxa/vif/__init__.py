"""The VIF analysis driver: the native core analyses, this module draws."""

from .. import _core
from .. import figures

# Keys of the record that exist only when the analysis does not draw.
UNDRAWN_ONLY = ("real_fragments", "single_fragments", "ringcut_fragments", "ring_soft_bonds", "recursive_peaks")


def drawn_record(record):
    """The nine-key record of a drawing analysis, from the fourteen-key one (key order kept)."""
    return {k: v for k, v in record.items() if k not in UNDRAWN_ONLY}


def VIF(smiles, n_iter=600, target_bond_len=1.5, radius_ratio=0.23, show_spectrum=True, bond_kappa=0.9, draw=True,
        verbose=True, ring_fragmentation=False, recursive_ms=False, max_generations=2):
    """Analyses one molecule given as SMILES and returns its VIF result record.

    Builds the orbital graph, computes its LPI, finds the soft bonds and predicts EI-MS
    fragments (ring double cuts with ring_fragmentation; multi-generation peaks with
    recursive_ms up to max_generations).  Prints a report when verbose; with draw, draws the
    graph (and the spectrum when show_spectrum) and shows the figures.  The record has 14 keys
    with draw off and 9 with draw on.  Returns the text 'SMILES okunamadı!' when the SMILES
    cannot be read."""
    record = _core._vif_record(smiles, n_iter, target_bond_len, radius_ratio, bond_kappa, verbose, ring_fragmentation,
                               recursive_ms, max_generations)
    if not draw or isinstance(record, str):
        return record
    record = drawn_record(record)
    figures.show(figures.draw_vif(smiles, record, show_spectrum=bool(show_spectrum)))
    return record
