#include <algorithm>
#include <map>
#include <string>

#include "figures/figures.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace tx::figures {

const ColorMap& element_colors() {
    static const ColorMap colors = {{"C", "red"},  {"Li", "orange"},   {"H", "skyblue"}, {"Cl", "lightgreen"},
                                    {"O", "red"},  {"B", "pink"},      {"N", "violet"},  {"F", "yellow"},
                                    {"S", "gold"}, {"P", "darkorange"}};
    return colors;
}

nb::list node_colors(nb::handle H, const ColorMap& colors) {
    nb::list out;
    nb::object nodes = H.attr("nodes");
    for (nb::handle n : H) {
        const std::string sym = py::str_of(nodes[n]["symbol"]);
        const char* c = "gray";
        for (const auto& [s, col] : colors)
            if (sym == s) {
                c = col;
                break;
            }
        out.append(c);
    }
    return out;
}

nb::set soft_pair_set(nb::handle soft_bonds) {
    nb::set out;
    for (nb::handle rec : soft_bonds) {
        nb::object u = rec["u_node"], v = rec["v_node"];
        out.add(u < v || u.equal(v) ? nb::make_tuple(u, v) : nb::make_tuple(v, u));
    }
    return out;
}

std::pair<nb::list, nb::list> split_edges(nb::handle H, nb::handle soft_pairs) {
    nb::list ess, sof;
    for (nb::handle e : H.attr("edges")()) {
        nb::object u = e[0], v = e[1];
        nb::object key = u < v || u.equal(v) ? nb::make_tuple(u, v) : nb::make_tuple(v, u);
        (soft_pairs.attr("__contains__")(key).equal(nb::bool_(true)) ? sof : ess).append(nb::make_tuple(u, v));
    }
    return {ess, sof};
}

nb::object plot_mass_spectrum(nb::handle smiles, nb::handle mol_mass, nb::handle fragments, nb::handle ax_in) {
    nb::object builtins = nb::module_::import_("builtins");
    const long M = nb::cast<long>(builtins.attr("round")(mol_mass));

    // m/z -> label, first label wins; the molecular ion is never relabelled.
    std::map<long, std::string> peaks;
    peaks[M] = "M+";
    for (nb::handle f : fragments) {
        if (!py::truthy(f["split"])) continue;
        for (nb::handle item : f["fragments"]) {
            nb::object t = builtins.attr("tuple")(item);
            const size_t len = nb::len(t);
            if (len != 3)
                throw nb::value_error(len < 3 ? ("not enough values to unpack (expected 3, got " + std::to_string(len) + ")").c_str()
                                              : ("too many values to unpack (expected 3, got " + std::to_string(len) + ")").c_str());
            const long mz = nb::cast<long>(nb::steal(PyNumber_Index(t[2].ptr())));
            peaks.emplace(mz, py::str_of(t[0]));
        }
    }

    nb::object plt = py::package_attr("plt");
    nb::object ax = nb::borrow(ax_in);
    if (ax.is_none()) {
        plt.attr("figure")("figsize"_a = nb::make_tuple(11, 5.5));
        ax = plt.attr("gca")();
    }
    const long x_max = M + std::max<long>(20, static_cast<long>(static_cast<double>(M) * 0.15));
    const double close_thresh = static_cast<double>(x_max) * 0.06;

    bool have_prev = false;
    long prev_mz = 0, level = 0;
    nb::dict arrow;
    arrow["arrowstyle"] = "-";
    arrow["color"] = "gray";
    arrow["lw"] = 0.5;
    arrow["alpha"] = 0.6;
    for (const auto& [mz, label] : peaks) {
        const bool is_m = label == "M+";
        const int bar_h = is_m ? 100 : 60;
        const char* color = is_m ? "crimson" : "steelblue";
        ax.attr("vlines")(mz, 0, bar_h, "color"_a = color, "linewidth"_a = is_m ? 2.2 : 1.6);
        level = (have_prev && static_cast<double>(mz - prev_mz) < close_thresh) ? level + 1 : 0;
        const long label_y = bar_h + 3 + level * 11;
        ax.attr("annotate")(label + "\n" + std::to_string(mz), "xy"_a = nb::make_tuple(mz, bar_h),
                            "xytext"_a = nb::make_tuple(mz, label_y), "ha"_a = "center", "va"_a = "bottom",
                            "fontsize"_a = 8, "color"_a = color, "arrowprops"_a = arrow);
        prev_mz = mz;
        have_prev = true;
    }
    ax.attr("set_xlim")(0, x_max);
    ax.attr("set_ylim")(0, 150);
    ax.attr("set_xlabel")("m/z");
    ax.attr("set_ylabel")("(schematic \u2014 intensities are not predicted)");
    ax.attr("set_title")("Trelvanoxa predicted EI-MS fragments: " + py::str_of(smiles));
    ax.attr("spines")["top"].attr("set_visible")(false);
    ax.attr("spines")["right"].attr("set_visible")(false);
    return ax;
}

