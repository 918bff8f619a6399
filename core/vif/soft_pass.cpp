#include "vif/soft_pass.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "common/poll.hpp"
#include "common/lapack.hpp"

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

struct Sym2 {
    double a = 0.0, b = 0.0, d = 0.0;  // [[a, b], [b, d]]
};

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

// Eigenvalues of t ordered by magnitude (small, big) with first-order bounds
// from the absolute entry errors `err`.
void eig2_with_errors(const Sym2& t, const Sym2& err, double& small, double& big, double& err_small,
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

void eigenvector(const Sym2& m, double lo, double& x, double& y);

// k^T m k for a unit vector k.
inline double quad(const Sym2& m, double kx, double ky) { return kx * kx * m.a + 2.0 * kx * ky * m.b + ky * ky * m.d; }

// Signs of the eigenvalues of t, or false when one is not clearly nonzero.
// Besides the entries' rounding (err), an eigenvalue tau with eigenvector k
// moves by up to e_eig * k^T s2 k when the eigenvalues of A move by e_eig
// (s2 = U^T Q (L - s)^-2 Q^T U is the derivative of T_s in the shift).
bool clear_signs(const Sym2& t, const Sym2& err, const Sym2& s2, double e_eig, int& pos, int& neg) {
    double vals[2], errs[2];
    eig2_with_errors(t, err, vals[0], vals[1], errs[0], errs[1]);
    pos = neg = 0;
    for (int q = 0; q < 2; ++q) {
        double kx, ky;
        eigenvector(t, vals[q], kx, ky);
        const double bound = errs[q] + e_eig * quad(s2, kx, ky);
        if (!(std::fabs(vals[q]) > 10.0 * bound)) return false;
        (vals[q] > 0 ? pos : neg)++;
    }
    return true;
}

// Unit eigenvector of the eigenvalue lo of a symmetric 2 x 2 matrix.
void eigenvector(const Sym2& m, double lo, double& x, double& y) {
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

namespace tx::vif {

namespace {

constexpr double kEps = 2.220446049250313e-16;
// A pivot, or an eigenvalue of a 2 x 2 block, is trusted when it exceeds
// this multiple of its first-order error bound.
constexpr double kSparseMargin = 100.0;

// Symmetric LDL^T of A - shift I with 1 x 1 and 2 x 2 pivots, nodes taken
// in minimum-degree order (a node whose diagonal is small against its links
// is eliminated together with its strongest neighbour, as a pendant node
// with its partner), with a first-order bound on the error of every computed
// entry.  The inertia of D is that of A - shift (Sylvester).
class ShiftedLdl {
public:
    ShiftedLdl(const Eigen::MatrixXd& a, double shift) : k_(static_cast<int>(a.rows())) {
        Eigen::MatrixXd w = a;
        Eigen::MatrixXd e = Eigen::MatrixXd::Zero(k_, k_);
        std::vector<char> adj_flat(static_cast<size_t>(k_) * k_, 0);
        auto adj = [&](int r, int c) -> char& { return adj_flat[static_cast<size_t>(r) * k_ + c]; };
        std::vector<std::vector<int>> nbrs(k_);
        std::vector<int> degree(k_, 0);
        for (int j = 0; j < k_; ++j)
            for (int i = 0; i < k_; ++i)
                if (i != j && w(i, j) != 0.0 && !adj(i, j)) {
                    adj(i, j) = adj(j, i) = 1;
                    nbrs[i].push_back(j);
                    nbrs[j].push_back(i);
                    ++degree[i];
                    ++degree[j];
                }
        for (int v = 0; v < k_; ++v) {
            w(v, v) -= shift;
            e(v, v) = kEps * std::fabs(w(v, v));
        }
        steps_.reserve(k_);
        rows_.reserve(4 * static_cast<size_t>(k_));
        std::vector<char> alive(k_, 1), in_nb(k_, 0);
        std::vector<int> nb, live(k_);
        for (int i = 0; i < k_; ++i) live[i] = i;
        for (int left = k_; left > 0;) {
            int v = -1;
            for (int i : live)
                if (v < 0 || degree[i] < degree[v] || (degree[i] == degree[v] && i < v)) v = i;
            int x = -1;
            double big = 0.0;
            for (int y : nbrs[v])
                if (alive[y] && std::fabs(w(v, y)) > big) {
                    big = std::fabs(w(v, y));
                    x = y;
                }
            Step st;
            st.p = v;
            if (std::fabs(w(v, v)) >= 0.5 * big) {
                st.q = -1;
                st.d11 = w(v, v);
                st.e11 = e(v, v);
                if (!(std::fabs(st.d11) > kSparseMargin * st.e11) || st.d11 == 0.0) return;
                (st.d11 > 0 ? pos_ : neg_)++;
                st.i11 = 1.0 / st.d11;
                st.ie11 = st.e11 / (st.d11 * st.d11) + kEps * std::fabs(st.i11);
            } else {
                st.q = x;
                st.d11 = w(v, v), st.d12 = w(v, x), st.d22 = w(x, x);
                st.e11 = e(v, v), st.e12 = e(v, x), st.e22 = e(x, x);
                const double det = st.d11 * st.d22 - st.d12 * st.d12;
                const double det_err = st.e11 * std::fabs(st.d22) + st.e22 * std::fabs(st.d11) +
                                       2.0 * st.e12 * std::fabs(st.d12) +
                                       3.0 * kEps * (std::fabs(st.d11 * st.d22) + st.d12 * st.d12);
                if (!(std::fabs(det) > kSparseMargin * det_err) || det == 0.0) return;
                if (det < 0) {
                    ++pos_;
                    ++neg_;
                } else {
                    const long two = 2;
                    (st.d11 + st.d22 > 0 ? pos_ : neg_) += two;
                }
                st.i11 = st.d22 / det, st.i12 = -st.d12 / det, st.i22 = st.d11 / det;
                const double rel = det_err / std::fabs(det) + 2.0 * kEps;
                st.ie11 = st.e22 / std::fabs(det) + std::fabs(st.i11) * rel;
                st.ie12 = st.e12 / std::fabs(det) + std::fabs(st.i12) * rel;
                st.ie22 = st.e11 / std::fabs(det) + std::fabs(st.i22) * rel;
            }
            // Neighbours still to eliminate, and the multipliers L = W_yP D^-1.
            nb.clear();
            for (int piv : {st.p, st.q}) {
                if (piv < 0) continue;
                for (int y : nbrs[piv])
                    if (alive[y] && y != st.p && y != st.q && !in_nb[y]) {
                        in_nb[y] = 1;
                        nb.push_back(y);
                    }
            }
            std::sort(nb.begin(), nb.end());
            for (int y : nb) in_nb[y] = 0;
            alive[st.p] = 0;
            if (st.q >= 0) alive[st.q] = 0;
            live.erase(std::remove_if(live.begin(), live.end(), [&](int i) { return !alive[i]; }), live.end());
            left -= st.q >= 0 ? 2 : 1;
            st.first = static_cast<int>(rows_.size());
            st.last = st.first + static_cast<int>(nb.size());
            for (int y : nb) {
                Row r{y, 0.0, 0.0, 0.0, 0.0};
                const double a1 = w(y, st.p), ea1 = e(y, st.p);
                if (st.q < 0) {
                    r.l1 = a1 * st.i11;
                    r.e1 = ea1 * std::fabs(st.i11) + std::fabs(a1) * st.ie11 + kEps * std::fabs(r.l1);
                } else {
                    const double a2 = w(y, st.q), ea2 = e(y, st.q);
                    r.l1 = a1 * st.i11 + a2 * st.i12;
                    r.l2 = a1 * st.i12 + a2 * st.i22;
                    r.e1 = ea1 * std::fabs(st.i11) + std::fabs(a1) * st.ie11 + ea2 * std::fabs(st.i12) +
                           std::fabs(a2) * st.ie12 + 2.0 * kEps * (std::fabs(a1 * st.i11) + std::fabs(a2 * st.i12));
                    r.e2 = ea1 * std::fabs(st.i12) + std::fabs(a1) * st.ie12 + ea2 * std::fabs(st.i22) +
                           std::fabs(a2) * st.ie22 + 2.0 * kEps * (std::fabs(a1 * st.i12) + std::fabs(a2 * st.i22));
                }
                rows_.push_back(r);
            }
            // Schur complement on the neighbours: W_yz -= L_y W_Pz.
            for (size_t i = 0; i < nb.size(); ++i) {
                const Row& r = rows_[st.first + i];
                for (size_t j = i; j < nb.size(); ++j) {
                    const int y = nb[i], z = nb[j];
                    const double b1 = w(st.p, z), eb1 = e(st.p, z);
                    double upd = r.l1 * b1;
                    double err = r.e1 * std::fabs(b1) + std::fabs(r.l1) * eb1;
                    if (st.q >= 0) {
                        const double b2 = w(st.q, z), eb2 = e(st.q, z);
                        upd += r.l2 * b2;
                        err += r.e2 * std::fabs(b2) + std::fabs(r.l2) * eb2 + kEps * std::fabs(r.l2 * b2);
                    }
                    const double nv = w(y, z) - upd;
                    err += e(y, z) + kEps * (2.0 * std::fabs(upd) + std::fabs(nv));
                    w(y, z) = w(z, y) = nv;
                    e(y, z) = e(z, y) = err;
                    if (y != z && !adj(y, z)) {
                        adj(y, z) = adj(z, y) = 1;
                        nbrs[y].push_back(z);
                        nbrs[z].push_back(y);
                        ++degree[y];
                        ++degree[z];
                    }
                }
            }
            for (int y : nb) {
                if (adj(st.p, y)) --degree[y];
                if (st.q >= 0 && adj(st.q, y)) --degree[y];
            }
            steps_.push_back(std::move(st));
        }
        // Elimination tree of the steps: a step's parent eliminates the first
        // of its remaining neighbours; L^-1 e_a is nonzero only on the path
        // from a's step to the root.
        std::vector<int> step_of(k_, -1);
        for (size_t s = 0; s < steps_.size(); ++s) {
            step_of[steps_[s].p] = static_cast<int>(s);
            if (steps_[s].q >= 0) step_of[steps_[s].q] = static_cast<int>(s);
        }
        step_of_ = step_of;
        parent_.assign(steps_.size(), -1);
        for (size_t s = 0; s < steps_.size(); ++s)
            for (int i = steps_[s].first; i < steps_[s].last; ++i)
                if (parent_[s] < 0 || step_of[rows_[i].y] < parent_[s]) parent_[s] = step_of[rows_[i].y];
        ok_ = true;
    }

    bool ok() const { return ok_; }
    long pos() const { return pos_; }
    long neg() const { return neg_; }

    // y = L^-1 e_a with error bounds; `touched` lists the nonzero entries and
    // `path` the steps they belong to, in elimination order.
    void solve_unit(int a, std::vector<double>& y, std::vector<double>& ye, std::vector<int>& touched,
                    std::vector<char>& mark, std::vector<int>& path) const {
        touched.clear();
        path.clear();
        y[a] = 1.0;
        ye[a] = 0.0;
        mark[a] = 1;
        touched.push_back(a);
        for (int s = step_of_[a]; s >= 0; s = parent_[s]) {
            path.push_back(s);
            const Step& st = steps_[s];
            const double y1 = y[st.p], y2 = st.q >= 0 ? y[st.q] : 0.0;
            if (y1 == 0.0 && y2 == 0.0) continue;
            const double e1 = ye[st.p], e2 = st.q >= 0 ? ye[st.q] : 0.0;
            for (int i = st.first; i < st.last; ++i) {
                const Row& r = rows_[i];
                const double t = r.l1 * y1 + r.l2 * y2;
                if (!mark[r.y]) {
                    mark[r.y] = 1;
                    touched.push_back(r.y);
                }
                y[r.y] -= t;
                ye[r.y] += std::fabs(r.l1) * e1 + r.e1 * std::fabs(y1) + std::fabs(r.l2) * e2 + r.e2 * std::fabs(y2) +
                           kEps * (2.0 * std::fabs(t) + std::fabs(y[r.y]));
            }
        }
    }

    // y^T D^-1 z over the given steps (where both may be nonzero), with its
    // error bound.
    void quad(const std::vector<int>& path, const std::vector<double>& y, const std::vector<double>& ye,
              const std::vector<double>& z, const std::vector<double>& ze, double& value, double& err) const {
        value = 0.0;
        err = 0.0;
        for (int s : path) {
            const Step& st = steps_[s];
            const double y1 = y[st.p], z1 = z[st.p];
            const double y2 = st.q >= 0 ? y[st.q] : 0.0, z2 = st.q >= 0 ? z[st.q] : 0.0;
            if ((y1 == 0.0 && y2 == 0.0) || (z1 == 0.0 && z2 == 0.0)) continue;
            const double ey1 = ye[st.p], ez1 = ze[st.p];
            const double ey2 = st.q >= 0 ? ye[st.q] : 0.0, ez2 = st.q >= 0 ? ze[st.q] : 0.0;
            // y_P^T Dinv z_P, term by term
            auto term = [&](double a, double ea, double m, double em, double b, double eb) {
                const double t = a * m * b;
                value += t;
                err += ea * std::fabs(m * b) + em * std::fabs(a * b) + eb * std::fabs(a * m) + ea * eb * std::fabs(m) +
                       3.0 * kEps * std::fabs(t);
                return std::fabs(t);
            };
            double mag = term(y1, ey1, st.i11, st.ie11, z1, ez1);
            if (st.q >= 0) {
                mag += term(y1, ey1, st.i12, st.ie12, z2, ez2);
                mag += term(y2, ey2, st.i12, st.ie12, z1, ez1);
                mag += term(y2, ey2, st.i22, st.ie22, z2, ez2);
            }
            err += kEps * (mag + std::fabs(value));
        }
    }

private:
    struct Row {
        int y;
        double l1, l2, e1, e2;  // L(y, p), L(y, q) and their error bounds
    };
    struct Step {
        int p = -1, q = -1;  // the pivot's node(s); q < 0 for a 1 x 1 pivot
        double d11 = 0, d12 = 0, d22 = 0, e11 = 0, e12 = 0, e22 = 0;
        double i11 = 0, i12 = 0, i22 = 0, ie11 = 0, ie12 = 0, ie22 = 0;  // D^-1 and its error bounds
        int first = 0, last = 0;  // its rows in rows_
    };
    int k_;
    bool ok_ = false;
    long pos_ = 0, neg_ = 0;
    std::vector<Step> steps_;
    std::vector<Row> rows_;
    std::vector<int> step_of_, parent_;
};

}  // namespace

bool sparse_keeping(const Eigen::MatrixXd& a, const std::vector<std::pair<int, int>>& links, double tol,
                    std::vector<char>& keep, Inertia& intact) {
    const int k = static_cast<int>(a.rows());
    if (!(tol > 0.0) || !std::isfinite(tol) || k == 0 || !a.allFinite()) return false;
    // Eigenvalues above tol are the positive pivots of A - tol, those below
    // -tol the negative pivots of A + tol.
    const ShiftedLdl above(a, tol), below(a, -tol);
    if (!above.ok() || !below.ok()) return false;
    intact.pos = above.pos();
    intact.neg = below.neg();
    intact.zero = k - intact.pos - intact.neg;

    // Removing the link (u, v) of weight w is A' = A - U C U^T with
    // U = [e_u e_v], C = [[0, w], [w, 0]]; for A - s nonsingular,
    // In(A' - s) = In(A - s) + In(T_s) - (1, 0, 1), T_s = C^-1 - U^T (A - s)^-1 U,
    // and the three entries of the inverse come from two sparse solves.
    std::vector<double> yu(k, 0.0), yue(k, 0.0), yv(k, 0.0), yve(k, 0.0);
    std::vector<char> mu(k, 0), mv(k, 0);
    std::vector<int> tu, tv, pu, pv, common;
    auto signs = [&](const ShiftedLdl& f, int u, int v, double w, int& pos, int& neg) {
        f.solve_unit(u, yu, yue, tu, mu, pu);
        f.solve_unit(v, yv, yve, tv, mv, pv);
        // The two paths meet and run on together to the root.
        common.clear();
        for (size_t i = pu.size(), j = pv.size(); i > 0 && j > 0 && pu[i - 1] == pv[j - 1]; --i, --j)
            common.push_back(pu[i - 1]);
        Sym2 x, xe;
        f.quad(pu, yu, yue, yu, yue, x.a, xe.a);
        f.quad(common, yu, yue, yv, yve, x.b, xe.b);
        f.quad(pv, yv, yve, yv, yve, x.d, xe.d);
        for (int q : tu) yu[q] = yue[q] = 0.0, mu[q] = 0;
        for (int q : tv) yv[q] = yve[q] = 0.0, mv[q] = 0;
        const Sym2 t{-x.a, 1.0 / w - x.b, -x.d};
        const Sym2 err{xe.a, xe.b + kEps / std::fabs(w), xe.d};
        return clear_signs(t, err, Sym2{}, 0.0, pos, neg);
    };

    keep.assign(links.size(), 0);
    for (size_t i = 0; i < links.size(); ++i) {
        poll();
        const auto [u, v] = links[i];
        if (u < 0 || v < 0 || u >= k || v >= k || u == v) return false;
        const double w = a(u, v);
        if (w == 0.0) {  // nothing to remove
            keep[i] = 1;
            continue;
        }
        if (!std::isfinite(1.0 / w)) return false;
        int p_pos, p_neg, m_pos, m_neg;
        if (!signs(above, u, v, w, p_pos, p_neg) || !signs(below, u, v, w, m_pos, m_neg)) return false;
        Inertia out;
        out.pos = intact.pos + p_pos - 1;
        out.neg = intact.neg + m_neg - 1;
        out.zero = k - out.pos - out.neg;
        if (out.pos < 0 || out.neg < 0 || out.zero < 0) return false;
        keep[i] = out == intact;
    }
    return true;
}

}  // namespace tx::vif
