"""The ``score`` command: how well predicted fragments explain measured EI spectra of an MSP file."""

import contextlib
import errno
import json
import math
import os
import re
import sys

import click

from .._io import prepare_target, write_target
from ..terminal import TIMEOUT, exit_code_of, sigterm_as_interrupt
from .metrics import SUMMARY_KEYS, score_prediction, summarize_groups
from .predict import predict_for_scoring

_COLUMNS = ("empty P", "precision", "chance", "lift", "recall@{k}", "explained")
_WIDTHS = (7, 9, 6, 5, 9, 9)


def _predict_task(index, smiles, options):
    """Predictions of one record (run in a worker process); errors come back as text."""
    ring, generations, baseline = options["ring"], options["generations"], options["baseline"]
    intensities = options.get("intensities", False)
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


def _prediction_failed(index, smiles, message):
    return {"error": message}


def _predictions(usable, options, jobs, timeout):
    """Predictions of the usable records, in order, from the batch layer's pool (in this process
    when jobs is 1); a prediction beyond `timeout` seconds comes back as an error."""
    from ..batch import max_jobs
    from ..batch.pool import run_items

    jobs = max(1, min(jobs, max_jobs(), len(usable)))
    items = [(r["index"], r["smiles"]) for r in usable]
    return run_items(items, options, jobs, timeout=timeout, chunk_size=1, task=_predict_task,
                     on_error=_prediction_failed)


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


class _Real(click.ParamType):
    """A finite number within [low, high]: "nan" and "inf" are refused at parsing."""

    name = "float"

    def __init__(self, low, high=None):
        self.low, self.high = low, high

    def convert(self, value, param, ctx):
        try:
            number = float(value)
        except (TypeError, ValueError):
            self.fail(f"{value!r} is not a number", param, ctx)
        if not math.isfinite(number) or number < self.low or (self.high is not None and number > self.high):
            upper = f" and at most {self.high:g}" if self.high is not None else ""
            self.fail(f"{value!r} is not a finite number of at least {self.low:g}{upper}", param, ctx)
        return number


def _check_outputs(json_out, png_dir):
    """Both outputs checked (and the figure folder made) before any work, so a bad path is a usage error
    rather than a traceback after every spectrum was scored.  Returns the prepared JSON target."""
    target = None
    if json_out:
        try:
            target = prepare_target(json_out)
        except OSError as exc:
            raise click.BadParameter(str(exc), param_hint="--json") from None
    if png_dir:
        try:
            os.makedirs(png_dir, exist_ok=True)
            if not os.access(png_dir, os.W_OK | os.X_OK):
                raise PermissionError(errno.EACCES, os.strerror(errno.EACCES), png_dir)
        except OSError as exc:
            raise click.BadParameter(str(exc), param_hint="--png") from None
    return target


def _read(measured):
    from .spectra import read_records

    try:
        return read_records(measured, warn=lambda note: click.echo(f"warning: {note}", err=True))
    except Exception as e:  # a file matchms cannot read at all
        raise click.BadParameter(f"cannot read {measured}: {e}", param_hint="MEASURED") from e


def _score_all(usable, predictions, options, baseline, png_dir):
    """Scores each usable record against its predictions; (entries, results, baseline results, groups,
    skipped) with one skipped entry per record that could not be scored."""
    entries, results, baseline_results, groups, skipped = [], [], [], [], []
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
        if "spectrum" in predicted:
            entry["spectrum"] = [list(p) for p in predicted["spectrum"]]
            entry["_measured"] = record["peaks"]
        entries.append(entry)
        results.append(scored)
        groups.append(record["group"])
        if png_dir:
            from .plot import mirror_plot

            name = f"{record['index']:03d}_{_slug(record['name'])}.png"
            mirror_plot(scored, os.path.join(png_dir, name), title=f"{record['name']}  (M = {scored['mol_mass']})")
    return entries, results, baseline_results, groups, skipped


def _report(measured, results, skipped, summaries, labels, options, generations, ring):
    for s in skipped:
        click.echo(f"skipped record {s['index']} ({s['name'] or 'unnamed'}): {s['reason']}", err=True)
    min_mz = options["min_mz"]
    click.echo(f"{measured}: {len(results)} spectra scored, {len(skipped)} skipped; generations {generations}, "
               f"ring cuts {'on' if ring else 'off'}, peaks >= {options['min_rel_intensity']:g} of base, "
               f"m/z from {'the lowest measured' if min_mz is None else f'{min_mz:g}'} to M - 1")
    click.echo(summary_table(summaries, labels, options["top_k"]))


