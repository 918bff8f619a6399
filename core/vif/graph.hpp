// The orbital-interaction (VIF) graph: 1, 4 or 9 orbital nodes per atom,
// sigma cliques inside atoms and weighted links along bonds.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "common/links.hpp"
#include "common/molecule.hpp"
#include "layout/layout.hpp"

namespace tx::vif {

struct OrbitalGraph {
    int n_nodes = 0;
    std::vector<int> node_atom;       // owning atom of each node
    std::vector<char> node_is_pi;     // 0 sigma, 1 pi
    Links edges;                      // in insertion order
    std::vector<int> atom_first;      // first node id of each atom
    std::vector<int> atom_count;      // 1, 4 or 9
    std::vector<int> atom_sigma;      // number of sigma nodes
    std::vector<layout::Point> pos;   // drawing position of each node
    ChemBonds chem_bonds;             // one per bond link, in insertion order
};

// Orbital nodes of an atom of the given period.
int nodes_for_period(long period);

// Builds the graph from a molecule with explicit hydrogens (periods and bond
// orders filled in) and its atom coordinates.
OrbitalGraph build_orbital_graph(const Molecule& mol, const layout::Coords& centers,
                                 double radius, double bond_kappa);

// "Merkez" for carbon and lithium, "Uç" otherwise.
const char* role_of(const std::string& symbol);

}  // namespace tx::vif
