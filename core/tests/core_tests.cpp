// Tests of the native core alone (no interpreter): inertia and the
// link-removal pass against full eigenvalue counts, formulas, the
// interpreter-style float helpers, and a whole analysis of a molecule built
// by hand checked against its own definition (every soft link recounted).
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "analysis/analysis.hpp"
#include "common/pyfloat.hpp"
#include "ms/fragments.hpp"
#include "vif/sparse_pass.hpp"

namespace {

int g_failed = 0, g_passed = 0;

void check(bool ok, const std::string& what) {
    if (ok) {
        ++g_passed;
    } else {
        ++g_failed;
        std::fprintf(stderr, "FAILED: %s\n", what.c_str());
    }
}

std::string show(const tx::vif::Inertia& in) {
    return "(" + std::to_string(in.pos) + ", " + std::to_string(in.zero) + ", " + std::to_string(in.neg) + ")";
}

// A path of n nodes has eigenvalues 2 cos(k pi / (n + 1)), k = 1..n: one zero
// when n is odd, and as many positive as negative ones.
void path_inertia() {
    for (int n = 1; n <= 40; ++n) {
        tx::Links links;
        for (int i = 0; i + 1 < n; ++i) links.push_back({i, i + 1, 1.0});
        const auto got = tx::vif::inertia(tx::vif::dense_matrix(n, links), 1e-9);
        const tx::vif::Inertia want{n / 2, n % 2, n / 2};
        check(got == want, "path of " + std::to_string(n) + ": " + show(got) + " vs " + show(want));
    }
}

// Random sparse weighted graphs, many of them trees or near-trees (zero-rich):
// every link's removal decided by the pass, and by the sparse pass where it
// certifies its answers, equals a full recount.
void link_removal_against_recount() {
    std::mt19937_64 rng(20261206);
    std::uniform_real_distribution<double> weight(-2.0, 2.0);
    int sparse_decided = 0;
    for (int trial = 0; trial < 300; ++trial) {
        const int n = 2 + static_cast<int>(rng() % 30);
        tx::Links links;
        for (int v = 1; v < n; ++v) {
            const int u = static_cast<int>(rng() % v);
            // Unit weights make exact zeros; random ones make near-singular cases.
            links.push_back({u, v, trial % 3 == 0 ? 1.0 : weight(rng)});
        }
        const int extra = static_cast<int>(rng() % 4);
        for (int e = 0; e < extra; ++e) {
            const int u = static_cast<int>(rng() % n), v = static_cast<int>(rng() % n);
            if (u != v) links.push_back({u, v, trial % 2 ? 1.0 : weight(rng)});
        }
        const Eigen::MatrixXd a = tx::vif::dense_matrix(n, links);
        // (links between nodes already joined replace the earlier weight)
        check(tx::vif::SparseSymmetric::from_links(n, links).to_dense() == a, "sparse matrix from links");
        tx::vif::LinkRemoval pass(a, 1e-9);
        const auto whole = tx::vif::inertia(a, 1e-9);
        check(pass.intact() == whole, "intact inertia, trial " + std::to_string(trial));
        // The sparse pass answers for all links or for none.
        std::vector<std::pair<int, int>> pairs;
        for (const auto& l : links)
            if (l.u != l.v && a(l.u, l.v) != 0.0) pairs.push_back({l.u, l.v});
        std::vector<char> keep;
        tx::vif::Inertia sparse_whole;
        const auto sparse_a = tx::vif::SparseSymmetric::from_dense(a);
        const bool sparse = tx::vif::sparse_keeping(sparse_a, pairs, 1e-9, keep, sparse_whole);
        sparse_decided += sparse;
        if (sparse) check(sparse_whole == whole, "sparse intact inertia, trial " + std::to_string(trial));
        // One link at a time: a link answered on A - tol alone, or from the
        // inverse's entries, is right even where another link is left open.
        tx::vif::SparseLinkTest one_by_one;
        const bool factored = one_by_one.factor(sparse_a, 1e-9);
        for (size_t i = 0; i < pairs.size(); ++i) {
            const auto [u, v] = pairs[i];
            Eigen::MatrixXd b = a;
            b(u, v) = b(v, u) = 0.0;
            const auto want = tx::vif::inertia(b, 1e-9);
            const auto got = pass.removed(u, v);
            const std::string what = "trial " + std::to_string(trial) + " link " + std::to_string(u) + "-" +
                                     std::to_string(v);
            check(got == want, what + ": " + show(got) + " vs " + show(want));
            if (sparse) check(static_cast<bool>(keep[i]) == (want == whole), what + ", sparse pass");
            const int answer = factored ? one_by_one.keeps(u, v) : -1;
            if (answer >= 0) check(static_cast<bool>(answer) == (want == whole), what + ", link by link");
        }
    }
    // Most of these matrices are decided on the sparse factorizations.
    check(sparse_decided > 200, "sparse pass decided " + std::to_string(sparse_decided) + " of 300");
}

void formulas_and_floats() {
    namespace pf = tx::py_float;
    check(tx::ms::formula_from_symbols({"O", "H", "C", "Cl", "H", "Br", "C"}) == "C2H2BrClO", "formula order");
    check(tx::ms::formula_from_symbols({"H", "H"}) == "H2", "formula without carbon");
    check(tx::ms::formula_from_symbols({"Na", "Cl"}) == "ClNa", "formula, other symbols by code point");
    check(pf::repr(0.1) == "0.1" && pf::repr(2.0) == "2.0" && pf::repr(1e-05) == "1e-05" && pf::repr(1e16) == "1e+16" &&
              pf::repr(-0.0) == "-0.0" && pf::repr(123456.789) == "123456.789",
          "repr of floats");
    check(pf::round_decimal(2.675, 2) == 2.67 && pf::round_decimal(0.125, 2) == 0.12, "round() of the binary value");
    check(pf::round_half_even(0.125, 2) == 0.12 && pf::round_half_even(2.5, 0) == 2.0, "numpy.round");
    check(pf::mod(-1.0, 3.0) == 2.0 && pf::mod(1.0, -3.0) == -2.0, "floored modulo");
    pf::Sum s;
    for (double x : {12.011, 1.008, 1.008, 1.008}) s.add(x);
    check(pf::repr(s.value()) == "15.035", "compensated sum: " + pf::repr(s.value()));
}

// Ethene, H2C=CH2, with explicit hydrogens, its depiction and ranks given by hand.
tx::analysis::Input ethene() {
    tx::analysis::Input in;
    auto atom = [&](const char* sym, int z, double mass, long nominal, int period) {
        tx::AtomRec a;
        a.symbol = sym;
        a.atomic_num = z;
        a.mass = mass;
        a.nominal = nominal;
        a.period = period;
        in.mol.atoms.push_back(a);
    };
    atom("C", 6, 12.011, 12, 2);
    atom("C", 6, 12.011, 12, 2);
    for (int i = 0; i < 4; ++i) atom("H", 1, 1.008, 1, 1);
    auto bond = [&](int u, int v, double type) {
        const int b = static_cast<int>(in.mol.bonds.size());
        in.mol.bonds.push_back({u, v, type, tx::bond_order_of(type)});
        in.mol.atoms[u].nbrs.push_back(v);
        in.mol.atoms[u].nbr_bonds.push_back(b);
        in.mol.atoms[v].nbrs.push_back(u);
        in.mol.atoms[v].nbr_bonds.push_back(b);
    };
    bond(0, 1, 2.0);
    bond(0, 2, 1.0);
    bond(0, 3, 1.0);
    bond(1, 4, 1.0);
    bond(1, 5, 1.0);
    in.depiction = {{-0.65, 0.0}, {0.65, 0.0}, {-1.2, 0.9}, {-1.2, -0.9}, {1.2, 0.9}, {1.2, -0.9}};
    in.ranks = {0, 0, 1, 1, 1, 1};
    return in;
}

void whole_analysis() {
    const auto in = ethene();
    tx::analysis::Options opt;
    opt.ring_fragmentation = true;
    opt.recursive = true;
    const auto a = tx::analysis::analyse(in, opt);
    const auto again = tx::analysis::analyse(in, opt);
    check(a.graph.n_nodes == 2 * 4 + 4, "ethene has 12 orbital nodes");
    check(a.lpi.pos + a.lpi.zero + a.lpi.neg == a.graph.n_nodes, "LPI counts every orbital");
    const Eigen::MatrixXd m = tx::vif::dense_matrix(a.graph.n_nodes, a.graph.edges);
    check(a.lpi == tx::vif::inertia(m, opt.tol), "LPI equals a full count");
    // Soft links by the definition: remove each chem-bond link and recount.
    std::vector<size_t> soft;
    for (size_t i = 0; i < a.graph.chem_bonds.size(); ++i) {
        const auto& cb = a.graph.chem_bonds[i];
        Eigen::MatrixXd b = m;
        b(cb.u_node, cb.v_node) = b(cb.v_node, cb.u_node) = 0.0;
        if (tx::vif::inertia(b, opt.tol) == a.lpi) soft.push_back(i);
    }
    check(soft == a.soft, "soft links equal the recount (" + std::to_string(soft.size()) + " vs " +
                              std::to_string(a.soft.size()) + ")");
    check(a.mass_nominal == 28 && std::fabs(a.mass_avg - 28.054) < 1e-9, "ethene masses");
    check(a.report == again.report && a.report.size() > 4, "the report is deterministic");
    for (const auto& rec : a.fragments)
        if (rec.split) {
            long mz = 0;
            for (const auto& f : rec.fragments) mz += f.mz;
            check(mz == a.mass_nominal, "fragments of " + rec.bond + " add up to M");
        }
    check(a.peaks.has_value(), "multi-generation peaks asked for");
}

}  // namespace

int main() {
    path_inertia();
    link_removal_against_recount();
    formulas_and_floats();
    whole_analysis();
    std::printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed == 0 ? 0 : 1;
}
