#include "lookup_report.hpp"

#include "names.hpp"

namespace futures {

namespace {

// The account is kept on the side: a failure to keep it (an Exception, or memory running out) is dropped,
// but an interrupt or an exit raised meanwhile propagates as it would from any other step of the lookup.
template <typename Body>
void on_the_side(Body&& body) {
    try {
        (void)rt::suppress(PyExc_Exception, body);
    } catch (const std::bad_alloc&) {
    }
}

bool is_http_error(PyObject* error) {
    rt::Ref urllib = rt::global(n_urllib);
    rt::Ref errors = rt::attr(urllib.get(), n_error);
    rt::Ref http_error = rt::attr(errors.get(), n_HTTPError);
    return rt::is_instance(error, http_error.get());
}

// The connection was refused, directly or as the reason the standard client gives for its URLError.
bool is_connection_refused(PyObject* error) {
    if (PyErr_GivenExceptionMatches(error, PyExc_ConnectionRefusedError)) return true;
    rt::Ref reason;
    // An error without a readable reason is simply not that one.
    if (!rt::suppress(PyExc_Exception, [&] { reason = rt::attr(error, n_reason); })) return false;
    return PyErr_GivenExceptionMatches(reason.get(), PyExc_ConnectionRefusedError) != 0;
}

// "scheme://host:port" of an address: where the service should be listening.
rt::Ref origin_of(PyObject* address) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(address);
    rt::Ref scheme_end = rt::Ref::steal(PyUnicode_FromString("://"));
    Py_ssize_t at = PyUnicode_Find(address, scheme_end.get(), 0, length, 1);
    if (at == -2) rt::raise_pending();
    at = at < 0 ? 0 : at + 3;
    for (; at < length; ++at) {
        const Py_UCS4 ch = PyUnicode_READ_CHAR(address, at);
        if (ch == '/' || ch == '?') break;
    }
    return rt::Ref::steal(PyUnicode_Substring(address, 0, at));
}

// "attempt 1: ..." lines, runs of the same outcome told once ("attempts 2-5: ...").
rt::Ref outcome_lines(PyObject* outcomes) {
    rt::Ref lines = rt::Ref::steal(PyList_New(0));
    const Py_ssize_t count = PyList_GET_SIZE(outcomes);
    for (Py_ssize_t first = 0; first < count;) {
        PyObject* text = PyList_GET_ITEM(outcomes, first);
        Py_ssize_t last = first;
        while (last + 1 < count &&
               // Both are texts made here: comparing them cannot fail, and -1 only means "sorts before".
               PyUnicode_Compare(PyList_GET_ITEM(outcomes, last + 1), text) == 0) {
            ++last;
        }
        rt::Ref line =
            rt::Ref::steal(first == last ? PyUnicode_FromFormat("  attempt %zd: %U", first + 1, text)
                                         : PyUnicode_FromFormat("  attempts %zd-%zd: %U", first + 1, last + 1, text));
        rt::require(PyList_Append(lines.get(), line.get()));
        first = last + 1;
    }
    return lines;
}

}  // namespace

void LookupReport::attempt_failed(PyObject* error, bool got_response) {
    on_the_side([&] {
        if (!outcomes_) outcomes_ = rt::Ref::steal(PyList_New(0));
        if (got_response || is_http_error(error)) {
            answered_ = true;
            // After an answer, the only plain Exception the lookup raises is its own "expiry date ... not
            // found": the service listed records, none with the requested expiry date.
            if (Py_IS_TYPE(error, reinterpret_cast<PyTypeObject*>(PyExc_Exception))) unmatched_ = true;
        } else if (is_connection_refused(error)) {
            refused_ = true;
        }
        rt::Ref text = rt::Ref::steal(PyUnicode_FromFormat("%s: %S", Py_TYPE(error)->tp_name, error));
        rt::require(PyList_Append(outcomes_.get(), text.get()));
    });
}

void LookupReport::attempt_refused_status(PyObject* status) {
    on_the_side([&] {
        if (!outcomes_) outcomes_ = rt::Ref::steal(PyList_New(0));
        answered_ = true;
        rt::Ref text = rt::Ref::steal(PyUnicode_FromFormat("status %S, where only 200 is taken", status));
        rt::require(PyList_Append(outcomes_.get(), text.get()));
    });
}

// Kept in the thread-state dict as (records, account or None, cache path or None).
template <typename Compose>
void LookupReport::keep(PyObject* records, PyObject* cache_path, Compose&& compose) {
    on_the_side([&] {
        PyObject* thread_dict = PyThreadState_GetDict();
        if (thread_dict == nullptr) return;
        rt::Ref account = compose();
        rt::Ref kept = rt::Ref::steal(
            PyTuple_Pack(3, records, account ? account.get() : Py_None, cache_path != nullptr ? cache_path : Py_None));
        rt::require(PyDict_SetItem(thread_dict, t_empty_lookup_key, kept.get()));
    });
}

