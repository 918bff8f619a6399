"""Two-dimensional layout: node angles, symmetry helpers and the
force-directed atom layout."""

import math

import numpy as np
import pytest
from rdkit import Chem
from rdkit.Chem import rdDepictor

import trelvanoxa
from trelvanoxa import (_angle_diff, _enforce_mirror, _pca_align,
                        _radial_equalize, _symmetry_classes, _yerlestir_dugumler,
                        compute_atom_layout)

import oracles
from oracles import prepare

PI = math.pi


# ------------------------------------------------------------ angles

@pytest.mark.parametrize("a,b,expected", [
    (0.1, 2 * PI - 0.1, 0.2),
    (0.0, PI, PI),
    (PI, 0.0, PI),
    (1.0, 1.0 + 4 * PI, 0.0),
    (-PI / 2, PI / 2, PI),
    (0.0, 3 * PI / 2, PI / 2),
    (-7.0, 7.0, abs(((-14.0 + PI) % (2 * PI)) - PI)),
])
def test_angle_diff_examples(a, b, expected):
    assert _angle_diff(a, b) == pytest.approx(expected, abs=1e-12)
    assert _angle_diff(b, a) == pytest.approx(expected, abs=1e-12)


def test_angle_diff_random():
    rng = np.random.default_rng(3)
    for a, b in rng.uniform(-20, 20, size=(300, 2)):
        d = _angle_diff(a=float(a), b=float(b))
        assert 0.0 <= d <= PI
        assert d == pytest.approx(oracles.angle_diff(a, b), abs=1e-12)


@pytest.mark.parametrize("n,targets,expected", [
    (1, [2.0], [0.0]),
    (1, [], [0.0]),
    (4, [], [0.0, PI / 2, PI, 3 * PI / 2]),
    (9, [], [k * 2 * PI / 9 for k in range(9)]),
    (4, [0.0], [0.0, PI, PI / 2, 3 * PI / 2]),
    # the given angle stays negative, the added ones lie in [0, 2pi)
    (4, [-PI / 2], [-PI / 2, PI / 2, PI, 0.0]),
    (9, [0.0, PI], [0.0, PI, PI / 2, 3 * PI / 2, PI / 4, 3 * PI / 4,
                    5 * PI / 4, 7 * PI / 4, PI / 8]),
    # more targets than nodes: the first n only, nothing added
    (4, [0.1, 0.2, 0.3, 0.4, 0.5], [0.1, 0.2, 0.3, 0.4]),
    # equal targets: every gap is 0, so the nodes are stacked
    (4, [1.0, 1.0], [1.0, 1.0, 1.0, 1.0]),
    # an angle past 2pi is kept as given; reduced it is 7 - 2pi = 0.7168,
    # its opposite 7 - pi = 3.8584 comes next; the two half circles are
    # equal, so the first (from 0.7168) gets the next node at 0.7168 + pi/2;
    # the widest arc left is the one from 3.8584 round to 0.7168
    (4, [7.0], [7.0, 7.0 - PI, 7.0 - 2 * PI + PI / 2, 7.0 - PI + PI / 2]),
])
def test_node_angle_examples(n, targets, expected):
    got = _yerlestir_dugumler(n, targets)
    assert isinstance(got, list) and len(got) == n
    np.testing.assert_allclose(got, expected, atol=1e-12)


def test_node_angles_do_not_change_the_input():
    targets = [0.3, 2.0]
    _yerlestir_dugumler(n_nodes=9, target_angles=targets)
    assert targets == [0.3, 2.0]
    assert len(_yerlestir_dugumler(4, (0.3,))) == 4


@pytest.mark.parametrize("seed", range(30))
def test_node_angles_random(seed):
    rng = np.random.default_rng(seed)
    n = int(rng.choice([1, 4, 9]))
    targets = list(rng.uniform(-2 * PI, 4 * PI, size=int(rng.integers(0, 11))))
    got = _yerlestir_dugumler(n, targets)
    expected = oracles.place_angles(n, targets)
    np.testing.assert_allclose(got, expected, atol=1e-12)
    kept = min(len(targets), n) if n > 1 else 0
    assert got[:kept] == targets[:kept]       # given angles untouched
    for a in got[kept:] if targets or n == 1 else got:
        assert 0.0 <= a < 2 * PI


