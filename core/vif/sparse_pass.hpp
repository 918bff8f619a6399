// The link-removal test on sparse LDL^T factorizations: inertia from pivot
// signs (Sylvester), each removal from three entries of the inverse
// (Haynsworth).  Near-linear for the tree-like orbital graphs.
#pragma once

#include <Eigen/Dense>
#include <memory>
#include <utility>
#include <vector>

#include "vif/soft_pass.hpp"

namespace tx::vif {

// A symmetric matrix by rows: its diagonal, and each row's off-diagonal
// nonzero entries in ascending column order (both triangles).
struct SparseSymmetric {
    std::vector<double> diag;
    std::vector<int> start{0};  // row r holds entries start[r] .. start[r + 1]
    std::vector<int> col;
    std::vector<double> val;

    int size() const { return static_cast<int>(diag.size()); }
    // Empty again, keeping the buffers.
    void clear() {
        diag.clear();
        start.assign(1, 0);
        col.clear();
        val.clear();
    }
    // The entry (r, c), 0 when absent.
    double at(int r, int c) const;
    // Rows are added in order; `entries` need not be sorted.
    void add_row(double diagonal, std::vector<std::pair<int, double>>& entries);
    static SparseSymmetric from_dense(const Eigen::MatrixXd& a);
    // The matrix dense_matrix(n, links) builds (a later link between the
    // same nodes replaces an earlier one), without the n x n array.
    static SparseSymmetric from_links(int n, const std::vector<Link>& links);
    Eigen::MatrixXd to_dense() const;
};

class ShiftedLdl;

// The sparse link-removal test of one matrix: factorize once, then ask about
// links one at a time.  Its buffers are kept from one matrix to the next, so
// testing many small matrices (the fragments of a molecule) allocates little.
class SparseLinkTest {
public:
    SparseLinkTest();
    ~SparseLinkTest();
    SparseLinkTest(const SparseLinkTest&) = delete;
    SparseLinkTest& operator=(const SparseLinkTest&) = delete;

    // Factorizes A - tol (A + tol follows when a decision needs it); false
    // when a pivot is not clearly nonzero (or tol is not positive, or an
    // entry is not finite).  `a` is read again later: it must outlive the
    // questions about its links.
    bool factor(const SparseSymmetric& a, double tol);
    // A's inertia; false when the second factorization is not clear-cut.
    bool intact(Inertia& out);
    // Whether removing the link (u, v) leaves the inertia as it is: 1 yes,
    // 0 no, -1 when a pivot or a 2 x 2 eigenvalue is not clearly nonzero.
    // A link that changes the count above tol is decided on A - tol alone.
    int keeps(int u, int v);

private:
    const SparseSymmetric* a_ = nullptr;
    double tol_ = 0.0;
    int below_state_ = 0;  // A + tol: 0 not factorized yet, 1 factorized, 2 not clear-cut
    bool below_ready();
    std::unique_ptr<ShiftedLdl> above_, below_;
    std::vector<double> yu_, yue_, yv_, yve_;
    std::vector<char> mu_, mv_;
    std::vector<int> tu_, tv_, pu_, pv_, common_;
    bool signs(ShiftedLdl& f, int u, int v, double w, int& pos, int& neg);
    bool solved_signs(const ShiftedLdl& f, int u, int v, double w, int& pos, int& neg);
};

// For each link (u, v), whether removing it leaves the inertia of A as it
// is, decided on sparse LDL^T factorizations of A - tol and A + tol in a
// minimum-degree order: the pivot signs count the eigenvalues above tol and
// below -tol (Sylvester), and each removal is the rank-2 change whose effect
// on those counts is the inertia of a 2 x 2 matrix built from three entries
// of the shifted inverses (Haynsworth), read from two sparse solves.  Every
// pivot and every 2 x 2 eigenvalue carries a first-order error bound; false
// when one is not clearly nonzero (or tol is not positive), and the caller
// then decides on the eigendecomposition.  `intact` receives A's inertia.
bool sparse_keeping(const SparseSymmetric& a, const std::vector<std::pair<int, int>>& links, double tol,
                    std::vector<char>& keep, Inertia& intact);

}  // namespace tx::vif
