// Writing pyplot's current figure to a file without leaving a broken one.
#pragma once

#include <nanobind/nanobind.h>

namespace tx::figures {

namespace nb = nanobind;

// plt.savefig(fname, dpi=dpi, bbox_inches="tight").  When the write fails,
// the error propagates and a regular file that the failed write created or
// changed is removed, so no half-written image is left at that path.
void savefig_tight(nb::handle fname, int dpi);

}  // namespace tx::figures
