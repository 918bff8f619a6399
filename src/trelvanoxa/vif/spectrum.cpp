#include "vif/spectrum.hpp"

#include <cmath>
#include <stdexcept>

#include "common/poll.hpp"

namespace tx::vif {

Eigen::VectorXd eigenvalues(const Eigen::MatrixXd& a) {
    if (a.rows() == 0) return Eigen::VectorXd();
    if (!a.allFinite()) throw std::domain_error("adjacency matrix holds a non-finite weight");
    Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> solver(a, Eigen::EigenvaluesOnly);
    if (solver.info() != Eigen::Success) throw std::runtime_error("eigenvalue computation did not converge");
    return solver.eigenvalues();
}

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

std::vector<char> inertia_preserving_links(Eigen::MatrixXd& a, const std::vector<std::pair<int, int>>& links,
                                           const Inertia& baseline, double tol) {
    std::vector<char> soft(links.size(), 0);
    for (size_t i = 0; i < links.size(); ++i) {
        poll();
        const int u = links[i].first, v = links[i].second;
        const double w = a(u, v);
        a(u, v) = 0.0;
        a(v, u) = 0.0;
        Inertia perturbed;
        try {
            perturbed = inertia(a, tol);
        } catch (...) {
            a(u, v) = w;
            a(v, u) = w;
            throw;
        }
        a(u, v) = w;
        a(v, u) = w;
        soft[i] = perturbed == baseline;
    }
    return soft;
}

}  // namespace tx::vif
