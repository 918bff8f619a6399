"""Measured spectra with their structures, read from MSP files through matchms."""

import logging
import math
import os
import re
import tempfile
import warnings

from .._imports import import_whole

_GROUP = re.compile(r"\s*([A-Za-z0-9_]+)")
_NUM_PEAKS = re.compile(r"\s*num\s+peaks\s*:\s*0*(\d*)\s*$", re.IGNORECASE)
_NAME = re.compile(r"\s*(?:name|compound_name)\s*:\s*(.*?)\s*$", re.IGNORECASE)


def group_of(comment):
    """First word (letters, digits, underscores) of a COMMENT, or None."""
    match = _GROUP.match(comment) if isinstance(comment, str) else None
    return match.group(1) if match else None


def structure_smiles(smiles=None, inchi=None):
    """SMILES of the structure given by a SMILES text or else an InChI; None when neither is usable.

    A SMILES text is returned as it is (the analysis reads it); an InChI is converted through RDKit."""
    if isinstance(smiles, str) and smiles.strip():
        return smiles.strip()
    if isinstance(inchi, str) and inchi.strip():
        from rdkit import Chem, RDLogger

        RDLogger.DisableLog("rdApp.*")
        try:
            mol = Chem.MolFromInchi(inchi.strip())
        finally:
            RDLogger.EnableLog("rdApp.*")
        if mol is not None and mol.GetNumAtoms():
            return Chem.MolToSmiles(mol)
    return None


def _empty_records(path):
    """Names of the records that declare no peaks.  matchms yields no spectrum for them (their metadata
    lines run on into the next record), so they are found here to be reported."""
    names, name = [], None
    with open(path, encoding="utf-8", errors="ignore") as f:
        for line in f:
            if m := _NAME.match(line):
                name = m.group(1)
            elif (m := _NUM_PEAKS.match(line)) and m.group(1) in ("", "0"):
                names.append(name)
                name = None
    return names


def _peak_pairs(line):
    """The (m/z, intensity) texts of one peak line ("53 18", "53\t18\t\"C4H5\"", "53 18; 54 16"), or None
    when the line is not peaks."""
    pairs = []
    for chunk in line.split(";"):
        words = re.split(r"[\s,:]+", chunk.split('"')[0].strip())
        if words == [""]:
            continue
        if len(words) < 2:
            return None
        pairs.append((words[0], words[1]))
    return pairs


def _number(text):
    try:
        return float(text)
    except ValueError:
        return None


def _check_record(block, ordinal, notes):
    """One record's lines [(line number, text)] checked before matchms reads them: a peak that is not a
    finite number is left out (with a note); a record whose peaks cannot be read or whose peak count is not
    the one it declares is refused.  Returns (lines to keep, None) or (None, why it is refused)."""
    name = next((m.group(1) for _, text in block if (m := _NAME.match(text))), None)
    where = f"record {ordinal} ({name or 'unnamed'})"
    at = next((i for i, (_, text) in enumerate(block) if _NUM_PEAKS.match(text)), None)
    if at is None:
        return block, None
    declared = int(_NUM_PEAKS.match(block[at][1]).group(1) or 0)
    kept, found, dropped = block[: at + 1], 0, 0
    for number, text in block[at + 1:]:
        pairs = _peak_pairs(text)
        if pairs is None or any(_number(mz) is None or _number(i) is None for mz, i in pairs):
            return None, f"line {number}: {text.strip()[:60]!r} is not a peak (m/z and intensity)"
        found += len(pairs)
        finite = [(mz, i) for mz, i in pairs if math.isfinite(_number(mz)) and math.isfinite(_number(i))]
        if len(finite) < len(pairs):
            bad = "; ".join(f"{mz} {i}" for mz, i in pairs if (mz, i) not in finite)
            notes.append(f"{where}, line {number}: peak {bad!r} is not a finite number; left out")
            dropped += len(pairs) - len(finite)
            text = "; ".join(f"{mz}\t{i}" for mz, i in finite) + "\n" if finite else None
        if text is not None:
            kept.append((number, text))
    if found != declared:
        first, last = block[at][0] + 1, block[-1][0]
        return None, (f"line {block[at][0]}: {declared} peaks declared but {found} follow"
                      + (f" (lines {first}-{last})" if found else ""))
    if not dropped:
        return block, None
    kept[at] = (block[at][0], f"Num Peaks: {declared - dropped}\n")  # the count follows the peaks left out
    return kept, None


