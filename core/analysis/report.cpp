#include "analysis/report.hpp"

#include "common/pyfloat.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <functional>
#include <set>

namespace tx::analysis {

std::string int_list(const std::vector<long>& values) {
    std::string s = "[";
    for (size_t i = 0; i < values.size(); ++i) {
        if (i) s += ", ";
        s += std::to_string(values[i]);
    }
    return s + "]";
}

std::vector<std::string> report_head(const std::string& smiles, double mass_avg, long mass_nominal,
                                     const Inertia& lpi, const std::vector<double>& eigenvalues) {
    std::vector<std::string> lines;
    lines.push_back("[VIF] " + smiles);
    char avg[400];
    const auto res = std::to_chars(avg, avg + sizeof avg, mass_avg, std::chars_format::fixed, 2);
    lines.push_back("      Molecular mass M = " + std::string(avg, res.ptr) + " g/mol (avg)  (M+ peak m/z = " +
                    std::to_string(mass_nominal) + " nominal)");
    lines.push_back("      LPI = {n+=" + std::to_string(lpi.pos) + ", n0=" + std::to_string(lpi.zero) +
                    ", n-=" + std::to_string(lpi.neg) + "}  (" + std::to_string(lpi.pos + lpi.zero + lpi.neg) +
                    " orbitals total)");
    std::string ev = "[";
    for (size_t i = 0; i < eigenvalues.size(); ++i) {
        if (i) ev += ", ";
        ev += py_float::repr(py_float::round_half_even(eigenvalues[i], 3));
    }
    lines.push_back("      Eigenvalues: " + ev + "]");
    return lines;
}

namespace {

std::string fragment_text(const ms::FragmentRecord& r) {
    std::string s;
    for (size_t i = 0; i < r.fragments.size(); ++i) {
        if (i) s += "  +  ";
        s += r.fragments[i].formula + " (m/z=" + std::to_string(r.fragments[i].mz) + ")";
    }
    return s;
}

std::vector<long> descending(const std::set<long>& s) { return {s.rbegin(), s.rend()}; }

}  // namespace

std::vector<std::string> report_tail(size_t n_soft, const std::vector<ms::FragmentRecord>& fragments,
                                     const std::optional<std::vector<ms::Peak>>& peaks,
                                     const std::string& max_generations) {
    std::vector<const ms::FragmentRecord*> single, ringcut;
    size_t ring_bonds = 0;
    for (const auto& f : fragments) {
        if (!f.split)
            ++ring_bonds;
        else
            (f.ring ? ringcut : single).push_back(&f);
    }
    std::vector<std::string> lines;
    if (n_soft)
        lines.push_back("      Soft bonds: " + std::to_string(n_soft) + "  (" + std::to_string(single.size()) +
                        " single-cut fragment(s) + " + std::to_string(ring_bonds) + " ring bond(s))");
    else
        lines.push_back("      Soft bonds: none (all bonds essential \u2192 stable M+ dominates)");

    std::set<long> collected;
    if (!single.empty()) {
        lines.push_back("      Single-cut MS fragments (m/z):");
        for (const auto* s : single) {
            lines.push_back("        if " + s->bond + " cleaves:  " + fragment_text(*s));
            for (const auto& f : s->fragments) collected.insert(f.mz);
        }
    }
    if (!ringcut.empty()) {
        lines.push_back("      Ring double-cut fragments (" + std::to_string(ringcut.size()) +
                        " possible cleavages \u2014 not all may be observed):");
        for (const auto* s : ringcut) {
            lines.push_back("        " + s->bond + ":  " + fragment_text(*s));
            for (const auto& f : s->fragments) collected.insert(f.mz);
        }
    }
    if (!collected.empty()) lines.push_back("      Expected peak m/z list: " + int_list(descending(collected)));
    if (single.empty()) lines.push_back("      No real fragments \u2192 M+ dominates, single peak");
    if (peaks && !peaks->empty()) {
        lines.push_back("      Multi-generation MS (" + max_generations + " generations, " +
                        std::to_string(peaks->size()) + " peaks):");
        std::set<long> keys;
        for (const auto& p : *peaks) keys.insert(p.mz);
        lines.push_back("        m/z list: " + int_list(descending(keys)));
    }
    return lines;
}

}  // namespace tx::analysis
