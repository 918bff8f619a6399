// Python surface of the whole analysis: the VIF record and the graph builder.
#include <nanobind/stl/string.h>

#include <algorithm>
#include <numeric>
#include <optional>

#include "analysis/analysis.hpp"
#include "common/defaults.hpp"
#include "hints.hpp"
#include "values.hpp"
#include "rdkit_mol.hpp"
#include "layout_py.hpp"
#include "ms_py.hpp"
#include "vif_py.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace tx {

namespace {

const char* const kUnreadable = "SMILES okunamad\u0131!";

// The package's own ValueError subclass for a SMILES that cannot be read, so
// callers tell it from other failures (an unknown element) by type.
[[noreturn]] void raise_unreadable() {
    nb::object cls = nb::module_::import_("trelvanoxa._errors").attr("UnreadableSmilesError");
    PyErr_SetString(cls.ptr(), kUnreadable);
    throw nb::python_error();
}

// The molecule an analysis works on: parsed without sanitising, aromaticity
// perceived and kekulized (errors ignored), explicit hydrogens added.  None
// when the text cannot be read or holds no atom.
nb::object prepare_molecule(nb::handle smiles) {
    nb::object chem = py::package_attr("Chem");
    nb::object mol = chem.attr("MolFromSmiles")(smiles, "sanitize"_a = false);
    if (mol.is_none()) return nb::none();
    mol.attr("UpdatePropertyCache")("strict"_a = false);
    try {
        chem.attr("SetAromaticity")(mol);
        chem.attr("Kekulize")(mol, "clearAromaticFlags"_a = true);
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;  // let KeyboardInterrupt through
    }
    mol = chem.attr("AddHs")(mol);
    if (py::num_atoms(mol) == 0) return nb::none();
    return mol;
}

// Reads the prepared molecule once (this also resolves element periods, so
// an unknown element fails before any layout work) and its depiction.
analysis::Input read_input(nb::handle mol) {
    analysis::Input in;
    in.mol = py::read_molecule(mol, py::kAll);
    py::Depiction d = py::depict(mol);
    in.depiction = std::move(d.coords);
    in.ranks = std::move(d.rank_values);
    return in;
}

analysis::Analysis run(analysis::Input& in, const analysis::Options& options) {
    return py::with_jitter([&](const layout::Jitter& jitter) {
        in.jitter = jitter;
        return analysis::analyse(in, options);
    });
}

analysis::Options layout_options(long n_iter, double target_bond_len, double radius_ratio, double bond_kappa) {
    analysis::Options o;
    o.layout = py::layout_params(n_iter, target_bond_len, defaults::kRepulsionFactor, defaults::kAttraction,
                                 defaults::kRepulsion);
    o.radius_ratio = py::finite_value(radius_ratio, "radius_ratio");
    o.bond_kappa = py::finite_value(bond_kappa, "bond_kappa");
    return o;
}

nb::dict record(const analysis::Analysis& a, const Molecule& mol) {
    const auto& g = a.graph;
    nb::dict lpi = py::lpi_object(a.lpi, a.eigenvalues);
    nb::list chem_bonds = py::chem_bonds_object(g, mol);
    nb::list soft;
    for (size_t i : a.soft) soft.append(chem_bonds[i]);
    nb::list frags = py::fragment_records(a.fragments);
    nb::list single, ringcut, ring_bonds, real;
    for (size_t i = 0; i < a.fragments.size(); ++i) {
        if (!a.fragments[i].split)
            ring_bonds.append(frags[i]);
        else
            (a.fragments[i].ring ? ringcut : single).append(frags[i]);
    }
    for (nb::handle f : single) real.append(f);
    for (nb::handle f : ringcut) real.append(f);

    nb::dict rec;
    rec["lpi"] = lpi;
    rec["soft_bonds"] = soft;
    rec["fragments"] = frags;
    rec["real_fragments"] = real;
    rec["single_fragments"] = single;
    rec["ringcut_fragments"] = ringcut;
    rec["ring_soft_bonds"] = ring_bonds;
    rec["recursive_peaks"] = a.peaks ? nb::object(py::peaks_record(*a.peaks)) : nb::none();
    rec["graph"] = py::graph_object(g, mol);
    rec["chem_bonds"] = chem_bonds;
    rec["atom_subgraphs"] = py::subgraphs_object(g);
    rec["pos"] = py::pos_object(g);
    rec["mol_mass"] = a.mass_nominal;
    rec["mol_mass_avg"] = a.mass_avg;
    return rec;
}

// Bond labels, fragments and peaks as plain JSON-ready values.
nb::dict compact_record(const analysis::Analysis& a, const Molecule& mol) {
    nb::dict rec;
    rec["lpi"] = nb::make_tuple(a.lpi.pos, a.lpi.zero, a.lpi.neg);
    nb::list soft;
    for (size_t i : a.soft) {
        const ChemBond& c = a.graph.chem_bonds[i];
        soft.append(ms::pair_label(mol, c.atom_u, c.atom_v));
    }
    rec["soft_bonds"] = soft;
    rec["fragments"] = py::fragment_records(a.fragments);
    if (a.peaks) {
        nb::list peaks;
        for (const auto& p : *a.peaks) {
            nb::dict d;
            d["mz"] = p.mz;
            d["formula"] = p.formula;
            d["generation"] = p.generation;
            peaks.append(d);
        }
        rec["peaks"] = peaks;
    } else {
        rec["peaks"] = nb::none();
    }
    std::vector<int> everything(mol.size());
    std::iota(everything.begin(), everything.end(), 0);
    rec["formula"] = ms::formula(mol, everything);
    rec["mol_mass"] = a.mass_nominal;
    rec["mol_mass_avg"] = a.mass_avg;
    return rec;
}

// RDKit reads a SMILES up to the first blank (space, tab or newline) after
// any leading ones and takes the rest as the molecule's name.  The report
// names the part read, and says so when that is not the whole text.
void set_title(nb::handle smiles, analysis::Options& o) {
    const std::string text = py::str_of(smiles);
    const char* blanks = " \t\n";
    const size_t start = std::min(text.find_first_not_of(blanks), text.size());
    const std::string read = text.substr(start, text.find_first_of(blanks, start) - start);
    o.title = read;
    if (read == text) return;
    const bool named = text.find_first_not_of(blanks, start + read.size()) != std::string::npos;
    o.title_note = "(RDKit read " + py::str_of(nb::repr(nb::str(read.c_str(), read.size()))) + " as the SMILES of " +
                   py::str_of(nb::repr(smiles)) + (named ? "; the text after the blank is its name)" : ")");
}

void require_str(nb::handle smiles) {
    if (!PyUnicode_Check(smiles.ptr()))
        throw nb::type_error(("smiles must be a str, not " + py::type_name_of(smiles)).c_str());
}

nb::object vif_record(py::TextArg smiles, long n_iter, double target_bond_len, double radius_ratio, double bond_kappa,
    py::FlagArg verbose, py::FlagArg ring, py::FlagArg recursive, py::RealArg max_generations) {
    require_str(smiles);
    analysis::Options o = layout_options(n_iter, target_bond_len, radius_ratio, bond_kappa);
    o.report = py::truthy(verbose);
    o.ring_fragmentation = py::truthy(ring);
    o.recursive = py::truthy(recursive);
    o.max_generations = py::generation_count(max_generations);
    o.generations_text = py::str_of(max_generations);
    o.fast_soft_pass = py::fast_soft_pass();
    set_title(smiles, o);

    nb::object mol = prepare_molecule(smiles);
    if (mol.is_none()) return nb::str(kUnreadable);
    analysis::Input in = read_input(mol);
    // The report's head is out before the soft-bond pass and fragmentation.
    std::optional<analysis::Analyser> an;
    py::with_jitter([&](const layout::Jitter& jitter) {
        in.jitter = jitter;
        an.emplace(in, o);
        an->prepare();
    });
    if (o.report)
        for (const auto& line : an->head()) py::emit(line);
    py::without_gil([&] { an->finish(); });
    const analysis::Analysis& a = an->result();
    py::soft_pass_stats() += a.stats;
    if (o.report)
        for (const auto& line : an->tail()) py::emit(line);
    return record(a, in.mol);
}

}  // namespace

