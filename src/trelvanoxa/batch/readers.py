"""Streaming readers: every reader yields (id, smiles) pairs one at a time.

SMILES files (.smi, .txt, or "-" for standard input): the SMILES, then optionally an id, which is
the rest of the line after the first tab (or, on a line without tabs, after the first run of
spaces); so "C C<tab>name" is the SMILES "C C", refused later, never a silently shorter molecule.  Blank lines and lines starting with "#" are skipped; a line without id is named by its
line number.  Lines are split on "\\n" only, so a stray carriage return or other control character
stays inside its line and turns that molecule into an error record instead of a silent new line.
A byte-order mark at the start of a SMILES or CSV/TSV file is not part of the first line.

A record that cannot be read inside input that can (a CSV field beyond the size limit, an SDF title
that is not UTF-8, a compressed file cut short) is yielded as an `UnreadableRecord`, which becomes
an error record; input that cannot be read at all is refused by `check_input` before any work.
"""

import csv
import gzip
import io
import re
import sys

from .engine import UnreadableRecord

_BOM = b"\xef\xbb\xbf"
_SPACES = re.compile(" +")


class InputError(Exception):
    """The input cannot be read as asked (missing column, unknown format)."""


def input_format(path):
    name = str(path).lower()
    if name == "-":
        return "smi"
    for ext, fmt in ((".sdf.gz", "sdf"), (".sdf", "sdf"), (".smi", "smi"), (".smiles", "smi"), (".txt", "smi"),
                     (".csv", "csv"), (".tsv", "tsv")):
        if name.endswith(ext):
            return fmt
    raise InputError(f"cannot tell the format of {path!s}: use .smi, .txt, .csv, .tsv, .sdf, .sdf.gz or -")


def split_smiles_line(line):
    """(smiles, id or None) of one SMILES-file line (already without its line end)."""
    if "\t" in line:
        smiles, ident = line.split("\t", 1)  # tab-separated: blanks around the SMILES are not part of it
        smiles = smiles.strip(" ")
    else:
        parts = _SPACES.split(line.lstrip(" "), 1)
        smiles, ident = parts[0], (parts[1] if len(parts) > 1 else None)
    if ident is not None:
        ident = ident.strip()
    return smiles, (ident or None)


def read_smiles_lines(stream):
    """(id, smiles) pairs from a binary stream of SMILES lines."""
    for number, raw in enumerate(stream, 1):
        if number == 1 and raw.startswith(_BOM):
            raw = raw[len(_BOM):]
        line = raw.decode("utf-8", errors="replace")
        if line.endswith("\n"):
            line = line[:-1]
        if line.endswith("\r"):
            line = line[:-1]
        if not line.strip(" \t") or line.lstrip(" \t").startswith("#"):
            continue
        smiles, ident = split_smiles_line(line)
        yield (ident if ident is not None else str(number)), smiles


def read_table(stream, delimiter, smiles_column=None, id_column=None):
    """(id, smiles) pairs from a CSV/TSV text stream with a header row.  Without `smiles_column` a
    column named "smiles" (any case) is used; without `id_column` the file line number is the id."""
    reader = csv.reader(stream, delimiter=delimiter)
    header = next(reader, None)
    if header is None:
        return
    header = [h.strip() for h in header]

    def column(name, what, required):
        if name is None:
            return None
        if name in header:
            return header.index(name)
        lowered = [h.lower() for h in header]
        if name.lower() in lowered:
            return lowered.index(name.lower())
        if required:
            raise InputError(f"no {what} column {name!r} in the header {header}")
        return None

    s_col = column(smiles_column or "smiles", "SMILES", True)
    i_col = column(id_column, "id", True)
    while True:
        start = reader.line_num + 1
        try:
            row = next(reader)
        except StopIteration:
            return
        except csv.Error as exc:  # e.g. a field beyond the size limit: this row only
            yield str(start), UnreadableRecord(f"line {start} cannot be read: {exc}")
            continue
        number = reader.line_num
        if not row or not any(cell.strip() for cell in row):
            continue
        smiles = row[s_col].strip(" ") if s_col < len(row) else ""
        ident = row[i_col].strip() if i_col is not None and i_col < len(row) else ""
        yield (ident or str(number)), smiles