void LookupReport::publish_cached(PyObject* records, PyObject* cache_path) {
    keep(records, cache_path, [&] {
        if (!PyList_CheckExact(records) || PyList_GET_SIZE(records) != 0) return rt::Ref();
        return rt::Ref::steal(PyUnicode_FromFormat(
            "the lookup of %U was answered from the cache file %S, which holds no record; delete that file to "
            "ask the service again.",
            address_, cache_path));
    });
}

void LookupReport::publish_fetched(PyObject* records) {
    keep(records, nullptr, [&] {
        return rt::Ref::steal(
            PyUnicode_FromFormat("the service answered the lookup of %U with no record at all.", address_));
    });
}

void LookupReport::publish_given_up(PyObject* records) {
    keep(records, nullptr, [&] {
        if (!outcomes_) {
            return rt::Ref::steal(PyUnicode_FromFormat(
                "the lookup of %U made no request: CryptoFuture.RETRY_TIMES allows no attempt.", address_));
        }
        const Py_ssize_t failures = PyList_GET_SIZE(outcomes_.get());
        rt::Ref lines = outcome_lines(outcomes_.get());
        rt::Ref heading = rt::Ref::steal(
            PyUnicode_FromFormat("the lookup of %U failed %zd time%s:", address_, failures, failures == 1 ? "" : "s"));
        rt::require(PyList_Insert(lines.get(), 0, heading.get()));
        rt::Ref verdict;
        if (unmatched_) {
            verdict = rt::Ref::steal(PyUnicode_FromString(
                "The service answered, but lists no record matching the request: check the identifier's "
                "fields, the expiry date first."));
        } else if (!answered_ && refused_) {
            rt::Ref origin = origin_of(address_);
            verdict = rt::Ref::steal(PyUnicode_FromFormat(
                "The service never answered: is the reference-data service at %U running? (The development "
                "one starts with: python -m norvane.devtools.refdata_service)",
                origin.get()));
        } else if (!answered_) {
            verdict = rt::Ref::steal(PyUnicode_FromString("The service never answered."));
        } else {
            verdict = rt::Ref::steal(PyUnicode_FromString("The service answered, but not with a usable record."));
        }
        rt::require(PyList_Append(lines.get(), verdict.get()));
        return rt::Ref::steal(PyUnicode_Join(t_newline, lines.get()));
    });
}

LookupAccount take_lookup_account(PyObject* records) {
    LookupAccount taken;
    on_the_side([&] {
        PyObject* thread_dict = PyThreadState_GetDict();
        if (thread_dict == nullptr) return;
        PyObject* kept = PyDict_GetItemWithError(thread_dict, t_empty_lookup_key);
        if (kept == nullptr) {
            if (PyErr_Occurred()) rt::raise_pending();
            return;
        }
        if (PyTuple_GET_ITEM(kept, 0) != records) return;
        const auto unless_none = [](PyObject* value) { return value == Py_None ? rt::Ref() : rt::Ref::borrow(value); };
        LookupAccount found{unless_none(PyTuple_GET_ITEM(kept, 1)), unless_none(PyTuple_GET_ITEM(kept, 2))};
        rt::require(PyDict_DelItem(thread_dict, t_empty_lookup_key));
        taken = std::move(found);
    });
    return taken;
}

rt::Ref empty_lookup_note(PyObject* instrument, const LookupAccount& taken) {
    rt::Ref account = taken.account;
    if (!account) {
        account = rt::Ref::steal(PyUnicode_FromString("CryptoFuture.get_instrument_info answered no record."));
    }
    return rt::Ref::steal(PyUnicode_FromFormat("No reference data for %S: %U", instrument, account.get()));
}

namespace {

// A value parsed from JSON, named as JSON names it.
const char* json_kind(PyObject* value) {
    if (value == Py_None) return "null";
    if (PyBool_Check(value)) return value == Py_True ? "true" : "false";
    if (PyDict_Check(value)) return "an object";
    if (PyList_Check(value)) return "an array";
    if (PyUnicode_Check(value)) return "a string";
    if (PyLong_Check(value) || PyFloat_Check(value)) return "a number";
    return Py_TYPE(value)->tp_name;
}

}  // namespace

rt::Ref cached_records_note(PyObject* records, PyObject* cache_path) {
    rt::Ref holds;
    if (!PyList_Check(records)) {
        holds = rt::Ref::steal(PyUnicode_FromFormat("%s, not a list of records", json_kind(records)));
    } else if (PyList_GET_SIZE(records) > 0 && !PyDict_Check(PyList_GET_ITEM(records, 0))) {
        holds = rt::Ref::steal(PyUnicode_FromFormat("a list whose first element is %s, not a record",
                                                    json_kind(PyList_GET_ITEM(records, 0))));
    } else {
        holds = rt::Ref::steal(PyUnicode_FromString("a record this build cannot use"));
    }
    return rt::Ref::steal(PyUnicode_FromFormat(
        "The lookup was answered from the instrument-information cache file %S, which holds %U; delete that "
        "file to fetch the entry again.",
        cache_path, holds.get()));
}

}  // namespace futures