# ------------------------------------------------------------ radial equalisation

def test_symmetric_pair_is_unchanged():
    coords = np.array([[1.0, 2.0], [3.0, 4.0], [9.0, 9.0]])
    before = coords.copy()
    assert _radial_equalize(coords, {0: [0, 1], 1: [2]}) is None
    np.testing.assert_allclose(coords, before, atol=1e-15)


def test_three_members_end_on_the_mean_radius():
    # centroid (1, 1); members at distances 1, 2 and 3 along +x, +x, -x
    # (1*(+1) + 2*(+1) + 3*(-1) = 0 keeps the centroid at (1, 1)); the mean
    # distance is 2, so each moves to distance 2 on its own ray
    coords = np.array([[2.0, 1.0], [3.0, 1.0], [-2.0, 1.0], [7.0, 7.0]])
    _radial_equalize(coords, {5: [0, 1, 2], 6: [3]})
    np.testing.assert_allclose(coords, [[3.0, 1.0], [3.0, 1.0], [-1.0, 1.0],
                                        [7.0, 7.0]], atol=1e-14)


def test_member_on_the_centroid_stays():
    # centroid (0, 0); distances 1, 1, 0, mean 2/3: the outer two move in
    coords = np.array([[-1.0, 0.0], [1.0, 0.0], [0.0, 0.0]])
    _radial_equalize(coords, {0: [0, 1, 2]})
    np.testing.assert_allclose(coords, [[-2 / 3, 0.0], [2 / 3, 0.0], [0.0, 0.0]],
                               atol=1e-15)


def test_coincident_class_is_untouched():
    coords = np.array([[0.5, 0.5], [0.5, 0.5], [0.5, 0.5 + 1e-12], [3.0, 0.0]])
    before = coords.copy()
    _radial_equalize(coords, {0: [0, 1, 2], 1: [3]})
    np.testing.assert_array_equal(coords, before)


@pytest.mark.parametrize("seed", range(10))
def test_radial_equalize_random(seed):
    rng = np.random.default_rng(seed)
    n = 12
    coords = rng.normal(size=(n, 2))
    labels = rng.integers(0, 4, size=n)
    groups = {}
    for i, r in enumerate(labels):
        groups.setdefault(int(r), []).append(i)
    expected = coords.copy()
    oracles.radial_equalize(expected, groups)
    _radial_equalize(coords, groups)
    np.testing.assert_allclose(coords, expected, atol=1e-13)


# ------------------------------------------------------------ principal axes

def test_pca_single_row_moves_to_origin_in_place():
    coords = np.array([[5.0, -2.0]])
    out = _pca_align(coords)
    assert out is coords
    np.testing.assert_array_equal(coords, [[0.0, 0.0]])


def test_pca_line_y_equals_x():
    coords = np.array([[0.0, 0.0], [1.0, 1.0], [2.0, 2.0], [3.0, 3.0]])
    out = _pca_align(coords)
    assert out is not coords
    # the input is centred as a side effect
    np.testing.assert_allclose(coords, [[-1.5, -1.5], [-0.5, -0.5],
                                        [0.5, 0.5], [1.5, 1.5]])
    np.testing.assert_allclose(out[:, 1], 0.0, atol=1e-12)
    r2 = math.sqrt(2)
    np.testing.assert_allclose(np.abs(out[:, 0]), [1.5 * r2, 0.5 * r2,
                                                   0.5 * r2, 1.5 * r2])
    # order along the line is kept (no folding)
    assert np.all(np.diff(out[:, 0]) > 0) or np.all(np.diff(out[:, 0]) < 0)


def _signed_areas(p):
    a, b, c = p[0], p[1], p[2]
    return (b[0] - a[0]) * (c[1] - a[1]) - (b[1] - a[1]) * (c[0] - a[0])


