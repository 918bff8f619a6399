// Inertia (counts of positive, zero and negative eigenvalues) of weighted
// adjacency matrices, and the link-removal test built on it.
#pragma once

#include <Eigen/Dense>
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

// Symmetric dense matrix of n nodes from (u, v, w) links.
struct Link {
    int u;
    int v;
    double w;
};
Eigen::MatrixXd dense_matrix(int n, const std::vector<Link>& links);

// For each candidate link (an existing off-diagonal entry), whether removing
// it leaves the inertia equal to `baseline`.  The matrix is restored.
std::vector<char> inertia_preserving_links(Eigen::MatrixXd& a, const std::vector<std::pair<int, int>>& links,
                                           const Inertia& baseline, double tol);

}  // namespace tx::vif
