"""Shared fixtures: Agg plotting, figure cleanup, and a local PUG REST server.

No test talks to the real PubChem: every test starts with PUBCHEM_REST aimed at
a closed local port, and tests that need answers get a real HTTP server on
127.0.0.1 that answers like PUG REST.
"""

import http.server
import json
import sys
import threading
import urllib.parse
from pathlib import Path

import matplotlib

matplotlib.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402
import pytest  # noqa: E402

import trelvanoxa  # noqa: E402

HERE = Path(__file__).resolve().parent
if str(HERE) not in sys.path:
    sys.path.insert(0, str(HERE))

import oracles  # noqa: E402

PUG_PREFIX = "/rest/pug/compound/"
PUG_SUFFIX = "/property/SMILES/JSON"


@pytest.fixture(autouse=True)
def _close_figures():
    yield
    plt.close("all")


@pytest.fixture(autouse=True)
def _no_real_network(monkeypatch):
    # Port 9 on the loopback: a lookup that escapes a test's own server fails
    # with a connection error instead of reaching the internet.
    monkeypatch.setattr(trelvanoxa, "PUBCHEM_REST", "http://127.0.0.1:9/rest/pug/compound")
    for var in ("HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "http_proxy", "https_proxy", "all_proxy"):
        monkeypatch.delenv(var, raising=False)
    monkeypatch.setenv("NO_PROXY", "127.0.0.1,localhost")


def fault(code, message):
    return {"Fault": {"Code": code, "Message": message}}


class PugServer:
    """PUG REST look-alike: /rest/pug/compound/<ns>/<query>/property/SMILES/JSON.

    ``answers`` maps (namespace, decoded query) to (status, body); a body that
    is a dict or list is sent as JSON, bytes are sent as they are.  Unknown
    queries get PUG REST's 404 NotFound fault; a request that does not have
    exactly that shape gets a 400 BadRequest fault.  ``paths`` holds the raw
    request targets in arrival order.
    """

    def __init__(self):
        self.answers = {}
        self.paths = []
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                server.paths.append(self.path)
                status, body = server.answer_for(self.path)
                data = body if isinstance(body, bytes) else json.dumps(body).encode()
                self.send_response(status)
                self.send_header("Content-Type", "application/json" if not isinstance(body, bytes) else "text/plain")
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data)

            def log_message(self, *args):
                pass

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()
        self.base = f"http://127.0.0.1:{self.httpd.server_port}/rest/pug/compound"

    def add(self, query, body, status=200, namespace="name"):
        self.answers[(namespace, str(query))] = (status, body)

    @staticmethod
    def split(path):
        """(namespace, decoded query) of a well-formed request target, else None."""
        if not path.startswith(PUG_PREFIX) or not path.endswith(PUG_SUFFIX):
            return None
        middle = path[len(PUG_PREFIX) : -len(PUG_SUFFIX)]
        parts = middle.split("/")
        if len(parts) != 2 or "?" in middle or "#" in middle:
            return None
        return parts[0], urllib.parse.unquote(parts[1], errors="strict")

    def answer_for(self, path):
        key = self.split(path)
        if key is None:
            return 400, fault("PUGREST.BadRequest", "Bad request path")
        return self.answers.get(key, (404, fault("PUGREST.NotFound", "No CID found")))

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()
        self.thread.join()


@pytest.fixture
def pug(monkeypatch):
    server = PugServer()
    monkeypatch.setattr(trelvanoxa, "PUBCHEM_REST", server.base)
    yield server
    server.close()


# Shared test data and cached builds.

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
