// One whole analysis of a molecule: layout, orbital graph, LPI, soft bonds,
// fragments, multi-generation peaks, masses and the report, in plain C++.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "common/defaults.hpp"
#include "common/molecule.hpp"
#include "layout/layout.hpp"
#include "ms/fragments.hpp"
#include "vif/graph.hpp"
#include "vif/soft_pass.hpp"

namespace tx::analysis {

struct Options {
    layout::LayoutParams layout;
    double radius_ratio = defaults::kRadiusRatio;
    double bond_kappa = defaults::kBondKappa;
    double tol = defaults::kTol;
    bool ring_fragmentation = false;
    bool recursive = false;
    long max_generations = defaults::kDriverGenerations;
    std::string generations_text = "2";  // how the report names max_generations
    // Treat every chem bond as soft (a reference for what the soft-bond test adds).
    bool all_soft = false;
    bool fast_soft_pass = true;
    // false: the eigenvalues are not wanted (compact records), so the LPI and
    // soft links may come from sparse factorizations instead of the
    // eigendecomposition; the result's eigenvalues are then empty.
    bool eigenvalues = true;
    bool report = true;
    std::string title;  // the report's first line names this text
    std::string title_note;  // a line after it, when the text analysed is not all that was given
};

// What the toolkit gives: the molecule with explicit hydrogens (symbols,
// masses, periods, nominal masses, neighbours), its depiction, its symmetry
// ranks and jitter drawn ahead of time.
struct Input {
    Molecule mol;
    layout::Coords depiction;
    std::vector<long> ranks;
    layout::Jitter jitter;
};

struct Analysis {
    layout::Coords centers;
    vif::OrbitalGraph graph;
    Eigen::VectorXd eigenvalues;
    vif::Inertia lpi;
    std::vector<size_t> soft;  // indices into graph.chem_bonds
    std::vector<ms::FragmentRecord> fragments;
    std::optional<std::vector<ms::Peak>> peaks;
    double mass_avg = 0.0;
    long mass_nominal = 0;
    std::vector<std::string> report;
    vif::SoftPassStats stats;
};

// The analysis in two steps, so that a caller can show the report's head
// (molecule, masses, LPI, eigenvalues) before the longer second step.
class Analyser {
public:
    Analyser(const Input& input, const Options& options) : in_(input), opt_(options) {}
    // Layout, orbital graph, the one eigendecomposition, LPI and masses.
    // Throws layout::JitterExhausted when input.jitter is too short.
    void prepare();
    // Soft bonds, fragments and multi-generation peaks.
    void finish();
    const Analysis& result() const { return out_; }
    std::vector<std::string> head() const;
    std::vector<std::string> tail() const;

private:
    const Input& in_;
    Options opt_;
    Analysis out_;
    std::optional<vif::LinkRemoval> removal_;
    std::optional<std::vector<char>> sparse_keep_;  // soft-link answers of the sparse pass
};

// Both steps; the report lines are in the result when options.report is set.
Analysis analyse(const Input& input, const Options& options);

}  // namespace tx::analysis
