"""Output writers for compact records: JSON lines, MSP spectra and Parquet.

Every writer leaves OUTPUT readable at any moment a run may stop: JSONL and MSP write each record
with one write call on an unbuffered file, Parquet writes row groups and finalises the file when
closed (including on Ctrl-C).  With `resume`, the records already in OUTPUT are kept (an incomplete
trailing record is cut away first) and their ids are reported through `done_ids`.
"""

import json
import os

from .engine import RECORD_KEYS


class OutputError(Exception):
    """OUTPUT cannot be written or resumed."""


def output_format(path):
    name = str(path).lower()
    for ext in ("jsonl", "msp", "parquet"):
        if name.endswith("." + ext):
            return ext
    raise OutputError(f"cannot tell the format of {path!s}: use .jsonl, .msp or .parquet")


def _write_all(fd, data):
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]


class _AppendWriter:
    """One write per record on an unbuffered file.  Resuming reads the file once, streaming:
    `scan(lines)` yields (end offset, ids) after each complete record; whatever follows the last
    complete record is cut away."""

    def __init__(self, path, resume):
        self.path = path
        self.done_ids = set()
        if resume and os.path.exists(path):
            keep = 0
            with open(path, "rb") as f:
                for keep, ids in self.scan(f):
                    self.done_ids.update(ids)
            if keep < os.path.getsize(path):
                os.truncate(path, keep)
            self.fd = os.open(path, os.O_WRONLY | os.O_APPEND)
        else:
            self.fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o666)

    def write(self, record):
        data = self.render(record)
        if data:
            _write_all(self.fd, data)

    def close(self):
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None


class JsonlWriter(_AppendWriter):
    @staticmethod
    def scan(lines):
        offset = 0
        for line in lines:
            if not line.endswith(b"\n"):
                return  # torn last line
            try:
                ident = json.loads(line)["id"]
            except (ValueError, KeyError, TypeError):
                return
            offset += len(line)
            yield offset, (ident,)

    @staticmethod
    def render(record):
        rec = {k: record[k] for k in RECORD_KEYS + ("intensities",) if k in record}
        return (json.dumps(rec, ensure_ascii=False, separators=(",", ":")) + "\n").encode("utf-8")


def _msp_value(value):
    return " ".join(str(value).split())  # one line, whatever the text holds


class MspWriter(_AppendWriter):
    """NIST-style MSP text, one entry per successful record, entries separated by a blank line.
    Error records get no entry (a spectrum needs peaks); they are in the run summary."""

    @staticmethod
    def scan(lines):
        offset, name = 0, None
        for line in lines:
            offset += len(line)
            if line.startswith(b"NAME: "):
                name = line[6:].decode("utf-8", errors="replace").strip()
            elif line == b"\n":  # an entry is complete once its blank line is there
                yield offset, ([name] if name is not None else [])
                name = None

    @staticmethod
    def render(record):
        if record.get("error"):
            return b""
        from .spectra import spectrum_metadata

        meta, peaks = spectrum_metadata(record)
        lines = [f"NAME: {_msp_value(meta.pop('compound_name'))}"]
        lines += [f"{key.upper()}: {_msp_value(value)}" for key, value in meta.items()]
        lines.append(f"Num Peaks: {len(peaks)}")
        lines += [f'{mz}\t{intensity:g}\t"{label}"' if label else f"{mz}\t{intensity:g}" for mz, intensity, label in peaks]
        return ("\n".join(lines) + "\n\n").encode("utf-8")


def parquet_schema(intensities=False):
    import pyarrow as pa

    triple = pa.struct([("formula", pa.string()), ("mass", pa.float64()), ("mz", pa.int64())])
    return pa.schema([
        ("id", pa.string()), ("smiles", pa.string()), ("lpi", pa.list_(pa.int64())),
        ("soft_bonds", pa.list_(pa.string())),
        ("fragments", pa.list_(pa.struct([("bond", pa.string()), ("split", pa.bool_()), ("mode", pa.string()),
                                          ("fragments", pa.list_(triple))]))),
        ("peaks", pa.list_(pa.struct([("mz", pa.int64()), ("formula", pa.string()), ("generation", pa.int64())]))),
        ("mol_mass", pa.int64()), ("mol_mass_avg", pa.float64()), ("error", pa.string()),
    ] + ([("intensities", pa.list_(pa.struct([("mz", pa.int64()), ("intensity", pa.float64())])))]
         if intensities else []))


