"""Two-dimensional layout: node angles, symmetry helpers and the force-directed atom layout."""

import math

import numpy as np
import pytest
from rdkit import Chem
from rdkit.Chem import rdDepictor

from helpers import MOLECULES, prepare
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


# ------------------------------------------------- the layout, step by step in numpy

def numpy_layout(mol, n_iter=600, target_bond_len=1.5, repulsion_factor=1.2, k_attr=0.06, k_rep=0.05):
    """The atom layout evaluated step by step with numpy: CoordGen seed, coincident atoms moved apart by a
    fresh default_rng(42), springs and short-range repulsion summed per atom in bond and then pair order,
    equivalent atoms pulled onto common circles every fifth step after the fiftieth, principal axes by
    np.cov and np.linalg.eigh, then mirror pairs snapped about x and about y."""
    n = mol.GetNumAtoms()
    rdDepictor.SetPreferCoordGen(True)
    rdDepictor.Compute2DCoords(mol)
    coords = mol.GetConformer().GetPositions()[:, :2].copy()
    if not np.isfinite(coords).all():  # CoordGen places H2 nowhere: RDKit's own depiction seeds it
        rdDepictor.SetPreferCoordGen(False)
        rdDepictor.Compute2DCoords(mol)
        rdDepictor.SetPreferCoordGen(True)
        coords = mol.GetConformer().GetPositions()[:, :2].copy()
    try:
        ranks = list(Chem.CanonicalRankAtoms(mol, breakTies=False))
    except Exception:
        ranks = list(range(n))
    if n == 1:
        return coords, ranks
    groups = {}
    for i, r in enumerate(ranks):
        groups.setdefault(r, []).append(i)
    groups = [g for g in groups.values() if len(g) > 1]
    bonds = np.array([(b.GetBeginAtomIdx(), b.GetEndAtomIdx()) for b in mol.GetBonds()], int).reshape(-1, 2)
    bonded = np.zeros((n, n), bool)
    bonded[bonds[:, 0], bonds[:, 1]] = bonded[bonds[:, 1], bonds[:, 0]] = True
    min_nb = target_bond_len * repulsion_factor

    rng = np.random.default_rng(42)
    for i in range(n):
        for j in range(i + 1, n):
            if np.linalg.norm(coords[i] - coords[j]) < 1e-6:
                coords[j] += rng.normal(0.0, 0.1, 2)

    pi, pj = np.triu_indices(n, 1)
    pi, pj = pi[~bonded[pi, pj]], pj[~bonded[pi, pj]]

    def accumulate(forces, first, second, f):  # forces[first] += f, forces[second] -= f, pair after pair
        np.add.at(forces, np.stack([first, second], axis=1).ravel(), np.stack([f, -f], axis=1).reshape(-1, 2))

    for it in range(n_iter):
        forces = np.zeros((n, 2))
        d = coords[bonds[:, 1]] - coords[bonds[:, 0]]
        length = np.linalg.norm(d, axis=1)
        on = length >= 1e-9
        accumulate(forces, bonds[on, 0], bonds[on, 1],
                   ((length[on] - target_bond_len)[:, None] * d[on] / length[on, None]) * k_attr)
        d = coords[pj] - coords[pi]
        length = np.linalg.norm(d, axis=1)
        on = (length >= 1e-9) & (length < min_nb)
        accumulate(forces, pj[on], pi[on], ((min_nb - length[on])[:, None] * d[on] / length[on, None]) * k_rep)
        coords += forces
        if it > 50 and it % 5 == 0:
            for members in groups:
                centroid = coords[members].mean(axis=0)
                dists = np.linalg.norm(coords[members] - centroid, axis=1)
                if dists.mean() < 1e-9:
                    continue
                avg = dists.mean()
                for m in members:
                    v = coords[m] - centroid
                    length = np.linalg.norm(v)
                    if length > 1e-9:
                        coords[m] = centroid + v * (avg / length)

    coords -= coords.mean(axis=0)
    values, vectors = np.linalg.eigh(np.cov(coords.T))
    turn = vectors[:, np.argsort(values)[::-1]]
    if np.linalg.det(turn) < 0:
        turn[:, 1] = -turn[:, 1]
    coords = coords @ turn

    for axis in (1, 0):
        other = 1 - axis
        on_line = np.abs(coords[:, axis]) < 0.05
        coords[on_line, axis] = 0.0
        matched = list(on_line)
        for i in range(n):
            if matched[i]:
                continue
            mirror = np.abs(coords[:, axis] + coords[i, axis]) + np.abs(coords[:, other] - coords[i, other])
            candidates = [j for j in range(n) if j != i and not matched[j] and ranks[j] == ranks[i]
                          and (coords[j, axis] >= 0) != (coords[i, axis] >= 0)]
            if not candidates:
                continue
            j = min(candidates, key=lambda k: (mirror[k], k))
            along = (coords[i, other] + coords[j, other]) / 2.0
            across = (abs(coords[i, axis]) + abs(coords[j, axis])) / 2.0
            for k in (i, j):
                coords[k, axis] = across if coords[k, axis] >= 0 else -across
                coords[k, other] = along
            matched[i] = matched[j] = True
    return coords, ranks


