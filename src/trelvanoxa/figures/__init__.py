"""Figures drawn with matplotlib and networkx: the stick mass spectrum, the
orbital-graph drawing, the multi-molecule panels, and the saving and showing
they share.  pyplot is imported by the functions that draw, never here."""

from .graph import ELEMENT_COLORS, draw_graph_cell, draw_vif, lpi_text, node_colors, soft_pair_set, split_edges
from .output import prepare_target, save_figure, show
from .panels import VIF_ms_panel, VIF_panel
from .spectrum import plot_mass_spectrum

__all__ = ["ELEMENT_COLORS", "VIF_ms_panel", "VIF_panel", "draw_graph_cell", "draw_vif", "lpi_text",
           "node_colors", "plot_mass_spectrum", "prepare_target", "save_figure", "show", "soft_pair_set",
           "split_edges"]
