#include "values.hpp"

#include <nanobind/ndarray.h>

#include <algorithm>
#include <cmath>

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

nb::object float_vector_to_numpy(const double* data, size_t n) {
    double* buf = new double[n ? n : 1];
    std::copy(data, data + n, buf);
    nb::capsule owner(buf, [](void* p) noexcept { delete[] static_cast<double*>(p); });
    return nb::cast(nb::ndarray<nb::numpy, double, nb::ndim<1>>(buf, {n}, owner));
}

}  // namespace tx::py
