"""The VIF driver: its printed report, its result record and its handling of bad input.

Expected report lines are assembled here from the report rules (fixed texts,
spacing, rounding, ordering); only the analysis results themselves (LPI
counts, eigenvalues, soft bonds, fragment lists) are taken from the record,
and those are cross-checked against RDKit, numpy and the lower-level
functions where possible.
"""

import json
import os
import signal
import subprocess
import sys
import textwrap
import threading
from pathlib import Path

import matplotlib

matplotlib.use("Agg")

import matplotlib.pyplot as plt
import networkx as nx
import numpy as np
import pytest
from rdkit import Chem

import trelvanoxa

WATER = "O"
METHYLAMINE = "CN"
ETHANOL = "CCO"
BENZENE = "c1ccccc1"
CHLOROBENZENE = "Clc1ccccc1"
ASPIRIN = "CC(=O)OC1=CC=CC=C1C(=O)O"

UNREADABLE = "SMILES okunamadı!"

DRAW_OFF_KEYS = [
    "lpi", "soft_bonds", "fragments", "real_fragments", "single_fragments",
    "ringcut_fragments", "ring_soft_bonds", "recursive_peaks", "graph",
    "chem_bonds", "atom_subgraphs", "pos", "mol_mass", "mol_mass_avg",
]
DRAW_ON_KEYS = [
    "lpi", "soft_bonds", "fragments", "graph", "chem_bonds", "atom_subgraphs",
    "pos", "mol_mass", "mol_mass_avg",
]

I6 = " " * 6
I8 = " " * 8


@pytest.fixture(autouse=True)
def _no_figures_left():
    plt.close("all")
    yield
    plt.close("all")


# ---------------------------------------------------------------------------
# Independent helpers
# ---------------------------------------------------------------------------

def prepared_mol(smiles):
    """The molecule the analysis works on: parsed unsanitised, kekulized, explicit H."""
    mol = Chem.MolFromSmiles(smiles, sanitize=False)
    mol.UpdatePropertyCache(strict=False)
    try:
        Chem.SetAromaticity(mol)
        Chem.Kekulize(mol, clearAromaticFlags=True)
    except Exception:
        pass
    return Chem.AddHs(mol)


def rdkit_masses(smiles):
    mol = prepared_mol(smiles)
    avg = 0.0
    for i in range(mol.GetNumAtoms()):
        avg += mol.GetAtomWithIdx(i).GetMass()
    table = Chem.GetPeriodicTable()
    nominal = sum(table.GetMostCommonIsotope(a.GetAtomicNum()) for a in mol.GetAtoms())
    return avg, nominal


def eigen_text(values):
    """numpy half-to-even rounding to 3 decimals, shortest repr of each double."""
    return "[" + ", ".join(repr(float(v)) for v in np.round(np.asarray(values), 3)) + "]"


def mz_text(values):
    return "[" + ", ".join(str(v) for v in sorted(set(values), reverse=True)) + "]"


def fragment_text(record):
    return "  +  ".join(f"{formula} (m/z={mz})" for formula, _avg, mz in record["fragments"])


def head_lines(smiles, rec):
    avg, nominal = rdkit_masses(smiles)
    lpi = rec["lpi"]
    total = lpi["n+"] + lpi["n0"] + lpi["n-"]
    return [
        "[VIF] " + smiles,
        I6 + "Molecular mass M = " + format(avg, ".2f") + " g/mol (avg)  (M+ peak m/z = "
        + str(nominal) + " nominal)",
        I6 + "LPI = {n+=" + str(lpi["n+"]) + ", n0=" + str(lpi["n0"]) + ", n-=" + str(lpi["n-"])
        + "}  (" + str(total) + " orbitals total)",
        I6 + "Eigenvalues: " + eigen_text(lpi["eigenvalues"]),
    ]


def tail_lines(rec, max_generations=2, recursive_peaks=None):
    frags = rec["fragments"]
    single = [f for f in frags if f["split"] and f["mode"] == "single"]
    ringcut = [f for f in frags if f["split"] and f["mode"] == "ring"]
    ring_bonds = [f for f in frags if not f["split"]]
    lines = []
    if rec["soft_bonds"]:
        lines.append(I6 + "Soft bonds: " + str(len(rec["soft_bonds"])) + "  (" + str(len(single))
                     + " single-cut fragment(s) + " + str(len(ring_bonds)) + " ring bond(s))")
    else:
        lines.append(I6 + "Soft bonds: none (all bonds essential → stable M+ dominates)")
    collected = []
    if single:
        lines.append(I6 + "Single-cut MS fragments (m/z):")
        for s in single:
            lines.append(I8 + "if " + s["bond"] + " cleaves:  " + fragment_text(s))
            collected += [t[2] for t in s["fragments"]]
    if ringcut:
        lines.append(I6 + "Ring double-cut fragments (" + str(len(ringcut))
                     + " possible cleavages — not all may be observed):")
        for s in ringcut:
            lines.append(I8 + s["bond"] + ":  " + fragment_text(s))
            collected += [t[2] for t in s["fragments"]]
    if collected:
        lines.append(I6 + "Expected peak m/z list: " + mz_text(collected))
    if not single:
        lines.append(I6 + "No real fragments → M+ dominates, single peak")
    if recursive_peaks:
        lines.append(I6 + "Multi-generation MS (" + str(max_generations) + " generations, "
                     + str(len(recursive_peaks)) + " peaks):")
        lines.append(I8 + "m/z list: " + mz_text(recursive_peaks))
    return lines


