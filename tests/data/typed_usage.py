"""A typed script using the native surface; the stubs must let mypy check it."""

import networkx as nx

import trelvanoxa as tx


def soft_labels(smiles: str) -> list[str]:
    record = tx._core.analyse_compact(smiles, ring_fragmentation=True)
    labels: list[str] = record["soft_bonds"]
    return labels


def lpi_of(graph: nx.Graph) -> tuple[int, int, int]:
    lpi = tx.compute_lpi(graph, tol=1e-9)
    return lpi["n+"], lpi["n0"], lpi["n-"]


def soft_count(graph: nx.Graph, chem_bonds: list[dict[str, int]]) -> int:
    return len(tx.detect_soft_bonds(graph, chem_bonds, tx.compute_lpi(graph)))


threads: int = tx.get_blas_threads()
