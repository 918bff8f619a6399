"""Two-dimensional layout: node angles, symmetry helpers and the force-directed atom layout."""

import math

import numpy as np
import pytest
from rdkit import Chem
from rdkit.Chem import rdDepictor

from helpers import prepare
from trelvanoxa import (_angle_diff, _enforce_mirror, _pca_align, _symmetry_classes,
                        _yerlestir_dugumler, compute_atom_layout)

PI = math.pi


@pytest.mark.parametrize("a,b,expected", [
    (0.1, 2 * PI - 0.1, 0.2), (1.0, 1.0 + 4 * PI, 0.0), (0.0, 3 * PI / 2, PI / 2), (2.5, -20.0, 8 * PI - 22.5),
])
def test_angle_diff(a, b, expected):
    assert _angle_diff(a, b) == pytest.approx(expected, abs=1e-12)
    assert _angle_diff(b=a, a=b) == pytest.approx(expected, abs=1e-12)


@pytest.mark.parametrize("n,targets,expected", [
    (1, [2.0], [0.0]), (1, [], [0.0]),
    (9, [], [k * 2 * PI / 9 for k in range(9)]),
    (4, [-PI / 2], [-PI / 2, PI / 2, PI, 0.0]),          # the given angle stays negative
    (9, (0.0, PI), [0.0, PI, PI / 2, 3 * PI / 2, PI / 4, 3 * PI / 4, 5 * PI / 4, 7 * PI / 4, PI / 8]),
    (4, [0.1, 0.2, 0.3, 0.4, 0.5], [0.1, 0.2, 0.3, 0.4]),  # first n only, nothing added
    (4, [1.0, 1.0], [1.0, 1.0, 1.0, 1.0]),               # every gap 0: nodes stacked
    # 7 is kept as given; reduced it is 7 - 2pi, its opposite 7 - pi; of the two equal half
    # circles the first (from 7 - 2pi) gets the next node, then the arc from 7 - pi round.
    (4, [7.0], [7.0, 7.0 - PI, 7.0 - 2 * PI + PI / 2, 7.0 - PI + PI / 2]),
])
def test_node_angles(n, targets, expected):
    given = list(targets)
    got = _yerlestir_dugumler(n_nodes=n, target_angles=targets)
    assert isinstance(got, list) and len(got) == n and list(targets) == given
    np.testing.assert_allclose(got, expected, atol=1e-12)


def test_pca_align():
    one = np.array([[5.0, -2.0]])
    assert _pca_align(one) is one and one.tolist() == [[0.0, 0.0]]
    # points spread along y = -2x: turned (distances and handedness kept, never mirrored), major axis on x
    tri = np.array([[0.0, 0.0], [1.0, -2.0], [0.1, 0.1], [-1.0, 2.0]])
    out = _pca_align(tri.copy())
    cross = lambda p: (p[1, 0] - p[0, 0]) * (p[2, 1] - p[0, 1]) - (p[1, 1] - p[0, 1]) * (p[2, 0] - p[0, 0])  # noqa
    centred = tri - tri.mean(axis=0)
    np.testing.assert_allclose(out @ out.T, centred @ centred.T, atol=1e-12)  # distances and angles kept
    assert cross(out) == pytest.approx(cross(centred)) and abs(np.cov(out.T)[0, 1]) < 1e-12
    assert np.var(out[:, 0]) > np.var(out[:, 1])


