// The soft-bond test on fragments: a molecule's orbital graph viewed by
// atom, and the link-removal decisions on the subgraph a fragment's atoms
// induce, made block by block on the sparse pass when first asked for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "common/links.hpp"
#include "common/molecule.hpp"
#include "vif/sparse_pass.hpp"

namespace tx::ms {

// Weighted orbital graph with per-atom node lists, as the fragment-level
// soft-bond test needs it.
struct OrbitalView {
    int n_nodes = 0;
    std::vector<std::vector<std::pair<int, double>>> adj;  // node -> (neighbour, weight)
    std::unordered_set<uint64_t> edge_set;
    std::vector<std::vector<int>> atom_nodes;                // atom -> node ids
    void add_edge(int u, int v, double w);
    bool has_edge(int u, int v) const;
};

OrbitalView make_view(int n_nodes, const Links& edges, std::vector<std::vector<int>> atom_nodes);

// What the fragment tests of one molecule share: the decisions on small
// blocks (pi systems recur from fragment to fragment), by the blocks' node
// ids, and the sparse tests' buffers.
struct NodesHash {
    size_t operator()(const std::vector<int>& v) const;
};
struct FragmentScratch;
struct SoftTestCache {
    SoftTestCache();
    ~SoftTestCache();
    std::unordered_map<std::vector<int>, std::unordered_map<int, char>, NodesHash> blocks;
    std::vector<std::unique_ptr<vif::SparseLinkTest>> tests;
    std::unique_ptr<FragmentScratch> scratch;  // buffers of the fragment at hand
};

// Indices of the chem links inside `atom_set` whose removal keeps the
// inertia of the fragment's induced orbital subgraph.  Each connected block
// of the subgraph is tested alone; `cache`, when given, keeps and reuses the
// answers of blocks met before.
std::vector<int> fragment_soft_links(const OrbitalView& g, const ChemBonds& links, const std::vector<int>& atom_set,
                                     int n_atoms, const vif::SoftPassOptions& pass, SoftTestCache* cache = nullptr);

struct FragmentBlock;

// Link-removal decisions on one fragment's orbital subgraph, made when asked:
// the subgraph's matrix is block diagonal over its connected components (the
// sigma frame, each pi system, lone nodes) and its eigenvalues are those of
// the blocks together, so removing a link changes only its own block, which
// is factorized the first time one of its links is asked about.  One at a
// time per cache: it works in the cache's buffers.
class FragmentLinks {
public:
    FragmentLinks(const OrbitalView& g, const ChemBonds& links, const std::vector<int>& atom_set, int n_atoms,
                  const vif::SoftPassOptions& pass, SoftTestCache& cache);
    ~FragmentLinks();
    FragmentLinks(const FragmentLinks&) = delete;
    FragmentLinks& operator=(const FragmentLinks&) = delete;

    // Whether removing links[i] keeps the inertia; false for a link not in
    // the subgraph.
    bool soft(int i);

private:
    FragmentBlock& block(int c);
    char decide(FragmentBlock& b, int u, int v);

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

}  // namespace tx::ms