# Molecules whose drawings are symmetric enough that the principal axes are decided at rounding level
# (equal variances) or that put atoms on a mirror line: cyclooctasulfur, the pentagonal fluorides, the
# octahedron, cubane, C60, neopentane, benzene, 18-crown-6 and the ring-free trigonal centres.
SYMMETRIC = ["S1SSSSSSS1", "FP(F)(F)(F)F", "FBr(F)(F)(F)F", "ClP(Cl)(Cl)(Cl)Cl", "FS(F)(F)(F)(F)F", "FI(F)(F)(F)(F)(F)F",
             "C12C3C4C1C5C2C3C45", "CC(C)(C)C", "c1ccccc1", "C1COCCOCCOCCOCCOCCO1", "C1CCCCC1", "CN(C)C", "[H][H]",
             "c12c3c4c5c1c1c6c7c2c2c8c3c3c9c4c4c%10c5c5c1c1c6c6c%11c7c2c2c7c8c3c3c8c9c4c4c9c%10c5c5c1c1c6c6"
             "c%11c2c2c7c3c3c8c4c4c9c5c1c1c6c2c3c41"]


def test_layout_follows_its_numpy_evaluation():
    """Every test molecule and the symmetric ones, laid out by the extension (near-pair list and all pairs
    alike, to the bit) and by the numpy evaluation above: the same coordinates."""
    from trelvanoxa import _core
    worst = {}
    for smiles in SYMMETRIC + [s for s, _ in MOLECULES]:
        coords, ranks = compute_atom_layout(prepare(smiles))
        _core._set_layout_pair_list(False)
        try:
            every_pair = compute_atom_layout(prepare(smiles))[0]
        finally:
            _core._set_layout_pair_list(True)
        np.testing.assert_array_equal(coords, every_pair, err_msg=smiles)
        expected, expected_ranks = numpy_layout(prepare(smiles))
        assert ranks == expected_ranks
        worst[smiles] = np.abs(coords - expected).max()
    # crowded settings: long springs and a wide repulsion reach make many non-bonded pairs push
    for smiles, kwargs in [("CC(C)(C)CC(C)(C)C", dict(target_bond_len=2.5, repulsion_factor=2.0, k_rep=0.2)),
                           ("C" * 40, dict(n_iter=300, target_bond_len=1.0, repulsion_factor=3.0, k_attr=0.2)),
                           ("c1ccc2ccccc2c1", dict(n_iter=120, repulsion_factor=0.0))]:
        coords = compute_atom_layout(prepare(smiles), **kwargs)[0]
        _core._set_layout_pair_list(False)
        try:
            np.testing.assert_array_equal(coords, compute_atom_layout(prepare(smiles), **kwargs)[0], err_msg=smiles)
        finally:
            _core._set_layout_pair_list(True)
        worst[smiles, str(kwargs)] = np.abs(coords - numpy_layout(prepare(smiles), **kwargs)[0]).max()
    assert {s: d for s, d in worst.items() if not d <= 1e-3} == {}
    # the regular octagon of S8 (radius 1.89, sides 1.45) and the pentagons of PF5 and BrF5 come out as such
    s8 = compute_atom_layout(prepare("S1SSSSSSS1"))[0]
    np.testing.assert_allclose(np.linalg.norm(s8, axis=1), 1.8916, atol=1e-4)
    np.testing.assert_allclose(np.linalg.norm(s8 - np.roll(s8, 1, axis=0), axis=1), 1.4478, atol=1e-4)
