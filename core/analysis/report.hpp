// Text report of one analysis.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "ms/fragments.hpp"
#include "vif/soft_pass.hpp"

namespace tx::analysis {

using vif::Inertia;

// Lines 1 to 4: molecule, masses, LPI, eigenvalues.
std::vector<std::string> report_head(const std::string& smiles, double mass_avg, long mass_nominal,
                                     const Inertia& lpi, const std::vector<double>& eigenvalues);

// Lines 5 to 10: soft bonds, fragments, expected peaks, multi-generation peaks.
std::vector<std::string> report_tail(size_t n_soft, const std::vector<ms::FragmentRecord>& fragments,
                                     const std::optional<std::vector<ms::Peak>>& peaks,
                                     const std::string& max_generations);

// "[a, b, c]" of integers.
std::string int_list(const std::vector<long>& values);

}  // namespace tx::analysis
