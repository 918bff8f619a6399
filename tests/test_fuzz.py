"""Random arguments for every public function, and random weighted graphs against the LPI and soft-bond
definitions.

The public functions are driven from a child interpreter (fuzz_child.py), so a crash fails this test with the
example that caused it instead of ending the test run.  TRELVANOXA_FUZZ_EXAMPLES sets how many examples each
child runs (default 750 per child, two children side by side); TRELVANOXA_FUZZ_SEED picks another sequence."""

import os
import signal
import subprocess
import sys

import networkx as nx
import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import trelvanoxa
from helpers import triple

HERE = os.path.dirname(os.path.abspath(__file__))
EXAMPLES = int(os.environ.get("TRELVANOXA_FUZZ_EXAMPLES", "750"))
SEED = int(os.environ.get("TRELVANOXA_FUZZ_SEED", "20261206"))
GRAPH_EXAMPLES = max(EXAMPLES // 3, 50)


def test_public_functions_survive_random_arguments(tmp_path):
    """Two children side by side, each with its own sequence of examples."""
    env = dict(os.environ, MPLBACKEND="Agg",
               PYTHONPATH=os.pathsep.join([os.path.dirname(trelvanoxa.__path__[0]), HERE]))
    runs = []
    for child in range(2):
        log = tmp_path / f"examples{child}.log"
        runs.append((log, subprocess.Popen([sys.executable, os.path.join(HERE, "fuzz_child.py"), str(EXAMPLES),
                                            str(SEED + child), str(log)], cwd=tmp_path, env=env, text=True,
                                           stdout=subprocess.PIPE, stderr=subprocess.PIPE)))
    for log, proc in runs:
        out, err = proc.communicate(timeout=1800)
        ran = log.read_text("utf-8").splitlines() if log.exists() else []
        if proc.returncode < 0:
            pytest.fail(f"the interpreter died of {signal.Signals(-proc.returncode).name} on example {len(ran)}:\n"
                        f"{ran[-1] if ran else '(none)'}\n{err[-3000:]}")
        assert proc.returncode == 0, out[-2000:] + err[-6000:]
        counts = dict(kv.split("=") for kv in out.split("fuzz-counts", 1)[1].split())
        assert int(counts["examples"]) == len(ran) >= EXAMPLES
        assert int(counts["accepted"]) > 0 and int(counts["refused"]) > 0  # both kinds of argument were tried
        print(log.name, counts)


def _counts(a, tol):
    ev = np.linalg.eigvalsh(a) if len(a) else np.zeros(0)
    return (int((ev > tol).sum()), int((abs(ev) <= tol).sum()), int((ev < -tol).sum()))


@st.composite
def weighted_graphs(draw):
    multi = draw(st.booleans())
    n = draw(st.integers(1, 9))
    g = nx.MultiGraph() if multi else nx.Graph()
    g.add_nodes_from(draw(st.permutations(range(n))))
    weight = st.sampled_from([1.0, -1.0, 0.9, 0.5, 0.0, 1e-10, 2.0]) | st.floats(-3, 3, allow_nan=False)
    for _ in range(draw(st.integers(0, 16))):
        u, v = draw(st.integers(0, n - 1)), draw(st.integers(0, n - 1))
        if draw(st.booleans()):
            g.add_edge(u, v, weight=draw(weight))
        else:
            g.add_edge(u, v)  # no attribute: weight 1
    return g


@settings(max_examples=GRAPH_EXAMPLES, deadline=None, database=None)
@given(weighted_graphs(), st.sampled_from([1e-9, 1e-6, 0.0, 0.3]), st.data())
def test_lpi_and_soft_bonds_match_the_definition(g, tol, data):
    nodes = list(g)
    a = nx.to_numpy_array(g, nodelist=nodes)  # parallel edges add up
    rec = trelvanoxa.compute_lpi(g, tol=tol)
    assert triple(rec) == _counts(a, tol)
    pairs = sorted({(min(u, v), max(u, v)) for u, v in g.edges()}) + [(0, 0)]
    records = data.draw(st.lists(st.sampled_from(pairs).map(lambda p: {"u_node": p[0], "v_node": p[1]}), max_size=8))
    before = [(u, v, dict(d)) for u, v, d in g.edges(data=True)]
    soft = trelvanoxa.detect_soft_bonds(g, records, rec, tol=tol)
    expected = []
    for r in records:
        u, v = r["u_node"], r["v_node"]
        if not g.has_edge(u, v):
            continue
        # the record's link alone leaves: the first of the parallel links of a multigraph
        w = next(iter(g[u][v].values())).get("weight", 1.0) if g.is_multigraph() else g[u][v].get("weight", 1.0)
        b = a.copy()
        i, j = nodes.index(u), nodes.index(v)
        b[i, j] -= w
        if i != j:
            b[j, i] -= w
        if _counts(b, tol) == triple(rec):
            expected.append(r)
    assert [id(s) for s in soft] == [id(r) for r in expected]
    # the graph is left as it was, an edge without a weight gaining weight 1.0 only if it was tested
    after = [(u, v, d) for u, v, d in g.edges(data=True)]
    assert [(u, v) for u, v, _ in after] == [(u, v) for u, v, _ in before]
    for (_, _, d0), (_, _, d1) in zip(before, after):
        assert d1 == d0 or d1 == dict(d0, weight=1.0)
