// Inertia (counts of positive, zero and negative eigenvalues) of weighted
// adjacency matrices, and the link-removal test built on it.
#pragma once

#include <Eigen/Dense>
#include <cstddef>
#include <utility>
#include <vector>

namespace tx::vif {

struct Inertia {
    long pos = 0;
    long zero = 0;
    long neg = 0;
    bool operator==(const Inertia& o) const { return pos == o.pos && zero == o.zero && neg == o.neg; }
    bool operator!=(const Inertia& o) const { return !(*this == o); }
};

// Ascending eigenvalues of a symmetric matrix (lower triangle is read).
Eigen::VectorXd eigenvalues(const Eigen::MatrixXd& a);

// Counts with the zero band |x| <= tol.
Inertia count_inertia(const Eigen::VectorXd& eigenvalues, double tol);

Inertia inertia(const Eigen::MatrixXd& a, double tol);

struct Link {
    int u;
    int v;
    double w;
};

// Symmetric dense matrix of n nodes from (u, v, w) links.
Eigen::MatrixXd dense_matrix(int n, const std::vector<Link>& links);

// Inertia of A with one symmetric off-diagonal pair (u, v) set to zero, for
// many links of one matrix.
//
// The fast path decides every link from one eigendecomposition A = Q L Q^T.
// Removing the link of weight w is the rank-2 change A' = A - U C U^T with
// U = [e_u e_v], C = [[0, w], [w, 0]].  For the bordered matrix
// B = [[A, U], [U^T, C^-1]], Haynsworth additivity gives
//     In(A') = In(B) - In(C^-1) = In(B) - (1, 0, 1).
// Splitting the spectrum into numerically null eigenvalues Z and the rest P,
// with Y = rows u, v of the null eigenvectors (rank r) and
// T = C^-1 - U^T Q_P L_P^-1 Q_P^T U (2 x 2),
//     In(B) = In(L_P) + (r, z - r, r) + In(T restricted to ker Y).
// That count is exact for the matrix whose null eigenvalues are exactly zero.
// It is certified against the zero band of the definition by the same
// formula at the shifts +-delta (delta well above tol): the number of
// eigenvalues of A' in (-delta, delta) must equal the exact zero count, so
// no eigenvalue of A' can sit between the rounding level and delta.
// Any decision that is not clear-cut (an intact eigenvalue near the null
// threshold, a singular value of Y or an eigenvalue of a 2 x 2 block near
// zero, a failed certificate) falls back to the full eigenvalue count of A'
// for that link, so results always equal the definition.
class LinkRemoval {
public:
    LinkRemoval(const Eigen::MatrixXd& a, double tol);
    Inertia removed(int u, int v);
    // Inertia of the intact matrix (from the same eigendecomposition when
    // the fast path is on).
    Inertia intact();
    bool fast() const { return fast_; }

private:
    Inertia by_definition(int u, int v);

    Eigen::MatrixXd a_;        // the intact matrix (restored after each fallback)
    double tol_;
    bool fast_ = false;
    Eigen::MatrixXd qt_;       // eigenvectors as rows: qt_(i, node)
    Eigen::VectorXd inv_, inv_p_, inv_m_, null_;  // 1/l, 1/(l - d), 1/(l + d) on P; 1 on Z
    long n_pos_ = 0, n_neg_ = 0, n_null_ = 0;
    double vec_err_ = 0.0;     // bound on eigenvector entry errors
    Inertia intact_;
};

// For each link (an existing off-diagonal entry), whether removing it leaves
// the inertia equal to `baseline`.  The matrix is left as it was.
std::vector<char> inertia_preserving_links(const Eigen::MatrixXd& a, const std::vector<std::pair<int, int>>& links,
                                           const Inertia& baseline, double tol);

// Diagnostics of the link-removal tests run in this process.
struct SoftPassStats {
    std::size_t links = 0;        // links tested
    std::size_t fast = 0;         // decided from the eigendecomposition
    std::size_t fallback = 0;     // not clear-cut: full eigenvalue count
    std::size_t fallback_rank = 0, fallback_block = 0, fallback_certificate = 0;  // ... by reason
    std::size_t definition = 0;   // matrices or tolerances outside the fast path
};
SoftPassStats& soft_pass_stats();

// Forces the definition (one full eigenvalue count per link) when false.
void set_fast_soft_pass(bool enabled);
bool fast_soft_pass_enabled();

}  // namespace tx::vif
