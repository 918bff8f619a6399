"""Fuzzing child (python fuzz_child.py EXAMPLES SEED LOG): every public function with random arguments.

Run by test_fuzz.py in its own interpreter, so that a crash ends only this process; every example is logged
(flushed) before it runs.  An example fails unless it returns, raises a clear argument error (TypeError,
ValueError, IndexError, KeyError with a message; never RuntimeError, SystemError or a "std::" text), the fake
objects' own error, OSError, mendeleev's error for an unknown element, or reaches the per-example SIGALRM
limit (whose handler raises: native loops must let signals through)."""

import inspect
import math
import os
import re
import signal
import sys

import matplotlib

matplotlib.use("Agg")

import hypothesis.strategies as st  # noqa: E402
import matplotlib.pyplot as plt  # noqa: E402
import networkx as nx  # noqa: E402
import numpy as np  # noqa: E402
from hypothesis import HealthCheck, given, seed, settings  # noqa: E402

import trelvanoxa  # noqa: E402
from helpers import prepare  # noqa: E402

EXAMPLES, SEED, LOG = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
trelvanoxa.PUBCHEM_REST = "http://127.0.0.1:9/rest/pug/compound"  # a closed local port
SKIP = {"validate"}  # one flag, then the whole reference suite: covered by test_reference.py
REAL_SMILES = ["O", "C", "CCO", "C=O", "C#N", "ClCCBr", "c1ccccc1", "C1CC1", "[Li]C", "CC(=O)O", "[H][H]", "O=C=O"]
REAL_MOLS = [prepare(s) for s in REAL_SMILES[:8]]
REAL = {s: trelvanoxa.VIF(s, draw=False, verbose=False, n_iter=20) for s in REAL_SMILES[:6]}


class FakeError(Exception):
    """Raised by the fake objects' own methods; it must come out as it went in."""


class Timeout(BaseException):
    pass


def _alarm(signum, frame):
    raise Timeout()


signal.signal(signal.SIGALRM, _alarm)

# ---- values of every kind ----------------------------------------------------------------------
text = st.text(st.characters(codec=None, categories=None), max_size=12) | st.sampled_from(
    ["", "\x00", "C\x00C", "\ud800", "C" * 300, "[Xx]", "[U]C", "*", "C1CC", "nan", "1e999", "\n\t"])
ints = st.integers(-5, 40) | st.sampled_from([-1, 2**31, 2**63, -(2**63) - 1, 10**30, -(10**30)])
floats = st.floats(allow_nan=True, allow_infinity=True) | st.sampled_from([math.nan, math.inf, -math.inf, -0.0, 1e308])
scalars = st.none() | st.booleans() | ints | floats | text | st.binary(max_size=4) | st.just(np.float32(np.nan)) | \
    st.builds(np.int64, st.integers(-5, 5)) | st.just(object()) | st.just(1 + 2j)


def raiser(value):
    def method(*args, **kwargs):
        if value is FakeError:
            raise FakeError("from a fake object")
        return value
    return method


fake_value = scalars | st.just(FakeError) | st.lists(ints, max_size=3)


@st.composite
def fake_mol(draw):
    """A duck-typed molecule: a few atoms and bonds whose methods return anything."""
    n = draw(st.integers(-3, 4) | fake_value)
    atom_attrs = {"GetAtomicNum": st.sampled_from([6, 1, 8]) | fake_value,
                  "GetSymbol": st.sampled_from(["C", "H", "O", "Cl"]) | fake_value,
                  "GetMass": st.sampled_from([12.011, 1.008]) | fake_value, "GetIdx": ints | fake_value,
                  "GetNeighbors": st.just([]) | fake_value, "GetDegree": ints | fake_value,
                  "GetTotalNumHs": ints | fake_value}
    atoms = [type("FakeAtom", (), {k: raiser(draw(v)) for k, v in atom_attrs.items()})() for _ in range(4)]
    bonds = [type("FakeBond", (), {"GetBeginAtomIdx": raiser(draw(st.integers(-2, 4) | fake_value)),
                                   "GetEndAtomIdx": raiser(draw(st.integers(-2, 4) | fake_value)),
                                   "GetBondTypeAsDouble": raiser(draw(st.sampled_from([1.0, 2.0, 1.5]) | fake_value)),
                                   "GetIdx": raiser(draw(ints))})() for _ in range(draw(st.integers(0, 3)))]
    get_atom = draw(st.sampled_from(["list", "value"]))
    methods = {"GetNumAtoms": raiser(n), "GetBonds": raiser(draw(st.just(bonds) | fake_value)),
               "GetAtoms": raiser(atoms),
               "GetAtomWithIdx": (lambda self, i: atoms[i]) if get_atom == "list" else raiser(draw(fake_value)),
               "GetBondBetweenAtoms": raiser(None), "GetConformer": raiser(draw(fake_value)),
               "GetNumConformers": raiser(draw(ints)), "UpdatePropertyCache": raiser(None)}
    return type("FakeMol", (), methods)()


