// Two-dimensional atom layout and the placement of orbital nodes around atoms.
#pragma once

#include <array>
#include <exception>
#include <functional>
#include <utility>
#include <vector>

#include "common/molecule.hpp"

namespace tx::layout {

using Point = std::array<double, 2>;
using Coords = std::vector<Point>;

constexpr double kPi = 3.141592653589793;
constexpr double kTwoPi = 2.0 * kPi;

// Smaller angle between two directions, in [0, pi].
double angle_diff(double a, double b);

// One angle per node: the preferred angles first, then the middle of the
// widest empty arc, one at a time.
std::vector<double> place_node_angles(long n_nodes, const std::vector<double>& target_angles);

// Every multi-member class moved onto a circle around its centroid whose
// radius is the members' mean distance.
void radial_equalize(Coords& coords, const std::vector<std::vector<int>>& groups);

// Symmetric 2x2 eigen-solver: eigenvalues ascending, unit eigenvectors as
// columns of vecs (vecs[row][col]).
using Eigh2 = std::function<void(const double cov[2][2], double vals[2], double vecs[2][2])>;

// Centres coords in place and returns them turned onto their principal axes
// (largest variance along x).  With fewer than two rows returns the centred
// input unchanged.
Coords pca_align(Coords& coords, const Eigh2& eigh);

// Snaps near-axis atoms onto the mirror line and averages mirror-image pairs
// of equal rank; axis is the column that changes sign.
void enforce_mirror(Coords& coords, const std::vector<long>& ranks, int axis, double eps);

struct LayoutParams {
    long n_iter = 600;
    double target_bond_len = 1.5;
    double repulsion_factor = 1.2;
    double k_attr = 0.06;
    double k_rep = 0.05;
    // Repulsion from a list of near pairs kept while no atom has moved far
    // enough to change it (the same forces, bit for bit); off, every pair of
    // atoms is tested on every step.
    bool pair_list = true;
};

// Pairs of normal deviates (mean 0, sd 0.1), drawn ahead of time, that
// separate atoms the depiction put on one point, used in order.
using Jitter = std::vector<Point>;

// Thrown when a layout needs more jitter pairs than it was given; the caller
// draws a longer prefix of the same stream and tries again.
struct JitterExhausted : std::exception {
    const char* what() const noexcept override { return "more jitter needed"; }
};

// Force-directed relaxation of depiction coordinates followed by principal
// axis alignment and mirror snapping.  `coords` holds the seed positions
// (n >= 2); returns the final coordinates.
Coords relax_layout(Coords coords, const std::vector<std::pair<int, int>>& bonds,
                    const std::vector<long>& ranks, const LayoutParams& params,
                    const Jitter& jitter, const Eigh2& eigh);

// The depiction of a molecule relaxed, turned onto its principal axes and
// symmetrised; a molecule of fewer than two atoms keeps its depiction.
// Throws JitterExhausted when `jitter` is too short.
Coords atom_layout(const Molecule& mol, const Coords& depiction, const std::vector<long>& ranks,
                   const Jitter& jitter, const LayoutParams& params);

}  // namespace tx::layout
