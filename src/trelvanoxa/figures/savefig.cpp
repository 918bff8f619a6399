#include "figures/savefig.hpp"

#include "common/interop.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace tx::figures {

namespace {

// (device, inode, size, mtime) of a regular file, None otherwise.
nb::object file_state(nb::handle os, nb::handle path) {
    if (!py::truthy(os.attr("path").attr("isfile")(path))) return nb::none();
    try {
        nb::object st = os.attr("stat")(path);
        return nb::make_tuple(st.attr("st_dev"), st.attr("st_ino"), st.attr("st_size"), st.attr("st_mtime_ns"));
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_OSError)) throw;
        return nb::none();
    }
}

}  // namespace

void savefig_tight(nb::handle fname, int dpi) {
    nb::object plt = py::package_attr("plt");
    nb::object os = nb::module_::import_("os");
    // Only a path names a file we may clean up; file objects are the caller's.
    nb::object path = nb::none();
    int is_pathlike = PyObject_IsInstance(fname.ptr(), os.attr("PathLike").ptr());
    if (is_pathlike < 0) throw nb::python_error();
    if (PyUnicode_Check(fname.ptr()) || PyBytes_Check(fname.ptr()) || is_pathlike) {
        nb::object target = os.attr("fspath")(fname);
        // A text name without an extension is written with the default
        // format's extension appended ("out" -> "out.png"), as matplotlib does.
        if (PyUnicode_Check(target.ptr()) && nb::len(nb::object(os.attr("path").attr("splitext")(target)[1])) <= 1)
            target = target.attr("rstrip")(".") + nb::str(".") +
                     plt.attr("rcParams")["savefig.format"];
        path = os.attr("path").attr("realpath")(target);
    }
    const bool existed = !path.is_none() && py::truthy(os.attr("path").attr("lexists")(path));
    nb::object before = path.is_none() ? nb::none() : file_state(os, path);
    try {
        plt.attr("savefig")(fname, "dpi"_a = dpi, "bbox_inches"_a = "tight");
    } catch (nb::python_error&) {
        // Devices, directories and other non-regular targets are never touched.
        if (!path.is_none() && (!existed || !before.is_none())) {
            nb::object after = file_state(os, path);
            if (!after.is_none() && (before.is_none() || !after.equal(before))) {
                try {
                    os.attr("remove")(path);
                } catch (nb::python_error& e) {
                    if (!e.matches(PyExc_OSError)) throw;
                }
            }
        }
        throw;
    }
}

}  // namespace tx::figures
