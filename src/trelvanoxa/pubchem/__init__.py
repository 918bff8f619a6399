"""PubChem PUG REST client: compound name or CID -> (SMILES, CID), and the
analysis of a looked-up compound.

Nothing the service sends is trusted.  One call has one deadline covering the
connection, every redirect and every read; the body is streamed and refused
past ``MAX_RESPONSE_BYTES`` (after gzip/deflate decoding, which is done here
with a bounded inflater); the JSON must have the PUG REST shape; the SMILES
must be plain SMILES text and the CID a positive integer; redirects are
followed only within the same scheme, host and port.

requests is imported at each lookup, never at module import, so the rest of
the package works on an interpreter without it.
"""

import json
import math
import re
import socket
import sys
import threading
import time
import urllib.parse
import zlib

__all__ = ["fetch_smiles_from_pubchem", "VIF_from_pubchem"]

# A PUG REST SMILES answer is well under a kilobyte; anything near this is not one.
MAX_RESPONSE_BYTES = 1 << 20
# {"PropertyTable": {"Properties": [{...}]}} nests four levels deep.
MAX_JSON_DEPTH = 32
MAX_REDIRECTS = 5

_BY_ERROR = "by parametresi 'name' veya 'cid' olmalı"
_REDIRECT_CODES = (301, 302, 303, 307, 308)
_DEFAULT_PORTS = {"http": 80, "https": 443}
# Atoms, bracket atoms, charges, bonds, ring closures, branches and '.'
# separators; no whitespace (RDKit would read text after it as a name), no
# control characters, nothing outside ASCII.
_SMILES_TEXT = re.compile(r"[A-Za-z0-9@+\-\[\]()=#$:/\\.%*]+", re.ASCII)


def _package():
    """The trelvanoxa package, so names a caller rebinds there are seen at call time."""
    return sys.modules[__name__.rpartition(".")[0]]


def _encode_segment(query):
    """The query as exactly one path segment: every UTF-8 byte outside the
    unreserved set becomes %XX, so "/", "?", "#", "%" and spaces can neither add
    segments nor start a query string or fragment.  "." and ".." are dot segments
    that clients and servers fold away, so their dots are escaped too."""
    out = urllib.parse.quote(str(query), safe="")
    return "%2E" * len(out) if out in (".", "..") else out


def _check_smiles(smiles, query):
    if not isinstance(smiles, str) or not _SMILES_TEXT.fullmatch(smiles):
        raise ValueError(f"PubChem '{query}' yanıtında geçersiz SMILES: {_preview(smiles)}")
    return smiles


def _check_cid(cid, query):
    # A missing CID is allowed (None); a present one must be a plain positive int.
    if cid is not None and not (type(cid) is int and cid > 0):
        raise ValueError(f"PubChem '{query}' yanıtında geçersiz CID: {_preview(cid)}")
    return cid


def _preview(value, limit=80):
    text = repr(value)
    return text if len(text) <= limit else text[:limit] + "..."


_MAX_TIMEOUT = 86400


def _check_timeout(timeout):
    if timeout is None:
        return None
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)) or not math.isfinite(timeout) \
            or timeout <= 0:
        raise ValueError(f"timeout pozitif bir sayı (saniye) ya da None olmalı: {timeout!r}")
    if timeout > _MAX_TIMEOUT:  # a timer cannot wait that long (2**63 s overflows time_t)
        raise ValueError(f"timeout must be at most {_MAX_TIMEOUT} seconds (or None for no limit), not {timeout!r}")
    return float(timeout)


def _origin(url):
    parts = urllib.parse.urlsplit(url)
    scheme = parts.scheme.lower()
    return scheme, parts.hostname, parts.port or _DEFAULT_PORTS.get(scheme)


class _Deadline:
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


def _session(requests, deadline):
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


def _get(requests, session, deadline, head, tail, query):
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


def _too_big(query):
    return ValueError(f"PubChem '{query}' yanıtı çok büyük ({MAX_RESPONSE_BYTES} bayttan fazla)")


def _shape_error(query, what):
    return ValueError(f"PubChem '{query}' yanıtı beklenen biçimde değil: {what}")


