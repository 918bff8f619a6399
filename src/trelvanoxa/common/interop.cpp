#include "common/interop.hpp"

#include <cmath>
#include <unordered_map>

#include "common/poll.hpp"

namespace tx::py {

nb::object package() { return nb::module_::import_("trelvanoxa"); }

nb::object package_attr(const char* name) { return package().attr(name); }

void emit(const std::string& line) { nb::print(nb::str(line.data(), line.size())); }

bool truthy(nb::handle obj) {
    const int r = PyObject_IsTrue(obj.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

std::string str_of(nb::handle obj) {
    nb::str s = nb::str(obj);
    // Lone surrogates cannot be UTF-8: raise UnicodeEncodeError, never read NULL.
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(s.ptr(), &size);
    if (!data) throw nb::python_error();
    return std::string(data, static_cast<size_t>(size));
}

std::string type_name_of(nb::handle obj) { return str_of(nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr()))).attr("__name__")); }

void require_mol(nb::handle mol, const char* what) {
    if (!nb::hasattr(mol, "GetAtomWithIdx") || !nb::hasattr(mol, "GetBonds"))
        throw nb::type_error((std::string(what) + " must be an RDKit Mol, not " + type_name_of(mol)).c_str());
}

void require_graph(nb::handle graph, const char* what) {
    if (!nb::hasattr(graph, "number_of_nodes") || !nb::hasattr(graph, "edges") || !nb::hasattr(graph, "is_directed"))
        throw nb::type_error((std::string(what) + " must be a networkx graph, not " + type_name_of(graph)).c_str());
    if (truthy(graph.attr("is_directed")()))
        throw nb::type_error((std::string(what) + " must be an undirected graph").c_str());
}

long int_value(nb::handle v, const char* what, long lo, long hi) {
    if (!PyIndex_Check(v.ptr()))
        throw nb::type_error((std::string(what) + " must be an int, not " + type_name_of(v)).c_str());
    nb::object idx = nb::steal(PyNumber_Index(v.ptr()));
    if (!idx.is_valid()) throw nb::python_error();
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(idx.ptr(), &overflow);
    if (n == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow != 0 || n < lo || n > hi)
        throw nb::value_error((std::string(what) + " must be from " + std::to_string(lo) + " to " + std::to_string(hi) +
                               ", not " + str_of(idx)).c_str());
    return static_cast<long>(n);
}

std::string text_value(nb::handle v, const char* what) {
    if (!PyUnicode_Check(v.ptr()))
        throw nb::type_error((std::string(what) + " must be a str, not " + type_name_of(v)).c_str());
    return str_of(v);
}

long num_atoms(nb::handle mol) { return int_value(mol.attr("GetNumAtoms")(), "GetNumAtoms()", 0, kMaxAtoms); }

int atom_index(nb::handle value, long n_atoms, const char* what) {
    nb::object idx;
    try {
        idx = nb::steal(PyNumber_Index(value.ptr()));
        if (!idx.is_valid()) throw nb::python_error();
    } catch (nb::python_error&) {
        throw nb::type_error((std::string(what) + " must be an integer atom index, not " + type_name_of(value)).c_str());
    }
    int overflow = 0;
    const long long i = PyLong_AsLongLongAndOverflow(idx.ptr(), &overflow);
    if (i == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow != 0)
        throw nb::index_error((std::string(what) + " " + str_of(idx) + " is outside the molecule (" +
                               std::to_string(n_atoms) + " atoms)").c_str());
    if (i < 0 || i >= n_atoms)
        throw nb::index_error((std::string(what) + " " + std::to_string(i) + " is outside the molecule (" +
                               std::to_string(n_atoms) + " atoms)").c_str());
    return static_cast<int>(i);
}

nb::object nominal_atom_mass(nb::handle atomic_num) {
    // A plain int for the toolkit, whatever integer type the caller used (numpy.int64 included).
    nb::int_ z(int_value(atomic_num, "atomic_num", 0, kMaxAtomicNum));
    nb::object memo = package_attr("_NOMINAL_ISOTOPE");
    nb::object m = memo.attr("get")(z);
    if (m.is_none()) {
        m = package_attr("Chem").attr("GetPeriodicTable")().attr("GetMostCommonIsotope")(z);
        memo[z] = m;
    }
    return m;
}

