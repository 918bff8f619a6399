"""Inputs that once crashed the interpreter, gave C++ exception texts or were silently accepted, grouped by
function; Ctrl-C during the first element lookup of a process; threads doing first lookups at once."""

import collections
import math
import os
import sys
import threading

import networkx as nx
import numpy as np
import pytest

import trelvanoxa
from helpers import analyse, prepare, triple


@pytest.fixture(scope="module")
def ethanol():
    return prepare("CCO"), analyse("CCO")


def fake_mol(n_atoms, bonds, symbol="C", atomic_num=6, mass=12.011, bond_type=1.0):
    """A duck-typed molecule: every atom the same, bonds given as (begin, end) index pairs."""
    atom = type("FakeAtom", (), {"GetAtomicNum": lambda s: atomic_num, "GetSymbol": lambda s: symbol,
                                 "GetMass": lambda s: mass, "GetNeighbors": lambda s: [], "GetIdx": lambda s: 0})()
    bond_objs = [type("FakeBond", (), {"GetBeginAtomIdx": lambda s, a=a: a, "GetEndAtomIdx": lambda s, b=b: b,
                                       "GetBondTypeAsDouble": lambda s: bond_type})() for a, b in bonds]
    return type("FakeMol", (), {"GetNumAtoms": lambda s: n_atoms, "GetAtomWithIdx": lambda s, i: atom,
                                "GetBonds": lambda s: bond_objs})()


SOFT = [{"atom_u": 0, "atom_v": 1, "sym_u": "C", "sym_v": "C", "order": 1}]


# ---- plot_mass_spectrum -------------------------------------------------------------------------------------

@pytest.mark.parametrize("mz", [77.5, "77", None, 1j])
def test_spectrum_refuses_an_mz_that_is_not_an_integer(mz):
    frags = [{"split": True, "fragments": [("C6H5", 77.1, 77), ("Cl", 35.45, mz)]}]
    with pytest.raises(TypeError, match=r"fragments\[0\]\['fragments'\]\[1\]: the m/z of 'Cl'"):
        trelvanoxa.plot_mass_spectrum("x", 112, frags)


@pytest.mark.parametrize("mol_mass,error", [(9e18, ValueError), (10**30, ValueError), (-1, ValueError),
                                            (math.nan, ValueError), (math.inf, ValueError), ("112", TypeError),
                                            (None, TypeError)])
def test_spectrum_refuses_a_molecular_mass_out_of_range(mol_mass, error):
    with pytest.raises(error, match="mol_mass"):
        trelvanoxa.plot_mass_spectrum("x", mol_mass, [])


@pytest.mark.parametrize("fragments,ax,match", [
    ("abc", None, "fragments must be a list"), ([7], None, r"fragments\[0\] must be a fragment record"),
    ([{"split": True, "fragments": None}], None, r"fragments\[0\]\['fragments'\] must be a list"),
    ([{"split": True, "fragments": [("C", 12)]}], None, "must be a .formula, mass, m/z. triple"),
    ([], False, "ax must be matplotlib axes"), ([], "axes", "ax must be matplotlib axes"),
])
def test_spectrum_refuses_records_and_axes_of_the_wrong_shape(fragments, ax, match):
    import matplotlib.pyplot as plt

    with pytest.raises(TypeError, match=match):
        trelvanoxa.plot_mass_spectrum("x", 112, fragments, ax=ax)
    assert plt.get_fignums() == []  # checked before a figure is opened


# ---- fragment predictors with duck-typed molecules -----------------------------------------------------------

def _fragment_calls(ethanol):
    _, r = ethanol
    return {
        "predict_fragments": lambda m: trelvanoxa.predict_fragments(m, SOFT),
        "predict_fragments_recursive": lambda m: trelvanoxa.predict_fragments_recursive(
            m, r["graph"], r["atom_subgraphs"], r["chem_bonds"]),
        "_cut_atom_set": lambda m: trelvanoxa._cut_atom_set(m, [0, 1], SOFT, False, 25),
    }


