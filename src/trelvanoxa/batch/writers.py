"""Output writers for compact records: JSON lines, MSP spectra and Parquet.

Every writer leaves OUTPUT readable at any moment a run may stop: JSONL and MSP write each record
with one write call, and a write that fails (a full disk) is cut back to the end of the last
complete record before the error is raised; Parquet writes OUTPUT.partial and renames it over
OUTPUT only once it is finalised (also on Ctrl-C), so a failed write leaves OUTPUT as it was.
A run holds an exclusive lock on the file it writes, so a second run on the same OUTPUT is
refused.  With `resume`, the records already in OUTPUT are kept and their (id, SMILES) keys
counted in `done` (`writer.key` gives an input item's key); a torn last record is cut away and
said so in `notes`; anything else that is not a complete record refuses the resume, leaving the
file untouched.
"""

import collections
import fcntl
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


def _open_locked(path):
    """A read-write descriptor of path (created if missing, never truncated here), exclusively locked."""
    fd = os.open(path, os.O_RDWR | os.O_CREAT, 0o666)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        os.close(fd)
        raise OutputError(f"{path} is being written by another run") from None
    except BaseException:
        os.close(fd)
        raise
    return fd


def _smiles_text(smiles):
    return smiles if isinstance(smiles, str) else ""  # unreadable input records are written with ""


class _Resumed:
    """What a resume found in OUTPUT: keys of the complete records and notes for the user."""

    def __init__(self):
        self.done = collections.Counter()
        self.notes = []

    def add(self, key):
        self.done[key] += 1

    def duplicate_note(self, path):
        twice = [k[0] for k, n in self.done.items() if n > 1]
        if twice:
            shown = ", ".join(repr(i) for i in twice[:5]) + (", ..." if len(twice) > 5 else "")
            self.notes.append(f"{len(twice)} ids appear more than once in {path} ({shown}); each record is "
                              "matched to one molecule of INPUT with that id and SMILES")


class _AppendWriter:
    """One write per record.  Resuming reads the file once: `scan(f)` yields (end offset, key)
    after each complete record and raises OutputError at anything else but a torn end."""

    def __init__(self, path, resume):
        self.path = path
        self.fd = _open_locked(path)
        resumed = _Resumed()
        try:
            keep = 0
            size = os.fstat(self.fd).st_size
            if resume and size:
                with os.fdopen(os.dup(self.fd), "rb") as f:
                    for keep, key in self.scan(f):
                        resumed.add(key)
                if keep < size:
                    resumed.notes.append(f"cut the last {size - keep} bytes of {path}: an incomplete record "
                                         "(the end of an interrupted write)")
                resumed.duplicate_note(path)
            os.ftruncate(self.fd, keep)
            os.lseek(self.fd, keep, os.SEEK_SET)
        except BaseException:
            os.close(self.fd)
            raise
        self.size, self.count = keep, sum(resumed.done.values())
        self.done, self.notes = resumed.done, resumed.notes

    def write(self, record):
        data = self.render(record)
        if not data:
            return
        try:
            _write_all(self.fd, data)
        except OSError as exc:
            try:
                os.ftruncate(self.fd, self.size)  # no torn record left behind
                os.lseek(self.fd, self.size, os.SEEK_SET)
            except OSError:
                pass
            raise OutputError(f"cannot write to {self.path}: {exc.strerror or exc}; it holds the "
                              f"{self.count} complete records written before") from None
        self.size += len(data)
        self.count += 1

    def close(self):
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None


class JsonlWriter(_AppendWriter):
    @staticmethod
    def key(ident, smiles):
        return ident, _smiles_text(smiles)

    def scan(self, lines):
        offset = 0
        for number, line in enumerate(lines, 1):
            if not line.endswith(b"\n"):
                return  # a torn last line
            try:
                rec = json.loads(line)
                ident, smiles = rec["id"], rec["smiles"]
            except (ValueError, KeyError, TypeError):
                ident = smiles = None
            if not isinstance(ident, str) or not isinstance(smiles, str):
                raise OutputError(f"cannot resume {self.path}: line {number} is not a record of this command "
                                  "(a JSON object with a text id and smiles); nothing was changed")
            offset += len(line)
            yield offset, (ident, smiles)

    @staticmethod
    def render(record):
        rec = {k: record[k] for k in RECORD_KEYS + ("intensities",) if k in record}
        return (json.dumps(rec, ensure_ascii=False, separators=(",", ":")) + "\n").encode("utf-8")


def _msp_value(value):
    return " ".join(str(value).split())  # one line, whatever the text holds (ids are matched the same way)