def run_report(capsys, smiles, **kwargs):
    kwargs.setdefault("draw", False)
    capsys.readouterr()
    rec = trelvanoxa.VIF(smiles, **kwargs)
    out = capsys.readouterr().out
    assert out.endswith("\n")
    return rec, out[:-1].split("\n")


def check_eigenvalues(rec):
    """The record's eigenvalues are those of the returned graph's weighted adjacency matrix."""
    ev = rec["lpi"]["eigenvalues"]
    ref = np.linalg.eigvalsh(nx.to_numpy_array(rec["graph"], weight="weight"))
    assert np.allclose(ev, ref, atol=1e-9)


# ---------------------------------------------------------------------------
# Report text
# ---------------------------------------------------------------------------

class TestWaterReport:
    EXPECTED = [
        "[VIF] O",
        "      Molecular mass M = 18.02 g/mol (avg)  (M+ peak m/z = 18 nominal)",
        "      LPI = {n+=3, n0=0, n-=3}  (6 orbitals total)",
        "      Eigenvalues: [-1.53, -1.328, -1.0, 0.195, 0.53, 3.133]",
        "      Soft bonds: none (all bonds essential → stable M+ dominates)",
        "      No real fragments → M+ dominates, single peak",
    ]

    def test_full_report(self, capsys):
        rec, lines = run_report(capsys, WATER)
        assert lines == self.EXPECTED
        assert rec["soft_bonds"] == []

    def test_eigenvalues_of_the_orbital_graph(self):
        # Oxygen: four sigma nodes forming K4 (weight 1.0); each hydrogen node
        # hangs on a different oxygen node with weight 0.9.
        a = np.zeros((6, 6))
        for i in range(4):
            for j in range(4):
                if i != j:
                    a[i, j] = 1.0
        a[0, 4] = a[4, 0] = 0.9
        a[1, 5] = a[5, 1] = 0.9
        by_hand = np.linalg.eigvalsh(a)
        assert eigen_text(by_hand) == "[-1.53, -1.328, -1.0, 0.195, 0.53, 3.133]"
        # the antisymmetric pair solves l * (l + 1) = 0.81
        roots = sorted(np.roots([1.0, 1.0, -0.81]))
        assert np.allclose([by_hand[0], by_hand[4]], roots)
        rec = trelvanoxa.VIF(WATER, draw=False, verbose=False)
        assert np.allclose(rec["lpi"]["eigenvalues"], by_hand, atol=1e-12)

    def test_eigenvalue_text_matches_numpy_rounding_of_the_graph(self, capsys):
        rec, lines = run_report(capsys, WATER)
        g = nx.to_numpy_array(rec["graph"], weight="weight")
        assert lines[3] == I6 + "Eigenvalues: " + eigen_text(np.linalg.eigvalsh(g))


