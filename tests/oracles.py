"""Independent re-derivations of the chemistry/graph rules, written directly
with RDKit, networkx and numpy, used as oracles by the tests.

Nothing here imports trelvanoxa: every expected value computed from these
helpers follows from the documented rules, not from the extension's output.
"""

import math

import networkx as nx
import numpy as np
from rdkit import Chem
from rdkit.Chem import rdDepictor

TWO_PI = 2.0 * math.pi


# ---------------------------------------------------------------- molecules

def prepare(smiles):
    """Parse without sanitising, perceive aromaticity, kekulize (errors
    ignored) and make every hydrogen explicit: the molecule every analysis
    works on."""
    mol = Chem.MolFromSmiles(smiles, sanitize=False)
    if mol is None:
        return None
    mol.UpdatePropertyCache(strict=False)
    try:
        Chem.SetAromaticity(mol)
        Chem.Kekulize(mol, clearAromaticFlags=True)
    except Exception:
        pass
    return Chem.AddHs(mol)


def bond_orders(mol):
    out = {}
    for b in mol.GetBonds():
        t = b.GetBondTypeAsDouble()
        order = 1 if t == 0 else max(round(t), 1)  # round() is half-to-even
        u, v = b.GetBeginAtomIdx(), b.GetEndAtomIdx()
        out[(u, v)] = order
        out[(v, u)] = order
    return out


def nodes_for_period(period):
    if period in (2, 3):
        return 4
    if period > 3:
        return 9
    return 1


def nominal(mol, indices):
    pt = Chem.GetPeriodicTable()
    return sum(pt.GetMostCommonIsotope(mol.GetAtomWithIdx(i).GetAtomicNum())
               for i in indices)


def avg_mass(mol, indices):
    """Sum of the atoms' average masses, correctly rounded (no dependence
    on the order of the atoms)."""
    return math.fsum(mol.GetAtomWithIdx(i).GetMass() for i in indices)


def formula(mol, indices):
    counts = {}
    for i in indices:
        s = mol.GetAtomWithIdx(i).GetSymbol()
        counts[s] = counts.get(s, 0) + 1
    out = []
    for el in ["C", "H"] + sorted(k for k in counts if k not in ("C", "H")):
        if counts.get(el):
            out.append(el + (str(counts[el]) if counts[el] > 1 else ""))
    return "".join(out)


def atom_graph(mol, atoms=None):
    g = nx.Graph()
    atoms = range(mol.GetNumAtoms()) if atoms is None else sorted(atoms)
    g.add_nodes_from(atoms)
    keep = set(atoms)
    for b in mol.GetBonds():
        u, v = b.GetBeginAtomIdx(), b.GetEndAtomIdx()
        if u in keep and v in keep:
            g.add_edge(u, v)
    return g


def components_without(g, pairs):
    h = g.copy()
    h.remove_edges_from(pairs)
    return [set(c) for c in nx.connected_components(h)]


# ---------------------------------------------------------------- eigenvalues

def lpi_counts(graph, tol=1e-9, weight="weight"):
    if graph.number_of_nodes() == 0:
        return (0, 0, 0)
    ev = np.linalg.eigvalsh(nx.to_numpy_array(graph, weight=weight))
    return (int((ev > tol).sum()), int((np.abs(ev) <= tol).sum()),
            int((ev < -tol).sum()))


def soft_indices(graph, records, tol=1e-9):
    """Indices of the records whose link, removed alone from a copy of the
    graph, leaves the LPI counts unchanged."""
    base = lpi_counts(graph, tol)
    out = []
    for i, r in enumerate(records):
        u, v = r["u_node"], r["v_node"]
        if not graph.has_edge(u, v):
            continue
        g = graph.copy()
        g.remove_edge(u, v)
        if lpi_counts(g, tol) == base:
            out.append(i)
    return out


# ---------------------------------------------------------------- angles

def angle_diff(a, b):
    return abs(((a - b + math.pi) % TWO_PI) - math.pi)


