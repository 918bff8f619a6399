"""Shared fixtures: Agg plotting, figure cleanup, no real network, and a local PUG REST server."""

import http.server
import json
import os
import sys
import threading
import urllib.parse
from pathlib import Path

import matplotlib

matplotlib.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402
import pytest  # noqa: E402

import trelvanoxa  # noqa: E402

# ./dev sanitize runs the suite against an instrumented copy of the package: make sure it is the one imported.
if os.environ.get("TRELVANOXA_EXPECT_PACKAGE"):
    assert Path(trelvanoxa.__file__).parent.resolve() == Path(os.environ["TRELVANOXA_EXPECT_PACKAGE"]).resolve(), \
        trelvanoxa.__file__

sys.path.insert(0, str(Path(__file__).resolve().parent))
from helpers import MOLECULES  # noqa: E402


@pytest.fixture(autouse=True)
def _close_figures():
    plt.close("all")
    yield
    plt.close("all")


@pytest.fixture
def shown(monkeypatch):
    """The figures open at every pyplot show, one list per call (the backend's own show is not run)."""
    log = []
    monkeypatch.setattr(plt, "show", lambda *a, **k: log.append([plt.figure(n) for n in plt.get_fignums()]))
    return log


@pytest.fixture(autouse=True)
def _no_real_network(monkeypatch):
    # A lookup that escapes a test's own server hits a closed loopback port, never the internet.
    monkeypatch.setattr(trelvanoxa, "PUBCHEM_REST", "http://127.0.0.1:9/rest/pug/compound")
    for var in ("HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "http_proxy", "https_proxy", "all_proxy"):
        monkeypatch.delenv(var, raising=False)
    monkeypatch.setenv("NO_PROXY", "127.0.0.1,localhost")


class PugServer:
    """Answers /rest/pug/compound/<ns>/<query>/property/SMILES/JSON like PUG REST: ``answers`` maps
    (namespace, decoded query) to (status, body: dict sent as JSON, bytes as they are); anything else
    gets a 404 fault.  ``paths`` holds the raw request targets in arrival order.  When ``respond`` is set,
    it answers every request instead (``respond(handler)`` writes exactly the bytes a case needs)."""

    def __init__(self, respond=None):
        self.answers, self.paths, self.respond = {}, [], respond
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def do_GET(self):
                server.paths.append(self.path)
                if server.respond is not None:
                    try:
                        return server.respond(self)
                    except OSError:  # the client hung up, as it should when it refuses
                        self.close_connection = True
                        return
                p = self.path.split("/")
                ok = len(p) == 9 and p[:4] + p[6:] == ["", "rest", "pug", "compound", "property", "SMILES", "JSON"]
                key = (p[4], urllib.parse.unquote(p[5], errors="strict")) if ok else None
                status, body = server.answers.get(key, (404, {"Fault": {"Code": "PUGREST.NotFound"}}))
                data = body if isinstance(body, bytes) else json.dumps(body).encode()
                self.send_response(status)
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data)

            def log_message(self, *args):
                pass

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.httpd.daemon_threads, self.httpd.block_on_close = True, False
        self.thread = threading.Thread(target=self.httpd.serve_forever, kwargs={"poll_interval": 0.02}, daemon=True)
        self.thread.start()
        self.origin = f"http://127.0.0.1:{self.httpd.server_port}"
        self.base = self.origin + "/rest/pug/compound"

    def add(self, query, smiles=None, cid=None, status=200, namespace="name", body=None):
        body = {"PropertyTable": {"Properties": [{"CID": cid, "SMILES": smiles}]}} if body is None else body
        self.answers[(namespace, str(query))] = (status, body)

    def queries(self):
        """Decoded query segment of every request, in arrival order."""
        return [urllib.parse.unquote(p.split("/")[5]) for p in self.paths]


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


@pytest.fixture(scope="session")
def molecules():
    assert len(MOLECULES) == 165
    return MOLECULES
