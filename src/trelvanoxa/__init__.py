"""trelvanoxa: orbital-interaction (VIF) graph analysis of molecules.

From a SMILES string the native core builds an orbital graph (1, 4 or 9
orbital nodes per atom), computes the inertia of its weighted adjacency
matrix (the LPI: counts of positive, zero and negative eigenvalues), finds
the "soft" bonds whose link can be removed without changing the LPI, and
predicts electron-ionisation mass-spectrum fragments by cutting them.

    >>> import trelvanoxa
    >>> r = trelvanoxa.VIF("Clc1ccccc1", draw=False)
"""

import networkx as nx
import matplotlib.pyplot as plt
from rdkit import Chem
from rdkit.Chem import rdDepictor
from mendeleev import element
import numpy as np
import math
from collections import defaultdict
from functools import lru_cache

from . import _core

_get_period = lru_cache(maxsize=None)(_core._get_period)
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
plot_mass_spectrum = _core.plot_mass_spectrum
VIF = _core.VIF
PUBCHEM_REST = _core.PUBCHEM_REST
fetch_smiles_from_pubchem = _core.fetch_smiles_from_pubchem
VIF_from_pubchem = _core.VIF_from_pubchem
BIOMOLECULES = _core.BIOMOLECULES
VIF_panel = _core.VIF_panel
VIF_ms_panel = _core.VIF_ms_panel
triple_group_demo = _core.triple_group_demo
HALOGEN_TESTS = _core.HALOGEN_TESTS
halogen_test = _core.halogen_test
LPI_REFERENCES = _core.LPI_REFERENCES
MS_REFERENCES = _core.MS_REFERENCES
validate = _core.validate

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

from .batch import analyze_many, to_matchms  # noqa: E402  (batch analysis, matchms spectra)
