"""The ``score`` command: how well predicted fragments explain measured EI spectra of an MSP file."""

import json
import os
import re
import tempfile

import click

from .metrics import SUMMARY_KEYS, score_prediction, summarize_groups
from .predict import predict_for_scoring

_COLUMNS = ("empty P", "precision", "chance", "lift", "recall@{k}", "explained")
_WIDTHS = (7, 9, 6, 5, 9, 9)


def _predict_job(job):
    """Predictions of one record (run in a worker process); errors come back as text."""
    smiles, ring, generations, baseline, intensities = job
    try:
        out = {"prediction": predict_for_scoring(smiles, ring=ring, generations=generations)}
        if baseline:
            out["baseline"] = predict_for_scoring(smiles, ring=ring, generations=generations, all_soft=True)
        if intensities:
            from ..intensity import predict_spectrum

            out["spectrum"] = [(mz, i) for mz, i in predict_spectrum(smiles)]
    except Exception as e:  # one bad structure must not stop the run
        return {"error": f"{type(e).__name__}: {e}"}
    return out


def _predictions(jobs_in, jobs):
    if jobs == 1 or len(jobs_in) < 2:
        return map(_predict_job, jobs_in)
    from concurrent.futures import ProcessPoolExecutor

    with ProcessPoolExecutor(max_workers=min(jobs, len(jobs_in))) as pool:
        return list(pool.map(_predict_job, jobs_in))


def _metrics(scored):
    return {key: scored[key] for key in ("precision", "chance", "recall_at_k", "explained")}


def _cell(value, width, digits=3):
    if value is None:
        text = "n/a"
    elif isinstance(value, int):
        text = str(value)
    else:
        text = f"{value:.{digits}f}" if abs(value) < 100 else f"{value:.1f}"
    return text.rjust(width)


def _block(summary):
    values = [summary[k] for k in SUMMARY_KEYS[1:]]
    digits = [0, 3, 3, 2, 3, 3]
    return "  ".join(_cell(v, w, d) for v, w, d in zip(values, _WIDTHS, digits))


def summary_table(summaries, labels, top_k):
    """Text table of one or more summaries ({"overall": S, "groups": {...}}) side by side."""
    rows = [("overall", [s["overall"] for s in summaries])]
    for group in summaries[0]["groups"]:
        rows.append((group, [s["groups"][group] for s in summaries]))
    name_width = max(len("group"), *(len(name) for name, _ in rows))
    head = "  ".join(c.format(k=top_k).rjust(w) for c, w in zip(_COLUMNS, _WIDTHS))
    block_width = len(head)
    lines = []
    if len(summaries) > 1:
        lines.append((" " * (name_width + 11) + " | ".join(label.center(block_width) for label in labels)).rstrip())
    lines.append("group".ljust(name_width) + "  spectra" + "".join("  " + head if i == 0 else " | " + head
                                                                   for i in range(len(summaries))))
    for name, group_summaries in rows:
        cells = [_block(s) for s in group_summaries]
        lines.append(name.ljust(name_width) + str(group_summaries[0]["spectra"]).rjust(9)
                     + "  " + " | ".join(cells))
    return "\n".join(lines)


def _similarities(entries, groups):
    """Adds "similarity" to every entry (its measured peaks are taken out) and returns the summary and
    its table; the structure-blind reference of each spectrum is the mean of the others (leave one out)."""
    from ..intensity.report import similarity_summary, similarity_table
    from ..intensity.similarity import leave_one_out_blind
    from .metrics import nominal_spectrum, spectrum_similarity

    measured = [nominal_spectrum(e.pop("_measured")) for e in entries]
    blinds = leave_one_out_blind(measured, [e["mol_mass"] for e in entries])
    rows = []
    for entry, peaks, blind in zip(entries, measured, blinds):
        entry["similarity"] = spectrum_similarity(peaks.items(), entry["spectrum"], blind, entry["lo"])
        s = entry["similarity"]
        rows.append((s["cosine"], s["weighted_dot"], s["blind_cosine"], s["blind_dot"]))
    return {"summary": similarity_summary(rows, groups), "table": similarity_table(rows, groups)}


def _slug(text):
    return re.sub(r"[^A-Za-z0-9_.-]+", "_", str(text or "spectrum")).strip("_.")[:60] or "spectrum"


def _write_json(data, path):
    directory = os.path.dirname(os.path.abspath(path))
    fd, tmp = tempfile.mkstemp(suffix=".json", prefix=".score-", dir=directory)
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            json.dump(data, f, indent=1)
        os.replace(tmp, path)
    except BaseException:
        os.unlink(tmp)
        raise


@click.command("score")
@click.argument("measured", type=click.Path(exists=True, dir_okay=False, readable=True))
@click.option("--generations", type=click.IntRange(min=0), default=3, show_default=True,
              help="Generations of multi-generation cuts whose peaks count as predicted (0: none).")
@click.option("--no-ring", is_flag=True, help="Leave ring double cuts out of the single-cut predictions.")
@click.option("--min-rel-intensity", type=click.FloatRange(0, 1), default=0.01, show_default=True,
              help="Measured peaks below this share of the base peak are not counted.")
