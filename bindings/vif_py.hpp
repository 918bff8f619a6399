// Python objects of the orbital graph, its chem bonds and its LPI, and the
// per-thread soft-pass settings of the bindings.
#pragma once

#include "hints.hpp"
#include "values.hpp"
#include "vif/graph.hpp"
#include "vif/soft_pass.hpp"

namespace tx::py {

// networkx.Graph with node attributes symbol, rol and kind and edge weights.
nb::object graph_object(const vif::OrbitalGraph& g, const Molecule& mol);
nb::dict subgraphs_object(const vif::OrbitalGraph& g);
nb::dict pos_object(const vif::OrbitalGraph& g);
nb::list chem_bonds_object(const vif::OrbitalGraph& g, const Molecule& mol);
nb::dict lpi_object(const vif::Inertia& in, const Eigen::VectorXd& eigenvalues);

// Whether this thread's soft-bond tests use the one-decomposition pass, and
// the diagnostics of the tests it has run (for cross-checks and benchmarks).
bool& fast_soft_pass();
vif::SoftPassStats& soft_pass_stats();
// A pass with this thread's switch, counted in this thread's counters (the
// core runs on the calling thread, with or without the GIL).
vif::SoftPassOptions soft_pass(double tol);

}  // namespace tx::py