def place_angles(n_nodes, targets):
    if n_nodes == 1:
        return [0.0]
    angles = list(targets[:n_nodes])
    if not angles:
        step = TWO_PI / n_nodes
        return [i * step for i in range(n_nodes)]
    while len(angles) < n_nodes:
        s = sorted(a % TWO_PI for a in angles)
        if len(s) == 1:
            angles.append((s[0] + math.pi) % TWO_PI)
            continue
        widest, mid = -1.0, 0.0
        for i in range(len(s)):
            a1, a2 = s[i], s[(i + 1) % len(s)]
            gap = (a2 - a1) % TWO_PI
            if gap > widest:
                widest, mid = gap, (a1 + gap / 2.0) % TWO_PI
        angles.append(mid)
    return angles


def greedy_assign(targets, nodes, node_to_angle, assignment):
    if not targets or not nodes:
        return
    if len(nodes) == 1:
        for n_idx, k, _ in targets:
            assignment[(n_idx, k)] = nodes[0]
        return
    pairs = []
    for ti, (n_idx, k, ta) in enumerate(targets):
        for node in nodes:
            pairs.append((angle_diff(node_to_angle[node], ta), ti, node, n_idx, k))
    pairs.sort(key=lambda p: p[0])
    used_t, used_n = set(), set()
    for _, ti, node, n_idx, k in pairs:
        if ti in used_t or node in used_n:
            continue
        assignment[(n_idx, k)] = node
        used_t.add(ti)
        used_n.add(node)
    for ti, (n_idx, k, ta) in enumerate(targets):
        if ti not in used_t:
            assignment[(n_idx, k)] = min(
                nodes, key=lambda nd: angle_diff(node_to_angle[nd], ta))


def expected_vif(mol, coords, periods, target_bond_len=1.5, radius_ratio=0.23,
                 bond_kappa=0.9):
    """The orbital graph that follows from the construction rules for a
    prepared molecule whose atoms sit at `coords`.  `periods` maps element
    symbols to periods.  Returns (graph, atom_subgraphs, pos, chem_bonds)."""
    spread = 0.35
    radius = target_bond_len * radius_ratio
    orders = bond_orders(mol)
    H = nx.Graph()
    subgraphs, sig, pis, pos, node_angles = {}, {}, {}, {}, {}
    counter = 0
    for atom in mol.GetAtoms():
        idx, sym = atom.GetIdx(), atom.GetSymbol()
        n_nodes = nodes_for_period(periods[sym])
        cur = list(range(counter, counter + n_nodes))
        counter += n_nodes
        subgraphs[idx] = cur
        pi_count = sum(max(orders.get((idx, nb.GetIdx()), 1) - 1, 0)
                       for nb in atom.GetNeighbors())
        n_pi = min(pi_count, n_nodes - 1) if n_nodes > 1 else 0
        n_sigma = n_nodes - n_pi
        sig[idx], pis[idx] = cur[:n_sigma], cur[n_sigma:]
        rol = "Merkez" if sym in ("C", "Li") else "Uç"
        H.add_nodes_from(sig[idx], symbol=sym, rol=rol, kind="sigma")
        H.add_nodes_from(pis[idx], symbol=sym, rol=rol, kind="pi")
        for a in range(n_sigma):
            for b in range(a + 1, n_sigma):
                H.add_edge(cur[a], cur[b], weight=1.0)
        center = coords[idx]
        targets = []
        for nb in atom.GetNeighbors():
            d = coords[nb.GetIdx()] - center
            if np.linalg.norm(d) < 1e-9:
                continue
            base = math.atan2(d[1], d[0])
            order = max(1, min(orders.get((idx, nb.GetIdx()), 1), n_nodes))
            for k in range(order):
                targets.append(base + (k - (order - 1) / 2.0) * spread)
        angles = place_angles(n_nodes, targets[:n_nodes])
        node_angles[idx] = {}
        for node, ang in zip(cur, angles):
            pos[node] = np.array([center[0] + radius * math.cos(ang),
                                  center[1] + radius * math.sin(ang)])
            node_angles[idx][node] = ang
    assign = {}
    for atom in mol.GetAtoms():
        idx = atom.GetIdx()
        center = coords[idx]
        a = {}
        st, pt = [], []
        for nb in atom.GetNeighbors():
            n_idx = nb.GetIdx()
            d = coords[n_idx] - center
            if np.linalg.norm(d) < 1e-9:
                continue
            base = math.atan2(d[1], d[0])
            order = max(1, orders.get((idx, n_idx), 1))
            for k in range(order):
                t = (n_idx, k, base + (k - (order - 1) / 2.0) * 0.35)
                (st if k == 0 else pt).append(t)
        if len(subgraphs[idx]) == 1:
            for n_idx, k, _ in st + pt:
                a[(n_idx, k)] = subgraphs[idx][0]
        else:
            greedy_assign(st, sig[idx], node_angles[idx], a)
            greedy_assign(pt, pis[idx], node_angles[idx], a)
        assign[idx] = a
    chem = []
    for b in mol.GetBonds():
        u, v = b.GetBeginAtomIdx(), b.GetEndAtomIdx()
        order = orders[(u, v)]
        su = mol.GetAtomWithIdx(u).GetSymbol()
        sv = mol.GetAtomWithIdx(v).GetSymbol()
        for k in range(order):
            un, vn = assign[u].get((v, k)), assign[v].get((u, k))
            if un is None or vn is None:
                un, vn = subgraphs[u][0], subgraphs[v][0]
            if H.has_edge(un, vn):
                continue
            H.add_edge(un, vn, weight=bond_kappa)
            chem.append({"u_node": un, "v_node": vn, "atom_u": u, "atom_v": v,
                         "sym_u": su, "sym_v": sv, "order": order, "k": k})
    return H, subgraphs, pos, chem


