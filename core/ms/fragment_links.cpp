#include "ms/fragment_links.hpp"

#include <algorithm>

#include "common/poll.hpp"

namespace tx::ms {

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

}  // namespace

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

// Buffers of FragmentLinks, kept from one fragment to the next.
struct FragmentScratch {
    std::vector<char> member;
    std::vector<int> local, nodes, comp, pos, stack, block_at, key;
    std::vector<FragmentBlock> blocks;
    std::vector<std::pair<int, double>> row;
};

SoftTestCache::SoftTestCache() : scratch(std::make_unique<FragmentScratch>()) {}
SoftTestCache::~SoftTestCache() = default;

FragmentLinks::FragmentLinks(const OrbitalView& g, const ChemBonds& links, const std::vector<int>& atom_set,
                             int n_atoms, const vif::SoftPassOptions& pass, SoftTestCache& cache)
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

FragmentLinks::~FragmentLinks() {
    for (int node : nodes_) local_[node] = -1;
    if (!pass_.stats) return;
    for (size_t b = 0; b < n_blocks_; ++b)
        if (x_.blocks[b].dense) *pass_.stats += x_.blocks[b].dense->stats();
}

FragmentBlock& FragmentLinks::block(int c) {
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

bool FragmentLinks::soft(int i) {
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

char FragmentLinks::decide(FragmentBlock& b, int u, int v) {
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

}  // namespace tx::ms
