#include "vif/soft_pass.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "common/poll.hpp"
#include "common/lapack.hpp"
#include "vif/sym2.hpp"

namespace tx::vif {

namespace {

// Exact split: eigenvalues at most kNull in magnitude are exact zeros; one
// between kNull and kGap makes the split unclear for the whole matrix.
constexpr double kNull = 1e-11;
constexpr double kGap = 1e-5;
// Certificate shift of the split: kNull << tol < kShift << kGap.
constexpr double kShift = 1e-6;
constexpr double kTolMin = 1e-10, kTolMax = 1e-7;
// Rounding of a 2 x 2 entry relative to the magnitudes summed into it (a wide
// margin over the machine epsilon times the number of terms).
constexpr double kRound = 1e-13;
// A block eigenvalue at rounding level counts as an exact zero only when the
// eigenvalue of A' it stands for is provably below this fraction of tol.
constexpr double kZeroMargin = 1e-2;

using detail::Sym2;
using detail::clear_signs;
using detail::eig2;
using detail::eig2_with_errors;
using detail::eigenvector;
using detail::quad;

// Adds w w^T f (value) and its rounding bound (err) for w = (x, y): the
// summation rounding and an absolute error eta in each eigenvector entry.
inline void accumulate(Sym2& value, Sym2& err, double x, double y, double f, double eta) {
    const double af = std::fabs(f), ax = std::fabs(x), ay = std::fabs(y);
    value.a += x * x * f;
    value.b += x * y * f;
    value.d += y * y * f;
    err.a += (kRound * x * x + 2.0 * eta * ax) * af;
    err.b += (kRound * ax * ay + eta * (ax + ay)) * af;
    err.d += (kRound * y * y + 2.0 * eta * ay) * af;
}

}  // namespace

SoftPassStats& SoftPassStats::operator+=(const SoftPassStats& o) {
    links += o.links;
    fast += o.fast;
    shifted += o.shifted;
    fallback += o.fallback;
    definition += o.definition;
    sparse += o.sparse;
    sparse_off += o.sparse_off;
    split_rank += o.split_rank;
    split_block += o.split_block;
    split_certificate += o.split_certificate;
    split_off += o.split_off;
    return *this;
}

Eigen::VectorXd eigenvalues(const Eigen::MatrixXd& a) { return linalg::lapack_eigenvalues(a); }

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

Eigen::MatrixXd dense_matrix(int n, const std::vector<Link>& links, bool sum_parallel) {
    Eigen::MatrixXd a = Eigen::MatrixXd::Zero(n, n);
    for (const auto& l : links) {
        if (sum_parallel) {
            a(l.u, l.v) += l.w;
            if (l.u != l.v) a(l.v, l.u) += l.w;
        } else {
            a(l.u, l.v) = l.w;
            a(l.v, l.u) = l.w;
        }
    }
    return a;
}

LinkRemoval::LinkRemoval(const Eigen::MatrixXd& a, double tol, bool fast) : a_(a), tol_(tol) {
    const Eigen::Index n = a.rows();
    if (!fast || n == 0 || !(tol >= 0.0)) return;
    Eigen::MatrixXd q;
    linalg::lapack_eigh(a, lam_, q);
    decomposed_ = true;
    intact_ = count_inertia(lam_, tol);
    q.transposeInPlace();
    qt_ = std::move(q);
    const double anorm = std::max(a.cwiseAbs().rowwise().sum().maxCoeff(), 1.0);
    // The computed eigenvectors are orthonormal to about sqrt(n) eps, and the
    // decomposition is exact for a matrix within about sqrt(n) eps |A| of A.
    eta_ = 1e-15 * std::sqrt(static_cast<double>(n));
    e_eig_ = 10.0 * std::sqrt(static_cast<double>(n)) * 2.220446049250313e-16 * anorm;
    prepare_shifts(anorm);
    prepare_split(anorm);
}

// Direct shifts need A -+ tol clearly nonsingular.
void LinkRemoval::prepare_shifts(double anorm) {
    const Eigen::Index n = lam_.size();
    const double margin = 1e-12 * anorm;
    shifts_ok_ = tol_ > 0.0;
    inv_tp_.resize(n);
    inv_tm_.resize(n);
    for (Eigen::Index i = 0; i < n; ++i) {
        const double l = lam_[i];
        if (std::fabs(l - tol_) <= margin || std::fabs(l + tol_) <= margin) shifts_ok_ = false;
        inv_tp_[i] = 1.0 / (l - tol_);
        inv_tm_[i] = 1.0 / (l + tol_);
        above_tol_ += l > tol_;
        below_tol_ += l < -tol_;
    }
}

// Exact split: the spectrum must fall clearly into exact zeros and the rest.
void LinkRemoval::prepare_split(double anorm) {
    const Eigen::Index n = lam_.size();
    split_ok_ = tol_ >= kTolMin && tol_ <= kTolMax;
    double gap = std::numeric_limits<double>::infinity();
    for (Eigen::Index i = 0; i < n && split_ok_; ++i) {
        const double x = std::fabs(lam_[i]);
        if (x > kNull && x <= kGap) split_ok_ = false;
        if (x > kNull) gap = std::min(gap, x);
    }
    if (!split_ok_) return;
    inv_.resize(n);
    inv_p_.resize(n);
    inv_m_.resize(n);
    null_.resize(n);
    for (Eigen::Index i = 0; i < n; ++i) {
        const double l = lam_[i];
        if (std::fabs(l) <= kNull) {
            inv_[i] = inv_p_[i] = inv_m_[i] = 0.0;
            null_[i] = 1.0;
            ++n_null_;
        } else {
            inv_[i] = 1.0 / l;
            inv_p_[i] = 1.0 / (l - kShift);
            inv_m_[i] = 1.0 / (l + kShift);
            null_[i] = 0.0;
            (l > 0 ? n_pos_ : n_neg_)++;
        }
    }
    // Rows of the null space are known to about eps |A| / gap.
    vec_err_ = 1e-15 * anorm / std::min(gap, 1.0) + eta_;
}

const Eigen::VectorXd& LinkRemoval::eigenvalues() {
    if (!decomposed_ && lam_.size() != a_.rows()) lam_ = vif::eigenvalues(a_);
    return lam_;
}

Inertia LinkRemoval::intact() { return decomposed_ ? intact_ : count_inertia(eigenvalues(), tol_); }

Inertia LinkRemoval::by_definition(int u, int v, double amount) {
    const double w = a_(u, v);
    a_(u, v) = w - amount;
    a_(v, u) = w - amount;
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

// U^T Q f(L) Q^T U for the functions the exact split needs, with rounding
// bounds, and the Gram matrix G of the null rows.
struct SplitSums {
    Sym2 s, s_err;     // L^-1 on P
    Sym2 s2, s2_err;   // L^-2 on P
    Sym2 sp, sp_err, sp2;  // (L - kShift)^-1 and ^-2 on P
    Sym2 sm, sm_err, sm2;  // (L + kShift)^-1 and ^-2 on P
    Sym2 g;            // null rows
};

bool LinkRemoval::null_rank(const SplitSums& s, int& rank, double& noise) const {
    // Rank of the null rows Y from its singular values (square roots of eig G).
    double g_lo, g_hi;
    eig2(s.g, g_lo, g_hi);
    noise = vec_err_ * std::sqrt(static_cast<double>(std::max<long>(n_null_, 1)));
    const double sv_zero = 10.0 * noise + 1e-12, sv_clear = std::max(1e4 * noise, 1e-7);
    rank = 0;
    for (double gv : {g_lo, g_hi}) {
        const double sv = std::sqrt(std::max(gv, 0.0));
        if (sv <= sv_zero) continue;
        if (sv < sv_clear) return false;
        ++rank;
    }
    return true;
}

namespace {

SplitSums split_sums(const double* qu, const double* qv, Eigen::Index n, const Eigen::VectorXd& inv,
                     const Eigen::VectorXd& inv_p, const Eigen::VectorXd& inv_m, const Eigen::VectorXd& null,
                     double eta) {
    SplitSums r;
    Sym2 unused;
    for (Eigen::Index i = 0; i < n; ++i) {
        const double x = qu[i], y = qv[i];
        accumulate(r.s, r.s_err, x, y, inv[i], eta);
        accumulate(r.s2, r.s2_err, x, y, inv[i] * inv[i], eta);
        accumulate(r.sp, r.sp_err, x, y, inv_p[i], eta);
        accumulate(r.sp2, unused, x, y, inv_p[i] * inv_p[i], 0.0);
        accumulate(r.sm, r.sm_err, x, y, inv_m[i], eta);
        accumulate(r.sm2, unused, x, y, inv_m[i] * inv_m[i], 0.0);
        r.g.a += x * x * null[i], r.g.b += x * y * null[i], r.g.d += y * y * null[i];
    }
    return r;
}

// Counts of the positive, negative and zero eigenvalues of T = C^-1 - S
// restricted to ker Y, or false when one of them is not clear-cut.
//
// A block eigenvalue tau (unit eigenvector k) is known to within err.  One
// at rounding level is an exact zero of A' only when the eigenvalue of A' it
// stands for, at most |tau| / (k^T U^T Q_P L_P^-2 Q_P^T U k) in magnitude to
// first order, lies far inside the zero band.
struct BlockCounts {
    int pos = 0, neg = 0, zero = 0;
};

bool block_counts(const SplitSums& s, double cinv, double cinv_err, int rank, double noise, double e_eig,
                  double tol, BlockCounts& out) {
    const Sym2 t{-s.s.a, cinv - s.s.b, -s.s.d};
    const Sym2 t_err{s.s_err.a, s.s_err.b + cinv_err, s.s_err.d};
    auto classify = [&](double tau, double kx, double ky, double err) -> bool {
        const double d = quad(s.s2, kx, ky);
        const double d_err = kx * kx * s.s2_err.a + 2.0 * std::fabs(kx * ky) * s.s2_err.b + ky * ky * s.s2_err.d;
        err += e_eig * (d + d_err);
        if (std::fabs(tau) > 10.0 * err) {
            (tau > 0 ? out.pos : out.neg)++;
            return true;
        }
        if (d - d_err > 0.0 && (std::fabs(tau) + err) / (d - d_err) <= kZeroMargin * tol) {
            ++out.zero;
            return true;
        }
        return false;
    };
    if (rank == 0) {
        double taus[2], errs[2];
        eig2_with_errors(t, t_err, taus[0], taus[1], errs[0], errs[1]);
        for (int q = 0; q < 2; ++q) {
            double kx, ky;
            eigenvector(t, taus[q], kx, ky);
            if (!classify(taus[q], kx, ky, errs[q])) return false;
        }
        return true;
    }
    if (rank == 1) {
        double g_lo, g_hi, kx, ky;
        eig2(s.g, g_lo, g_hi);
        eigenvector(s.g, g_lo, kx, ky);
        const double tau = quad(t, kx, ky);
        double err = kx * kx * t_err.a + 2.0 * std::fabs(kx * ky) * t_err.b + ky * ky * t_err.d;
        // The kernel direction is known to about noise / sv(Y).
        err += 4.0 * noise / std::sqrt(std::max(g_hi, 1e-300)) * (std::fabs(t.a) + std::fabs(t.b) + std::fabs(t.d));
        return classify(tau, kx, ky, err);
    }
    return true;
}

}  // namespace

bool LinkRemoval::by_split(const double* qu, const double* qv, double w, Inertia& out) {
    const SplitSums s = split_sums(qu, qv, qt_.rows(), inv_, inv_p_, inv_m_, null_, eta_);
    const double cinv = 1.0 / w, cinv_err = kRound * std::fabs(cinv);
    int rank;
    double noise;
    if (!null_rank(s, rank, noise)) {
        ++stats_.split_rank;
        return false;
    }
    BlockCounts t;
    if (!block_counts(s, cinv, cinv_err, rank, noise, e_eig_, tol_, t)) {
        ++stats_.split_block;
        return false;
    }
    out.pos = n_pos_ + rank + t.pos - 1;
    out.zero = n_null_ - rank + t.zero;
    out.neg = n_neg_ + rank + t.neg - 1;

    // Certificate at +-kShift: the eigenvalues of A' below kShift and above
    // -kShift are exactly the negative and zero ones, and the positive and
    // zero ones.
    const Sym2& g = s.g;
    const double gk = 1.0 / kShift;
    const Sym2 tp{-s.sp.a + g.a * gk, cinv - s.sp.b + g.b * gk, -s.sp.d + g.d * gk};
    const Sym2 tm{-s.sm.a - g.a * gk, cinv - s.sm.b - g.b * gk, -s.sm.d - g.d * gk};
    // G's entries carry the summation rounding and the eigenvector error.
    const double ga = std::sqrt(std::max(g.a, 0.0)), gd = std::sqrt(std::max(g.d, 0.0));
    const Sym2 g_err{(kRound * g.a + 2.0 * eta_ * ga) * gk, (kRound * ga * gd + eta_ * (ga + gd)) * gk,
                     (kRound * g.d + 2.0 * eta_ * gd) * gk};
    const Sym2 tp_err{s.sp_err.a + g_err.a, s.sp_err.b + cinv_err + g_err.b, s.sp_err.d + g_err.d};
    const Sym2 tm_err{s.sm_err.a + g_err.a, s.sm_err.b + cinv_err + g_err.b, s.sm_err.d + g_err.d};
    const double gk2 = gk * gk;
    const Sym2 dp{s.sp2.a + g.a * gk2, s.sp2.b + g.b * gk2, s.sp2.d + g.d * gk2};
    const Sym2 dm{s.sm2.a + g.a * gk2, s.sm2.b + g.b * gk2, s.sm2.d + g.d * gk2};
    int p_pos, p_neg, m_pos, m_neg;
    const bool certified = clear_signs(tp, tp_err, dp, e_eig_, p_pos, p_neg) &&
                           clear_signs(tm, tm_err, dm, e_eig_, m_pos, m_neg) &&
                           n_neg_ + n_null_ + p_neg - 1 == out.neg + out.zero &&
                           n_pos_ + n_null_ + m_pos - 1 == out.pos + out.zero && out.pos >= 0 &&
                           out.neg >= 0 && out.zero >= 0;
    if (!certified) ++stats_.split_certificate;
    return certified;
}

bool LinkRemoval::by_shifts(const double* qu, const double* qv, double w, Inertia& out) {
    const Eigen::Index n = qt_.rows();
    Sym2 sp, sp_err, sp2, sm, sm_err, sm2, unused;
    for (Eigen::Index i = 0; i < n; ++i) {
        accumulate(sp, sp_err, qu[i], qv[i], inv_tp_[i], eta_);
        accumulate(sp2, unused, qu[i], qv[i], inv_tp_[i] * inv_tp_[i], 0.0);
        accumulate(sm, sm_err, qu[i], qv[i], inv_tm_[i], eta_);
        accumulate(sm2, unused, qu[i], qv[i], inv_tm_[i] * inv_tm_[i], 0.0);
    }
    const double cinv = 1.0 / w, cinv_err = kRound * std::fabs(cinv);
    const Sym2 tp{-sp.a, cinv - sp.b, -sp.d}, tm{-sm.a, cinv - sm.b, -sm.d};
    const Sym2 tp_err{sp_err.a, sp_err.b + cinv_err, sp_err.d}, tm_err{sm_err.a, sm_err.b + cinv_err, sm_err.d};
    int p_pos, p_neg, m_pos, m_neg;
    if (!clear_signs(tp, tp_err, sp2, e_eig_, p_pos, p_neg) || !clear_signs(tm, tm_err, sm2, e_eig_, m_pos, m_neg))
        return false;
    out.pos = above_tol_ + p_pos - 1;   // eigenvalues of A' above tol
    out.neg = below_tol_ + m_neg - 1;   // eigenvalues of A' below -tol
    out.zero = static_cast<long>(n) - out.pos - out.neg;
    return out.pos >= 0 && out.neg >= 0 && out.zero >= 0;
}

Inertia LinkRemoval::removed(int u, int v) { return removed(u, v, a_(u, v)); }

Inertia LinkRemoval::removed(int u, int v, double w) {
    ++stats_.links;
    if (!decomposed_) {
        ++stats_.definition;
        return by_definition(u, v, w);
    }
    if (w == 0.0) {  // nothing to remove: A itself, counted as the definition counts it
        ++stats_.fast;
        if (!counted_) {
            counted_ = inertia(a_, tol_);
            ++stats_.definition;
        }
        return *counted_;
    }
    Inertia out;
    if (u != v) {
        const double* qu = qt_.col(u).data();
        const double* qv = qt_.col(v).data();
        if (!split_ok_) ++stats_.split_off;
        if (split_ok_ && by_split(qu, qv, w, out)) {
            ++stats_.fast;
            return out;
        }
        if (shifts_ok_ && by_shifts(qu, qv, w, out)) {
            ++stats_.shifted;
            return out;
        }
    }
    ++stats_.fallback;
    return by_definition(u, v, w);
}

std::vector<char> LinkRemoval::keeping(const std::vector<std::pair<int, int>>& links, const Inertia& target,
                                       const std::vector<double>* amounts) {
    std::vector<char> keep(links.size(), 0);
    for (size_t i = 0; i < links.size(); ++i) {
        poll();
        const auto [u, v] = links[i];
        keep[i] = (amounts ? removed(u, v, (*amounts)[i]) : removed(u, v)) == target;
    }
    return keep;
}

std::vector<char> inertia_preserving_links(const Eigen::MatrixXd& a, const std::vector<std::pair<int, int>>& links,
                                           const Inertia& baseline, const SoftPassOptions& pass,
                                           const std::vector<double>* amounts) {
    if (links.empty()) return {};
    LinkRemoval removal(a, pass.tol, pass.fast);
    auto keep = removal.keeping(links, baseline, amounts);
    if (pass.stats) *pass.stats += removal.stats();
    return keep;
}

}  // namespace tx::vif