namespace {
Molecule read_molecule_unchecked(nb::handle mol, unsigned fields);
}

Molecule read_molecule(nb::handle mol, unsigned fields) {
    require_mol(mol);
    return reading_mol([&] { return read_molecule_unchecked(mol, fields); });
}

namespace {
Molecule read_molecule_unchecked(nb::handle mol, unsigned fields) {
    Molecule out;
    const long n = num_atoms(mol);
    out.atoms.resize(n);
    nb::object get_period = (fields & kPeriods) ? package_attr("_get_period") : nb::object();
    std::unordered_map<std::string, long> period_of;
    std::unordered_map<int, long> nominal_of;
    for (long i = 0; i < n && fields != 0; ++i) {
        nb::object atom = mol.attr("GetAtomWithIdx")(i);
        AtomRec& a = out.atoms[i];
        a.atomic_num = static_cast<int>(int_value(atom.attr("GetAtomicNum")(), "GetAtomicNum()", 0, kMaxAtomicNum));
        if (fields & (kSymbols | kPeriods)) a.symbol = text_value(atom.attr("GetSymbol")(), "GetSymbol()");
        if (fields & kMasses) a.mass = finite_value(atom.attr("GetMass")(), "GetMass()");
        if (fields & kNeighbours)
            for (nb::handle nbr : atom.attr("GetNeighbors")()) a.nbrs.push_back(atom_index(nbr.attr("GetIdx")(), n, "neighbour atom"));
        if (fields & kPeriods) {
            auto it = period_of.find(a.symbol);
            if (it == period_of.end()) it = period_of.emplace(a.symbol, int_value(get_period(a.symbol), "period", 1, 100)).first;
            a.period = static_cast<int>(it->second);
        }
        if (fields & kNominal) {
            auto it = nominal_of.find(a.atomic_num);
            if (it == nominal_of.end())
                it = nominal_of.emplace(a.atomic_num, int_value(nominal_atom_mass(nb::int_(a.atomic_num)), "nominal mass", 0, 1L << 20)).first;
            a.nominal = it->second;
        }
    }
    for (nb::handle b : mol.attr("GetBonds")()) {
        BondRec r;
        r.u = atom_index(b.attr("GetBeginAtomIdx")(), n, "bond atom");
        r.v = atom_index(b.attr("GetEndAtomIdx")(), n, "bond atom");
        r.type = finite_value(b.attr("GetBondTypeAsDouble")(), "GetBondTypeAsDouble()");
        if (r.type < -kMaxBondType || r.type > kMaxBondType)
            throw nb::value_error(("GetBondTypeAsDouble() gave " + str_of(nb::float_(r.type)) + ", not a bond type").c_str());
        r.order = bond_order_of(r.type);
        out.bonds.push_back(r);
    }
    if (fields & kNeighbours) {
        // Bond index of each neighbour, in the toolkit's neighbour order.
        std::unordered_map<uint64_t, int> bond_of;
        for (size_t bi = 0; bi < out.bonds.size(); ++bi) {
            const auto& b = out.bonds[bi];
            bond_of[(static_cast<uint64_t>(b.u) << 32) | static_cast<uint32_t>(b.v)] = static_cast<int>(bi);
            bond_of[(static_cast<uint64_t>(b.v) << 32) | static_cast<uint32_t>(b.u)] = static_cast<int>(bi);
        }
        for (long i = 0; i < n; ++i)
            for (int nbr : out.atoms[i].nbrs) {
                auto it = bond_of.find((static_cast<uint64_t>(i) << 32) | static_cast<uint32_t>(nbr));
                if (it == bond_of.end())
                    throw nb::value_error(("atom " + std::to_string(i) + " lists atom " + std::to_string(nbr) +
                                           " as a neighbour but no bond joins them").c_str());
                out.atoms[i].nbr_bonds.push_back(it->second);
            }
    }
    return out;
}
}  // namespace

