// Symmetric 2 x 2 matrices: eigenvalues with first-order error bounds and
// certified signs, as both link-removal passes decide them.
#pragma once

#include <cmath>
#include <utility>

namespace tx::vif::detail {

struct Sym2 {
    double a = 0.0, b = 0.0, d = 0.0;  // [[a, b], [b, d]]
};

// Eigenvalues lo <= hi of a symmetric 2 x 2 matrix.
inline void eig2(const Sym2& m, double& lo, double& hi) {
    const double mean = 0.5 * (m.a + m.d);
    const double half = 0.5 * (m.a - m.d);
    const double r = std::hypot(half, m.b);
    hi = mean + r;
    lo = mean - r;
    // The smaller magnitude one from the determinant avoids cancellation.
    const double det = m.a * m.d - m.b * m.b;
    if (std::fabs(hi) >= std::fabs(lo)) {
        if (hi != 0.0) lo = det / hi;
    } else {
        hi = det / lo;
    }
    if (lo > hi) std::swap(lo, hi);
}

// Eigenvalues of t ordered by magnitude (small, big) with first-order bounds
// from the absolute entry errors `err`.
inline void eig2_with_errors(const Sym2& t, const Sym2& err, double& small, double& big, double& err_small,
                      double& err_big) {
    eig2(t, small, big);
    if (std::fabs(small) > std::fabs(big)) std::swap(small, big);
    err_big = err.a + err.d + 2.0 * err.b;
    if (big == 0.0) {
        err_small = err_big;
        return;
    }
    // The smaller eigenvalue is det / big: first-order error of the determinant.
    const double err_det = err.a * std::fabs(t.d) + err.d * std::fabs(t.a) + 2.0 * std::fabs(t.b) * err.b;
    err_small = err_det / std::fabs(big) + std::fabs(small) * err_big / std::fabs(big);
}

inline void eigenvector(const Sym2& m, double lo, double& x, double& y);

// k^T m k for a unit vector k.
inline double quad(const Sym2& m, double kx, double ky) { return kx * kx * m.a + 2.0 * kx * ky * m.b + ky * ky * m.d; }

// Signs of the eigenvalues of t, or false when one is not clearly nonzero.
// Besides the entries' rounding (err), an eigenvalue tau with eigenvector k
// moves by up to e_eig * k^T s2 k when the eigenvalues of A move by e_eig
// (s2 = U^T Q (L - s)^-2 Q^T U is the derivative of T_s in the shift).
inline bool clear_signs(const Sym2& t, const Sym2& err, const Sym2& s2, double e_eig, int& pos, int& neg) {
    double vals[2], errs[2];
    eig2_with_errors(t, err, vals[0], vals[1], errs[0], errs[1]);
    pos = neg = 0;
    for (int q = 0; q < 2; ++q) {
        double bound = errs[q];
        if (e_eig != 0.0) {  // the eigenvector only weighs the shift term
            double kx, ky;
            eigenvector(t, vals[q], kx, ky);
            bound += e_eig * quad(s2, kx, ky);
        }
        if (!(std::fabs(vals[q]) > 10.0 * bound)) return false;
        (vals[q] > 0 ? pos : neg)++;
    }
    return true;
}

// Unit eigenvector of the eigenvalue lo of a symmetric 2 x 2 matrix.
inline void eigenvector(const Sym2& m, double lo, double& x, double& y) {
    // (m - lo I) k = 0: take the better-conditioned row.
    const double r1x = m.a - lo, r1y = m.b, r2x = m.b, r2y = m.d - lo;
    if (std::hypot(r1x, r1y) >= std::hypot(r2x, r2y)) {
        x = -r1y;
        y = r1x;
    } else {
        x = -r2y;
        y = r2x;
    }
    const double n = std::hypot(x, y);
    if (n == 0.0) {
        x = 1.0;
        y = 0.0;
    } else {
        x /= n;
        y /= n;
    }
}

}  // namespace tx::vif::detail
