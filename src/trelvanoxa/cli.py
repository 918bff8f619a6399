"""The `trelvanoxa` command: `analyze` one molecule, `batch` many, `score` predictions against
measured spectra.

Exit codes: 0 success, 1 some molecules failed (or the output could not be written), 2 usage error
(bad option, unreadable input or output), 130 interrupted by Ctrl-C, 143 stopped by SIGTERM.  Other commands join the group with `main.add_command(...)`.
"""

import contextlib
import json
import os
import sys

import click

from .terminal import EXIT_FAILED, EXIT_USAGE, EXIT_INTERRUPTED, EXIT_TERMINATED  # noqa: F401
from .terminal import TIMEOUT, Terminated, exit_code_of, shown, sigterm_as_interrupt  # noqa: F401
from ._imports import import_whole



@click.group(context_settings={"help_option_names": ["-h", "--help"]})
@click.version_option(package_name="trelvanoxa")
def main():
    """Orbital-interaction (VIF) analysis of molecules: LPI, soft bonds and predicted EI-MS fragments."""


def _analysis_options(f):
    f = click.option("--generations", type=click.IntRange(min=0), default=2, show_default=True,
                     help="Generations of the multi-generation fragmentation (with --recursive).")(f)
    f = click.option("--recursive", is_flag=True, help="Also predict multi-generation fragments.")(f)
    f = click.option("--ring", is_flag=True, help="Also predict ring double-cut fragments.")(f)
    return f


def _smiles_reading(query):
    """None when RDKit reads ``query`` as a SMILES (whitespace and control characters refused, as in
    batch); otherwise why it is not a readable SMILES."""
    from rdkit import Chem, RDLogger

    from ._errors import smiles_problem

    problem = smiles_problem(query)
    if problem:
        return problem
    RDLogger.DisableLog("rdApp.*")
    try:
        parsed = Chem.MolFromSmiles(query, sanitize=False)
    finally:
        RDLogger.EnableLog("rdApp.*")
    return None if parsed is not None else "RDKit cannot parse it"


def resolve_query(query, kind="auto"):
    """SMILES of a query.  ``kind`` "smiles": the query itself, which must be a readable SMILES;
    "name": a compound name looked up in PubChem; "auto": a CID when all digits, the query itself when
    RDKit reads it as SMILES, otherwise a compound name, after a note on stderr that the text is not a
    readable SMILES.  Raises ValueError (UnreadableSmilesError for --smiles) or the lookup's error."""
    import trelvanoxa

    from ._errors import UnreadableSmilesError

    if kind == "name":
        return trelvanoxa.fetch_smiles_from_pubchem(query, by="name")[0]
    if kind == "auto" and query.isdigit():
        return trelvanoxa.fetch_smiles_from_pubchem(query, by="cid")[0]
    problem = _smiles_reading(query)
    if problem is None:
        return query
    if kind == "smiles":
        raise UnreadableSmilesError(f"not a readable SMILES ({problem})")
    click.echo(f"note: {query!r} is not a readable SMILES ({problem}); looking it up as a compound name in "
               f"PubChem (--smiles or --name to say which it is)", err=True)
    try:
        return trelvanoxa.fetch_smiles_from_pubchem(query, by="name")[0]
    except ValueError as exc:
        raise ValueError(f"not a readable SMILES ({problem}), and not found as a compound name: {exc}") from exc


def _check_figure_paths(png):
    """Both figure files of --png checked before any work: the graph into png, the spectrum into
    png's name + '_ms'."""
    from .figures import prepare_target

    for path in _figure_paths(png):
        try:
            prepare_target(path)
        except (OSError, ValueError) as exc:
            raise click.BadParameter(str(exc), param_hint="--png") from None


def _figure_paths(png):
    root, ext = os.path.splitext(png)
    return png, f"{root}_ms{ext or '.png'}"


