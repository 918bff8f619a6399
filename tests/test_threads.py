"""The native core runs without the GIL: threads analysing different molecules give exactly the records of
sequential calls, a Ctrl-C lands in the main thread's analysis only, and the stubs describe real types."""

import os
import signal
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import trelvanoxa
from trelvanoxa import _core
from helpers import DATA, MOLECULES, SRC, default_sigint, run_python


def comparable(record):
    """Everything of a VIF record that threads could disturb, in comparable form."""
    return (record["lpi"]["eigenvalues"].tobytes(), record["soft_bonds"], record["fragments"],
            record["recursive_peaks"], {k: v.tobytes() for k, v in record["pos"].items()},
            sorted(record["graph"].edges(data="weight")))


def test_threads_give_the_sequential_records():
    picks = [smi for smi, _name in MOLECULES[::9]]
    kwargs = dict(draw=False, verbose=False, ring_fragmentation=True, recursive_ms=True, max_generations=3)
    sequential = [comparable(trelvanoxa.VIF(s, **kwargs)) for s in picks]
    with ThreadPoolExecutor(4) as pool:
        threaded = list(pool.map(lambda s: comparable(trelvanoxa.VIF(s, **kwargs)), picks * 2))
    assert threaded == sequential * 2


def test_threads_give_the_sequential_native_results():
    prepared = []
    for smi, _name in MOLECULES[5::23]:
        mol, H, subs, _pos, chem = _core.build_vif_graph(smi)
        prepared.append((mol, H, subs, chem, trelvanoxa.compute_lpi(H)))

    def work(item):
        mol, H, subs, chem, lpi = item
        return (trelvanoxa.detect_soft_bonds(H, chem, lpi), trelvanoxa.predict_fragments_recursive(mol, H, subs, chem),
                trelvanoxa.compute_lpi(H)["eigenvalues"].tobytes(), _core.analyse_compact(
                    trelvanoxa.Chem.MolToSmiles(trelvanoxa.Chem.RemoveHs(mol, sanitize=False)), recursive=True))

    sequential = [work(p) for p in prepared]
    with ThreadPoolExecutor(3) as pool:
        assert list(pool.map(work, prepared * 3)) == sequential * 3


def test_soft_pass_switch_and_counters_belong_to_their_thread():
    H = _core.build_vif_graph("CCO")[1]
    chem = _core.build_vif_graph("CCO")[4]
    _core._soft_pass_stats(reset=True)

    def off_in_a_thread():
        _core._set_fast_soft_pass(False)
        trelvanoxa.detect_soft_bonds(H, chem, trelvanoxa.compute_lpi(H))
        return _core._soft_pass_stats()["definition"]

    with ThreadPoolExecutor(1) as pool:
        assert pool.submit(off_in_a_thread).result() == len(chem)
    trelvanoxa.detect_soft_bonds(H, chem, trelvanoxa.compute_lpi(H))
    here = _core._soft_pass_stats(reset=True)
    assert here["definition"] == 0 and here["links"] == here["fast"] == len(chem)


# The main thread analyses a long chain with the one-eigenproblem-per-link pass (seconds) while a second thread
# analyses another molecule; a Ctrl-C ends the main thread's call only, and both threads' later calls work.
CHILD = """
import sys, threading, trelvanoxa
from trelvanoxa import _core
def background(out):
    _core._set_fast_soft_pass(False)
    out.append(trelvanoxa.VIF("C" * 60, draw=False, verbose=False)["lpi"]["n+"])
out = []
worker = threading.Thread(target=background, args=(out,))
_core._set_fast_soft_pass(False)
worker.start()
print("started", flush=True)
try:
    trelvanoxa.VIF("C" * 100, draw=False, verbose=False)
    outcome = "finished"
except KeyboardInterrupt:
    outcome = "interrupted"
worker.join()
print(outcome, out, trelvanoxa.VIF("C" * 60, draw=False, verbose=False)["lpi"]["n+"], flush=True)
"""


def test_ctrl_c_during_a_threaded_run():
    proc = subprocess.Popen([sys.executable, "-u", "-c", CHILD], env={**os.environ, "PYTHONPATH": str(SRC),
                            "MPLBACKEND": "Agg"}, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            preexec_fn=default_sigint)
    try:
        assert proc.stdout.readline() == "started\n"
        time.sleep(1.5)
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=300)
    finally:
        proc.kill()
    words = out.split(maxsplit=1)
    assert proc.returncode == 0 and words[0] == "interrupted", err[-2000:]
    n_plus = int(words[1].split("]")[1])
    assert words[1] == f"[{n_plus}] {n_plus}\n"  # the background analysis finished and agrees with a fresh one


def test_stubs_let_mypy_check_a_typed_script(tmp_path):
    pytest.importorskip("mypy")
    script = DATA / "typed_usage.py"
    wrong = tmp_path / "wrong.py"
    wrong.write_text("import trelvanoxa\ntrelvanoxa.compute_lpi(None, tol='tiny')\n"
                     "n: str = trelvanoxa._core.get_blas_threads()\n")
    mypy = ["-m", "mypy", "--no-incremental", "--ignore-missing-imports", "--cache-dir", str(tmp_path / "cache")]
    good, bad = run_python(mypy + [str(script)]), run_python(mypy + [str(wrong)])
    assert good.returncode == 0, good.stdout + good.stderr
    assert bad.returncode == 1 and 'Argument "tol" has incompatible type "str"; expected "float"' in bad.stdout
    assert 'Incompatible types in assignment (expression has type "int", variable has type "str")' in bad.stdout


def test_more_blas_threads_give_the_same_record():
    one = comparable(trelvanoxa.VIF("C" * 90, draw=False, verbose=False))  # N = 542
    assert trelvanoxa.get_blas_threads() == 1  # the default: parallelism comes from many molecules
    try:
        trelvanoxa.set_blas_threads(2)
        assert trelvanoxa.get_blas_threads() == 2
        two = comparable(trelvanoxa.VIF("C" * 90, draw=False, verbose=False))
    finally:
        trelvanoxa.set_blas_threads(1)
    assert two[1:] == one[1:] and np.allclose(np.frombuffer(two[0]), np.frombuffer(one[0]), atol=1e-12)
    with pytest.raises(ValueError, match="n must be at least 1"):
        trelvanoxa.set_blas_threads(0)
