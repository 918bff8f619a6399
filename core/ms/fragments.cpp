#include "ms/fragments.hpp"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <deque>
#include <initializer_list>
#include <map>
#include <set>

#include "common/poll.hpp"
#include "common/pyfloat.hpp"

namespace tx::ms {

namespace {

// Plain atom graph (one edge per bond) over a subset of the molecule's
// atoms, with edges that can be switched off and on again.
class AtomGraph {
public:
    // `nodes` fixes the order in which components are reported.
    AtomGraph(const Molecule& mol, std::vector<int> nodes) : nodes_(std::move(nodes)) {
        const int n = mol.size();
        member_.assign(n, 0);
        for (int a : nodes_) member_[a] = 1;
        adj_.resize(n);
        for (const BondRec& b : mol.bonds) {
            if (!member_[b.u] || !member_[b.v]) continue;
            const uint64_t key = pair_key(b.u, b.v);
            if (edge_of_.count(key)) continue;
            const int e = static_cast<int>(removed_.size());
            edge_of_[key] = e;
            removed_.push_back(0);
            adj_[b.u].push_back({b.v, e});
            adj_[b.v].push_back({b.u, e});
        }
        seen_.assign(n, 0);
    }

    int edge(int a, int b) const {
        auto it = edge_of_.find(pair_key(a, b));
        return it == edge_of_.end() ? -1 : it->second;
    }
    int edge(const std::pair<int, int>& p) const { return edge(p.first, p.second); }

    // Components with the given edges cut; the edges are restored afterwards.
    std::vector<std::vector<int>> components_without(std::initializer_list<int> cut) {
        for (int e : cut) removed_[e] = 1;
        auto comps = components();
        for (int e : cut) removed_[e] = 0;
        return comps;
    }
    bool contains(int a) const { return a >= 0 && a < static_cast<int>(member_.size()) && member_[a]; }

