#include "layout/layout.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>

#include "common/lapack.hpp"
#include "common/poll.hpp"
#include "common/pyfloat.hpp"

namespace tx::layout {

static_assert(sizeof(Point) == 2 * sizeof(double), "coordinates are read as an n x 2 array");

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

// Sum of a contiguous run of doubles in numpy's order (pairwise, eight
// running sums per block), so that a mean rounds as numpy's mean does.
double pairwise_sum(const double* a, size_t n) {
    if (n < 8) {
        double res = 0.0;
        for (size_t i = 0; i < n; ++i) res += a[i];
        return res;
    }
    if (n <= 128) {
        double r[8];
        for (int j = 0; j < 8; ++j) r[j] = a[j];
        size_t i = 8;
        for (; i < n - n % 8; i += 8)
            for (int j = 0; j < 8; ++j) r[j] += a[i + j];
        double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) res += a[i];
        return res;
    }
    size_t half = n / 2;
    half -= half % 8;
    return pairwise_sum(a, half) + pairwise_sum(a + half, n - half);
}

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
        for (int m : members) dists.push_back(norm2(coords[m][0] - cx, coords[m][1] - cy));
        const double avg = pairwise_sum(dists.data(), dists.size()) / k;
        if (avg < 1e-9) continue;
        for (int m : members) {
            const double vx = coords[m][0] - cx;
            const double vy = coords[m][1] - cy;
            // The length of one vector as numpy's norm takes it (a dot product
            // whose last step is fused): a symmetric class sits on its circle to
            // the last bits, and the principal axes of the drawing follow them.
            const double len = std::sqrt(std::fma(vy, vy, vx * vx));
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

    // Sample covariance of the (already centred) columns, rounded as
    // numpy.cov rounds it: the columns centred again on their means, the
    // products summed by BLAS, then scaled by the reciprocal of n - 1.  For a
    // symmetric drawing the two variances agree to the last bits, and which
    // axis comes first is decided there.
    std::vector<double> rows(2 * n);
    double ax = 0.0, ay = 0.0;
    for (const auto& p : coords) {
        ax += p[0];
        ay += p[1];
    }
    ax /= static_cast<double>(n);
    ay /= static_cast<double>(n);
    for (size_t i = 0; i < n; ++i) {
        rows[i] = coords[i][0] - ax;
        rows[n + i] = coords[i][1] - ay;
    }
    double cov[2][2];
    linalg::gram2(rows.data(), static_cast<int>(n), cov);
    const double scale = 1.0 / static_cast<double>(n - 1);
    for (auto& row : cov)
        for (double& v : row) v *= scale;
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
    linalg::matmul_n2(coords.data()->data(), static_cast<int>(n), r, out.data()->data());
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
//
// Only pairs within min_nb + skin of each other at the last rebuild are
// candidates.  An atom that has moved by at most skin/2 since then cannot
// have come within min_nb of an atom outside the list, so the list holds
// every repelling pair until some atom has moved farther; it is then built
// again.  Candidates are kept in the order of the all-pairs loop (i, then
// j > i), and each is evaluated exactly as there, so the forces are the same
// to the last bit.
class Repulsion {
public:
    Repulsion(size_t n, const std::vector<std::pair<int, int>>& bonds, const LayoutParams& params)
        : bonded_(n), stamp_(n, -1), ref_(n), params_(params) {
        for (const auto& b : bonds) {
            bonded_[b.first].push_back(b.second);
            bonded_[b.second].push_back(b.first);
        }
        min_nb_ = params.target_bond_len * params.repulsion_factor;
        far2_ = min_nb_ * min_nb_ * (1.0 + 1e-9);
        skin_ = 0.5 * params.target_bond_len;
        const double reach = min_nb_ + skin_;
        reach2_ = reach * reach * (1.0 + 1e-9);
        // Moves below this bound keep the list complete, with room for rounding.
        max_move_ = 0.5 * skin_ * (1.0 - 1e-9);
    }

    // Every pair tested, as the definition of the force model reads.
    void add_all_pairs(const Coords& coords, Coords& forces) {
        const size_t n = coords.size();
        for (size_t i = 0; i < n; ++i) {
            mark_bonded(i);
            const double xi = coords[i][0], yi = coords[i][1];
            for (size_t j = i + 1; j < n; ++j) {
                if (stamp_[j] == tag_) continue;
                push(static_cast<int>(i), static_cast<int>(j), coords[j][0] - xi, coords[j][1] - yi, forces);
            }
        }
    }

    void add(const Coords& coords, Coords& forces) {
        if (!list_valid(coords)) rebuild(coords);
        const size_t m = cand_i_.size();
        for (size_t k = 0; k < m; ++k) {
            const int i = cand_i_[k], j = cand_j_[k];
            push(i, j, coords[j][0] - coords[i][0], coords[j][1] - coords[i][1], forces);
        }
    }

private:
    void mark_bonded(size_t i) {
        ++tag_;
        for (int j : bonded_[i]) stamp_[j] = tag_;
    }

    inline void push(int i, int j, double dx, double dy, Coords& forces) const {
        const double d2 = dx * dx + dy * dy;
        // Most pairs are far apart: a squared-distance test with a margin
        // skips them before the exact test on the length.
        if (d2 > far2_) return;
        const double len = std::sqrt(d2);
        if (len < 1e-9 || !(len < min_nb_)) return;
        const double gap = min_nb_ - len;
        const double fx = (gap * dx) / len * params_.k_rep;
        const double fy = (gap * dy) / len * params_.k_rep;
        forces[i][0] -= fx;
        forces[i][1] -= fy;
        forces[j][0] += fx;
        forces[j][1] += fy;
    }

    bool list_valid(const Coords& coords) const {
        if (!built_) return false;
        const double limit = max_move_ * max_move_;
        for (size_t i = 0; i < coords.size(); ++i) {
            const double dx = coords[i][0] - ref_[i][0], dy = coords[i][1] - ref_[i][1];
            if (!(dx * dx + dy * dy < limit)) return false;  // a NaN position too
        }
        return true;
    }

    void rebuild(const Coords& coords) {
        const size_t n = coords.size();
        cand_i_.clear();
        cand_j_.clear();
        for (size_t i = 0; i < n; ++i) {
            mark_bonded(i);
            const double xi = coords[i][0], yi = coords[i][1];
            for (size_t j = i + 1; j < n; ++j) {
                const double dx = coords[j][0] - xi, dy = coords[j][1] - yi;
                if (!(dx * dx + dy * dy < reach2_) || stamp_[j] == tag_) continue;
                cand_i_.push_back(static_cast<int>(i));
                cand_j_.push_back(static_cast<int>(j));
            }
        }
        ref_ = coords;
        built_ = true;
    }

    std::vector<std::vector<int>> bonded_;
    std::vector<long> stamp_;
    long tag_ = -1;
    Coords ref_;
    std::vector<int> cand_i_, cand_j_;
    bool built_ = false;
    const LayoutParams& params_;
    double min_nb_, far2_, skin_, reach2_, max_move_;
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
        if (params.pair_list)
            repulsion.add(coords, forces);
        else
            repulsion.add_all_pairs(coords, forces);
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
