"""Predicted fragments of one structure, as the scoring reads them."""

from ..prediction import UnreadableSmiles, predict


def predict_for_scoring(smiles, *, ring=True, generations=3, all_soft=False):
    """The `Prediction` of ``smiles`` for scoring against a measured spectrum.

    Its peaks are every m/z of every piece of the splitting cuts (single cuts, and ring double cuts
    when ``ring`` is true) and of the multi-generation peaks up to ``generations`` (none when 0; the
    molecular ion is their generation 0), each with every origin that reaches it.  The
    multi-generation pass always makes ring double cuts, whatever ``ring`` says.

    With ``all_soft`` true every chem bond is treated as soft (the baseline), in the single and ring cuts
    and in every generation.  Raises ``ValueError`` when the SMILES cannot be read.
    """
    try:
        return predict(smiles, ring=ring, generations=int(generations), all_soft=all_soft)
    except UnreadableSmiles as exc:
        raise ValueError(f"cannot read SMILES {smiles!r}") from exc
