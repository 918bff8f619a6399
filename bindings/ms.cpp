// Python surface of the fragment predictors.
#include <algorithm>
#include <cmath>
#include <limits>

#include "common/defaults.hpp"
#include "hints.hpp"
#include "values.hpp"
#include "rdkit_mol.hpp"
#include "nx_graph.hpp"
#include "ms/fragments.hpp"
#include "ms_py.hpp"
#include "vif_py.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace tx {

nb::list py::fragment_records(const std::vector<ms::FragmentRecord>& records) {
    nb::list out;
    for (const auto& r : records) {
        nb::dict d;
        d["bond"] = r.bond;
        d["split"] = r.split;
        d["mode"] = r.ring ? "ring" : "single";
        if (r.split) {
            nb::list frags;
            for (const auto& f : r.fragments) frags.append(nb::make_tuple(f.formula, f.mass, f.mz));
            d["fragments"] = frags;
        } else {
            d["fragments"] = nb::none();
        }
        out.append(d);
    }
    return out;
}

nb::dict py::peaks_record(const std::vector<ms::Peak>& peaks) {
    nb::dict out;
    for (const auto& p : peaks) {
        nb::dict e;
        e["formula"] = p.formula;
        e["generation"] = p.generation;
        out[nb::int_(p.mz)] = e;
    }
    return out;
}

long py::generation_count(nb::handle value) {
    const double x = real_value(value, "max_generations");
    if (std::isnan(x)) throw nb::value_error("max_generations must be a number, not nan");
    // Generations run while gen < max_generations: a fraction counts as the
    // next whole number, anything at or below zero as none.
    if (x <= 0) return 0;
    if (x >= static_cast<double>(std::numeric_limits<int>::max())) return std::numeric_limits<int>::max();
    return static_cast<long>(std::ceil(x));
}

