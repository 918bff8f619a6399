"""PubChem lookup against a real HTTP server on 127.0.0.1 (the `pug` fixture)."""

import re

import pytest

import trelvanoxa
from helpers import triple

fetch = trelvanoxa.fetch_smiles_from_pubchem


def props(*records):
    return {"PropertyTable": {"Properties": list(records)}}


@pytest.mark.parametrize("query,by,status,body,result", [
    ("lactic acid", "name", 200, props({"CID": 612, "SMILES": "CC(C(=O)O)O"}), ("CC(C(=O)O)O", 612)),
    (2244, "cid", 200, props({"CID": 2244, "SMILES": "CC(=O)Oc1ccccc1C(=O)O"}), ("CC(=O)Oc1ccccc1C(=O)O", 2244)),
    ("ala", "name", 200, props({"CID": 5950, "SMILES": "", "IsomericSMILES": "C[C@@H](C(=O)O)N",
                                "ConnectivitySMILES": "CC(C(=O)O)N"}), ("C[C@@H](C(=O)O)N", 5950)),
    ("pair", "name", 200, props({"CID": 1, "SMILES": "CCO"}, {"CID": 2, "SMILES": "C"}), ("CCO", 1)),
    ("nocid", "name", 200, props({"SMILES": "O"}), ("O", None)),
    ("xyzzy", "name", 404, {"Fault": {}}, "PubChem 'xyzzy' için sonuç döndürmedi (HTTP 404)"),
    ("caffeine", "name", 503, {"Fault": {"Code": "PUGREST.ServerBusy"}},
     "PubChem 'caffeine' için sonuç döndürmedi (HTTP 503)"),
    ("nothing", "name", 200, props(), "PubChem 'nothing' için boş yanıt döndü"),
    ("nothing", "name", 200, {}, "PubChem 'nothing' için boş yanıt döndü"),
    ("ghost", "name", 200, props({"CID": 702, "SMILES": ""}),
     "PubChem yanıtında SMILES bulunamadı: {'CID': 702, 'SMILES': ''}"),
])
def test_lookup(pug, query, by, status, body, result):
    pug.add(query, namespace=by, status=status, body=body)
    if isinstance(result, str):
        with pytest.raises(ValueError) as err:
            fetch(query, by=by)
        assert str(err.value) == result
    else:
        got = fetch(query, by=by)
        assert got == result and type(got[1]) is type(result[1])
    assert pug.paths == [f"/rest/pug/compound/{by}/{str(query).replace(' ', '%20')}/property/SMILES/JSON"]


# The query always travels as one percent-encoded path segment; messages show it as given.
@pytest.mark.parametrize("query,segment", [
    ("a b/c?d#e%f+g&h=i~j-k.l_m", "a%20b%2Fc%3Fd%23e%25f%2Bg%26h%3Di~j-k.l_m"), ("..", "%2E%2E"), (".", "%2E"),
    ("../../cid/2244", None), ("%2F", None),
])
def test_query_stays_one_segment(pug, query, segment):
    with pytest.raises(ValueError, match=re.escape(f"PubChem '{query}' için sonuç döndürmedi (HTTP 404)")):
        fetch(query)
    pug.add(query, "N", 7)
    assert fetch(query) == ("N", 7) and pug.queries() == [query, query]
    assert all(len(p.split("/")) == 9 and p.split("/")[4] == "name" for p in pug.paths)
    assert segment is None or pug.paths[0].split("/")[5] == segment


def test_vif_from_pubchem(pug, capsys):
    pug.add("887", "CO", 887, namespace="cid")
    pug.add("nocid", body=props({"SMILES": "O"}))
    r = trelvanoxa.VIF_from_pubchem(887, "cid", verbose=False, draw=False, bond_kappa=0.5)  # keywords reach VIF
    assert capsys.readouterr().out == "[PubChem] '887' -> CID 887 -> SMILES: CO\n"
    assert {w for *_, w in r["graph"].edges(data="weight")} == {1.0, 0.5} and len(r) == 14
    assert triple(trelvanoxa.VIF_from_pubchem("nocid", draw=False, verbose=False)["lpi"]) == (3, 0, 3)
    assert capsys.readouterr().out == "[PubChem] 'nocid' -> CID None -> SMILES: O\n"
    for by in ("smiles", "CID", None):  # refused before any request
        for call in (fetch, trelvanoxa.VIF_from_pubchem):
            with pytest.raises(ValueError, match="^by parametresi 'name' veya 'cid' olmalı$"):
                call("water", by=by)
    assert len(pug.paths) == 2
