"""PubChem lookup against a real HTTP server on 127.0.0.1 (the `pug` fixture)."""

import os
import socket
import subprocess
import sys
import urllib.parse
from pathlib import Path

import pytest
import requests

import trelvanoxa

SRC = Path(__file__).resolve().parents[1] / "src"


def props(*records):
    return {"PropertyTable": {"Properties": list(records)}}


def segments(path):
    """Path segments between .../compound/ and /property/SMILES/JSON, still encoded."""
    prefix = "/rest/pug/compound/"
    suffix = "/property/SMILES/JSON"
    assert path.startswith(prefix) and path.endswith(suffix), path
    return path[len(prefix) : -len(suffix)].split("/")


def test_base_url_constant():
    assert trelvanoxa._core.PUBCHEM_REST == "https://pubchem.ncbi.nlm.nih.gov/rest/pug/compound"


def test_name_with_space_arrives_as_one_decoded_segment(pug):
    pug.add("lactic acid", props({"CID": 612, "SMILES": "CC(C(=O)O)O"}))
    assert trelvanoxa.fetch_smiles_from_pubchem("lactic acid") == ("CC(C(=O)O)O", 612)
    assert pug.paths == ["/rest/pug/compound/name/lactic%20acid/property/SMILES/JSON"]
    ns, seg = segments(pug.paths[0])
    assert ns == "name" and urllib.parse.unquote(seg) == "lactic acid"


def test_integer_cid(pug):
    pug.add("2244", props({"CID": 2244, "SMILES": "CC(=O)OC1=CC=CC=C1C(=O)O"}), namespace="cid")
    smiles, cid = trelvanoxa.fetch_smiles_from_pubchem(2244, by="cid")
    assert (smiles, cid) == ("CC(=O)OC1=CC=CC=C1C(=O)O", 2244)
    assert type(cid) is int
    assert pug.paths[0].endswith("/cid/2244/property/SMILES/JSON")


def test_not_found_fault_404(pug):
    with pytest.raises(ValueError) as err:
        trelvanoxa.fetch_smiles_from_pubchem("xyzzy")
    assert str(err.value) == "PubChem 'xyzzy' için sonuç döndürmedi (HTTP 404)"
    assert len(pug.paths) == 1


def test_server_busy_503(pug):
    pug.add("caffeine", {"Fault": {"Code": "PUGREST.ServerBusy", "Message": "Too many requests"}}, status=503)
    with pytest.raises(ValueError) as err:
        trelvanoxa.fetch_smiles_from_pubchem("caffeine")
    assert str(err.value) == "PubChem 'caffeine' için sonuç döndürmedi (HTTP 503)"


def test_cid_in_error_message_is_written_as_given(pug):
    with pytest.raises(ValueError) as err:
        trelvanoxa.fetch_smiles_from_pubchem(99999999, by="cid")
    assert str(err.value) == "PubChem '99999999' için sonuç döndürmedi (HTTP 404)"


@pytest.mark.parametrize("body", [props(), {"PropertyTable": {}}, {}])
def test_empty_answer(pug, body):
    pug.add("nothing", body)
    with pytest.raises(ValueError) as err:
        trelvanoxa.fetch_smiles_from_pubchem("nothing")
    assert str(err.value) == "PubChem 'nothing' için boş yanıt döndü"


def test_only_connectivity_smiles(pug):
    pug.add("alanine", props({"CID": 5950, "ConnectivitySMILES": "CC(C(=O)O)N"}))
    assert trelvanoxa.fetch_smiles_from_pubchem("alanine") == ("CC(C(=O)O)N", 5950)


def test_empty_smiles_falls_back_to_isomeric(pug):
    pug.add("l-alanine", props({"CID": 5950, "SMILES": "", "IsomericSMILES": "C[C@@H](C(=O)O)N",
                                "ConnectivitySMILES": "CC(C(=O)O)N"}))
    assert trelvanoxa.fetch_smiles_from_pubchem("l-alanine") == ("C[C@@H](C(=O)O)N", 5950)


def test_smiles_preferred_and_only_first_record_used(pug):
    pug.add("pair", props({"CID": 1, "SMILES": "CCO", "IsomericSMILES": "OCC"}, {"CID": 2, "SMILES": "C"}))
    assert trelvanoxa.fetch_smiles_from_pubchem("pair") == ("CCO", 1)


def test_record_without_any_smiles(pug):
    pug.add("ghost", props({"CID": 702, "SMILES": ""}))
    with pytest.raises(ValueError) as err:
        trelvanoxa.fetch_smiles_from_pubchem("ghost")
    assert str(err.value) == "PubChem yanıtında SMILES bulunamadı: {'CID': 702, 'SMILES': ''}"


def test_record_without_cid(pug, capsys):
    pug.add("nocid", props({"SMILES": "O"}))
    assert trelvanoxa.fetch_smiles_from_pubchem("nocid") == ("O", None)
    r = trelvanoxa.VIF_from_pubchem("nocid", draw=False, verbose=False)
    assert capsys.readouterr().out == "[PubChem] 'nocid' -> CID None -> SMILES: O\n"
    # The fourteen-key record of a non-drawing VIF call on water.
    assert len(r) == 14
    assert (r["lpi"]["n+"], r["lpi"]["n0"], r["lpi"]["n-"]) == (3, 0, 3)