@click.option("--top-k", type=click.IntRange(min=1), default=10, show_default=True,
              help="Number of most intense measured peaks for recall@k.")
@click.option("--min-mz", type=float, default=None,
              help="Lowest m/z compared (default: the lowest measured m/z of each spectrum).")
@click.option("--json", "json_out", type=click.Path(dir_okay=False, writable=True),
              help="Write the summary and every spectrum's annotations to this JSON file.")
@click.option("--png", "png_dir", type=click.Path(file_okay=False),
              help="Write one mirror plot per spectrum into this folder.")
@click.option("--baseline", is_flag=True, help="Also score the baseline that treats every bond as soft.")
@click.option("--jobs", type=click.IntRange(min=1), default=1, show_default=True,
              help="Worker processes for the predictions.")
@click.option("--intensities", is_flag=True,
              help="Also compare predicted heights (the intensity model) with the measured spectra: cosine on "
                   "square-rooted intensities and weighted dot product, beside the structure-blind average.")
def score(measured, generations, no_ring, min_rel_intensity, top_k, min_mz, json_out, png_dir, baseline, jobs,
          intensities):
    """Score predicted fragments against the measured EI spectra of MEASURED (an MSP file whose records
    carry their structure in a SMILES or InChI field).

    Per spectrum, at nominal m/z below the molecular ion: precision (share of predicted m/z that were
    measured), chance (the precision of random m/z), recall@k of the most intense peaks and the share
    of measured intensity explained.  Exit status 1 when some records were skipped."""
    from .spectra import read_records

    try:
        records = read_records(measured)
    except Exception as e:  # a file matchms cannot read at all
        raise click.BadParameter(f"cannot read {measured}: {e}", param_hint="MEASURED") from e
    ring = not no_ring
    usable = [r for r in records if r["problem"] is None]
    jobs_in = [(r["smiles"], ring, generations, baseline, intensities) for r in usable]
    predictions = _predictions(jobs_in, jobs)

    options = {"min_rel_intensity": min_rel_intensity, "top_k": top_k, "min_mz": min_mz}
    skipped = [{"index": r["index"], "name": r["name"], "reason": r["problem"]} for r in records if r["problem"]]
    entries, results, baseline_results, groups = [], [], [], []
    if png_dir:
        os.makedirs(png_dir, exist_ok=True)
    for record, predicted in zip(usable, predictions):
        try:
            if "error" in predicted:
                raise ValueError(predicted["error"])
            scored = score_prediction(record["peaks"], predicted["prediction"], **options)
            scored_baseline = score_prediction(record["peaks"], predicted["baseline"], **options) if baseline else None
        except ValueError as e:
            skipped.append({"index": record["index"], "name": record["name"], "reason": str(e)})
            continue
        entry = {"index": record["index"], "name": record["name"], "smiles": record["smiles"],
                 "group": record["group"], **{k: v for k, v in scored.items() if k != "top_k"}}
        if baseline:
            entry["baseline"] = {**_metrics(scored_baseline), "predicted": scored_baseline["predicted"],
                                 "matched": scored_baseline["matched"]}
            baseline_results.append(scored_baseline)
        if intensities:
            entry["spectrum"] = [list(p) for p in predicted["spectrum"]]
            entry["_measured"] = record["peaks"]
        entries.append(entry)
        results.append(scored)
        groups.append(record["group"])
        if png_dir:
            from .plot import mirror_plot

            name = f"{record['index']:03d}_{_slug(record['name'])}.png"
            mirror_plot(scored, os.path.join(png_dir, name), title=f"{record['name']}  (M = {scored['mol_mass']})")

    skipped.sort(key=lambda s: s["index"])
    for s in skipped:
        click.echo(f"skipped record {s['index']} ({s['name'] or 'unnamed'}): {s['reason']}", err=True)
    summary = summarize_groups(results, groups)
    summaries, labels = [summary], ["soft bonds"]
    if baseline:
        summaries.append(summarize_groups(baseline_results, groups))
        labels.append("baseline: every bond soft")
    click.echo(f"{measured}: {len(results)} spectra scored, {len(skipped)} skipped; generations {generations}, "
               f"ring cuts {'on' if ring else 'off'}, peaks >= {min_rel_intensity:g} of base, "
               f"m/z from {'the lowest measured' if min_mz is None else f'{min_mz:g}'} to M - 1")
    click.echo(summary_table(summaries, labels, top_k))
    if intensities:
        similarity = _similarities(entries, groups)
        click.echo(f"\npredicted heights (intensity model) against the measured spectra; structure-blind: the mean "
                   f"relative spectrum of the other {len(entries) - 1} spectra of this file, cut at M, M+ at its base")
        click.echo(similarity["table"])
    if json_out:
        data = {"summary": summary, "spectra": entries}
        if intensities:
            data["similarity_summary"] = similarity["summary"]
        if baseline:
            data["baseline_summary"] = summaries[1]
        data["skipped"] = skipped
        _write_json(data, json_out)
    if skipped:
        click.get_current_context().exit(1)
