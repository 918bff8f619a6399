// Python objects of the fragment predictors.
#pragma once

#include "hints.hpp"
#include "values.hpp"
#include "ms/fragments.hpp"

namespace tx::py {

// Fragment records: {"bond", "split", "mode", "fragments"} dicts, fragments
// as (formula, mass, m/z) tuples or None.
nb::list fragment_records(const std::vector<ms::FragmentRecord>& records);

// Peaks record: m/z -> {"formula", "generation"} in discovery order.
nb::dict peaks_record(const std::vector<ms::Peak>& peaks);

// Generations to run from any real number (ValueError for NaN).
long generation_count(nb::handle value);

}  // namespace tx::py
