// Figures drawn through matplotlib and networkx: the stick mass spectrum,
// the orbital-graph drawing, and the pieces the panels share with them.
#pragma once

#include <utility>
#include <vector>

#include "common/interop.hpp"

namespace tx::figures {

namespace nb = nanobind;

using ColorMap = std::vector<std::pair<const char*, const char*>>;

// Element colours of the graph drawing and the panels.
const ColorMap& element_colors();

// Colour of every node of H (node order) by its "symbol" attribute, "gray"
// for symbols the map lacks.
nb::list node_colors(nb::handle H, const ColorMap& colors);

// (min, max) node pairs of the "u_node"/"v_node" of soft-bond records.
nb::set soft_pair_set(nb::handle soft_bonds);

// Edges of H in edge order, split into (ordinary, soft) by soft_pairs.
std::pair<nb::list, nb::list> split_edges(nb::handle H, nb::handle soft_pairs);

nb::object plot_mass_spectrum(nb::handle smiles, nb::handle mol_mass, nb::handle fragments, nb::handle ax);

// The single-molecule drawing that ends an analysis with drawing on.
void draw_vif(nb::handle smiles, nb::handle H, nb::handle pos, nb::handle lpi, nb::handle softs,
              nb::handle soft_edge_set, nb::handle fragments, nb::handle mol_mass, bool show_spectrum);

}  // namespace tx::figures