namespace {

py::Record analyse_compact(py::TextArg smiles, bool ring_fragmentation, bool recursive, py::RealArg max_generations,
    bool all_soft, bool verbose) {
    require_str(smiles);
    analysis::Options o;
    o.report = verbose;
    o.ring_fragmentation = ring_fragmentation;
    o.recursive = recursive;
    o.max_generations = py::generation_count(max_generations);
    o.generations_text = py::str_of(max_generations);
    o.all_soft = all_soft;
    o.fast_soft_pass = py::fast_soft_pass();
    o.layout.pair_list = py::layout_pair_list();
    o.eigenvalues = verbose;  // only the printed report shows them
    set_title(smiles, o);
    nb::object mol = prepare_molecule(smiles);
    if (mol.is_none()) raise_unreadable();
    analysis::Input in = read_input(mol);
    const analysis::Analysis a = run(in, o);
    for (const auto& line : a.report) py::emit(line);
    return compact_record(a, in.mol);
}

nb::object build_vif_graph(py::TextArg smiles, long n_iter, double target_bond_len, double radius_ratio,
    double bond_kappa) {
    nb::object mol = prepare_molecule(smiles);
    if (mol.is_none()) return nb::none();
    analysis::Input in = read_input(mol);
    const analysis::Options o = layout_options(n_iter, target_bond_len, radius_ratio, bond_kappa);
    const vif::OrbitalGraph g = py::with_jitter([&](const layout::Jitter& jitter) {
        const auto centers = layout::atom_layout(in.mol, in.depiction, in.ranks, jitter, o.layout);
        return vif::build_orbital_graph(in.mol, centers, o.layout.target_bond_len * o.radius_ratio,
                                        o.bond_kappa);
    });
    return nb::make_tuple(mol, py::graph_object(g, in.mol), py::subgraphs_object(g), py::pos_object(g),
                          py::chem_bonds_object(g, in.mol));
}

}  // namespace