@pytest.mark.parametrize("name", ["predict_fragments", "predict_fragments_recursive", "_cut_atom_set"])
@pytest.mark.parametrize("mol,error,match", [
    (fake_mol(2, [(1, 100000000)]), IndexError, r"bond atom 100000000 is outside the molecule \(2 atoms\)"),
    (fake_mol(2, [(-7, 0)]), IndexError, r"bond atom -7 is outside the molecule \(2 atoms\)"),
    (fake_mol(2, [(0, 2**80)]), IndexError, r"bond atom 1208925819614629174706176 is outside"),
    (fake_mol(2, [(0, "1")]), TypeError, "bond atom must be an integer atom index, not str"),
    (fake_mol(-3, []), ValueError, "GetNumAtoms.. must be from 0 to"),
    (fake_mol(10**12, []), ValueError, "GetNumAtoms.. must be from 0 to"),
    (fake_mol(2.0, []), TypeError, r"GetNumAtoms\(\) must be an int, not float"),
    (fake_mol(2, [(0, 1)], mass=math.nan), ValueError, r"GetMass\(\) must be a finite number"),
    (fake_mol(2, [(0, 1)], bond_type=math.nan), ValueError, r"GetBondTypeAsDouble\(\) must be a finite number"),
    (fake_mol(2, [(0, 1)], bond_type=1e300), ValueError, r"GetBondTypeAsDouble\(\) gave 1e\+300, not a bond type"),
    (fake_mol(2, [(0, 1)], atomic_num=-1), ValueError, r"GetAtomicNum\(\) must be from 0 to 118"),
    (fake_mol(2, [(0, 1)], atomic_num="6"), TypeError, r"GetAtomicNum\(\) must be an int"),
    (object(), TypeError, "mol must be an RDKit Mol, not object"), (None, TypeError, "mol must be an RDKit Mol"),
])
def test_fragment_predictors_check_molecule_like_objects(ethanol, name, mol, error, match):
    if name == "_cut_atom_set" and "GetAtomicNum" in match:
        pytest.skip("_cut_atom_set reads masses only")
    with pytest.raises(error, match=match):
        _fragment_calls(ethanol)[name](mol)


def test_fragment_predictors_read_symbols_as_text(ethanol):
    for name in ("predict_fragments", "predict_fragments_recursive"):
        with pytest.raises(TypeError, match=r"GetSymbol\(\) must be a str, not int"):
            _fragment_calls(ethanol)[name](fake_mol(2, [(0, 1)], symbol=6))


@pytest.mark.parametrize("value,error,match", [
    (math.nan, ValueError, "max_generations must be a number, not nan"), ("2", TypeError, "max_generations must be a real number, not str"),
    (None, TypeError, "max_generations must be a real number, not NoneType"),
])
def test_recursive_generations(ethanol, value, error, match):
    mol, r = ethanol
    with pytest.raises(error, match=match):
        trelvanoxa.predict_fragments_recursive(mol, r["graph"], r["atom_subgraphs"], r["chem_bonds"],
                                               max_generations=value)
    for many in (math.inf, 10**30):  # runs until no fragment is left, like any large count
        assert trelvanoxa.predict_fragments_recursive(mol, r["graph"], r["atom_subgraphs"], r["chem_bonds"],
                                                      max_generations=many) == \
            trelvanoxa.predict_fragments_recursive(mol, r["graph"], r["atom_subgraphs"], r["chem_bonds"], 50)


