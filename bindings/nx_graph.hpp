// A networkx graph read once into node indices and weighted links.
#pragma once

#include <vector>

#include <Eigen/Dense>

#include "common/links.hpp"
#include "values.hpp"

namespace tx::py {

// Raises TypeError unless `graph` looks like a networkx graph.
void require_graph(nb::handle graph, const char* what = "graph");

// A networkx graph read once: node order, node -> index, weighted links.
struct GraphData {
    nb::dict index;
    int n = 0;
    Links links;
    std::vector<nb::object> keys;  // edge key of each link of a multigraph
    bool multigraph = false;
    int node_index(nb::handle node) const;  // -1 when the node is absent
    Eigen::MatrixXd dense() const;          // as networkx.to_numpy_array builds it
};
GraphData read_graph(nb::handle graph, nb::handle weight);

}  // namespace tx::py
