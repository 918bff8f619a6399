#include "common/lapack.hpp"

#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

extern "C" void scipy_dsyevd_(const char* jobz, const char* uplo, const int* n, double* a, const int* lda,
                              double* w, double* work, const int* lwork, int* iwork, const int* liwork, int* info,
                              std::size_t jobz_len, std::size_t uplo_len);

// CBLAS with its enumerations as the plain ints they are.
extern "C" void scipy_cblas_dsyrk(int order, int uplo, int trans, int n, int k, double alpha, const double* a, int lda,
                                  double beta, double* c, int ldc);
extern "C" void scipy_cblas_dgemm(int order, int transa, int transb, int m, int n, int k, double alpha,
                                  const double* a, int lda, const double* b, int ldb, double beta, double* c, int ldc);

extern "C" void scipy_openblas_set_num_threads(int num_threads);
extern "C" int scipy_openblas_get_num_threads(void);

namespace tx::linalg {

namespace {

// Divide-and-conquer symmetric eigen-solver; on return `a` holds the
// eigenvectors when jobz is 'V'.
Eigen::VectorXd syevd(char jobz, Eigen::MatrixXd& a) {
    const int n = static_cast<int>(a.rows());
    Eigen::VectorXd w(n);
    if (n == 0) return w;
    if (!a.allFinite()) throw std::domain_error("adjacency matrix holds a non-finite weight");
    const char uplo = 'L';
    const int lda = n;
    int info = 0, lwork = -1, liwork = -1, iwork_query = 0;
    double work_query = 0.0;
    scipy_dsyevd_(&jobz, &uplo, &n, a.data(), &lda, w.data(), &work_query, &lwork, &iwork_query, &liwork, &info, 1,
                  1);
    if (info != 0) throw std::runtime_error("eigenvalue workspace query failed (info " + std::to_string(info) + ")");
    lwork = static_cast<int>(work_query);
    liwork = iwork_query;
    std::vector<double> work(static_cast<std::size_t>(lwork > 1 ? lwork : 1));
    std::vector<int> iwork(static_cast<std::size_t>(liwork > 1 ? liwork : 1));
    scipy_dsyevd_(&jobz, &uplo, &n, a.data(), &lda, w.data(), work.data(), &lwork, iwork.data(), &liwork, &info, 1,
                  1);
    if (info != 0) throw std::runtime_error("eigenvalue computation did not converge (info " + std::to_string(info) + ")");
    return w;
}

}  // namespace

Eigen::VectorXd lapack_eigenvalues(Eigen::MatrixXd a) { return syevd('N', a); }

void lapack_eigh2(const double a[2][2], double values[2], double vectors[2][2]) {
    Eigen::MatrixXd m(2, 2);
    m << a[0][0], a[0][1], a[1][0], a[1][1];
    const Eigen::VectorXd w = syevd('V', m);
    for (int i = 0; i < 2; ++i) {
        values[i] = w[i];
        for (int j = 0; j < 2; ++j) vectors[i][j] = m(i, j);
    }
}

namespace {
constexpr int kRowMajor = 101, kNoTrans = 111, kUpper = 121;
}  // namespace

void gram2(const double* x, int k, double out[2][2]) {
    double c[4] = {0.0, 0.0, 0.0, 0.0};
    if (k > 0) scipy_cblas_dsyrk(kRowMajor, kUpper, kNoTrans, 2, k, 1.0, x, k, 0.0, c, 2);
    out[0][0] = c[0];
    out[0][1] = c[1];
    out[1][0] = c[1];
    out[1][1] = c[3];
}

void matmul_n2(const double* a, int n, const double r[2][2], double* out) {
    if (n <= 0) return;
    const double b[4] = {r[0][0], r[0][1], r[1][0], r[1][1]};
    scipy_cblas_dgemm(kRowMajor, kNoTrans, kNoTrans, n, 2, 2, 1.0, a, 2, b, 2, 0.0, out, 2);
}

void set_eigensolver_threads(int n) { scipy_openblas_set_num_threads(n < 1 ? 1 : n); }

int eigensolver_threads() { return scipy_openblas_get_num_threads(); }

void lapack_eigh(Eigen::MatrixXd a, Eigen::VectorXd& values, Eigen::MatrixXd& vectors) {
    values = syevd('V', a);
    vectors = std::move(a);
}

}  // namespace tx::linalg
