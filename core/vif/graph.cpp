#include "vif/graph.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <tuple>
#include <unordered_set>
#include <utility>

namespace tx::vif {

using layout::angle_diff;

int nodes_for_period(long period) {
    if (period == 2 || period == 3) return 4;
    if (period > 3) return 9;
    return 1;
}

const char* role_of(const std::string& symbol) {
    return (symbol == "C" || symbol == "Li") ? "Merkez" : "Uç";
}

namespace {

constexpr double kSpread = 0.35;

struct Target {
    int nbr;
    int k;
    double angle;
};

using Assignment = std::map<std::pair<int, int>, int>;  // (neighbour, k) -> node

// Greedy one-to-one matching of targets to nodes, smallest angular
// difference first; leftover targets go to their nearest node.
void greedy_assign(const std::vector<Target>& targets, const std::vector<int>& nodes,
                   const std::vector<double>& node_angle, int first_node, Assignment& out) {
    if (targets.empty() || nodes.empty()) return;
    if (nodes.size() == 1) {
        for (const auto& t : targets) out[{t.nbr, t.k}] = nodes[0];
        return;
    }
    struct Pair {
        double diff;
        int ti;
        int node;
    };
    std::vector<Pair> pairs;
    pairs.reserve(targets.size() * nodes.size());
    for (size_t ti = 0; ti < targets.size(); ++ti)
        for (int node : nodes)
            pairs.push_back({angle_diff(node_angle[node - first_node], targets[ti].angle),
                             static_cast<int>(ti), node});
    std::stable_sort(pairs.begin(), pairs.end(),
                     [](const Pair& a, const Pair& b) { return a.diff < b.diff; });
    std::vector<char> used_target(targets.size(), 0);
    std::vector<int> used_nodes;
    for (const auto& p : pairs) {
        if (used_target[p.ti]) continue;
        if (std::find(used_nodes.begin(), used_nodes.end(), p.node) != used_nodes.end()) continue;
        out[{targets[p.ti].nbr, targets[p.ti].k}] = p.node;
        used_target[p.ti] = 1;
        used_nodes.push_back(p.node);
    }
    for (size_t ti = 0; ti < targets.size(); ++ti) {
        if (used_target[ti]) continue;
        int best = nodes[0];
        double best_d = angle_diff(node_angle[best - first_node], targets[ti].angle);
        for (size_t q = 1; q < nodes.size(); ++q) {
            const double d = angle_diff(node_angle[nodes[q] - first_node], targets[ti].angle);
            if (d < best_d) {
                best_d = d;
                best = nodes[q];
            }
        }
        out[{targets[ti].nbr, targets[ti].k}] = best;
    }
}

}  // namespace

namespace {

// Target direction of every link unit of an atom's bonds: unit k of a bond of
// order n points kSpread * (k - (n - 1) / 2) away from the bond direction.
// Bonds to an atom at the same point have no direction and are skipped.
template <class Visit>
void bond_targets(const Molecule& mol, const layout::Coords& centers, int idx, int max_order, Visit visit) {
    const AtomRec& atom = mol.atoms[idx];
    const auto& c = centers[idx];
    for (size_t q = 0; q < atom.nbrs.size(); ++q) {
        const int nbr = atom.nbrs[q];
        const auto& nc = centers[nbr];
        const double dx = nc[0] - c[0], dy = nc[1] - c[1];
        if (std::sqrt(dx * dx + dy * dy) < 1e-9) continue;
        const double base = std::atan2(dy, dx);
        const int order = std::max(1, std::min(mol.bonds[atom.nbr_bonds[q]].order, max_order));
        for (int k = 0; k < order; ++k) visit(Target{nbr, k, base + (k - (order - 1) / 2.0) * kSpread});
    }
}

// Nodes of every atom (sigma first, then pi), the sigma cliques, and the
// node angles and drawing positions around each atom.
std::vector<std::vector<double>> add_atom_nodes(const Molecule& mol, const layout::Coords& centers, double radius,
                                                OrbitalGraph& g) {
    const int n_atoms = mol.size();
    g.atom_first.resize(n_atoms);
    g.atom_count.resize(n_atoms);
    g.atom_sigma.resize(n_atoms);
    std::vector<std::vector<double>> node_angles(n_atoms);
    std::vector<double> targets;
    for (int idx = 0; idx < n_atoms; ++idx) {
        const AtomRec& atom = mol.atoms[idx];
        const int n_nodes = nodes_for_period(atom.period);
        const int first = g.n_nodes;
        g.n_nodes += n_nodes;
        int pi_count = 0;
        for (int b : atom.nbr_bonds) pi_count += std::max(mol.bonds[b].order - 1, 0);
        const int n_pi = n_nodes > 1 ? std::min(pi_count, n_nodes - 1) : 0;
        const int n_sigma = n_nodes - n_pi;
        g.atom_first[idx] = first;
        g.atom_count[idx] = n_nodes;
        g.atom_sigma[idx] = n_sigma;
        for (int q = 0; q < n_nodes; ++q) {
            g.node_atom.push_back(idx);
            g.node_is_pi.push_back(q >= n_sigma ? 1 : 0);
        }
        for (int a = 0; a < n_sigma; ++a)
            for (int b = a + 1; b < n_sigma; ++b) g.edges.push_back({first + a, first + b, 1.0});

        targets.clear();
        bond_targets(mol, centers, idx, n_nodes, [&](const Target& t) { targets.push_back(t.angle); });
        if (static_cast<int>(targets.size()) > n_nodes) targets.resize(n_nodes);
        node_angles[idx] = layout::place_node_angles(n_nodes, targets);
        const auto& c = centers[idx];
        for (int q = 0; q < n_nodes; ++q) {
            const double a = node_angles[idx][q];
            g.pos.push_back({c[0] + radius * std::cos(a), c[1] + radius * std::sin(a)});
        }
    }
    return node_angles;
}

// Which node of each atom carries each link unit (neighbour, k): the first
// unit of a bond goes to a sigma node, the others to pi nodes, by angle.
std::vector<Assignment> assign_link_units(const Molecule& mol, const layout::Coords& centers,
                                          const std::vector<std::vector<double>>& node_angles,
                                          const OrbitalGraph& g) {
    const int n_atoms = mol.size();
    std::vector<Assignment> assignment(n_atoms);
    std::vector<Target> sigma_t, pi_t;
    std::vector<int> sigma_nodes, pi_nodes;
    for (int idx = 0; idx < n_atoms; ++idx) {
        sigma_t.clear();
        pi_t.clear();
        bond_targets(mol, centers, idx, std::numeric_limits<int>::max(),
                     [&](const Target& t) { (t.k == 0 ? sigma_t : pi_t).push_back(t); });
        const int first = g.atom_first[idx];
        if (g.atom_count[idx] == 1) {
            for (const auto& t : sigma_t) assignment[idx][{t.nbr, t.k}] = first;
            for (const auto& t : pi_t) assignment[idx][{t.nbr, t.k}] = first;
            continue;
        }
        sigma_nodes.clear();
        pi_nodes.clear();
        for (int q = 0; q < g.atom_count[idx]; ++q)
            (q < g.atom_sigma[idx] ? sigma_nodes : pi_nodes).push_back(first + q);
        greedy_assign(sigma_t, sigma_nodes, node_angles[idx], first, assignment[idx]);
        greedy_assign(pi_t, pi_nodes, node_angles[idx], first, assignment[idx]);
    }
    return assignment;
}

// Bond links in bond order; a unit without an assigned node joins the atoms'
// first nodes, and a node pair is linked once.
void add_bond_links(const Molecule& mol, const std::vector<Assignment>& assignment, double bond_kappa,
                    OrbitalGraph& g) {
    std::unordered_set<uint64_t> linked;
    for (const BondRec& b : mol.bonds) {
        for (int k = 0; k < b.order; ++k) {
            auto iu = assignment[b.u].find({b.v, k});
            auto iv = assignment[b.v].find({b.u, k});
            int un, vn;
            if (iu == assignment[b.u].end() || iv == assignment[b.v].end()) {
                un = g.atom_first[b.u];
                vn = g.atom_first[b.v];
            } else {
                un = iu->second;
                vn = iv->second;
            }
            if (!linked.insert(pair_key(un, vn)).second) continue;
            g.edges.push_back({un, vn, bond_kappa});
            g.chem_bonds.push_back({un, vn, b.u, b.v, static_cast<double>(b.order), k});
        }
    }
}

}  // namespace

OrbitalGraph build_orbital_graph(const Molecule& mol, const layout::Coords& centers,
                                 double radius, double bond_kappa) {
    OrbitalGraph g;
    const auto node_angles = add_atom_nodes(mol, centers, radius, g);
    add_bond_links(mol, assign_link_units(mol, centers, node_angles, g), bond_kappa, g);
    return g;
}

}  // namespace tx::vif
