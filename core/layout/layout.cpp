#include "layout/layout.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>

#include "common/lapack.hpp"
#include "common/poll.hpp"
#include "common/pyfloat.hpp"

namespace tx::layout {

double angle_diff(double a, double b) {
    double d = py_float::mod(a - b + kPi, kTwoPi) - kPi;
    return std::fabs(d);
}

std::vector<double> place_node_angles(long n_nodes, const std::vector<double>& target_angles) {
    if (n_nodes == 1) return {0.0};
    std::vector<double> angles;
    const size_t keep = std::min<size_t>(target_angles.size(), static_cast<size_t>(std::max<long>(n_nodes, 0)));
    angles.assign(target_angles.begin(), target_angles.begin() + keep);
    if (angles.empty()) {
        const double step = kTwoPi / static_cast<double>(n_nodes);
        std::vector<double> out;
        out.reserve(n_nodes);
        for (long i = 0; i < n_nodes; ++i) out.push_back(static_cast<double>(i) * step);
        return out;
    }
    std::vector<double> sorted_a;
    while (static_cast<long>(angles.size()) < n_nodes) {
        sorted_a.clear();
        for (double a : angles) sorted_a.push_back(py_float::mod(a, kTwoPi));
        std::sort(sorted_a.begin(), sorted_a.end());
        if (sorted_a.size() == 1) {
            angles.push_back(py_float::mod(sorted_a[0] + kPi, kTwoPi));
            continue;
        }
        double widest = -1.0, middle = 0.0;
        const size_t m = sorted_a.size();
        for (size_t i = 0; i < m; ++i) {
            const double a1 = sorted_a[i];
            const double a2 = sorted_a[(i + 1) % m];
            const double gap = py_float::mod(a2 - a1, kTwoPi);
            if (gap > widest) {
                widest = gap;
                middle = py_float::mod(a1 + gap / 2.0, kTwoPi);
            }
        }
        angles.push_back(middle);
    }
    return angles;
}

namespace {

inline double norm2(double x, double y) { return std::sqrt(x * x + y * y); }

}  // namespace

void radial_equalize(Coords& coords, const std::vector<std::vector<int>>& groups) {
    std::vector<double> dists;
    for (const auto& members : groups) {
        if (members.size() < 2) continue;
        const double k = static_cast<double>(members.size());
        double cx = 0.0, cy = 0.0;
        for (int m : members) {
            cx += coords[m][0];
            cy += coords[m][1];
        }
        cx /= k;
        cy /= k;
        dists.clear();
        double total = 0.0;
        for (int m : members) {
            const double d = norm2(coords[m][0] - cx, coords[m][1] - cy);
            dists.push_back(d);
            total += d;
        }
        const double avg = total / k;
        if (avg < 1e-9) continue;
        for (int m : members) {
            const double vx = coords[m][0] - cx;
            const double vy = coords[m][1] - cy;
            const double len = norm2(vx, vy);
            if (len > 1e-9) {
                const double s = avg / len;
                coords[m][0] = cx + vx * s;
                coords[m][1] = cy + vy * s;
            }
        }
    }
}

Coords pca_align(Coords& coords, const Eigh2& eigh) {
    const size_t n = coords.size();
    if (n == 0) return coords;
    double mx = 0.0, my = 0.0;
    for (const auto& p : coords) {
        mx += p[0];
        my += p[1];
    }
    mx /= static_cast<double>(n);
    my /= static_cast<double>(n);
    for (auto& p : coords) {
        p[0] -= mx;
        p[1] -= my;
    }
    if (n < 2) return coords;

    // Sample covariance of the (already centred) columns.
    double ax = 0.0, ay = 0.0;
    for (const auto& p : coords) {
        ax += p[0];
        ay += p[1];
    }
    ax /= static_cast<double>(n);
    ay /= static_cast<double>(n);
    double sxx = 0.0, sxy = 0.0, syy = 0.0;
    for (const auto& p : coords) {
        const double x = p[0] - ax, y = p[1] - ay;
        sxx += x * x;
        sxy += x * y;
        syy += y * y;
    }
    const double dof = static_cast<double>(n - 1);
    const double cov[2][2] = {{sxx / dof, sxy / dof}, {sxy / dof, syy / dof}};
    double vals[2];
    double vecs[2][2];
    eigh(cov, vals, vecs);

    // Columns by descending eigenvalue; equal eigenvalues keep the ascending
    // sort's index order, so reversing always puts the second vector first.
    double r[2][2] = {{vecs[0][1], vecs[0][0]}, {vecs[1][1], vecs[1][0]}};
    const double det = r[0][0] * r[1][1] - r[0][1] * r[1][0];
    if (det < 0) {
        r[0][1] = -r[0][1];
        r[1][1] = -r[1][1];
    }
    Coords out(n);
    for (size_t i = 0; i < n; ++i) {
        const double x = coords[i][0], y = coords[i][1];
        out[i][0] = x * r[0][0] + y * r[1][0];
        out[i][1] = x * r[0][1] + y * r[1][1];
    }
    return out;
}

void enforce_mirror(Coords& coords, const std::vector<long>& ranks, int axis, double eps) {
    const int other = 1 - axis;
    const size_t n = coords.size();
    std::vector<char> matched(n, 0);
    for (size_t i = 0; i < n; ++i) {
        if (std::fabs(coords[i][axis]) < eps) {
            coords[i][axis] = 0.0;
            matched[i] = 1;
        }
    }
    for (size_t i = 0; i < n; ++i) {
        if (matched[i]) continue;
        long best_j = -1;
        double best_d = std::numeric_limits<double>::infinity();
        const bool side_i = coords[i][axis] >= 0;
        for (size_t j = 0; j < n; ++j) {
            if (j == i || matched[j] || ranks[j] != ranks[i]) continue;
            if ((coords[j][axis] >= 0) == side_i) continue;
            const double d = std::fabs(coords[j][axis] + coords[i][axis]) +
                             std::fabs(coords[j][other] - coords[i][other]);
            if (d < best_d) {
                best_d = d;
                best_j = static_cast<long>(j);
            }
        }
        if (best_j < 0) continue;
        const double avg_other = (coords[i][other] + coords[best_j][other]) / 2.0;
        const double avg_axis = (std::fabs(coords[i][axis]) + std::fabs(coords[best_j][axis])) / 2.0;
        for (size_t t : {i, static_cast<size_t>(best_j)}) {
            coords[t][axis] = coords[t][axis] >= 0 ? avg_axis : -avg_axis;
            coords[t][other] = avg_other;
        }
        matched[i] = 1;
        matched[best_j] = 1;
    }
}

namespace {

// Symmetry classes: rank -> members in index order, classes by rank.
std::vector<std::vector<int>> symmetry_groups(const std::vector<long>& ranks) {
    std::map<long, std::vector<int>> by_rank;
    for (size_t i = 0; i < ranks.size(); ++i) by_rank[ranks[i]].push_back(static_cast<int>(i));
    std::vector<std::vector<int>> groups;
    groups.reserve(by_rank.size());
    for (auto& kv : by_rank) groups.push_back(std::move(kv.second));
    return groups;
}

// Moves every atom that the depiction put on the point of an earlier atom
// by the next jitter pair.
void separate_coincident(Coords& coords, const Jitter& jitter) {
    const size_t n = coords.size();
    size_t used = 0;
    for (size_t i = 0; i < n; ++i) {
        for (size_t j = i + 1; j < n; ++j) {
            if (norm2(coords[i][0] - coords[j][0], coords[i][1] - coords[j][1]) < 1e-6) {
                if (used == jitter.size()) throw JitterExhausted();
                const Point d = jitter[used++];
                coords[j][0] += d[0];
                coords[j][1] += d[1];
            }
        }
    }
}

// Spring forces pulling every bond towards the target length.
void add_bond_forces(const Coords& coords, const std::vector<std::pair<int, int>>& bonds, const LayoutParams& params,
                     Coords& forces) {
    for (const auto& b : bonds) {
        const int u = b.first, v = b.second;
        const double dx = coords[v][0] - coords[u][0];
        const double dy = coords[v][1] - coords[u][1];
        const double len = norm2(dx, dy);
        if (len < 1e-9) continue;
        const double stretch = len - params.target_bond_len;
        const double fx = (stretch * dx) / len * params.k_attr;
        const double fy = (stretch * dy) / len * params.k_attr;
        forces[u][0] += fx;
        forces[u][1] += fy;
        forces[v][0] -= fx;
        forces[v][1] -= fy;
    }
}

// Short-range repulsion between atoms closer than the target bond length
// times the repulsion factor; bonded pairs never repel.
class Repulsion {
public:
    Repulsion(size_t n, const std::vector<std::pair<int, int>>& bonds, const LayoutParams& params)
        : bonded_(n), stamp_(n, -1), params_(params) {
        for (const auto& b : bonds) {
            bonded_[b.first].push_back(b.second);
            bonded_[b.second].push_back(b.first);
        }
        min_nb_ = params.target_bond_len * params.repulsion_factor;
        far2_ = min_nb_ * min_nb_ * (1.0 + 1e-9);
    }

