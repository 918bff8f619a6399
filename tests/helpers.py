"""Small helpers shared by the test modules."""

import os
import struct
import subprocess
import sys
from pathlib import Path

from rdkit import Chem

import trelvanoxa

SRC = Path(trelvanoxa.__file__).resolve().parents[1]


def _read_molecules():
    for base in (Path(__file__).resolve().parents[2] / "shared", Path("/work/shared")):
        path = base / "data" / "molecules.smi"
        if path.is_file():
            return [tuple(part.strip() for part in line.split("\t", 1))
                    for line in path.read_text(encoding="utf-8").splitlines()
                    if line.strip() and not line.startswith("#")]
    return []


MOLECULES = _read_molecules()  # (SMILES, name) rows


def prepare(smiles):
    """The molecule an analysis works on: unsanitised parse, kekulized, explicit hydrogens."""
    mol = Chem.MolFromSmiles(smiles, sanitize=False)
    mol.UpdatePropertyCache(strict=False)
    try:
        Chem.SetAromaticity(mol)
        Chem.Kekulize(mol, clearAromaticFlags=True)
    except Exception:
        pass
    return Chem.AddHs(mol)


def triple(lpi):
    return (lpi["n+"], lpi["n0"], lpi["n-"])


def analyse(smiles, **kwargs):
    return trelvanoxa.VIF(smiles, draw=False, verbose=False, **kwargs)


def png_size(path):
    """(width, height) of a PNG file, after checking its signature."""
    with open(path, "rb") as fh:
        head = fh.read(24)
    assert head[:8] == b"\x89PNG\r\n\x1a\n" and head[12:16] == b"IHDR"
    return struct.unpack(">II", head[16:24])


def run_python(args, keep_backend=True, **kwargs):
    """Run a child interpreter that imports the package from the source tree."""
    env = {k: v for k, v in os.environ.items() if k != "MPLBACKEND"}
    env["PYTHONPATH"] = str(SRC)
    if keep_backend:
        env["MPLBACKEND"] = "Agg"
    return subprocess.run([sys.executable, *args], capture_output=True, text=True, env=env, timeout=600, **kwargs)
