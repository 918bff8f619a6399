#include "ms/fragments.hpp"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <deque>
#include <initializer_list>
#include <iterator>
#include <set>
#include <string_view>

#include "common/poll.hpp"
#include "common/pyfloat.hpp"

namespace tx::ms {

namespace {

// Plain atom graph (one edge per bond) over a subset of the molecule's
// atoms, with edges that can be switched off and on again.
class AtomGraph {
public:
    AtomGraph() = default;
    // `nodes` fixes the order in which components are reported.
    AtomGraph(const Molecule& mol, const std::vector<int>& nodes) { reset(mol, nodes); }

    // The graph over other nodes, in the same buffers.
    void reset(const Molecule& mol, const std::vector<int>& nodes) {
        nodes_.assign(nodes.begin(), nodes.end());
        removed_.clear();
        ends_.clear();
        const int n = mol.size();
        member_.assign(n, 0);
        for (int a : nodes_) member_[a] = 1;
        // Neighbour lists in one array (start_[a] .. start_[a] + count_[a]).
        start_.assign(n + 1, 0);
        count_.assign(n, 0);
        for (const BondRec& b : mol.bonds) {
            if (!member_[b.u] || !member_[b.v]) continue;
            ++start_[b.u + 1];
            if (b.u != b.v) ++start_[b.v + 1];
        }
        for (int a = 0; a < n; ++a) start_[a + 1] += start_[a];
        adj_.resize(start_[n]);
        for (const BondRec& b : mol.bonds) {
            if (!member_[b.u] || !member_[b.v]) continue;
            if (edge(b.u, b.v) >= 0) continue;
            const int e = static_cast<int>(removed_.size());
            removed_.push_back(0);
            ends_.push_back({b.u, b.v});
            adj_[start_[b.u] + count_[b.u]++] = {b.v, e};
            if (b.u != b.v) adj_[start_[b.v] + count_[b.v]++] = {b.u, e};
        }
        seen_.assign(n, 0);
    }

    // The edge joining a and b (a few bonds per atom: a short scan).
    int edge(int a, int b) const {
        const int n = static_cast<int>(count_.size());
        if (a < 0 || b < 0 || a >= n || b >= n) return -1;
        for (int i = start_[a], end = start_[a] + count_[a]; i < end; ++i)
            if (adj_[i].first == b) return adj_[i].second;
        return -1;
    }
    int edge(const std::pair<int, int>& p) const { return edge(p.first, p.second); }

    // Components with the given edges cut; the edges are restored afterwards.
    std::vector<std::vector<int>> components_without(std::initializer_list<int> cut) {
        std::vector<std::vector<int>> comps;
        components_without(cut, comps);
        return comps;
    }
    // The same into `comps`, whose vectors are reused.
    void components_without(std::initializer_list<int> cut, std::vector<std::vector<int>>& comps) {
        for (int e : cut) removed_[e] = 1;
        components(comps);
        for (int e : cut) removed_[e] = 0;
    }
    int edges() const { return static_cast<int>(ends_.size()); }
    bool contains(int a) const { return a >= 0 && a < static_cast<int>(member_.size()) && member_[a]; }

    // Connected components in order of their first node in `nodes`, each
    // sorted ascending.
    std::vector<std::vector<int>> components() {
        std::vector<std::vector<int>> comps;
        components(comps);
        return comps;
    }
    void components(std::vector<std::vector<int>>& comps) {
        size_t count = 0;
        ++epoch_;
        if (epoch_ == 0) {
            std::fill(seen_.begin(), seen_.end(), 0);
            epoch_ = 1;
        }
        std::vector<int>& stack = stack_dfs_;
        for (int start : nodes_) {
            if (seen_[start] == epoch_) continue;
            if (comps.size() <= count) comps.emplace_back();
            std::vector<int>& comp = comps[count++];
            comp.clear();
            seen_[start] = epoch_;
            stack.push_back(start);
            while (!stack.empty()) {
                const int a = stack.back();
                stack.pop_back();
                comp.push_back(a);
                for (int i = start_[a], end = start_[a] + count_[a]; i < end; ++i) {
                    const auto [b, e] = adj_[i];
                    if (removed_[e] || seen_[b] == epoch_) continue;
                    seen_[b] = epoch_;
                    stack.push_back(b);
                }
            }
            std::sort(comp.begin(), comp.end());
        }
        comps.resize(count);
    }

