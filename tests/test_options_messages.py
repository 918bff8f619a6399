"""Options and messages of the command line, and the deferred imports a Ctrl-C must not leave half done."""

import json
import os
import signal
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

import trelvanoxa
from helpers import SRC, default_sigint, invoke, run_python

ASPIRIN = "CC(=O)OC1=CC=CC=C1C(=O)O"



@pytest.mark.parametrize("args,queried,exit_code,smiles,says", [
    # a SMILES typo and a SMILES with a blank are said not to be SMILES before any name lookup
    (["C1CC"], ["C1CC"], 1, None, "'C1CC' is not a readable SMILES (RDKit cannot parse it)"),
    (["CC O"], ["CC O"], 1, None, "'CC O' is not a readable SMILES (SMILES contains whitespace (U+0020) at position 2)"),
    (["aspirin"], ["aspirin"], 0, ASPIRIN, "'aspirin' is not a readable SMILES"),
    (["--smiles", "C1CC"], [], 1, None, "not a readable SMILES (RDKit cannot parse it)"),
    (["--smiles", "aspirin"], [], 1, None, "not a readable SMILES"),
    (["--smiles", "CCO"], [], 0, "CCO", None),
    (["--name", "CCO"], ["CCO"], 0, "CCO", None),  # a name that happens to read as SMILES
    (["CCO"], [], 0, "CCO", None),
])
def test_analyze_says_what_the_query_was_taken_for(pug, args, queried, exit_code, smiles, says):
    pug.add("aspirin", ASPIRIN, cid=2244)
    pug.add("CCO", "CCO", cid=702)
    result = invoke("analyze", *args, "--json")
    assert pug.queries() == queried
    assert result.exit_code == exit_code, result.output
    if says:
        assert says in result.stderr
    else:
        assert "not a readable SMILES" not in result.stderr
    if smiles:
        assert json.loads(result.stdout)["smiles"] == smiles
    elif queried:  # nothing found under that name either: both reasons are given
        assert "error: cannot resolve" in result.stderr and "not found as a compound name" in result.stderr
    both = invoke("analyze", "--smiles", "--name", "CCO")
    assert both.exit_code == 2 and "--smiles and --name exclude each other" in both.output


def test_analyze_checks_both_figure_files_before_any_work(pug, tmp_path):
    pug.add("aspirin", ASPIRIN, cid=2244)
    (tmp_path / "clash_ms.png").mkdir()
    for png, why in [(tmp_path / "out.xyz", "Format 'xyz' is not supported"),
                     (tmp_path / "clash.png", "Is a directory"),
                     (tmp_path / "missing" / "g.png", "No such file or directory")]:
        result = invoke("analyze", "aspirin", "--png", png)
        assert result.exit_code == 2 and why in result.output and "--png" in result.output, result.output
        assert "[VIF]" not in result.output
    assert pug.queries() == []  # not even the lookup ran
    assert sorted(p.name for p in tmp_path.iterdir()) == ["clash_ms.png"] and not os.listdir(tmp_path / "clash_ms.png")


# ---- deferred imports and Ctrl-C ---------------------------------------------------------------------------------

FIRST_CALL = """
import json, os, signal, sys, time, importlib.abc
import trelvanoxa

def call():
    if "mendeleev" in sys.argv[-1]:
        trelvanoxa.element("C").period  # the element database, imported on first use
    record = trelvanoxa.VIF("CCO", draw=True, verbose=False)
    return [record["graph"].number_of_nodes(), sorted(record)]
"""

HOOKED = FIRST_CALL + """
mode, target = sys.argv[1:]

class CtrlC(importlib.abc.MetaPathFinder):
    fired = False

    def find_spec(self, name, path=None, target_=None):
        if name == target and not CtrlC.fired:
            CtrlC.fired = True
            if mode == "raise":
                raise KeyboardInterrupt
            signal.raise_signal(signal.SIGINT)  # a real Ctrl-C, arriving while the import runs
        return None

sys.meta_path.insert(0, CtrlC())
try:
    call()
    interrupted = False
except KeyboardInterrupt:
    interrupted = True
print(json.dumps([CtrlC.fired, interrupted, call()]))
"""

TIMED = FIRST_CALL + """
print("ready", flush=True)
try:
    call()
    time.sleep(60)  # the Ctrl-C lands here at the latest
    interrupted = False
except KeyboardInterrupt:
    interrupted = True
print(json.dumps([interrupted, call()]))
"""


@pytest.fixture(scope="module")
def expected():
    record = trelvanoxa.VIF("CCO", draw=False, verbose=False)
    return [record["graph"].number_of_nodes(), sorted(trelvanoxa.vif.drawn_record(record))]


@pytest.mark.parametrize("mode,target", [
    ("raise", "networkx.utils.configs"), ("raise", "networkx.utils.backends"), ("signal", "networkx.utils.backends"),
    ("raise", "matplotlib.colors"), ("signal", "matplotlib.colors"),
    ("raise", "mendeleev.models"),  # beside a finished sqlalchemy
])
def test_ctrl_c_inside_a_deferred_import_leaves_the_next_call_working(tmp_path, expected, mode, target):
    run = run_python(["-c", HOOKED, mode, target], preexec_fn=default_sigint)
    assert run.returncode == 0, run.stderr[-3000:]
    fired, interrupted, second = json.loads(run.stdout.splitlines()[-1])
    assert fired and interrupted and second == expected


def interrupt_after(delay, env):
    full = {**os.environ, "PYTHONPATH": str(SRC), "MPLBACKEND": "Agg", **env}
    child = subprocess.Popen([sys.executable, "-c", TIMED], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                             env=full, preexec_fn=default_sigint)
    try:
        assert child.stdout.readline() == "ready\n"
        time.sleep(delay)
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=300)
    finally:
        child.kill()
        child.wait()
    return child.returncode, out, err


def test_real_ctrl_c_at_many_moments_of_a_first_call(tmp_path, expected):
    env = {"TRELVANOXA_CACHE_DIR": str(tmp_path)}  # periods ship with the package: nothing is read there
    delays = [0.0, 0.01, 0.03, 0.06, 0.1, 0.15, 0.2, 0.3, 0.4, 0.5, 0.65, 0.8, 1.0, 1.3, 1.7, 2.2]
    with ThreadPoolExecutor(3) as pool:
        runs = list(pool.map(lambda d: interrupt_after(d, env), delays))
    for delay, (code, out, err) in zip(delays, runs):
        assert code == 0, (delay, err[-3000:])
        interrupted, second = json.loads(out.splitlines()[-1])
        assert interrupted and second == expected, delay
