"""The VIF driver: printed report, result record, bad input and interruption."""

import os
import re
import signal
import subprocess
import sys
import threading

import matplotlib.pyplot as plt
import mendeleev
import networkx as nx
import numpy as np
import pytest

import trelvanoxa
from helpers import SRC, analyse, default_sigint, prepare, triple

ASPIRIN = "CC(=O)OC1=CC=CC=C1C(=O)O"
UNREADABLE = "SMILES okunamadı!"
KEYS_9 = ["lpi", "soft_bonds", "fragments", "graph", "chem_bonds", "atom_subgraphs", "pos", "mol_mass", "mol_mass_avg"]
KEYS_14 = KEYS_9[:3] + ["real_fragments", "single_fragments", "ringcut_fragments", "ring_soft_bonds",
                        "recursive_peaks"] + KEYS_9[3:]
NONE = ["      Soft bonds: none (all bonds essential → stable M+ dominates)",
        "      No real fragments → M+ dominates, single peak"]
EIGEN = object()  # stands for the eigenvalues of the record's own graph: numpy rounding, shortest repr


@pytest.mark.parametrize("smiles,kwargs,expected", [
    # O: K4 of sigma nodes (weight 1), each H on its own O node (0.9); no link is soft.
    ("O", {}, ["[VIF] O", "      Molecular mass M = 18.02 g/mol (avg)  (M+ peak m/z = 18 nominal)",
               "      LPI = {n+=3, n0=0, n-=3}  (6 orbitals total)",
               "      Eigenvalues: [-1.53, -1.328, -1.0, 0.195, 0.53, 3.133]"] + NONE),
    # C0, N1, H2..H4 on C, H5 and H6 on N: every bond is soft
    ("CN", {}, ["[VIF] CN", "      Molecular mass M = 31.06 g/mol (avg)  (M+ peak m/z = 31 nominal)",
                "      LPI = {n+=6, n0=1, n-=6}  (13 orbitals total)", EIGEN,
                "      Soft bonds: 6  (6 single-cut fragment(s) + 0 ring bond(s))",
                "      Single-cut MS fragments (m/z):",
                "        if C0-N1 cleaves:  H2N (m/z=16)  +  CH3 (m/z=15)"] + [
        f"        if {b} cleaves:  CH4N (m/z=30)  +  H (m/z=1)" for b in ("C0-H2", "C0-H3", "C0-H4", "N1-H5", "N1-H6")
    ] + ["      Expected peak m/z list: [30, 16, 15, 1]"]),
    # C0 C1(=O2) O3 C4..C9 ring C10(=O11) O12.  12 soft links: the four single bonds cut below, six ring
    # bonds, and both C=O links, which give no record because they would leave a lone oxygen.
    (ASPIRIN, {}, ["[VIF] " + ASPIRIN, "      Molecular mass M = 180.16 g/mol (avg)  (M+ peak m/z = 180 nominal)",
                   "      LPI = {n+=26, n0=0, n-=34}  (60 orbitals total)", EIGEN,
                   "      Soft bonds: 12  (4 single-cut fragment(s) + 6 ring bond(s))",
                   "      Single-cut MS fragments (m/z):",
                   "        if C1-O3 cleaves:  C7H5O3 (m/z=137)  +  C2H3O (m/z=43)",
                   "        if O3-C4 cleaves:  C7H5O2 (m/z=121)  +  C2H3O2 (m/z=59)",
                   "        if C9-C10 cleaves:  C8H7O2 (m/z=135)  +  CHO2 (m/z=45)",
                   "        if C10-O12 cleaves:  C9H7O3 (m/z=163)  +  HO (m/z=17)",
                   "      Expected peak m/z list: [163, 137, 135, 121, 59, 45, 43, 17]"]),
    # every ring link soft; only opposite bonds leave two pieces >= 30 (C3H3 + C3H3), first C0-C1 with C3-C4
    ("c1ccccc1", {"ring_fragmentation": True}, [
        "[VIF] c1ccccc1", "      Molecular mass M = 78.11 g/mol (avg)  (M+ peak m/z = 78 nominal)",
        "      LPI = {n+=15, n0=0, n-=15}  (30 orbitals total)", EIGEN,
        "      Soft bonds: 6  (0 single-cut fragment(s) + 6 ring bond(s))",
        "      Ring double-cut fragments (1 possible cleavages — not all may be observed):",
        "        C0-C1 + C3-C4:  C3H3 (m/z=39)  +  C3H3 (m/z=39)", "      Expected peak m/z list: [39]", NONE[1]]),
    ("Clc1ccccc1", {"recursive_ms": True, "max_generations": 0}, [
        "[VIF] Clc1ccccc1", "      Molecular mass M = 112.56 g/mol (avg)  (M+ peak m/z = 112 nominal)",
        "      LPI = {n+=15, n0=0, n-=18}  (33 orbitals total)", EIGEN,
        "      Soft bonds: 7  (1 single-cut fragment(s) + 6 ring bond(s))", "      Single-cut MS fragments (m/z):",
        "        if Cl0-C1 cleaves:  C6H5 (m/z=77)  +  Cl (m/z=35)", "      Expected peak m/z list: [77, 35]",
        "      Multi-generation MS (0 generations, 1 peaks):", "        m/z list: [112]"]),
])
def test_hand_written_reports(capsys, smiles, kwargs, expected):
    capsys.readouterr()
    rec = trelvanoxa.VIF(smiles, draw=False, **kwargs)
    out = capsys.readouterr().out
    values = np.round(np.linalg.eigvalsh(nx.to_numpy_array(rec["graph"])), 3)
    eigen = "      Eigenvalues: [" + ", ".join(repr(float(v)) for v in values) + "]"
    assert out == "\n".join(eigen if line is EIGEN else line for line in expected) + "\n"


