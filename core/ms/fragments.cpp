#include "ms/fragments.hpp"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <deque>
#include <initializer_list>
#include <iterator>
#include <optional>
#include <set>
#include <string_view>

#include "common/poll.hpp"
#include "common/pyfloat.hpp"
#include "ms/atom_graph.hpp"

namespace tx::ms {

namespace {

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
            const int c = tree.lower(pr.first, pr.second);
            if (tree.bridge_up[c] != e) {
                ring_edges.push_back(e);
                continue;
            }
            std::vector<int> below, rest;
            tree.subtree(c, below);
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
    auto below_mass = [&](int c) { return mass_before[tree.tout[c]] - mass_before[tree.tin[c]]; };
    for (size_t i = 0; i < pairs.size(); ++i) {
        Pair& p = pairs[i];
        if (p.edge < 0) continue;
        const int c = tree.lower(p.a, p.b);
        if (tree.bridge_up[c] != p.edge) {
            ring.push_back(i);
            continue;
        }
        p.below = c;
        const long m = below_mass(c);
        const long h = heavy_before[tree.tout[c]] - heavy_before[tree.tin[c]];
        if (p.order >= 2 && std::min(h, heavy_total - h) == 1) continue;
        if (is_new(m) || is_new(total - m)) singles.push_back(i);
    }
    // The nominal mass of one piece of a cut pair, read off the tree: two
    // tree edges on one path to the root cut off the stretch between them, a
    // tree edge and a non-tree edge the subtree below the tree edge; -1 when
    // the pair is not of either kind (then it is no cut pair, and the search
    // below says so).
    auto tree_child = [&](const Pair& p) {
        const int c = tree.lower(p.a, p.b);
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
        tree.subtree(c, below);
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
    // pieces can still bring a new m/z (with all_soft every pair is cut).
    std::optional<FragmentLinks> tests_here;
    if (!all_soft) tests_here.emplace(g, links, atom_set, mol.size(), pass, tests);
    std::vector<signed char> soft(pairs.size(), all_soft ? 1 : -1);
    auto pair_soft = [&](size_t i) {
        if (soft[i] < 0) {
            soft[i] = 0;
            for (int l = pairs[i].first_link; l >= 0; l = next_link[l])
                if (tests_here->soft(l)) {
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