@pytest.mark.parametrize("seed", range(20))
def test_pca_random_clouds(seed):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(3, 15))
    raw = rng.normal(size=(n, 2)) * [3.0, 0.7] @ np.array(
        [[math.cos(seed), math.sin(seed)], [-math.sin(seed), math.cos(seed)]])
    raw += rng.normal(size=2) * 5
    coords = raw.copy()
    out = _pca_align(coords)
    centred = raw - raw.mean(axis=0)
    np.testing.assert_allclose(coords, centred, atol=1e-12)
    # a rotation: distances kept, handedness kept, axes decorrelated
    np.testing.assert_allclose(np.linalg.norm(out, axis=1),
                               np.linalg.norm(centred, axis=1), atol=1e-12)
    assert np.sign(_signed_areas(out)) == np.sign(_signed_areas(centred))
    cov = np.cov(out.T)
    assert abs(cov[0, 1]) < 1e-10
    assert cov[0, 0] >= cov[1, 1]
    expected = oracles.pca_align(raw.copy())
    # eigenvector signs are the solver's: allow a half turn
    assert (np.allclose(out, expected, atol=1e-10)
            or np.allclose(out, -expected, atol=1e-10))


# ------------------------------------------------------------ mirror snapping

@pytest.mark.parametrize("coords,ranks,axis,kwargs,expected", [
    # the worked example: mirror about the x axis
    ([[1.0, 0.9], [1.2, -1.1]], [0, 0], 1, {}, [[1.1, 1.0], [1.1, -1.0]]),
    # the same about the y axis (x flips)
    ([[0.9, 1.0], [-1.1, 1.2]], [3, 3], 0, {}, [[1.0, 1.1], [-1.0, 1.1]]),
    # |y| = 0.04 < eps: snapped to 0, matched, never paired
    ([[0.0, 0.04], [0.1, -0.3]], [0, 0], 1, {}, [[0.0, 0.0], [0.1, -0.3]]),
    # |y| = 0.05 is not below eps: paired, other = 0.05, axis = 0.175
    ([[0.0, 0.05], [0.1, -0.3]], [0, 0], 1, {}, [[0.05, 0.175], [0.05, -0.175]]),
    # a larger eps snaps both; nothing is paired
    ([[0.0, 0.05], [0.1, -0.3]], [0, 0], 1, {"eps": 0.5}, [[0.0, 0.0], [0.1, 0.0]]),
    # different ranks never pair, however close
    ([[1.0, 0.9], [1.0, -0.9]], [0, 1], 1, {}, [[1.0, 0.9], [1.0, -0.9]]),
    # two above, one below: atom 0 comes first and takes atom 2 (its only
    # opposite-side candidate, d = 0 + 4.5); atom 1 keeps its place
    ([[0.0, 1.0], [5.0, 1.0], [4.5, -1.0]], [0, 0, 0], 1, {},
     [[2.25, 1.0], [5.0, 1.0], [2.25, -1.0]]),
    # nearest mirror image wins: d(2) = 0.2 + 0.2 < d(1) = 3 + 0
    ([[0.0, 1.0], [3.0, -1.0], [0.2, -1.2]], [0, 0, 0], 1, {},
     [[0.1, 1.1], [3.0, -1.0], [0.1, -1.1]]),
    # equal distances: the lower index wins (d = 1 for both 1 and 2)
    ([[0.0, 1.0], [1.0, -1.0], [-1.0, -1.0]], [0, 0, 0], 1, {},
     [[0.5, 1.0], [0.5, -1.0], [-1.0, -1.0]]),
    # with eps 0 nothing snaps and an exact 0 counts as the positive side
    ([[0.0, 0.0], [1.0, -0.5]], [0, 0], 1, {"eps": 0.0}, [[0.5, 0.25], [0.5, -0.25]]),
    ([[0.0, 0.0], [1.0, 0.5]], [0, 0], 1, {"eps": 0.0}, [[0.0, 0.0], [1.0, 0.5]]),
])
def test_enforce_mirror_examples(coords, ranks, axis, kwargs, expected):
    arr = np.array(coords, dtype=np.float64)
    out = _enforce_mirror(arr, ranks, axis, **kwargs)
    assert out is arr
    np.testing.assert_allclose(arr, expected, atol=1e-12)


def test_snapped_coordinate_is_exactly_zero():
    arr = np.array([[0.3, -0.049], [0.2, 0.01]])
    _enforce_mirror(arr, [0, 1], axis=1)
    assert arr[0, 1] == 0.0 and arr[1, 1] == 0.0