@pytest.mark.parametrize("coords,ranks,axis,kwargs,expected", [
    ([[1.0, 0.9], [1.2, -1.1]], [0, 0], 1, {}, [[1.1, 1.0], [1.1, -1.0]]),
    ([[0.0, 0.05], [0.1, -0.3]], [0, 0], 1, {}, [[0.05, 0.175], [0.05, -0.175]]),  # 0.05 is not below eps
    # two above, one below: atom 0 takes atom 2, atom 1 keeps its place
    ([[0.0, 1.0], [5.0, 1.0], [4.5, -1.0]], [0, 0, 0], 1, {}, [[2.25, 1.0], [5.0, 1.0], [2.25, -1.0]]),
    # nearest mirror image wins: d(2) = 0.2 + 0.2 < d(1) = 3
    ([[0.0, 1.0], [3.0, -1.0], [0.2, -1.2]], [0, 0, 0], 1, {}, [[0.1, 1.1], [3.0, -1.0], [0.1, -1.1]]),
    # eps 0: nothing snaps and an exact 0 counts as the positive side
    ([[0.0, 0.0], [1.0, -0.5]], [0, 0], 1, {"eps": 0.0}, [[0.5, 0.25], [0.5, -0.25]]),
])
def test_enforce_mirror(coords, ranks, axis, kwargs, expected):
    arr = np.array(coords)
    assert _enforce_mirror(arr, ranks, axis, **kwargs) is arr
    np.testing.assert_allclose(arr, expected, atol=1e-12)
    assert [a == 0.0 for a in arr[:, axis]] == [e == 0.0 for e in np.array(expected)[:, axis]]  # exact snaps


def depiction(mol):
    ref = Chem.Mol(mol)
    rdDepictor.SetPreferCoordGen(True)
    return ref.GetConformer(rdDepictor.Compute2DCoords(ref)).GetPositions()[:, :2]


def test_layout_result_and_side_effects():
    mol = prepare("CCO")
    rdDepictor.SetPreferCoordGen(False)
    coords, ranks = compute_atom_layout(mol)
    assert rdDepictor.GetPreferCoordGen() is True and mol.GetNumConformers() >= 1  # switched on, depiction kept
    assert coords.dtype == np.float64 and coords.shape == (9, 2) and ranks == _symmetry_classes(mol)
    np.testing.assert_array_equal(coords, compute_atom_layout(prepare("CCO"), 600, 1.5, 1.2, 0.06, 0.05)[0])
    single = prepare("[Na+]")  # one atom keeps its depiction, not even centred
    coords, ranks = compute_atom_layout(single)
    np.testing.assert_array_equal(coords, depiction(single))
    assert ranks == [0]


# Two atoms: a bond length L moves by 2 k_attr (T - L) per step; unbonded atoms closer than
# min_nb = T * repulsion_factor are pushed apart by 2 k_rep (min_nb - L).  Both end centred on x.
@pytest.mark.parametrize("smiles,kwargs,final", [
    ("ClCl", dict(n_iter=10, target_bond_len=2.0), lambda L0: 2.0 + (L0 - 2.0) * 0.88 ** 10),
    ("ClCl", dict(n_iter=7, k_attr=0.1), lambda L0: 1.5 + (L0 - 1.5) * 0.8 ** 7),
    ("Cl[H]", {}, lambda L0: 1.5),
    ("[Na+].[Cl-]", dict(n_iter=5), lambda L0: 1.8 - (1.8 - L0) * 0.9 ** 5),
    ("[Na+].[Cl-]", dict(n_iter=0), lambda L0: L0),
])
def test_two_atom_relaxation(smiles, kwargs, final):
    mol = prepare(smiles)
    d0 = depiction(mol)
    coords, ranks = compute_atom_layout(mol, **kwargs)
    half = final(np.linalg.norm(d0[0] - d0[1])) / 2
    np.testing.assert_allclose(coords[:, 1], 0.0, atol=1e-12)
    np.testing.assert_allclose(sorted(coords[:, 0]), [-half, half], atol=1e-9)
    if ranks[0] == ranks[1]:
        assert coords[0, 0] == -coords[1, 0]  # a mirror pair is exactly symmetric


@pytest.mark.parametrize("smiles", ["O", "CCC", "OCCO", "c1ccccc1", "NC(N)=O", "CS(C)(=O)=O", "CC(C)(C)C"])
def test_symmetric_molecules_come_out_mirror_symmetric(smiles):
    coords, ranks = compute_atom_layout(prepare(smiles))

    def symmetric(axis):
        flipped = coords.copy()
        flipped[:, axis] *= -1
        return all(any(ranks[j] == ranks[i] and np.allclose(flipped[i], coords[j], atol=1e-12)
                       for j in range(len(coords))) for i in range(len(coords)))

    assert symmetric(0) or symmetric(1)