@click.command("score")
@click.argument("measured", type=click.Path(exists=True, dir_okay=False, readable=True))
@click.option("--generations", type=click.IntRange(min=0), default=3, show_default=True,
              help="Generations of multi-generation cuts whose peaks count as predicted (0: none).")
@click.option("--no-ring", is_flag=True, help="Leave ring double cuts out of the single-cut predictions.")
@click.option("--min-rel-intensity", type=_Real(0, 1), default=0.01, show_default=True,
              help="Measured peaks below this share of the base peak are not counted.")
@click.option("--top-k", type=click.IntRange(min=1), default=10, show_default=True,
              help="Number of most intense measured peaks for recall@k.")
@click.option("--min-mz", type=_Real(0), default=None,
              help="Lowest m/z compared (default: the lowest measured m/z of each spectrum).")
@click.option("--json", "json_out", type=click.Path(dir_okay=False),
              help="Write the summary and every spectrum's annotations to this JSON file.")
@click.option("--png", "png_dir", type=click.Path(file_okay=False),
              help="Write one mirror plot per spectrum into this folder.")
@click.option("--baseline", is_flag=True, help="Also score the baseline that treats every bond as soft.")
@click.option("--jobs", type=click.IntRange(min=1), default=1, show_default=True,
              help="Worker processes for the predictions (at most the cores available).")
@click.option("--timeout", type=TIMEOUT, default=None, metavar="SECONDS",
              help="Time limit per structure's predictions (at most 86400); an overrun skips the record.")
@click.option("--intensities", is_flag=True,
              help="Also compare predicted heights (the intensity model) with the measured spectra: cosine on "
                   "square-rooted intensities and weighted dot product, beside the structure-blind average.")
def score(measured, generations, no_ring, min_rel_intensity, top_k, min_mz, json_out, png_dir, baseline, jobs,
          timeout, intensities):
    """Score predicted fragments against the measured EI spectra of MEASURED (an MSP file whose records
    carry their structure in a SMILES or InChI field).

    Per spectrum, at nominal m/z below the molecular ion: precision (share of predicted m/z that were
    measured), chance (the precision of random m/z), recall@k of the most intense peaks and the share
    of measured intensity explained.  Exit status 1 when some records were skipped, 130 after Ctrl-C,
    143 after SIGTERM."""
    with sigterm_as_interrupt():
        try:
            _score(measured, generations, no_ring, min_rel_intensity, top_k, min_mz, json_out, png_dir, baseline,
                   jobs, timeout, intensities)
        except KeyboardInterrupt as exc:
            click.echo("interrupted: nothing was scored", err=True)
            sys.exit(exit_code_of(exc))


def _score(measured, generations, no_ring, min_rel_intensity, top_k, min_mz, json_out, png_dir, baseline, jobs,
           timeout, intensities):
    json_target = _check_outputs(json_out, png_dir)
    records = _read(measured)
    ring = not no_ring
    usable = [r for r in records if r["problem"] is None]
    running = _predictions(usable, {"ring": ring, "generations": generations, "baseline": baseline,
                                    "intensities": intensities}, jobs, timeout)
    with contextlib.closing(running):  # an interrupt stops the workers at once
        predictions = list(running)

    options = {"min_rel_intensity": min_rel_intensity, "top_k": top_k, "min_mz": min_mz}
    entries, results, baseline_results, groups, skipped = _score_all(usable, predictions, options, baseline, png_dir)
    skipped += [{"index": r["index"], "name": r["name"], "reason": r["problem"]} for r in records if r["problem"]]
    skipped.sort(key=lambda s: s["index"])
    summary = summarize_groups(results, groups)
    summaries, labels = [summary], ["soft bonds"]
    if baseline:
        summaries.append(summarize_groups(baseline_results, groups))
        labels.append("baseline: every bond soft")
    _report(measured, results, skipped, summaries, labels, options, generations, ring)
    if intensities:
        similarity = _similarities(entries, groups)
        click.echo(f"\npredicted heights (intensity model) against the measured spectra; structure-blind: the mean "
                   f"relative spectrum of the other {len(entries) - 1} spectra of this file, cut at M, M+ at its base")
        click.echo(similarity["table"])
    if json_target is not None:
        data = {"summary": summary, "spectra": entries}
        if intensities:
            data["similarity_summary"] = similarity["summary"]
        if baseline:
            data["baseline_summary"] = summaries[1]
        data["skipped"] = skipped
        write_target(json_target, json.dumps(data, indent=1))
    if skipped:
        click.get_current_context().exit(1)