namespace {

using py::atom_index;

double number(nb::handle v, const char* what) { return py::finite_value(v, what); }

// Atoms of an atom set in iteration order, each once; indices are checked.
std::vector<int> atom_list(nb::handle atom_set, long n_atoms) {
    std::vector<int> out;
    std::vector<char> have(n_atoms, 0);
    for (nb::handle a : atom_set) {
        const int i = atom_index(a, n_atoms, "atom index");
        if (!have[i]) {
            have[i] = 1;
            out.push_back(i);
        }
    }
    return out;
}

// Atom index of a record field, or -1 when it is not an atom of the molecule.
int optional_atom(nb::handle v, long n_atoms) {
    nb::object idx = nb::steal(PyNumber_Index(v.ptr()));
    if (!idx.is_valid()) {
        PyErr_Clear();
        return -1;
    }
    int overflow = 0;
    const long long i = PyLong_AsLongLongAndOverflow(idx.ptr(), &overflow);
    if (i == -1 && PyErr_Occurred()) throw nb::python_error();
    return (overflow != 0 || i < 0 || i >= n_atoms) ? -1 : static_cast<int>(i);
}

double record_order(nb::handle rec) { return number(rec.attr("get")("order", 1), "order"); }

// Orbital graph of H with the node lists of atoms 0..n_atoms-1 (read from
// atom_subgraphs), and the chem-bond records as links.
struct FragmentInputs {
    py::GraphData graph;
    ms::OrbitalView view;
    ChemBonds links;
};

FragmentInputs read_fragment_inputs(nb::handle H, nb::handle atom_subgraphs, nb::handle chem_bonds,
                                    const std::vector<nb::object>& atom_keys, nb::handle atom_pos) {
    FragmentInputs in;
    in.graph = py::read_graph(H, nb::str("weight"));
    std::vector<std::vector<int>> atom_nodes;
    for (const auto& key : atom_keys) {
        std::vector<int> nodes;
        for (nb::handle node : atom_subgraphs[key]) {
            const int i = in.graph.node_index(node);
            if (i >= 0) nodes.push_back(i);
        }
        atom_nodes.push_back(std::move(nodes));
    }
    in.view = ms::make_view(in.graph.n, in.graph.links, std::move(atom_nodes));
    // Atom keys map to their position in atom_keys via atom_pos (a dict).
    auto atom_of = [&](nb::handle key) -> int {
        const int r = PyDict_Contains(atom_pos.ptr(), key.ptr());
        if (r < 0) {
            PyErr_Clear();
            return -1;
        }
        return r ? nb::cast<int>(atom_pos[key]) : -1;
    };
    for (nb::handle cb : chem_bonds) {
        nb::object au = cb["atom_u"], av = cb["atom_v"];
        const int a = atom_of(au), b = atom_of(av);
        int un = -1, vn = -1;
        if (a >= 0 && b >= 0) {
            un = in.graph.node_index(cb["u_node"]);
            vn = in.graph.node_index(cb["v_node"]);
        }
        double order = 1.0;
        if (nb::hasattr(cb, "get")) order = record_order(cb);
        in.links.push_back({un, vn, a, b, order, 0});
    }
    return in;
}

auto fragment_formula(py::MolArg mol, py::IndicesArg atom_indices) {
    py::require_mol(mol);
    return py::reading_mol([&] {
        const long n = py::num_atoms(mol);
        std::vector<std::string> symbols;
        for (nb::handle i : atom_indices)
            symbols.push_back(py::text_value(
                mol.attr("GetAtomWithIdx")(atom_index(i, n, "atom index")).attr("GetSymbol")(), "GetSymbol()"));
        return ms::formula_from_symbols(symbols);
    });
}

auto pair_label(py::MolArg mol, py::arg<int> i, py::arg<int> j) {
    py::require_mol(mol);
    return py::reading_mol([&] {
        const long n = py::num_atoms(mol);
        const int a = atom_index(i, n, "i"), b = atom_index(j, n, "j");
        const std::string s = py::text_value(mol.attr("GetAtomWithIdx")(a).attr("GetSymbol")(), "GetSymbol()");
        const std::string t = py::text_value(mol.attr("GetAtomWithIdx")(b).attr("GetSymbol")(), "GetSymbol()");
        return ms::bond_label(s, a, t, b);
    });
}

py::RecordList predict_fragments(py::MolArg mol, py::RecordsArg soft_bonds, py::FlagArg ring_fragmentation, py::RealArg min_ring_fragment_mz) {
    Molecule data = py::read_molecule(mol, py::kSymbols | py::kMasses | py::kNominal);
    ChemBonds softs;
    std::vector<std::string> labels;
    for (nb::handle s : soft_bonds) {
        nb::object au = s["atom_u"], av = s["atom_v"], su = s["sym_u"], sv = s["sym_v"], order = s["order"];
        ChemBond c;
        c.atom_u = atom_index(au, data.size(), "atom_u");
        c.atom_v = atom_index(av, data.size(), "atom_v");
        c.order = number(order, "order");
        softs.push_back(c);
        labels.push_back(ms::bond_label(py::str_of(su), c.atom_u, py::str_of(sv), c.atom_v));
    }
    const bool ring = py::truthy(ring_fragmentation);
    const double min_mz = number(min_ring_fragment_mz, "min_ring_fragment_mz");
    auto records =
        py::without_gil([&] { return ms::predict_fragments(data, softs, labels, ring, min_mz); });
    return py::fragment_records(records);
}

py::RecordList fragment_atom_softs(py::GraphArg H, py::MappingArg atom_subgraphs, py::RecordsArg chem_bonds, py::IndicesArg atom_set, double tol) {
    std::vector<nb::object> keys;
    nb::dict pos;
    for (nb::handle a : atom_set) {
        const int seen = PyDict_Contains(pos.ptr(), a.ptr());
        if (seen < 0) throw nb::python_error();  // an unhashable atom key
        if (seen == 1) continue;
        pos[a] = static_cast<long>(keys.size());
        keys.push_back(nb::borrow(a));
    }
    nb::list records;
    for (nb::handle cb : chem_bonds) records.append(cb);
    py::tolerance(tol);
    FragmentInputs in = read_fragment_inputs(H, atom_subgraphs, records, keys, pos);
    std::vector<int> all(keys.size());
    for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<int>(i);
    const vif::SoftPassOptions pass = py::soft_pass(tol);
    const auto soft = py::without_gil(
        [&] { return ms::fragment_soft_links(in.view, in.links, all, static_cast<int>(keys.size()), pass); });
    nb::list out;
    for (int i : soft) out.append(records[i]);
    return out;
}

auto cut_atom_set(py::MolArg mol, py::IndicesArg atom_set, py::RecordsArg softs, py::FlagArg ring_fragmentation, py::RealArg min_mz) {
    Molecule data = py::read_molecule(mol, py::kMasses);
    const std::vector<int> atoms = atom_list(atom_set, data.size());
    ChemBonds links;
    for (nb::handle s : softs) {
        nb::object au = s["atom_u"], av = s["atom_v"];
        const int a = optional_atom(au, data.size()), b = optional_atom(av, data.size());
        if (a < 0 || b < 0) continue;
        ChemBond c;
        c.atom_u = a;
        c.atom_v = b;
        c.order = record_order(s);
        links.push_back(c);
    }
    const bool ring = py::truthy(ring_fragmentation);
    const double mz = number(min_mz, "min_mz");
    auto children = py::without_gil([&] { return ms::cut_atom_set(data, atoms, links, ring, mz); });
    nb::object frozenset = nb::module_::import_("builtins").attr("frozenset");
    nb::set out;
    for (const auto& c : children) {
        nb::list l;
        for (int a : c) l.append(a);
        out.add(frozenset(l));
    }
    return out;
}

nb::typed<nb::dict, int, py::Record> predict_fragments_recursive(py::MolArg mol, py::GraphArg H, py::MappingArg atom_subgraphs, py::RecordsArg chem_bonds, py::RealArg max_generations,
           py::RealArg min_mz, py::FlagArg ring_fragmentation) {
    Molecule data = py::read_molecule(mol, py::kSymbols | py::kMasses | py::kNominal);
    const long max_gen = py::generation_count(max_generations);
    std::vector<nb::object> keys;
    nb::dict pos;
    // Only expanded fragments need orbital nodes.
    if (max_gen > 0)
        for (long i = 0; i < data.size(); ++i) {
            pos[nb::int_(i)] = i;
            keys.push_back(nb::int_(i));
        }
    FragmentInputs in = read_fragment_inputs(H, atom_subgraphs, chem_bonds, keys, pos);
    const double mz = number(min_mz, "min_mz");
    const bool ring = py::truthy(ring_fragmentation);
    const vif::SoftPassOptions pass = py::soft_pass(defaults::kTol);
    auto peaks = py::without_gil(
        [&] { return ms::predict_recursive(data, in.view, in.links, max_gen, mz, ring, pass); });
    return py::peaks_record(peaks);
}

}  // namespace

