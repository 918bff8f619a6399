#include "reference/reference.hpp"

namespace tx {

void add_reference(nanobind::module_& m) {
    reference::add_tables(m);
    reference::add_validate(m);
    reference::add_demos(m);
}

}  // namespace tx
