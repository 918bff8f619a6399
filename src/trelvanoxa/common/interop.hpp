// Shared glue between the native core and the interpreter: the package
// namespace, printing through sys.stdout, reading RDKit molecules once into
// plain records, and numpy conversions.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>

#include <string>
#include <vector>

#include <Eigen/Dense>

#include "common/links.hpp"
#include "common/molecule.hpp"

// Names the stubs give to arguments that the bindings read themselves.
namespace tx::py::hint {
struct Graph {};      // networkx.Graph
struct Mol {};        // rdkit.Chem.rdchem.Mol
struct Mapping {};    // collections.abc.Mapping[str, typing.Any]
struct Records {};    // collections.abc.Iterable[collections.abc.Mapping[str, typing.Any]]
struct Indices {};    // collections.abc.Iterable[int]
struct Real {};       // float
struct Flag {};       // bool
struct Text {};       // str
struct Any {};        // typing.Any
}  // namespace tx::py::hint

namespace nanobind::detail {
#define TX_HINT(T, text)                                             \
    template <>                                                      \
    struct type_caster<tx::py::hint::T> {                            \
        static constexpr auto Name = const_name(text);               \
    }
TX_HINT(Graph, "networkx.Graph");
TX_HINT(Mol, "rdkit.Chem.rdchem.Mol");
TX_HINT(Mapping, "collections.abc.Mapping[str, typing.Any]");
TX_HINT(Records, "collections.abc.Iterable[collections.abc.Mapping[str, typing.Any]]");
TX_HINT(Indices, "collections.abc.Iterable[int]");
TX_HINT(Real, "float");
TX_HINT(Flag, "bool");
TX_HINT(Text, "str");
TX_HINT(Any, "typing.Any");
#undef TX_HINT
}  // namespace nanobind::detail

namespace tx::py {

namespace nb = nanobind;

// An argument read by the binding itself, shown in the stubs as T.
template <class T>
using arg = nb::typed<nb::handle, T>;
using GraphArg = arg<hint::Graph>;
using MolArg = arg<hint::Mol>;
using MappingArg = arg<hint::Mapping>;
using RecordsArg = arg<hint::Records>;
using IndicesArg = arg<hint::Indices>;
using RealArg = arg<hint::Real>;
using FlagArg = arg<hint::Flag>;
using TextArg = arg<hint::Text>;
using AnyArg = arg<hint::Any>;
// Records handed back: dicts with str keys.
using Record = nb::typed<nb::dict, nb::str, AnyArg>;
using RecordList = nb::typed<nb::list, Record>;

// The trelvanoxa package, so names a caller rebinds there are seen at call time.
nb::object package();
nb::object package_attr(const char* name);

// One line (plus newline) through the interpreter's print, so sys.stdout
// redirection (notebooks, pytest capture) sees it.
void emit(const std::string& line);

bool truthy(nb::handle obj);
std::string str_of(nb::handle obj);
std::string type_name_of(nb::handle obj);

// Raises TypeError unless `mol` looks like an RDKit molecule.
void require_mol(nb::handle mol, const char* what = "mol");
// Raises TypeError unless `graph` looks like a networkx graph.
void require_graph(nb::handle graph, const char* what = "graph");

// GetNumAtoms() of a molecule: an int from 0 to kMaxAtoms (ValueError otherwise).
constexpr long kMaxAtoms = 1L << 20;
constexpr long kMaxAtomicNum = 118;      // the last element of RDKit's periodic table
constexpr double kMaxBondType = 1000.0;  // |GetBondTypeAsDouble()| beyond this is not a bond
long num_atoms(nb::handle mol);

// Runs f(), which reads a molecule-like object: a missing method on it or on
// the atoms and bonds it hands out (AttributeError) becomes a TypeError.
template <class F>
auto reading_mol(F&& f) -> decltype(f()) {
    try {
        return f();
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_AttributeError)) throw;
        throw nb::type_error(("mol does not behave like an RDKit Mol: " + str_of(e.value())).c_str());
    }
}

// Values read from the caller's objects, checked with errors that name them:
// an int (TypeError unless it is one, ValueError beyond `lo`..`hi`), a str.
long int_value(nb::handle v, const char* what, long lo = -(1L << 62), long hi = 1L << 62);
std::string text_value(nb::handle v, const char* what);

// Converts to an atom index of `mol` (0 <= i < n) or raises IndexError.
int atom_index(nb::handle value, long n_atoms, const char* what);

enum MolFields : unsigned {
    kSymbols = 1,
    kMasses = 2,
    kNeighbours = 4,
    kPeriods = 8,   // through the package's _get_period memo
    kNominal = 16,  // through the _NOMINAL_ISOTOPE memo
    kAll = 31,
};

// Reads atoms (in index order) and bonds (in bond order) of an RDKit molecule.
Molecule read_molecule(nb::handle mol, unsigned fields);

// Nominal mass of an element, memoised in the package's _NOMINAL_ISOTOPE.
nb::object nominal_atom_mass(nb::handle atomic_num);

// A real number (edge weights, thresholds, angles); TypeError for anything else,
// naming `what` when given.
double real_value(nb::handle w, const char* what = nullptr);
// A finite real number; ValueError naming `what` for NaN and infinities.
double finite_value(nb::handle w, const char* what);
double finite_value(double x, const char* what);
// A zero-band tolerance: finite and not negative.
double tolerance(double tol, const char* what = "tol");
// A count (an integer from 0 up); TypeError or ValueError naming `what`.
long count_value(nb::handle v, const char* what);

nb::object float_vector_to_numpy(const double* data, size_t n);

// A networkx graph read once: node order, node -> index, weighted links.
struct GraphData {
    nb::dict index;
    int n = 0;
    Links links;
    std::vector<nb::object> keys;  // edge key of each link of a multigraph
    bool multigraph = false;
    int node_index(nb::handle node) const;  // -1 when the node is absent
    Eigen::MatrixXd dense() const;          // as networkx.to_numpy_array builds it
};
GraphData read_graph(nb::handle graph, nb::handle weight);

// Runs f() with the GIL released; exceptions pass through once it is held again.
template <class F>
auto without_gil(F&& f) -> decltype(f()) {
    nb::gil_scoped_release release;
    return f();
}

}  // namespace tx::py