# ---------------------------------------------------------------- layout

def radial_equalize(coords, groups):
    for members in groups.values():
        if len(members) < 2:
            continue
        c = coords[members].mean(axis=0)
        dists = np.linalg.norm(coords[members] - c, axis=1)
        if dists.mean() < 1e-9:
            continue
        avg = dists.mean()
        for m in members:
            v = coords[m] - c
            L = np.linalg.norm(v)
            if L > 1e-9:
                coords[m] = c + v * (avg / L)


def pca_align(coords):
    coords -= coords.mean(axis=0)
    if len(coords) < 2:
        return coords
    w, vecs = np.linalg.eigh(np.cov(coords.T))
    R = vecs[:, np.argsort(w)[::-1]]
    if np.linalg.det(R) < 0:
        R[:, 1] = -R[:, 1]
    return coords @ R


def enforce_mirror(coords, ranks, axis, eps=0.05):
    other = 1 - axis
    n = len(coords)
    matched = [False] * n
    for i in range(n):
        if abs(coords[i][axis]) < eps:
            coords[i][axis] = 0.0
            matched[i] = True
    for i in range(n):
        if matched[i]:
            continue
        best_j, best_d = -1, math.inf
        for j in range(n):
            if j == i or matched[j] or ranks[j] != ranks[i]:
                continue
            if (coords[i][axis] >= 0) == (coords[j][axis] >= 0):
                continue
            d = (abs(coords[j][axis] + coords[i][axis])
                 + abs(coords[j][other] - coords[i][other]))
            if d < best_d:
                best_d, best_j = d, j
        if best_j == -1:
            continue
        avg_o = (coords[i][other] + coords[best_j][other]) / 2.0
        avg_a = (abs(coords[i][axis]) + abs(coords[best_j][axis])) / 2.0
        for m in (i, best_j):
            coords[m][axis] = avg_a if coords[m][axis] >= 0 else -avg_a
            coords[m][other] = avg_o
        matched[i] = matched[best_j] = True
    return coords


