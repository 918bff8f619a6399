// Multi-molecule panels: one VIF graph, or one predicted stick spectrum, per
// grid cell.  A molecule that cannot be looked up or analysed only greys out
// its own cell.
#include <nanobind/stl/string.h>

#include <string>

#include "figures/figures.hpp"
#include "figures/savefig.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace tx::figures {

namespace {

// Runs `body`; false when it raised an ordinary error (any Exception).
// KeyboardInterrupt and SystemExit are not cell failures and propagate.
template <class F>
bool guarded(F&& body) {
    try {
        body();
        return true;
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        return false;
    } catch (std::exception&) {
        return false;
    }
}

struct Grid {
    nb::object fig;
    nb::object axes;  // flat object array, row-major
    size_t n_cells = 0;
};

// subplots(rows, cols, figsize=...) with rows = ceil(n / cols); a 1x1 grid
// also comes back as a one-element sequence.
Grid make_grid(size_t n, nb::handle cols, double width_per_col, double height_per_row) {
    nb::object plt = py::package_attr("plt");
    nb::object np = py::package_attr("np");
    nb::object rows = nb::module_::import_("math").attr("ceil")(nb::int_(n) / nb::borrow(cols));
    nb::object figsize =
        nb::make_tuple(nb::borrow(cols) * nb::float_(width_per_col), rows * nb::float_(height_per_row));
    nb::object made = plt.attr("subplots")(rows, cols, "figsize"_a = figsize);
    Grid g;
    g.fig = made[0];
    g.axes = np.attr("array")(made[1], "dtype"_a = nb::module_::import_("builtins").attr("object")).attr("reshape")(-1);
    g.n_cells = nb::len(g.axes);
    return g;
}

void gray_title(nb::handle ax, const std::string& text) {
    ax.attr("set_title")(text, "fontsize"_a = 9, "color"_a = "gray");
}

// The entry's SMILES: the entry itself, or its PubChem lookup when by == "name".
// False when the lookup fails (any error, or a result that is not a pair).
bool resolve(nb::handle item, bool by_name, nb::object& smi) {
    if (!by_name) {
        smi = nb::borrow(item);
        return true;
    }
    return guarded([&] {
        nb::object found = nb::module_::import_("builtins").attr("tuple")(
            py::package_attr("fetch_smiles_from_pubchem")(item));
        if (nb::len(found) != 2) throw nb::value_error("PubChem lookup did not give (smiles, cid)");
        smi = found[0];
    });
}

void finish(const Grid& g, size_t n, const char* suptitle, double y, nb::handle save) {
    for (size_t j = n; j < g.n_cells; ++j) g.axes[j].attr("axis")("off");
    g.fig.attr("suptitle")(suptitle, "fontsize"_a = 13, "y"_a = y);
    nb::object plt = py::package_attr("plt");
    plt.attr("tight_layout")();
    if (py::truthy(save)) savefig_tight(save, 110);
    plt.attr("show")();
}

nb::object vif_panel(nb::handle molecules, nb::handle by, nb::handle cols, nb::handle save, nb::handle node_size,
                     nb::handle bond_kappa) {
    nb::object mols = molecules.is_none() ? py::package_attr("BIOMOLECULES") : nb::borrow(molecules);
    const size_t n = nb::len(mols);
    Grid g = make_grid(n, cols, 3.2, 3.4);
    const bool by_name = by.equal(nb::str("name"));
    nb::object vif = py::package_attr("VIF");
    nb::object nx = py::package_attr("nx");

    size_t idx = 0;
    for (nb::handle item : mols) {
        nb::object ax = g.axes[idx++];
        ax.attr("axis")("off");
        const std::string name = py::str_of(item);
        nb::object smi;
        if (!resolve(item, by_name, smi)) {
            gray_title(ax, name + "\n(not found)");
            continue;
        }
        const bool drawn = guarded([&] {
            nb::object r = vif(smi, "draw"_a = false, "verbose"_a = false, "bond_kappa"_a = bond_kappa);
            nb::object H = r["graph"], pos = r["pos"];
            auto [ess, sof] = split_edges(H, soft_pair_set(r["soft_bonds"]));
            nb::list colors = node_colors(H, element_colors());
            nx.attr("draw_networkx_nodes")(H, pos, "node_color"_a = colors, "node_size"_a = node_size,
                                           "alpha"_a = 0.9, "ax"_a = ax);
            nx.attr("draw_networkx_edges")(H, pos, "edgelist"_a = ess, "edge_color"_a = "black", "width"_a = 0.8,
                                           "alpha"_a = 0.7, "ax"_a = ax);
            nx.attr("draw_networkx_edges")(H, pos, "edgelist"_a = sof, "edge_color"_a = "red", "width"_a = 1.3,
                                           "style"_a = "dashed", "alpha"_a = 0.9, "ax"_a = ax);
            nb::object lpi = r["lpi"];
            ax.attr("set_title")(name + "\nLPI={" + py::str_of(lpi["n+"]) + "," + py::str_of(lpi["n0"]) + "," +
                                     py::str_of(lpi["n-"]) + "}",
                                 "fontsize"_a = 9);
            ax.attr("set_aspect")("equal");
        });
        if (!drawn) gray_title(ax, name + "\n(error)");
    }
    finish(g, n, "VIF analysis \u2014 key molecules in human biochemistry", 0.99, save);
    return g.fig;
}

nb::object vif_ms_panel(nb::handle molecules, nb::handle by, nb::handle cols, nb::handle save,
                        nb::handle ring_fragmentation, nb::handle recursive_ms) {
    nb::object mols = molecules.is_none() ? py::package_attr("BIOMOLECULES") : nb::borrow(molecules);
    const size_t n = nb::len(mols);
    Grid g = make_grid(n, cols, 5.5, 2.8);
    const bool by_name = by.equal(nb::str("name"));
    nb::object vif = py::package_attr("VIF");
    nb::object plot = py::package_attr("plot_mass_spectrum");

    size_t idx = 0;
    for (nb::handle item : mols) {
        nb::object ax = g.axes[idx++];
        const std::string name = py::str_of(item);
        nb::object smi;
        if (!resolve(item, by_name, smi)) {
            gray_title(ax, name + " (not found)");
            ax.attr("axis")("off");
            continue;
        }
        nb::object r;
        const bool analysed = guarded([&] {
            r = vif(smi, "draw"_a = false, "verbose"_a = false, "ring_fragmentation"_a = ring_fragmentation,
                    "recursive_ms"_a = recursive_ms);
        });
        // An unreadable SMILES comes back as VIF's failure text, not a record.
        if (!analysed || PyUnicode_Check(r.ptr())) {
            gray_title(ax, name + " (error)");
            ax.attr("axis")("off");
            continue;
        }
        plot(item, r["mol_mass"], r["fragments"], "ax"_a = ax);
        ax.attr("title").attr("set_fontsize")(9);
    }
    finish(g, n, "VIF-predicted mass spectra \u2014 biomolecules", 1.0, save);
    return g.fig;
}

}  // namespace