@main.command()
@click.argument("query")
@_analysis_options
@click.option("--smiles", "as_smiles", is_flag=True, help="QUERY is a SMILES (never looked up in PubChem).")
@click.option("--name", "as_name", is_flag=True, help="QUERY is a compound name (looked up in PubChem).")
@click.option("--json", "as_json", is_flag=True, help="Print the compact JSON record instead of the report.")
@click.option("--png", "png", type=click.Path(dir_okay=False), default=None, metavar="FILE",
              help="Also draw the orbital graph into FILE and the stick spectrum into FILE's name + '_ms'.")
def analyze(query, ring, recursive, generations, as_smiles, as_name, as_json, png):
    """Analyse one molecule given as SMILES, a compound name or a PubChem CID.

    Without --smiles or --name: a query of digits is a CID, a query RDKit reads as SMILES is used as
    is, anything else is said not to be a readable SMILES and looked up as a name; names and CIDs are
    resolved through PubChem.  Prints the analysis report (or, with --json, the compact record that
    `batch` writes).
    """
    import trelvanoxa
    from . import _core
    from .batch import analyze_many

    if as_smiles and as_name:
        raise click.UsageError("--smiles and --name exclude each other")
    if png:
        _check_figure_paths(png)
    try:
        smiles = resolve_query(query, "smiles" if as_smiles else "name" if as_name else "auto")
    except Exception as exc:  # noqa: BLE001 - lookup failures are reported, not raised
        click.echo(f"error: cannot resolve {query!r}: {exc}", err=True)
        sys.exit(EXIT_FAILED)
    if as_json:
        rec = next(analyze_many([(query, smiles)], jobs=1, ring=ring, recursive=recursive, generations=generations))
        click.echo(json.dumps(rec, ensure_ascii=False))
        failed = bool(rec.get("error"))
    else:
        try:
            if png:  # the record to draw, with the same report
                record = trelvanoxa.VIF(smiles, draw=False, verbose=True, ring_fragmentation=ring,
                                        recursive_ms=recursive, max_generations=generations)
                if isinstance(record, str):
                    raise ValueError(record)
            else:
                _core.analyse_compact(smiles, ring_fragmentation=ring, recursive=recursive,
                                      max_generations=generations, verbose=True)
            failed = False
        except Exception as exc:  # noqa: BLE001 - one molecule's failure is reported, not raised
            click.echo(f"error: {smiles}: {type(exc).__name__}: {exc}", err=True)
            failed = True
    if png and not failed:
        if as_json:
            record = trelvanoxa.VIF(smiles, draw=False, verbose=False, ring_fragmentation=ring)
        _write_figures(smiles, record, png)
    sys.exit(EXIT_FAILED if failed else 0)


def _write_figures(smiles, record, png):
    """The orbital graph into png, the stick spectrum beside it (name + '_ms')."""
    matplotlib = import_whole("matplotlib")

    matplotlib.use("Agg")
    plt = import_whole("matplotlib.pyplot")

    from .figures import draw_vif, save_figure
    from .vif import drawn_record

    graph_fig, ms_fig = draw_vif(smiles, drawn_record(record), show_spectrum=True)
    try:
        for fig, path in zip((graph_fig, ms_fig), _figure_paths(png)):
            click.echo(f"Figure saved: {save_figure(fig, path)}", err=True)
    finally:
        plt.close(graph_fig)
        plt.close(ms_fig)


def _progress(quiet, total):
    """A tqdm bar on a terminal's stderr (rate, and ETA from a quick count of the input), else None."""
    if quiet or not sys.stderr.isatty():
        return None
    from tqdm import tqdm

    tqdm.monitor_interval = 0  # no monitor thread: worker processes are forked from this one
    return tqdm(total=total(), unit="mol", file=sys.stderr, dynamic_ncols=True, smoothing=0.1)


def capped_jobs(jobs):
    """--jobs as the local pool will run it: more workers than cores only share them."""
    from .batch import max_jobs

    if jobs is not None and jobs > max_jobs():
        click.echo(f"note: --jobs {jobs} capped at {max_jobs()}, the cores available", err=True)
        return max_jobs()
    return jobs