@pytest.mark.parametrize("kwargs,match", [
    ({"soft_bonds": [dict(SOFT[0], order=math.nan)]}, "order must be a finite number, not nan"),
    ({"soft_bonds": [dict(SOFT[0], order="1")]}, "order must be a real number, not str"),
    ({"soft_bonds": SOFT, "min_ring_fragment_mz": math.nan}, "min_ring_fragment_mz must be a finite number"),
    ({"soft_bonds": SOFT, "min_ring_fragment_mz": -math.inf}, "min_ring_fragment_mz must be a finite number"),
    ({"soft_bonds": [dict(SOFT[0], atom_v=9)]}, r"atom_v 9 is outside the molecule \(9 atoms\)"),
])
def test_predict_fragments_refuses_nonsense_records(ethanol, kwargs, match):
    with pytest.raises((ValueError, TypeError, IndexError), match=match):
        trelvanoxa.predict_fragments(ethanol[0], **kwargs)


# ---- atom-level helpers --------------------------------------------------------------------------------------

@pytest.mark.parametrize("call,error,match", [
    (lambda m: trelvanoxa._pair_label(m, 0, 9), IndexError, r"j 9 is outside the molecule \(9 atoms\)"),
    (lambda m: trelvanoxa._pair_label(m, -1, 0), IndexError, "i -1 is outside"),
    (lambda m: trelvanoxa._fragment_formula(m, [0, 2**64]), IndexError, "atom index 18446744073709551616 is outside"),
    (lambda m: trelvanoxa._fragment_formula(m, ["0"]), TypeError, "atom index must be an integer"),
    (lambda m: trelvanoxa._nominal_mass(m, [0, 9]), IndexError, "atom index 9 is outside"),
    (lambda m: trelvanoxa._nominal_atom_mass(119), ValueError, "atomic_num must be from 0 to 118, not 119"),
    (lambda m: trelvanoxa._nominal_atom_mass(-1), ValueError, "atomic_num must be from 0 to 118, not -1"),
    (lambda m: trelvanoxa._nominal_atom_mass(np.float32("nan")), TypeError, "atomic_num must be an int"),
    (lambda m: trelvanoxa._nominal_atom_mass(np.int64(6)) + 1 and trelvanoxa._nominal_atom_mass(np.int64(-6)),
     ValueError, "atomic_num must be from 0 to 118, not -6"),  # numpy integers reach RDKit as plain ints
    (lambda m: trelvanoxa._symmetry_classes(None), TypeError, "mol must be an RDKit Mol, not NoneType"),
    (lambda m: trelvanoxa._fragment_formula(fake_mol(2, [], symbol=None), [0]), TypeError, r"GetSymbol\(\) must be a str"),
])
def test_atom_helpers_check_indices_before_the_toolkit(ethanol, call, error, match, capfd):
    with pytest.raises(error, match=match):
        call(ethanol[0])
    assert "Range Error" not in capfd.readouterr().err  # RDKit was never asked


# ---- compute_lpi and detect_soft_bonds -----------------------------------------------------------------------

@pytest.mark.parametrize("kwargs,error,match", [
    ({"weight": False}, TypeError, r"weight must be an edge attribute name \(str\) or None, not bool"),
    ({"weight": 3}, TypeError, "weight must be an edge attribute name"),
    ({"tol": math.nan}, ValueError, "tol must be a finite number >= 0"),
    ({"tol": -1}, ValueError, "tol must be a finite number >= 0"),
    ({"tol": math.inf}, ValueError, "tol must be a finite number >= 0"),
    ({"tol": "1e-9"}, TypeError, None),
])
def test_compute_lpi_arguments(ethanol, kwargs, error, match):
    with pytest.raises(error, match=match):
        trelvanoxa.compute_lpi(ethanol[1]["graph"], **kwargs)


@pytest.mark.parametrize("graph,error,match", [
    (nx.DiGraph([(0, 1)]), TypeError, "graph must be an undirected graph"), (None, TypeError, "networkx graph"),
    (nx.Graph([(0, 1, {"weight": math.nan})]), ValueError, "non-finite weight nan"),
    (nx.Graph([(0, 1, {"weight": "1"})]), TypeError, r"edge weight must be a real number, not str \('1'\)"),
])
def test_compute_lpi_graphs(graph, error, match):
    with pytest.raises(error, match=match):
        trelvanoxa.compute_lpi(graph)


