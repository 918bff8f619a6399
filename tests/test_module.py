"""Module surface (names, parameters, defaults, binding order, argument errors), import side
effects, example molecules and the element-data memos."""

import ast
import collections
import functools
import math
import re

import matplotlib.figure
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

# name -> parameters in order; "p=value" gives the default (a Python literal, type included).
SURFACE = {
    "_get_period": "symbol",
    "_angle_diff": "a b",
    "_symmetry_classes": "mol",
    "_radial_equalize": "coords groups",
    "_pca_align": "coords",
    "_enforce_mirror": "coords ranks axis eps=0.05",
    "compute_atom_layout": "mol n_iter=600 target_bond_len=1.5 repulsion_factor=1.2 k_attr=0.06 k_rep=0.05",
    "_yerlestir_dugumler": "n_nodes target_angles",
    "compute_lpi": "graph tol=1e-9 weight='weight'",
    "detect_soft_bonds": "graph chem_bonds baseline_lpi tol=1e-9",
    "_fragment_formula": "mol atom_indices",
    "_pair_label": "mol i j",
    "_nominal_atom_mass": "atomic_num",
    "_nominal_mass": "mol indices",
    "predict_fragments": "mol soft_bonds ring_fragmentation=False min_ring_fragment_mz=30",
    "_fragment_atom_softs": "H atom_subgraphs chem_bonds atom_set tol=1e-9",
    "_cut_atom_set": "mol atom_set softs ring_fragmentation min_mz",
    "predict_fragments_recursive": "mol H atom_subgraphs chem_bonds max_generations=3 min_mz=25 "
                                   "ring_fragmentation=True",
    "_build_bond_orders": "mol",
    "plot_mass_spectrum": "smiles mol_mass fragments ax=None",
    "VIF": "smiles n_iter=600 target_bond_len=1.5 radius_ratio=0.23 show_spectrum=True bond_kappa=0.9 "
           "draw=True verbose=True ring_fragmentation=False recursive_ms=False max_generations=2",
    "fetch_smiles_from_pubchem": "query by='name' timeout=20",
    "VIF_from_pubchem": "query by='name' **vif_kwargs",
    "VIF_panel": "molecules=None by='name' cols=5 save=None node_size=60 bond_kappa=0.9",
    "VIF_ms_panel": "molecules=None by='name' cols=2 save=None ring_fragmentation=False recursive_ms=False",
    "triple_group_demo": "smiles='N#Cc1ccc(cc1)N=Nc1ccc(cc1)Cl' save_prefix='/tmp/vif_kombine'",
    "halogen_test": "molekuller=None panel_n=4 save='/tmp/vif_halojen.png'",
    "validate": "verbose=True",
}


def wanted(name):
    out = []
    for p in SURFACE[name].split():
        pname, eq, default = p.partition("=")
        out.append((pname, ast.literal_eval(default) if eq else REQUIRED))
    return out


def declared(func):
    """(name, default) pairs from the native binding's signature record."""
    func = getattr(func, "__wrapped__", func)
    (text, _doc, defaults), = func.__nb_signature__
    inner = text[text.index("(") + 1:text.rindex(") ->")]
    while re.search(r"\[[^\[\]]*\]", inner):
        inner = re.sub(r"\[[^\[\]]*\]", "", inner)
    out = []
    for part in inner.split(", "):
        ref = re.search(r"= \\(\d+)$", part)
        out.append((part.split(":")[0].strip(), defaults[int(ref.group(1))] if ref else REQUIRED))
    return out


@pytest.mark.parametrize("name", list(SURFACE))
def test_parameters_and_defaults(name):
    got, want = declared(getattr(trelvanoxa, name)), wanted(name)
    assert [n for n, _ in got] == [n for n, _ in want]
    for (pname, g), (_, w) in zip(got, want):
        assert g is REQUIRED if w is REQUIRED else (type(g) is type(w) and g == w), pname


def test_names_are_bound_in_order():
    libs = ["nx", "plt", "Chem", "rdDepictor", "element", "np", "math", "defaultdict", "lru_cache"]
    funcs = list(SURFACE)
    for const, after in [("_NOMINAL_ISOTOPE", "_pair_label"), ("PUBCHEM_REST", "VIF"),
                         ("BIOMOLECULES", "VIF_from_pubchem"), ("HALOGEN_TESTS", "triple_group_demo"),
                         ("LPI_REFERENCES", "halogen_test"), ("MS_REFERENCES", "LPI_REFERENCES")]:
        funcs.insert(funcs.index(after) + 1, const)
    examples = ["diborane", "ccl4", "co2", "h2o", "methyl_li", "dimethyllithium", "methanol", "ethanol",
                "formaldehyde", "formic_acid", "dodecane", "nitrobenzene", "dnb", "tnb", "tnt", "acetone_oxime",
                "benzaldehyde_imine", "CO", "NB", "DNB", "TNB", "TNT", "H2O", "CO2", "CCl4"]
    names = [n for n in vars(trelvanoxa) if not n.startswith("__") and n != "_core"]
    assert names == libs + funcs + examples
    assert [trelvanoxa.nx, trelvanoxa.plt, trelvanoxa.Chem, trelvanoxa.rdDepictor, trelvanoxa.element,
            trelvanoxa.np, trelvanoxa.math, trelvanoxa.defaultdict, trelvanoxa.lru_cache] == [
        nx, matplotlib.pyplot, Chem, rdDepictor, mendeleev.element, np, math, collections.defaultdict,
        functools.lru_cache]