class TestHandWrittenReports:
    """Reports whose fragment lines follow by hand from the soft bonds found."""

    def test_methylamine(self, capsys):
        rec, lines = run_report(capsys, METHYLAMINE)
        # every single bond of CH3-NH2 is soft; C0, N1, H2..H4 on C, H5..H6 on N
        assert [(s["atom_u"], s["atom_v"]) for s in rec["soft_bonds"]] == [
            (0, 1), (0, 2), (0, 3), (0, 4), (1, 5), (1, 6)]
        check_eigenvalues(rec)
        assert lines == [
            "[VIF] CN",
            "      Molecular mass M = 31.06 g/mol (avg)  (M+ peak m/z = 31 nominal)",
            "      LPI = {n+=6, n0=1, n-=6}  (13 orbitals total)",
            "      Eigenvalues: " + eigen_text(rec["lpi"]["eigenvalues"]),
            "      Soft bonds: 6  (6 single-cut fragment(s) + 0 ring bond(s))",
            "      Single-cut MS fragments (m/z):",
            "        if C0-N1 cleaves:  H2N (m/z=16)  +  CH3 (m/z=15)",
            "        if C0-H2 cleaves:  CH4N (m/z=30)  +  H (m/z=1)",
            "        if C0-H3 cleaves:  CH4N (m/z=30)  +  H (m/z=1)",
            "        if C0-H4 cleaves:  CH4N (m/z=30)  +  H (m/z=1)",
            "        if N1-H5 cleaves:  CH4N (m/z=30)  +  H (m/z=1)",
            "        if N1-H6 cleaves:  CH4N (m/z=30)  +  H (m/z=1)",
            "      Expected peak m/z list: [30, 16, 15, 1]",
        ]
        # the zero eigenvalue sits inside the zero band
        assert "0.0" in lines[3][len(I6 + "Eigenvalues: ["):-1].split(", ")

    def test_benzene(self, capsys):
        rec, lines = run_report(capsys, BENZENE)
        soft_pairs = [tuple(sorted((s["atom_u"], s["atom_v"]))) for s in rec["soft_bonds"]]
        # the six ring C-C links are soft; cutting one ring bond splits nothing
        assert sorted(soft_pairs) == [(0, 1), (0, 5), (1, 2), (2, 3), (3, 4), (4, 5)]
        check_eigenvalues(rec)
        assert lines == [
            "[VIF] c1ccccc1",
            "      Molecular mass M = 78.11 g/mol (avg)  (M+ peak m/z = 78 nominal)",
            "      LPI = {n+=15, n0=0, n-=15}  (30 orbitals total)",
            "      Eigenvalues: " + eigen_text(rec["lpi"]["eigenvalues"]),
            "      Soft bonds: 6  (0 single-cut fragment(s) + 6 ring bond(s))",
            "      No real fragments → M+ dominates, single peak",
        ]

    def test_chlorobenzene(self, capsys):
        rec, lines = run_report(capsys, CHLOROBENZENE)
        check_eigenvalues(rec)
        lpi = rec["lpi"]
        # Cl (period 3) 4 nodes, six carbons 4 each, five hydrogens 1 each
        assert lpi["n+"] + lpi["n0"] + lpi["n-"] == 33
        soft_pairs = [(s["atom_u"], s["atom_v"]) for s in rec["soft_bonds"]]
        assert soft_pairs[0] == (0, 1)
        assert len(soft_pairs) == 7
        assert lines == [
            "[VIF] Clc1ccccc1",
            "      Molecular mass M = 112.56 g/mol (avg)  (M+ peak m/z = 112 nominal)",
            "      LPI = {n+=%d, n0=%d, n-=%d}  (33 orbitals total)" % (lpi["n+"], lpi["n0"], lpi["n-"]),
            "      Eigenvalues: " + eigen_text(lpi["eigenvalues"]),
            "      Soft bonds: 7  (1 single-cut fragment(s) + 6 ring bond(s))",
            "      Single-cut MS fragments (m/z):",
            "        if Cl0-C1 cleaves:  C6H5 (m/z=77)  +  Cl (m/z=35)",
            "      Expected peak m/z list: [77, 35]",
        ]

    def test_aspirin(self, capsys):
        rec, lines = run_report(capsys, ASPIRIN)
        check_eigenvalues(rec)
        # atoms: C0 C1(=O2) O3 C4=C5 C6=C7 C8=C9 (ring C4..C9) C10(=O11) O12
        soft = {tuple(sorted((s["atom_u"], s["atom_v"]))) for s in rec["soft_bonds"]}
        ring = {(4, 5), (5, 6), (6, 7), (7, 8), (8, 9), (4, 9)}
        # the two C=O links are soft too, but a double bond leaving a lone
        # heavy atom gives no fragment record
        assert soft == {(1, 2), (1, 3), (3, 4), (9, 10), (10, 11), (10, 12)} | ring
        assert len(rec["soft_bonds"]) == 12
        assert {(s["atom_u"], s["atom_v"]): s["order"] for s in rec["soft_bonds"]}[(1, 2)] == 2
        assert lines == [
            "[VIF] CC(=O)OC1=CC=CC=C1C(=O)O",
            "      Molecular mass M = 180.16 g/mol (avg)  (M+ peak m/z = 180 nominal)",
            "      LPI = {n+=26, n0=0, n-=34}  (60 orbitals total)",
            "      Eigenvalues: " + eigen_text(rec["lpi"]["eigenvalues"]),
            "      Soft bonds: 12  (4 single-cut fragment(s) + 6 ring bond(s))",
            "      Single-cut MS fragments (m/z):",
            "        if C1-O3 cleaves:  C7H5O3 (m/z=137)  +  C2H3O (m/z=43)",
            "        if O3-C4 cleaves:  C7H5O2 (m/z=121)  +  C2H3O2 (m/z=59)",
            "        if C9-C10 cleaves:  C8H7O2 (m/z=135)  +  CHO2 (m/z=45)",
            "        if C10-O12 cleaves:  C9H7O3 (m/z=163)  +  HO (m/z=17)",
            "      Expected peak m/z list: [163, 137, 135, 121, 59, 45, 43, 17]",
        ]


