// The analysis pipeline shared by the driver and the graph builder.
#pragma once

#include <optional>

#include "common/interop.hpp"
#include "vif/graph.hpp"

namespace tx::py {

struct Built {
    nb::object mol;       // prepared RDKit molecule (explicit hydrogens)
    Molecule data;        // its atoms and bonds, read once
    layout::Coords centers;
    vif::OrbitalGraph graph;
};

// Parses (without sanitising), perceives aromaticity and kekulizes (errors
// ignored), adds hydrogens, lays out and builds the orbital graph.  Empty when
// the SMILES cannot be read.
std::optional<Built> build_graph(nb::handle smiles, long n_iter, double target_bond_len, double radius_ratio,
                                 double bond_kappa);

nb::object graph_object(const Built& b);
nb::dict subgraphs_object(const vif::OrbitalGraph& g);
nb::dict pos_object(const vif::OrbitalGraph& g);
nb::list chem_bonds_object(const Built& b);
nb::dict lpi_object(const vif::Inertia& in, const Eigen::VectorXd& eigenvalues);

}  // namespace tx::py
