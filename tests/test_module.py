"""Import side effects and the on-disk element memo, in fresh interpreters."""

from helpers import run_python


def test_fresh_import_is_silent_and_changes_no_setting():
    probe = ("import matplotlib, matplotlib.pyplot as plt, sys\nfrom rdkit.Chem import rdDepictor\n"
             "import networkx, rdkit.Chem, mendeleev, numpy\nprint(repr(matplotlib.rcParams._get_backend_or_none()),"
             " plt.get_fignums(), rdDepictor.GetPreferCoordGen(), 'requests' in sys.modules)\n")
    baseline = run_python(["-c", probe], keep_backend=False)
    loaded = run_python(["-c", "import trelvanoxa\n" + probe + "print(trelvanoxa._NOMINAL_ISOTOPE,"
                         " trelvanoxa._get_period.cache_info())\nprint(trelvanoxa.PUBCHEM_REST)\n"],
                        keep_backend=False)
    assert baseline.returncode == loaded.returncode == 0 and loaded.stderr == "", loaded.stderr
    first, memos, rest = loaded.stdout.splitlines()
    assert [first] == baseline.stdout.splitlines()  # the import itself printed nothing and chose nothing
    assert first.endswith(" [] True False") or first.endswith(" [] False False")  # no figure, no requests
    assert memos == "{} CacheInfo(hits=0, misses=0, maxsize=None, currsize=0)"
    assert rest == "https://pubchem.ncbi.nlm.nih.gov/rest/pug/compound"


def test_presentation_libraries_load_on_first_use(tmp_path):
    probe = ("import sys, trelvanoxa\nheavy = ['networkx', 'matplotlib.pyplot', 'mendeleev', 'requests']\n"
             "print([m in sys.modules for m in heavy])\ntrelvanoxa.VIF('ClCCBr', draw=False, verbose=False)\n"
             "print([m in sys.modules for m in heavy])\nprint(trelvanoxa.plt.__name__, trelvanoxa.element.__module__)\n")
    env = {"TRELVANOXA_CACHE_DIR": str(tmp_path / "unwritable")}
    (tmp_path / "unwritable").write_text("a file where a folder would be")
    first = run_python(["-c", probe], env=env)
    assert first.returncode == 0, first.stderr
    # element periods ship with the package: not even a fresh machine's first analysis starts mendeleev
    assert first.stdout.splitlines() == ["[False, False, False, False]", "[True, False, False, False]",
                                         "matplotlib.pyplot mendeleev.mendeleev"]