def _parquet_row(record, intensities=False):
    row = {k: record.get(k) for k in RECORD_KEYS}
    if intensities:
        row["intensities"] = None if record.get("intensities") is None else [
            {"mz": mz, "intensity": i} for mz, i in record["intensities"]]
    if row["fragments"] is not None:
        row["fragments"] = [dict(f, fragments=None if f["fragments"] is None else
                                 [{"formula": a, "mass": b, "mz": c} for a, b, c in f["fragments"]])
                            for f in row["fragments"]]
    return row


def parquet_record(row):
    """A compact record back from a Parquet row (a dict from pyarrow's to_pylist)."""
    rec = dict(row)
    if rec.get("intensities") is not None:
        rec["intensities"] = [[p["mz"], p["intensity"]] for p in rec["intensities"]]
    elif "intensities" in rec:
        del rec["intensities"]
    if rec.get("fragments") is not None:
        rec["fragments"] = [dict(f, fragments=None if f["fragments"] is None else
                                 [[t["formula"], t["mass"], t["mz"]] for t in f["fragments"]])
                            for f in rec["fragments"]]
    if rec.get("error") is not None:
        rec = {k: v for k, v in rec.items() if k in ("id", "smiles", "error")}
    return rec


class ParquetWriter:
    """Row groups of `row_group` records; written to OUTPUT.partial and renamed over OUTPUT when
    closed, so OUTPUT is always a finalised file.  Resuming copies the existing row groups first."""

    def __init__(self, path, resume, row_group=2048, intensities=False):
        try:
            import pyarrow as pa
            import pyarrow.parquet as pq
        except ImportError as exc:
            raise OutputError("Parquet output needs pyarrow: pip install 'trelvanoxa[parquet]'") from exc
        self.pa, self.path, self.row_group = pa, path, row_group
        self.intensities = bool(intensities)
        self.schema = parquet_schema(self.intensities)
        self.tmp = str(path) + ".partial"
        self.rows, self.done_ids = [], set()
        self.writer = pq.ParquetWriter(self.tmp, self.schema)
        if resume and os.path.exists(path):
            try:
                old = pq.ParquetFile(path)
                for batch in old.iter_batches():
                    table = pa.Table.from_batches([batch]).select(self.schema.names).cast(self.schema)
                    self.writer.write_table(table)
                    self.done_ids.update(table.column("id").to_pylist())
            except Exception as exc:  # noqa: BLE001
                self.writer.close()
                os.unlink(self.tmp)
                raise OutputError(f"cannot resume {path}: it is not a readable Parquet file ({exc})") from exc

    def write(self, record):
        self.rows.append(_parquet_row(record, self.intensities))
        if len(self.rows) >= self.row_group:
            self.flush()

    def flush(self):
        if self.rows:
            self.writer.write_table(self.pa.Table.from_pylist(self.rows, schema=self.schema))
            self.rows = []

    def close(self):
        if self.writer is None:
            return
        try:
            self.flush()
        finally:
            self.writer.close()
            self.writer = None
            os.replace(self.tmp, self.path)


def open_output(path, resume=False, intensities=False):
    """The writer for OUTPUT's format; with `intensities` Parquet gets an "intensities" column too
    (JSONL and MSP write a record's "intensities" whenever it has them)."""
    fmt = output_format(path)
    if fmt == "jsonl":
        return JsonlWriter(path, resume)
    if fmt == "msp":
        return MspWriter(path, resume)
    return ParquetWriter(path, resume, intensities=intensities)