def _read_body(resp, query):
    """The decoded body, streamed and refused as soon as it passes the size cap."""
    length = resp.headers.get("Content-Length", "").strip()
    if length.isdigit() and int(length) > MAX_RESPONSE_BYTES:
        raise _too_big(query)
    coding = resp.headers.get("Content-Encoding", "identity").strip().lower()
    if coding in ("", "identity"):
        inflater = None
    elif coding in ("gzip", "x-gzip", "deflate"):
        inflater = zlib.decompressobj(32 + zlib.MAX_WBITS)  # gzip or zlib header
    else:
        raise _shape_error(query, f"desteklenmeyen içerik kodlaması {coding!r}")
    body, received = bytearray(), 0
    while True:
        chunk = resp.raw.read(64 * 1024, decode_content=False)
        if not chunk:
            break
        received += len(chunk)
        if received > MAX_RESPONSE_BYTES:
            raise _too_big(query)
        if inflater is None:
            body += chunk
        else:
            try:
                body += inflater.decompress(chunk, MAX_RESPONSE_BYTES + 1 - len(body))
            except zlib.error as err:
                raise _shape_error(query, f"bozuk {coding} verisi ({err})") from None
            if inflater.unconsumed_tail:
                raise _too_big(query)
        if len(body) > MAX_RESPONSE_BYTES:
            raise _too_big(query)
    if inflater is not None:
        if not inflater.eof:
            raise _shape_error(query, f"eksik {coding} verisi")
        if inflater.unused_data:
            raise _shape_error(query, f"{coding} verisinden sonra fazladan bayt")
    return bytes(body)


def _depth_ok(value):
    stack = [(value, 1)]
    while stack:
        item, depth = stack.pop()
        if isinstance(item, (dict, list)):
            if depth > MAX_JSON_DEPTH:
                return False
            stack.extend((child, depth + 1) for child in (item.values() if isinstance(item, dict) else item))
    return True


def _decode_json(requests, body, query):
    try:
        text = body.decode("utf-8")
    except UnicodeDecodeError as err:
        raise _shape_error(query, f"geçersiz UTF-8 (bayt {err.start})") from None
    try:
        data = json.loads(text)
    except json.JSONDecodeError as err:
        raise requests.exceptions.JSONDecodeError(err.msg, err.doc, err.pos) from None
    except RecursionError:
        raise _shape_error(query, "JSON çok derin iç içe") from None
    except ValueError as err:  # e.g. an integer with more digits than int() accepts
        raise _shape_error(query, f"JSON okunamadı ({err})") from None
    if not _depth_ok(data):
        raise _shape_error(query, "JSON çok derin iç içe")
    return data


def _kind(value):
    return type(value).__name__


def _smiles_and_cid(data, query):
    if not isinstance(data, dict):
        raise _shape_error(query, f"JSON nesnesi değil ({_kind(data)})")
    table = data.get("PropertyTable", {})
    if not isinstance(table, dict):
        raise _shape_error(query, f"'PropertyTable' bir nesne değil ({_kind(table)})")
    props = table.get("Properties", [])
    if not isinstance(props, list):
        raise _shape_error(query, f"'Properties' bir liste değil ({_kind(props)})")
    if not props:
        raise ValueError(f"PubChem '{query}' için boş yanıt döndü")
    record = props[0]
    if not isinstance(record, dict):
        raise _shape_error(query, f"ilk kayıt bir nesne değil ({_kind(record)})")
    smiles = next((record.get(key) for key in ("SMILES", "IsomericSMILES", "ConnectivitySMILES")
                   if record.get(key)), None)
    if smiles is None:
        raise ValueError(f"PubChem yanıtında SMILES bulunamadı: {record}")
    return _check_smiles(smiles, query), _check_cid(record.get("CID"), query)


