"""Drawing the orbital (VIF) graph: nodes coloured by element, ordinary links
solid black, links of soft bonds dashed red."""

from .._imports import import_whole

# Element colours of the single-molecule drawing and the panels; any other
# element is gray.  Carbon and oxygen share red.
ELEMENT_COLORS = {"C": "red", "Li": "orange", "H": "skyblue", "Cl": "lightgreen", "O": "red", "B": "pink",
                  "N": "violet", "F": "yellow", "S": "gold", "P": "darkorange"}


def node_colors(H, colors):
    """Colour of every node of H, in node order, by its "symbol" attribute."""
    return [colors.get(H.nodes[n]["symbol"], "gray") for n in H]


def soft_pair_set(soft_bonds):
    """(smaller, larger) node pair of every soft-bond record."""
    return {(min(s["u_node"], s["v_node"]), max(s["u_node"], s["v_node"])) for s in soft_bonds}


def split_edges(H, soft_pairs):
    """The edges of H in edge order, split into (ordinary, soft) lists."""
    ordinary, soft = [], []
    for u, v in H.edges():
        (soft if (min(u, v), max(u, v)) in soft_pairs else ordinary).append((u, v))
    return ordinary, soft


def draw_graph_cell(ax, record, colors, node_size):
    """The unlabelled graph of one VIF record in a panel cell."""
    nx = import_whole("networkx")

    H, pos = record["graph"], record["pos"]
    ordinary, soft = split_edges(H, soft_pair_set(record["soft_bonds"]))
    nx.draw_networkx_nodes(H, pos, node_color=node_colors(H, colors), node_size=node_size, alpha=0.9, ax=ax)
    nx.draw_networkx_edges(H, pos, edgelist=ordinary, edge_color="black", width=0.8, alpha=0.7, ax=ax)
    nx.draw_networkx_edges(H, pos, edgelist=soft, edge_color="red", width=1.3, style="dashed", alpha=0.9, ax=ax)


def lpi_text(lpi, sep):
    return sep.join(str(lpi[k]) for k in ("n+", "n0", "n-"))


def draw_vif(smiles, record, show_spectrum=True):
    """Draws one analysed molecule without showing it; returns the figures.

    ``record`` is a VIF result record (either shape).  The first figure
    (12 x 10 inches) is the labelled orbital graph titled with the SMILES,
    the LPI and the soft-bond count; the second, drawn when ``show_spectrum``
    is true, is the predicted stick spectrum of all fragment records."""
    plt = import_whole("matplotlib.pyplot")
    nx = import_whole("networkx")

    from .spectrum import plot_mass_spectrum

    H, pos, lpi, softs = record["graph"], record["pos"], record["lpi"], record["soft_bonds"]
    fig = plt.figure(figsize=(12, 10))
    ax = fig.gca()
    ordinary, soft = split_edges(H, soft_pair_set(softs))
    labels = {n: str(H.nodes[n]["symbol"]) + str(n) for n in H}
    nx.draw_networkx_nodes(H, pos, node_color=node_colors(H, ELEMENT_COLORS), node_size=800, alpha=0.9, ax=ax)
    nx.draw_networkx_labels(H, pos, labels=labels, font_size=8, ax=ax)
    nx.draw_networkx_edges(H, pos, edgelist=ordinary, edge_color="black", width=1.5, alpha=0.9, ax=ax)
    nx.draw_networkx_edges(H, pos, edgelist=soft, edge_color="red", width=2.0, style="dashed", alpha=0.9, ax=ax)
    soft_label = f"soft: {len(softs)} bond" if len(softs) else "soft: yok"
    ax.set_title(f"VIF: {smiles}   |   LPI = {{n+={lpi['n+']}, n0={lpi['n0']}, n-={lpi['n-']}}}   |   {soft_label}",
                 parse_math=False)
    ax.axis("equal")
    figures = [fig]
    if show_spectrum:
        figures.append(plot_mass_spectrum(smiles, record["mol_mass"], record["fragments"]).figure)
    return figures
