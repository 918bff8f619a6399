"""The `trelvanoxa` command: `analyze` one molecule, `batch` many, `score` predictions against
measured spectra.

Exit codes: 0 success, 1 some molecules failed, 2 usage error (bad option, unreadable input or
output), 130 interrupted.  Other commands join the group with `main.add_command(...)`.
"""

import contextlib
import json
import os
import sys

import click

EXIT_FAILED, EXIT_USAGE, EXIT_INTERRUPTED = 1, 2, 130


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


def resolve_query(query):
    """SMILES of a query: a CID when all digits, the query itself when RDKit reads it as SMILES,
    otherwise a compound name; CIDs and names go through PubChem."""
    import trelvanoxa
    from rdkit import Chem, RDLogger

    if query.isdigit():
        return trelvanoxa.fetch_smiles_from_pubchem(query, by="cid")[0]
    RDLogger.DisableLog("rdApp.*")
    try:
        parsed = Chem.MolFromSmiles(query, sanitize=False)
    finally:
        RDLogger.EnableLog("rdApp.*")
    if parsed is not None and query.strip() == query and not any(c.isspace() for c in query):
        return query
    return trelvanoxa.fetch_smiles_from_pubchem(query, by="name")[0]


@main.command()
@click.argument("query")
@_analysis_options
@click.option("--json", "as_json", is_flag=True, help="Print the compact JSON record instead of the report.")
@click.option("--png", "png", type=click.Path(dir_okay=False), default=None, metavar="FILE",
              help="Also draw the orbital graph into FILE and the stick spectrum into FILE's name + '_ms'.")
def analyze(query, ring, recursive, generations, as_json, png):
    """Analyse one molecule given as SMILES, a compound name or a PubChem CID.

    Names and CIDs are resolved through PubChem; a query RDKit reads as SMILES is used as is.
    Prints the analysis report (or, with --json, the compact record that `batch` writes).
    """
    import trelvanoxa
    from . import _core
    from .batch import analyze_many

    try:
        smiles = resolve_query(query)
    except Exception as exc:  # noqa: BLE001 - lookup failures are reported, not raised
        click.echo(f"error: cannot resolve {query!r}: {exc}", err=True)
        sys.exit(EXIT_FAILED)
    if png:
        from .figures import prepare_target

        try:
            prepare_target(png)
        except OSError as exc:
            raise click.BadParameter(str(exc), param_hint="--png") from None
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
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    from .figures import draw_vif, save_figure
    from .vif import drawn_record

    graph_fig, ms_fig = draw_vif(smiles, drawn_record(record), show_spectrum=True)
    root, ext = os.path.splitext(png)
    try:
        for fig, path in ((graph_fig, png), (ms_fig, f"{root}_ms{ext or '.png'}")):
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


@main.command()
@click.argument("input_path", metavar="INPUT", type=click.Path(allow_dash=True, dir_okay=False))
@click.option("-o", "--output", "output_path", required=True, type=click.Path(dir_okay=False, writable=True),
              help="Output file: .jsonl (records), .msp (predicted spectra) or .parquet.")
@_analysis_options
@click.option("--smiles-column", default=None, help="CSV/TSV column holding the SMILES [default: smiles].")
@click.option("--id-column", default=None, help="CSV/TSV column holding the id [default: the line number].")
@click.option("--id-property", default=None, help="SDF property holding the id [default: the title line].")
@click.option("-j", "--jobs", type=click.IntRange(min=1), default=None,
              help="Worker processes [default: all cores]; 1 analyses in this process.")
@click.option("--scheduler", default=None, metavar="ADDRESS",
              help="Run on an existing dask.distributed cluster (e.g. tcp://host:8786) instead of local workers.")
@click.option("--chunk-size", type=click.IntRange(min=1), default=None,
              help="Molecules sent to a worker at a time [default: 16; 64 with --scheduler].")
@click.option("--timeout", type=click.FloatRange(min=0, min_open=True), default=None, metavar="SECONDS",
              help="Time limit per molecule; an overrun becomes an error record and its worker is replaced.")
