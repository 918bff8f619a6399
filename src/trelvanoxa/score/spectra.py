"""Measured spectra with their structures, read from MSP files through matchms."""

import logging
import re

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


def read_records(path):
    """Records of an MSP file: dicts with ``index`` (0-based, in file order), ``name``, ``smiles`` (from
    the SMILES field, else from the InChI field; None when there is none), ``group`` (first word of
    COMMENT), ``peaks`` ((m/z, intensity) pairs) and ``problem`` (why the record cannot be scored, or
    None).  Records that declare no peaks come last, with their problem set."""
    from matchms.importing import load_from_msp

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