    void add(const Coords& coords, long it, Coords& forces) {
        const size_t n = coords.size();
        for (size_t i = 0; i < n; ++i) {
            const long tag = static_cast<long>(i) + it * static_cast<long>(n);
            for (int j : bonded_[i]) stamp_[j] = tag;
            const double xi = coords[i][0], yi = coords[i][1];
            for (size_t j = i + 1; j < n; ++j) {
                const double dx = coords[j][0] - xi;
                const double dy = coords[j][1] - yi;
                const double d2 = dx * dx + dy * dy;
                // Most pairs are far apart: a squared-distance test with a
                // margin skips them before the exact test on the length.
                if (d2 > far2_ || stamp_[j] == tag) continue;
                const double len = std::sqrt(d2);
                if (len < 1e-9 || !(len < min_nb_)) continue;
                const double push = min_nb_ - len;
                const double fx = (push * dx) / len * params_.k_rep;
                const double fy = (push * dy) / len * params_.k_rep;
                forces[i][0] -= fx;
                forces[i][1] -= fy;
                forces[j][0] += fx;
                forces[j][1] += fy;
            }
        }
    }

private:
    std::vector<std::vector<int>> bonded_;
    std::vector<long> stamp_;
    const LayoutParams& params_;
    double min_nb_, far2_;
};

}  // namespace

Coords relax_layout(Coords coords, const std::vector<std::pair<int, int>>& bonds,
                    const std::vector<long>& ranks, const LayoutParams& params,
                    const Jitter& jitter, const Eigh2& eigh) {
    const size_t n = coords.size();
    const auto groups = symmetry_groups(ranks);
    separate_coincident(coords, jitter);
    Repulsion repulsion(n, bonds, params);
    Coords forces(n);
    for (long it = 0; it < params.n_iter; ++it) {
        if (it % 8 == 0) poll();
        for (auto& f : forces) f = {0.0, 0.0};
        add_bond_forces(coords, bonds, params, forces);
        repulsion.add(coords, it, forces);
        for (size_t i = 0; i < n; ++i) {
            coords[i][0] += forces[i][0];
            coords[i][1] += forces[i][1];
        }
        if (it > 50 && it % 5 == 0) radial_equalize(coords, groups);
    }

    Coords aligned = pca_align(coords, eigh);
    enforce_mirror(aligned, ranks, 1, 0.05);
    enforce_mirror(aligned, ranks, 0, 0.05);
    return aligned;
}

Coords atom_layout(const Molecule& mol, const Coords& depiction, const std::vector<long>& ranks,
                   const Jitter& jitter, const LayoutParams& params) {
    if (mol.size() <= 1) return depiction;
    std::vector<std::pair<int, int>> bonds;
    bonds.reserve(mol.bonds.size());
    for (const auto& b : mol.bonds) bonds.push_back({b.u, b.v});
    return relax_layout(depiction, bonds, ranks, params, jitter, &linalg::lapack_eigh2);
}

}  // namespace tx::layout
