"""Text table of spectrum similarities, by group of spectra."""

from statistics import fmean

HEAD = ("spectra", "cosine sqrt(I)", "weighted dot", "blind cosine", "blind dot", "cosine gain")


def similarity_summary(scores, groups):
    """``{group: {"spectra", "cosine", "dot", "blind_cosine", "blind_dot"}}`` (means) for per-spectrum
    (cosine, dot, blind cosine, blind dot) tuples and their group names; "overall" first."""
    scores = list(scores)
    named = {"overall": scores}
    for s, g in zip(scores, groups, strict=True):
        if g is not None:
            named.setdefault(g, []).append(s)
    out = {}
    for name in ["overall"] + sorted(k for k in named if k != "overall"):
        rows = named[name]
        out[name] = {"spectra": len(rows), **{key: fmean(r[i] for r in rows) if rows else None
                                              for i, key in enumerate(("cosine", "dot", "blind_cosine", "blind_dot"))}}
    return out


def similarity_table(scores, groups):
    """The summary as text: one line per group, the model's means beside the structure-blind ones."""
    summary = similarity_summary(scores, groups)
    width = max(len("group"), *(len(g) for g in summary))
    lines = ["group".ljust(width) + "".join("  " + h for h in HEAD)]
    for name, s in summary.items():
        cells = [str(s["spectra"]).rjust(len(HEAD[0]))]
        for key, head in zip(("cosine", "dot", "blind_cosine", "blind_dot"), HEAD[1:5]):
            cells.append("n/a".rjust(len(head)) if s[key] is None else f"{s[key]:.3f}".rjust(len(head)))
        gain = None if s["cosine"] is None else s["cosine"] - s["blind_cosine"]
        cells.append("n/a".rjust(len(HEAD[5])) if gain is None else f"{gain:+.3f}".rjust(len(HEAD[5])))
        lines.append(name.ljust(width) + "".join("  " + c for c in cells))
    return "\n".join(lines)
