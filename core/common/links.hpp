// Links of the orbital graph.
#pragma once

#include <vector>

namespace tx {

// A weighted orbital link between nodes u and v.
struct Link {
    int u = 0;
    int v = 0;
    double w = 1.0;
};

// The orbital link that stands for the k-th unit of a chemical bond between
// two atoms.  Node ids are -1 when the link is not part of the graph at hand.
struct ChemBond {
    int u_node = -1;
    int v_node = -1;
    int atom_u = 0;
    int atom_v = 0;
    double order = 1.0;
    int k = 0;
};

using Links = std::vector<Link>;
using ChemBonds = std::vector<ChemBond>;

}  // namespace tx
