// Python surface of the orbital graph, its LPI, soft bonds and the driver.
#include <nanobind/stl/string.h>

#include <unordered_map>

#include "common/defaults.hpp"
#include "hints.hpp"
#include "values.hpp"
#include "rdkit_mol.hpp"
#include "nx_graph.hpp"
#include "layout_py.hpp"
#include "vif_py.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace tx {

bool& py::fast_soft_pass() {
    thread_local bool enabled = true;
    return enabled;
}

vif::SoftPassStats& py::soft_pass_stats() {
    thread_local vif::SoftPassStats stats;
    return stats;
}

vif::SoftPassOptions py::soft_pass(double tol) { return {tol, fast_soft_pass(), &soft_pass_stats()}; }

nb::object py::graph_object(const vif::OrbitalGraph& g, const Molecule& mol) {
    nb::object graph = package_attr("nx").attr("Graph")();
    nb::list nodes;
    for (int i = 0; i < g.n_nodes; ++i) {
        const std::string& sym = mol.atoms[g.node_atom[i]].symbol;
        nb::dict attrs;
        attrs["symbol"] = sym;
        attrs["rol"] = vif::role_of(sym);
        attrs["kind"] = g.node_is_pi[i] ? "pi" : "sigma";
        nodes.append(nb::make_tuple(i, attrs));
    }
    graph.attr("add_nodes_from")(nodes);
    nb::list edges;
    for (const auto& e : g.edges) {
        nb::dict attrs;
        attrs["weight"] = e.w;
        edges.append(nb::make_tuple(e.u, e.v, attrs));
    }
    graph.attr("add_edges_from")(edges);
    return graph;
}

nb::dict py::subgraphs_object(const vif::OrbitalGraph& g) {
    nb::dict out;
    for (size_t a = 0; a < g.atom_first.size(); ++a) {
        nb::list nodes;
        for (int q = 0; q < g.atom_count[a]; ++q) nodes.append(g.atom_first[a] + q);
        out[nb::int_(a)] = nodes;
    }
    return out;
}

nb::dict py::pos_object(const vif::OrbitalGraph& g) {
    nb::object all = coords_to_numpy(g.pos);
    nb::dict out;
    for (int i = 0; i < g.n_nodes; ++i) out[nb::int_(i)] = all[i];
    return out;
}

nb::list py::chem_bonds_object(const vif::OrbitalGraph& g, const Molecule& mol) {
    nb::list out;
    for (const auto& c : g.chem_bonds) {
        nb::dict d;
        d["u_node"] = c.u_node;
        d["v_node"] = c.v_node;
        d["atom_u"] = c.atom_u;
        d["atom_v"] = c.atom_v;
        d["sym_u"] = mol.atoms[c.atom_u].symbol;
        d["sym_v"] = mol.atoms[c.atom_v].symbol;
        d["order"] = static_cast<long>(c.order);
        d["k"] = c.k;
        out.append(d);
    }
    return out;
}

nb::dict py::lpi_object(const vif::Inertia& in, const Eigen::VectorXd& ev) {
    nb::dict d;
    d["n+"] = in.pos;
    d["n0"] = in.zero;
    d["n-"] = in.neg;
    d["eigenvalues"] = float_vector_to_numpy(ev.data(), static_cast<size_t>(ev.size()));
    return d;
}