class TestReportRules:
    """Every report agrees line for line with the rules applied to its record."""

    @pytest.mark.parametrize("smiles,kwargs", [
        (WATER, {}),
        (METHYLAMINE, {}),
        (ETHANOL, {}),
        (BENZENE, {}),
        (BENZENE, {"ring_fragmentation": True}),
        ("C1CCCCC1", {"ring_fragmentation": True}),
        (CHLOROBENZENE, {}),
        (CHLOROBENZENE, {"recursive_ms": True}),
        (ASPIRIN, {}),
        (ASPIRIN, {"ring_fragmentation": True, "recursive_ms": True, "max_generations": 1}),
        ("CC(=O)Cl", {}),
        ("CBr", {}),
    ])
    def test_report_follows_rules(self, capsys, smiles, kwargs):
        rec, lines = run_report(capsys, smiles, **kwargs)
        check_eigenvalues(rec)
        expected = head_lines(smiles, rec) + tail_lines(
            rec, kwargs.get("max_generations", 2), rec["recursive_peaks"])
        assert lines == expected

    @pytest.mark.parametrize("smiles", [WATER, ETHANOL])
    def test_no_soft_bonds(self, capsys, smiles):
        rec, lines = run_report(capsys, smiles)
        assert rec["soft_bonds"] == [] and rec["fragments"] == []
        assert lines[4:] == [
            "      Soft bonds: none (all bonds essential → stable M+ dominates)",
            "      No real fragments → M+ dominates, single peak",
        ]
        text = "\n".join(lines)
        for absent in ("Single-cut MS fragments", "Ring double-cut", "Expected peak m/z list"):
            assert absent not in text

    def test_ring_double_cuts_only(self, capsys):
        rec, lines = run_report(capsys, BENZENE, ring_fragmentation=True)
        # Of all pairs of ring bonds only opposite bonds leave two pieces of
        # m/z >= 30 (C3H3 + C3H3); every such pair has the mass key (39, 39),
        # so only the first, C0-C1 with C3-C4, is kept.
        assert lines[4:] == [
            "      Soft bonds: 6  (0 single-cut fragment(s) + 6 ring bond(s))",
            "      Ring double-cut fragments (1 possible cleavages — not all may be observed):",
            "        C0-C1 + C3-C4:  C3H3 (m/z=39)  +  C3H3 (m/z=39)",
            "      Expected peak m/z list: [39]",
            "      No real fragments → M+ dominates, single peak",
        ]
        assert [f["bond"] for f in rec["ringcut_fragments"]] == ["C0-C1 + C3-C4"]

    def test_ring_double_cuts_off_by_default(self, capsys):
        rec, lines = run_report(capsys, BENZENE)
        assert rec["ringcut_fragments"] == []
        assert not any("Ring double-cut" in line for line in lines)

    def test_single_and_ring_fragments_together(self, capsys):
        rec, lines = run_report(capsys, CHLOROBENZENE, ring_fragmentation=True)
        assert rec["single_fragments"] and rec["ringcut_fragments"]
        i_single = lines.index("      Single-cut MS fragments (m/z):")
        i_ring = next(i for i, l in enumerate(lines) if l.startswith("      Ring double-cut fragments ("))
        i_list = next(i for i, l in enumerate(lines) if l.startswith("      Expected peak m/z list: "))
        assert i_single < i_ring < i_list == len(lines) - 1
        mzs = [t[2] for f in rec["real_fragments"] for t in f["fragments"]]
        assert lines[-1] == "      Expected peak m/z list: " + mz_text(mzs)
        numbers = [int(x) for x in lines[-1].split("[")[1].rstrip("]").split(", ")]
        assert numbers == sorted(set(numbers), reverse=True)
        assert 77 in numbers and 35 in numbers

    def test_recursive_line(self, capsys):
        rec, lines = run_report(capsys, CHLOROBENZENE, recursive_ms=True)
        peaks = rec["recursive_peaks"]
        assert isinstance(peaks, dict) and len(peaks) > 1
        assert lines[-2] == "      Multi-generation MS (2 generations, %d peaks):" % len(peaks)
        keys = [int(x) for x in lines[-1][len("        m/z list: ["):-1].split(", ")]
        assert lines[-1].startswith("        m/z list: [")
        assert keys == sorted(peaks, reverse=True)
        assert keys[0] == 112 and 77 in keys and 35 in keys
        assert peaks[112] == {"formula": "C6H5Cl", "generation": 0}

    @pytest.mark.parametrize("max_generations", [0, 1, 3])
    def test_recursive_line_generation_count(self, capsys, max_generations):
        rec, lines = run_report(capsys, CHLOROBENZENE, recursive_ms=True, max_generations=max_generations)
        peaks = rec["recursive_peaks"]
        assert lines[-2] == "      Multi-generation MS (%d generations, %d peaks):" % (max_generations, len(peaks))
        if max_generations == 0:
            assert peaks == {112: {"formula": "C6H5Cl", "generation": 0}}
            assert lines[-1] == "        m/z list: [112]"
        else:
            args = (prepared_mol(CHLOROBENZENE), rec["graph"], rec["atom_subgraphs"], rec["chem_bonds"])
            assert peaks == trelvanoxa.predict_fragments_recursive(
                *args, max_generations=max_generations, ring_fragmentation=True)
            assert max(p["generation"] for p in peaks.values()) <= max_generations
            assert lines[-1] == "        m/z list: " + mz_text(peaks)

    def test_recursive_line_without_soft_bonds(self, capsys):
        rec, lines = run_report(capsys, ETHANOL, recursive_ms=True)
        assert rec["recursive_peaks"] == {46: {"formula": "C2H6O", "generation": 0}}
        assert lines[-3:] == [
            "      No real fragments → M+ dominates, single peak",
            "      Multi-generation MS (2 generations, 1 peaks):",
            "        m/z list: [46]",
        ]

    def test_eigenvalue_text_forms(self, capsys):
        # H-H with link weight k has eigenvalues -k and +k
        for kappa, text in [(2.0, "[-2.0, 2.0]"), (0.5, "[-0.5, 0.5]"), (0.0004, "[-0.0, 0.0]"),
                            (1.23456, "[-1.235, 1.235]"), (0.1, "[-0.1, 0.1]")]:
            rec, lines = run_report(capsys, "[H][H]", bond_kappa=kappa)
            assert lines[3] == "      Eigenvalues: " + text, kappa
            assert lines[2] == "      LPI = {n+=1, n0=0, n-=1}  (2 orbitals total)"

    def test_lines_1_to_4_first_and_in_order(self, capsys):
        rec, lines = run_report(capsys, ASPIRIN, ring_fragmentation=True, recursive_ms=True)
        prefixes = ["[VIF] ", "      Molecular mass M = ", "      LPI = {", "      Eigenvalues: [",
                    "      Soft bonds: "]
        for line, prefix in zip(lines, prefixes):
            assert line.startswith(prefix)
        assert lines[-2].startswith("      Multi-generation MS (")

    @pytest.mark.parametrize("kwargs", [
        {"draw": False},
        {"draw": False, "ring_fragmentation": True, "recursive_ms": True},
        {"draw": True},
    ])
    def test_verbose_false_prints_nothing(self, capfd, kwargs):
        capfd.readouterr()
        for smiles in (WATER, CHLOROBENZENE, BENZENE):
            rec = trelvanoxa.VIF(smiles, verbose=False, **kwargs)
            assert isinstance(rec, dict)
        assert capfd.readouterr().out == ""

    def test_unreadable_smiles_prints_nothing(self, capfd):
        capfd.readouterr()
        result = trelvanoxa.VIF("C1CC(", draw=False, verbose=True)
        assert type(result) is str and result == UNREADABLE
        assert capfd.readouterr().out == ""
        result = trelvanoxa.VIF("C1CC(", draw=True, verbose=True)
        assert result == UNREADABLE
        assert plt.get_fignums() == []

    def test_draw_true_prints_the_same_report(self, capsys):
        _, quiet_lines = run_report(capsys, CHLOROBENZENE)
        _, drawn_lines = run_report(capsys, CHLOROBENZENE, draw=True)
        assert drawn_lines == quiet_lines