def test_generations_in_the_record():
    # benzene generation 1 (pieces of average mass >= 25): C4H4 + C2H2 and C3H3 + C3H3; CH (13.02) is too light.
    # Ring double cuts are always on for the generations, whatever ring_fragmentation says.
    rec, again = analyse("c1ccccc1", recursive_ms=True), analyse("c1ccccc1", recursive_ms=True, ring_fragmentation=True)
    assert rec["ringcut_fragments"] == [] and list(rec["recursive_peaks"].items()) == list(
        again["recursive_peaks"].items())
    assert {mz for mz, p in rec["recursive_peaks"].items() if p["generation"] == 1} == {52, 39, 26}
    peaks = analyse("Clc1ccccc1", recursive_ms=True, max_generations=1)["recursive_peaks"]
    assert {p["generation"] for p in peaks.values()} == {0, 1} and peaks[77] == {"formula": "C6H5", "generation": 1}


def test_quiet_and_drawn_runs(capfd):
    capfd.readouterr()
    off, on = [trelvanoxa.VIF("Clc1ccccc1", verbose=False, **kw) for kw in ({"draw": False}, {})]
    assert capfd.readouterr().out == "" and plt.get_fignums() == []  # drawn, shown, closed (Agg)
    assert list(off) == KEYS_14 and list(on) == KEYS_9 and all(on[k] == off[k] for k in KEYS_9[1:3] + KEYS_9[4:6])
    trelvanoxa.VIF("Clc1ccccc1")
    trelvanoxa.VIF("Clc1ccccc1", draw=False)
    drawn, plain = capfd.readouterr().out.split("[VIF] ")[1:]
    assert drawn == plain


@pytest.mark.parametrize("value,outcome", [
    (b"CCO", TypeError), ("*C", ValueError), ("C\x00C", UNREADABLE), ("C(" * 2500, UNREADABLE),
])
def test_bad_input(capfd, value, outcome):
    capfd.readouterr()
    if outcome == UNREADABLE:
        result = trelvanoxa.VIF(value, draw=True, verbose=True)
        assert type(result) is str and result == UNREADABLE
    else:
        with pytest.raises(outcome) as err:
            trelvanoxa.VIF(value, draw=True, verbose=True)
        if outcome is ValueError:  # the element database's own error for the dummy atom
            with pytest.raises(ValueError, match=re.escape(str(err.value))):
                mendeleev.element("*")
    assert capfd.readouterr().out == "" and plt.get_fignums() == []
    assert triple(analyse("O")["lpi"]) == (3, 0, 3)  # the interpreter is still usable


# Interruption runs in a child interpreter.  The child uses the one-eigenproblem-per-link pass, which takes
# seconds for C100, so the interrupt surely lands inside it; its output goes through a tap that starts the
# timer once line 4 is out.  Afterwards it analyses methanol ({6, 0, 6}): the interpreter is still usable.
CHILD = """
import _thread, json, sys, threading, trelvanoxa
trelvanoxa._core._set_fast_soft_pass(False)
class Tap:
    lines = 0
    def write(self, s):
        sys.__stdout__.write(s)
        sys.__stdout__.flush()
        self.lines += s.count("\\n")
        if self.lines >= 4 and sys.argv[1] == "timer" and not hasattr(self, "timer"):
            self.timer = threading.Timer(0.2, _thread.interrupt_main)
            self.timer.start()
    def flush(self):
        pass
sys.stdout = Tap()
try:
    trelvanoxa.VIF("C" * 100, draw=False, verbose=True)
    outcome = "finished"
except KeyboardInterrupt:
    outcome = "interrupted"
sys.stdout = sys.__stdout__
lpi = trelvanoxa.VIF("CO", draw=False, verbose=False)["lpi"]
print("RESULT", json.dumps([outcome, lpi["n+"], lpi["n0"], lpi["n-"]]))
"""


@pytest.mark.parametrize("mode", ["timer", "sigint"])
def test_interrupt_during_soft_bond_pass(mode):
    # timer: a thread calls interrupt_main, so the native pass must let other threads run;
    # sigint: a real Ctrl-C as soon as line 4 has been read
    proc = subprocess.Popen([sys.executable, "-u", "-c", CHILD, mode], env=dict(os.environ, PYTHONPATH=str(SRC),
                            MPLBACKEND="Agg"), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            preexec_fn=default_sigint)
    watchdog = threading.Timer(600, proc.kill)
    watchdog.start()
    try:
        head = [proc.stdout.readline() for _ in range(4)]
        if mode == "sigint":
            proc.send_signal(signal.SIGINT)
        rest, err = proc.communicate()
    finally:
        watchdog.cancel()
    assert proc.returncode == 0 and rest == 'RESULT ["interrupted", 6, 0, 6]\n', err[-3000:]  # nothing after line 4
    mass = sum(a.GetMass() for a in prepare("C" * 100).GetAtoms())  # 100 C of 4 nodes, 202 H of one
    assert head[:2] == ["[VIF] " + "C" * 100 + "\n", "      Molecular mass M = %.2f g/mol (avg)  (M+ peak m/z = 1402"
                        " nominal)\n" % mass]
    assert head[2].startswith("      LPI = {n+=") and head[2].endswith("}  (602 orbitals total)\n")
    assert head[3].startswith("      Eigenvalues: [") and head[3].endswith("]\n") and head[3].count(", ") == 601
