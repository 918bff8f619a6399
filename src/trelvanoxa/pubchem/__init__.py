"""PubChem PUG REST client: compound name or CID -> (SMILES, CID), and the
analysis of a looked-up compound.

Nothing the service sends is trusted.  One call has one deadline covering the
connection, every redirect and every read (``transport``); the body is streamed
and refused past ``MAX_RESPONSE_BYTES``, after gzip/deflate decoding, which is
done with a bounded inflater (``body``); the JSON must have the PUG REST shape,
the SMILES must be plain SMILES text and the CID a positive integer
(``parse``); redirects are followed only within the same scheme, host and port.

requests is imported at each lookup, never at module import, so the rest of
the package works on an interpreter without it.
"""

import math
import sys
import urllib.parse

from .._imports import import_whole
from .body import MAX_RESPONSE_BYTES, read_body  # noqa: F401  the limits are read here by callers
from .parse import MAX_JSON_DEPTH, _check_cid, _check_smiles, decode_json, smiles_and_cid
from .transport import MAX_REDIRECTS, Deadline, get, session_for

__all__ = ["fetch_smiles_from_pubchem", "VIF_from_pubchem"]

_BY_ERROR = "by parametresi 'name' veya 'cid' olmalı"


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
    requests = import_whole("requests")
    urllib3 = import_whole("urllib3")

    if not isinstance(by, str) or by not in ("name", "cid"):
        raise ValueError(_BY_ERROR)
    if not str(query).strip():
        raise ValueError(f"PubChem sorgusu boş olamaz: {query!r}")
    seconds = _check_timeout(timeout)

    head = f"{_package().PUBCHEM_REST}/{by}/"
    tail = _encode_segment(query) + "/property/SMILES/JSON"
    deadline = Deadline(seconds)
    session = session_for(requests, deadline)
    resp = None
    try:
        resp = get(requests, session, deadline, head, tail, query)
        if resp.status_code != 200:
            raise ValueError(f"PubChem '{query}' için sonuç döndürmedi (HTTP {resp.status_code})")
        body = read_body(resp, query)
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
    return smiles_and_cid(decode_json(requests, body, query), query)


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