@click.option("--resume", is_flag=True, help="Keep the records already in OUTPUT and skip their ids.")
@click.option("-q", "--quiet", is_flag=True, help="No progress bar and no summary.")
@click.option("--intensities", is_flag=True,
              help="Also predict peak heights (the intensity model): JSONL and Parquet get an \"intensities\" "
                   "field, MSP spectra carry the heights.")
def batch(input_path, output_path, ring, recursive, generations, smiles_column, id_column, id_property, jobs,
          scheduler, chunk_size, timeout, resume, quiet, intensities):
    """Analyse every molecule of INPUT and write one record per molecule to OUTPUT, in input order.

    INPUT is .smi/.txt (SMILES, then an optional id after a tab or spaces; "#" lines skipped), .csv/.tsv
    (with a header), .sdf or .sdf.gz, or - for SMILES lines on standard input.  A molecule that
    fails becomes an error record and the run goes on; the exit code is then 1.  Ctrl-C stops the
    run leaving OUTPUT complete, and --resume continues it.
    """
    from .batch import analyze_many
    from .batch.readers import InputError, check_table_columns, count_records, input_format, open_input
    from .batch.writers import OutputError, open_output, output_format

    try:
        input_format(input_path)
        output_format(output_path)
        if input_path != "-" and not os.path.isfile(input_path):
            raise InputError(f"no such file: {input_path}")
        check_table_columns(input_path, smiles_column, id_column)
    except (InputError, OutputError) as exc:
        raise click.UsageError(str(exc)) from None

    client = None
    if scheduler:
        try:
            from distributed import Client
        except ImportError:
            raise click.UsageError("--scheduler needs dask.distributed: pip install 'trelvanoxa[dask]'") from None
        try:
            client = Client(scheduler, timeout="10s")
        except Exception as exc:  # noqa: BLE001
            raise click.UsageError(f"cannot connect to the scheduler at {scheduler}: {exc}") from None

    try:
        writer = open_output(output_path, resume=resume, intensities=intensities)
    except (OutputError, OSError) as exc:
        if client is not None:
            client.close()
        raise click.UsageError(str(exc)) from None

    from .batch.pool import quiet_rdkit

    quiet_rdkit()  # parse failures are in the error records
    done = writer.done_ids
    items = open_input(input_path, smiles_column, id_column, id_property)
    if done:
        items = ((i, s) for i, s in items if i not in done)
    records = analyze_many(items, jobs=jobs, client=client, ring=ring, recursive=recursive, generations=generations,
                           timeout=timeout, chunk_size=chunk_size, intensities=intensities)
    bar = _progress(quiet, lambda: max(0, (count_records(input_path) or 0) - len(done)) or None)
    written = failed = 0
    interrupted = False
    try:
        with contextlib.closing(records):
            for rec in records:
                writer.write(rec)
                written += 1
                if rec.get("error"):
                    failed += 1
                    if bar is None and not quiet:
                        click.echo(f"error: {rec['id']}: {rec['error']}", err=True)
                if bar is not None:
                    bar.update(1)
                    if failed:
                        bar.set_postfix(failed=failed, refresh=False)
    except KeyboardInterrupt:
        interrupted = True
    except Exception as exc:  # noqa: BLE001 - e.g. a corrupt compressed input: keep what is written
        click.echo(f"error: the run stopped: {type(exc).__name__}: {exc}", err=True)
        failed += 1
    finally:
        if bar is not None:
            bar.close()
        writer.close()
        if client is not None:
            client.close()
    if not quiet:
        skipped = f", {len(done)} already in {output_path}" if done else ""
        click.echo(f"{written} records written to {output_path} ({failed} failed{skipped})"
                   + ("; interrupted, continue with --resume" if interrupted else ""), err=True)
    if interrupted:
        sys.exit(EXIT_INTERRUPTED)
    sys.exit(EXIT_FAILED if failed else 0)


def _add_scoring():
    from .score.cli import score

    main.add_command(score)


_add_scoring()

if __name__ == "__main__":
    main()
