"""Module surface (parameters, defaults, binding order, argument errors), import side effects and the
element-data memos."""

import ast
import json
import collections
import functools
import inspect
import math
import re

import matplotlib.pyplot
import mendeleev
import networkx as nx
import numpy as np
import pytest
from rdkit import Chem
from rdkit.Chem import rdDepictor

import trelvanoxa
from helpers import prepare, run_python

REQUIRED = object()

# name -> parameters; "p=value" gives the default (with its type: 600 is an int, 1.5 a float)
SURFACE = {
    "_get_period": "symbol", "_angle_diff": "a b", "_symmetry_classes": "mol", "_radial_equalize": "coords groups",
    "_pca_align": "coords", "_enforce_mirror": "coords ranks axis eps=0.05",
    "compute_atom_layout": "mol n_iter=600 target_bond_len=1.5 repulsion_factor=1.2 k_attr=0.06 k_rep=0.05",
    "_yerlestir_dugumler": "n_nodes target_angles", "compute_lpi": "graph tol=1e-9 weight='weight'",
    "detect_soft_bonds": "graph chem_bonds baseline_lpi tol=1e-9", "_fragment_formula": "mol atom_indices",
    "_pair_label": "mol i j", "_nominal_atom_mass": "atomic_num", "_nominal_mass": "mol indices",
    "predict_fragments": "mol soft_bonds ring_fragmentation=False min_ring_fragment_mz=30",
    "_fragment_atom_softs": "H atom_subgraphs chem_bonds atom_set tol=1e-9",
    "_cut_atom_set": "mol atom_set softs ring_fragmentation min_mz",
    "predict_fragments_recursive": "mol H atom_subgraphs chem_bonds max_generations=3 min_mz=25 "
                                   "ring_fragmentation=True",
    "_build_bond_orders": "mol", "plot_mass_spectrum": "smiles mol_mass fragments ax=None",
    "VIF": "smiles n_iter=600 target_bond_len=1.5 radius_ratio=0.23 show_spectrum=True bond_kappa=0.9 draw=True "
           "verbose=True ring_fragmentation=False recursive_ms=False max_generations=2",
    "fetch_smiles_from_pubchem": "query by='name' timeout=20",
    "VIF_from_pubchem": "query by='name' * timeout=20 **vif_kwargs",
    "VIF_panel": "molecules=None by='name' cols=5 save=None node_size=60 bond_kappa=0.9",
    "VIF_ms_panel": "molecules=None by='name' cols=2 save=None ring_fragmentation=False recursive_ms=False",
    "triple_group_demo": "smiles='N#Cc1ccc(cc1)N=Nc1ccc(cc1)Cl' save_prefix='/tmp/vif_kombine'",
    "halogen_test": "molekuller=None panel_n=4 save='/tmp/vif_halojen.png'", "validate": "verbose=True",
}


def wanted(name):
    return [(p.partition("=")[0], ast.literal_eval(p.partition("=")[2]) if "=" in p else REQUIRED)
            for p in SURFACE[name].split()]


def python_parameters(func):
    got = []
    for p in inspect.signature(func).parameters.values():
        if p.kind is p.KEYWORD_ONLY and ("*", REQUIRED) not in got:
            got.append(("*", REQUIRED))
        got.append(({p.VAR_POSITIONAL: "*", p.VAR_KEYWORD: "**"}.get(p.kind, "") + p.name,
                    REQUIRED if p.default is p.empty else p.default))
    return got


def parameters(func):
    """(name, default or REQUIRED) of a native or a Python function; "**name" for collected keywords."""
    native = getattr(getattr(func, "__wrapped__", func), "__nb_signature__", None)
    if native is None:
        return python_parameters(func)
    (text, _doc, defaults), = native
    inner = text[text.index("(") + 1:text.rindex(") ->")]
    while re.search(r"\[[^\[\]]*\]", inner):  # drop bracketed type details
        inner = re.sub(r"\[[^\[\]]*\]", "", inner)
    return [(part.split(":")[0].strip(), defaults[int(ref.group(1))] if (ref := re.search(r"= \\(\d+)$", part))
             else REQUIRED) for part in inner.split(", ")]


@pytest.mark.parametrize("name", list(SURFACE))
def test_parameters_and_defaults(name):
    got = parameters(getattr(trelvanoxa, name))
    assert [n for n, _ in got] == [n for n, _ in wanted(name)]
    for (pname, g), (_, w) in zip(got, wanted(name)):
        assert g is REQUIRED if w is REQUIRED else (type(g) is type(w) and g == w), pname  # 600 int, 1.5 float


