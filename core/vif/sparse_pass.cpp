#include "vif/sparse_pass.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>

#include "common/poll.hpp"
#include "vif/sym2.hpp"

namespace tx::vif {

namespace {

constexpr double kEps = 2.220446049250313e-16;
// A pivot, or an eigenvalue of a 2 x 2 block, is trusted when it exceeds
// this multiple of its first-order error bound.
constexpr double kSparseMargin = 100.0;

}  // namespace

double SparseSymmetric::at(int r, int c) const {
    if (r == c) return diag[r];
    const auto first = col.begin() + start[r], last = col.begin() + start[r + 1];
    const auto it = std::lower_bound(first, last, c);
    return it != last && *it == c ? val[it - col.begin()] : 0.0;
}

void SparseSymmetric::add_row(double diagonal, std::vector<std::pair<int, double>>& entries) {
    auto by_column = [](const std::pair<int, double>& x, const std::pair<int, double>& y) { return x.first < y.first; };
    if (!std::is_sorted(entries.begin(), entries.end(), by_column)) std::sort(entries.begin(), entries.end(), by_column);
    diag.push_back(diagonal);
    for (const auto& [c, w] : entries) {
        col.push_back(c);
        val.push_back(w);
    }
    start.push_back(static_cast<int>(col.size()));
}

SparseSymmetric SparseSymmetric::from_dense(const Eigen::MatrixXd& a) {
    SparseSymmetric s;
    const int k = static_cast<int>(a.rows());
    std::vector<std::pair<int, double>> row;
    for (int r = 0; r < k; ++r) {
        row.clear();
        for (int c = 0; c < k; ++c)
            if (c != r && a(r, c) != 0.0) row.push_back({c, a(r, c)});
        s.add_row(a(r, r), row);
    }
    return s;
}

SparseSymmetric SparseSymmetric::from_links(int n, const std::vector<Link>& links) {
    std::vector<std::vector<std::pair<int, double>>> rows(n);
    std::vector<double> diag(n, 0.0);
    for (const auto& l : links) {
        if (l.u == l.v) {
            diag[l.u] = l.w;
            continue;
        }
        for (auto [r, c] : {std::pair<int, int>{l.u, l.v}, std::pair<int, int>{l.v, l.u}}) {
            auto& row = rows[r];
            auto it = std::find_if(row.begin(), row.end(), [c = c](const auto& e) { return e.first == c; });
            if (it == row.end())
                row.push_back({c, l.w});
            else
                it->second = l.w;
        }
    }
    SparseSymmetric s;
    for (int r = 0; r < n; ++r) {
        auto& row = rows[r];
        row.erase(std::remove_if(row.begin(), row.end(), [](const auto& e) { return e.second == 0.0; }), row.end());
        s.add_row(diag[r], row);
    }
    return s;
}

Eigen::MatrixXd SparseSymmetric::to_dense() const {
    const int k = size();
    Eigen::MatrixXd a = Eigen::MatrixXd::Zero(k, k);
    for (int r = 0; r < k; ++r) {
        a(r, r) = diag[r];
        for (int i = start[r]; i < start[r + 1]; ++i) a(r, col[i]) = val[i];
    }
    return a;
}

// Symmetric LDL^T of A - shift I with 1 x 1 and 2 x 2 pivots, nodes taken
// in minimum-degree order (lowest index first on ties; a node whose diagonal
// is small against its links is eliminated together with its strongest
// neighbour, as a pendant node with its partner), with a first-order bound on
// the error of every computed entry.  The inertia of D is that of A - shift
// (Sylvester).  The active matrix is kept by rows of live entries, so the
// work follows the fill, which the tree-like orbital graphs keep small.
class ShiftedLdl {
public:
    // False when a pivot is not clearly nonzero.
    bool factor(const SparseSymmetric& a, double shift) {
        k_ = a.size();
        pos_ = neg_ = 0;
        inverted_ = -1;
        steps_.clear();
        rows_.clear();
        if (static_cast<int>(nz_.size()) < k_) nz_.resize(k_);
        d_.assign(k_, 0.0);
        de_.assign(k_, 0.0);
        for (int r = 0; r < k_; ++r) {
            nz_[r].clear();
            for (int i = a.start[r]; i < a.start[r + 1]; ++i)
                if (a.val[i] != 0.0) {
                    Entry& en = nz_[r].emplace_back();
                    en.c = a.col[i];
                    en.w = a.val[i];
                    en.e = 0.0;
                }
            d_[r] = a.diag[r] - shift;
            de_[r] = kEps * std::fabs(d_[r]);
        }
        alive_.assign(k_, 1);
        in_nb_.assign(k_, 0);
        wp_.assign(k_, 0.0), ep_.assign(k_, 0.0), wq_.assign(k_, 0.0), eq_.assign(k_, 0.0);
        // Live nodes by degree, as bit sets: the lowest (degree, node) is the
        // first set bit of the first non-empty set.
        words_ = (k_ + 63) / 64;
        buckets_.clear();
        filed_.assign(k_, 0);
        for (int i = 0; i < k_; ++i) file(i);
        for (int left = k_; left > 0;) {
            int v = -1;
            for (size_t at = 0; v < 0 && at < buckets_.size(); ++at)
                if (buckets_[at]) v = static_cast<int>((at % words_) * 64) + __builtin_ctzll(buckets_[at]);
            unfile(v);
            int x = -1;
            double big = 0.0;
            for (const Entry& en : nz_[v])
                if (std::fabs(en.w) > big) {
                    big = std::fabs(en.w);
                    x = en.c;
                }
            Step st;
            st.p = v;
            if (std::fabs(d_[v]) >= 0.5 * big) {
                st.q = -1;
                st.d11 = d_[v];
                st.e11 = de_[v];
                if (!(std::fabs(st.d11) > kSparseMargin * st.e11) || st.d11 == 0.0) return false;
                (st.d11 > 0 ? pos_ : neg_)++;
                st.i11 = 1.0 / st.d11;
                st.ie11 = st.e11 / (st.d11 * st.d11) + kEps * std::fabs(st.i11);
            } else {
                st.q = x;
                const Entry& vx = *find(v, x);
                st.d11 = d_[v], st.d12 = vx.w, st.d22 = d_[x];
                st.e11 = de_[v], st.e12 = vx.e, st.e22 = de_[x];
                const double det = st.d11 * st.d22 - st.d12 * st.d12;
                const double det_err = st.e11 * std::fabs(st.d22) + st.e22 * std::fabs(st.d11) +
                                       2.0 * st.e12 * std::fabs(st.d12) +
                                       3.0 * kEps * (std::fabs(st.d11 * st.d22) + st.d12 * st.d12);
                if (!(std::fabs(det) > kSparseMargin * det_err) || det == 0.0) return false;
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
            eliminate(st);
            left -= st.q >= 0 ? 2 : 1;
            steps_.push_back(st);
        }
        // Elimination tree of the steps: a step's parent eliminates the first
        // of its remaining neighbours; L^-1 e_a is nonzero only on the path
        // from a's step to the root.
        step_of_.assign(k_, -1);
        for (size_t s = 0; s < steps_.size(); ++s) {
            step_of_[steps_[s].p] = static_cast<int>(s);
            if (steps_[s].q >= 0) step_of_[steps_[s].q] = static_cast<int>(s);
        }
        parent_.assign(steps_.size(), -1);
        for (size_t s = 0; s < steps_.size(); ++s)
            for (int i = steps_[s].first; i < steps_[s].last; ++i)
                if (parent_[s] < 0 || step_of_[rows_[i].y] < parent_[s]) parent_[s] = step_of_[rows_[i].y];
        return true;
    }

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

    // Entries of (A - shift)^-1 on the pattern of the factor (every link of
    // A among them), by the backward recurrence of the LDL^T factors
    //     Z(Y, P) = -Z(Y, Y) L(Y, P),   Z(P, P) = D_P^-1 - L(Y, P)^T Z(Y, P)
    // over the steps in reverse, with first-order error bounds carried from
    // those of L and D^-1.  A step needs the entries of its ancestors in the
    // elimination tree only, so the entries of nodes u and v are made along
    // their paths to the root, when first asked.  False when an entry the
    // recurrence needs is not on the pattern.
    bool invert(int u, int v) {
        if (inverted_ < 0) {
            zpp_.resize(steps_.size());
            zrow_.resize(rows_.size());
            zdone_.assign(steps_.size(), 0);
            inverted_ = 1;
        }
        for (int a : {u, v}) {
            chain_.clear();
            for (int s = step_of_[a]; s >= 0 && !zdone_[s]; s = parent_[s]) chain_.push_back(s);
            for (size_t c = chain_.size(); c-- > 0;)
                if (inverted_ != 1 || !invert_step(chain_[c])) {
                    inverted_ = 0;
                    return false;
                }
        }
        return true;
    }

    bool invert_step(int s) {
        {
            const Step& st = steps_[s];
            for (int i = st.first; i < st.last; ++i) {
                ZRow zr;
                for (int j = st.first; j < st.last; ++j) {
                    const Row& rj = rows_[j];
                    double z, ez;
                    if (!entry(rows_[i].y, rj.y, z, ez)) return false;
                    const double t1 = z * rj.l1;
                    zr.z1 -= t1;
                    zr.e1 += ez * std::fabs(rj.l1) + std::fabs(z) * rj.e1 + kEps * (2.0 * std::fabs(t1) + std::fabs(zr.z1));
                    if (st.q >= 0) {
                        const double t2 = z * rj.l2;
                        zr.z2 -= t2;
                        zr.e2 += ez * std::fabs(rj.l2) + std::fabs(z) * rj.e2 +
                                 kEps * (2.0 * std::fabs(t2) + std::fabs(zr.z2));
                    }
                }
                zrow_[i] = zr;
            }
            Inverse iv{st.i11, st.i12, st.i22, st.ie11, st.ie12, st.ie22};
            for (int i = st.first; i < st.last; ++i) {
                const Row& r = rows_[i];
                const ZRow& zr = zrow_[i];
                const double t11 = r.l1 * zr.z1;
                iv.z11 -= t11;
                iv.e11 += r.e1 * std::fabs(zr.z1) + std::fabs(r.l1) * zr.e1 +
                          kEps * (2.0 * std::fabs(t11) + std::fabs(iv.z11));
                if (st.q < 0) continue;
                const double t12 = r.l1 * zr.z2, t22 = r.l2 * zr.z2;
                iv.z12 -= t12;
                iv.e12 += r.e1 * std::fabs(zr.z2) + std::fabs(r.l1) * zr.e2 +
                          kEps * (2.0 * std::fabs(t12) + std::fabs(iv.z12));
                iv.z22 -= t22;
                iv.e22 += r.e2 * std::fabs(zr.z2) + std::fabs(r.l2) * zr.e2 +
                          kEps * (2.0 * std::fabs(t22) + std::fabs(iv.z22));
            }
            zpp_[s] = iv;
        }
        zdone_[s] = 1;
        return true;
    }

    // (A - shift)^-1 (y, z) and its error bound, for y and z in one pivot or
    // joined by a row of the factor (after invert); false otherwise.
    bool entry(int y, int z, double& value, double& err) const {
        int sy = step_of_[y], sz = step_of_[z];
        if (sy == sz) {
            const Inverse& iv = zpp_[sy];
            if (y != z) {
                value = iv.z12, err = iv.e12;
            } else if (y == steps_[sy].p) {
                value = iv.z11, err = iv.e11;
            } else {
                value = iv.z22, err = iv.e22;
            }
            return true;
        }
        if (sy > sz) {
            std::swap(y, z);
            std::swap(sy, sz);
        }
        const Step& st = steps_[sy];
        for (int r = st.first; r < st.last; ++r)
            if (rows_[r].y == z) {
                const ZRow& zr = zrow_[r];
                if (y == st.p)
                    value = zr.z1, err = zr.e1;
                else
                    value = zr.z2, err = zr.e2;
                return true;
            }
        return false;
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
    struct Entry {
        int c;
        double w, e;  // the active entry and its error bound
    };
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

    struct Inverse {
        double z11 = 0, z12 = 0, z22 = 0, e11 = 0, e12 = 0, e22 = 0;  // Z(P, P) and its error bounds
    };
    struct ZRow {
        double z1 = 0, z2 = 0, e1 = 0, e2 = 0;  // Z(y, p), Z(y, q) and their error bounds
    };

    int degree(int v) const { return static_cast<int>(nz_[v].size()); }
    Entry* find(int r, int c) {
        for (Entry& en : nz_[r])
            if (en.c == c) return &en;
        return nullptr;
    }

    // Removes the pivot's node(s) from the active matrix: the multipliers
    // L = W_yP D^-1 of its live neighbours y, then the Schur complement
    // W_yz -= L_y W_Pz on them.
    void eliminate(Step& st) {
        nb_.clear();
        for (int piv : {st.p, st.q}) {
            if (piv < 0) continue;
            for (const Entry& en : nz_[piv])
                if (en.c != st.p && en.c != st.q && !in_nb_[en.c]) {
                    in_nb_[en.c] = 1;
                    nb_.push_back(en.c);
                }
        }
        std::sort(nb_.begin(), nb_.end());
        for (int y : nb_) in_nb_[y] = 0;
        alive_[st.p] = 0;
        if (st.q >= 0) alive_[st.q] = 0;
        // Rows p and q scattered, for W_Pz and its error.
        for (const Entry& en : nz_[st.p]) wp_[en.c] = en.w, ep_[en.c] = en.e;
        if (st.q >= 0)
            for (const Entry& en : nz_[st.q]) wq_[en.c] = en.w, eq_[en.c] = en.e;
        st.first = static_cast<int>(rows_.size());
        st.last = st.first + static_cast<int>(nb_.size());
        for (int y : nb_) {
            Row r{y, 0.0, 0.0, 0.0, 0.0};
            const double a1 = wp_[y], ea1 = ep_[y];
            if (st.q < 0) {
                r.l1 = a1 * st.i11;
                r.e1 = ea1 * std::fabs(st.i11) + std::fabs(a1) * st.ie11 + kEps * std::fabs(r.l1);
            } else {
                const double a2 = wq_[y], ea2 = eq_[y];
                r.l1 = a1 * st.i11 + a2 * st.i12;
                r.l2 = a1 * st.i12 + a2 * st.i22;
                r.e1 = ea1 * std::fabs(st.i11) + std::fabs(a1) * st.ie11 + ea2 * std::fabs(st.i12) +
                       std::fabs(a2) * st.ie12 + 2.0 * kEps * (std::fabs(a1 * st.i11) + std::fabs(a2 * st.i12));
                r.e2 = ea1 * std::fabs(st.i12) + std::fabs(a1) * st.ie12 + ea2 * std::fabs(st.i22) +
                       std::fabs(a2) * st.ie22 + 2.0 * kEps * (std::fabs(a1 * st.i12) + std::fabs(a2 * st.i22));
            }
            rows_.push_back(r);
        }
        for (size_t i = 0; i < nb_.size(); ++i) {
            const Row& r = rows_[st.first + i];
            for (size_t j = i; j < nb_.size(); ++j) {
                const int y = nb_[i], z = nb_[j];
                const double b1 = wp_[z], eb1 = ep_[z];
                double upd = r.l1 * b1;
                double err = r.e1 * std::fabs(b1) + std::fabs(r.l1) * eb1;
                if (st.q >= 0) {
                    const double b2 = wq_[z], eb2 = eq_[z];
                    upd += r.l2 * b2;
                    err += r.e2 * std::fabs(b2) + std::fabs(r.l2) * eb2 + kEps * std::fabs(r.l2 * b2);
                }
                if (y == z) {
                    const double nv = d_[y] - upd;
                    err += de_[y] + kEps * (2.0 * std::fabs(upd) + std::fabs(nv));
                    d_[y] = nv;
                    de_[y] = err;
                    continue;
                }
                Entry* yz = find(y, z);
                const double old = yz ? yz->w : 0.0, old_e = yz ? yz->e : 0.0;
                const double nv = old - upd;
                err += old_e + kEps * (2.0 * std::fabs(upd) + std::fabs(nv));
                if (yz) {
                    yz->w = nv, yz->e = err;
                    Entry* zy = find(z, y);
                    zy->w = nv, zy->e = err;
                } else {  // fill
                    nz_[y].push_back({z, nv, err});
                    nz_[z].push_back({y, nv, err});
                }
            }
        }
        for (const Entry& en : nz_[st.p]) wp_[en.c] = ep_[en.c] = 0.0;
        if (st.q >= 0)
            for (const Entry& en : nz_[st.q]) wq_[en.c] = eq_[en.c] = 0.0;
        // The eliminated nodes leave their neighbours' rows (order kept).
        for (int y : nb_) {
            auto& row = nz_[y];
            row.erase(std::remove_if(row.begin(), row.end(),
                                     [&](const Entry& en) { return en.c == st.p || en.c == st.q; }),
                      row.end());
            unfile(y);
            file(y);
        }
        if (st.q >= 0) unfile(st.q);
    }

    void file(int i) {
        const size_t d = static_cast<size_t>(degree(i));
        if (buckets_.size() < (d + 1) * words_) buckets_.resize((d + 1) * words_, 0);
        buckets_[d * words_ + i / 64] |= uint64_t{1} << (i % 64);
        filed_[i] = static_cast<int>(d);
    }
    void unfile(int i) { buckets_[static_cast<size_t>(filed_[i]) * words_ + i / 64] &= ~(uint64_t{1} << (i % 64)); }

    int k_ = 0;
    long pos_ = 0, neg_ = 0;
    std::vector<Step> steps_;
    std::vector<Row> rows_;
    std::vector<int> step_of_, parent_;
    int inverted_ = -1;  // invert(): -1 not begun, 1 going, 0 not possible
    std::vector<char> zdone_;  // steps whose entries are made
    std::vector<int> chain_;
    std::vector<Inverse> zpp_;
    std::vector<ZRow> zrow_;
    // the active matrix during the factorization, and scratch
    std::vector<std::vector<Entry>> nz_;
    std::vector<double> d_, de_, wp_, ep_, wq_, eq_;
    std::vector<char> alive_, in_nb_;
    std::vector<int> nb_;
    // live nodes by degree: buckets_[d * words_ + w] holds nodes 64 w .. 64 w + 63 of degree d
    std::vector<uint64_t> buckets_;
    size_t words_ = 0;
    std::vector<int> filed_;  // the degree each live node is filed under
};

SparseLinkTest::SparseLinkTest() : above_(std::make_unique<ShiftedLdl>()), below_(std::make_unique<ShiftedLdl>()) {}
SparseLinkTest::~SparseLinkTest() = default;

bool SparseLinkTest::factor(const SparseSymmetric& a, double tol) {
    a_ = nullptr;
    const int k = a.size();
    if (!(tol > 0.0) || !std::isfinite(tol) || k == 0) return false;
    for (double x : a.diag)
        if (!std::isfinite(x)) return false;
    for (double x : a.val)
        if (!std::isfinite(x)) return false;
    // Eigenvalues above tol are the positive pivots of A - tol, those below
    // -tol the negative pivots of A + tol.
    if (!above_->factor(a, tol)) return false;
    tol_ = tol;
    below_state_ = 0;
    for (auto* y : {&yu_, &yue_, &yv_, &yve_}) y->assign(k, 0.0);
    mu_.assign(k, 0);
    mv_.assign(k, 0);
    a_ = &a;
    return true;
}

bool SparseLinkTest::below_ready() {
    if (below_state_ == 0) below_state_ = below_->factor(*a_, -tol_) ? 1 : 2;
    return below_state_ == 1;
}

bool SparseLinkTest::intact(Inertia& out) {
    if (!a_ || !below_ready()) return false;
    out.pos = above_->pos();
    out.neg = below_->neg();
    out.zero = a_->size() - out.pos - out.neg;
    return true;
}

// Removing the link (u, v) of weight w is A' = A - U C U^T with
// U = [e_u e_v], C = [[0, w], [w, 0]]; for A - s nonsingular,
// In(A' - s) = In(A - s) + In(T_s) - (1, 0, 1), T_s = C^-1 - U^T (A - s)^-1 U,
// and the three entries of the inverse come from two sparse solves.
bool SparseLinkTest::signs(ShiftedLdl& f, int u, int v, double w, int& pos, int& neg) {
    // From the entries of the inverse when they give clear signs, else from
    // two solves (their bounds are tighter on long elimination paths).
    detail::Sym2 x, xe;
    if (f.invert(u, v) && f.entry(u, u, x.a, xe.a) && f.entry(u, v, x.b, xe.b) && f.entry(v, v, x.d, xe.d)) {
        const detail::Sym2 t{-x.a, 1.0 / w - x.b, -x.d};
        const detail::Sym2 err{xe.a, xe.b + kEps / std::fabs(w), xe.d};
        if (detail::clear_signs(t, err, detail::Sym2{}, 0.0, pos, neg)) return true;
    }
    return solved_signs(f, u, v, w, pos, neg);
}

bool SparseLinkTest::solved_signs(const ShiftedLdl& f, int u, int v, double w, int& pos, int& neg) {
    f.solve_unit(u, yu_, yue_, tu_, mu_, pu_);
    f.solve_unit(v, yv_, yve_, tv_, mv_, pv_);
    // The two paths meet and run on together to the root.
    common_.clear();
    for (size_t i = pu_.size(), j = pv_.size(); i > 0 && j > 0 && pu_[i - 1] == pv_[j - 1]; --i, --j)
        common_.push_back(pu_[i - 1]);
    detail::Sym2 x, xe;
    f.quad(pu_, yu_, yue_, yu_, yue_, x.a, xe.a);
    f.quad(common_, yu_, yue_, yv_, yve_, x.b, xe.b);
    f.quad(pv_, yv_, yve_, yv_, yve_, x.d, xe.d);
    for (int q : tu_) yu_[q] = yue_[q] = 0.0, mu_[q] = 0;
    for (int q : tv_) yv_[q] = yve_[q] = 0.0, mv_[q] = 0;
    const detail::Sym2 t{-x.a, 1.0 / w - x.b, -x.d};
    const detail::Sym2 err{xe.a, xe.b + kEps / std::fabs(w), xe.d};
    return detail::clear_signs(t, err, detail::Sym2{}, 0.0, pos, neg);
}

int SparseLinkTest::keeps(int u, int v) {
    if (!a_) return -1;
    const int k = a_->size();
    if (u < 0 || v < 0 || u >= k || v >= k || u == v) return -1;
    const double w = a_->at(u, v);
    if (w == 0.0) return 1;  // nothing to remove
    if (!std::isfinite(1.0 / w)) return -1;
    int p_pos, p_neg, m_pos, m_neg;
    if (!signs(*above_, u, v, w, p_pos, p_neg)) return -1;
    const long pos = above_->pos() + p_pos - 1;
    if (pos < 0 || pos > k) return -1;
    if (pos != above_->pos()) return 0;
    Inertia before;
    if (!intact(before) || !signs(*below_, u, v, w, m_pos, m_neg)) return -1;
    Inertia out;
    out.pos = pos;
    out.neg = before.neg + m_neg - 1;
    out.zero = k - out.pos - out.neg;
    if (out.neg < 0 || out.zero < 0) return -1;
    return out == before ? 1 : 0;
}

bool sparse_keeping(const SparseSymmetric& a, const std::vector<std::pair<int, int>>& links, double tol,
                    std::vector<char>& keep, Inertia& intact) {
    SparseLinkTest test;
    if (!test.factor(a, tol) || !test.intact(intact)) return false;
    keep.assign(links.size(), 0);
    for (size_t i = 0; i < links.size(); ++i) {
        poll();
        const int r = test.keeps(links[i].first, links[i].second);
        if (r < 0) return false;
        keep[i] = static_cast<char>(r);
    }
    return true;
}

}  // namespace tx::vif