def test_example_molecules_and_aliases():
    t = trelvanoxa
    assert (t.diborane, t.ccl4, t.co2, t.h2o, t.methyl_li, t.dimethyllithium) == (
        "[H]B1([H])[H][B]([H])([H])[H]1", "C(Cl)(Cl)(Cl)Cl", "O=C=O", "O", "C[Li]", "C1[Li]C[Li]1")
    assert (t.methanol, t.ethanol, t.formaldehyde, t.formic_acid, t.dodecane) == (
        "CO", "CCO", "C=O", "OC=O", "C" * 12)
    assert (t.nitrobenzene, t.dnb, t.tnb, t.tnt, t.acetone_oxime, t.benzaldehyde_imine) == (
        "c1ccc(cc1)[N+](=O)[O-]", "c1cc(cc(c1)[N+](=O)[O-])[N+](=O)[O-]",
        "c1c(cc(cc1[N+](=O)[O-])[N+](=O)[O-])[N+](=O)[O-]", "Cc1c(cc(cc1[N+](=O)[O-])[N+](=O)[O-])[N+](=O)[O-]",
        "CC(=NO)C", "C(=NC)c1ccccc1")
    for alias, name in [("CO", "methanol"), ("NB", "nitrobenzene"), ("DNB", "dnb"), ("TNB", "tnb"),
                        ("TNT", "tnt"), ("H2O", "h2o"), ("CO2", "co2"), ("CCl4", "ccl4")]:
        assert getattr(t, alias) is getattr(t, name)
    assert t._core.PUBCHEM_REST == "https://pubchem.ncbi.nlm.nih.gov/rest/pug/compound"


@pytest.fixture(scope="module")
def samples():
    """A valid positional argument list per function (every parameter given)."""
    mol = prepare("CO")
    build = trelvanoxa._core.build_vif_graph("CO")
    _, H, subs, _, chem = build
    coords = np.array([[0.0, 1.0], [2.0, -1.0]])
    return {
        "_get_period": ["C"], "_angle_diff": [0.0, 1.0], "_symmetry_classes": [mol],
        "_radial_equalize": [coords.copy(), {0: [0, 1]}], "_pca_align": [coords.copy()],
        "_enforce_mirror": [coords.copy(), [0, 0], 1, 0.05],
        "compute_atom_layout": [mol, 3, 1.5, 1.2, 0.06, 0.05], "_yerlestir_dugumler": [4, [0.0]],
        "compute_lpi": [nx.Graph([(0, 1)]), 1e-9, "weight"],
        "detect_soft_bonds": [H, chem, trelvanoxa.compute_lpi(H), 1e-9],
        "_fragment_formula": [mol, [0, 1]], "_pair_label": [mol, 0, 1], "_nominal_atom_mass": [6],
        "_nominal_mass": [mol, [0]], "predict_fragments": [mol, [], False, 30],
        "_fragment_atom_softs": [H, subs, chem, {0, 1}, 1e-9], "_cut_atom_set": [mol, {0, 1}, [], False, 25],
        "predict_fragments_recursive": [build[0], H, subs, chem, 0, 25, True], "_build_bond_orders": [mol],
        "plot_mass_spectrum": ["CO", 32, [], matplotlib.figure.Figure().add_subplot()],
        # The drivers are not run here: a bad call must fail before any work.
        "VIF": ["O", 600, 1.5, 0.23, False, 0.9, False, False, False, False, 2],
        "fetch_smiles_from_pubchem": ["water", "name", 20], "VIF_from_pubchem": ["water", "name"],
        "VIF_panel": [None, "smiles", 5, None, 60, 0.9], "VIF_ms_panel": [None, "smiles", 2, None, False, False],
        "triple_group_demo": ["O", None], "halogen_test": [None, 4, None], "validate": [True],
    }


@pytest.mark.parametrize("name", list(SURFACE))
def test_bad_arguments_are_type_errors(name, samples):
    func, args = getattr(trelvanoxa, name), samples[name]
    names = [p for p, _ in wanted(name)]
    assert len(args) == len([n for n in names if not n.startswith("**")])
    if wanted(name)[0][1] is REQUIRED:
        with pytest.raises(TypeError):
            func()
    with pytest.raises(TypeError):
        func(*args, None)
    if name != "VIF_from_pubchem":  # its extra keywords belong to VIF
        with pytest.raises(TypeError):
            func(*args, not_a_parameter=1)
    if name in list(SURFACE)[:list(SURFACE).index("plot_mass_spectrum") + 1]:
        func(**dict(zip(names, args)))  # every parameter accepted by keyword