def fetch_smiles_from_pubchem(query, by="name", timeout=20):
    """Looks a compound up in PubChem PUG REST and returns (smiles, cid).

    by is 'name' or 'cid'; query is a name or a CID (text or integer) and is sent as one
    percent-encoded path segment of PUBCHEM_REST/<by>/<query>/property/SMILES/JSON (the
    base URL is read from the package at every call).  timeout is one deadline in seconds
    for the whole lookup (connecting, redirects, reading); None waits without limit.  The
    first property record is used: SMILES, else IsomericSMILES, else ConnectivitySMILES;
    cid is the record's CID or None.

    Raises ValueError:
      - "by parametresi 'name' veya 'cid' olmalı", an empty or blank query, or a timeout
        that is not a positive number, before any request;
      - "PubChem '<query>' için sonuç döndürmedi (HTTP <status>)" for a status other than 200;
      - "PubChem '<query>' yanıtı çok büyük (...)" for a body (decoded) over MAX_RESPONSE_BYTES;
      - "PubChem '<query>' yanıtı beklenen biçimde değil: <what>" when the body is not UTF-8,
        nests deeper than MAX_JSON_DEPTH, is not an object, or PropertyTable, Properties or
        the first record has the wrong type, or the content encoding is unknown or corrupt;
      - "PubChem '<query>' için boş yanıt döndü" when there are no property records;
      - "PubChem yanıtında SMILES bulunamadı: <record>" when the record has no SMILES;
      - "PubChem '<query>' yanıtında geçersiz SMILES: ..." unless the SMILES is a string of
        SMILES characters (no whitespace, no control characters);
      - "PubChem '<query>' yanıtında geçersiz CID: ..." unless the CID is a positive int;
      - "PubChem '<query>' için başka bir sunucuya yönlendirme reddedildi: ..." for a
        redirect to another scheme, host or port.
    Network errors propagate as raised by requests; the deadline passing raises
    requests.exceptions.ReadTimeout, more than MAX_REDIRECTS redirects
    requests.exceptions.TooManyRedirects, and a body that is not JSON
    requests.exceptions.JSONDecodeError.
    """
    import requests
    import urllib3

    if not isinstance(by, str) or by not in ("name", "cid"):
        raise ValueError(_BY_ERROR)
    if not str(query).strip():
        raise ValueError(f"PubChem sorgusu boş olamaz: {query!r}")
    seconds = _check_timeout(timeout)

    head = f"{_package().PUBCHEM_REST}/{by}/"
    tail = _encode_segment(query) + "/property/SMILES/JSON"
    deadline = _Deadline(seconds)
    session = _session(requests, deadline)
    resp = None
    try:
        resp = _get(requests, session, deadline, head, tail, query)
        if resp.status_code != 200:
            raise ValueError(f"PubChem '{query}' için sonuç döndürmedi (HTTP {resp.status_code})")
        body = _read_body(resp, query)
        if deadline.expired:
            raise requests.exceptions.ReadTimeout(f"PubChem '{query}' için {timeout} saniyelik süre doldu")
    except (requests.exceptions.RequestException, urllib3.exceptions.HTTPError, OSError) as err:
        if deadline.expired:
            raise requests.exceptions.ReadTimeout(f"PubChem '{query}' için {timeout} saniyelik süre doldu") from err
        if isinstance(err, urllib3.exceptions.ReadTimeoutError):
            raise requests.exceptions.ReadTimeout(err) from err
        if isinstance(err, urllib3.exceptions.HTTPError):  # raised while reading the body
            raise requests.exceptions.ConnectionError(err) from err
        raise
    finally:
        deadline.cancel()
        if resp is not None:
            resp.close()
        session.close()
    return _smiles_and_cid(_decode_json(requests, body, query), query)


def VIF_from_pubchem(query, by="name", *, timeout=20, **vif_kwargs):
    """Resolves a PubChem name or CID to SMILES and returns VIF's result for it.

    Prints one line "[PubChem] '<query>' -> CID <cid> -> SMILES: <smiles>"; timeout is the
    lookup's deadline in seconds, every further keyword (n_iter, draw, verbose, ...) is
    passed to VIF unchanged.  Lookup errors propagate and nothing is printed then.  The
    SMILES handed to VIF is always plain SMILES text (no whitespace, which RDKit would
    read as the start of a molecule name), whatever fetch_smiles_from_pubchem returns.
    """
    package = _package()
    smiles, cid = package.fetch_smiles_from_pubchem(query, by=by, timeout=timeout)
    _check_smiles(smiles, query)
    _check_cid(cid, query)
    print(f"[PubChem] '{query}' -> CID {cid} -> SMILES: {smiles}")
    return package.VIF(smiles, **vif_kwargs)