double real_value(nb::handle w, const char* what) {
    if (PyFloat_Check(w.ptr())) return PyFloat_AS_DOUBLE(w.ptr());
    if (PyUnicode_Check(w.ptr()) || PyBytes_Check(w.ptr()) || !nb::hasattr(w, "__float__") ||
        PyComplex_Check(w.ptr())) {
        std::string shown = str_of(nb::repr(w));
        if (shown.size() > 80) shown = shown.substr(0, 77) + "...";
        throw nb::type_error(((what ? std::string(what) + " must be a real number" : std::string("expected a real number")) +
                              ", not " + type_name_of(w) + " (" + shown + ")").c_str());
    }
    const double v = PyFloat_AsDouble(w.ptr());
    if (v == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return v;
}

double finite_value(double x, const char* what) {
    if (!std::isfinite(x))
        throw nb::value_error((std::string(what) + " must be a finite number, not " + (std::isnan(x) ? "nan" : "inf")).c_str());
    return x;
}

double finite_value(nb::handle w, const char* what) { return finite_value(real_value(w, what), what); }

double tolerance(double tol, const char* what) {
    if (std::isnan(tol) || tol < 0 || std::isinf(tol))
        throw nb::value_error((std::string(what) + " must be a finite number >= 0, not " + std::to_string(tol)).c_str());
    return tol;
}

long count_value(nb::handle v, const char* what) {
    if (PyBool_Check(v.ptr()))
        throw nb::type_error((std::string(what) + " must be an int, not " + type_name_of(v)).c_str());
    return int_value(v, what, 0, 1L << 40);
}

int GraphData::node_index(nb::handle node) const {
    const int r = PyDict_Contains(index.ptr(), node.ptr());
    if (r < 0) throw nb::python_error();
    if (r == 0) return -1;
    return static_cast<int>(PyLong_AsLong(index[node].ptr()));  // the index was built here
}

Eigen::MatrixXd GraphData::dense() const {
    Eigen::MatrixXd a = Eigen::MatrixXd::Zero(n, n);
    for (const auto& l : links) {
        if (multigraph) {
            a(l.u, l.v) += l.w;
            if (l.u != l.v) a(l.v, l.u) += l.w;
        } else {
            a(l.u, l.v) = l.w;
            a(l.v, l.u) = l.w;
        }
    }
    return a;
}

GraphData read_graph(nb::handle graph, nb::handle weight) {
    require_graph(graph);
    if (!weight.is_none() && !PyUnicode_Check(weight.ptr()))
        throw nb::type_error(("weight must be an edge attribute name (str) or None, not " + type_name_of(weight)).c_str());
    GraphData g;
    g.multigraph = truthy(graph.attr("is_multigraph")());
    int i = 0;
    for (nb::handle node : graph.attr("nodes")()) g.index[node] = i++;
    g.n = i;
    // (u, v[, key], weight), 1.0 for edges without the attribute; every weight
    // is 1.0 when weight is None.
    nb::dict kwargs;
    if (g.multigraph) kwargs["keys"] = true;
    kwargs["data"] = weight.is_none() ? nb::object(nb::bool_(false)) : nb::borrow(weight);
    kwargs["default"] = 1.0;
    nb::object edges = graph.attr("edges")(**kwargs);
    const size_t weight_at = g.multigraph ? 3 : 2;
    for (nb::handle e : edges) {
        nb::object t = nb::borrow(e);
        const int u = g.node_index(t[0]), v = g.node_index(t[1]);
        if (u < 0 || v < 0)
            throw nb::value_error(("edge (" + str_of(nb::repr(t[0])) + ", " + str_of(nb::repr(t[1])) +
                                   ") names a node that is not in the graph").c_str());
        const double w = weight.is_none() ? 1.0 : real_value(t[weight_at], "edge weight");
        if (!std::isfinite(w))
            throw nb::value_error(("edge (" + str_of(nb::repr(t[0])) + ", " + str_of(nb::repr(t[1])) +
                                   ") has a non-finite weight " + str_of(nb::repr(t[weight_at])))
                                      .c_str());
        g.links.push_back({u, v, w});
        if (g.multigraph) g.keys.push_back(nb::borrow(t[2]));
    }
    return g;
}

nb::object float_vector_to_numpy(const double* data, size_t n) {
    double* buf = new double[n ? n : 1];
    std::copy(data, data + n, buf);
    nb::capsule owner(buf, [](void* p) noexcept { delete[] static_cast<double*>(p); });
    return nb::cast(nb::ndarray<nb::numpy, double, nb::ndim<1>>(buf, {n}, owner));
}

}  // namespace tx::py
