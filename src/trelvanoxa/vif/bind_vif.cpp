// Python surface of the orbital graph, its LPI, soft bonds and the driver.
#include <nanobind/stl/string.h>

#include "common/interop.hpp"
#include "layout/layout_py.hpp"
#include "ms/ms_py.hpp"
#include "vif/report.hpp"
#include "vif/vif_py.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace tx {

static const char* const kUnreadable = "SMILES okunamad\u0131!";

std::optional<py::Built> py::build_graph(nb::handle smiles, long n_iter, double target_bond_len,
                                         double radius_ratio, double bond_kappa) {
    nb::object chem = package_attr("Chem");
    nb::object mol = chem.attr("MolFromSmiles")(smiles, "sanitize"_a = false);
    if (mol.is_none()) return std::nullopt;
    mol.attr("UpdatePropertyCache")("strict"_a = false);
    try {
        chem.attr("SetAromaticity")(mol);
        chem.attr("Kekulize")(mol, "clearAromaticFlags"_a = true);
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;  // let KeyboardInterrupt through
    }
    mol = chem.attr("AddHs")(mol);
    // An empty text parses to a molecule without atoms: nothing to analyse.
    if (num_atoms(mol) == 0) return std::nullopt;

    Built b;
    b.mol = mol;
    layout::LayoutParams params;
    params.n_iter = n_iter;
    params.target_bond_len = target_bond_len;
    // The molecule is read once (this also resolves element periods, so an
    // unknown element fails before any layout work); the layout reuses its bonds.
    b.data = read_molecule(mol, kAll);
    std::vector<std::pair<int, int>> bonds;
    bonds.reserve(b.data.bonds.size());
    for (const auto& bond : b.data.bonds) bonds.push_back({bond.u, bond.v});
    b.centers = atom_layout(mol, params, &bonds).first;
    b.graph = vif::build_orbital_graph(b.data, b.centers, target_bond_len * radius_ratio, bond_kappa);
    return b;
}

