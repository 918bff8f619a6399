"""The native core runs without the GIL: threads analysing different molecules give exactly the records of
sequential calls, and the stubs describe real types."""

from concurrent.futures import ThreadPoolExecutor

import pytest

import trelvanoxa
from helpers import DATA, MOLECULES, run_python


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