def _checked_copy(path, notes):
    """(path matchms should read, refused records as (ordinal, name, why)).  When every record is sound
    that is the file itself; otherwise a temporary copy without the refused records and the peaks left
    out, which the caller removes."""
    blocks, block = [], []
    with open(path, encoding="utf-8", errors="replace") as f:
        for number, text in enumerate(f, 1):
            if text.strip():
                block.append((number, text if text.endswith("\n") else text + "\n"))
            elif block:
                blocks.append(block)
                block = []
    if block:
        blocks.append(block)
    kept, refused, changed = [], [], False
    for ordinal, block in enumerate(blocks, 1):
        lines, why = _check_record(block, ordinal, notes)
        if why is not None:
            name = next((m.group(1) for _, text in block if (m := _NAME.match(text))), None)
            refused.append((ordinal, name, why))
        changed |= lines is not block
        if lines is not None:
            kept.append(lines)
    if not changed:
        return str(path), []
    fd, copy = tempfile.mkstemp(suffix=".msp", prefix=".score-")
    with os.fdopen(fd, "w", encoding="utf-8") as out:
        out.write("\n".join("".join(text for _, text in lines) for lines in kept))
    return copy, refused


def read_records(path, warn=None):
    """Records of an MSP file: dicts with ``index`` (0-based, in file order), ``name``, ``smiles`` (from
    the SMILES field, else from the InChI field; None when there is none), ``group`` (first word of
    COMMENT), ``peaks`` ((m/z, intensity) pairs) and ``problem`` (why the record cannot be scored, or
    None).  Records that declare no peaks come last, with their problem set, and after them the records
    whose peaks cannot be read or do not match their declared count (the problem names the record and
    the line).  A peak that is not a finite number is left out of its record; ``warn`` (default
    ``warnings.warn``) is called with a message naming the record and the line."""
    notes = []
    source, refused = _checked_copy(path, notes)
    for note in notes:
        (warn or warnings.warn)(note)
    try:
        records = _read_checked(source)
    finally:
        if source != str(path):
            os.unlink(source)
    for ordinal, name, why in refused:
        records.append({"index": len(records), "name": name, "smiles": None, "group": None, "peaks": [],
                        "problem": f"record {ordinal} in the file, {why}"})
    return records


def _read_checked(path):
    load_from_msp = import_whole("matchms.importing").load_from_msp

    # Harmonisation warns for every spectrum about the precursor m/z, which EI spectra do not have.
    logger = logging.getLogger("matchms")
    level = logger.level
    logger.setLevel(logging.ERROR)
    try:
        spectra = list(load_from_msp(str(path), metadata_harmonization=True))
    finally:
        logger.setLevel(level)
    records = []
    for index, spectrum in enumerate(spectra):
        smiles = structure_smiles(spectrum.get("smiles"), spectrum.get("inchi"))
        peaks = list(zip(spectrum.peaks.mz.tolist(), spectrum.peaks.intensities.tolist()))
        problem = None
        if smiles is None:
            problem = "no structure (no SMILES or readable InChI)"
        elif not peaks:
            problem = "no peaks"
        records.append({"index": index, "name": spectrum.get("compound_name"), "smiles": smiles,
                        "group": group_of(spectrum.get("comment")), "peaks": peaks, "problem": problem})
    for name in _empty_records(path):
        records.append({"index": len(records), "name": name, "smiles": None, "group": None, "peaks": [],
                        "problem": "no peaks"})
    return records