# ---------------------------------------------------------------------------
# Result records
# ---------------------------------------------------------------------------

class TestRecord:
    def test_water_keys_and_values(self):
        rec = trelvanoxa.VIF(WATER, draw=False, verbose=False)
        assert list(rec) == DRAW_OFF_KEYS
        assert rec["lpi"]["n+"] == 3 and rec["lpi"]["n0"] == 0 and rec["lpi"]["n-"] == 3
        assert rec["graph"].number_of_nodes() == 6
        assert rec["graph"].number_of_edges() == 8
        assert rec["recursive_peaks"] is None
        assert rec["mol_mass"] == 18 and type(rec["mol_mass"]) is int
        mol = prepared_mol(WATER)
        assert mol.GetNumAtoms() == 3
        o, h1, h2 = (mol.GetAtomWithIdx(i).GetMass() for i in range(3))
        assert type(rec["mol_mass_avg"]) is float
        assert rec["mol_mass_avg"] == pytest.approx(o + h1 + h2, abs=1e-12)
        assert rec["mol_mass_avg"] == pytest.approx(18.015, abs=0.001)
        assert rec["mol_mass_avg"] > o + 2.0  # hydrogens are counted

    def test_draw_true_keys(self):
        rec = trelvanoxa.VIF(WATER, draw=True, verbose=False)
        assert list(rec) == DRAW_ON_KEYS
        for absent in ("real_fragments", "single_fragments", "ringcut_fragments",
                       "ring_soft_bonds", "recursive_peaks"):
            assert absent not in rec

    def test_draw_true_values_match_draw_false(self):
        off = trelvanoxa.VIF(ASPIRIN, draw=False, verbose=False)
        on = trelvanoxa.VIF(ASPIRIN, draw=True, verbose=False)
        assert isinstance(on["graph"], nx.Graph)
        for key in ("soft_bonds", "fragments", "chem_bonds", "atom_subgraphs", "mol_mass", "mol_mass_avg"):
            assert on[key] == off[key], key
        for key in ("n+", "n0", "n-"):
            assert on["lpi"][key] == off["lpi"][key]
        assert np.allclose(on["lpi"]["eigenvalues"], off["lpi"]["eigenvalues"])
        assert set(on["graph"].edges) == set(off["graph"].edges)
        assert on["pos"].keys() == off["pos"].keys()
        assert all(np.allclose(on["pos"][n], off["pos"][n]) for n in off["pos"])
        assert all(any(s is c for c in on["chem_bonds"]) for s in on["soft_bonds"])

    @pytest.mark.parametrize("smiles", [WATER, METHYLAMINE, CHLOROBENZENE, ASPIRIN])
    def test_value_types(self, smiles):
        rec = trelvanoxa.VIF(smiles, draw=False, verbose=False)
        lpi = rec["lpi"]
        assert list(lpi) == ["n+", "n0", "n-", "eigenvalues"]
        for key in ("n+", "n0", "n-"):
            assert type(lpi[key]) is int
        ev = lpi["eigenvalues"]
        assert isinstance(ev, np.ndarray) and ev.dtype == np.float64 and ev.ndim == 1
        assert len(ev) == rec["graph"].number_of_nodes() == lpi["n+"] + lpi["n0"] + lpi["n-"]
        assert np.all(np.diff(ev) >= 0)
        assert lpi["n+"] == int(np.sum(ev > 1e-9))
        assert lpi["n-"] == int(np.sum(ev < -1e-9))

        graph = rec["graph"]
        assert type(graph) is nx.Graph
        assert list(graph.nodes) == list(range(graph.number_of_nodes()))
        assert all(isinstance(d["weight"], float) for _, _, d in graph.edges(data=True))

        for key in ("soft_bonds", "fragments", "real_fragments", "single_fragments",
                    "ringcut_fragments", "ring_soft_bonds", "chem_bonds"):
            assert type(rec[key]) is list, key
        assert type(rec["atom_subgraphs"]) is dict and type(rec["pos"]) is dict

        mol = prepared_mol(smiles)
        assert sorted(rec["atom_subgraphs"]) == list(range(mol.GetNumAtoms()))
        flat = [n for a in sorted(rec["atom_subgraphs"]) for n in rec["atom_subgraphs"][a]]
        assert flat == list(range(graph.number_of_nodes()))

        assert sorted(rec["pos"]) == list(range(graph.number_of_nodes()))
        for p in rec["pos"].values():
            assert isinstance(p, np.ndarray) and p.dtype == np.float64 and p.shape == (2,)

        avg, nominal = rdkit_masses(smiles)
        assert type(rec["mol_mass"]) is int and rec["mol_mass"] == nominal
        assert type(rec["mol_mass_avg"]) is float and rec["mol_mass_avg"] == pytest.approx(avg, abs=1e-9)

        for cb in rec["chem_bonds"]:
            assert list(cb) == ["u_node", "v_node", "atom_u", "atom_v", "sym_u", "sym_v", "order", "k"]
            assert graph.has_edge(cb["u_node"], cb["v_node"])
            assert graph[cb["u_node"]][cb["v_node"]]["weight"] == 0.9

    @pytest.mark.parametrize("smiles,kwargs", [
        (ASPIRIN, {}),
        (ASPIRIN, {"ring_fragmentation": True}),
        (BENZENE, {"ring_fragmentation": True}),
        (CHLOROBENZENE, {"ring_fragmentation": True}),
        (WATER, {}),
    ])
    def test_fragment_partitions(self, smiles, kwargs):
        rec = trelvanoxa.VIF(smiles, draw=False, verbose=False, **kwargs)
        frags = rec["fragments"]
        single = [f for f in frags if f["split"] and f["mode"] == "single"]
        ringcut = [f for f in frags if f["split"] and f["mode"] == "ring"]
        ring_bonds = [f for f in frags if not f["split"]]

        def same_objects(a, b):
            return len(a) == len(b) and all(x is y for x, y in zip(a, b))

        assert same_objects(rec["single_fragments"], single)
        assert same_objects(rec["ringcut_fragments"], ringcut)
        assert same_objects(rec["ring_soft_bonds"], ring_bonds)
        assert same_objects(rec["real_fragments"], single + ringcut)
        assert rec["real_fragments"] is not rec["single_fragments"]
        assert rec["real_fragments"] is not rec["ringcut_fragments"]
        assert rec["real_fragments"] is not frags
        # a new list: extending it leaves the partitions alone
        n_single = len(rec["single_fragments"])
        rec["real_fragments"].append("extra")
        assert len(rec["single_fragments"]) == n_single
        if kwargs.get("ring_fragmentation") and smiles != WATER:
            assert ringcut

    @pytest.mark.parametrize("smiles,ring", [(ASPIRIN, False), (BENZENE, True), (CHLOROBENZENE, True)])
    def test_fragments_match_lower_level_prediction(self, smiles, ring):
        rec = trelvanoxa.VIF(smiles, draw=False, verbose=False, ring_fragmentation=ring)
        again = trelvanoxa.predict_fragments(prepared_mol(smiles), rec["soft_bonds"], ring_fragmentation=ring)
        assert again == rec["fragments"]

    @pytest.mark.parametrize("smiles", [METHYLAMINE, CHLOROBENZENE, ASPIRIN])
    def test_soft_bonds_are_chem_bond_records(self, smiles):
        rec = trelvanoxa.VIF(smiles, draw=False, verbose=False)
        chem = rec["chem_bonds"]
        positions = []
        for s in rec["soft_bonds"]:
            hits = [i for i, c in enumerate(chem) if c is s]
            assert len(hits) == 1
            positions.append(hits[0])
        assert positions == sorted(positions)  # chem-bond order
        assert rec["soft_bonds"]
        again = trelvanoxa.detect_soft_bonds(rec["graph"], chem, rec["lpi"])
        assert len(again) == len(rec["soft_bonds"])
        assert all(a is b for a, b in zip(again, rec["soft_bonds"]))

    def test_recursive_peaks_absent_unless_asked(self):
        for kwargs in ({}, {"ring_fragmentation": True}, {"max_generations": 5}):
            assert trelvanoxa.VIF(CHLOROBENZENE, draw=False, verbose=False, **kwargs)["recursive_peaks"] is None

    def test_recursive_peaks_use_ring_double_cuts(self):
        rec = trelvanoxa.VIF(BENZENE, draw=False, verbose=False, recursive_ms=True)
        args = (prepared_mol(BENZENE), rec["graph"], rec["atom_subgraphs"], rec["chem_bonds"])
        with_rings = trelvanoxa.predict_fragments_recursive(*args, max_generations=2, ring_fragmentation=True)
        without = trelvanoxa.predict_fragments_recursive(*args, max_generations=2, ring_fragmentation=False)
        assert with_rings != without  # benzene only breaks by ring double cuts
        assert rec["recursive_peaks"] == with_rings
        assert list(rec["recursive_peaks"]) == list(with_rings)
        assert 39 in rec["recursive_peaks"]
        assert all(list(v) == ["formula", "generation"] for v in rec["recursive_peaks"].values())

    def test_recursive_peaks_honour_max_generations(self):
        rec = trelvanoxa.VIF(ASPIRIN, draw=False, verbose=False, recursive_ms=True, max_generations=1)
        args = (prepared_mol(ASPIRIN), rec["graph"], rec["atom_subgraphs"], rec["chem_bonds"])
        assert rec["recursive_peaks"] == trelvanoxa.predict_fragments_recursive(
            *args, max_generations=1, ring_fragmentation=True)
        assert {p["generation"] for p in rec["recursive_peaks"].values()} == {0, 1}

    def test_positional_arguments(self):
        # smiles, n_iter, target_bond_len, radius_ratio, show_spectrum, bond_kappa,
        # draw, verbose, ring_fragmentation, recursive_ms, max_generations
        rec = trelvanoxa.VIF(BENZENE, 600, 1.5, 0.23, False, 0.9, False, False, True, True, 1)
        assert list(rec) == DRAW_OFF_KEYS
        assert rec["ringcut_fragments"]
        assert rec["recursive_peaks"] is not None
        assert {p["generation"] for p in rec["recursive_peaks"].values()} == {0, 1}

    def test_bond_kappa_and_radius(self):
        rec = trelvanoxa.VIF(WATER, bond_kappa=0.5, radius_ratio=0.1, target_bond_len=2.0,
                             draw=False, verbose=False)
        weights = sorted(d["weight"] for _, _, d in rec["graph"].edges(data=True))
        assert weights == [0.5, 0.5] + [1.0] * 6
        # the oxygen's nodes sit on a circle of radius target_bond_len * radius_ratio
        a, b, c = (rec["pos"][n] for n in rec["atom_subgraphs"][0][:3])
        ab, bc, ca = np.linalg.norm(a - b), np.linalg.norm(b - c), np.linalg.norm(c - a)
        area = abs((b - a)[0] * (c - a)[1] - (b - a)[1] * (c - a)[0]) / 2
        assert ab * bc * ca / (4 * area) == pytest.approx(0.2, rel=1e-9)

    def test_records_are_fresh(self):
        a = trelvanoxa.VIF(CHLOROBENZENE, draw=False, verbose=False)
        b = trelvanoxa.VIF(CHLOROBENZENE, draw=False, verbose=False)
        assert a["graph"] is not b["graph"] and a["chem_bonds"] is not b["chem_bonds"]
        a["chem_bonds"][0]["u_node"] = -1
        assert b["chem_bonds"][0]["u_node"] != -1