weights = st.sampled_from([1.0, 0.9, -0.5, 0.0, 1e-12]) | scalars


@st.composite
def graphs(draw):
    kind = draw(st.sampled_from([nx.Graph, nx.MultiGraph, nx.DiGraph, nx.Graph]))
    g = kind()
    nodes = draw(st.lists(st.integers(0, 8) | st.sampled_from(["a", (1, 2), 2.5]), max_size=8))
    g.add_nodes_from(nodes)
    for _ in range(draw(st.integers(0, 10))):
        if len(nodes) < 1:
            break
        u, v = draw(st.sampled_from(nodes)), draw(st.sampled_from(nodes))
        data = draw(st.dictionaries(st.sampled_from(["weight", "w", "k"]), weights, max_size=2))
        g.add_edge(u, v, **data)
    return g


@st.composite
def fake_graph(draw):
    methods = {"number_of_nodes": raiser(draw(ints | fake_value)), "is_directed": raiser(draw(fake_value)),
               "is_multigraph": raiser(draw(fake_value)), "nodes": raiser(draw(st.lists(ints, max_size=4) | fake_value)),
               "edges": raiser(draw(st.lists(st.tuples(ints, ints, weights), max_size=4) | fake_value)),
               "get_edge_data": raiser(draw(fake_value))}
    return type("FakeGraph", (), methods)()


record_keys = ["u_node", "v_node", "atom_u", "atom_v", "sym_u", "sym_v", "order", "k", "split", "fragments", "bond"]
records = st.dictionaries(st.sampled_from(record_keys), st.integers(-2, 12) | scalars, max_size=8)
real_records = st.sampled_from(list(REAL.values())).flatmap(
    lambda r: st.lists(st.sampled_from(r["chem_bonds"]), max_size=4) if r["chem_bonds"] else st.just([]))
fragment_lists = st.sampled_from([r["fragments"] for r in REAL.values()]) | st.lists(
    st.fixed_dictionaries({"split": scalars, "fragments": st.lists(st.tuples(text, floats, ints | scalars), max_size=3)
                           | scalars}), max_size=3)

anything = st.deferred(lambda: scalars | st.lists(scalars, max_size=4) | st.tuples(scalars, scalars)
                       | st.dictionaries(text | ints, scalars, max_size=3) | st.frozensets(ints, max_size=3)
                       | st.sampled_from(REAL_MOLS) | fake_mol() | graphs() | fake_graph() | st.lists(records, max_size=3)
                       | st.just(iter([1, 2])))

# ---- plausible values by parameter name (mixed with anything) ----------------------------------
real = st.sampled_from(list(REAL.values()))
safe_name = st.text(st.characters(codec="ascii", exclude_characters="/~\\"), min_size=1, max_size=8)
PLAUSIBLE = {
    "smiles": st.sampled_from(REAL_SMILES) | text,
    "mol": st.sampled_from(REAL_MOLS) | fake_mol(),
    "graph": graphs() | real.map(lambda r: r["graph"]) | fake_graph(),
    "H": real.map(lambda r: r["graph"]) | graphs(),
    "atom_subgraphs": real.map(lambda r: r["atom_subgraphs"]) | st.dictionaries(ints, st.lists(ints), max_size=3),
    "chem_bonds": real_records | st.lists(records, max_size=3),
    "soft_bonds": real_records | st.lists(records, max_size=3),
    "softs": real_records | st.lists(records, max_size=3),
    "baseline_lpi": real.map(lambda r: r["lpi"]) | st.dictionaries(st.sampled_from(["n+", "n0", "n-"]), ints | scalars),
    "fragments": fragment_lists,
    "mol_mass": floats | ints,
    "atom_set": st.lists(st.integers(-2, 12), max_size=6) | st.frozensets(st.integers(0, 10)),
    "atom_indices": st.lists(st.integers(-2, 12), max_size=6), "indices": st.lists(st.integers(-2, 12), max_size=6),
    "n_iter": st.integers(-3, 30) | st.sampled_from([-(2**70), 2**70]),
    "coords": st.lists(st.tuples(floats, floats), max_size=5).map(np.array) | anything,
    "groups": st.lists(st.lists(st.integers(-1, 6), max_size=4), max_size=3),
    "ranks": st.lists(st.integers(-1, 6), max_size=6), "target_angles": st.lists(floats, max_size=5),
    "n_nodes": st.integers(-2, 12) | ints, "atomic_num": st.integers(-2, 130) | ints,
    "save": st.none() | st.just(False) | safe_name.map(lambda s: s + ".png") | ints,
    "save_prefix": st.none() | safe_name | ints,
    "molecules": st.lists(st.sampled_from(REAL_SMILES[:4]) | text, max_size=2) | st.none(),
    "molekuller": st.lists(st.tuples(text, st.sampled_from(REAL_SMILES[:4]) | text, text), max_size=2),
    "by": st.sampled_from(["smiles", "name", "cid"]) | scalars,
    "query": st.sampled_from(["water", "962"]) | scalars, "timeout": st.sampled_from([0.5, 1]) | scalars,
    "cols": st.integers(-1, 4) | scalars, "panel_n": st.integers(-1, 3) | scalars,
    "max_generations": st.integers(-1, 3) | floats | ints,
    "ax": st.none() | scalars,
    "draw": st.just(False) | scalars, "show_spectrum": st.just(False) | scalars,
}