def layout(mol, n_iter=600, target_bond_len=1.5, repulsion_factor=1.2,
           k_attr=0.06, k_rep=0.05):
    """Force-directed layout from the RDKit CoordGen depiction.  Only valid
    for molecules whose depiction has no coincident atoms (the random
    separation stream is not reproduced)."""
    mol = Chem.Mol(mol)
    rdDepictor.SetPreferCoordGen(True)
    rdDepictor.Compute2DCoords(mol)
    conf = mol.GetConformer()
    n = mol.GetNumAtoms()
    coords = np.array([[conf.GetAtomPosition(i).x, conf.GetAtomPosition(i).y]
                       for i in range(n)], dtype=np.float64)
    ranks = list(Chem.CanonicalRankAtoms(mol, breakTies=False))
    if n == 1:
        return coords, ranks, True
    groups = {}
    for i, r in enumerate(ranks):
        groups.setdefault(r, []).append(i)
    bonds = [(b.GetBeginAtomIdx(), b.GetEndAtomIdx()) for b in mol.GetBonds()]
    bonded = np.zeros((n, n), dtype=bool)
    for u, v in bonds:
        bonded[u, v] = bonded[v, u] = True
    d0 = np.linalg.norm(coords[:, None] - coords[None], axis=2)
    assert not (d0[np.triu_indices(n, 1)] < 1e-6).any(), "coincident depiction"
    min_nb = target_bond_len * repulsion_factor
    iu, ju = np.triu_indices(n, 1)
    keep = ~bonded[iu, ju]
    iu, ju = iu[keep], ju[keep]
    bu = np.array([b[0] for b in bonds], dtype=int)
    bv = np.array([b[1] for b in bonds], dtype=int)
    for it in range(n_iter):
        forces = np.zeros_like(coords)
        if len(bonds):
            d = coords[bv] - coords[bu]
            L = np.linalg.norm(d, axis=1)
            ok = L >= 1e-9
            f = ((L[ok] - target_bond_len)[:, None] * d[ok] / L[ok][:, None]) * k_attr
            np.add.at(forces, bu[ok], f)
            np.subtract.at(forces, bv[ok], f)
        d = coords[ju] - coords[iu]
        L = np.linalg.norm(d, axis=1)
        ok = (L >= 1e-9) & (L < min_nb)
        f = ((min_nb - L[ok])[:, None] * d[ok] / L[ok][:, None]) * k_rep
        np.subtract.at(forces, iu[ok], f)
        np.add.at(forces, ju[ok], f)
        coords = coords + forces
        if it > 50 and it % 5 == 0:
            radial_equalize(coords, groups)
    if np.isnan(coords).any():  # CoordGen has no depiction for a lone H2
        return coords, ranks, False
    w = np.linalg.eigvalsh(np.cov((coords - coords.mean(axis=0)).T))
    # With (nearly) equal principal variances the principal axis is decided
    # by rounding noise (rotationally symmetric drawings), so an exact
    # comparison of orientations is meaningless there.
    well_conditioned = (w[1] - w[0]) > 1e-3 * (w[1] + w[0])
    coords = pca_align(coords)
    coords = enforce_mirror(coords, ranks, 1)
    coords = enforce_mirror(coords, ranks, 0)
    return coords, ranks, well_conditioned


# ---------------------------------------------------------------- fragments

def _n_heavy(mol, comp):
    return sum(1 for i in comp if mol.GetAtomWithIdx(i).GetAtomicNum() > 1)


def fragment_triples(mol, comps):
    out = [(formula(mol, sorted(c)), round(avg_mass(mol, sorted(c)), 2),
            nominal(mol, c)) for c in comps]
    out.sort(key=lambda t: t[2], reverse=True)
    return out


