"""Scoring of predicted fragments against measured EI spectra.

``explain(peaks, smiles)`` annotates one measured spectrum with the predicted fragments at each nominal
m/z and computes precision, chance, recall@k and the explained intensity; ``summarize`` and
``summarize_groups`` average them over many spectra; the ``score`` command (``python -m
trelvanoxa.score``) does this for an MSP file.  Definitions are in ``trelvanoxa.score.metrics``.
"""

from .metrics import explain, nominal_spectrum, score_prediction, summarize, summarize_groups
from .predict import predict_for_scoring

__all__ = ["explain", "nominal_spectrum", "predict_for_scoring", "score_prediction", "summarize",
           "summarize_groups"]