# ---------------------------------------------------------------------------
# Bad input
# ---------------------------------------------------------------------------

class TestBadInput:
    @pytest.mark.parametrize("value", [None, 42, 3.5, b"CCO", ["C"]])
    def test_non_text_is_a_type_error(self, value, capfd):
        capfd.readouterr()
        with pytest.raises(TypeError):
            trelvanoxa.VIF(value, draw=False)
        assert capfd.readouterr().out == ""

    @pytest.mark.parametrize("text", [
        "",
        "C\x00C",
        "C(" * 2500,
        "[Xx]",
        "c1cc",
        "C)C",
    ])
    def test_unreadable_text(self, text, capfd):
        capfd.readouterr()
        result = trelvanoxa.VIF(text, draw=True, verbose=True)
        assert result == UNREADABLE and type(result) is str
        assert capfd.readouterr().out == ""
        assert plt.get_fignums() == []

    def test_long_broken_text_is_5000_characters(self):
        assert len("C(" * 2500) == 5000

    def test_dummy_atom_raises_the_element_lookup_error(self, capfd):
        import mendeleev

        with pytest.raises(ValueError) as direct:
            mendeleev.element("*")
        capfd.readouterr()
        with pytest.raises(ValueError) as raised:
            trelvanoxa.VIF("*C", draw=False, verbose=True)
        assert str(raised.value) == str(direct.value)
        assert capfd.readouterr().out == ""

    def test_unknown_keyword(self):
        with pytest.raises(TypeError):
            trelvanoxa.VIF(WATER, colour="red")

    def test_interpreter_still_usable(self, capfd):
        for bad in ("", "[Xx]", "C(" * 2500, "C\x00C"):
            trelvanoxa.VIF(bad, draw=False, verbose=False)
        for bad in (None, 1, b"O", "*C"):
            with pytest.raises((TypeError, ValueError)):
                trelvanoxa.VIF(bad, draw=False, verbose=False)
        rec = trelvanoxa.VIF(WATER, draw=False, verbose=False)
        assert rec["lpi"]["n+"] == 3


