"""Inputs that once crashed the interpreter, gave C++ exception texts or were silently accepted; threads
doing first element lookups at once."""

import collections
import math
import threading
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import trelvanoxa
from helpers import analyse, prepare


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


def ethanol_call(name, *args, **kwargs):
    """A call of a public function on ethanol's prepared molecule (m) or analysis record (r)."""
    def run(ethanol):
        m, r = ethanol
        fixed = {"m": m, "g": r["graph"], "subs": r["atom_subgraphs"], "chem": r["chem_bonds"]}
        return getattr(trelvanoxa, name)(*[fixed.get(a, a) if isinstance(a, str) else a for a in args], **kwargs)
    return run


# One case per kind of refusal: wrong types are TypeError, wrong values ValueError or IndexError, each naming the
# argument (or the method of a molecule-like object that returned it), never a crash or a C++ exception text.
@pytest.mark.parametrize("call,error,match", [
    (ethanol_call("plot_mass_spectrum", "x", 112, [], ax="axes"), TypeError, "ax must be matplotlib axes"),
    (ethanol_call("plot_mass_spectrum", "x", 30, [{"split": True, "fragments": [("A", 1.0, 15.0)]}]), TypeError,
     r"fragments\[0\]\['fragments'\]\[0\]: the m/z of 'A' must be an integer"),
    (ethanol_call("predict_fragments", fake_mol(2, [(1, 100000000)]), SOFT), IndexError,
     r"bond atom 100000000 is outside the molecule \(2 atoms\)"),
    (ethanol_call("predict_fragments_recursive", fake_mol(2, [(0, 1)], symbol=6), "g", "subs", "chem"), TypeError,
     r"GetSymbol\(\) must be a str, not int"),
    (ethanol_call("predict_fragments_recursive", "m", "g", "subs", "chem", max_generations=math.nan), ValueError,
     "max_generations must be a number, not nan"),
    (ethanol_call("_nominal_atom_mass", np.int64(-6)), ValueError, "atomic_num must be from 0 to 118, not -6"),
    (ethanol_call("_fragment_atom_softs", "g", "subs", "chem", [0, [1]]), TypeError, "unhashable"),
    (ethanol_call("detect_soft_bonds", "g", "chem", {"n+": 10**30, "n0": 0, "n-": 0}), ValueError,
     r"baseline_lpi\['n\+'\] must be from 0 to 1099511627776"),
    (ethanol_call("VIF", "CO", draw=False, bond_kappa=math.inf), ValueError, "bond_kappa must be a finite number"),
    (ethanol_call("_yerlestir_dugumler", 2**31, []), ValueError, None),  # once allocated 16 GB
    (ethanol_call("fetch_smiles_from_pubchem", "water", timeout=1e300), ValueError,
     "timeout must be at most 86400 seconds"),
])
def test_refusals(ethanol, call, error, match, capfd):
    import matplotlib.pyplot as plt

    with pytest.raises(error, match=match):
        call(ethanol)
    assert plt.get_fignums() == [] and "Range Error" not in capfd.readouterr().err  # RDKit was never asked


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
    start, errors = threading.Barrier(8), []

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
        return got

    with ThreadPoolExecutor(8) as pool:
        results = list(pool.map(worker, range(8)))
    trelvanoxa._get_period.cache_clear()
    assert errors == []
    truth = {"C": 2, "H": 1, "Cl": 3, "Br": 4, "*": "Element not found: *", "Xx": "Element not found: Xx", "I": 5,
             "Og": 7}
    for k, got in enumerate(results):
        assert got == [truth[s] for s in symbols[k:] + symbols[:k]]
    assert set(calls) == {"*", "Xx"} and max(calls.values()) <= 2  # never the database for a known element
