// The plain atom graph of a fragment (one edge per bond), with edges that
// can be switched off, its components, and one depth-first search giving
// bridges, subtrees and cycle labels.  Used by the cutting passes.
#pragma once

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <utility>
#include <vector>

#include "common/molecule.hpp"

namespace tx::ms {

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

        // Of the two ends of an edge, the one found later (below the other
        // when the edge is a tree edge).
        int lower(int a, int b) const { return tin[a] > tin[b] ? a : b; }
        // The atoms of c's subtree, ascending.
        void subtree(int c, std::vector<int>& out) const {
            out.assign(order.begin() + tin[c], order.begin() + tout[c]);
            std::sort(out.begin(), out.end());
        }
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

}  // namespace tx::ms