@pytest.mark.parametrize("seed", range(20))
def test_enforce_mirror_random(seed):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(2, 14))
    arr = rng.normal(size=(n, 2))
    arr[rng.random(n) < 0.2, 1] *= 0.02   # some atoms near the line
    ranks = [int(r) for r in rng.integers(0, 3, size=n)]
    axis = int(seed % 2)
    expected = oracles.enforce_mirror(arr.copy(), ranks, axis)
    _enforce_mirror(arr, ranks, axis)
    np.testing.assert_allclose(arr, expected, atol=1e-14)


# ------------------------------------------------------------ symmetry classes

@pytest.mark.parametrize("smiles", ["C", "CCO", "c1ccccc1", "CC(C)=O",
                                    "ClC(Cl)Cl", "OC(=O)C(=O)O"])
def test_symmetry_classes_are_canonical_ranks_without_tie_breaking(smiles):
    mol = prepare(smiles)
    ranks = _symmetry_classes(mol)
    assert ranks == list(Chem.CanonicalRankAtoms(mol, breakTies=False))
    assert all(type(r) is int for r in ranks)


def test_methane_hydrogens_share_a_class():
    ranks = _symmetry_classes(prepare("C"))
    assert len(set(ranks[1:])) == 1 and ranks[0] != ranks[1]


def test_symmetry_classes_fall_back_to_one_class_per_atom():
    class NotAMolecule:
        """Enough of a molecule for the fallback, not for the ranking."""

        def GetNumAtoms(self):
            return 4

    assert _symmetry_classes(NotAMolecule()) == [0, 1, 2, 3]


def test_symmetry_classes_fallback_error_propagates():
    with pytest.raises(AttributeError):
        _symmetry_classes("CCO")


# ------------------------------------------------------------ atom layout

def _as_rotated(got, expected, atol):
    """Equal up to the half turn that the eigenvector signs may introduce."""
    return (np.allclose(got, expected, atol=atol)
            or np.allclose(got, -expected, atol=atol))


def test_layout_result_types():
    mol = prepare("CCO")
    result = compute_atom_layout(mol)
    assert isinstance(result, tuple) and len(result) == 2
    coords, ranks = result
    assert isinstance(coords, np.ndarray) and coords.dtype == np.float64
    assert coords.shape == (mol.GetNumAtoms(), 2)
    assert isinstance(ranks, list) and all(type(r) is int for r in ranks)
    assert ranks == list(Chem.CanonicalRankAtoms(mol, breakTies=False))
    assert mol.GetNumConformers() >= 1  # the depiction stays on the molecule


def test_layout_switches_coordgen_on():
    rdDepictor.SetPreferCoordGen(False)
    try:
        compute_atom_layout(prepare("CC"), n_iter=1)
        assert rdDepictor.GetPreferCoordGen() is True
    finally:
        rdDepictor.SetPreferCoordGen(True)


def test_layout_matches_the_force_model_on_test_molecules(molecules):
    compared = 0
    for smiles, name in molecules:
        mol = prepare(smiles)
        expected, ranks, well_conditioned = oracles.layout(mol)
        if not well_conditioned or np.isnan(expected).any():
            continue  # orientation decided by rounding noise (or no depiction)
        got, got_ranks = compute_atom_layout(mol)
        assert got_ranks == ranks, name
        assert _as_rotated(got, expected, 1e-8), name
        compared += 1
    assert compared > 100


@pytest.mark.parametrize("smiles,kwargs", [
    ("CCO", dict(n_iter=0)),
    ("CC(=O)Oc1ccccc1C(=O)O", dict(n_iter=0)),
    ("CCO", dict(n_iter=50)),                       # no radial pull yet
    ("CCCC", dict(n_iter=56)),                      # one pull, at 55
    ("CCO", dict(target_bond_len=2.0)),
    ("CC(N)=O", dict(repulsion_factor=1.5, k_attr=0.03, k_rep=0.1)),
    ("NCC(=O)O", dict(n_iter=200, k_attr=0.1)),
])
def test_layout_parameters(smiles, kwargs):
    mol = prepare(smiles)
    expected, _, ok = oracles.layout(mol, **kwargs)
    assert ok
    got, _ = compute_atom_layout(mol, **kwargs)
    assert _as_rotated(got, expected, 1e-8)