class MspWriter(_AppendWriter):
    """NIST-style MSP text, one entry per successful record, entries separated by a blank line.
    Error records get no entry (a spectrum needs peaks); they are in the run summary."""

    @staticmethod
    def key(ident, smiles):
        return _msp_value(ident), _msp_value(_smiles_text(smiles))

    def scan(self, lines):
        offset, fields, first = 0, {}, 1
        for number, line in enumerate(lines, 1):
            if not line.endswith(b"\n"):
                return  # a torn last line
            offset += len(line)
            if line == b"\n":  # an entry is complete once its blank line is there
                if fields:
                    if "NAME" not in fields or "SMILES" not in fields:
                        raise OutputError(f"cannot resume {self.path}: the entry at line {first} has no NAME or "
                                          "SMILES, so it is not an entry of this command; nothing was changed")
                    yield offset, (fields["NAME"], fields["SMILES"])
                fields, first = {}, number + 1
                continue
            head, sep, value = line.decode("utf-8", errors="replace").rstrip("\n").partition(": ")
            if sep and head in ("NAME", "SMILES"):
                fields[head] = value

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
    """Row groups of `row_group` records; written to OUTPUT.partial (locked while the run lasts) and
    renamed over OUTPUT when closed, so OUTPUT is always a finalised file.  Resuming copies the
    existing row groups first; any failure removes the partial file and leaves OUTPUT as it was."""

    key = staticmethod(lambda ident, smiles: (ident, _smiles_text(smiles)))

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
        self.rows, self.count = [], 0
        resumed = _Resumed()
        self.fd = _open_locked(self.tmp)
        self.file = self.writer = None
        try:
            os.ftruncate(self.fd, 0)
            self.file = open(self.fd, "wb", closefd=False)
            self.writer = pq.ParquetWriter(self.file, self.schema)
            if resume and os.path.exists(path):
                try:
                    old = pq.ParquetFile(path)
                    batches = old.iter_batches()
                    first = next(batches, None)
                except Exception as exc:  # noqa: BLE001
                    raise OutputError(f"cannot resume {path}: it is not a readable Parquet file ({exc}); "
                                      "nothing was changed") from None
                for batch in ([first] if first is not None else []):
                    self._copy(batch, resumed)
                for batch in batches:
                    self._copy(batch, resumed)
                resumed.duplicate_note(path)
        except BaseException as exc:
            self._abort()
            if isinstance(exc, OSError):
                raise OutputError(f"cannot write {self.tmp}: {exc.strerror or exc}; {path} is left as it was") from None
            raise
        self.done, self.notes = resumed.done, resumed.notes

    def _copy(self, batch, resumed):
        table = self.pa.Table.from_batches([batch]).select(self.schema.names).cast(self.schema)
        self.writer.write_table(table)
        for ident, smiles in zip(table.column("id").to_pylist(), table.column("smiles").to_pylist()):
            resumed.add((ident, smiles or ""))
        self.count += table.num_rows

    def _abort(self):
        for thing in (self.writer, self.file):
            try:
                if thing is not None:
                    thing.close()
            except Exception:  # noqa: BLE001 - the write already failed
                pass
        self.writer = self.file = None
        if self.fd is not None:
            try:
                os.unlink(self.tmp)
            except OSError:
                pass
            os.close(self.fd)
            self.fd = None

    def _failed(self, exc):
        self._abort()
        return OutputError(f"cannot write {self.tmp}: {exc}; {self.path} is left as it was (the records of this "
                           "run are not in it)")

    def write(self, record):
        self.rows.append(_parquet_row(record, self.intensities))
        if len(self.rows) >= self.row_group:
            self.flush()

    def flush(self):
        if self.rows:
            try:
                self.writer.write_table(self.pa.Table.from_pylist(self.rows, schema=self.schema))
            except OSError as exc:
                raise self._failed(exc) from None
            self.rows = []

    def close(self):
        if self.writer is None:
            return
        self.flush()
        try:
            self.writer.close()
            self.writer = None
            self.file.close()
            self.file = None
            os.fsync(self.fd)
            os.replace(self.tmp, self.path)
        except OSError as exc:
            raise self._failed(exc) from None
        os.close(self.fd)
        self.fd = None


def open_output(path, resume=False, intensities=False):
    """The writer for OUTPUT's format; with `intensities` Parquet gets an "intensities" column too
    (JSONL and MSP write a record's "intensities" whenever it has them)."""
    fmt = output_format(path)
    if fmt == "jsonl":
        return JsonlWriter(path, resume)
    if fmt == "msp":
        return MspWriter(path, resume)
    return ParquetWriter(path, resume, intensities=intensities)