nb::object py::graph_object(const Built& b) {
    const auto& g = b.graph;
    nb::object graph = package_attr("nx").attr("Graph")();
    nb::list nodes;
    for (int i = 0; i < g.n_nodes; ++i) {
        const std::string& sym = b.data.atoms[g.node_atom[i]].symbol;
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

nb::list py::chem_bonds_object(const Built& b) {
    nb::list out;
    for (const auto& c : b.graph.chem_bonds) {
        nb::dict d;
        d["u_node"] = c.u_node;
        d["v_node"] = c.v_node;
        d["atom_u"] = c.atom_u;
        d["atom_v"] = c.atom_v;
        d["sym_u"] = b.data.atoms[c.atom_u].symbol;
        d["sym_v"] = b.data.atoms[c.atom_v].symbol;
        d["order"] = c.order;
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

namespace {

void emit_all(const std::vector<std::string>& lines) {
    for (const auto& l : lines) py::emit(l);
}

nb::object analyse(nb::handle smiles, long n_iter, double target_bond_len, double radius_ratio,
                   nb::handle show_spectrum, double bond_kappa, nb::handle draw_h, nb::handle verbose_h,
                   nb::handle ring_h, nb::handle recursive_h, nb::handle max_generations) {
    if (!PyUnicode_Check(smiles.ptr()))
        throw nb::type_error(("smiles must be a str, not " + py::type_name_of(smiles)).c_str());
    const bool draw = py::truthy(draw_h), verbose = py::truthy(verbose_h);
    const bool ring = py::truthy(ring_h), recursive = py::truthy(recursive_h);
    const double max_gen = py::real_value(max_generations);

    auto built = py::build_graph(smiles, n_iter, target_bond_len, radius_ratio, bond_kappa);
    if (!built) return nb::str(kUnreadable);
    const auto& g = built->graph;
    const Molecule& mol = built->data;

    std::vector<vif::Link> links;
    links.reserve(g.edges.size());
    for (const auto& e : g.edges) links.push_back({e.u, e.v, e.w});
    // One eigendecomposition gives the LPI and decides every link.
    vif::LinkRemoval removal(vif::dense_matrix(g.n_nodes, links), 1e-9);
    const Eigen::VectorXd ev = removal.eigenvalues();
    const vif::Inertia lpi = vif::count_inertia(ev, 1e-9);

    MassSum avg;
    long mass_nominal = 0;
    for (const auto& at : mol.atoms) {
        avg.add(at.mass);
        mass_nominal += at.nominal;
    }
    const double mass_avg = avg.value();
    const std::string smiles_text = py::str_of(smiles);
    if (verbose)
        emit_all(vif::report_head(smiles_text, mass_avg, mass_nominal, lpi,
                                  std::vector<double>(ev.data(), ev.data() + ev.size())));

    std::vector<std::pair<int, int>> candidates;
    candidates.reserve(g.chem_bonds.size());
    for (const auto& c : g.chem_bonds) candidates.push_back({c.u_node, c.v_node});
    const std::vector<char> keep = removal.keeping(candidates, lpi);
    std::vector<size_t> soft_idx;
    std::vector<ms::SoftBond> softs;
    for (size_t i = 0; i < keep.size(); ++i) {
        if (!keep[i]) continue;
        const auto& c = g.chem_bonds[i];
        soft_idx.push_back(i);
        softs.push_back({c.atom_u, c.atom_v, mol.atoms[c.atom_u].symbol, mol.atoms[c.atom_v].symbol,
                         static_cast<double>(c.order)});
    }
    const auto fragments = ms::predict_fragments(mol, softs, ring, 30.0);

    std::optional<std::vector<ms::Peak>> peaks;
    if (recursive) {
        std::vector<std::vector<int>> atom_nodes(mol.size());
        for (int at = 0; at < mol.size(); ++at)
            for (int q = 0; q < g.atom_count[at]; ++q) atom_nodes[at].push_back(g.atom_first[at] + q);
        std::vector<ms::ChemLink> chem;
        for (const auto& c : g.chem_bonds)
            chem.push_back({c.u_node, c.v_node, c.atom_u, c.atom_v, static_cast<double>(c.order)});
        peaks = ms::predict_recursive(mol, ms::make_view(g.n_nodes, links, std::move(atom_nodes)), chem, max_gen,
                                      25.0, true);
    }
    if (verbose) emit_all(vif::report_tail(softs.size(), fragments, peaks, py::str_of(max_generations)));

    // Python objects of the record, made once.
    nb::dict lpi_rec = py::lpi_object(lpi, ev);
    nb::list chem_bonds = py::chem_bonds_object(*built);
    nb::list soft_list;
    for (size_t i : soft_idx) soft_list.append(chem_bonds[i]);
    nb::list frag_list = py::fragment_records(fragments);
    nb::object graph = py::graph_object(*built);
    nb::dict subgraphs = py::subgraphs_object(g);
    nb::dict pos = py::pos_object(g);

    nb::dict rec;
    rec["lpi"] = lpi_rec;
    rec["soft_bonds"] = soft_list;
    rec["fragments"] = frag_list;
    if (!draw) {
        nb::list single, ringcut, ring_bonds, real;
        for (size_t i = 0; i < fragments.size(); ++i) {
            if (!fragments[i].split)
                ring_bonds.append(frag_list[i]);
            else
                (fragments[i].ring ? ringcut : single).append(frag_list[i]);
        }
        for (nb::handle f : single) real.append(f);
        for (nb::handle f : ringcut) real.append(f);
        rec["real_fragments"] = real;
        rec["single_fragments"] = single;
        rec["ringcut_fragments"] = ringcut;
        rec["ring_soft_bonds"] = ring_bonds;
        rec["recursive_peaks"] = peaks ? nb::object(py::peaks_record(*peaks)) : nb::none();
    }
    rec["graph"] = graph;
    rec["chem_bonds"] = chem_bonds;
    rec["atom_subgraphs"] = subgraphs;
    rec["pos"] = pos;
    rec["mol_mass"] = mass_nominal;
    rec["mol_mass_avg"] = mass_avg;
    return rec;
}

}  // namespace

void add_vif(nb::module_& m) {
    m.def(
        "compute_lpi",
        [](nb::handle graph, double tol, nb::handle weight) {
            py::require_graph(graph);
            if (nb::cast<long>(graph.attr("number_of_nodes")()) == 0)
                return py::lpi_object(vif::Inertia{}, Eigen::VectorXd());
            py::GraphData g = py::read_graph(graph, weight);
            const Eigen::VectorXd ev = vif::eigenvalues(g.dense());
            return py::lpi_object(vif::count_inertia(ev, tol), ev);
        },
        "graph"_a.none(), "tol"_a = 1e-9, "weight"_a.none() = "weight",
        "LPI of a weighted undirected graph: {'n+', 'n0', 'n-', 'eigenvalues'}.\n\n"
        "Counts the eigenvalues of the weighted adjacency matrix (edges without the weight\n"
        "attribute count 1.0) above tol, within [-tol, tol] and below -tol; 'eigenvalues' is the\n"
        "ascending float64 array.  An empty graph gives zero counts and an empty array.");

    m.def(
        "detect_soft_bonds",
        [](nb::handle graph, nb::handle chem_bonds, nb::handle baseline_lpi, double tol) {
            py::GraphData g = py::read_graph(graph, nb::str("weight"));
            std::unordered_set<uint64_t> edges;
            for (const auto& l : g.links) edges.insert(pair_key(l.u, l.v));
            nb::list records, tested_nodes;
            std::vector<std::pair<int, int>> candidates;
            for (nb::handle rec : chem_bonds) {
                nb::object u = rec["u_node"], v = rec["v_node"];
                const int iu = g.node_index(u), iv = g.node_index(v);
                if (iu < 0 || iv < 0 || !edges.count(pair_key(iu, iv))) continue;
                records.append(rec);
                tested_nodes.append(nb::make_tuple(u, v));
                candidates.push_back({iu, iv});
            }
            nb::list softs;
            if (candidates.empty()) return softs;
            vif::Inertia base;
            base.pos = nb::cast<long>(baseline_lpi["n+"]);
            base.zero = nb::cast<long>(baseline_lpi["n0"]);
            base.neg = nb::cast<long>(baseline_lpi["n-"]);
            Eigen::MatrixXd a = g.dense();
            const auto keep = vif::inertia_preserving_links(a, candidates, base, tol);
            // A tested edge is put back with its weight, 1.0 when it had none.
            for (nb::handle uv : tested_nodes) {
                nb::object data = graph[uv[0]][uv[1]];
                if (!data.attr("__contains__")("weight").equal(nb::bool_(true))) data["weight"] = 1.0;
            }
            for (size_t i = 0; i < keep.size(); ++i)
                if (keep[i]) softs.append(records[i]);
            return softs;
        },
        "graph"_a.none(), "chem_bonds"_a.none(), "baseline_lpi"_a.none(), "tol"_a = 1e-9,
        "Chem-bond records whose orbital link can be removed without changing the LPI.\n\n"
        "Each record's link (u_node, v_node) is removed alone and the LPI of the rest compared with\n"
        "baseline_lpi (counts only).  Returns the soft records themselves, in input order; records\n"
        "whose nodes are not linked in graph are never soft.  The graph is left as it was.");

    m.def(
        "_build_bond_orders",
        [](nb::handle mol) {
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
        "build_vif_graph",
        [](nb::handle smiles, long n_iter, double target_bond_len, double radius_ratio,
           double bond_kappa) -> nb::object {
            auto b = py::build_graph(smiles, n_iter, target_bond_len, radius_ratio, bond_kappa);
            if (!b) return nb::none();
            return nb::make_tuple(b->mol, py::graph_object(*b), py::subgraphs_object(b->graph),
                                  py::pos_object(b->graph), py::chem_bonds_object(*b));
        },
        "smiles"_a.none(), "n_iter"_a = 600, "target_bond_len"_a = 1.5, "radius_ratio"_a = 0.23, "bond_kappa"_a = 0.9,
        "First stage of VIF: (mol, H, atom_subgraphs, pos, chem_bonds), or None when the SMILES\n"
        "cannot be read.");

    m.def(
        "_soft_pass_stats",
        [](bool reset) {
            auto& st = vif::soft_pass_stats();
            nb::dict d;
            d["links"] = st.links;
            d["fast"] = st.fast;
            d["shifted"] = st.shifted;
            d["fallback"] = st.fallback;
            d["definition"] = st.definition;
            d["split_rank"] = st.split_rank;
            d["split_block"] = st.split_block;
            d["split_certificate"] = st.split_certificate;
            d["split_off"] = st.split_off;
            if (reset) st = vif::SoftPassStats{};
            return d;
        },
        "reset"_a = false,
        "Counters of the link-removal tests run so far: links tested; decided from the\n"
        "eigendecomposition by the exact split ('fast') or by the shifted counts ('shifted');\n"
        "re-counted in full because neither was clear-cut ('fallback'); counted in full because\n"
        "the fast pass was off ('definition'); and why the split did not decide ('split_*').");

    m.def(
        "_set_fast_soft_pass", [](bool enabled) { vif::set_fast_soft_pass(enabled); }, "enabled"_a,
        "Switches the one-eigendecomposition soft-bond pass on (default) or off; off, every link\n"
        "is tested by a full eigenvalue count.  For cross-checks and benchmarks.");

    m.def("VIF", &analyse, "smiles"_a.none(), "n_iter"_a = 600, "target_bond_len"_a = 1.5, "radius_ratio"_a = 0.23,
          "show_spectrum"_a.none() = true, "bond_kappa"_a = 0.9, "draw"_a.none() = true, "verbose"_a.none() = true,
          "ring_fragmentation"_a.none() = false, "recursive_ms"_a.none() = false, "max_generations"_a.none() = 2,
          "Analyses one molecule given as SMILES and returns its VIF result record.\n\n"
          "Builds the orbital graph, computes its LPI, finds the soft bonds and predicts EI-MS\n"
          "fragments (ring double cuts with ring_fragmentation; multi-generation peaks with\n"
          "recursive_ms up to max_generations).  Prints a report when verbose; with draw, draws the\n"
          "graph (and the spectrum when show_spectrum) and shows the figures.  The record has 14 keys\n"
          "with draw off and 9 with draw on.  Returns the text 'SMILES okunamad\u0131!' when the SMILES\n"
          "cannot be read.");
}

}  // namespace tx