def test_layout_defaults():
    mol = prepare("CC(C)O")
    a, _ = compute_atom_layout(mol)
    b, _ = compute_atom_layout(mol, n_iter=600, target_bond_len=1.5,
                               repulsion_factor=1.2, k_attr=0.06, k_rep=0.05)
    np.testing.assert_array_equal(a, b)


def test_layout_is_deterministic(molecules):
    for smiles, name in molecules[::5]:
        mol = prepare(smiles)
        a, ra = compute_atom_layout(mol)
        b, rb = compute_atom_layout(prepare(smiles))
        np.testing.assert_array_equal(a, b, err_msg=name)
        assert ra == rb


def test_single_atom_keeps_its_depiction():
    mol = prepare("[Na+]")
    coords, ranks = compute_atom_layout(mol)
    ref = Chem.Mol(mol)
    rdDepictor.SetPreferCoordGen(True)
    rdDepictor.Compute2DCoords(ref)
    p = ref.GetConformer().GetAtomPosition(0)
    np.testing.assert_array_equal(coords, [[p.x, p.y]])
    assert ranks == [0]


@pytest.mark.parametrize("smiles,half", [
    ("ClCl", 0.75),        # a bond relaxes to 1.5: L <- L - 0.12 (L - 1.5)
    ("Cl[H]", 0.75),
    ("[Na+].[Cl-]", 0.9),  # unbonded: pushed apart to min_nb = 1.8
])
def test_two_atoms_end_centred_on_the_x_axis(smiles, half):
    coords, _ = compute_atom_layout(prepare(smiles))
    np.testing.assert_allclose(coords[:, 1], [0.0, 0.0], atol=1e-12)
    np.testing.assert_allclose(sorted(coords[:, 0]), [-half, half], atol=1e-9)
    ranks = Chem.CanonicalRankAtoms(prepare(smiles), breakTies=False)
    if ranks[0] == ranks[1]:  # a mirror pair: exactly symmetric
        assert coords[0, 0] == -coords[1, 0]


def test_two_atoms_without_relaxation_keep_depiction_distance():
    mol = prepare("[Na+].[Cl-]")
    ref = Chem.Mol(mol)
    rdDepictor.SetPreferCoordGen(True)
    rdDepictor.Compute2DCoords(ref)
    d = np.linalg.norm(ref.GetConformer().GetPositions()[0, :2]
                       - ref.GetConformer().GetPositions()[1, :2])
    coords, _ = compute_atom_layout(mol, n_iter=0)
    np.testing.assert_allclose(sorted(coords[:, 0]), [-d / 2, d / 2], atol=1e-12)
    np.testing.assert_allclose(coords[:, 1], 0.0, atol=1e-12)


# Molecules whose relaxed drawing is symmetric about one axis (a depiction
# whose hydrogens are placed unevenly, e.g. acetone's, can stay asymmetric,
# and a near-round one, e.g. pyridine's, has no well-defined principal axis).
@pytest.mark.parametrize("smiles", ["O", "O=C=O", "CCC", "C=C", "OCCO",
                                    "CC#CC", "c1ccccc1", "N#N", "NC(N)=O",
                                    "OC(=O)C(=O)O", "CS(C)(=O)=O", "CC(C)(C)C"])
def test_symmetric_molecules_come_out_mirror_symmetric(smiles):
    mol = prepare(smiles)
    coords, ranks = compute_atom_layout(mol)

    def symmetric(axis):
        flipped = coords.copy()
        flipped[:, axis] = -flipped[:, axis]
        for i in range(len(coords)):
            if not any(ranks[j] == ranks[i]
                       and np.allclose(flipped[i], coords[j], atol=1e-12)
                       for j in range(len(coords))):
                return False
        return True

    assert symmetric(0) or symmetric(1)


def test_layout_centre_and_axes_without_relaxation():
    # propanol has no mirror pairs about the axes once hydrogens are
    # included, so n_iter=0 is the centred depiction on its principal axes
    mol = prepare("CCCO")
    coords, ranks = compute_atom_layout(mol, n_iter=0)
    expected, _, ok = oracles.layout(mol, n_iter=0)
    assert ok
    assert _as_rotated(coords, expected, 1e-10)
