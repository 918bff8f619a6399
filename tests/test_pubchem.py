"""PubChem lookup against a real HTTP server on 127.0.0.1 (the `pug` fixture)."""

import re
import socket
import sys

import pytest
import requests

import trelvanoxa
from helpers import run_python, triple

fetch = trelvanoxa.fetch_smiles_from_pubchem


def props(*records):
    return {"PropertyTable": {"Properties": list(records)}}


@pytest.mark.parametrize("query,by,body,result", [
    ("lactic acid", "name", props({"CID": 612, "SMILES": "CC(C(=O)O)O"}), ("CC(C(=O)O)O", 612)),
    (2244, "cid", props({"CID": 2244, "SMILES": "CC(=O)Oc1ccccc1C(=O)O"}), ("CC(=O)Oc1ccccc1C(=O)O", 2244)),
    ("ala", "name", props({"CID": 5950, "ConnectivitySMILES": "CC(C(=O)O)N"}), ("CC(C(=O)O)N", 5950)),
    ("ala", "name", props({"CID": 5950, "SMILES": "", "IsomericSMILES": "C[C@@H](C(=O)O)N",
                           "ConnectivitySMILES": "CC(C(=O)O)N"}), ("C[C@@H](C(=O)O)N", 5950)),
    ("pair", "name", props({"CID": 1, "SMILES": "CCO", "IsomericSMILES": "OCC"}, {"CID": 2, "SMILES": "C"}),
     ("CCO", 1)),
    ("nocid", "name", props({"SMILES": "O"}), ("O", None)),
])
def test_lookup(pug, query, by, body, result):
    pug.add(query, namespace=by, body=body)
    got = fetch(query, by=by)
    assert got == result and type(got[1]) is type(result[1])
    assert pug.paths == [f"/rest/pug/compound/{by}/{str(query).replace(' ', '%20')}/property/SMILES/JSON"]


@pytest.mark.parametrize("query,by,status,body,message", [
    ("xyzzy", "name", 404, None, "PubChem 'xyzzy' için sonuç döndürmedi (HTTP 404)"),
    (99999999, "cid", 404, None, "PubChem '99999999' için sonuç döndürmedi (HTTP 404)"),
    ("caffeine", "name", 503, {"Fault": {"Code": "PUGREST.ServerBusy"}},
     "PubChem 'caffeine' için sonuç döndürmedi (HTTP 503)"),
    ("nothing", "name", 200, props(), "PubChem 'nothing' için boş yanıt döndü"),
    ("nothing", "name", 200, {"PropertyTable": {}}, "PubChem 'nothing' için boş yanıt döndü"),
    ("nothing", "name", 200, {}, "PubChem 'nothing' için boş yanıt döndü"),
    ("ghost", "name", 200, props({"CID": 702, "SMILES": ""}),
     "PubChem yanıtında SMILES bulunamadı: {'CID': 702, 'SMILES': ''}"),
])
def test_error_messages(pug, query, by, status, body, message):
    if body is not None:
        pug.add(query, status=status, body=body, namespace=by)
    with pytest.raises(ValueError) as err:
        fetch(query, by=by)
    assert str(err.value) == message and len(pug.paths) == 1


# The query always travels as one percent-encoded path segment; messages show it as given.
@pytest.mark.parametrize("query,segment", [
    ("a b/c?d#e%f+g&h=i~j-k.l_m", "a%20b%2Fc%3Fd%23e%25f%2Bg%26h%3Di~j-k.l_m"), ("..", "%2E%2E"), (".", "%2E"),
    ("../../cid/2244", None), ("50% w/w #1 ?", None), ("çay/şeker", None), ("%2F", None),
])
def test_query_stays_one_segment(pug, query, segment):
    with pytest.raises(ValueError, match=re.escape(f"PubChem '{query}' için sonuç döndürmedi (HTTP 404)")):
        fetch(query)
    pug.add(query, "N", 7)
    assert fetch(query) == ("N", 7) and pug.queries() == [query, query]
    assert all(len(p.split("/")) == 9 and p.split("/")[4] == "name" for p in pug.paths)
    assert segment is None or pug.paths[0].split("/")[5] == segment


def test_vif_from_pubchem(pug, capsys, monkeypatch):
    pug.add("887", "CO", 887, namespace="cid")
    pug.add("nocid", body=props({"SMILES": "O"}))
    seen, real = [], trelvanoxa.VIF
    monkeypatch.setattr(trelvanoxa, "VIF", lambda *a, **k: seen.append((a, k)) or real(*a, **k))
    r = trelvanoxa.VIF_from_pubchem(887, "cid", verbose=False, draw=False, bond_kappa=0.5)
    assert capsys.readouterr().out == "[PubChem] '887' -> CID 887 -> SMILES: CO\n"
    assert seen == [(("CO",), {"verbose": False, "draw": False, "bond_kappa": 0.5})]
    assert {w for *_, w in r["graph"].edges(data="weight")} == {1.0, 0.5}
    r = trelvanoxa.VIF_from_pubchem("nocid", draw=False, verbose=False)
    assert capsys.readouterr().out == "[PubChem] 'nocid' -> CID None -> SMILES: O\n"
    assert len(r) == 14 and triple(r["lpi"]) == (3, 0, 3)
    with pytest.raises(ValueError):
        trelvanoxa.VIF_from_pubchem("xyzzy", draw=False)
    assert capsys.readouterr().out == "" and len(seen) == 2 and len(pug.paths) == 3
    for by in ("smiles", "CID", None, 1):  # refused before any request
        for call in (fetch, trelvanoxa.VIF_from_pubchem):
            with pytest.raises(ValueError) as err:
                call("water", by=by)
            assert str(err.value) == "by parametresi 'name' veya 'cid' olmalı"
    assert len(pug.paths) == 3


def test_transport_errors_propagate(pug, monkeypatch):
    pug.add("garbage", body=b"<html>Service temporarily unavailable</html>")
    with pytest.raises(requests.exceptions.JSONDecodeError):
        fetch("garbage")
    monkeypatch.setattr(trelvanoxa, "PUBCHEM_REST", "http://127.0.0.1:9/rest/pug/compound")  # read at each call
    with pytest.raises(requests.exceptions.ConnectionError):
        fetch("water")
    with socket.socket() as listener:  # accepts the connection, never answers
        listener.bind(("127.0.0.1", 0))
        listener.listen(4)
        monkeypatch.setattr(trelvanoxa, "PUBCHEM_REST", f"http://127.0.0.1:{listener.getsockname()[1]}/rest")
        with pytest.raises(requests.exceptions.Timeout):
            fetch("water", timeout=0.3)
    assert len(pug.paths) == 1


def test_lookup_without_requests(monkeypatch):
    monkeypatch.setitem(sys.modules, "requests", None)
    for by in ("name", "smiles"):  # the library is loaded first, before the namespace check
        with pytest.raises(ImportError):
            fetch("water", by=by)
    code = ("import sys\nsys.modules['requests'] = None\nimport trelvanoxa\n"
            "print(trelvanoxa.VIF('O', draw=False, verbose=False)['mol_mass'])\n"
            "try:\n    trelvanoxa.fetch_smiles_from_pubchem('water')\nexcept ImportError:\n    print('no requests')\n")
    assert run_python(["-c", code]).stdout == "18\nno requests\n"