def _check_paths(input_path, output_path, smiles_column, id_column):
    from .batch.readers import InputError, check_input, input_format
    from .batch.writers import OutputError, output_format

    try:
        input_format(input_path)
        output_format(output_path)
        check_input(input_path, smiles_column, id_column)
    except (InputError, OutputError) as exc:
        raise click.UsageError(str(exc)) from None
    if input_path != "-" and os.path.exists(output_path) and os.path.samefile(input_path, output_path):
        raise click.UsageError(f"OUTPUT {output_path} is the input file itself")


def _dask_client(scheduler):
    try:
        from distributed import Client
    except ImportError:
        raise click.UsageError("--scheduler needs dask.distributed: pip install 'trelvanoxa[dask]'") from None
    from .batch.pool import dask_scheduler_problem

    problem = dask_scheduler_problem(scheduler)
    if problem:
        raise click.UsageError(f"cannot connect to the scheduler at {scheduler}: {problem}")
    try:
        return Client(scheduler, timeout="10s")
    except (OSError, TimeoutError) as exc:
        raise click.UsageError(f"cannot connect to the scheduler at {scheduler}: {exc}") from None
    except Exception as exc:  # noqa: BLE001 - e.g. a web server read as Dask frames asks for exabytes
        raise click.UsageError(f"cannot connect to the scheduler at {scheduler}: the service there does not "
                               f"answer as a Dask scheduler ({type(exc).__name__})") from None


class _Resume:
    """Leaves out the input items whose records OUTPUT already holds, each record matched once
    (by id and SMILES), and tells about ids that come again and records matched by nothing."""

    def __init__(self, writer):
        self.key, self.left = writer.key, writer.done
        self.matched_ids = set()
        self.repeated = []
        self.total = sum(self.left.values())

    def items(self, items):
        for ident, smiles in items:
            key = self.key(ident, smiles)
            if self.left.get(key):
                self.left[key] -= 1
                if key[0] in self.matched_ids and len(self.repeated) < 5:
                    self.repeated.append(key[0])
                self.matched_ids.add(key[0])
                continue
            if key[0] in self.matched_ids and len(self.repeated) < 5:
                self.repeated.append(key[0])
            yield ident, smiles

    def notes(self, output_path):
        out = []
        if self.repeated:
            out.append("ids that appear more than once in INPUT: " + ", ".join(shown(repr(i)) for i in self.repeated)
                       + "; every occurrence has its own record")
        stray = [k for k, n in self.left.items() if n]
        if stray:
            out.append(f"{sum(self.left[k] for k in stray)} records of {output_path} match no molecule of INPUT "
                       f"by id and SMILES (e.g. {shown(repr(stray[0][0]))}); they were kept")
        return out


def _write_records(records, writer, quiet, bar):
    """Writes the records; returns (written, failed, interrupt or None, stopping error or None)."""
    from .batch.writers import OutputError

    written = failed = 0
    try:
        with contextlib.closing(records):
            for rec in records:
                writer.write(rec)
                written += 1
                if rec.get("error"):
                    failed += 1
                    if bar is None and not quiet:
                        click.echo(f"error: {shown(rec['id'])}: {shown(rec['error'])}", err=True)
                if bar is not None:
                    bar.update(1)
                    if failed:
                        bar.set_postfix(failed=failed, refresh=False)
    except KeyboardInterrupt as exc:
        return written, failed, exc, None
    except OutputError as exc:
        return written, failed, None, str(exc)
    except Exception as exc:  # noqa: BLE001 - the input broke off: keep what is written
        return written, failed, None, f"the run stopped: {type(exc).__name__}: {shown(exc)}"
    return written, failed, None, None


@main.command()
@click.argument("input_path", metavar="INPUT", type=click.Path(allow_dash=True, dir_okay=False))
@click.option("-o", "--output", "output_path", required=True, type=click.Path(dir_okay=False, writable=True),
              help="Output file: .jsonl (records), .msp (predicted spectra) or .parquet.")
@_analysis_options
@click.option("--smiles-column", default=None, help="CSV/TSV column holding the SMILES [default: smiles].")
@click.option("--id-column", default=None, help="CSV/TSV column holding the id [default: the line number].")
@click.option("--id-property", default=None, help="SDF property holding the id [default: the title line].")
@click.option("-j", "--jobs", type=click.IntRange(min=1), default=None,
              help="Worker processes [default: all cores; more are capped at that]; 1 analyses in this process.")
