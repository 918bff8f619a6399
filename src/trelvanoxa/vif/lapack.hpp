// Dense symmetric eigen-solvers from LAPACK (OpenBLAS build from PyPI).
#pragma once

#include <Eigen/Dense>

namespace tx::vif {

// Ascending eigenvalues of a symmetric matrix (its lower triangle is read).
Eigen::VectorXd lapack_eigenvalues(Eigen::MatrixXd a);

// Ascending eigenvalues and orthonormal eigenvectors (as columns).
void lapack_eigh(Eigen::MatrixXd a, Eigen::VectorXd& values, Eigen::MatrixXd& vectors);

}  // namespace tx::vif