    // A depth-first search from the first node: the atoms in preorder, and
    // for each atom its place in it, the end of its subtree there and, when
    // the edge to its parent is a bridge (cutting it alone splits the graph),
    // that edge; -1 otherwise.  False when the graph is not connected.
    //
    // Each edge also gets a cycle label: the XOR of random 64-bit labels of
    // the non-tree edges whose fundamental cycles run through it, so 0 for a
    // bridge.  Two edges that are a cut pair (cutting both, and neither
    // alone, splits the graph) lie on the same cycles and so have the same
    // label; edges with different labels are never a cut pair.
    struct Tree {
        std::vector<int> order, tin, tout, bridge_up, parent, up;  // up: the tree edge to the parent
        std::vector<uint64_t> label;  // by edge
    };
    bool depth_first(Tree& t) {
        const int n = static_cast<int>(member_.size());
        t.order.clear();
        t.tin.assign(n, -1);
        t.tout.assign(n, -1);
        t.bridge_up.assign(n, -1);
        if (nodes_.empty()) return false;
        std::vector<int>& low = low_;
        low.assign(n, 0);
        std::vector<int>& up_edge = t.up;
        up_edge.assign(n, -1);
        std::vector<int>& parent = t.parent;
        parent.assign(n, -1);
        auto& stack = stack_;  // (atom, next neighbour slot)
        stack.clear();
        const int root = nodes_.front();
        t.tin[root] = low[root] = 0;
        t.order.push_back(root);
        stack.push_back({root, start_[root]});
        while (!stack.empty()) {
            auto& [a, slot] = stack.back();
            if (slot < start_[a] + count_[a]) {
                const auto [b, e] = adj_[slot++];
                if (e == up_edge[a]) continue;
                if (t.tin[b] < 0) {
                    t.tin[b] = low[b] = static_cast<int>(t.order.size());
                    t.order.push_back(b);
                    up_edge[b] = e;
                    parent[b] = a;
                    stack.push_back({b, start_[b]});
                } else {
                    low[a] = std::min(low[a], t.tin[b]);
                }
                continue;
            }
            const int done = a;
            stack.pop_back();
            t.tout[done] = static_cast<int>(t.order.size());
            const int p = parent[done];
            if (p < 0) continue;
            low[p] = std::min(low[p], low[done]);
            if (low[done] > t.tin[p]) t.bridge_up[done] = up_edge[done];
        }
        if (t.order.size() != nodes_.size()) return false;
        // Cycle labels: each non-tree edge's label is XORed into both ends;
        // a tree edge's label is the XOR over the subtree below it.
        const size_t n_edges = ends_.size();
        t.label.assign(n_edges, 0);
        std::vector<char>& tree_edge = tree_edge_;
        tree_edge.assign(n_edges, 0);
        for (int a : t.order)
            if (up_edge[a] >= 0) tree_edge[up_edge[a]] = 1;
        std::vector<uint64_t>& acc = acc_;
        acc.assign(n, 0);
        for (size_t e = 0; e < n_edges; ++e) {
            if (tree_edge[e]) continue;
            uint64_t x = 0x9e3779b97f4a7c15ull * (e + 1);  // splitmix64 of the edge id
            x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
            x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
            x ^= x >> 31;
            t.label[e] = x;
            acc[ends_[e].first] ^= x;
            acc[ends_[e].second] ^= x;
        }
        for (size_t i = t.order.size(); i-- > 1;) {
            const int c = t.order[i];
            t.label[up_edge[c]] = acc[c];
            acc[parent[c]] ^= acc[c];
        }
        return true;
    }

private:
    std::vector<int> nodes_;
    std::vector<char> member_;
    std::vector<int> start_, count_;
    std::vector<std::pair<int, int>> adj_;  // (neighbour, edge)
    std::vector<std::pair<int, int>> ends_;  // edge -> its two atoms
    // scratch of depth_first
    std::vector<int> low_, stack_dfs_;
    std::vector<std::pair<int, int>> stack_;
    std::vector<char> tree_edge_;
    std::vector<uint64_t> acc_;
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

namespace {

// Hill-like order of (symbol, count): C, then H, then the rest by code point.
std::string hill(std::vector<std::pair<std::string_view, long>>& counts) {
    std::sort(counts.begin(), counts.end());
    std::string out;
    auto emit = [&out](std::string_view el, long c) {
        out += el;
        if (c > 1) out += std::to_string(c);
    };
    for (std::string_view first : {"C", "H"})
        for (const auto& [el, c] : counts)
            if (el == first && c != 0) emit(el, c);
    for (const auto& [el, c] : counts)
        if (el != "C" && el != "H") emit(el, c);
    return out;
}

template <class Symbols>
std::string formula_of(const Symbols& symbols) {
    // A handful of elements per fragment: a short list beats a map.
    std::vector<std::pair<std::string_view, long>> counts;
    for (std::string_view sym : symbols) {
        auto it = std::find_if(counts.begin(), counts.end(), [&](const auto& c) { return c.first == sym; });
        if (it == counts.end())
            counts.push_back({sym, 1});
        else
            ++it->second;
    }
    return hill(counts);
}

struct AtomSymbols {
    const Molecule& mol;
    const std::vector<int>& atoms;
    struct It {
        const Molecule* mol;
        std::vector<int>::const_iterator at;
        std::string_view operator*() const { return mol->atoms[*at].symbol; }
        It& operator++() {
            ++at;
            return *this;
        }
        bool operator!=(const It& o) const { return at != o.at; }
    };
    It begin() const { return {&mol, atoms.begin()}; }
    It end() const { return {&mol, atoms.end()}; }
};

}  // namespace

std::string formula(const Molecule& mol, const std::vector<int>& atoms) { return formula_of(AtomSymbols{mol, atoms}); }

std::string formula_from_symbols(const std::vector<std::string>& symbols) { return formula_of(symbols); }

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

namespace {

// Buffers of the cutting passes, kept from one fragment to the next.
struct CutWork {
    AtomGraph graph;
    AtomGraph::Tree tree;
    std::vector<long> mass_before, heavy_before;
    std::vector<int> pair_of_edge, next_link, pieces, below, child;
    std::vector<std::vector<int>> comps;
};

// cut_atom_set on a sorted atom set: the children sorted, each once.
std::vector<std::vector<int>> cut_children(const Molecule& mol, const std::vector<int>& atom_set,
                                           const ChemBonds& softs, bool ring_fragmentation, double min_mz,
                                           CutWork& work) {
    AtomGraph& ag = work.graph;
    ag.reset(mol, atom_set);
    // On a connected set the search tree gives the pieces of single cuts and
    // rules out most pairs of ring bonds; otherwise every cut is searched.
    AtomGraph::Tree& tree = work.tree;
    const bool connected = ag.depth_first(tree);
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

    std::vector<std::vector<int>> out;
    std::vector<int> ring_edges;
    for (const auto& [pr, order] : pair_order) {
        const int e = ag.edge(pr.first, pr.second);
        if (e < 0) continue;
        std::vector<std::vector<int>> comps;
        if (connected) {
            const int c = tree.tin[pr.first] > tree.tin[pr.second] ? pr.first : pr.second;
            if (tree.bridge_up[c] != e) {
                ring_edges.push_back(e);
                continue;
            }
            std::vector<int> below(tree.order.begin() + tree.tin[c], tree.order.begin() + tree.tout[c]), rest;
            std::sort(below.begin(), below.end());
            rest.reserve(atom_set.size() - below.size());
            std::set_difference(atom_set.begin(), atom_set.end(), below.begin(), below.end(), std::back_inserter(rest));
            comps = {std::move(below), std::move(rest)};
        } else {
            comps = ag.components_without({e});
            if (comps.size() != 2) {
                ring_edges.push_back(e);
                continue;
            }
        }
        if (order >= 2 && std::min(heavy_count(mol, comps[0]), heavy_count(mol, comps[1])) == 1) continue;
        out.push_back(std::move(comps[0]));
        out.push_back(std::move(comps[1]));
    }
    if (ring_fragmentation) {
        for (size_t i = 0; i < ring_edges.size(); ++i) {
            for (size_t j = i + 1; j < ring_edges.size(); ++j) {
                if (connected && tree.label[ring_edges[i]] != tree.label[ring_edges[j]]) continue;  // not a cut pair
                auto& comps = work.comps;
                ag.components_without({ring_edges[i], ring_edges[j]}, comps);
                if (comps.size() != 2) continue;
                // both pieces at least min_mz (the lighter one decides)
                if (avg_mass(mol, comps[0]) >= min_mz && avg_mass(mol, comps[1]) >= min_mz) {
                    out.push_back(comps[0]);
                    out.push_back(comps[1]);
                }
            }
        }
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

}  // namespace

std::vector<std::vector<int>> cut_atom_set(const Molecule& mol, const std::vector<int>& atom_set,
                                           const ChemBonds& softs, bool ring_fragmentation, double min_mz) {
    std::vector<int> sorted = atom_set;
    std::sort(sorted.begin(), sorted.end());
    sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
    CutWork work;
    return cut_children(mol, sorted, softs, ring_fragmentation, min_mz, work);
}

OrbitalView make_view(int n_nodes, const Links& edges, std::vector<std::vector<int>> atom_nodes) {
    OrbitalView g;
    g.n_nodes = n_nodes;
    g.adj.resize(n_nodes);
    for (const auto& e : edges) g.add_edge(e.u, e.v, e.w);
    // Neighbours in ascending order: fragment blocks are then built row by
    // row already sorted.
    for (auto& row : g.adj)
        std::sort(row.begin(), row.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
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

size_t NodesHash::operator()(const std::vector<int>& v) const {
    uint64_t h = 1469598103934665603ull;
    for (int a : v) h = (h ^ static_cast<uint64_t>(a)) * 1099511628211ull;
    return static_cast<size_t>(h ^ (h >> 29));
}

namespace {

// Blocks of at most this many nodes keep their decisions in the cache.
constexpr size_t kSharedBlock = 16;

// One connected block of a fragment's orbital subgraph.
struct FragmentBlock {
    std::vector<int> members;                      // local node indices, ascending
    std::unordered_map<int, char>* shared = nullptr;  // decisions kept in the cache (small blocks)
    std::vector<std::pair<int, char>> own;          // decisions of a larger block, by link
    bool built = false;
    vif::SparseSymmetric mat;
    vif::SparseLinkTest* test = nullptr;  // factorized, when the sparse test applies
    std::unique_ptr<vif::LinkRemoval> dense;

    void reset() {
        members.clear();
        shared = nullptr;
        own.clear();
        built = false;
        mat.clear();
        test = nullptr;
        dense.reset();
    }
};

}  // namespace

// Buffers of FragmentLinks, kept from one fragment to the next.
struct FragmentScratch {
    std::vector<char> member;
    std::vector<int> local, nodes, comp, pos, stack, block_at, key;
    std::vector<FragmentBlock> blocks;
    std::vector<std::pair<int, double>> row;
};

SoftTestCache::SoftTestCache() : scratch(std::make_unique<FragmentScratch>()) {}
SoftTestCache::~SoftTestCache() = default;

namespace {

// Link-removal decisions on one fragment's orbital subgraph, made when asked:
// the subgraph's matrix is block diagonal over its connected components (the
// sigma frame, each pi system, lone nodes) and its eigenvalues are those of
// the blocks together, so removing a link changes only its own block, which
// is factorized the first time one of its links is asked about.  One at a
// time per cache: it works in the cache's buffers.
class FragmentLinks {
public:
    FragmentLinks(const OrbitalView& g, const ChemBonds& links, const std::vector<int>& atom_set, int n_atoms,
                  const vif::SoftPassOptions& pass, SoftTestCache& cache)
        : g_(g), links_(links), n_atoms_(n_atoms), pass_(pass), cache_(cache), x_(*cache.scratch),
          member_(x_.member), local_(x_.local), nodes_(x_.nodes), comp_(x_.comp), pos_(x_.pos),
          block_at_(x_.block_at) {
        member_.assign(n_atoms, 0);
        if (static_cast<int>(local_.size()) != g.n_nodes) local_.assign(g.n_nodes, -1);
        nodes_.clear();
        for (int a : atom_set) member_[a] = 1;
        for (int a : atom_set)
            for (int node : g.atom_nodes[a])
                if (local_[node] < 0) {
                    local_[node] = static_cast<int>(nodes_.size());
                    nodes_.push_back(node);
                }
        const int k = static_cast<int>(nodes_.size());
        comp_.assign(k, -1);
        pos_.assign(k, -1);
        int n_comp = 0;
        std::vector<int>& stack = x_.stack;
        stack.clear();
        for (int s = 0; s < k; ++s) {
            if (comp_[s] >= 0) continue;
            comp_[s] = n_comp;
            stack.push_back(s);
            while (!stack.empty()) {
                const int i = stack.back();
                stack.pop_back();
                for (const auto& [v, w] : g.adj[nodes_[i]]) {
                    const int j = local_[v];
                    if (j >= 0 && comp_[j] < 0) {
                        comp_[j] = n_comp;
                        stack.push_back(j);
                    }
                }
            }
            ++n_comp;
        }
        // Blocks are gathered when first asked about: most lone nodes never are.
        // (Room for every block now: a factorization keeps its block's address.)
        block_at_.assign(n_comp, -1);
        n_blocks_ = 0;
        if (x_.blocks.size() < static_cast<size_t>(n_comp)) x_.blocks.resize(n_comp);
    }

    ~FragmentLinks() {
        for (int node : nodes_) local_[node] = -1;
        if (!pass_.stats) return;
        for (size_t b = 0; b < n_blocks_; ++b)
            if (x_.blocks[b].dense) *pass_.stats += x_.blocks[b].dense->stats();
    }

    FragmentBlock& block(int c) {
        if (block_at_[c] < 0) {
            block_at_[c] = static_cast<int>(n_blocks_++);
            FragmentBlock& b = x_.blocks[block_at_[c]];
            b.reset();
            for (int i = 0; i < static_cast<int>(comp_.size()); ++i)
                if (comp_[i] == c) {
                    pos_[i] = static_cast<int>(b.members.size());
                    b.members.push_back(i);
                }
        }
        return x_.blocks[block_at_[c]];
    }
    FragmentLinks(const FragmentLinks&) = delete;
    FragmentLinks& operator=(const FragmentLinks&) = delete;

    // Whether removing links[i] keeps the inertia; false for a link not in
    // the subgraph.
    bool soft(int i) {
        const ChemBond& l = links_[i];
        if (l.atom_u < 0 || l.atom_u >= n_atoms_ || l.atom_v < 0 || l.atom_v >= n_atoms_) return false;
        if (!member_[l.atom_u] || !member_[l.atom_v]) return false;
        if (l.u_node < 0 || l.v_node < 0 || local_[l.u_node] < 0 || local_[l.v_node] < 0) return false;
        if (!g_.has_edge(l.u_node, l.v_node)) return false;
        const int cu = local_[l.u_node], cv = local_[l.v_node];
        FragmentBlock& b = block(comp_[cu]);
        if (!b.shared && b.members.size() <= kSharedBlock) {
            std::vector<int>& key = x_.key;
            key.clear();
            for (int m : b.members) key.push_back(nodes_[m]);
            std::sort(key.begin(), key.end());
            auto found = cache_.blocks.find(key);
            b.shared = found != cache_.blocks.end() ? &found->second : &cache_.blocks[key];
        }
        if (b.shared) {
            const auto found = b.shared->find(i);
            if (found != b.shared->end()) return found->second;
        } else {
            for (const auto& [link, keep] : b.own)
                if (link == i) return keep;
        }
        const char keep = decide(b, pos_[cu], pos_[cv]);
        if (b.shared)
            b.shared->emplace(i, keep);
        else
            b.own.push_back({i, keep});
        return keep;
    }

private:
    char decide(FragmentBlock& b, int u, int v) {
        if (!b.built) {
            b.built = true;
            auto& row = x_.row;
            for (int i : b.members) {
                row.clear();
                double diagonal = 0.0;
                for (const auto& [node, w] : g_.adj[nodes_[i]]) {
                    const int j = local_[node];
                    if (j < 0) continue;
                    if (j == i)
                        diagonal = w;
                    else
                        row.push_back({pos_[j], w});
                }
                b.mat.add_row(diagonal, row);
            }
            if (pass_.fast) {
                if (cache_.tests.size() <= used_) cache_.tests.push_back(std::make_unique<vif::SparseLinkTest>());
                vif::SparseLinkTest* test = cache_.tests[used_].get();
                if (test->factor(b.mat, pass_.tol)) {
                    b.test = test;
                    ++used_;
                }
            }
        }
        if (b.test) {
            const int r = b.test->keeps(u, v);
            if (r >= 0) {
                if (pass_.stats) {
                    ++pass_.stats->links;
                    ++pass_.stats->sparse;
                }
                return static_cast<char>(r);
            }
        }
        if (!b.dense) {
            if (pass_.fast && pass_.stats) ++pass_.stats->sparse_off;
            b.dense = std::make_unique<vif::LinkRemoval>(b.mat.to_dense(), pass_.tol, pass_.fast);
        }
        return b.dense->keeping({{u, v}}, b.dense->intact())[0];
    }

    const OrbitalView& g_;
    const ChemBonds& links_;
    int n_atoms_;
    const vif::SoftPassOptions& pass_;
    SoftTestCache& cache_;
    FragmentScratch& x_;
    std::vector<char>& member_;
    std::vector<int>&local_, &nodes_, &comp_, &pos_;
    std::vector<int>& block_at_;  // component -> its block, once gathered
    size_t n_blocks_ = 0;
    size_t used_ = 0;  // sparse tests of the cache in use
};

}  // namespace

std::vector<int> fragment_soft_links(const OrbitalView& g, const ChemBonds& links, const std::vector<int>& atom_set,
                                     int n_atoms, const vif::SoftPassOptions& pass, SoftTestCache* cache) {
    SoftTestCache own;
    FragmentLinks tests(g, links, atom_set, n_atoms, pass, cache ? *cache : own);
    std::vector<int> soft;
    for (size_t i = 0; i < links.size(); ++i) {
        poll();
        if (tests.soft(static_cast<int>(i))) soft.push_back(static_cast<int>(i));
    }
    return soft;
}

namespace {

struct AtomSetHash {
    size_t operator()(const std::vector<int>& v) const {
        uint64_t h = 1469598103934665603ull;
        for (int a : v) h = (h ^ static_cast<uint64_t>(a)) * 1099511628211ull;
        return static_cast<size_t>(h ^ (h >> 29));
    }
};

// One fragment of the last cut generation: its children are recorded, never
// cut again, so only the cuts whose pieces bring an m/z without a peak
// matter, and only the bonds of those cuts are tested.  The peaks come out as
// cutting at every soft bond would give them: the children with a new m/z in
// ascending order of their atom lists, the first of each m/z recorded.
// False when the fragment is not connected (the caller then cuts it whole).
bool last_generation(const Molecule& mol, const OrbitalView& g, const ChemBonds& links,
                     const std::vector<int>& atom_set, long gen, double min_mz, bool ring_fragmentation,
                     bool all_soft, const vif::SoftPassOptions& pass, SoftTestCache& tests, CutWork& work,
                     std::unordered_set<long>& have_mz, std::vector<Peak>& peaks) {
    AtomGraph& ag = work.graph;
    AtomGraph::Tree& tree = work.tree;
    ag.reset(mol, atom_set);
    if (!ag.depth_first(tree)) return false;
    const long total = nominal_mass(mol, atom_set);
    // Subtree masses and heavy-atom counts from prefix sums over the preorder.
    const size_t n = tree.order.size();
    std::vector<long>& mass_before = work.mass_before;
    std::vector<long>& heavy_before = work.heavy_before;
    mass_before.assign(n + 1, 0);
    heavy_before.assign(n + 1, 0);
    for (size_t i = 0; i < n; ++i) {
        const AtomRec& at = mol.atoms[tree.order[i]];
        mass_before[i + 1] = mass_before[i] + at.nominal;
        heavy_before[i + 1] = heavy_before[i] + (at.atomic_num > 1);
    }
    const long heavy_total = heavy_before[n];
    auto is_new = [&](long m) { return !have_mz.count(m); };

    // Atom pairs of the bonds inside (one per edge of the atom graph),
    // first-seen order, with their links chained in link order.
    struct Pair {
        int a, b, edge;
        double order = 1.0;
        int first_link = -1, last_link = -1;
        int below = -1;  // a bridge: the atom whose subtree it cuts off
    };
    std::vector<Pair> pairs;
    std::vector<int>& pair_of_edge = work.pair_of_edge;
    std::vector<int>& next_link = work.next_link;
    pair_of_edge.assign(ag.edges(), -1);
    next_link.assign(links.size(), -1);
    for (size_t i = 0; i < links.size(); ++i) {
        const ChemBond& l = links[i];
        if (!ag.contains(l.atom_u) || !ag.contains(l.atom_v)) continue;
        const int e = ag.edge(l.atom_u, l.atom_v);
        if (e < 0) continue;
        if (pair_of_edge[e] < 0) {
            pair_of_edge[e] = static_cast<int>(pairs.size());
            pairs.push_back({std::min(l.atom_u, l.atom_v), std::max(l.atom_u, l.atom_v), e});
        }
        Pair& p = pairs[pair_of_edge[e]];
        (p.last_link < 0 ? p.first_link : next_link[p.last_link]) = static_cast<int>(i);
        p.last_link = static_cast<int>(i);
        p.order = std::max(p.order, l.order);
    }
    // Single cuts at bridges and double cuts at two ring bonds that would
    // bring a new m/z; the links of their bonds are the ones to test.
    std::vector<size_t> singles, ring;
    std::vector<std::pair<size_t, size_t>> doubles;
    std::vector<std::vector<std::vector<int>>> double_pieces;
    for (size_t i = 0; i < pairs.size(); ++i) {
        Pair& p = pairs[i];
        if (p.edge < 0) continue;
        int c = tree.tin[p.a] > tree.tin[p.b] ? p.a : p.b;
        if (tree.bridge_up[c] != p.edge) {
            ring.push_back(i);
            continue;
        }
        p.below = c;
        const long m = mass_before[tree.tout[c]] - mass_before[tree.tin[c]];
        const long h = heavy_before[tree.tout[c]] - heavy_before[tree.tin[c]];
        if (p.order >= 2 && std::min(h, heavy_total - h) == 1) continue;
        if (is_new(m) || is_new(total - m)) singles.push_back(i);
    }
    // The nominal mass of one piece of a cut pair, read off the tree: two
    // tree edges on one path to the root cut off the stretch between them, a
    // tree edge and a non-tree edge the subtree below the tree edge; -1 when
    // the pair is not of either kind (then it is no cut pair, and the search
    // below says so).
    auto below_mass = [&](int c) { return mass_before[tree.tout[c]] - mass_before[tree.tin[c]]; };
    auto tree_child = [&](const Pair& p) {
        const int c = tree.tin[p.a] > tree.tin[p.b] ? p.a : p.b;
        return tree.up[c] == p.edge ? c : -1;
    };
    auto cut_pair_mass = [&](const Pair& p1, const Pair& p2) -> long {
        const int c1 = tree_child(p1), c2 = tree_child(p2);
        if (c1 >= 0 && c2 >= 0) {
            if (tree.tin[c2] <= tree.tin[c1] && tree.tin[c1] < tree.tout[c2]) return below_mass(c2) - below_mass(c1);
            if (tree.tin[c1] <= tree.tin[c2] && tree.tin[c2] < tree.tout[c1]) return below_mass(c1) - below_mass(c2);
            return -1;
        }
        if (c1 >= 0) return below_mass(c1);
        if (c2 >= 0) return below_mass(c2);
        return -1;
    };
    if (ring_fragmentation) {
        for (size_t i = 0; i < ring.size(); ++i)
            for (size_t j = i + 1; j < ring.size(); ++j) {
                if (tree.label[pairs[ring[i]].edge] != tree.label[pairs[ring[j]].edge]) continue;  // not a cut pair
                const long piece = cut_pair_mass(pairs[ring[i]], pairs[ring[j]]);
                if (piece >= 0 && !is_new(piece) && !is_new(total - piece)) continue;
                auto comps = ag.components_without({pairs[ring[i]].edge, pairs[ring[j]].edge});
                if (comps.size() != 2 || std::min(avg_mass(mol, comps[0]), avg_mass(mol, comps[1])) < min_mz) continue;
                const long m = nominal_mass(mol, comps[0]);
                if (!is_new(m) && !is_new(total - m)) continue;
                doubles.push_back({ring[i], ring[j]});
                double_pieces.push_back(std::move(comps));
            }
    }
    if (singles.empty() && doubles.empty()) return true;

    // The pieces with a new m/z, each with the cut that makes it.
    // Their atom lists lie one after another in one buffer.
    struct Candidate {
        size_t at, size;       // atoms[at .. at + size)
        size_t first, second;  // the cut's pairs (second == first for a single cut)
        long mz;
    };
    std::vector<int>& atoms = work.pieces;
    atoms.clear();
    std::vector<Candidate> candidates;
    auto add_piece = [&](long mz, size_t first, size_t second, auto begin, auto end) {
        const size_t at = atoms.size();
        atoms.insert(atoms.end(), begin, end);
        candidates.push_back({at, atoms.size() - at, first, second, mz});
    };
    std::vector<int>& below = work.below;
    for (size_t i : singles) {
        const int c = pairs[i].below;
        below.assign(tree.order.begin() + tree.tin[c], tree.order.begin() + tree.tout[c]);
        std::sort(below.begin(), below.end());
        const long m = below_mass(c);
        if (is_new(total - m)) {
            const size_t at = atoms.size();
            std::set_difference(atom_set.begin(), atom_set.end(), below.begin(), below.end(), std::back_inserter(atoms));
            candidates.push_back({at, atoms.size() - at, i, i, total - m});
        }
        if (is_new(m)) add_piece(m, i, i, below.begin(), below.end());
    }
    for (size_t d = 0; d < doubles.size(); ++d)
        for (const auto& piece : double_pieces[d]) {
            const long m = nominal_mass(mol, piece);
            if (is_new(m)) add_piece(m, doubles[d].first, doubles[d].second, piece.begin(), piece.end());
        }
    auto begin_of = [&](const Candidate& x) { return atoms.begin() + static_cast<std::ptrdiff_t>(x.at); };
    auto end_of = [&](const Candidate& x) { return atoms.begin() + static_cast<std::ptrdiff_t>(x.at + x.size); };
    std::sort(candidates.begin(), candidates.end(), [&](const Candidate& x, const Candidate& y) {
        return std::lexicographical_compare(begin_of(x), end_of(x), begin_of(y), end_of(y));
    });
    auto same = [&](const Candidate& x, const Candidate& y) {
        return x.size == y.size && std::equal(begin_of(x), end_of(x), begin_of(y));
    };

    // A pair is cut when one of its links is soft; asked only while its
    // pieces can still bring a new m/z.
    FragmentLinks tests_here(g, links, atom_set, mol.size(), pass, tests);
    std::vector<signed char> soft(pairs.size(), all_soft ? 1 : -1);
    auto pair_soft = [&](size_t i) {
        if (soft[i] < 0) {
            soft[i] = 0;
            for (int l = pairs[i].first_link; l >= 0; l = next_link[l])
                if (tests_here.soft(l)) {
                    soft[i] = 1;
                    break;
                }
        }
        return soft[i] == 1;
    };
    std::vector<int>& child = work.child;
    for (size_t i = 0; i < candidates.size();) {
        size_t j = i;
        while (j < candidates.size() && same(candidates[j], candidates[i])) ++j;
        const long mz = candidates[i].mz;
        if (is_new(mz)) {
            bool cut = false;
            for (size_t q = i; q < j && !cut; ++q) {
                poll();
                cut = pair_soft(candidates[q].first) && pair_soft(candidates[q].second);
            }
            if (cut) {
                have_mz.insert(mz);
                child.assign(begin_of(candidates[i]), end_of(candidates[i]));
                peaks.push_back({mz, formula(mol, child), gen + 1});
            }
        }
        i = j;
    }
    return true;
}

}  // namespace

std::vector<Peak> predict_recursive(const Molecule& mol, const OrbitalView& g, const ChemBonds& links,
                                    long max_generations, double min_mz, bool ring_fragmentation,
                                    const vif::SoftPassOptions& pass, bool all_soft,
                                    const std::vector<int>* whole_softs) {
    const std::vector<int> everything = all_atoms(mol);
    std::vector<Peak> peaks;
    std::unordered_set<long> have_mz;
    const long m0 = nominal_mass(mol, everything);
    peaks.push_back({m0, formula(mol, everything), 0});
    have_mz.insert(m0);

    std::unordered_set<std::vector<int>, AtomSetHash> seen{everything};
    std::deque<std::pair<std::vector<int>, long>> queue;
    queue.push_back({everything, 0});
    ChemBonds softs;
    SoftTestCache tests;
    CutWork work;
    while (!queue.empty()) {
        poll();
        auto [atom_set, gen] = std::move(queue.front());
        queue.pop_front();
        if (gen >= max_generations) continue;
        softs.clear();
        if (gen > 0 && gen + 1 >= max_generations &&
            last_generation(mol, g, links, atom_set, gen, min_mz, ring_fragmentation, all_soft, pass, tests, work,
                            have_mz, peaks))
            continue;
        if (all_soft) {
            softs = links;  // cut_children keeps the bonds inside atom_set
        } else if (gen == 0 && whole_softs) {
            for (int i : *whole_softs)
                if (g.has_edge(links[i].u_node, links[i].v_node)) softs.push_back(links[i]);
        } else {
            for (int i : fragment_soft_links(g, links, atom_set, mol.size(), pass, &tests)) softs.push_back(links[i]);
        }
        // Children are visited in ascending order of their sorted atom lists
        // (so by smallest atom index first); this fixes which formula wins
        // when two fragments of one generation share a nominal mass.
        for (auto& child : cut_children(mol, atom_set, softs, ring_fragmentation, min_mz, work)) {
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
