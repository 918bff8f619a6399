"""The PUG REST answer: JSON of the expected shape, plain SMILES text and a positive integer CID."""

import json
import re

# {"PropertyTable": {"Properties": [{...}]}} nests four levels deep.
MAX_JSON_DEPTH = 32
# Atoms, bracket atoms, charges, bonds, ring closures, branches and '.'
# separators; no whitespace (RDKit would read text after it as a name), no
# control characters, nothing outside ASCII.
_SMILES_TEXT = re.compile(r"[A-Za-z0-9@+\-\[\]()=#$:/\\.%*]+", re.ASCII)


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


def _shape_error(query, what):
    return ValueError(f"PubChem '{query}' yanıtı beklenen biçimde değil: {what}")


def _depth_ok(value):
    stack = [(value, 1)]
    while stack:
        item, depth = stack.pop()
        if isinstance(item, (dict, list)):
            if depth > MAX_JSON_DEPTH:
                return False
            stack.extend((child, depth + 1) for child in (item.values() if isinstance(item, dict) else item))
    return True


def decode_json(requests, body, query):
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


def smiles_and_cid(data, query):
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
