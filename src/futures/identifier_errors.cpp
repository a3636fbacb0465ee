// What CryptoFuture.create tells a caller about an identifier it cannot use. The exceptions that the
// factory has always raised keep their types and messages; these notes add the layout and the spellings.
#include "futures.hpp"

namespace futures {

namespace {

constexpr const char* kFieldNames[] = {"exchange",      "symbol",   "instrument type",
                                       "contract type", "currency", "expiry date"};

}  // namespace

rt::Ref identifier_layout_note(PyObject* instrument_id) {
    return rt::Ref::steal(PyUnicode_FromFormat(
        "create() was given %R.\n"
        "An instrument identifier is EXCHANGE.BASE-QUOTE.FUTURE|PERP.LINEAR|INVERSE.CCY.EXPIRY (six fields "
        "joined by \".\", the type words in upper case), for example BINANCE.BTC-USDT.FUTURE.LINEAR.USDT.20261225 "
        "or, for a perpetual, BINANCE.BTC-USDT.PERP.LINEAR.USDT.UNSPECIFIED.",
        instrument_id));
}

rt::Ref spelling_note(PyObject* requested, PyObject* own) {
    return rt::Ref::steal(
        PyUnicode_FromFormat("create() was asked for %R, but the instrument built from it spells its own identifier %R "
                             "(str(instrument)); it is cached under its own spelling, so ask for that one.",
                             requested, own));
}

void require_no_empty_field(PyObject* instrument_id, PyObject* parts) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(parts); ++i) {
        if (PyUnicode_GET_LENGTH(PyList_GET_ITEM(parts, i)) != 0) continue;
        // An empty field would drop its filter from the reference-data query and take whatever record
        // comes first, or build an instrument that does not spell this identifier.
        rt::Ref message = rt::Ref::steal(
            PyUnicode_FromFormat("instrument identifier %R has an empty %s field", instrument_id, kFieldNames[i]));
        rt::raise_noted(PyExc_ValueError, message.get(), [&] { return identifier_layout_note(instrument_id); });
    }
}

}  // namespace futures
