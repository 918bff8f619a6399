"""The callable surface of the module: names, parameters, defaults, import
side effects and the named example molecules."""

import collections
import functools
import inspect
import math
import os
import re
import subprocess
import sys
from pathlib import Path

import matplotlib.figure
import networkx as nx
import numpy as np
import pytest
from rdkit import Chem

import trelvanoxa
from oracles import prepare

REQUIRED = inspect.Parameter.empty

# name -> [(parameter, default)], REQUIRED for parameters without a default.
SURFACE = {
    "_get_period": [("symbol", REQUIRED)],
    "_angle_diff": [("a", REQUIRED), ("b", REQUIRED)],
    "_symmetry_classes": [("mol", REQUIRED)],
    "_radial_equalize": [("coords", REQUIRED), ("groups", REQUIRED)],
    "_pca_align": [("coords", REQUIRED)],
    "_enforce_mirror": [("coords", REQUIRED), ("ranks", REQUIRED),
                        ("axis", REQUIRED), ("eps", 0.05)],
    "compute_atom_layout": [("mol", REQUIRED), ("n_iter", 600),
                            ("target_bond_len", 1.5), ("repulsion_factor", 1.2),
                            ("k_attr", 0.06), ("k_rep", 0.05)],
    "_yerlestir_dugumler": [("n_nodes", REQUIRED), ("target_angles", REQUIRED)],
    "compute_lpi": [("graph", REQUIRED), ("tol", 1e-9), ("weight", "weight")],
    "detect_soft_bonds": [("graph", REQUIRED), ("chem_bonds", REQUIRED),
                          ("baseline_lpi", REQUIRED), ("tol", 1e-9)],
    "_fragment_formula": [("mol", REQUIRED), ("atom_indices", REQUIRED)],
    "_pair_label": [("mol", REQUIRED), ("i", REQUIRED), ("j", REQUIRED)],
    "_nominal_atom_mass": [("atomic_num", REQUIRED)],
    "_nominal_mass": [("mol", REQUIRED), ("indices", REQUIRED)],
    "predict_fragments": [("mol", REQUIRED), ("soft_bonds", REQUIRED),
                          ("ring_fragmentation", False),
                          ("min_ring_fragment_mz", 30)],
    "_fragment_atom_softs": [("H", REQUIRED), ("atom_subgraphs", REQUIRED),
                             ("chem_bonds", REQUIRED), ("atom_set", REQUIRED),
                             ("tol", 1e-9)],
    "_cut_atom_set": [("mol", REQUIRED), ("atom_set", REQUIRED),
                      ("softs", REQUIRED), ("ring_fragmentation", REQUIRED),
                      ("min_mz", REQUIRED)],
    "predict_fragments_recursive": [("mol", REQUIRED), ("H", REQUIRED),
                                    ("atom_subgraphs", REQUIRED),
                                    ("chem_bonds", REQUIRED),
                                    ("max_generations", 3), ("min_mz", 25),
                                    ("ring_fragmentation", True)],
    "_build_bond_orders": [("mol", REQUIRED)],
    "plot_mass_spectrum": [("smiles", REQUIRED), ("mol_mass", REQUIRED),
                           ("fragments", REQUIRED), ("ax", None)],
    "VIF": [("smiles", REQUIRED), ("n_iter", 600), ("target_bond_len", 1.5),
            ("radius_ratio", 0.23), ("show_spectrum", True),
            ("bond_kappa", 0.9), ("draw", True), ("verbose", True),
            ("ring_fragmentation", False), ("recursive_ms", False),
            ("max_generations", 2)],
}


def _split_top_level(text):
    parts, depth, cur = [], 0, ""
    for ch in text:
        if ch in "([{":
            depth += 1
        elif ch in ")]}":
            depth -= 1
        if ch == "," and depth == 0:
            parts.append(cur)
            cur = ""
        else:
            cur += ch
    if cur.strip():
        parts.append(cur)
    return [p.strip() for p in parts]