@click.option("--scheduler", default=None, metavar="ADDRESS",
              help="Run on an existing dask.distributed cluster (e.g. tcp://host:8786) instead of local workers.")
@click.option("--chunk-size", type=click.IntRange(min=1), default=None,
              help="Molecules sent to a worker at a time [default: 16; 64 with --scheduler].")
@click.option("--timeout", type=TIMEOUT, default=None, metavar="SECONDS",
              help="Time limit per molecule (at most 86400); an overrun becomes an error record and its worker "
                   "is replaced.")
@click.option("--resume", is_flag=True, help="Keep the records already in OUTPUT and skip their molecules.")
@click.option("-q", "--quiet", is_flag=True, help="No progress bar and no summary.")
@click.option("--intensities", is_flag=True,
              help="Also predict peak heights (the intensity model): JSONL and Parquet get an \"intensities\" "
                   "field, MSP spectra carry the heights.")
def batch(input_path, output_path, ring, recursive, generations, smiles_column, id_column, id_property, jobs,
          scheduler, chunk_size, timeout, resume, quiet, intensities):
    """Analyse every molecule of INPUT and write one record per molecule to OUTPUT, in input order.

    INPUT is .smi/.txt (SMILES, then an optional id after a tab or spaces; "#" lines skipped), .csv/.tsv
    (with a header), .sdf or .sdf.gz, or - for SMILES lines on standard input.  A molecule that
    fails becomes an error record and the run goes on; the exit code is then 1.  Ctrl-C (exit 130)
    or SIGTERM (exit 143) stops the run leaving OUTPUT complete, and --resume continues it.
    """
    from .batch import analyze_many
    from .batch.pool import quiet_rdkit
    from .batch.readers import count_records, open_input
    from .batch.writers import OutputError, open_output

    _check_paths(input_path, output_path, smiles_column, id_column)
    jobs = capped_jobs(jobs)
    client = _dask_client(scheduler) if scheduler else None
    try:
        writer = open_output(output_path, resume=resume, intensities=intensities)
    except (OutputError, OSError) as exc:
        if client is not None:
            client.close()
        raise click.UsageError(str(exc)) from None
    for note in writer.notes:
        click.echo(f"warning: {note}", err=True)
    quiet_rdkit()  # parse failures are in the error records
    skip = _Resume(writer)
    items = skip.items(open_input(input_path, smiles_column, id_column, id_property))
    with sigterm_as_interrupt():
        bar = _progress(quiet, lambda: max(0, (count_records(input_path) or 0) - skip.total) or None)
        try:
            records = analyze_many(items, jobs=jobs, client=client, ring=ring, recursive=recursive,
                                   generations=generations, timeout=timeout, chunk_size=chunk_size,
                                   intensities=intensities)
            written, failed, interrupt, stopped = _write_records(records, writer, quiet, bar)
        except KeyboardInterrupt as exc:
            written, failed, interrupt, stopped = 0, 0, exc, None
        finally:
            if bar is not None:
                bar.close()
            try:
                writer.close()
            except OutputError as exc:
                stopped = str(exc)
            if client is not None:
                client.close()
    if stopped:
        click.echo(f"error: {stopped}", err=True)
    if not quiet:
        for note in ([] if interrupt or stopped else skip.notes(output_path)):
            click.echo(f"warning: {note}", err=True)
        already = f", {skip.total} already in {output_path}" if skip.total else ""
        click.echo(f"{written} records written to {output_path} ({failed} failed{already})"
                   + ("; interrupted, continue with --resume" if interrupt else ""), err=True)
    if interrupt is not None:
        sys.exit(exit_code_of(interrupt))
    sys.exit(EXIT_FAILED if failed or stopped else 0)


def _add_scoring():
    from .score.cli import score

    main.add_command(score)


_add_scoring()

if __name__ == "__main__":
    main()