void add_analysis(nb::module_& m) {
    m.def("_vif_record", &vif_record, "smiles"_a.none(), "n_iter"_a = defaults::kLayoutIterations,
          "target_bond_len"_a = defaults::kTargetBondLen, "radius_ratio"_a = defaults::kRadiusRatio,
          "bond_kappa"_a = defaults::kBondKappa, "verbose"_a.none() = true, "ring_fragmentation"_a.none() = false,
          "recursive_ms"_a.none() = false, "max_generations"_a.none() = defaults::kDriverGenerations,
          "The analysis behind VIF: prints the report when verbose and returns the full record\n"
          "(the 14 keys of VIF with draw off), or the text 'SMILES okunamad\u0131!' when the SMILES\n"
          "cannot be read.  Draws nothing.");

    m.def(
        "analyse_compact",
        &analyse_compact,
        "smiles"_a.none(), "ring_fragmentation"_a = false, "recursive"_a = false,
        "max_generations"_a.none() = defaults::kDriverGenerations, "all_soft"_a = false, "verbose"_a = false,
        "One molecule analysed without building graphs or figures: a dict with 'lpi' (n+, n0, n-),\n"
        "'soft_bonds' (bond labels such as 'C0-O1'), 'fragments' (as VIF's), 'peaks' (multi-generation\n"
        "peaks as {'mz', 'formula', 'generation'} dicts in discovery order, or None without\n"
        "recursive), 'formula' (of the whole molecule), 'mol_mass' and 'mol_mass_avg'.  With\n"
        "all_soft every chem bond is cut as if soft; with verbose the report VIF prints is printed\n"
        "too.  Raises UnreadableSmilesError('SMILES okunamad\u0131!'), a ValueError, when the SMILES\n"
        "cannot be read.");

    m.def(
        "build_vif_graph",
        &build_vif_graph,
        "smiles"_a.none(), "n_iter"_a = defaults::kLayoutIterations, "target_bond_len"_a = defaults::kTargetBondLen,
        "radius_ratio"_a = defaults::kRadiusRatio, "bond_kappa"_a = defaults::kBondKappa,
        "First stage of VIF: (mol, H, atom_subgraphs, pos, chem_bonds), or None when the SMILES\n"
        "cannot be read.");

    m.def(
        "_prepare_molecule", [](py::TextArg smiles) { return prepare_molecule(smiles); }, "smiles"_a.none(),
        "The RDKit molecule an analysis works on: parsed without sanitising, aromaticity perceived and\n"
        "kekulized (errors ignored), explicit hydrogens added; None when the SMILES cannot be read.");
}

}  // namespace tx