def read_sdf(stream, id_property=None):
    """(id, smiles) pairs from a binary SDF stream through RDKit's ForwardSDMolSupplier.  The id is
    the molecule's title (or `id_property`), else its 1-based record number.  A record RDKit cannot
    read gives an empty SMILES, hence an error record."""
    from rdkit import Chem

    supplier = iter(Chem.ForwardSDMolSupplier(stream, sanitize=False, removeHs=False))
    number = 0
    while True:
        number += 1
        try:
            mol = next(supplier)
        except StopIteration:
            return
        except Exception as exc:  # noqa: BLE001 - the stream broke (a compressed file cut short): stop here
            cause = exc.__cause__ or exc.__context__ or exc
            yield str(number), UnreadableRecord(f"the input cannot be read from record {number} on: "
                                                f"{type(cause).__name__}: {cause}")
            return
        if mol is None:
            yield str(number), ""
            continue
        name = id_property or "_Name"
        try:
            ident = mol.GetProp(name).strip() if mol.HasProp(name) else ""
        except UnicodeDecodeError:
            what = f"property {id_property!r}" if id_property else "title"
            yield str(number), UnreadableRecord(f"the {what} of record {number} is not UTF-8 text")
            continue
        try:
            mol.UpdatePropertyCache(strict=False)
            smiles = Chem.MolToSmiles(mol)
        except Exception:  # noqa: BLE001 - becomes an error record
            smiles = ""
        yield (ident or str(number)), smiles


def open_input(path, smiles_column=None, id_column=None, id_property=None):
    """(id, smiles) pairs of an input file (or "-" for SMILES lines on standard input), streamed."""
    fmt = input_format(path)
    if str(path) == "-":
        yield from read_smiles_lines(sys.stdin.buffer)
    elif fmt == "smi":
        with open(path, "rb") as f:
            yield from read_smiles_lines(f)
    elif fmt in ("csv", "tsv"):
        with open(path, encoding="utf-8-sig", errors="replace", newline="") as f:
            yield from read_table(f, "," if fmt == "csv" else "\t", smiles_column, id_column)
    else:
        opener = gzip.open if str(path).lower().endswith(".gz") else open
        with opener(path, "rb") as f:
            yield from read_sdf(f, id_property)


def check_input(path, smiles_column=None, id_column=None):
    """Raise InputError before any work when the input cannot be read at all: a missing or
    unreadable file, a .gz that is not gzip, a CSV/TSV without the asked columns."""
    fmt = input_format(path)
    if str(path) == "-":
        return
    opener = gzip.open if str(path).lower().endswith(".gz") else open
    try:
        with opener(path, "rb") as f:
            f.read(1)
    except FileNotFoundError:
        raise InputError(f"no such file: {path}") from None
    except (OSError, EOFError) as exc:
        raise InputError(f"cannot read {path}: {exc}") from None
    if fmt not in ("csv", "tsv"):
        return
    with open(path, encoding="utf-8-sig", errors="replace", newline="") as f:
        head = f.readline()
    if head:
        next(read_table(io.StringIO(head + "x\n"), "," if fmt == "csv" else "\t", smiles_column, id_column), None)


def count_records(path):
    """Roughly how many records an input file holds (for a progress bar's ETA), by one fast pass
    over its bytes: lines for SMILES files (comments included), lines less the header for tables,
    "$$$$" for SDF.  None for standard input."""
    if str(path) == "-":
        return None
    fmt = input_format(path)
    opener = gzip.open if str(path).lower().endswith(".gz") else open
    lines = ends = 0
    last = b"\n"
    try:
        with opener(path, "rb") as f:
            while True:
                block = f.read(1 << 20)
                if not block:
                    break
                lines += block.count(b"\n")
                if fmt == "sdf":
                    ends += block.count(b"$$$$")
                last = block[-1:]
    except (OSError, EOFError):  # the records it holds are reported by the run itself
        return None
    lines += last != b"\n"
    return ends if fmt == "sdf" else max(0, lines - (fmt in ("csv", "tsv")))