def predict_fragments(mol, softs, ring_fragmentation=False, min_ring_mz=30):
    g = atom_graph(mol)
    results, seen, ring_pairs = [], set(), []
    for s in softs:
        pair = tuple(sorted((s["atom_u"], s["atom_v"])))
        if pair in seen:
            continue
        seen.add(pair)
        if not g.has_edge(*pair):
            continue
        label = "{}{}-{}{}".format(s["sym_u"], s["atom_u"], s["sym_v"], s["atom_v"])
        comps = components_without(g, [pair])
        if len(comps) == 2:
            if s["order"] >= 2 and min(_n_heavy(mol, c) for c in comps) == 1:
                continue
            results.append({"bond": label, "split": True, "mode": "single",
                            "fragments": fragment_triples(mol, comps)})
        else:
            results.append({"bond": label, "split": False, "mode": "single",
                            "fragments": None})
            ring_pairs.append(pair)
    if ring_fragmentation:
        seen_double = set()
        for a in range(len(ring_pairs)):
            for b in range(a + 1, len(ring_pairs)):
                p, q = ring_pairs[a], ring_pairs[b]
                comps = components_without(g, [p, q])
                if len(comps) != 2:
                    continue
                frags = fragment_triples(mol, comps)
                if min(f[2] for f in frags) < min_ring_mz:
                    continue
                key = tuple(sorted(f[2] for f in frags))
                if key in seen_double:
                    continue
                seen_double.add(key)
                lbl = "{}{}-{}{} + {}{}-{}{}".format(
                    mol.GetAtomWithIdx(p[0]).GetSymbol(), p[0],
                    mol.GetAtomWithIdx(p[1]).GetSymbol(), p[1],
                    mol.GetAtomWithIdx(q[0]).GetSymbol(), q[0],
                    mol.GetAtomWithIdx(q[1]).GetSymbol(), q[1])
                results.append({"bond": lbl, "split": True, "mode": "ring",
                                "fragments": frags})
    return results


def fragment_soft_indices(H, subgraphs, chem, atom_set, tol=1e-9):
    nodes = [n for a in atom_set for n in subgraphs[a]]
    sub = H.subgraph(nodes).copy()
    out = []
    for i, cb in enumerate(chem):
        if cb["atom_u"] not in atom_set or cb["atom_v"] not in atom_set:
            continue
        out.append(i)
    keep = soft_indices(sub, [chem[i] for i in out], tol)
    return [out[k] for k in keep]


def cut_atom_set(mol, atom_set, softs, ring_fragmentation, min_mz):
    atom_set = set(atom_set)
    g = atom_graph(mol, atom_set)
    pair_order = {}
    for s in softs:
        if s["atom_u"] in atom_set and s["atom_v"] in atom_set:
            pr = tuple(sorted((s["atom_u"], s["atom_v"])))
            pair_order[pr] = max(s.get("order", 1), pair_order.get(pr, 1))
    out, ring_pairs = set(), []
    for pr in pair_order:
        if not g.has_edge(*pr):
            continue
        comps = components_without(g, [pr])
        if len(comps) == 2:
            if pair_order[pr] >= 2 and min(_n_heavy(mol, c) for c in comps) == 1:
                continue
            out.update(frozenset(c) for c in comps)
        else:
            ring_pairs.append(pr)
    if ring_fragmentation:
        for i in range(len(ring_pairs)):
            for j in range(i + 1, len(ring_pairs)):
                comps = components_without(g, [ring_pairs[i], ring_pairs[j]])
                if len(comps) == 2:
                    if min(avg_mass(mol, c) for c in comps) >= min_mz:
                        out.update(frozenset(c) for c in comps)
    return out


def recursive_generations(mol, H, subgraphs, chem, max_generations=3, min_mz=25,
                          ring_fragmentation=True):
    """Every fragment atom set reachable, with the generation in which it is
    first enqueued (breadth first).  Returns (m0, {atom set: generation})."""
    n = mol.GetNumAtoms()
    all_atoms = frozenset(range(n))
    gen_of = {all_atoms: 0}
    frontier = [all_atoms]
    gen = 0
    while frontier and gen < max_generations:
        nxt = []
        for atom_set in frontier:
            softs = [chem[i] for i in
                     fragment_soft_indices(H, subgraphs, chem, atom_set)]
            for child in cut_atom_set(mol, atom_set, softs, ring_fragmentation,
                                      min_mz):
                if not child or child == atom_set or child in gen_of:
                    continue
                gen_of[child] = gen + 1
                nxt.append(child)
        frontier = nxt
        gen += 1
    return nominal(mol, all_atoms), gen_of