void add_ms(nb::module_& m) {
    m.def("_fragment_formula", &fragment_formula,
        "mol"_a.none(), "atom_indices"_a.none(),
        "Formula of the listed atoms: C, then H, then other symbols in code-point order (C6H5, HCl, CBrCl).");

    m.def(
        "_pair_label",
        &pair_label,
        "mol"_a.none(), "i"_a.none(), "j"_a.none(), "Label of an atom pair by symbol and index, for example C1-O4.");

    m.def(
        "predict_fragments",
        &predict_fragments,
        "mol"_a.none(), "soft_bonds"_a.none(), "ring_fragmentation"_a.none() = false,
        "min_ring_fragment_mz"_a.none() = static_cast<long>(defaults::kMinRingFragmentMz),
        "Predicted EI-MS fragments from cutting the molecule at its soft bonds.\n\n"
        "Each distinct soft atom pair is cut once: a cut that splits the molecule gives a record\n"
        "{'bond', 'split': True, 'mode': 'single', 'fragments': [(formula, mass, m/z), ...]} (heavier\n"
        "first); a ring bond gives 'split' False and 'fragments' None.  A multiple bond whose cut\n"
        "would leave a single heavy atom is not cut.  With ring_fragmentation, every pair of soft\n"
        "ring bonds is cut together ('mode' 'ring'), keeping cuts whose lighter piece reaches\n"
        "min_ring_fragment_mz and one cut per pair of m/z values.");

    m.def(
        "_fragment_atom_softs",
        &fragment_atom_softs,
        "H"_a.none(), "atom_subgraphs"_a.none(), "chem_bonds"_a.none(), "atom_set"_a.none(), "tol"_a = defaults::kTol,
        "Chem-bond records inside atom_set whose link can be removed without changing the LPI of\n"
        "the fragment's own induced orbital subgraph (its baseline, not the molecule's).\n"
        "H is not modified; the records themselves are returned.");

    m.def(
        "_cut_atom_set",
        &cut_atom_set,
        "mol"_a.none(), "atom_set"_a.none(), "softs"_a.none(), "ring_fragmentation"_a.none(), "min_mz"_a.none(),
        "Child atom sets (frozensets) from cutting atom_set at the given soft bonds.\n\n"
        "Single cuts at each soft atom pair (highest order of its records; a multiple bond that would\n"
        "leave one heavy atom is not cut) and, with ring_fragmentation, double cuts of soft ring bonds\n"
        "whose lighter piece has an average mass of at least min_mz.");

    m.def(
        "predict_fragments_recursive",
        &predict_fragments_recursive,
        "mol"_a.none(), "H"_a.none(), "atom_subgraphs"_a.none(), "chem_bonds"_a.none(),
        "max_generations"_a.none() = defaults::kRecursiveGenerations,
        "min_mz"_a.none() = static_cast<long>(defaults::kMinRecursiveMz),
        "ring_fragmentation"_a.none() = true,
        "Multi-generation fragmentation: peaks record {m/z: {'formula', 'generation'}}.\n\n"
        "The molecule (generation 0) is cut at the bonds soft within it; each new fragment is\n"
        "re-examined on its own orbital subgraph and cut again, breadth first, until generation\n"
        "max_generations.  The first fragment found at an m/z keeps the peak.  Children of one cut\n"
        "are visited in ascending order of their sorted atom indices.");
}

}  // namespace tx