def declared_parameters(func):
    """(name, default) pairs the callable declares, from inspect when it can
    see them, otherwise from the native binding's signature record."""
    func = getattr(func, "__wrapped__", func)
    try:
        sig = inspect.signature(func)
        kinds = {p.kind for p in sig.parameters.values()}
        if not kinds <= {inspect.Parameter.VAR_POSITIONAL,
                         inspect.Parameter.VAR_KEYWORD}:
            return [(p.name, p.default) for p in sig.parameters.values()]
    except (TypeError, ValueError):
        pass
    nb = getattr(func, "__nb_signature__", None)
    if not nb or len(nb) != 1:
        pytest.skip("signature not introspectable")
    text, _doc, defaults = nb[0]
    start = text.index("(") + 1
    depth, end = 1, start
    while depth:
        depth += {"(": 1, ")": -1}.get(text[end], 0)
        end += 1
    inner = text[start:end - 1]
    out = []
    for part in _split_top_level(inner):
        if part in ("/", "*"):
            continue
        name = part.split(":")[0].split("=")[0].strip()
        default = REQUIRED
        ref = re.search(r"=\s*\\(\d+)\s*$", part)
        if ref:
            default = defaults[int(ref.group(1))]
        out.append((name, default))
    return out


@pytest.mark.parametrize("name", list(SURFACE))
def test_function_is_bound(name):
    assert callable(getattr(trelvanoxa, name))


@pytest.mark.parametrize("name", list(SURFACE))
def test_parameter_names_and_defaults(name):
    got = declared_parameters(getattr(trelvanoxa, name))
    want = SURFACE[name]
    assert [n for n, _ in got] == [n for n, _ in want]
    for (pname, gd), (_, wd) in zip(got, want):
        if wd is REQUIRED:
            assert gd is REQUIRED, pname
        else:
            # 600 is an int, 1.5 a float, True a bool: the type is part of it
            assert type(gd) is type(wd), (pname, gd)
            assert gd == wd, pname


def test_get_period_is_an_unbounded_lru_memo():
    info = trelvanoxa._get_period.cache_info()
    assert info.maxsize is None
    trelvanoxa._get_period("C")
    before = trelvanoxa._get_period.cache_info()
    trelvanoxa._get_period("C")
    after = trelvanoxa._get_period.cache_info()
    assert after.hits == before.hits + 1
    assert after.misses == before.misses


def test_library_bindings():
    import matplotlib.pyplot
    import mendeleev
    from rdkit.Chem import rdDepictor

    assert trelvanoxa.nx is nx
    assert trelvanoxa.plt is matplotlib.pyplot
    assert trelvanoxa.Chem is Chem
    assert trelvanoxa.rdDepictor is rdDepictor
    assert trelvanoxa.element is mendeleev.element
    assert trelvanoxa.np is np
    assert trelvanoxa.math is math
    assert trelvanoxa.defaultdict is collections.defaultdict
    assert trelvanoxa.lru_cache is functools.lru_cache


def test_binding_order():
    """Library names first, then functions in their table order (with the
    isotope memo right after _pair_label), then examples, then aliases."""
    names = list(vars(trelvanoxa))
    libs = ["nx", "plt", "Chem", "rdDepictor", "element", "np", "math",
            "defaultdict", "lru_cache"]
    funcs = list(SURFACE)
    funcs.insert(funcs.index("_pair_label") + 1, "_NOMINAL_ISOTOPE")
    examples = list(EXAMPLES) + list(ALIASES)
    expected = [n for n in libs + funcs + examples if n in names]
    assert [n for n in names if n in set(expected)] == expected