    // Connected components in order of their first node in `nodes`, each
    // sorted ascending.
    std::vector<std::vector<int>> components() {
        std::vector<std::vector<int>> comps;
        ++epoch_;
        if (epoch_ == 0) {
            std::fill(seen_.begin(), seen_.end(), 0);
            epoch_ = 1;
        }
        std::vector<int> stack;
        for (int start : nodes_) {
            if (seen_[start] == epoch_) continue;
            std::vector<int> comp;
            seen_[start] = epoch_;
            stack.push_back(start);
            while (!stack.empty()) {
                const int a = stack.back();
                stack.pop_back();
                comp.push_back(a);
                for (const auto& [b, e] : adj_[a]) {
                    if (removed_[e] || seen_[b] == epoch_) continue;
                    seen_[b] = epoch_;
                    stack.push_back(b);
                }
            }
            std::sort(comp.begin(), comp.end());
            comps.push_back(std::move(comp));
        }
        return comps;
    }

private:
    std::vector<int> nodes_;
    std::vector<char> member_;
    std::vector<std::vector<std::pair<int, int>>> adj_;
    std::unordered_map<uint64_t, int> edge_of_;
    std::vector<char> removed_;
    std::vector<unsigned> seen_;
    unsigned epoch_ = 0;
};

int heavy_count(const Molecule& mol, const std::vector<int>& comp) {
    int n = 0;
    for (int a : comp) n += mol.atoms[a].atomic_num > 1;
    return n;
}

double avg_mass(const Molecule& mol, const std::vector<int>& comp) {
    py_float::Sum m;
    for (int a : comp) m.add(mol.atoms[a].mass);
    return m.value();
}

long nominal_mass(const Molecule& mol, const std::vector<int>& comp) {
    long m = 0;
    for (int a : comp) m += mol.atoms[a].nominal;
    return m;
}

// Fragment triples of each component, heavier first (stable on ties).
std::vector<Fragment> fragments_of(const Molecule& mol, const std::vector<std::vector<int>>& comps) {
    std::vector<Fragment> out;
    for (const auto& c : comps)
        out.push_back({formula(mol, c), py_float::round_decimal(avg_mass(mol, c), 2), nominal_mass(mol, c)});
    std::stable_sort(out.begin(), out.end(), [](const Fragment& a, const Fragment& b) { return a.mz > b.mz; });
    return out;
}

std::vector<int> all_atoms(const Molecule& mol) {
    std::vector<int> v(mol.size());
    for (int i = 0; i < mol.size(); ++i) v[i] = i;
    return v;
}

}  // namespace

std::string bond_label(const std::string& sym_a, int a, const std::string& sym_b, int b) {
    return sym_a + std::to_string(a) + "-" + sym_b + std::to_string(b);
}

std::string pair_label(const Molecule& mol, int i, int j) { return bond_label(mol.atoms[i].symbol, i, mol.atoms[j].symbol, j); }

std::string formula(const Molecule& mol, const std::vector<int>& atoms) {
    std::vector<std::string> symbols;
    symbols.reserve(atoms.size());
    for (int a : atoms) symbols.push_back(mol.atoms[a].symbol);
    return formula_from_symbols(symbols);
}

std::string formula_from_symbols(const std::vector<std::string>& symbols) {
    std::map<std::string, long> counts;  // ordered by code point
    for (const auto& s : symbols) ++counts[s];
    std::string out;
    auto emit = [&out](const std::string& el, long c) {
        out += el;
        if (c > 1) out += std::to_string(c);
    };
    for (const char* el : {"C", "H"}) {
        auto it = counts.find(el);
        if (it != counts.end() && it->second != 0) emit(it->first, it->second);
    }
    for (const auto& [el, c] : counts)
        if (el != "C" && el != "H") emit(el, c);
    return out;
}

std::vector<FragmentRecord> predict_fragments(const Molecule& mol, const ChemBonds& softs,
                                              const std::vector<std::string>& labels, bool ring_fragmentation,
                                              double min_ring_fragment_mz) {
    AtomGraph ag(mol, all_atoms(mol));
    std::vector<FragmentRecord> results;
    std::unordered_set<uint64_t> seen_pairs;
    std::vector<std::pair<int, int>> ring_pairs;

    for (size_t i = 0; i < softs.size(); ++i) {
        const ChemBond& s = softs[i];
        const int a = std::min(s.atom_u, s.atom_v), b = std::max(s.atom_u, s.atom_v);
        if (!seen_pairs.insert(pair_key(a, b)).second) continue;
        const int e = ag.edge(a, b);
        if (e < 0) continue;
        std::string label = labels[i];
        auto comps = ag.components_without({e});
        if (comps.size() == 2) {
            if (s.order >= 2 && std::min(heavy_count(mol, comps[0]), heavy_count(mol, comps[1])) == 1) continue;
            results.push_back({std::move(label), true, false, fragments_of(mol, comps)});
        } else {
            results.push_back({std::move(label), false, false, {}});
            ring_pairs.push_back({a, b});
        }
    }

    if (ring_fragmentation) {
        std::set<std::pair<long, long>> seen_double;
        for (size_t i = 0; i < ring_pairs.size(); ++i) {
            for (size_t j = i + 1; j < ring_pairs.size(); ++j) {
                poll();
                const int e1 = ag.edge(ring_pairs[i]), e2 = ag.edge(ring_pairs[j]);
                if (e1 < 0 || e2 < 0) continue;
                auto comps = ag.components_without({e1, e2});
                if (comps.size() != 2) continue;
                auto frags = fragments_of(mol, comps);
                const long lo = std::min(frags[0].mz, frags[1].mz), hi = std::max(frags[0].mz, frags[1].mz);
                if (static_cast<double>(lo) < min_ring_fragment_mz) continue;
                if (!seen_double.insert({lo, hi}).second) continue;
                std::string label = pair_label(mol, ring_pairs[i].first, ring_pairs[i].second) + " + " +
                                    pair_label(mol, ring_pairs[j].first, ring_pairs[j].second);
                results.push_back({std::move(label), true, true, std::move(frags)});
            }
        }
    }
    return results;
}

std::vector<std::vector<int>> cut_atom_set(const Molecule& mol, const std::vector<int>& atom_set,
                                           const ChemBonds& softs, bool ring_fragmentation,
                                           double min_mz) {
    AtomGraph ag(mol, atom_set);
    // Highest order per atom pair, pairs in first-seen order.
    std::vector<std::pair<std::pair<int, int>, double>> pair_order;
    std::unordered_map<uint64_t, size_t> slot;
    for (const ChemBond& s : softs) {
        if (!ag.contains(s.atom_u) || !ag.contains(s.atom_v)) continue;
        const int a = std::min(s.atom_u, s.atom_v), b = std::max(s.atom_u, s.atom_v);
        auto [it, fresh] = slot.emplace(pair_key(a, b), pair_order.size());
        if (fresh) pair_order.push_back({{a, b}, 1.0});
        double& stored = pair_order[it->second].second;
        stored = std::max(s.order, stored);
    }

    std::set<std::vector<int>> out;
    std::vector<std::pair<int, int>> ring_pairs;
    for (const auto& [pr, order] : pair_order) {
        const int e = ag.edge(pr.first, pr.second);
        if (e < 0) continue;
        auto comps = ag.components_without({e});
        if (comps.size() == 2) {
            if (order >= 2 && std::min(heavy_count(mol, comps[0]), heavy_count(mol, comps[1])) == 1) continue;
            out.insert(comps[0]);
            out.insert(comps[1]);
        } else {
            ring_pairs.push_back(pr);
        }
    }
    if (ring_fragmentation) {
        for (size_t i = 0; i < ring_pairs.size(); ++i) {
            for (size_t j = i + 1; j < ring_pairs.size(); ++j) {
                const int e1 = ag.edge(ring_pairs[i]), e2 = ag.edge(ring_pairs[j]);
                if (e1 < 0 || e2 < 0) continue;
                auto comps = ag.components_without({e1, e2});
                if (comps.size() != 2) continue;
                if (std::min(avg_mass(mol, comps[0]), avg_mass(mol, comps[1])) >= min_mz) {
                    out.insert(comps[0]);
                    out.insert(comps[1]);
                }
            }
        }
    }
    return {out.begin(), out.end()};
}

OrbitalView make_view(int n_nodes, const Links& edges, std::vector<std::vector<int>> atom_nodes) {
    OrbitalView g;
    g.n_nodes = n_nodes;
    g.adj.resize(n_nodes);
    for (const auto& e : edges) g.add_edge(e.u, e.v, e.w);
    g.atom_nodes = std::move(atom_nodes);
    return g;
}

void OrbitalView::add_edge(int u, int v, double w) {
    if (!edge_set.insert(pair_key(u, v)).second) return;
    adj[u].push_back({v, w});
    if (u != v) adj[v].push_back({u, w});
}

bool OrbitalView::has_edge(int u, int v) const {
    if (u < 0 || v < 0) return false;
    return edge_set.count(pair_key(u, v)) != 0;
}

std::vector<int> fragment_soft_links(const OrbitalView& g, const ChemBonds& links, const std::vector<int>& atom_set,
                                     int n_atoms, const vif::SoftPassOptions& pass) {
    std::vector<char> member(n_atoms, 0);
    for (int a : atom_set) member[a] = 1;
    std::vector<int> local(g.n_nodes, -1);
    std::vector<int> nodes;
    for (int a : atom_set)
        for (int node : g.atom_nodes[a])
            if (local[node] < 0) {
                local[node] = static_cast<int>(nodes.size());
                nodes.push_back(node);
            }
    const int k = static_cast<int>(nodes.size());
    Eigen::MatrixXd m = Eigen::MatrixXd::Zero(k, k);
    for (int i = 0; i < k; ++i)
        for (const auto& [v, w] : g.adj[nodes[i]])
            if (local[v] >= 0) m(i, local[v]) = w;

    std::vector<std::pair<int, int>> candidates;
    std::vector<int> candidate_index;
    for (size_t i = 0; i < links.size(); ++i) {
        const ChemBond& l = links[i];
        if (l.atom_u < 0 || l.atom_u >= n_atoms || l.atom_v < 0 || l.atom_v >= n_atoms) continue;
        if (!member[l.atom_u] || !member[l.atom_v]) continue;
        if (l.u_node < 0 || l.v_node < 0 || local[l.u_node] < 0 || local[l.v_node] < 0) continue;
        if (!g.has_edge(l.u_node, l.v_node)) continue;
        candidates.push_back({local[l.u_node], local[l.v_node]});
        candidate_index.push_back(static_cast<int>(i));
    }
    std::vector<int> soft;
    if (candidates.empty()) return soft;
    vif::LinkRemoval test(m, pass.tol, pass.fast);
    const auto keep = test.keeping(candidates, test.intact());
    if (pass.stats) *pass.stats += test.stats();
    for (size_t c = 0; c < candidates.size(); ++c)
        if (keep[c]) soft.push_back(candidate_index[c]);
    return soft;
}

std::vector<Peak> predict_recursive(const Molecule& mol, const OrbitalView& g, const ChemBonds& links,
                                    long max_generations, double min_mz, bool ring_fragmentation,
                                    const vif::SoftPassOptions& pass, bool all_soft) {
    const std::vector<int> everything = all_atoms(mol);
    std::vector<Peak> peaks;
    std::unordered_set<long> have_mz;
    const long m0 = nominal_mass(mol, everything);
    peaks.push_back({m0, formula(mol, everything), 0});
    have_mz.insert(m0);

    std::set<std::vector<int>> seen{everything};
    std::deque<std::pair<std::vector<int>, long>> queue;
    queue.push_back({everything, 0});
    ChemBonds softs;
    while (!queue.empty()) {
        poll();
        auto [atom_set, gen] = std::move(queue.front());
        queue.pop_front();
        if (gen >= max_generations) continue;
        softs.clear();
        if (all_soft)
            softs = links;  // cut_atom_set keeps the bonds inside atom_set
        else
            for (int i : fragment_soft_links(g, links, atom_set, mol.size(), pass)) softs.push_back(links[i]);
        // Children are visited in ascending order of their sorted atom lists
        // (so by smallest atom index first); this fixes which formula wins
        // when two fragments of one generation share a nominal mass.
        for (auto& child : cut_atom_set(mol, atom_set, softs, ring_fragmentation, min_mz)) {
            if (child.empty() || child == atom_set) continue;
            if (!seen.insert(child).second) continue;
            const long mz = nominal_mass(mol, child);
            if (have_mz.insert(mz).second) peaks.push_back({mz, formula(mol, child), gen + 1});
            queue.push_back({std::move(child), gen + 1});
        }
    }
    return peaks;
}

}  // namespace tx::ms