def argument(name, plausible_only):
    if name in ("save", "save_prefix"):  # paths stay inside the working folder
        return PLAUSIBLE[name]
    if plausible_only and name in PLAUSIBLE:
        return PLAUSIBLE[name]
    return PLAUSIBLE.get(name, st.nothing()) | anything


def plan(name):
    """(required names, optional names) of a public function, read from its signature."""
    func = getattr(trelvanoxa, name)
    native = getattr(getattr(func, "__wrapped__", func), "__nb_signature__", None)
    if native is None:
        params = [p for p in inspect.signature(func).parameters.values() if p.kind not in (p.VAR_POSITIONAL,
                                                                                            p.VAR_KEYWORD)]
        return [p.name for p in params if p.default is p.empty], [p.name for p in params if p.default is not p.empty]
    (text, _doc, _defaults), = native
    inner = text[text.index("(") + 1:text.rindex(") ->")]
    while re.search(r"\[[^\[\]]*\]", inner):  # drop bracketed type details
        inner = re.sub(r"\[[^\[\]]*\]", "", inner)
    parts = [part for part in inner.split(", ") if part and not part.startswith("*")]
    return ([p.split(":")[0].strip() for p in parts if "=" not in p],
            [p.split(":")[0].strip() for p in parts if "=" in p])


PUBLIC = ("_get_period _angle_diff _symmetry_classes _radial_equalize _pca_align _enforce_mirror compute_atom_layout "
          "_yerlestir_dugumler compute_lpi detect_soft_bonds _fragment_formula _pair_label _nominal_atom_mass "
          "_nominal_mass predict_fragments _fragment_atom_softs _cut_atom_set predict_fragments_recursive "
          "_build_bond_orders plot_mass_spectrum VIF fetch_smiles_from_pubchem VIF_from_pubchem VIF_panel "
          "VIF_ms_panel triple_group_demo halogen_test validate").split()
NAMES = [n for n in PUBLIC if n not in SKIP]
# Functions that open a figure or cost a whole analysis per valid call are picked less often.
HEAVY = {"VIF_panel", "VIF_ms_panel", "halogen_test", "triple_group_demo", "VIF_from_pubchem"}
PICK = st.sampled_from([n for n in NAMES for _ in range(1 if n in HEAVY else 4)])
ALLOWED = (TypeError, ValueError, IndexError, KeyError, FakeError, OSError)


def allowed(err):
    if isinstance(err, (RuntimeError, SystemError)) or "std::" in str(err):
        return False
    if type(err).__module__.split(".")[0] in ("sqlalchemy", "mendeleev"):
        return True  # mendeleev's own answer for a symbol it does not know
    return isinstance(err, ALLOWED) and str(err).strip() != ""


log = open(LOG, "a", buffering=1, encoding="utf-8", errors="backslashreplace")
timed_out = []
count = {"examples": 0, "accepted": 0, "refused": 0, "timeouts": 0}


@seed(SEED)
@settings(max_examples=EXAMPLES, database=None, deadline=None, derandomize=False,
          suppress_health_check=list(HealthCheck))
@given(st.data())
def fuzz(data):
    name = data.draw(PICK, label="function")
    req, opt = plan(name)
    plausible = data.draw(st.booleans(), label="plausible arguments only")
    args = [data.draw(argument(p, plausible), label=p) for p in req]
    # save and save_prefix are always given: their defaults write into /tmp
    kwargs = {p: data.draw(argument(p, plausible), label=p) for p in opt
              if p in ("save", "save_prefix") or data.draw(st.booleans(), label="pass " + p)}
    if name == "VIF" and "n_iter" not in kwargs:
        kwargs["n_iter"] = 20  # the default 600 layout steps cost most of the budget
    log.write(f"{name}(*{args!r:.3000}, **{kwargs!r:.3000})".replace("\n", " ") + "\n")  # one line each
    count["examples"] += 1
    signal.setitimer(signal.ITIMER_REAL, 5.0)
    try:
        getattr(trelvanoxa, name)(*args, **kwargs)
        count["accepted"] += 1
    except Timeout:
        count["timeouts"] += 1
        timed_out.append(f"{name}(*{args!r:.300}, **{kwargs!r:.300})")
    except Exception as err:
        if not allowed(err):
            raise AssertionError(f"{name}: unclear error {type(err).__name__}: {err!r:.500}") from err
        count["refused"] += 1
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        plt.close("all")


if __name__ == "__main__":
    os.environ.setdefault("NO_PROXY", "127.0.0.1,localhost")
    fuzz()
    for line in timed_out:
        print("timed out:", line)
    print("fuzz-counts", " ".join(f"{k}={v}" for k, v in count.items()), flush=True)
