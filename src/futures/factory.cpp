// CryptoFuture.create: the way back from an instrument identifier to a built instrument of the right
// class, remembered in the process-wide instrument cache so that asking again costs a dict look-up.
#include <algorithm>

#include "futures.hpp"

namespace futures {

namespace {

rt::Name n_dot{"."};
rt::Name n_dash{"-"};
rt::Name n_cannot_be_built{" cannot be built"};
rt::Name n_CryptoFuture{"CryptoFuture"};
rt::Name n_CryptoInvFuture{"CryptoInvFuture"};
rt::Name n_CryptoPerpFuture{"CryptoPerpFuture"};
rt::Name n_CryptoInvPerpFuture{"CryptoInvPerpFuture"};
rt::Name n_CryptoPair{"CryptoPair"};
rt::Name n_INSTRUMENT_TYPE{"INSTRUMENT_TYPE"};
rt::Name n_CONTRACT_TYPE{"CONTRACT_TYPE"};
rt::Name n_FUTURE{"FUTURE"};
rt::Name n_PERP{"PERP"};
rt::Name n_LINEAR{"LINEAR"};
rt::Name n_inst_cache{"inst_cache"};
rt::Name n_build{"build"};

rt::KeywordNames kw_pair{"quote_ccy", "base_ccy", "exchange"};
rt::KeywordNames kw_dated{"underl", "expiry_date", "exchange"};
rt::KeywordNames kw_perpetual{"underl", "exchange"};

// Identifier fields by position.
enum Field : Py_ssize_t { kExchange, kSymbol, kSecType, kCtType, kStCcy, kExDate, kFieldCount };

// The unpacking of `a, b, ... = parts` with this system's long-standing wording.
void require_part_count(Py_ssize_t count, Py_ssize_t expected) {
    if (count > expected) rt::raise_format(PyExc_ValueError, "too many values to unpack (expected %zd)", expected);
    if (count < expected) {
        rt::raise_format(PyExc_ValueError, "need more than %zd value%s to unpack", count, count == 1 ? "" : "s");
    }
}

rt::Ref inst_cache() {
    rt::Ref crypto_future = rt::global(n_CryptoFuture);
    return rt::attr(crypto_future.get(), n_inst_cache);
}

bool equals_member(PyObject* part, PyObject* enum_name, PyObject* member) {
    rt::Ref members = rt::global(enum_name);
    rt::Ref value = rt::attr(members.get(), member);
    rt::Ref equal = rt::Ref::steal(PyObject_RichCompare(part, value.get(), Py_EQ));
    return rt::truth(equal.get());
}

// Raises the unpacking ValueError unless `count` is `expected`, with the identifier layout as a note.
void require_identifier_part_count(PyObject* instrument_id, Py_ssize_t count, Py_ssize_t expected) {
    try {
        require_part_count(count, expected);
    } catch (const rt::PyError&) {
        rt::note_pending([&] { return identifier_layout_note(instrument_id); });
        throw;
    }
}

// The currencies of the symbol field "BASE-QUOTE", unpacked as exactly two.
rt::Ref split_symbol(PyObject* instrument_id, PyObject* symbol) {
    rt::Ref currencies = rt::Ref::steal(PyUnicode_Split(symbol, n_dash, -1));
    require_identifier_part_count(instrument_id, PyList_GET_SIZE(currencies.get()), 2);
    return currencies;
}

// An inverse contract stands on its coin alone, so its pair is BASE against BASE: the pair the inverse
// constructors accept, and the one whose future writes this symbol back ("BASE-USD").
rt::Ref underlying_pair(PyObject* currencies, PyObject* exchange, bool linear) {
    PyObject* base = PyList_GET_ITEM(currencies, 0);
    PyObject* quote = PyList_GET_ITEM(currencies, 1);
    rt::Ref pair_class = rt::global(n_CryptoPair);
    return rt::call_kw(pair_class.get(), kw_pair, linear ? quote : base, base, exchange);
}

// `cache.setdefault(key, instrument)` for a plain dict, in one step under the interpreter lock; any other
// mapping is asked for membership, then stored into when the key is still missing.
void keep_first_stored(PyObject* cache, PyObject* key, PyObject* instrument) {
    if (PyDict_CheckExact(cache)) {
        rt::require(PyDict_SetDefault(cache, key, instrument));
    } else if (rt::require(PySequence_Contains(cache, key)) == 0) {
        rt::require(PyObject_SetItem(cache, key, instrument));
    }
}

// Steps after a cache miss: choose the class, construct, build, remember under the instrument's own id.
void build_into_cache(PyObject* instrument_id) {
    rt::Ref parts = rt::Ref::steal(PyUnicode_Split(instrument_id, n_dot, -1));
    require_part_count(PyList_GET_SIZE(parts.get()), kFieldCount);
    PyObject* exchange = PyList_GET_ITEM(parts.get(), kExchange);
    PyObject* symbol = PyList_GET_ITEM(parts.get(), kSymbol);
    PyObject* sec_type = PyList_GET_ITEM(parts.get(), kSecType);
    PyObject* ct_type = PyList_GET_ITEM(parts.get(), kCtType);
    PyObject* ex_date = PyList_GET_ITEM(parts.get(), kExDate);

    bool dated;
    if (equals_member(sec_type, n_INSTRUMENT_TYPE, n_FUTURE)) {
        dated = true;
    } else if (equals_member(sec_type, n_INSTRUMENT_TYPE, n_PERP)) {
        dated = false;
    } else {
        rt::Ref message = rt::join_texts({instrument_id, n_cannot_be_built});
        PyErr_SetObject(PyExc_NotImplementedError, message.get());
        rt::note_pending([&] { return identifier_layout_note(instrument_id); });
        rt::raise_pending();
    }
    rt::Ref currencies = split_symbol(instrument_id, symbol);
    require_no_empty_field(instrument_id, parts.get());
    // Only LINEAR is recognised: every other contract-type word means an inverse contract.
    const bool linear = equals_member(ct_type, n_CONTRACT_TYPE, n_LINEAR);
    rt::Ref pair = underlying_pair(currencies.get(), exchange, linear);
    rt::Ref instrument;
    if (dated) {
        rt::Ref cls = rt::global(linear ? n_CryptoFuture : n_CryptoInvFuture);
        instrument = rt::call_kw(cls.get(), kw_dated, pair.get(), ex_date, exchange);
    } else {
        rt::Ref cls = rt::global(linear ? n_CryptoPerpFuture : n_CryptoInvPerpFuture);
        instrument = rt::call_kw(cls.get(), kw_perpetual, pair.get(), exchange);
    }

    rt::call_method(instrument.get(), n_build);
    rt::Ref key = rt::Ref::steal(PyObject_Str(instrument.get()));
    rt::Ref equal = rt::Ref::steal(PyObject_RichCompare(key.get(), instrument_id, Py_EQ));
    const bool same = rt::truth(equal.get());
    rt::Ref cache = inst_cache();
    if (same) {
        // The key was missing when this call looked, so an entry there now was stored by another thread
        // while this one built: every caller gets that one instrument, and this build is dropped.
        keep_first_stored(cache.get(), key.get(), instrument.get());
    } else {
        rt::require(PyObject_SetItem(cache.get(), key.get(), instrument.get()));
    }
    // An `assert`: read at call time so that an interpreter started with -O skips it, as it would
    // skip the statement.
    if (Py_OptimizeFlag == 0 && !same) {
        PyErr_SetNone(PyExc_AssertionError);
        rt::note_pending([&] { return spelling_note(instrument_id, key.get()); });
        rt::raise_pending();
    }
}

// The number of "." in a text, without the list and part strings that a split would allocate.
Py_ssize_t count_separators(PyObject* text) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    const void* data = PyUnicode_DATA(text);
    const int kind = PyUnicode_KIND(text);
    if (kind == PyUnicode_1BYTE_KIND) {
        const auto* begin = static_cast<const Py_UCS1*>(data);
        return std::count(begin, begin + length, static_cast<Py_UCS1>('.'));
    }
    Py_ssize_t count = 0;
    for (Py_ssize_t i = 0; i < length; ++i) count += PyUnicode_READ(kind, data, i) == '.';
    return count;
}

rt::Ref create(rt::Args& args) {
    PyObject* instrument_id = args[0];
    // Only the number of fields matters before the cache is consulted.
    require_identifier_part_count(instrument_id, count_separators(instrument_id) + 1, kFieldCount);

    rt::Ref cache = inst_cache();
    if (PyDict_CheckExact(cache.get())) {
        // A hit in a plain dict runs no code between the membership test and the read, so one look-up
        // answers both; a miss goes on to the build and reads the cache afresh below.
        PyObject* cached = PyDict_GetItemWithError(cache.get(), instrument_id);
        if (cached != nullptr) return rt::Ref::borrow(cached);
        if (PyErr_Occurred()) rt::raise_pending();
        build_into_cache(instrument_id);
    } else if (rt::require(PySequence_Contains(cache.get(), instrument_id)) == 0) {
        build_into_cache(instrument_id);
    }
    rt::Ref cache_now = inst_cache();
    return rt::item(cache_now.get(), instrument_id);
}

constexpr rt::Param kCreateParams[] = {{"instrumentId", "str", rt::Check::ExactStr}};

}  // namespace

const rt::FunctionSpec kCryptoFutureCreate{"create", kCreateParams, create, "kwargs"};

}  // namespace futures
