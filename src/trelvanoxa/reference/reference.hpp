// Reference tables, the validation suite and the two demonstrations.
#pragma once

#include <string>
#include <vector>

#include "common/interop.hpp"

namespace tx::reference {

namespace nb = nanobind;

void add_tables(nb::module_& m);
void add_validate(nb::module_& m);
void add_demos(nb::module_& m);

// `a, b, c = value` with the interpreter's unpacking errors.
std::vector<nb::object> unpack(nb::handle value, size_t n);

// str(value) padded with spaces to at least `width` characters.
std::string ljust(nb::handle value, long width);
std::string rjust(nb::handle value, long width);

// "(a, b, c)" as the interpreter writes the tuple of n+, n0, n- of an LPI record.
std::string lpi_triple(nb::handle lpi);

// A line of `n` "=" characters.
std::string rule(size_t n);

}  // namespace tx::reference
