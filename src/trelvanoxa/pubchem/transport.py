"""The HTTP side of a lookup: one deadline for the whole exchange, and redirects followed only
within the same origin.

requests gives per-operation timeouts only, so a server that trickles a byte at a time could hold a
lookup indefinitely.  A ``Deadline`` sets every socket timeout to the time left, and when the time is up
a timer shuts down every socket the lookup opened (reported to it by the connection classes of the
session's urllib3 pool managers), which wakes a read that is still waiting.
"""

import socket
import threading
import time
import urllib.parse

MAX_REDIRECTS = 5

_REDIRECT_CODES = (301, 302, 303, 307, 308)
_DEFAULT_PORTS = {"http": 80, "https": 443}


def _origin(url):
    parts = urllib.parse.urlsplit(url)
    scheme = parts.scheme.lower()
    return scheme, parts.hostname, parts.port or _DEFAULT_PORTS.get(scheme)


class Deadline:
    """One deadline for a whole lookup.  Per-operation socket timeouts are set
    to the time left, and at the deadline a timer shuts down every socket the
    lookup opened, which wakes a read that a slowly trickling server would
    otherwise keep alive indefinitely."""

    def __init__(self, seconds):
        self.seconds = seconds
        self.expired = False
        self._sockets = []
        self._lock = threading.Lock()
        self._timer = None
        if seconds is not None:
            self._end = time.monotonic() + seconds
            self._timer = threading.Timer(seconds, self._expire)
            self._timer.daemon = True
            self._timer.start()

    def remaining(self):
        if self.seconds is None:
            return None
        left = self._end - time.monotonic()
        if left <= 0:
            self._expire()
        return max(left, 0.001)

    def watch(self, sock):
        with self._lock:
            self._sockets.append(sock)
            expired = self.expired
        if expired:
            _shutdown(sock)

    def _expire(self):
        with self._lock:
            self.expired = True
            sockets = list(self._sockets)
        for sock in sockets:
            _shutdown(sock)

    def cancel(self):
        if self._timer is not None:
            self._timer.cancel()


def _shutdown(sock):
    # The plain socket method on the descriptor, also for TLS sockets (whose own
    # shutdown would tear down the TLS object under a reading thread).
    try:
        socket.socket.shutdown(sock, socket.SHUT_RDWR)
    except (OSError, TypeError):
        pass


def _watched_manager(manager, deadline):
    """Makes every connection of a urllib3 pool manager report its socket to the deadline."""
    classes = {}
    for scheme, pool_cls in manager.pool_classes_by_scheme.items():
        base = pool_cls.ConnectionCls

        def connect(self, _base=base):
            _base.connect(self)
            deadline.watch(self.sock)

        conn_cls = type(base.__name__, (base,), {"connect": connect})
        classes[scheme] = type(pool_cls.__name__, (pool_cls,), {"ConnectionCls": conn_cls})
    manager.pool_classes_by_scheme = classes
    return manager


def session_for(requests, deadline):
    class Adapter(requests.adapters.HTTPAdapter):
        def init_poolmanager(self, *args, **kwargs):
            super().init_poolmanager(*args, **kwargs)
            _watched_manager(self.poolmanager, deadline)

        def proxy_manager_for(self, proxy, **kwargs):
            fresh = proxy not in self.proxy_manager
            manager = super().proxy_manager_for(proxy, **kwargs)
            return _watched_manager(manager, deadline) if fresh else manager

    session = requests.Session()
    for prefix in ("https://", "http://"):
        session.mount(prefix, Adapter())
    return session


def get(requests, session, deadline, head, tail, query):
    """GET of head + tail (the segment pinned as encoded), following redirects within
    the same origin; returns the final response, opened for streaming."""
    # The base part goes through requests' own URL preparation (IDNA host,
    # quoting); the encoded segment and the fixed tail are appended as they are.
    # requests re-quotes a URL while preparing it (decoding %2E back into "."),
    # so the prepared request gets the URL pinned back.
    base = requests.models.PreparedRequest()
    base.prepare_url(head, None)
    url = base.url + tail
    prep = session.prepare_request(requests.Request("GET", url))
    prep.url = url
    settings = session.merge_environment_settings(url, {}, None, None, None)
    for _ in range(MAX_REDIRECTS + 1):
        # Only encodings this module decodes itself, with a bound on the output.
        prep.headers["Accept-Encoding"] = "gzip, deflate"
        left = deadline.remaining()
        resp = session.send(prep, **{**settings, "stream": True, "allow_redirects": False,
                                     "timeout": None if left is None else (left, left)})
        location = resp.headers.get("Location")
        if resp.status_code not in _REDIRECT_CODES or location is None:
            return resp
        resp.close()
        try:  # requests' own repair of a UTF-8 Location read as Latin-1
            location = location.encode("latin1").decode("utf8")
        except UnicodeError:
            pass
        target = urllib.parse.urljoin(prep.url, location)
        try:
            same = _origin(target) == _origin(prep.url)
        except ValueError:
            same = False
        if not same:
            raise ValueError(f"PubChem '{query}' için başka bir sunucuya yönlendirme reddedildi: {target!r}")
        prep = session.prepare_request(requests.Request("GET", target))
        settings = session.merge_environment_settings(target, {}, None, None, None)
    raise requests.exceptions.TooManyRedirects(f"Exceeded {MAX_REDIRECTS} redirects.", response=resp)
