"""Multi-molecule panels with real RDKit molecules, real matplotlib (Agg) and a local PubChem."""

import os

import matplotlib.pyplot as plt
import pytest

import trelvanoxa
from helpers import analyse, png_size

BROKEN = "C1CC("  # RDKit gives no molecule


def cells(fig):
    return [(ax.get_title(), ax.title.get_color()) for ax in fig.axes]


def test_graph_panel(pug, tmp_path):
    pug.add("$\\bad{$ water", "O", 962)
    pug.add("methyl chloride", "CCl", 6327)
    pug.add("broken", BROKEN, 1)
    pug.add("empty", body={"PropertyTable": {"Properties": []}})
    names = ["$\\bad{$ water", "unobtainium", "methyl chloride", "broken", "empty"]
    fig = trelvanoxa.VIF_panel(names, cols=3, save=str(tmp_path / "panel"))
    assert pug.queries() == names and plt.get_fignums() == [fig.number]
    assert cells(fig) == [("$\\bad{$ water\nLPI={3,0,3}", "black"), ("unobtainium\n(not found)", "gray"),
                          ("methyl chloride\nLPI={5,0,6}", "black"), ("broken\n(error)", "gray"),
                          ("empty\n(not found)", "gray"), ("", "black")]
    assert [bool(ax.collections) for ax in fig.axes] == [True, False, True, False, False, False]
    assert os.listdir(tmp_path) == ["panel.png"] and png_size(tmp_path / "panel.png")[0] > 0
def test_spectrum_panel(pug, tmp_path, monkeypatch):
    mols = ["O", BROKEN, "Clc1ccccc1"]
    fig = trelvanoxa.VIF_ms_panel(mols, by="smiles", save=tmp_path / "ms.png", ring_fragmentation=True,
                                  recursive_ms=True)
    assert cells(fig)[:3] == [("Trelvanoxa predicted EI-MS fragments: O", "black"), (BROKEN + " (error)", "gray"),
                              ("Trelvanoxa predicted EI-MS fragments: Clc1ccccc1", "black")]
    r = analyse("Clc1ccccc1", ring_fragmentation=True)  # its spectrum: M+ and every split fragment, 77 and 35 too
    xs = sorted(float(seg[0][0]) for coll in fig.axes[2].collections for seg in coll.get_segments())
    assert xs == sorted({112, 77, 35} | {t[2] for f in r["fragments"] if f["split"] for t in f["fragments"]})
    assert png_size(tmp_path / "ms.png")[0] > 0
    fig = trelvanoxa.VIF_ms_panel()  # the local PubChem knows none of the ten names
    assert pug.queries() == trelvanoxa.BIOMOLECULES
    assert cells(fig) == [(n + " (not found)", "gray") for n in trelvanoxa.BIOMOLECULES]
    monkeypatch.setattr(trelvanoxa, "BIOMOLECULES", ["O"])  # read at call time
    assert cells(trelvanoxa.VIF_panel(by="smiles", cols=1)) == [("O\nLPI={3,0,3}", "black")]


@pytest.mark.parametrize("panel", [trelvanoxa.VIF_panel, trelvanoxa.VIF_ms_panel])
def test_bad_save_path_fails_before_any_work(panel, tmp_path, monkeypatch):
    monkeypatch.setattr(trelvanoxa, "VIF", lambda *a, **k: pytest.fail("analysed before the path was checked"))
    for save, error in [(tmp_path / "missing" / "p.png", FileNotFoundError), (tmp_path, IsADirectoryError)]:
        with pytest.raises(error) as err:
            panel(["O", "CN"], by="smiles", save=save)
        assert err.value.filename == str(save)
    assert plt.get_fignums() == [] and os.listdir(tmp_path) == []
    with pytest.raises(ValueError):  # a grid of zero rows
        panel([], by="smiles")