def test_fresh_import_is_silent_and_changes_no_setting():
    probe = ("import matplotlib, matplotlib.pyplot as plt, sys\n"
             "from rdkit.Chem import rdDepictor\nimport networkx, rdkit.Chem, mendeleev, numpy\n{}"
             "print(repr(matplotlib.rcParams._get_backend_or_none()), plt.get_fignums(),"
             " rdDepictor.GetPreferCoordGen(), 'requests' in sys.modules)\n")
    baseline = run_python(["-c", probe.format("")], keep_backend=False)
    loaded = run_python(["-c", "import trelvanoxa\n" + probe.format("")
                         + "print(trelvanoxa._NOMINAL_ISOTOPE, trelvanoxa._get_period.cache_info())\n"],
                        keep_backend=False)
    assert baseline.returncode == loaded.returncode == 0, loaded.stderr
    assert loaded.stderr == ""
    first, memos = loaded.stdout.splitlines()
    assert [first] == baseline.stdout.splitlines()  # nothing printed by the import itself
    assert first.endswith(" [] False False") or first.endswith(" [] True False")  # no figure, no requests
    assert memos == "{} CacheInfo(hits=0, misses=0, maxsize=None, currsize=0)"


# ------------------------------------------------------------ element data


@pytest.fixture
def element_calls(monkeypatch):
    calls, real = [], mendeleev.element
    monkeypatch.setattr(trelvanoxa, "element", lambda s: calls.append(s) or real(s))
    trelvanoxa._get_period.cache_clear()
    yield calls
    trelvanoxa._get_period.cache_clear()


def test_period_memo(element_calls):
    symbols = ["H", "He", "C", "Cl", "Br", "I", "Xe", "C", "Cl", "Na", "C"]
    got = [trelvanoxa._get_period(s) for s in symbols]
    assert got == [1, 1, 2, 3, 4, 5, 5, 2, 3, 3, 2] and all(type(p) is int for p in got)
    assert element_calls == ["H", "He", "C", "Cl", "Br", "I", "Xe", "Na"]
    with pytest.raises(Exception) as direct:
        mendeleev.element("Qx")
    for _ in range(2):  # an unknown symbol raises mendeleev's own error and is never stored
        with pytest.raises(type(direct.value), match=str(direct.value)):
            trelvanoxa._get_period("Qx")
    assert element_calls[-2:] == ["Qx", "Qx"]
    assert trelvanoxa._get_period.cache_info().currsize == 8


@pytest.fixture
def table_calls(monkeypatch):
    calls, real = [], Chem.GetPeriodicTable()

    class Table:
        def GetMostCommonIsotope(self, z):
            calls.append(z)
            return real.GetMostCommonIsotope(z)

    monkeypatch.setattr(Chem, "GetPeriodicTable", Table)
    return calls


def test_nominal_atom_mass_memo(monkeypatch, table_calls):
    monkeypatch.delitem(trelvanoxa._NOMINAL_ISOTOPE, 34, raising=False)
    assert [trelvanoxa._nominal_atom_mass(34) for _ in range(3)] == [80, 80, 80]
    assert table_calls == [34] and trelvanoxa._NOMINAL_ISOTOPE[34] == 80
    monkeypatch.setitem(trelvanoxa._NOMINAL_ISOTOPE, 7, 0)  # a stored 0 is reused, not looked up again
    assert trelvanoxa._nominal_atom_mass(7) == 0 and table_calls == [34]
    assert trelvanoxa._nominal_mass(prepare("N"), range(4)) == 3
    trelvanoxa._NOMINAL_ISOTOPE.pop(250, None)
    with pytest.raises(Exception):
        trelvanoxa._nominal_atom_mass(250)
    assert 250 not in trelvanoxa._NOMINAL_ISOTOPE


def test_nominal_atom_mass_of_every_element():
    pt = Chem.GetPeriodicTable()
    got = [trelvanoxa._nominal_atom_mass(z) for z in range(1, 104)]
    assert got == [pt.GetMostCommonIsotope(z) for z in range(1, 104)] and all(type(m) is int for m in got)
    assert [got[z - 1] for z in (1, 6, 7, 8, 9, 15, 16, 17, 35, 53)] == [1, 12, 14, 16, 19, 31, 32, 35, 79, 127]


@pytest.mark.parametrize("smiles,indices,expected", [
    ("C", range(5), 16), ("CCl", range(5), 50), ("CBr", range(5), 94), ("C", [], 0),
    ("CO", {0, 1}, 28), ("CO", (i for i in [1]), 16), ("CO", [0, 0], 24),
    ("[13CH4]", range(5), 16), ("[2H]C(Cl)(Cl)Cl", range(5), 118), ("OS(=O)(=O)O", range(7), 98),
])
def test_nominal_mass(smiles, indices, expected):
    got = trelvanoxa._nominal_mass(prepare(smiles), indices)
    assert got == expected and type(got) is int


@pytest.mark.parametrize("index", [5, 100, -1])
def test_nominal_mass_index_outside_the_molecule(index):
    with pytest.raises(Exception) as err:
        trelvanoxa._nominal_mass(prepare("C"), [0, index])
    assert not isinstance(err.value, SystemError)