void add_vif(nb::module_& m) {
    m.def(
        "compute_lpi",
        [](py::GraphArg graph, double tol, py::TextArg weight) -> py::Record {
            py::tolerance(tol);
            py::GraphData g = py::read_graph(graph, weight);
            const Eigen::VectorXd ev = py::without_gil([&] { return vif::eigenvalues(g.dense()); });
            return py::lpi_object(vif::count_inertia(ev, tol), ev);
        },
        "graph"_a.none(), "tol"_a = defaults::kTol, "weight"_a.none() = "weight",
        "LPI of a weighted undirected graph: {'n+', 'n0', 'n-', 'eigenvalues'}.\n\n"
        "Counts the eigenvalues of the weighted adjacency matrix (edges without the weight\n"
        "attribute count 1.0) above tol, within [-tol, tol] and below -tol; 'eigenvalues' is the\n"
        "ascending float64 array.  An empty graph gives zero counts and an empty array.");

    m.def(
        "detect_soft_bonds",
        [](py::GraphArg graph, py::RecordsArg chem_bonds, py::MappingArg baseline_lpi, double tol) -> py::RecordList {
            py::tolerance(tol);
            py::GraphData g = py::read_graph(graph, nb::str("weight"));
            // First link of each node pair: the one a record's removal takes
            // out (one of several parallel links of a multigraph).
            std::unordered_map<uint64_t, size_t> first_link;
            for (size_t i = 0; i < g.links.size(); ++i) first_link.emplace(pair_key(g.links[i].u, g.links[i].v), i);
            nb::list records;
            std::vector<size_t> tested;
            std::vector<std::pair<int, int>> candidates;
            std::vector<double> amounts;
            for (nb::handle rec : chem_bonds) {
                nb::object u = rec["u_node"], v = rec["v_node"];
                const int iu = g.node_index(u), iv = g.node_index(v);
                if (iu < 0 || iv < 0) continue;
                auto it = first_link.find(pair_key(iu, iv));
                if (it == first_link.end()) continue;
                records.append(rec);
                tested.push_back(it->second);
                candidates.push_back({iu, iv});
                amounts.push_back(g.links[it->second].w);
            }
            nb::list softs;
            if (candidates.empty()) return softs;
            vif::Inertia base;
            base.pos = py::count_value(baseline_lpi["n+"], "baseline_lpi['n+']");
            base.zero = py::count_value(baseline_lpi["n0"], "baseline_lpi['n0']");
            base.neg = py::count_value(baseline_lpi["n-"], "baseline_lpi['n-']");
            const vif::SoftPassOptions pass = py::soft_pass(tol);
            const auto keep = py::without_gil([&] {
                return vif::inertia_preserving_links(g.dense(), candidates, base, pass,
                                                     g.multigraph ? &amounts : nullptr);
            });
            // A tested edge is put back with its weight, 1.0 when it had none.
            nb::object nodes = graph.attr("nodes")();
            nb::list order(nodes);
            for (size_t i : tested) {
                const Link& l = g.links[i];
                nb::object data = graph.attr("get_edge_data")(order[l.u], order[l.v], g.multigraph ? g.keys[i] : nb::none());
                if (!data.is_none() && !data.attr("__contains__")("weight").equal(nb::bool_(true))) data["weight"] = 1.0;
            }
            for (size_t i = 0; i < keep.size(); ++i)
                if (keep[i]) softs.append(records[i]);
            return softs;
        },
        "graph"_a.none(), "chem_bonds"_a.none(), "baseline_lpi"_a.none(), "tol"_a = defaults::kTol,
        "Chem-bond records whose orbital link can be removed without changing the LPI.\n\n"
        "Each record's link (u_node, v_node) is removed alone and the LPI of the rest compared with\n"
        "baseline_lpi (counts only).  Returns the soft records themselves, in input order; records\n"
        "whose nodes are not linked in graph are never soft.  In a multigraph a record's removal\n"
        "takes out the first of the parallel links between its nodes.  The graph is left as it was.");

    m.def(
        "_build_bond_orders",
        [](py::MolArg mol) {
            Molecule data = py::read_molecule(mol, 0);
            nb::dict out;
            for (const auto& b : data.bonds) {
                out[nb::make_tuple(b.u, b.v)] = b.order;
                out[nb::make_tuple(b.v, b.u)] = b.order;
            }
            return out;
        },
        "mol"_a.none(),
        "Integer order of every bond, both orientations: {(a, b): order}.\n\n"
        "Rounds the bond type half to even (aromatic 1.5 -> 2, 2.5 -> 2, 3.5 -> 4); zero-valued\n"
        "types (unspecified, ionic, zero) count as 1.");

    m.def(
        "_soft_pass_stats",
        [](bool reset) {
            auto& st = py::soft_pass_stats();
            nb::dict d;
            d["links"] = st.links;
            d["fast"] = st.fast;
            d["shifted"] = st.shifted;
            d["fallback"] = st.fallback;
            d["definition"] = st.definition;
            d["sparse"] = st.sparse;
            d["sparse_off"] = st.sparse_off;
            d["split_rank"] = st.split_rank;
            d["split_block"] = st.split_block;
            d["split_certificate"] = st.split_certificate;
            d["split_off"] = st.split_off;
            if (reset) st = vif::SoftPassStats{};
            return d;
        },
        "reset"_a = false,
        "Counters of the link-removal tests this thread has run so far: links tested; decided from the\n"
        "eigendecomposition by the exact split ('fast') or by the shifted counts ('shifted');\n"
        "re-counted in full because neither was clear-cut ('fallback'); counted in full because\n"
        "the fast pass was off ('definition'); and why the split did not decide ('split_*').\n"
        "Fragment subgraphs are tried first on sparse shifted factorizations: links decided there\n"
        "('sparse', also counted in 'links') and matrices left to the eigendecomposition ('sparse_off').");

    m.def(
        "_set_fast_soft_pass", [](bool enabled) { py::fast_soft_pass() = enabled; }, "enabled"_a,
        "Switches this thread's one-eigendecomposition soft-bond pass on (default) or off; off, every link\n"
        "is tested by a full eigenvalue count.  For cross-checks and benchmarks.");
}

}  // namespace tx
