"""Element periods and nominal (most-common-isotope) masses with their
per-process memos."""

import mendeleev
import pytest
from rdkit import Chem

import trelvanoxa
from oracles import prepare


@pytest.mark.parametrize("symbol,period", [
    ("H", 1), ("He", 1), ("Li", 2), ("C", 2), ("N", 2), ("O", 2), ("F", 2),
    ("Na", 3), ("Si", 3), ("P", 3), ("S", 3), ("Cl", 3),
    ("Zn", 4), ("Br", 4), ("I", 5), ("Xe", 5),
])
def test_periods(symbol, period):
    got = trelvanoxa._get_period(symbol)
    assert got == period
    assert isinstance(got, int)


@pytest.fixture
def counting_element(monkeypatch):
    """Replace the module's element lookup with a counting wrapper and start
    from an empty period memo."""
    calls = []
    real = mendeleev.element

    def lookup(symbol):
        calls.append(symbol)
        return real(symbol)

    trelvanoxa._get_period.cache_clear()
    monkeypatch.setattr(trelvanoxa, "element", lookup)
    yield calls
    trelvanoxa._get_period.cache_clear()


def test_period_is_looked_up_once_per_symbol(counting_element):
    assert [trelvanoxa._get_period(s) for s in ["C", "Cl", "C", "C", "Cl"]] \
        == [2, 3, 2, 2, 3]
    assert counting_element == ["C", "Cl"]
    info = trelvanoxa._get_period.cache_info()
    assert (info.hits, info.misses, info.currsize) == (3, 2, 2)


def test_unknown_symbol_raises_and_caches_nothing(counting_element):
    with pytest.raises(Exception) as direct:
        mendeleev.element("Qx")
    for _ in range(2):
        with pytest.raises(type(direct.value)):
            trelvanoxa._get_period("Qx")
    # every attempt goes back to the database: nothing was stored
    assert counting_element == ["Qx", "Qx"]
    assert trelvanoxa._get_period.cache_info().currsize == 0


# ------------------------------------------------------------ nominal masses

@pytest.mark.parametrize("z,mass", [
    (1, 1), (6, 12), (7, 14), (8, 16), (9, 19), (15, 31), (16, 32),
    (17, 35), (35, 79), (53, 127),
])
def test_nominal_atom_mass_typical_values(z, mass):
    assert trelvanoxa._nominal_atom_mass(z) == mass
    assert trelvanoxa._NOMINAL_ISOTOPE[z] == mass


def test_nominal_atom_mass_matches_periodic_table_for_every_element():
    pt = Chem.GetPeriodicTable()
    for z in range(1, 104):
        got = trelvanoxa._nominal_atom_mass(z)
        assert got == pt.GetMostCommonIsotope(z), z
        assert isinstance(got, int)


@pytest.fixture
def counting_table(monkeypatch):
    """Count the periodic-table lookups the module makes."""
    calls = []
    real = Chem.GetPeriodicTable

    class Table:
        def __init__(self):
            self._pt = real()

        def GetMostCommonIsotope(self, z):
            calls.append(z)
            return self._pt.GetMostCommonIsotope(z)

        def __getattr__(self, name):
            return getattr(self._pt, name)

    monkeypatch.setattr(Chem, "GetPeriodicTable", lambda: Table())
    return calls


def test_toolkit_is_asked_once_per_atomic_number(monkeypatch, counting_table):
    z = 34  # selenium; removed from the memo so the first call must look it up
    monkeypatch.delitem(trelvanoxa._NOMINAL_ISOTOPE, z, raising=False)
    assert trelvanoxa._nominal_atom_mass(z) == 80
    assert trelvanoxa._nominal_atom_mass(z) == 80
    assert trelvanoxa._nominal_atom_mass(atomic_num=z) == 80
    assert counting_table.count(z) <= 1
    assert trelvanoxa._NOMINAL_ISOTOPE[z] == 80


@pytest.mark.parametrize("stored", [0, 999])
def test_stored_value_is_reused_even_zero(monkeypatch, counting_table, stored):
    monkeypatch.setitem(trelvanoxa._NOMINAL_ISOTOPE, 7, stored)
    assert trelvanoxa._nominal_atom_mass(7) == stored
    assert counting_table == []
    # and it is what the molecular sum uses: ammonia = N + 3 H
    assert trelvanoxa._nominal_mass(prepare("N"), range(4)) == stored + 3


def test_unknown_atomic_number_raises_and_stores_nothing():
    z = 250
    trelvanoxa._NOMINAL_ISOTOPE.pop(z, None)
    with pytest.raises(Exception) as direct:
        Chem.GetPeriodicTable().GetMostCommonIsotope(z)
    with pytest.raises(type(direct.value)):
        trelvanoxa._nominal_atom_mass(z)
    assert z not in trelvanoxa._NOMINAL_ISOTOPE


@pytest.mark.parametrize("smiles,indices,expected", [
    ("C", range(5), 16),              # CH4: 12 + 4
    ("CCl", range(5), 50),            # CH3Cl: 12 + 35 + 3 (never 37)
    ("CBr", range(5), 94),            # CH3Br: 12 + 79 + 3
    ("CI", range(5), 142),            # CH3I: 12 + 127 + 3
    ("C", [], 0),
    ("CO", {0, 1}, 28),               # a set of indices: C + O
    ("CO", (i for i in [1]), 16),     # any iterable
    ("CO", [0, 0], 24),               # repeated index counted twice
    ("[13CH4]", range(5), 16),        # the label does not change the nominal mass
    ("[2H]C(Cl)(Cl)Cl", range(5), 118),  # 1 + 12 + 3 * 35: deuterium counts as 1
    ("OS(=O)(=O)O", range(7), 98),    # H2SO4: 2 + 32 + 64
])
def test_nominal_mass(smiles, indices, expected):
    got = trelvanoxa._nominal_mass(prepare(smiles), indices)
    assert got == expected
    assert isinstance(got, int)


@pytest.mark.parametrize("index", [5, 100, -1])
def test_nominal_mass_index_out_of_range_raises(index):
    mol = prepare("C")  # five atoms
    with pytest.raises(Exception):
        trelvanoxa._nominal_mass(mol, [0, index])


def test_nominal_mass_of_every_test_molecule(molecules):
    pt = Chem.GetPeriodicTable()
    for smiles, name in molecules:
        mol = prepare(smiles)
        expected = sum(pt.GetMostCommonIsotope(a.GetAtomicNum())
                       for a in mol.GetAtoms())
        assert trelvanoxa._nominal_mass(mol, range(mol.GetNumAtoms())) \
            == expected, name