@pytest.mark.parametrize("call", [
    lambda: trelvanoxa.VIF("O", draw=False, verbose=False, colour="red"),
    lambda: trelvanoxa.VIF("O", 600, 1.5, 0.23, False, 0.9, False, False, False, False, 2, None),
    lambda: trelvanoxa.VIF(), lambda: trelvanoxa.compute_lpi(nx.Graph(), tol=1e-9, weights="w"),
    lambda: trelvanoxa._get_period("C", "H"), lambda: trelvanoxa._pair_label(prepare("CO"), 0),
    lambda: trelvanoxa.predict_fragments(prepare("CO"), [], False, 30, None),
    lambda: trelvanoxa.fetch_smiles_from_pubchem("water", "name", 20, None),  # before any request
    lambda: trelvanoxa.VIF_from_pubchem("water", "name", 600), lambda: trelvanoxa.validate(True, None),
    lambda: trelvanoxa.halogen_test(save=None, panels=2), lambda: trelvanoxa.VIF_panel(["O"], by="smiles", rows=1),
])
def test_bad_arguments_are_type_errors(call):
    with pytest.raises(TypeError):
        call()


def test_names_are_bound_in_order():
    libs = ["nx", "plt", "Chem", "rdDepictor", "element", "np", "math", "defaultdict", "lru_cache"]
    funcs = list(SURFACE)
    for const, after in [("_NOMINAL_ISOTOPE", "_pair_label"), ("PUBCHEM_REST", "VIF"), ("BIOMOLECULES",
                         "VIF_from_pubchem"), ("HALOGEN_TESTS", "triple_group_demo"),
                         ("LPI_REFERENCES", "halogen_test"), ("MS_REFERENCES", "LPI_REFERENCES")]:
        funcs.insert(funcs.index(after) + 1, const)
    examples = ("diborane ccl4 co2 h2o methyl_li dimethyllithium methanol ethanol formaldehyde formic_acid dodecane "
                "nitrobenzene dnb tnb tnt acetone_oxime benzaldehyde_imine CO NB DNB TNB TNT H2O CO2 CCl4").split()
    lazy = {"nx", "plt", "element"}  # bound on first use
    # batch analysis, scoring, predicted heights and the eigensolver's threads, bound last
    entry_points = ["analyze_many", "to_matchms", "explain", "predict_spectrum", "set_blas_threads",
                    "get_blas_threads"]
    assert [n for n in vars(trelvanoxa) if not n.startswith("__") and n not in {"_core", "_LAZY", "cli"} | lazy] == [
        n for n in libs + funcs + examples + entry_points if n not in lazy]
    assert lazy < set(dir(trelvanoxa))
    assert [getattr(trelvanoxa, n) for n in libs] == [nx, matplotlib.pyplot, Chem, rdDepictor, mendeleev.element, np,
                                                      math, collections.defaultdict, functools.lru_cache]
    for alias in examples[-8:]:  # upper-case aliases are the same objects; CO is methanol
        assert getattr(trelvanoxa, alias) is getattr(trelvanoxa, {"CO": "methanol", "NB": "nitrobenzene"}.get(
            alias, alias.lower()))
    assert (trelvanoxa.CO, trelvanoxa.co2) == ("CO", "O=C=O")


def test_fresh_import_is_silent_and_changes_no_setting():
    probe = ("import matplotlib, matplotlib.pyplot as plt, sys\nfrom rdkit.Chem import rdDepictor\n"
             "import networkx, rdkit.Chem, mendeleev, numpy\nprint(repr(matplotlib.rcParams._get_backend_or_none()),"
             " plt.get_fignums(), rdDepictor.GetPreferCoordGen(), 'requests' in sys.modules)\n")
    baseline = run_python(["-c", probe], keep_backend=False)
    loaded = run_python(["-c", "import trelvanoxa\n" + probe + "print(trelvanoxa._NOMINAL_ISOTOPE,"
                         " trelvanoxa._get_period.cache_info())\nprint(trelvanoxa.PUBCHEM_REST)\n"],
                        keep_backend=False)
    assert baseline.returncode == loaded.returncode == 0 and loaded.stderr == "", loaded.stderr
    first, memos, rest = loaded.stdout.splitlines()
    assert [first] == baseline.stdout.splitlines()  # the import itself printed nothing and chose nothing
    assert first.endswith(" [] True False") or first.endswith(" [] False False")  # no figure, no requests
    assert memos == "{} CacheInfo(hits=0, misses=0, maxsize=None, currsize=0)"
    assert rest == "https://pubchem.ncbi.nlm.nih.gov/rest/pug/compound"


