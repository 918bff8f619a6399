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
    // The entry (r, c), 0 when absent.
    double at(int r, int c) const;
    // Rows are added in order; `entries` need not be sorted.
    void add_row(double diagonal, std::vector<std::pair<int, double>>& entries);
    static SparseSymmetric from_dense(const Eigen::MatrixXd& a);
    Eigen::MatrixXd to_dense() const;
};

class ShiftedLdl;

// Buffers of the sparse pass, kept between calls so that testing many small
// matrices (the fragments of one molecule) allocates once.
class SparseWork {
public:
    SparseWork();
    ~SparseWork();
    SparseWork(const SparseWork&) = delete;
    SparseWork& operator=(const SparseWork&) = delete;

private:
    friend bool sparse_keeping(const SparseSymmetric&, const std::vector<std::pair<int, int>>&, double,
                               std::vector<char>&, Inertia&, SparseWork*);
    std::unique_ptr<ShiftedLdl> above_, below_;
    std::vector<double> yu_, yue_, yv_, yve_;
    std::vector<char> mu_, mv_;
    std::vector<int> tu_, tv_, pu_, pv_, common_;
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
                    std::vector<char>& keep, Inertia& intact, SparseWork* work = nullptr);
bool sparse_keeping(const Eigen::MatrixXd& a, const std::vector<std::pair<int, int>>& links, double tol,
                    std::vector<char>& keep, Inertia& intact);

}  // namespace tx::vif
