#include "analysis/analysis.hpp"

#include "analysis/report.hpp"
#include "common/pyfloat.hpp"

#include <cstring>
#include <unordered_map>

namespace tx::analysis {

namespace {

void add_masses(const Molecule& mol, Analysis& out) {
    py_float::Sum avg;
    long nominal = 0;
    for (const auto& at : mol.atoms) {
        avg.add(at.mass);
        nominal += at.nominal;
    }
    out.mass_avg = avg.value();
    out.mass_nominal = nominal;
}

void cut_fragments(const Molecule& mol, const Options& options, Analysis& out) {
    ChemBonds softs;
    std::vector<std::string> labels;
    for (size_t i : out.soft) {
        const ChemBond& c = out.graph.chem_bonds[i];
        softs.push_back(c);
        labels.push_back(ms::pair_label(mol, c.atom_u, c.atom_v));
    }
    out.fragments =
        ms::predict_fragments(mol, softs, labels, options.ring_fragmentation, defaults::kMinRingFragmentMz);
}

// Whether no node pair is listed with two different weights (bit for bit).
bool single_weights(const Links& edges) {
    std::unordered_map<uint64_t, double> first;
    for (const auto& e : edges) {
        auto [it, fresh] = first.emplace(pair_key(e.u, e.v), e.w);
        if (!fresh && std::memcmp(&it->second, &e.w, sizeof(double)) != 0) return false;
    }
    return true;
}

void cut_generations(const Molecule& mol, const Options& options, Analysis& out) {
    const auto& g = out.graph;
    std::vector<std::vector<int>> atom_nodes(mol.size());
    for (int at = 0; at < mol.size(); ++at)
        for (int q = 0; q < g.atom_count[at]; ++q) atom_nodes[at].push_back(g.atom_first[at] + q);
    const vif::SoftPassOptions pass{options.tol, options.fast_soft_pass, &out.stats};
    // The whole molecule's soft links are those found in finish(), when the
    // view holds the same matrix: a node pair listed twice keeps its first
    // weight in the view and its last in the dense matrix.
    std::vector<int> whole;
    for (size_t i : out.soft) whole.push_back(static_cast<int>(i));
    const bool same_matrix = single_weights(g.edges);
    // The molecule's own fragments are re-examined with the multi-generation
    // rules, which always include ring double cuts.
    out.peaks = ms::predict_recursive(mol, ms::make_view(g.n_nodes, g.edges, std::move(atom_nodes)), g.chem_bonds,
                                      options.max_generations, defaults::kMinRecursiveMz, true, pass,
                                      options.all_soft, same_matrix ? &whole : nullptr);
}

}  // namespace

void Analyser::prepare() {
    const Molecule& mol = in_.mol;
    out_.centers = layout::atom_layout(mol, in_.depiction, in_.ranks, in_.jitter, opt_.layout);
    out_.graph = vif::build_orbital_graph(mol, out_.centers, opt_.layout.target_bond_len * opt_.radius_ratio,
                                          opt_.bond_kappa);
    add_masses(mol, out_);
    if (!opt_.eigenvalues && opt_.fast_soft_pass && out_.graph.n_nodes > 0) {
        std::vector<std::pair<int, int>> candidates;
        if (!opt_.all_soft)
            for (const auto& c : out_.graph.chem_bonds) candidates.push_back({c.u_node, c.v_node});
        std::vector<char> keep;
        vif::Inertia lpi;
        const auto sparse = vif::SparseSymmetric::from_links(out_.graph.n_nodes, out_.graph.edges);
        if (vif::sparse_keeping(sparse, candidates, opt_.tol, keep, lpi)) {
            out_.lpi = lpi;
            out_.stats.links += candidates.size();
            out_.stats.sparse += candidates.size();
            sparse_keep_ = std::move(keep);
            return;
        }
        ++out_.stats.sparse_off;
    }
    removal_.emplace(vif::dense_matrix(out_.graph.n_nodes, out_.graph.edges), opt_.tol, opt_.fast_soft_pass);
    out_.eigenvalues = removal_->eigenvalues();
    out_.lpi = vif::count_inertia(out_.eigenvalues, opt_.tol);
}

void Analyser::finish() {
    // Every chem bond whose link can be removed alone without changing the
    // LPI, decided from the decomposition made in prepare().
    const auto& g = out_.graph;
    std::vector<std::pair<int, int>> candidates;
    candidates.reserve(g.chem_bonds.size());
    for (const auto& c : g.chem_bonds) candidates.push_back({c.u_node, c.v_node});
    std::vector<char> keep(candidates.size(), 1);
    if (sparse_keep_) {
        if (!opt_.all_soft) keep = std::move(*sparse_keep_);
        sparse_keep_.reset();
    } else {
        if (!opt_.all_soft) keep = removal_->keeping(candidates, out_.lpi);
        out_.stats += removal_->stats();
        removal_.reset();
    }
    for (size_t i = 0; i < keep.size(); ++i)
        if (keep[i]) out_.soft.push_back(i);
    cut_fragments(in_.mol, opt_, out_);
    if (opt_.recursive) cut_generations(in_.mol, opt_, out_);
}

std::vector<std::string> Analyser::head() const {
    const std::vector<double> ev(out_.eigenvalues.data(), out_.eigenvalues.data() + out_.eigenvalues.size());
    auto lines = report_head(opt_.title, out_.mass_avg, out_.mass_nominal, out_.lpi, ev);
    if (!opt_.title_note.empty()) lines.insert(lines.begin() + 1, "      " + opt_.title_note);
    return lines;
}

std::vector<std::string> Analyser::tail() const {
    return report_tail(out_.soft.size(), out_.fragments, out_.peaks, opt_.generations_text);
}

Analysis analyse(const Input& input, const Options& options) {
    Analyser a(input, options);
    a.prepare();
    a.finish();
    Analysis out = a.result();
    if (options.report) {
        out.report = a.head();
        for (auto& line : a.tail()) out.report.push_back(std::move(line));
    }
    return out;
}

}  // namespace tx::analysis
