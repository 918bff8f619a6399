"""The error raised where a text cannot be read as a SMILES.

RDKit stops reading a SMILES at the first blank, so "CC O" would silently be
ethane and "C C" methane; whitespace and control characters are therefore
refused before RDKit sees the text, as is text the parser rejects.
"""


UNREADABLE = "SMILES okunamad\u0131!"


class UnreadableSmilesError(ValueError):
    """A SMILES that cannot be read: a parse failure, or whitespace or control
    characters inside the text.  A ValueError, so callers that catch ValueError
    keep working; the message says what was wrong ("SMILES okunamadı!" when
    RDKit cannot parse it) and ``smiles`` holds the text when known."""

    def __init__(self, message=UNREADABLE, *, smiles=None):
        super().__init__(message)
        self.smiles = smiles


def smiles_problem(smiles):
    """Why this text cannot be a SMILES field, or None."""
    if not isinstance(smiles, str):
        return f"SMILES must be text, got {type(smiles).__name__}"
    if not smiles:
        return "empty SMILES"
    for pos, ch in enumerate(smiles):
        if ch.isspace() or not ch.isprintable():
            kind = "whitespace" if ch.isspace() else "a control character"
            return f"SMILES contains {kind} (U+{ord(ch):04X}) at position {pos}"
    return None


def check_smiles_text(smiles):
    """Returns ``smiles`` when it may be handed to the parser; else raises UnreadableSmilesError
    (TypeError for a value that is not text)."""
    problem = smiles_problem(smiles)
    if problem is None:
        return smiles
    if not isinstance(smiles, str):
        raise TypeError(problem)
    raise UnreadableSmilesError(f"{problem}: {smiles!r}", smiles=smiles)
