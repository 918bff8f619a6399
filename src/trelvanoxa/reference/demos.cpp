// Demonstrations: the substituted-halogen test (also the script entry) and
// the nitrile + azo + aryl chloride molecule.
#include <nanobind/stl/string.h>

#include "figures/figures.hpp"
#include "figures/savefig.hpp"
#include "reference/reference.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace tx::reference {

namespace {

// The halogen figure adds bromine (brown) and drops Li, B, S and P.
const figures::ColorMap& halogen_colors() {
    static const figures::ColorMap colors = {{"C", "red"}, {"H", "skyblue"}, {"Cl", "lightgreen"}, {"O", "red"},
                                             {"N", "violet"}, {"F", "yellow"}, {"Br", "brown"}};
    return colors;
}

bool contains(nb::handle text, const char* part) {
    const int r = PySequence_Contains(text.ptr(), nb::str(part).ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

// formula(m/z) of every fragment of a record, joined by `sep`.
std::string fragment_list(nb::handle frags, const char* sep) {
    std::string out;
    bool first = true;
    for (nb::handle fr : frags) {
        if (!first) out += sep;
        first = false;
        out += py::str_of(fr[0]) + "(" + py::str_of(fr[2]) + ")";
    }
    return out;
}

// Cleavages of bonds to a halogen, e.g. "Cl0-C1->C6H5(77),Cl(35)".
std::string halogen_cuts(nb::handle fragments) {
    std::string out;
    for (nb::handle f : fragments) {
        if (!py::truthy(f["split"])) continue;
        nb::object bond = f["bond"];
        if (!contains(bond, "Cl") && !contains(bond, "F") && !contains(bond, "Br")) continue;
        if (!out.empty()) out += "; ";
        out += py::str_of(bond) + "->" + fragment_list(f["fragments"], ",");
    }
    return out.empty() ? "C-X does NOT cleave" : out;
}

nb::list halogen_test(nb::handle molekuller, nb::handle panel_n, nb::handle save) {
    nb::object rows = molekuller.is_none() ? py::package_attr("HALOGEN_TESTS") : nb::borrow(molekuller);
    nb::object vif = py::package_attr("VIF");
    nb::object plt = py::package_attr("plt");
    nb::object nx = py::package_attr("nx");

    py::emit(rule(78));
    py::emit("SUBSTITUTED-HALOGEN TEST \u2014 K4 (square) representation");
    py::emit(rule(78));

    nb::list sonuc;
    for (nb::handle row : rows) {
        auto cols = unpack(row, 3);
        nb::handle ad = cols[0], smi = cols[1], note = cols[2];
        nb::object r = vif(smi, "draw"_a = false, "verbose"_a = false, "show_spectrum"_a = false);
        nb::object lpi = r["lpi"];
        const std::string cx = halogen_cuts(r["fragments"]);
        py::emit(ljust(ad, 24) + " LPI=" + ljust(nb::str(lpi_triple(lpi).c_str()), 12) + " | C-X: " + cx);
        py::emit(std::string(24, ' ') + " [" + py::str_of(note) + "]");
        sonuc.append(nb::make_tuple(ad, smi, r));
    }

    // sonuc[:panel_n]: None or a count beyond the rows keeps them all.
    nb::object pnl = sonuc.attr("__getitem__")(nb::slice(nb::none(), panel_n, nb::none()));
    const size_t n = nb::len(pnl);
    nb::object made = plt.attr("subplots")(2, n, "figsize"_a = nb::make_tuple(5 * n, 8.8), "squeeze"_a = false);
    nb::object fig = made[0], axes = made[1];
    nb::object plot = py::package_attr("plot_mass_spectrum");
    for (size_t col = 0; col < n; ++col) {
        nb::object entry = pnl[col];
        nb::object ad = entry[0], r = entry[2];
        nb::object axg = axes[0][col];
        axg.attr("axis")("off");
        nb::object H = r["graph"], pos = r["pos"];
        auto [ess, sof] = figures::split_edges(H, figures::soft_pair_set(r["soft_bonds"]));
        nb::list colors = figures::node_colors(H, halogen_colors());
        nx.attr("draw_networkx_nodes")(H, pos, "node_color"_a = colors, "node_size"_a = 90, "alpha"_a = 0.9,
                                       "ax"_a = axg);
        nx.attr("draw_networkx_edges")(H, pos, "edgelist"_a = ess, "edge_color"_a = "black", "width"_a = 0.8,
                                       "alpha"_a = 0.7, "ax"_a = axg);
        nx.attr("draw_networkx_edges")(H, pos, "edgelist"_a = sof, "edge_color"_a = "red", "width"_a = 1.3,
                                       "style"_a = "dashed", "alpha"_a = 0.9, "ax"_a = axg);
        nb::object lpi = r["lpi"];
        axg.attr("set_title")(py::str_of(ad) + "\nLPI = {" + py::str_of(lpi["n+"]) + ", " + py::str_of(lpi["n0"]) +
                                  ", " + py::str_of(lpi["n-"]) + "}",
                              "fontsize"_a = 11);
        axg.attr("set_aspect")("equal");
        nb::object axs = axes[1][col];
        plot(ad, r["mol_mass"], r["fragments"], "ax"_a = axs);
        axs.attr("title").attr("set_fontsize")(9);
    }
    fig.attr("suptitle")("Substituted-halogen test (K4/square): structure (top) + MS (bottom)", "fontsize"_a = 14);
    plt.attr("tight_layout")();
    if (py::truthy(save)) {
        figures::savefig_tight(save, 120);
        py::emit(rule(78));
        py::emit("Panel saved: " + py::str_of(save));
    }
    plt.attr("show")();
    return sonuc;
}

nb::object triple_group_demo(nb::handle smiles, nb::handle save_prefix) {
    nb::object plt = py::package_attr("plt");
    nb::object r = py::package_attr("VIF")(smiles, "draw"_a = true, "verbose"_a = false, "show_spectrum"_a = false);
    const bool saving = py::truthy(save_prefix);
    const std::string prefix = saving ? py::str_of(save_prefix) : std::string();
    // VIF has drawn (and shown) the graph; it is still pyplot's current figure.
    if (saving) figures::savefig_tight(nb::str((prefix + "_graph.png").c_str()), 140);

    nb::object lpi = r["lpi"];
    py::emit("Molecule : " + py::str_of(smiles));
    nb::object builtins = nb::module_::import_("builtins");
    nb::object mass = builtins.attr("int")(builtins.attr("round")(r["mol_mass"]));
    py::emit("M+ = " + py::str_of(mass) + "   LPI = {" + py::str_of(lpi["n+"]) + ", " + py::str_of(lpi["n0"]) + ", " +
             py::str_of(lpi["n-"]) + "}");
    py::emit("Fragments (single-cut):");
    for (nb::handle f : r["fragments"]) {
        if (!py::truthy(f["split"])) continue;
        py::emit("   " + rjust(f["bond"], 10) + "  ->  " + fragment_list(f["fragments"], ", "));
    }

    py::package_attr("plot_mass_spectrum")(smiles, r["mol_mass"], r["fragments"]);
    if (saving) {
        figures::savefig_tight(nb::str((prefix + "_ms.png").c_str()), 140);
        py::emit("Saved: " + prefix + "_graph.png , " + prefix + "_ms.png");
    }
    plt.attr("show")();
    return r;
}

}  // namespace

void add_demos(nb::module_& m) {
    m.def("halogen_test", &halogen_test, "molekuller"_a.none() = nb::none(), "panel_n"_a.none() = 4,
          "save"_a.none() = "/tmp/vif_halojen.png",
          "Substituted-halogen test: how the analysis treats carbon-halogen bonds.\n\n"
          "Analyses every (name, SMILES, note) row of molekuller (None means HALOGEN_TESTS) with\n"
          "VIF(..., draw=False, verbose=False) and prints its LPI, the predicted cleavages of bonds\n"
          "to Cl, F or Br and the experimental note.  The first panel_n rows get a figure column:\n"
          "the VIF graph on top, the predicted spectrum below (2 rows, 5 inches per column, 8.8\n"
          "high).  Saved with dpi 120 when save is a true value, then shown.  Returns a list of\n"
          "(name, SMILES, VIF result record).");

    m.def("triple_group_demo", &triple_group_demo, "smiles"_a.none() = "N#Cc1ccc(cc1)N=Nc1ccc(cc1)Cl",
          "save_prefix"_a.none() = "/tmp/vif_kombine",
          "Nitrile, azo and aryl chloride in one molecule: draws its VIF graph and predicted spectrum.\n\n"
          "Prints the molecule, M+ and LPI and the single-cut fragments; when save_prefix is a true\n"
          "value writes <prefix>_graph.png and <prefix>_ms.png (dpi 140).  Returns the VIF result\n"
          "record (the 9-key record of a drawing VIF call).");
}

}  // namespace tx::reference