def test_presentation_libraries_load_on_first_use(tmp_path):
    probe = ("import sys, trelvanoxa\nheavy = ['networkx', 'matplotlib.pyplot', 'mendeleev', 'requests']\n"
             "print([m in sys.modules for m in heavy])\ntrelvanoxa.VIF('ClCCBr', draw=False, verbose=False)\n"
             "print([m in sys.modules for m in heavy])\nprint(trelvanoxa.plt.__name__, trelvanoxa.element.__module__)\n")
    env = {"TRELVANOXA_CACHE_DIR": str(tmp_path)}
    first, again = run_python(["-c", probe], env=env), run_python(["-c", probe], env=env)
    assert first.returncode == again.returncode == 0, first.stderr + again.stderr
    # the first process asks mendeleev and keeps the answers; the next one needs no mendeleev at all
    assert first.stdout.splitlines()[:2] == ["[False, False, False, False]", "[True, False, True, False]"]
    assert again.stdout.splitlines() == ["[False, False, False, False]", "[True, False, False, False]",
                                         "matplotlib.pyplot mendeleev.mendeleev"]


def test_period_memo(monkeypatch, tmp_path):
    calls, real = [], mendeleev.element
    monkeypatch.setenv("TRELVANOXA_CACHE_DIR", str(tmp_path))
    monkeypatch.setattr(trelvanoxa, "element", lambda s: calls.append(s) or real(s))
    trelvanoxa._get_period.cache_clear()
    got = [trelvanoxa._get_period(s) for s in ["H", "C", "Cl", "Br", "I", "C", "Cl", "Na", "C"]]
    assert got == [1, 2, 3, 4, 5, 2, 3, 3, 2] and all(type(p) is int for p in got)
    assert calls == ["H", "C", "Cl", "Br", "I", "Na"]  # one lookup per symbol
    with pytest.raises(Exception) as direct:
        real("Qx")
    for _ in range(2):  # an unknown symbol raises mendeleev's own error and is never stored
        with pytest.raises(type(direct.value), match=str(direct.value)):
            trelvanoxa._get_period("Qx")
    assert calls[-2:] == ["Qx", "Qx"] and trelvanoxa._get_period.cache_info().currsize == 6
    # the answers are on disk for later processes; the unknown symbol is not
    memo = json.loads(next(tmp_path.glob("periods-mendeleev-*.json")).read_text())
    assert memo == {"H": 1, "C": 2, "Cl": 3, "Br": 4, "I": 5, "Na": 3}
    trelvanoxa._get_period.cache_clear()
    assert trelvanoxa._get_period("Br") == 4 and calls.count("Br") == 1
    trelvanoxa._get_period.cache_clear()


def test_nominal_mass_memo(monkeypatch):
    calls, table = [], Chem.GetPeriodicTable()
    got = [trelvanoxa._nominal_atom_mass(z) for z in range(1, 104)]  # hydrogen memoised before counting
    assert got == [table.GetMostCommonIsotope(z) for z in range(1, 104)] and all(type(m) is int for m in got)
    assert [got[z - 1] for z in (1, 6, 7, 8, 9, 15, 16, 17, 35, 53)] == [1, 12, 14, 16, 19, 31, 32, 35, 79, 127]
    monkeypatch.setattr(Chem, "GetPeriodicTable", lambda: type("T", (), {
        "GetMostCommonIsotope": lambda self, z: calls.append(z) or table.GetMostCommonIsotope(z)})())
    monkeypatch.delitem(trelvanoxa._NOMINAL_ISOTOPE, 34)
    assert [trelvanoxa._nominal_atom_mass(34) for _ in range(3)] == [80, 80, 80] and calls == [34]
    monkeypatch.setitem(trelvanoxa._NOMINAL_ISOTOPE, 7, 0)  # a stored 0 is reused, not looked up again
    assert trelvanoxa._nominal_mass(prepare("N"), range(4)) == 3 and calls == [34]
    with pytest.raises(Exception):
        trelvanoxa._nominal_atom_mass(250)
    assert 250 not in trelvanoxa._NOMINAL_ISOTOPE
    monkeypatch.undo()  # sums over any iterable of indices, repeats counted; deuterium counts as 1, Cl as 35
    mol = prepare("[2H]C(Cl)(Cl)Cl")
    assert [trelvanoxa._nominal_mass(mol, ix) for ix in (range(5), [], {1, 2}, (i for i in [1]), [1, 1])] == [
        118, 0, 47, 12, 24]
    with pytest.raises(Exception) as err:  # the toolkit's range error, never a crash
        trelvanoxa._nominal_mass(mol, [0, 5])
    assert not isinstance(err.value, SystemError)