# ---------------------------------------------------------------------------
# Interruption (each case runs in a child interpreter, so an interrupt that
# arrives late cannot hit the test session itself)
# ---------------------------------------------------------------------------

def _child_env():
    env = dict(os.environ)
    pkg_root = str(Path(trelvanoxa.__file__).resolve().parent.parent)
    env["PYTHONPATH"] = pkg_root + (os.pathsep + env["PYTHONPATH"] if env.get("PYTHONPATH") else "")
    env["MPLBACKEND"] = "Agg"
    return env


def _child(body):
    return [sys.executable, "-u", "-c", textwrap.dedent(body) + _AFTER]


def _result_of(stdout):
    last = stdout.strip().splitlines()[-1]
    assert last.startswith("RESULT "), stdout[-2000:]
    return json.loads(last[len("RESULT "):])


def _check_head(lines, smiles, n_nodes):
    assert len(lines) == 4
    assert lines[0] == "[VIF] " + smiles
    avg, nominal = rdkit_masses(smiles)
    assert lines[1] == ("      Molecular mass M = " + format(avg, ".2f")
                        + " g/mol (avg)  (M+ peak m/z = %d nominal)" % nominal)
    assert lines[2].startswith("      LPI = {n+=")
    assert lines[2].endswith("}  (%d orbitals total)" % n_nodes)
    assert lines[3].startswith("      Eigenvalues: [") and lines[3].endswith("]")
    assert len(lines[3].split(", ")) == n_nodes


