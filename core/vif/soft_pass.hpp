// Inertia (counts of positive, zero and negative eigenvalues) of weighted
// adjacency matrices, and the link-removal test built on it.
#pragma once

#include <Eigen/Dense>
#include <cstddef>
#include <optional>
#include <utility>
#include <vector>

#include "common/links.hpp"

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

// Symmetric dense matrix of n nodes from (u, v, w) links: a later link
// between the same nodes replaces an earlier one, or, with sum_parallel (a
// multigraph), adds to it.
Eigen::MatrixXd dense_matrix(int n, const std::vector<Link>& links, bool sum_parallel = false);

// Diagnostics of link-removal tests: how each link was decided.
struct SoftPassStats {
    std::size_t links = 0;        // links tested
    std::size_t fast = 0;         // decided by the exact split
    std::size_t shifted = 0;      // decided by the direct shifts
    std::size_t fallback = 0;     // neither was clear-cut: full eigenvalue count
    std::size_t definition = 0;   // tested with the fast pass switched off
    std::size_t sparse = 0;       // decided on the sparse factorization
    std::size_t sparse_off = 0;   // matrices it could not decide: eigendecomposition instead
    // why the exact split did not decide a link
    std::size_t split_rank = 0, split_block = 0, split_certificate = 0, split_off = 0;
    SoftPassStats& operator+=(const SoftPassStats& o);
};

// How link-removal tests run, and where their diagnostics go.
struct SoftPassOptions {
    double tol = 1e-9;
    bool fast = true;                // false: a full eigenvalue count per link
    SoftPassStats* stats = nullptr;  // added to when given
};

struct SplitSums;

// Inertia of A with one symmetric off-diagonal pair (u, v) set to zero, for
// many links of one matrix, counted with the zero band |x| <= tol.
//
// Every link is decided from one eigendecomposition A = Q L Q^T.  Removing
// the link of weight w is the rank-2 change A' = A - U C U^T with
// U = [e_u e_v] and C = [[0, w], [w, 0]].  For a shift s with A - s
// nonsingular, the bordered matrix [[A - s, U], [U^T, C^-1]] and Haynsworth
// inertia additivity give
//     In(A' - s) = In(A - s) + In(T_s) - (1, 0, 1),
//     T_s = C^-1 - U^T Q (L - s)^-1 Q^T U,
// a 2 x 2 matrix built in O(N) from rows u and v of Q.
//
// 1. Exact split.  Eigenvalues at rounding level are exact zeros (set Z, the
//    rest P).  With Y = rows u, v of the null eigenvectors (rank r) and
//    T = C^-1 - U^T Q_P L_P^-1 Q_P^T U,
//        In(A') = In(L_P) + (r, z - r, r) + In(T restricted to ker Y) - (1, 0, 1),
//    which counts exact zeros of A' as zeros.  The count is certified by the
//    shifted formula at s = +-1e-6: A' must have no other eigenvalue in
//    (-1e-6, 1e-6), so the zero band of the definition holds exactly the
//    exact zeros.
// 2. Direct shifts.  Where the split is not clear-cut (an intact or perturbed
//    eigenvalue close to zero but not at rounding level, as in long chains),
//    the definition's counts are read off the shifted formula at s = +-tol:
//    n+ = n+(A' - tol) and n- = n-(A' + tol).
// 3. Each 2 x 2 decision carries a rounding bound; a decision within it falls
//    back to a full eigenvalue count of A' for that link.
// The eigendecomposition is exact for a matrix within rounding of A, so the
// results equal the definition's.
class LinkRemoval {
public:
    // With fast false every link is tested by a full eigenvalue count.
    LinkRemoval(const Eigen::MatrixXd& a, double tol, bool fast = true);
    // Inertia with the entry (u, v) lowered by `amount` (all of it by default:
    // the link removed; part of it for one of several parallel links).
    Inertia removed(int u, int v);
    Inertia removed(int u, int v, double amount);
    // For each link, whether removing it alone leaves the inertia `target`;
    // amounts[i], when given, is the part of the entry that link i carries.
    std::vector<char> keeping(const std::vector<std::pair<int, int>>& links, const Inertia& target,
                              const std::vector<double>* amounts = nullptr);
    // Eigenvalues and inertia of the intact matrix, from the same
    // eigendecomposition when there is one.
    const Eigen::VectorXd& eigenvalues();
    Inertia intact();
    const SoftPassStats& stats() const { return stats_; }

private:
    bool by_split(const double* qu, const double* qv, double w, Inertia& out);
    bool by_shifts(const double* qu, const double* qv, double w, Inertia& out);
    Inertia by_definition(int u, int v, double amount);
    void prepare_shifts(double anorm);
    void prepare_split(double anorm);
    bool null_rank(const SplitSums& s, int& rank, double& noise) const;

    Eigen::MatrixXd a_;        // the intact matrix (restored after each full count)
    double tol_;
    bool decomposed_ = false, split_ok_ = false, shifts_ok_ = false;
    Eigen::MatrixXd qt_;       // eigenvectors as rows: qt_(i, node)
    double eta_ = 0.0;         // absolute error of eigenvector entries (orthogonality)
    double e_eig_ = 0.0;       // how far the computed eigenvalues may sit from A's
    Inertia intact_;
    // A's inertia from a full eigenvalue count (the definition's), made once
    // when a link of weight zero asks for it: with a zero band at rounding
    // level the decomposition's own count may differ.
    std::optional<Inertia> counted_;
    Eigen::VectorXd lam_;      // ascending eigenvalues of A
    // exact split: 1/l, 1/(l - d), 1/(l + d) on P, 0 on Z; 1 on Z, 0 on P
    Eigen::VectorXd inv_, inv_p_, inv_m_, null_;
    long n_pos_ = 0, n_neg_ = 0, n_null_ = 0;
    double vec_err_ = 0.0;     // accuracy of the null rows, for rank decisions
    // direct shifts: 1/(l - tol), 1/(l + tol)
    Eigen::VectorXd inv_tp_, inv_tm_;
    long above_tol_ = 0, below_tol_ = 0;  // #{l > tol}, #{l < -tol}
    SoftPassStats stats_;
};

// For each link (an existing off-diagonal entry), whether removing it leaves
// the inertia equal to `baseline`; amounts[i], when given, is the part of the
// entry that link i carries.  The matrix is left as it was.
std::vector<char> inertia_preserving_links(const Eigen::MatrixXd& a, const std::vector<std::pair<int, int>>& links,
                                           const Inertia& baseline, const SoftPassOptions& pass,
                                           const std::vector<double>* amounts = nullptr);

}  // namespace tx::vif