@pytest.mark.parametrize("baseline,error,match", [
    ({"n+": "1", "n0": 0, "n-": 0}, TypeError, r"baseline_lpi\['n\+'\] must be an int, not str"),
    ({"n+": 10**30, "n0": 0, "n-": 0}, ValueError, r"baseline_lpi\['n\+'\] must be from 0 to 1099511627776"),
    ({"n+": 1, "n0": -1, "n-": 0}, ValueError, r"baseline_lpi\['n0'\] must be from 0 to"),
    ({"n+": 1, "n0": 0, "n-": 2.0}, TypeError, r"baseline_lpi\['n-'\] must be an int, not float"),
    ({"n+": 1, "n0": 0}, KeyError, "n-"),
])
def test_detect_soft_bonds_baseline(ethanol, baseline, error, match):
    r = ethanol[1]
    with pytest.raises(error, match=match):
        trelvanoxa.detect_soft_bonds(r["graph"], r["chem_bonds"], baseline)


def _inertia(a, tol=1e-9):
    ev = np.linalg.eigvalsh(a)
    return (int((ev > tol).sum()), int((abs(ev) <= tol).sum()), int((ev < -tol).sum()))


def test_detect_soft_bonds_on_a_multigraph_takes_out_one_parallel_link():
    # a triangle with a doubled edge 0-1 (weights 1 and 1: the matrix holds 2) and a doubled 1-2 whose
    # second link has no weight; the record of a pair takes out its first link only.
    g = nx.MultiGraph()
    g.add_edge(0, 1, weight=1.0)
    g.add_edge(0, 1, weight=1.0)
    g.add_edge(1, 2, weight=0.5)
    g.add_edge(1, 2)
    g.add_edge(2, 0, weight=-1.0)
    g.add_edge(2, 3, weight=1.0)
    records = [{"u_node": u, "v_node": v} for u, v in [(0, 1), (1, 0), (1, 2), (2, 0), (2, 3), (0, 3)]]
    a = nx.to_numpy_array(g, nodelist=list(g))
    base = _inertia(a)
    assert triple(trelvanoxa.compute_lpi(g)) == base
    expected = []
    for rec in records:
        u, v = rec["u_node"], rec["v_node"]
        if not g.has_edge(u, v):
            continue
        b = a.copy()
        w = next(iter(g[u][v].values())).get("weight", 1.0)
        b[u, v] -= w
        b[v, u] -= w
        if _inertia(b) == base:
            expected.append(rec)
    soft = trelvanoxa.detect_soft_bonds(g, records, trelvanoxa.compute_lpi(g))
    assert [records.index(s) for s in soft] == [records.index(e) for e in expected]
    assert g.number_of_edges() == 6 and g[1][2] == {0: {"weight": 0.5}, 1: {}}  # the untested link keeps no weight


# ---- layout and the driver ------------------------------------------------------------------------------------

@pytest.mark.parametrize("kwargs,match", [
    ({"target_bond_len": math.nan}, "target_bond_len must be a finite number, not nan"),
    ({"target_bond_len": 0.0}, "target_bond_len must be > 0"),
    ({"k_attr": math.inf}, "k_attr must be a finite number, not inf"),
    ({"k_rep": -math.inf}, "k_rep must be a finite number, not inf"),
    ({"repulsion_factor": -1.0}, "repulsion_factor must be >= 0"),
    ({"n_iter": -1}, "n_iter must be >= 0"),
])
def test_layout_parameters(ethanol, kwargs, match):
    with pytest.raises(ValueError, match=match):
        trelvanoxa.compute_atom_layout(ethanol[0], **kwargs)


