#include "vif/spectrum.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "common/poll.hpp"
#include "vif/lapack.hpp"

namespace tx::vif {

namespace {

// Eigenvalues at most this large are treated as exact zeros of the intact
// matrix; those between it and kGap make every decision unclear.
constexpr double kNull = 1e-11;
constexpr double kGap = 1e-5;
// Certificate shift: no eigenvalue of A' may lie in (0, kShift) in magnitude
// other than the exact zeros.  The fast path needs kNull << tol < kShift.
constexpr double kShift = 1e-6;
constexpr double kTolMin = 1e-10, kTolMax = 1e-7;
// Rounding level of a 2 x 2 block entry relative to the magnitudes summed
// into it (a wide margin over the machine epsilon), and how far below
// tol the eigenvalue of A' standing for a rounding-level block eigenvalue
// must provably be.
constexpr double kRound = 1e-13;
constexpr double kZeroMargin = 1e-2;

SoftPassStats g_stats;
bool g_fast_enabled = true;

struct Sym2 {
    double a = 0.0, b = 0.0, d = 0.0;  // [[a, b], [b, d]]
};

// Eigenvalues lo <= hi of a symmetric 2 x 2 matrix.
void eig2(const Sym2& m, double& lo, double& hi) {
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

// Unit eigenvector of the smaller eigenvalue of a symmetric 2 x 2 matrix.
void small_vector(const Sym2& m, double lo, double& x, double& y) {
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

// Eigenvalues of t ordered by magnitude (small, big) with first-order error
// bounds.  `mag` holds, per entry, the sum of magnitudes the entry was
// accumulated from, which bounds its rounding error.
void eig2_with_errors(const Sym2& t, const Sym2& mag, double& small, double& big, double& err_small,
                      double& err_big) {
    eig2(t, small, big);
    if (std::fabs(small) > std::fabs(big)) std::swap(small, big);
    const double ea = kRound * mag.a, eb = kRound * mag.b, ed = kRound * mag.d;
    err_big = ea + ed + 2.0 * eb;
    if (big == 0.0) {
        err_small = err_big;
        return;
    }
    // The smaller eigenvalue is det / big: first-order error of the determinant.
    const double err_det = ea * std::fabs(t.d) + ed * std::fabs(t.a) + 2.0 * std::fabs(t.b) * eb;
    err_small = err_det / std::fabs(big) + std::fabs(small) * err_big / std::fabs(big);
}

// Signs of the eigenvalues of t, or false when one is not clearly nonzero.
bool clear_signs(const Sym2& t, const Sym2& mag, int& pos, int& neg) {
    double small, big, err_small, err_big;
    eig2_with_errors(t, mag, small, big, err_small, err_big);
    if (!(std::fabs(big) > 10.0 * err_big) || !(std::fabs(small) > 10.0 * err_small)) return false;
    pos = (small > 0) + (big > 0);
    neg = (small < 0) + (big < 0);
    return true;
}

}  // namespace

SoftPassStats& soft_pass_stats() { return g_stats; }
void set_fast_soft_pass(bool enabled) { g_fast_enabled = enabled; }
bool fast_soft_pass_enabled() { return g_fast_enabled; }

Eigen::VectorXd eigenvalues(const Eigen::MatrixXd& a) { return lapack_eigenvalues(a); }

Inertia count_inertia(const Eigen::VectorXd& ev, double tol) {
    Inertia in;
    for (Eigen::Index i = 0; i < ev.size(); ++i) {
        const double x = ev[i];
        if (x > tol) ++in.pos;
        if (std::fabs(x) <= tol) ++in.zero;
        if (x < -tol) ++in.neg;
    }
    return in;
}

Inertia inertia(const Eigen::MatrixXd& a, double tol) { return count_inertia(eigenvalues(a), tol); }

Eigen::MatrixXd dense_matrix(int n, const std::vector<Link>& links) {
    Eigen::MatrixXd a = Eigen::MatrixXd::Zero(n, n);
    for (const auto& l : links) {
        a(l.u, l.v) = l.w;
        a(l.v, l.u) = l.w;
    }
    return a;
}

LinkRemoval::LinkRemoval(const Eigen::MatrixXd& a, double tol) : a_(a), tol_(tol) {
    const Eigen::Index n = a.rows();
    if (!g_fast_enabled || n == 0 || !(tol >= kTolMin && tol <= kTolMax)) return;
    Eigen::VectorXd lam;
    Eigen::MatrixXd q;
    lapack_eigh(a, lam, q);
    intact_ = count_inertia(lam, tol);
    double gap = std::numeric_limits<double>::infinity();
    for (Eigen::Index i = 0; i < n; ++i) {
        const double x = std::fabs(lam[i]);
        if (x > kNull && x <= kGap) return;  // not clear-cut: use the definition
        if (x > kNull) gap = std::min(gap, x);
    }
    inv_.resize(n);
    inv_p_.resize(n);
    inv_m_.resize(n);
    null_.resize(n);
    for (Eigen::Index i = 0; i < n; ++i) {
        if (std::fabs(lam[i]) <= kNull) {
            inv_[i] = inv_p_[i] = inv_m_[i] = 0.0;
            null_[i] = 1.0;
            ++n_null_;
        } else {
            inv_[i] = 1.0 / lam[i];
            inv_p_[i] = 1.0 / (lam[i] - kShift);
            inv_m_[i] = 1.0 / (lam[i] + kShift);
            null_[i] = 0.0;
            (lam[i] > 0 ? n_pos_ : n_neg_)++;
        }
    }
    // Eigenvector entries are accurate to about eps * |A| / gap.
    const double anorm = a.cwiseAbs().rowwise().sum().maxCoeff();
    vec_err_ = 1e-15 * std::max(anorm, 1.0) / std::min(gap, 1.0);
    qt_ = q.transpose();
    fast_ = true;
}

Inertia LinkRemoval::intact() { return fast_ ? intact_ : inertia(a_, tol_); }

Inertia LinkRemoval::by_definition(int u, int v) {
    const double w = a_(u, v);
    a_(u, v) = 0.0;
    a_(v, u) = 0.0;
    Inertia out;
    try {
        out = inertia(a_, tol_);
    } catch (...) {
        a_(u, v) = w;
        a_(v, u) = w;
        throw;
    }
    a_(u, v) = w;
    a_(v, u) = w;
    return out;
}

Inertia LinkRemoval::removed(int u, int v) {
    ++g_stats.links;
    if (!fast_) {
        ++g_stats.definition;
        return by_definition(u, v);
    }
    const double w = a_(u, v);
    if (w == 0.0) {  // nothing to remove
        ++g_stats.fast;
        return intact_;
    }
    if (u == v) {
        ++g_stats.fallback;
        return by_definition(u, v);
    }

    // One pass over the spectrum: U^T Q f(L) Q^T U for the three spectral
    // functions, their magnitudes, and the Gram matrix of the null rows.
    const Eigen::Index n = qt_.rows();
    const double* qu = qt_.col(u).data();
    const double* qv = qt_.col(v).data();
    Sym2 s, s2, sp, sm, g, s_mag, sp_mag, sm_mag;
    double s_abs = 0.0;
    for (Eigen::Index i = 0; i < n; ++i) {
        const double x = qu[i], y = qv[i];
        const double xx = x * x, xy = x * y, yy = y * y, rr = xx + yy;
        s.a += xx * inv_[i], s.b += xy * inv_[i], s.d += yy * inv_[i];
        const double inv2 = inv_[i] * inv_[i];
        s2.a += xx * inv2, s2.b += xy * inv2, s2.d += yy * inv2;
        sp.a += xx * inv_p_[i], sp.b += xy * inv_p_[i], sp.d += yy * inv_p_[i];
        sm.a += xx * inv_m_[i], sm.b += xy * inv_m_[i], sm.d += yy * inv_m_[i];
        g.a += xx * null_[i], g.b += xy * null_[i], g.d += yy * null_[i];
        s_abs += rr * std::fabs(inv_[i]);
        const double axy = std::fabs(xy), a0 = std::fabs(inv_[i]), ap = std::fabs(inv_p_[i]),
                     am = std::fabs(inv_m_[i]);
        s_mag.a += xx * a0, s_mag.b += axy * a0, s_mag.d += yy * a0;
        sp_mag.a += xx * ap, sp_mag.b += axy * ap, sp_mag.d += yy * ap;
        sm_mag.a += xx * am, sm_mag.b += axy * am, sm_mag.d += yy * am;
    }
    const double cinv = 1.0 / w;
    std::size_t* reason = &g_stats.fallback_rank;
    auto fallback = [&]() {
        ++*reason;
        ++g_stats.fallback;
        return by_definition(u, v);
    };

    // Rank of the null rows Y from the singular values of Y (sqrt of eig(G)).
    double g_lo, g_hi;
    eig2(g, g_lo, g_hi);
    const double noise = vec_err_ * std::sqrt(static_cast<double>(std::max<long>(n_null_, 1)));
    const double sv_zero = 10.0 * noise + 1e-12, sv_clear = std::max(1e4 * noise, 1e-7);
    int rank = 0;
    for (double gv : {g_lo, g_hi}) {
        const double sv = std::sqrt(std::max(gv, 0.0));
        if (sv <= sv_zero) continue;
        if (sv < sv_clear) return fallback();
        ++rank;
    }

    // T restricted to ker Y.
    reason = &g_stats.fallback_block;
    const Sym2 t{-s.a, cinv - s.b, -s.d};
    const double scale = s_abs + std::fabs(cinv);
    const Sym2 t_mag{s_mag.a, s_mag.b + std::fabs(cinv), s_mag.d};
    int t_pos = 0, t_neg = 0, t_zero = 0;
    // Sign of a block eigenvalue tau with unit eigenvector (kx, ky), known to
    // within err.  A vanishing tau is an exact zero of A' only when it sits at
    // rounding level: the eigenvalue of A' it stands for is at most
    // |tau| / (k^T U^T Q_P L_P^-2 Q_P^T U k) in magnitude (first order), which
    // must lie far inside the zero band.
    auto classify = [&](double tau, double kx, double ky, double err) -> bool {
        if (std::fabs(tau) > 10.0 * err) {
            (tau > 0 ? t_pos : t_neg)++;
            return true;
        }
        const double d = kx * kx * s2.a + 2.0 * kx * ky * s2.b + ky * ky * s2.d;
        if (d > 0.0 && (std::fabs(tau) + err) / d <= kZeroMargin * tol_) {
            ++t_zero;
            return true;
        }
        return false;
    };
    if (rank == 0) {
        double taus[2], errs[2];
        eig2_with_errors(t, t_mag, taus[0], taus[1], errs[0], errs[1]);
        for (int q = 0; q < 2; ++q) {
            double kx, ky;
            small_vector(Sym2{t.a - taus[q], t.b, t.d - taus[q]}, 0.0, kx, ky);
            if (!classify(taus[q], kx, ky, errs[q])) return fallback();
        }
    } else if (rank == 1) {
        double kx, ky;
        small_vector(g, g_lo, kx, ky);
        const double tau = kx * kx * t.a + 2.0 * kx * ky * t.b + ky * ky * t.d;
        const double err = kRound * (kx * kx * t_mag.a + 2.0 * std::fabs(kx * ky) * t_mag.b + ky * ky * t_mag.d);
        // The kernel direction is known to about noise / sv(Y).
        const double dir_err = noise / std::sqrt(std::max(g_hi, 1e-300));
        if (!classify(tau, kx, ky, err + 4.0 * dir_err * scale)) return fallback();
    }
    Inertia out;
    out.pos = n_pos_ + rank + t_pos - 1;
    out.zero = n_null_ - rank + t_zero;
    out.neg = n_neg_ + rank + t_neg - 1;

    reason = &g_stats.fallback_certificate;
    // Certificate at +-kShift: eigenvalues of A' below kShift and above -kShift.
    const Sym2 tp{-sp.a + g.a / kShift, cinv - sp.b + g.b / kShift, -sp.d + g.d / kShift};
    const Sym2 tm{-sm.a - g.a / kShift, cinv - sm.b - g.b / kShift, -sm.d - g.d / kShift};
    // Only rounding in the sums matters here: the eigendecomposition is exact
    // for a matrix within rounding of A, and the certified eigenvalues of
    // A' -+ kShift are at least kShift away from zero.
    const double gb = std::fabs(g.b) / kShift, ac = std::fabs(cinv);
    const Sym2 tp_mag{sp_mag.a + g.a / kShift, sp_mag.b + ac + gb, sp_mag.d + g.d / kShift};
    const Sym2 tm_mag{sm_mag.a + g.a / kShift, sm_mag.b + ac + gb, sm_mag.d + g.d / kShift};
    int p_pos, p_neg, m_pos, m_neg;
    if (!clear_signs(tp, tp_mag, p_pos, p_neg)) return fallback();
    if (!clear_signs(tm, tm_mag, m_pos, m_neg)) return fallback();
    const long below = n_neg_ + n_null_ + p_neg - 1;
    const long above = n_pos_ + n_null_ + m_pos - 1;
    if (below != out.neg + out.zero || above != out.pos + out.zero) return fallback();
    if (out.pos < 0 || out.neg < 0 || out.zero < 0) return fallback();
    ++g_stats.fast;
    return out;
}

std::vector<char> inertia_preserving_links(const Eigen::MatrixXd& a, const std::vector<std::pair<int, int>>& links,
                                           const Inertia& baseline, double tol) {
    std::vector<char> soft(links.size(), 0);
    if (links.empty()) return soft;
    LinkRemoval test(a, tol);
    for (size_t i = 0; i < links.size(); ++i) {
        poll();
        soft[i] = test.removed(links[i].first, links[i].second) == baseline;
    }
    return soft;
}

}  // namespace tx::vif
