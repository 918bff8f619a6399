"""trelvanoxa: orbital-interaction (VIF) graph analysis of molecules.

From a SMILES string the native core builds an orbital graph (1, 4 or 9
orbital nodes per atom), computes the inertia of its weighted adjacency
matrix (the LPI: counts of positive, zero and negative eigenvalues), finds
the "soft" bonds whose link can be removed without changing the LPI, and
predicts electron-ionisation mass-spectrum fragments by cutting them.

    >>> import trelvanoxa
    >>> r = trelvanoxa.VIF("Clc1ccccc1", draw=False)
"""

from rdkit import Chem
from rdkit.Chem import rdDepictor
import numpy as np
import math
from collections import defaultdict
from functools import lru_cache

from . import _core
from .elements import period as _element_period

_get_period = lru_cache(maxsize=None)(_element_period)
_angle_diff = _core._angle_diff
_symmetry_classes = _core._symmetry_classes
_radial_equalize = _core._radial_equalize
_pca_align = _core._pca_align
_enforce_mirror = _core._enforce_mirror
compute_atom_layout = _core.compute_atom_layout
_yerlestir_dugumler = _core._yerlestir_dugumler
compute_lpi = _core.compute_lpi
detect_soft_bonds = _core.detect_soft_bonds
_fragment_formula = _core._fragment_formula
_pair_label = _core._pair_label
_NOMINAL_ISOTOPE = {}
_nominal_atom_mass = _core._nominal_atom_mass
_nominal_mass = _core._nominal_mass
predict_fragments = _core.predict_fragments
_fragment_atom_softs = _core._fragment_atom_softs
_cut_atom_set = _core._cut_atom_set
predict_fragments_recursive = _core.predict_fragments_recursive
_build_bond_orders = _core._build_bond_orders
from .figures import plot_mass_spectrum
from .vif import VIF
PUBCHEM_REST = "https://pubchem.ncbi.nlm.nih.gov/rest/pug/compound"
from .pubchem import fetch_smiles_from_pubchem, VIF_from_pubchem
from .reference import BIOMOLECULES
from .figures import VIF_panel, VIF_ms_panel
from .reference import triple_group_demo, HALOGEN_TESTS, halogen_test, LPI_REFERENCES, MS_REFERENCES, validate

# The presentation subpackages stay out of the namespace, which holds exactly
# the names above; they remain importable (trelvanoxa.figures, ...).
del figures, vif, reference, pubchem, elements, _element_period

# Named example molecules.
diborane = "[H]B1([H])[H][B]([H])([H])[H]1"
ccl4 = "C(Cl)(Cl)(Cl)Cl"
co2 = "O=C=O"
h2o = "O"
methyl_li = "C[Li]"
dimethyllithium = "C1[Li]C[Li]1"
methanol = "CO"
ethanol = "CCO"
formaldehyde = "C=O"
formic_acid = "OC=O"
dodecane = "CCCCCCCCCCCC"
nitrobenzene = "c1ccc(cc1)[N+](=O)[O-]"
dnb = "c1cc(cc(c1)[N+](=O)[O-])[N+](=O)[O-]"
tnb = "c1c(cc(cc1[N+](=O)[O-])[N+](=O)[O-])[N+](=O)[O-]"
tnt = "Cc1c(cc(cc1[N+](=O)[O-])[N+](=O)[O-])[N+](=O)[O-]"
acetone_oxime = "CC(=NO)C"
benzaldehyde_imine = "C(=NC)c1ccccc1"

CO = methanol
NB = nitrobenzene
DNB = dnb
TNB = tnb
TNT = tnt
H2O = h2o
CO2 = co2
CCl4 = ccl4


from .batch import analyze_many, to_matchms  # noqa: E402
from .score import explain  # noqa: E402
from .intensity import predict_spectrum  # noqa: E402

set_blas_threads = _core.set_blas_threads
get_blas_threads = _core.get_blas_threads

del batch, score, intensity, prediction

# Libraries that only some calls need are slow to import (networkx half a
# second, matplotlib.pyplot about one, mendeleev with pandas and SQLAlchemy
# several): they are bound on first use, so batch workers never load them.
_LAZY = {"nx": ("networkx", None), "plt": ("matplotlib.pyplot", None), "element": ("mendeleev", "element")}


def __getattr__(name):
    import importlib
    import sys

    if name in _LAZY:
        module, attr = _LAZY[name]
        value = importlib.import_module(module)
        value = getattr(value, attr) if attr else value
        globals()[name] = value
        return value
    # trelvanoxa.figures, trelvanoxa.vif, trelvanoxa.reference once imported.
    try:
        return sys.modules[f"{__name__}.{name}"]
    except KeyError:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}") from None


def __dir__():
    return sorted(set(globals()) | set(_LAZY))
