// PubChem PUG REST client: compound name or CID -> SMILES, and the analysis
// of a looked-up compound.
//
// requests is imported at each lookup, never at module import, so the rest
// of the package works on an interpreter without it.
#include <nanobind/stl/string.h>

#include <string>

#include "common/interop.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace tx {

namespace {

const char* const kByError = "by parametresi 'name' veya 'cid' olmal\u0131";

// The query becomes exactly one path segment: every UTF-8 byte outside the
// unreserved set is written %XX, so "/", "?", "#", "%" and spaces can neither
// add segments nor start a query string or fragment.
std::string encode_segment(nb::handle query) {
    nb::str text = nb::str(query);
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!data) throw nb::python_error();
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(static_cast<size_t>(size) * 3);
    for (Py_ssize_t i = 0; i < size; ++i) {
        const unsigned char c = static_cast<unsigned char>(data[i]);
        const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                                c == '-' || c == '.' || c == '_' || c == '~';
        if (unreserved) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 0x0F];
        }
    }
    // "." and ".." are dot segments that clients and servers fold away
    // (name/../property would become .../property), so their dots are escaped.
    if (out == "." || out == "..") {
        std::string dots;
        for (size_t i = 0; i < out.size(); ++i) dots += "%2E";
        out = dots;
    }
    return out;
}

// One GET of `url` exactly as written.  requests re-quotes a URL while
// preparing it (decoding %2E back into "." and folding dot segments), so the
// prepared request gets the URL pinned back before it is sent; everything
// else is what requests.get does: environment proxies and certificates,
// redirects, the given timeout.
nb::object http_get(nb::handle requests, const std::string& head, const std::string& tail, nb::handle timeout) {
    nb::object session = requests.attr("Session")();
    try {
        // The base part goes through requests' own URL preparation (IDNA host,
        // quoting); the encoded segment and the fixed tail are appended as-is.
        nb::object base = requests.attr("models").attr("PreparedRequest")();
        base.attr("prepare_url")(head, nb::none());
        const std::string url = nb::cast<std::string>(base.attr("url")) + tail;
        nb::object prep = session.attr("prepare_request")(requests.attr("Request")("GET", url));
        prep.attr("url") = url;
        nb::object settings =
            session.attr("merge_environment_settings")(url, nb::dict(), nb::none(), nb::none(), nb::none());
        nb::dict kwargs;
        kwargs["timeout"] = timeout;
        kwargs["allow_redirects"] = true;
        kwargs.attr("update")(settings);
        nb::object resp = session.attr("send")(prep, **kwargs);
        session.attr("close")();
        return resp;
    } catch (...) {
        // Close the connection pool without masking the original error.
        try {
            session.attr("close")();
        } catch (nb::python_error&) {
        }
        throw;
    }
}

nb::object first_nonempty(nb::handle record, std::initializer_list<const char*> keys) {
    for (const char* key : keys) {
        nb::object v = record.attr("get")(key);
        if (py::truthy(v)) return v;
    }
    return nb::none();
}

nb::tuple fetch_smiles(nb::handle query, nb::handle by, nb::handle timeout) {
    nb::object requests = nb::module_::import_("requests");
    if (!by.equal(nb::str("name")) && !by.equal(nb::str("cid"))) throw nb::value_error(kByError);

    const std::string head = py::str_of(py::package_attr("PUBCHEM_REST")) + "/" + py::str_of(by) + "/";
    const std::string tail = encode_segment(query) + "/property/SMILES/JSON";
    nb::object resp = http_get(requests, head, tail, timeout);

    nb::object status = resp.attr("status_code");
    if (!status.equal(nb::int_(200)))
        throw nb::value_error(("PubChem '" + py::str_of(query) + "' i\u00e7in sonu\u00e7 d\u00f6nd\u00fcrmedi (HTTP " +
                               py::str_of(status) + ")")
                                  .c_str());

    nb::object data = resp.attr("json")();
    nb::object props = data.attr("get")("PropertyTable", nb::dict()).attr("get")("Properties", nb::list());
    if (!py::truthy(props))
        throw nb::value_error(
            ("PubChem '" + py::str_of(query) + "' i\u00e7in bo\u015f yan\u0131t d\u00f6nd\u00fc").c_str());

    nb::object record = props[0];
    nb::object smiles = first_nonempty(record, {"SMILES", "IsomericSMILES", "ConnectivitySMILES"});
    nb::object cid = record.attr("get")("CID");
    if (smiles.is_none())
        throw nb::value_error(("PubChem yan\u0131t\u0131nda SMILES bulunamad\u0131: " + py::str_of(record)).c_str());
    return nb::make_tuple(smiles, cid);
}

// (a, b) = value, with the interpreter's unpacking errors.
std::pair<nb::object, nb::object> unpack_pair(nb::handle value) {
    nb::object items = nb::module_::import_("builtins").attr("tuple")(value);
    const size_t n = nb::len(items);
    if (n < 2)
        throw nb::value_error(("not enough values to unpack (expected 2, got " + std::to_string(n) + ")").c_str());
    if (n > 2) throw nb::value_error("too many values to unpack (expected 2)");
    return {items[0], items[1]};
}

}  // namespace

void add_pubchem(nb::module_& m) {
    m.attr("PUBCHEM_REST") = "https://pubchem.ncbi.nlm.nih.gov/rest/pug/compound";

    m.def("fetch_smiles_from_pubchem", &fetch_smiles, "query"_a.none(), "by"_a.none() = "name", "timeout"_a.none() = 20,
          "Looks a compound up in PubChem PUG REST and returns (smiles, cid).\n\n"
          "by is 'name' or 'cid'; query is a name or a CID (text or integer) and is sent as one\n"
          "percent-encoded path segment of PUBCHEM_REST/<by>/<query>/property/SMILES/JSON (the\n"
          "base URL is read from the package at every call).  One GET with the given timeout in\n"
          "seconds; the first property record is used: SMILES, else IsomericSMILES, else\n"
          "ConnectivitySMILES; cid is the record's CID or None.\n\n"
          "Raises ValueError for a bad by (before any request), a status other than 200, an empty\n"
          "answer or a record without SMILES; network, timeout and JSON errors propagate as raised\n"
          "by requests.");

    m.def(
        "VIF_from_pubchem",
        [](nb::handle query, nb::handle by, nb::kwargs vif_kwargs) {
            auto [smiles, cid] = unpack_pair(py::package_attr("fetch_smiles_from_pubchem")(query, "by"_a = by));
            py::emit("[PubChem] '" + py::str_of(query) + "' -> CID " + py::str_of(cid) +
                     " -> SMILES: " + py::str_of(smiles));
            return py::package_attr("VIF")(smiles, **vif_kwargs);
        },
        "query"_a.none(), "by"_a.none() = "name", "vif_kwargs"_a,
        "Resolves a PubChem name or CID to SMILES and returns VIF's result for it.\n\n"
        "Prints one line \"[PubChem] '<query>' -> CID <cid> -> SMILES: <smiles>\"; every further\n"
        "keyword (n_iter, draw, verbose, ...) is passed to VIF unchanged.  Lookup errors propagate\n"
        "and nothing is printed then.");
}

}  // namespace tx
