#include "nx_graph.hpp"

#include <cmath>

#include "vif/soft_pass.hpp"

namespace tx::py {

void require_graph(nb::handle graph, const char* what) {
    if (!nb::hasattr(graph, "number_of_nodes") || !nb::hasattr(graph, "edges") || !nb::hasattr(graph, "is_directed"))
        throw nb::type_error((std::string(what) + " must be a networkx graph, not " + type_name_of(graph)).c_str());
    if (truthy(graph.attr("is_directed")()))
        throw nb::type_error((std::string(what) + " must be an undirected graph").c_str());
}

int GraphData::node_index(nb::handle node) const {
    const int r = PyDict_Contains(index.ptr(), node.ptr());
    if (r < 0) throw nb::python_error();
    if (r == 0) return -1;
    return static_cast<int>(PyLong_AsLong(index[node].ptr()));  // the index was built here
}

Eigen::MatrixXd GraphData::dense() const { return vif::dense_matrix(n, links, multigraph); }

GraphData read_graph(nb::handle graph, nb::handle weight) {
    require_graph(graph);
    if (!weight.is_none() && !PyUnicode_Check(weight.ptr()))
        throw nb::type_error(("weight must be an edge attribute name (str) or None, not " + type_name_of(weight)).c_str());
    GraphData g;
    g.multigraph = truthy(graph.attr("is_multigraph")());
    int i = 0;
    for (nb::handle node : graph.attr("nodes")()) g.index[node] = i++;
    g.n = i;
    // (u, v[, key], weight), 1.0 for edges without the attribute; every weight
    // is 1.0 when weight is None.
    nb::dict kwargs;
    if (g.multigraph) kwargs["keys"] = true;
    kwargs["data"] = weight.is_none() ? nb::object(nb::bool_(false)) : nb::borrow(weight);
    kwargs["default"] = 1.0;
    nb::object edges = graph.attr("edges")(**kwargs);
    const size_t weight_at = g.multigraph ? 3 : 2;
    for (nb::handle e : edges) {
        nb::object t = nb::borrow(e);
        const int u = g.node_index(t[0]), v = g.node_index(t[1]);
        if (u < 0 || v < 0)
            throw nb::value_error(("edge (" + str_of(nb::repr(t[0])) + ", " + str_of(nb::repr(t[1])) +
                                   ") names a node that is not in the graph").c_str());
        const double w = weight.is_none() ? 1.0 : real_value(t[weight_at], "edge weight");
        if (!std::isfinite(w))
            throw nb::value_error(("edge (" + str_of(nb::repr(t[0])) + ", " + str_of(nb::repr(t[1])) +
                                   ") has a non-finite weight " + str_of(nb::repr(t[weight_at])))
                                      .c_str());
        g.links.push_back({u, v, w});
        if (g.multigraph) g.keys.push_back(nb::borrow(t[2]));
    }
    return g;
}

}  // namespace tx::py