@pytest.mark.parametrize("kwargs,error,match", [
    ({"smiles": None}, TypeError, "smiles must be a str, not NoneType"),
    ({"smiles": "CO", "radius_ratio": math.nan}, ValueError, "radius_ratio must be a finite number"),
    ({"smiles": "CO", "bond_kappa": math.inf}, ValueError, "bond_kappa must be a finite number"),
    ({"smiles": "CO", "max_generations": math.nan, "recursive_ms": True}, ValueError, "max_generations"),
    ({"smiles": "CO", "n_iter": 2**70}, TypeError, None),
])
def test_vif_arguments(kwargs, error, match):
    with pytest.raises(error, match=match):
        trelvanoxa.VIF(draw=False, verbose=False, **kwargs)


# ---- demonstrations and panels --------------------------------------------------------------------------------

def test_demonstrations_name_an_unreadable_smiles(tmp_path, capsys):
    with pytest.raises(ValueError, match=r"^SMILES okunamadı! 'C1CC'$"):
        trelvanoxa.triple_group_demo("C1CC", save_prefix=str(tmp_path / "x"))
    with pytest.raises(ValueError, match=r"^SMILES okunamadı! 'C1CC' \(bad ring\)$"):
        trelvanoxa.halogen_test([("ok", "CCl", ""), ("bad ring", "C1CC", "")], save=str(tmp_path / "h.png"))
    assert "ok" in capsys.readouterr().out and list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("panel", ["VIF_panel", "VIF_ms_panel"])
@pytest.mark.parametrize("kwargs,error,match", [
    ({"molecules": "CCO"}, TypeError, "molecules must be a list of names or SMILES, not str"),
    ({"molecules": 5}, TypeError, "molecules must be a list"), ({"molecules": []}, ValueError, "molecules is empty"),
    ({"molecules": ["O"], "cols": 0}, ValueError, "cols must be from 1 to 100, not 0"),
    ({"molecules": ["O"], "cols": 2.0}, TypeError, "cols must be an int, not float"),
    ({"molecules": ["O"], "by": None}, TypeError, "by must be a str"),
])
def test_panels_check_their_arguments(panel, kwargs, error, match):
    import matplotlib.pyplot as plt

    with pytest.raises(error, match=match):
        getattr(trelvanoxa, panel)(**kwargs)
    assert plt.get_fignums() == []


# ---- element lookups: Ctrl-C on the first call, threads ------------------------------------------------------

SIGINT_CHILD = r"""
import os, signal, sys, threading, time
signal.signal(signal.SIGINT, signal.default_int_handler)  # also when started with SIGINT ignored
import trelvanoxa
timer = threading.Timer(float(sys.argv[1]), os.kill, (os.getpid(), signal.SIGINT))
timer.start()
try:
    trelvanoxa.VIF("ClC(Br)C=O", draw=False, verbose=False)
    timer.cancel()
    timer.join()
    first = "finished"
except KeyboardInterrupt:
    first = "interrupted"
timer.join()
r = trelvanoxa.VIF("ClC(Br)C=O", draw=False, verbose=False)
print(first, r["lpi"]["n+"], r["lpi"]["n0"], r["lpi"]["n-"], len(r["soft_bonds"]))
"""


def test_ctrl_c_during_the_first_analysis_leaves_later_calls_working(tmp_path):
    import subprocess

    expected = analyse("ClC(Br)C=O")
    want = f"{expected['lpi']['n+']} {expected['lpi']['n0']} {expected['lpi']['n-']} {len(expected['soft_bonds'])}"
    delays = np.geomspace(0.05, 2.0, 12)
    env = {k: v for k, v in os.environ.items() if k != "MPLBACKEND"}
    env.update(PYTHONPATH=str(os.path.dirname(trelvanoxa.__path__[0])), MPLBACKEND="Agg")
    procs = []
    outcomes = collections.Counter()
    for k, delay in enumerate(delays):  # three children at a time, each with an empty element memo
        cache = tmp_path / f"cache{k}"
        procs.append((delay, subprocess.Popen([sys.executable, "-c", SIGINT_CHILD, repr(float(delay))], text=True,
                                              env=dict(env, TRELVANOXA_CACHE_DIR=str(cache)),
                                              stdout=subprocess.PIPE, stderr=subprocess.PIPE)))
        if len(procs) == 3 or k == len(delays) - 1:
            for d, p in procs:
                out, err = p.communicate(timeout=600)
                assert p.returncode == 0, f"SIGINT after {d:.2f} s: {err[-2000:]}"
                first, rest = out.split(" ", 1)
                assert rest.strip() == want, (d, out)
                outcomes[first] += 1
            procs = []
    assert outcomes["interrupted"] >= 3, outcomes  # the sweep did land inside first calls


