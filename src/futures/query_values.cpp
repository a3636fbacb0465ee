// The reference-data query carries its values verbatim, so a caller may pass extra filters through "&"
// and "=" on purpose. Three kinds of character cannot travel that way: "#" starts the address's fragment
// (everything after it is never sent, and a record of another instrument comes back), and white space or
// a control character makes the standard client refuse the address before anything leaves the process.
#include <span>

#include "futures.hpp"

namespace futures {

namespace {

bool is_control(Py_UCS4 ch) { return ch < 0x20 || (ch >= 0x7f && ch <= 0x9f); }

// The position of the first character that cannot be sent verbatim, or -1.
Py_ssize_t first_unsendable(PyObject* text) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 ch = PyUnicode_READ(kind, data, i);
        if (ch == '#' || is_control(ch) || Py_UNICODE_ISSPACE(ch)) return i;
    }
    return -1;
}

}  // namespace

void require_sendable_query_values(const rt::Args& args, std::span<const rt::Param> params) {
    for (std::size_t i = 0; i < params.size(); ++i) {
        if (params[i].check != rt::Check::ExactStrOrNone) continue;  // the query values are the texts
        PyObject* value = args[i];
        if (value == Py_None) continue;
        const Py_ssize_t at = first_unsendable(value);
        if (at < 0) continue;
        const Py_UCS4 ch = PyUnicode_READ_CHAR(value, at);
        rt::Ref offending = rt::Ref::steal(PyUnicode_FromOrdinal(static_cast<int>(ch)));
        rt::raise_format(PyExc_ValueError, "%s=%R cannot be sent to the reference-data service: it holds %R, %s",
                         params[i].name, value, offending.get(),
                         ch == '#' ? "which would cut the query short there" : "which a request address cannot carry");
    }
}

}  // namespace futures