# After an interruption the child runs methanol (LPI {6, 0, 6}) to show the
# interpreter is still usable.
_AFTER = """
rec = trelvanoxa.VIF("CO", draw=False, verbose=False)
print("RESULT " + json.dumps({"outcome": outcome, "text": text,
                              "lpi": [rec["lpi"]["n+"], rec["lpi"]["n0"], rec["lpi"]["n-"]],
                              "keys": list(rec)}))
"""


class TestInterrupt:
    def test_timer_interrupt_of_a_long_analysis(self):
        code = """
            import _thread, json, threading
            import trelvanoxa
            timer = threading.Timer(0.3, _thread.interrupt_main)
            timer.start()
            try:
                trelvanoxa.VIF("C" * 150, draw=False, verbose=False)
                outcome = "finished"
            except KeyboardInterrupt:
                outcome = "interrupted"
            timer.cancel()
            text = ""
        """
        proc = subprocess.run(_child(code), env=_child_env(), capture_output=True, text=True, timeout=600)
        assert proc.returncode == 0, proc.stderr[-3000:]
        result = _result_of(proc.stdout)
        assert result["outcome"] == "interrupted"
        assert result["lpi"] == [6, 0, 6]
        assert result["keys"] == DRAW_OFF_KEYS

    def test_ctrl_c_during_soft_bond_pass_keeps_head_lines(self):
        # A real SIGINT, sent as soon as line 4 has been read: lines 1 to 4
        # come before the soft-bond pass, so the interrupt lands inside it and
        # no later line is printed.
        smiles = "C" * 100
        code = """
            import json
            import trelvanoxa
            trelvanoxa._core._set_fast_soft_pass(False)
            try:
                trelvanoxa.VIF(%r, draw=False, verbose=True)
                outcome = "finished"
            except KeyboardInterrupt:
                outcome = "interrupted"
            text = ""
        """ % smiles
        proc = subprocess.Popen(_child(code), env=_child_env(), stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True)
        watchdog = threading.Timer(600, proc.kill)
        watchdog.start()
        try:
            head = [proc.stdout.readline() for _ in range(4)]
            proc.send_signal(signal.SIGINT)
            rest, err = proc.communicate()
        finally:
            watchdog.cancel()
        assert proc.returncode == 0, err[-3000:]
        assert all(line.endswith("\n") for line in head)
        # 100 carbons with 4 nodes each, 202 hydrogens with one
        _check_head([line[:-1] for line in head], smiles, 602)
        assert rest.splitlines()[:-1] == []
        result = _result_of(rest)
        assert result["outcome"] == "interrupted"
        assert result["lpi"] == [6, 0, 6]

    def test_timer_interrupt_during_soft_bond_pass(self):
        # The timer thread needs the GIL to call interrupt_main; the native
        # pass must let it run.
        smiles = "C" * 60
        code = """
            import _thread, json, sys, threading
            import trelvanoxa

            class Tap:
                def __init__(self):
                    self.parts = []
                    self.armed = False
                def write(self, s):
                    self.parts.append(s)
                    if not self.armed and "".join(self.parts).count("\\n") >= 4:
                        self.armed = True
                        threading.Timer(0.2, _thread.interrupt_main).start()
                    return len(s)
                def flush(self):
                    pass

            tap = Tap()
            # the one-link-at-a-time count keeps the pass long enough to catch
            trelvanoxa._core._set_fast_soft_pass(False)
            real, sys.stdout = sys.stdout, tap
            try:
                trelvanoxa.VIF(%r, draw=False, verbose=True)
                outcome = "finished"
            except KeyboardInterrupt:
                outcome = "interrupted"
            finally:
                sys.stdout = real
            text = "".join(tap.parts)
        """ % smiles
        proc = subprocess.run(_child(code), env=_child_env(), capture_output=True, text=True, timeout=600)
        assert proc.returncode == 0, proc.stderr[-3000:]
        result = _result_of(proc.stdout)
        assert result["outcome"] == "interrupted"
        lines = result["text"].split("\n")
        assert lines[-1] == ""
        _check_head(lines[:-1], smiles, 60 * 4 + 122)
        assert result["lpi"] == [6, 0, 6]