def test_periods_are_mendeleevs_and_only_unknown_symbols_reach_it_once_per_symbol(monkeypatch):
    import time

    import mendeleev
    from mendeleev.fetch import fetch_table

    from trelvanoxa.elements.periods import PERIODS

    table = fetch_table("elements")
    assert PERIODS == {s: int(p) for s, p in zip(table["symbol"], table["period"])} and len(PERIODS) == 118

    calls, lock = collections.Counter(), threading.Lock()

    def slow_element(symbol):
        with lock:
            calls[symbol] += 1
        time.sleep(0.05)  # every thread arrives while the first lookup is still running
        return mendeleev.element(symbol)

    monkeypatch.setattr(trelvanoxa, "element", slow_element)
    trelvanoxa._get_period.cache_clear()
    symbols = ["C", "H", "Cl", "Br", "*", "Xx", "I", "Og"]
    start, results, errors = threading.Barrier(8), {}, []

    def worker(k):
        start.wait()
        got = []
        for s in symbols[k:] + symbols[:k]:
            try:
                got.append(trelvanoxa._get_period(s))
            except ValueError as err:
                got.append(str(err))
            except BaseException as err:  # noqa: BLE001 - reported below
                errors.append(err)
        results[k] = got

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    trelvanoxa._get_period.cache_clear()
    assert errors == []
    truth = {"C": 2, "H": 1, "Cl": 3, "Br": 4, "*": "Element not found: *", "Xx": "Element not found: Xx", "I": 5,
             "Og": 7}
    for k, got in results.items():
        assert got == [truth[s] for s in symbols[k:] + symbols[:k]]
    assert set(calls) == {"*", "Xx"} and max(calls.values()) <= 2  # never the database for a known element


@pytest.mark.parametrize("n_nodes,error", [(2**31, ValueError), (4097, ValueError), (0, ValueError),
                                           (2**70, TypeError), ("4", TypeError)])
def test_node_angles_refuse_node_counts_no_atom_has(n_nodes, error):
    with pytest.raises(error):  # 2**31 nodes once allocated 16 GB and killed the process
        trelvanoxa._yerlestir_dugumler(n_nodes, [])
    assert trelvanoxa._yerlestir_dugumler(4096, [0.5])[0] == 0.5


@pytest.mark.parametrize("symbol", [6, 2**63, None, b"C"])
def test_period_lookup_takes_a_symbol(symbol):
    with pytest.raises(TypeError, match="symbol must be an element symbol"):
        trelvanoxa._get_period(symbol)
    assert trelvanoxa._get_period("C") == 2


@pytest.mark.parametrize("timeout", [2**63, 1e300, 86401])
def test_pubchem_timeout_has_an_upper_bound(timeout):
    with pytest.raises(ValueError, match="timeout must be at most 86400 seconds"):
        trelvanoxa.fetch_smiles_from_pubchem("water", timeout=timeout)


def test_fragment_softs_refuse_unhashable_atoms(ethanol):
    r = ethanol[1]
    with pytest.raises(TypeError, match="unhashable"):
        trelvanoxa._fragment_atom_softs(r["graph"], r["atom_subgraphs"], r["chem_bonds"], [0, [1]])
