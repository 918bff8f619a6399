// Argument and result types as the stubs name them: the bindings read these
// objects themselves, so nanobind is told only what to call them.
#pragma once

#include <nanobind/nanobind.h>

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

}  // namespace tx::py
