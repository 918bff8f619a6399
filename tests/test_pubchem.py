"""PubChem lookup against a real HTTP server on 127.0.0.1 (the `pug` fixture)."""

import socket
import sys

import pytest
import requests

import trelvanoxa
from helpers import run_python, triple

fetch = trelvanoxa.fetch_smiles_from_pubchem


def props(*records):
    return {"PropertyTable": {"Properties": list(records)}}


def test_lookup_by_name_and_by_cid(pug):
    pug.add("lactic acid", "CC(C(=O)O)O", 612)
    pug.add("2244", "CC(=O)OC1=CC=CC=C1C(=O)O", 2244, namespace="cid")
    assert fetch("lactic acid") == ("CC(C(=O)O)O", 612)
    smiles, cid = fetch(2244, by="cid")
    assert (smiles, cid) == ("CC(=O)OC1=CC=CC=C1C(=O)O", 2244) and type(cid) is int
    assert pug.paths == ["/rest/pug/compound/name/lactic%20acid/property/SMILES/JSON",
                         "/rest/pug/compound/cid/2244/property/SMILES/JSON"]


@pytest.mark.parametrize("body,result", [
    (props({"CID": 5950, "ConnectivitySMILES": "CC(C(=O)O)N"}), ("CC(C(=O)O)N", 5950)),
    (props({"CID": 5950, "SMILES": "", "IsomericSMILES": "C[C@@H](C(=O)O)N", "ConnectivitySMILES": "CC(C(=O)O)N"}),
     ("C[C@@H](C(=O)O)N", 5950)),
    (props({"CID": 1, "SMILES": "CCO", "IsomericSMILES": "OCC"}, {"CID": 2, "SMILES": "C"}), ("CCO", 1)),
    (props({"SMILES": "O"}), ("O", None)),
])
def test_smiles_field_choice(pug, body, result):
    pug.add("x", body=body)
    assert fetch("x") == result


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


# The query always travels as one percent-encoded path segment; the message shows it as given.
@pytest.mark.parametrize("query", ["a/b?c#d", "../../cid/2244", "..", ".", "50% w/w #1 ?", "çay/şeker", "%2F",
                                   "two words"])
def test_query_stays_one_segment(pug, query):
    with pytest.raises(ValueError, match="HTTP 404"):
        fetch(query)
    pug.add(query, "N", 7)
    assert fetch(query) == ("N", 7)
    assert pug.queries() == [query, query] and all("?" not in p and "#" not in p for p in pug.paths)
    assert len(pug.paths[0].split("/")) == 9 and pug.paths[0].split("/")[4] == "name"


def test_every_reserved_byte_is_escaped(pug):
    pug.add("a b/c?d#e%f+g&h=i~j-k.l_m", "C", 5)
    assert fetch("a b/c?d#e%f+g&h=i~j-k.l_m") == ("C", 5)
    assert pug.paths[0].split("/")[5] == "a%20b%2Fc%3Fd%23e%25f%2Bg%26h%3Di~j-k.l_m"


def test_vif_from_pubchem(pug, capsys, monkeypatch):
    pug.add("887", "CO", 887, namespace="cid")
    pug.add("nocid", body=props({"SMILES": "O"}))
    seen, real = [], trelvanoxa.VIF
    monkeypatch.setattr(trelvanoxa, "VIF", lambda *a, **k: seen.append((a, k)) or real(*a, **k))
    r = trelvanoxa.VIF_from_pubchem(887, "cid", verbose=False, draw=False, bond_kappa=0.5)
    assert capsys.readouterr().out == "[PubChem] '887' -> CID 887 -> SMILES: CO\n"
    assert seen == [(("CO",), {"verbose": False, "draw": False, "bond_kappa": 0.5})]
    assert {d["weight"] for *_, d in r["graph"].edges(data=True)} == {1.0, 0.5}
    r = trelvanoxa.VIF_from_pubchem("nocid", draw=False, verbose=False)
    assert capsys.readouterr().out == "[PubChem] 'nocid' -> CID None -> SMILES: O\n"
    assert len(r) == 14 and triple(r["lpi"]) == (3, 0, 3)
    with pytest.raises(ValueError):
        trelvanoxa.VIF_from_pubchem("xyzzy", draw=False)
    assert capsys.readouterr().out == "" and len(seen) == 2
    with pytest.raises(TypeError):
        trelvanoxa.VIF_from_pubchem("water", "name", 600)  # only query and by are positional
    assert len(pug.paths) == 3


@pytest.mark.parametrize("by", ["smiles", "CID", None, 1])
def test_bad_namespace_is_refused_before_any_request(pug, by):
    for call in (fetch, trelvanoxa.VIF_from_pubchem):
        with pytest.raises(ValueError) as err:
            call("water", by=by)
        assert str(err.value) == "by parametresi 'name' veya 'cid' olmalı"
    assert pug.paths == []


def test_transport_errors_propagate(pug, monkeypatch):
    pug.add("garbage", body=b"<html>Service temporarily unavailable</html>")
    with pytest.raises(requests.exceptions.JSONDecodeError):
        fetch("garbage")
    pug.add("water", "O", 962)
    assert fetch("water") == ("O", 962)
    monkeypatch.setattr(trelvanoxa, "PUBCHEM_REST", "http://127.0.0.1:9/rest/pug/compound")  # read per call
    with pytest.raises(requests.exceptions.ConnectionError):
        fetch("water")
    with socket.socket() as listener:  # accepts the connection, never answers
        listener.bind(("127.0.0.1", 0))
        listener.listen(4)
        monkeypatch.setattr(trelvanoxa, "PUBCHEM_REST", f"http://127.0.0.1:{listener.getsockname()[1]}/rest")
        with pytest.raises(requests.exceptions.Timeout):
            fetch("water", timeout=0.3)
    assert len(pug.paths) == 2


def test_lookup_without_requests(monkeypatch):
    monkeypatch.setitem(sys.modules, "requests", None)
    for by in ("name", "smiles"):  # the library is loaded first, before the namespace check
        with pytest.raises(ImportError):
            fetch("water", by=by)
    code = ("import sys\nsys.modules['requests'] = None\nimport trelvanoxa\n"
            "print(trelvanoxa.VIF('O', draw=False, verbose=False)['mol_mass'])\n"
            "try:\n    trelvanoxa.fetch_smiles_from_pubchem('water')\nexcept ImportError:\n    print('no requests')\n")
    assert run_python(["-c", code]).stdout == "18\nno requests\n"
