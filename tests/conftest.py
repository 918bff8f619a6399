import sys
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
if str(HERE) not in sys.path:
    sys.path.insert(0, str(HERE))

import oracles  # noqa: E402


def _data_file():
    candidates = [
        Path(__file__).resolve().parents[2] / "shared" / "data" / "molecules.smi",
        Path("/work/shared/data/molecules.smi"),
    ]
    for c in candidates:
        if c.is_file():
            return c
    return None


def _read_molecules():
    path = _data_file()
    if path is None:
        return None
    rows = []
    for line in path.read_text(encoding="utf-8").splitlines():
        if not line.strip() or line.startswith("#"):
            continue
        smiles, _, name = line.partition("\t")
        rows.append((smiles.strip(), name.strip()))
    return rows


MOLECULES = _read_molecules()


@pytest.fixture(scope="session")
def molecules():
    if MOLECULES is None:
        pytest.skip("molecules.smi test data not available")
    return MOLECULES


@pytest.fixture(scope="session")
def periods():
    """Element periods straight from mendeleev, memoised for the session."""
    from mendeleev import element

    cache = {}

    def get(symbol):
        if symbol not in cache:
            cache[symbol] = element(symbol).period
        return cache[symbol]

    return get


_BUILDS = {}


@pytest.fixture(scope="session")
def built():
    """build_vif_graph results shared between tests (read-only use only)."""
    from trelvanoxa import _core

    def get(smiles):
        if smiles not in _BUILDS:
            _BUILDS[smiles] = _core.build_vif_graph(smiles)
        return _BUILDS[smiles]

    return get


@pytest.fixture
def prepare():
    return oracles.prepare