void add_panels(nb::module_& m) {
    // Every argument may be None; what a value means is decided as in Python.
    m.def("VIF_panel", &vif_panel, "molecules"_a.none() = nb::none(), "by"_a.none() = "name", "cols"_a.none() = 5,
          "save"_a.none() = nb::none(),
          "node_size"_a.none() = 60, "bond_kappa"_a.none() = 0.9,
          "Draws the VIF graph of every molecule in one grid and returns the figure.\n\n"
          "molecules are PubChem names (by='name', the default; None means BIOMOLECULES) or SMILES\n"
          "(any other by).  Each cell shows the orbital nodes coloured by element, essential links\n"
          "solid black and soft links dashed red, titled with the entry and its LPI; a failed lookup\n"
          "or analysis titles the cell '(not found)' or '(error)' in gray.  Grid: cols columns of\n"
          "3.2 x 3.4 inch cells.  Saved with dpi 110 when save is a true value, then shown.");

    m.def("VIF_ms_panel", &vif_ms_panel, "molecules"_a.none() = nb::none(), "by"_a.none() = "name", "cols"_a.none() = 2,
          "save"_a.none() = nb::none(), "ring_fragmentation"_a.none() = false, "recursive_ms"_a.none() = false,
          "Draws the predicted stick mass spectrum of every molecule in one grid and returns the figure.\n\n"
          "molecules and by as in VIF_panel; ring_fragmentation and recursive_ms are passed to VIF.\n"
          "A failed lookup or analysis (an unreadable SMILES included) titles the cell\n"
          "'(not found)' or '(error)' in gray and turns it off.  Grid: cols columns of 5.5 x 2.8\n"
          "inch cells.  Saved with dpi 110 when save is a true value, then shown.");
}

}  // namespace tx::figures
