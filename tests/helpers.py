"""Small helpers shared by the test modules."""

import os
import signal
import struct
import subprocess
import sys
from pathlib import Path


import trelvanoxa

SRC = Path(trelvanoxa.__file__).resolve().parents[1]
DATA = Path(__file__).resolve().parent / "data"
# (SMILES, name) rows of the test molecules shipped with the suite
MOLECULES = [tuple(part.strip() for part in line.split("\t", 1))
             for line in (DATA / "molecules.smi").read_text("utf-8").splitlines()
             if line.strip() and not line.startswith("#")]


def prepare(smiles):
    """The molecule an analysis works on, prepared as the analysis prepares it."""
    return trelvanoxa._core._prepare_molecule(smiles)


def invoke(*args, **kwargs):
    """The trelvanoxa command run in this process (click's runner), arguments as text."""
    from click.testing import CliRunner

    from trelvanoxa.cli import main

    return CliRunner().invoke(main, [str(a) for a in args], **kwargs)


def triple(lpi):
    return (lpi["n+"], lpi["n0"], lpi["n-"])


def analyse(smiles, **kwargs):
    return trelvanoxa.VIF(smiles, draw=False, verbose=False, **kwargs)


def png_size(path):
    """(width, height) of a PNG file, after checking its signature."""
    head = Path(path).read_bytes()[:24]
    assert head[:8] == b"\x89PNG\r\n\x1a\n" and head[12:16] == b"IHDR"
    return struct.unpack(">II", head[16:24])


def run_python(args, keep_backend=True, env=None, **kwargs):
    """A child interpreter that imports the package from the source tree (Agg unless keep_backend is false);
    env adds variables to the inherited environment."""
    full = {k: v for k, v in os.environ.items() if k != "MPLBACKEND"}
    full.update({"PYTHONPATH": str(SRC)}, **({"MPLBACKEND": "Agg"} if keep_backend else {}), **(env or {}))
    return subprocess.run([sys.executable, *args], capture_output=True, text=True, env=full, timeout=600, **kwargs)


def default_sigint():
    """Popen preexec_fn: the child answers Ctrl-C even when the suite itself runs with SIGINT ignored (as
    a background job of a non-interactive shell is started), since Python only installs its handler for a
    signal that is not ignored at start-up."""
    signal.signal(signal.SIGINT, signal.SIG_DFL)