EXAMPLES = {
    "diborane": "[H]B1([H])[H][B]([H])([H])[H]1",
    "ccl4": "C(Cl)(Cl)(Cl)Cl",
    "co2": "O=C=O",
    "h2o": "O",
    "methyl_li": "C[Li]",
    "dimethyllithium": "C1[Li]C[Li]1",
    "methanol": "CO",
    "ethanol": "CCO",
    "formaldehyde": "C=O",
    "formic_acid": "OC=O",
    "dodecane": "CCCCCCCCCCCC",
    "nitrobenzene": "c1ccc(cc1)[N+](=O)[O-]",
    "dnb": "c1cc(cc(c1)[N+](=O)[O-])[N+](=O)[O-]",
    "tnb": "c1c(cc(cc1[N+](=O)[O-])[N+](=O)[O-])[N+](=O)[O-]",
    "tnt": "Cc1c(cc(cc1[N+](=O)[O-])[N+](=O)[O-])[N+](=O)[O-]",
    "acetone_oxime": "CC(=NO)C",
    "benzaldehyde_imine": "C(=NC)c1ccccc1",
}

ALIASES = {"CO": "methanol", "NB": "nitrobenzene", "DNB": "dnb", "TNB": "tnb",
           "TNT": "tnt", "H2O": "h2o", "CO2": "co2", "CCl4": "ccl4"}


@pytest.mark.parametrize("name,smiles", list(EXAMPLES.items()))
def test_example_molecules(name, smiles):
    value = getattr(trelvanoxa, name)
    assert value == smiles
    assert Chem.MolFromSmiles(value, sanitize=False) is not None


@pytest.mark.parametrize("alias,name", list(ALIASES.items()))
def test_aliases_are_the_same_objects(alias, name):
    assert getattr(trelvanoxa, alias) is getattr(trelvanoxa, name)


def test_co_is_methanol_not_carbon_monoxide():
    assert trelvanoxa.CO == "CO"
    assert trelvanoxa.co2 == "O=C=O"


def test_isotope_memo_is_a_plain_mapping():
    assert isinstance(trelvanoxa._NOMINAL_ISOTOPE, dict)
    assert all(isinstance(k, int) and isinstance(v, int)
               for k, v in trelvanoxa._NOMINAL_ISOTOPE.items())


# ------------------------------------------------------------ argument errors

def _sample_kwargs():
    """One valid keyword-only call per function."""
    mol = prepare("CO")
    g = nx.Graph([(0, 1)])
    coords = np.array([[0.0, 1.0], [2.0, -1.0]])
    build = trelvanoxa._core.build_vif_graph("CO")
    _, H, subs, _, chem = build
    ax = matplotlib.figure.Figure().add_subplot()
    return {
        "_get_period": dict(symbol="C"),
        "_angle_diff": dict(a=0.0, b=1.0),
        "_symmetry_classes": dict(mol=mol),
        "_radial_equalize": dict(coords=coords.copy(), groups={0: [0, 1]}),
        "_pca_align": dict(coords=coords.copy()),
        "_enforce_mirror": dict(coords=coords.copy(), ranks=[0, 0], axis=1,
                                eps=0.05),
        "compute_atom_layout": dict(mol=mol, n_iter=3, target_bond_len=1.5,
                                    repulsion_factor=1.2, k_attr=0.06,
                                    k_rep=0.05),
        "_yerlestir_dugumler": dict(n_nodes=4, target_angles=[0.0]),
        "compute_lpi": dict(graph=g, tol=1e-9, weight="weight"),
        "detect_soft_bonds": dict(graph=H, chem_bonds=chem,
                                  baseline_lpi=trelvanoxa.compute_lpi(H),
                                  tol=1e-9),
        "_fragment_formula": dict(mol=mol, atom_indices=[0, 1]),
        "_pair_label": dict(mol=mol, i=0, j=1),
        "_nominal_atom_mass": dict(atomic_num=6),
        "_nominal_mass": dict(mol=mol, indices=[0]),
        "predict_fragments": dict(mol=mol, soft_bonds=[],
                                  ring_fragmentation=False,
                                  min_ring_fragment_mz=30),
        "_fragment_atom_softs": dict(H=H, atom_subgraphs=subs, chem_bonds=chem,
                                     atom_set={0, 1}, tol=1e-9),
        "_cut_atom_set": dict(mol=mol, atom_set={0, 1}, softs=[],
                              ring_fragmentation=False, min_mz=25),
        "predict_fragments_recursive": dict(mol=build[0], H=H,
                                            atom_subgraphs=subs,
                                            chem_bonds=chem, max_generations=0,
                                            min_mz=25,
                                            ring_fragmentation=True),
        "_build_bond_orders": dict(mol=mol),
        "plot_mass_spectrum": dict(smiles="CO", mol_mass=32, fragments=[],
                                   ax=ax),
    }


