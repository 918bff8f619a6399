// Dense symmetric eigen-solvers from LAPACK (OpenBLAS build from PyPI).
#pragma once

#include <Eigen/Dense>

namespace tx::linalg {

// Ascending eigenvalues of a symmetric matrix (its lower triangle is read).
Eigen::VectorXd lapack_eigenvalues(Eigen::MatrixXd a);

// Ascending eigenvalues and orthonormal eigenvectors (as columns).
void lapack_eigh(Eigen::MatrixXd a, Eigen::VectorXd& values, Eigen::MatrixXd& vectors);

// The 2 x 2 case, as numpy.linalg.eigh answers it (the same LAPACK routine):
// ascending eigenvalues, eigenvectors as columns (vectors[row][col]).
void lapack_eigh2(const double a[2][2], double values[2], double vectors[2][2]);

// The upper triangle of X Xᵀ for a row-major 2 x k matrix X, through the
// same BLAS routine (syrk) and so with the same rounding as numpy's X @ X.T.
void gram2(const double* x, int k, double out[2][2]);

// The row-major n x 2 matrix a times the 2 x 2 matrix r into out (n x 2),
// through BLAS gemm, rounded as numpy's a @ r is.
void matmul_n2(const double* a, int n, const double r[2][2], double* out);

// Threads of the eigensolver (OpenBLAS); process-wide, 1 by default.
void set_eigensolver_threads(int n);
int eigensolver_threads();

}  // namespace tx::linalg