def test_vif_from_pubchem_by_cid_passes_options_to_vif(pug, capsys, monkeypatch):
    pug.add("887", props({"CID": 887, "SMILES": "CO"}), namespace="cid")
    seen = []
    real_vif = trelvanoxa.VIF

    def recording_vif(*args, **kwargs):
        seen.append((args, kwargs))
        return real_vif(*args, **kwargs)

    monkeypatch.setattr(trelvanoxa, "VIF", recording_vif)
    r = trelvanoxa.VIF_from_pubchem(887, "cid", verbose=False, draw=False, bond_kappa=0.5)
    assert capsys.readouterr().out == "[PubChem] '887' -> CID 887 -> SMILES: CO\n"
    assert seen == [(("CO",), {"verbose": False, "draw": False, "bond_kappa": 0.5})]
    assert {d["weight"] for _, _, d in r["graph"].edges(data=True)} == {1.0, 0.5}


def test_vif_from_pubchem_lookup_error_prints_nothing(pug, capsys):
    with pytest.raises(ValueError):
        trelvanoxa.VIF_from_pubchem("xyzzy", draw=False)
    assert capsys.readouterr().out == ""


def test_vif_from_pubchem_takes_only_query_and_by_positionally(pug):
    with pytest.raises(TypeError):
        trelvanoxa.VIF_from_pubchem("water", "name", 600)
    assert pug.paths == []


def test_body_that_is_not_json(pug):
    pug.add("garbage", b"<html>Service temporarily unavailable</html>")
    with pytest.raises(requests.exceptions.JSONDecodeError):
        trelvanoxa.fetch_smiles_from_pubchem("garbage")


def test_server_that_never_answers():
    # A listening socket that is never accepted: the connection opens, the
    # answer never comes, and the client's read timeout ends the wait.
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen(4)
        port = listener.getsockname()[1]
        trelvanoxa.PUBCHEM_REST = f"http://127.0.0.1:{port}/rest/pug/compound"
        with pytest.raises(requests.exceptions.Timeout):
            trelvanoxa.fetch_smiles_from_pubchem("water", timeout=0.3)


@pytest.mark.parametrize("query", ["a/b?c#d", "../../cid/2244", "50% w/w #1 ?", "çay/şeker", "%2F"])
def test_query_stays_one_segment(pug, query):
    with pytest.raises(ValueError) as err:
        trelvanoxa.fetch_smiles_from_pubchem(query)
    # The message shows the query as given, not its encoding.
    assert str(err.value) == f"PubChem '{query}' için sonuç döndürmedi (HTTP 404)"
    assert len(pug.paths) == 1
    ns, seg = segments(pug.paths[0])
    assert ns == "name"
    assert "?" not in pug.paths[0] and "#" not in pug.paths[0]
    assert urllib.parse.unquote(seg) == query


def test_every_reserved_byte_is_escaped(pug):
    pug.add("a b/c?d#e%f+g&h=i~j-k.l_m", props({"CID": 5, "SMILES": "C"}))
    assert trelvanoxa.fetch_smiles_from_pubchem("a b/c?d#e%f+g&h=i~j-k.l_m") == ("C", 5)
    assert segments(pug.paths[0]) == ["name", "a%20b%2Fc%3Fd%23e%25f%2Bg%26h%3Di~j-k.l_m"]


@pytest.mark.parametrize("query", [".", ".."])
def test_dot_segments_are_not_folded(pug, query):
    pug.add(query, props({"CID": 7, "SMILES": "N"}))
    assert trelvanoxa.fetch_smiles_from_pubchem(query) == ("N", 7)
    ns, seg = segments(pug.paths[0])
    assert ns == "name" and urllib.parse.unquote(seg) == query


def test_base_url_read_at_each_call(pug, monkeypatch):
    pug.add("water", props({"CID": 962, "SMILES": "O"}))
    assert trelvanoxa.fetch_smiles_from_pubchem("water") == ("O", 962)
    monkeypatch.setattr(trelvanoxa, "PUBCHEM_REST", "http://127.0.0.1:9/rest/pug/compound")
    with pytest.raises(requests.exceptions.ConnectionError):
        trelvanoxa.fetch_smiles_from_pubchem("water")
    assert len(pug.paths) == 1


@pytest.mark.parametrize("by", ["smiles", "CID", None, 1])
def test_bad_namespace_is_refused_before_any_request(pug, by):
    with pytest.raises(ValueError) as err:
        trelvanoxa.fetch_smiles_from_pubchem("water", by=by)
    assert str(err.value) == "by parametresi 'name' veya 'cid' olmalı"
    with pytest.raises(ValueError):
        trelvanoxa.VIF_from_pubchem("water", by=by)
    assert pug.paths == []


def test_lookup_without_requests(monkeypatch):
    # An interpreter without requests: importing it fails at the lookup only.
    monkeypatch.setitem(sys.modules, "requests", None)
    with pytest.raises(ImportError):
        trelvanoxa.fetch_smiles_from_pubchem("water")
    with pytest.raises(ImportError):
        trelvanoxa.fetch_smiles_from_pubchem("water", by="smiles")


def test_package_imports_and_analyses_without_requests():
    code = (
        "import sys\n"
        "sys.modules['requests'] = None\n"
        "import trelvanoxa\n"
        "r = trelvanoxa.VIF('O', draw=False, verbose=False)\n"
        "print(r['mol_mass'])\n"
        "try:\n"
        "    trelvanoxa.fetch_smiles_from_pubchem('water')\n"
        "except ImportError:\n"
        "    print('no requests')\n"
    )
    env = dict(os.environ, PYTHONPATH=str(SRC), MPLBACKEND="Agg")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, check=True)
    assert out.stdout == "18\nno requests\n"


def test_import_does_not_load_requests():
    code = "import sys, trelvanoxa\nprint('requests' in sys.modules)\n"
    env = dict(os.environ, PYTHONPATH=str(SRC), MPLBACKEND="Agg")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, check=True)
    assert out.stdout == "False\n"