@pytest.fixture(scope="module")
def sample_kwargs():
    return _sample_kwargs()


CALLABLE_NAMES = [n for n in SURFACE if n != "VIF"]


@pytest.mark.parametrize("name", CALLABLE_NAMES)
def test_all_parameters_by_keyword(name, sample_kwargs):
    kwargs = sample_kwargs[name]
    assert [k for k in kwargs] == [p for p, _ in SURFACE[name]]
    getattr(trelvanoxa, name)(**kwargs)


@pytest.mark.parametrize("name", CALLABLE_NAMES)
def test_unknown_keyword_is_a_type_error(name, sample_kwargs):
    kwargs = dict(sample_kwargs[name], not_a_parameter=1)
    with pytest.raises(TypeError):
        getattr(trelvanoxa, name)(**kwargs)


@pytest.mark.parametrize("name", CALLABLE_NAMES)
def test_too_many_positional_arguments_is_a_type_error(name, sample_kwargs):
    args = list(sample_kwargs[name].values()) + [None]
    with pytest.raises(TypeError):
        getattr(trelvanoxa, name)(*args)


@pytest.mark.parametrize("name", list(SURFACE))
def test_missing_required_argument_is_a_type_error(name):
    with pytest.raises(TypeError):
        getattr(trelvanoxa, name)()


def test_vif_unknown_keyword_is_a_type_error():
    with pytest.raises(TypeError):
        trelvanoxa.VIF("O", draw=False, verbose=False, colour="red")


# ------------------------------------------------------------ fresh import

def _run_fresh(code):
    env = {k: v for k, v in os.environ.items() if k != "MPLBACKEND"}
    pkg_root = str(Path(trelvanoxa.__file__).resolve().parents[1])
    env["PYTHONPATH"] = os.pathsep.join(
        [pkg_root] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p])
    return subprocess.run([sys.executable, "-c", code], capture_output=True,
                          text=True, env=env, timeout=120)


def test_fresh_import_prints_nothing():
    res = _run_fresh("import trelvanoxa")
    assert res.returncode == 0, res.stderr
    assert res.stdout == ""
    assert res.stderr == ""


def test_fresh_import_leaves_plotting_and_rdkit_settings_alone():
    probe = (
        "import matplotlib, matplotlib.pyplot as plt\n"
        "from rdkit.Chem import rdDepictor\n"
        "import networkx, rdkit.Chem, mendeleev, numpy\n"
        "{extra}"
        "print(repr(matplotlib.rcParams._get_backend_or_none()))\n"
        "print(plt.get_fignums())\n"
        "print(rdDepictor.GetPreferCoordGen())\n"
    )
    baseline = _run_fresh(probe.format(extra=""))
    loaded = _run_fresh(probe.format(
        extra="import trelvanoxa\nassert trelvanoxa.__file__ == %r\n"
        % trelvanoxa.__file__))
    assert baseline.returncode == 0, baseline.stderr
    assert loaded.returncode == 0, loaded.stderr
    # same backend choice (none, unless the environment makes one), no
    # figure, same CoordGen preference as without the module
    assert loaded.stdout == baseline.stdout
    lines = loaded.stdout.splitlines()
    assert lines[1] == "[]"


def test_fresh_import_starts_with_empty_memos():
    res = _run_fresh(
        "import trelvanoxa\n"
        "print(trelvanoxa._NOMINAL_ISOTOPE)\n"
        "print(trelvanoxa._get_period.cache_info().currsize)\n")
    assert res.returncode == 0, res.stderr
    assert res.stdout.split() == ["{}", "0"]