void draw_vif(nb::handle smiles, nb::handle H, nb::handle pos, nb::handle lpi, nb::handle softs,
              nb::handle soft_edge_set, nb::handle fragments, nb::handle mol_mass, bool show_spectrum) {
    nb::object plt = py::package_attr("plt");
    nb::object nx = py::package_attr("nx");
    plt.attr("figure")("figsize"_a = nb::make_tuple(12, 10));

    nb::list colors = node_colors(H, element_colors());
    nb::dict labels;
    nb::object nodes = H.attr("nodes");
    for (nb::handle n : H) labels[n] = py::str_of(nodes[n]["symbol"]) + py::str_of(n);
    auto [ess, sof] = split_edges(H, soft_edge_set);

    nx.attr("draw_networkx_nodes")(H, pos, "node_color"_a = colors, "node_size"_a = 800, "alpha"_a = 0.9);
    nx.attr("draw_networkx_labels")(H, pos, "labels"_a = labels, "font_size"_a = 8);
    nx.attr("draw_networkx_edges")(H, pos, "edgelist"_a = ess, "edge_color"_a = "black", "width"_a = 1.5,
                                   "alpha"_a = 0.9);
    nx.attr("draw_networkx_edges")(H, pos, "edgelist"_a = sof, "edge_color"_a = "red", "width"_a = 2.0,
                                   "style"_a = "dashed", "alpha"_a = 0.9);

    const size_t n_soft = nb::len(softs);
    const std::string soft_label = n_soft ? "soft: " + std::to_string(n_soft) + " bond" : "soft: yok";
    plt.attr("title")("VIF: " + py::str_of(smiles) + "   |   LPI = {n+=" + py::str_of(lpi["n+"]) +
                      ", n0=" + py::str_of(lpi["n0"]) + ", n-=" + py::str_of(lpi["n-"]) + "}   |   " + soft_label);
    plt.attr("axis")("equal");
    if (show_spectrum) plot_mass_spectrum(smiles, mol_mass, fragments, nb::none());
    plt.attr("show")();
}

void add_figures(nb::module_& m) {
    m.def("_draw_vif", [](nb::handle smiles, nb::dict rec, nb::handle show_spectrum) {
        draw_vif(smiles, rec["graph"], rec["pos"], rec["lpi"], rec["soft_bonds"], soft_pair_set(rec["soft_bonds"]),
                 rec["fragments"], rec["mol_mass"], py::truthy(show_spectrum));
    });
    m.def(
        "plot_mass_spectrum",
        [](nb::handle smiles, nb::handle mol_mass, nb::handle fragments, nb::handle ax) {
            return plot_mass_spectrum(smiles, mol_mass, fragments, ax);
        },
        "smiles"_a.none(), "mol_mass"_a.none(), "fragments"_a.none(), "ax"_a = nb::none(),
        "Draws the predicted EI mass spectrum as a schematic stick plot and returns the axes.\n\n"
        "One line per m/z of the split fragment records: the molecular ion (round(mol_mass)) crimson\n"
        "and 100 high, fragments steelblue and 60 high, each labelled with formula and m/z (labels of\n"
        "close peaks are stacked).  Draws into ax, or into a new 11 x 5.5 inch figure when ax is None.\n"
        "Neither shows nor saves the figure.");
}

}  // namespace tx::figures
