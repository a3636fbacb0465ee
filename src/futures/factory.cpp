// CryptoFuture.create: the way back from an instrument identifier to a built instrument of the right
// class, remembered in the process-wide instrument cache so that asking again costs a dict look-up.
//
// The kinds it can build are rows of a table: the instrument type and contract type an identifier names,
// the module-level class constructed (read at call time) and how its underlying pair is made from the
// symbol. A new kind is a new row.
#include <algorithm>

#include "futures.hpp"
#include "names.hpp"

namespace futures {

namespace {

// Identifier fields by position, as the identifier is written.
enum class Field : Py_ssize_t { exchange, symbol, instrument_type, contract_type, ccy, expiry_date, count };
constexpr Py_ssize_t kFieldCount = static_cast<Py_ssize_t>(Field::count);

enum class Contract : unsigned char { Linear, Inverse };

// The underlying pair from the symbol's currencies "BASE-QUOTE".
enum class PairOf : unsigned char {
    Symbol,  // BASE against QUOTE, as written
    Coin,    // BASE against BASE: an inverse contract stands on its coin alone; this is the pair the inverse
             // constructors accept, and the one whose future writes this symbol back ("BASE-USD")
};

// How the class is called: a dated kind takes the identifier's expiry date, a perpetual none.
enum class Terms : unsigned char { Dated, Perpetual };

struct Kind {
    const rt::Name& instrument_type;  // member of the module-level INSTRUMENT_TYPE
    Contract contract;                // LINEAR, or any other contract-type word
    const rt::Name& class_name;       // module-level class, read at call time
    PairOf pair;
    Terms terms;
};

// Every row is one (instrument type, contract type) pair; rows are matched on both, so their order is free.
const Kind kKinds[] = {
    {n_FUTURE, Contract::Linear, n_CryptoFuture, PairOf::Symbol, Terms::Dated},
    {n_FUTURE, Contract::Inverse, n_CryptoInvFuture, PairOf::Coin, Terms::Dated},
    {n_PERP, Contract::Linear, n_CryptoPerpFuture, PairOf::Symbol, Terms::Perpetual},
    {n_PERP, Contract::Inverse, n_CryptoInvPerpFuture, PairOf::Coin, Terms::Perpetual},
};

// The unpacking of `a, b, ... = parts` with this system's long-standing wording.
void require_part_count(Py_ssize_t count, Py_ssize_t expected) {
    if (count > expected) rt::raise_format(PyExc_ValueError, "too many values to unpack (expected %zd)", expected);
    if (count < expected) {
        rt::raise_format(PyExc_ValueError, "need more than %zd value%s to unpack", count, count == 1 ? "" : "s");
    }
}

// The same, with the identifier layout as a note.
void require_identifier_part_count(PyObject* instrument_id, Py_ssize_t count, Py_ssize_t expected) {
    rt::noting([&] { return identifier_layout_note(instrument_id); }, [&] { require_part_count(count, expected); });
}

rt::Ref inst_cache() {
    rt::Ref crypto_future = rt::global(n_CryptoFuture);
    return rt::attr(crypto_future.get(), n_inst_cache);
}

bool equals_member(PyObject* part, PyObject* enum_name, PyObject* member) {
    rt::Ref value = module_enum_member(enum_name, member);
    rt::Ref equal = rt::Ref::steal(PyObject_RichCompare(part, value.get(), Py_EQ));
    return rt::truth(equal.get());
}

// The instrument type the field names, as the `INSTRUMENT_TYPE` member name of the table's rows; each type
// of the table is compared once. NotImplementedError for any other type.
const rt::Name* instrument_type_of(PyObject* instrument_id, PyObject* instrument_type) {
    for (auto row = std::begin(kKinds); row != std::end(kKinds); ++row) {
        const rt::Name* type = &row->instrument_type;
        const bool compared_before =
            std::any_of(std::begin(kKinds), row, [&](const Kind& earlier) { return &earlier.instrument_type == type; });
        if (!compared_before && equals_member(instrument_type, n_INSTRUMENT_TYPE, *type)) return type;
    }
    rt::Ref message = rt::join_texts({instrument_id, t_cannot_be_built});
    rt::raise_noted(PyExc_NotImplementedError, message.get(), [&] { return identifier_layout_note(instrument_id); });
}

// The row of (instrument type, contract type), LINEAR or INVERSE. Any other contract-type word is refused
// before anything is made: taken for an inverse contract, a mistyped LINEAR would ask the service for an
// inverse instrument, a different product.
const Kind& kind_of(PyObject* instrument_id, const rt::Name* instrument_type, PyObject* contract_type) {
    Contract contract = Contract::Linear;
    if (!equals_member(contract_type, n_CONTRACT_TYPE, n_LINEAR)) {
        if (!equals_member(contract_type, n_CONTRACT_TYPE, n_INVERSE)) {
            rt::Ref message = rt::Ref::steal(PyUnicode_FromFormat(
                "instrument identifier %R has the contract type %R, which is neither LINEAR nor INVERSE", instrument_id,
                contract_type));
            rt::raise_noted(PyExc_ValueError, message.get(), [&] { return identifier_layout_note(instrument_id); });
        }
        contract = Contract::Inverse;
    }
    for (const Kind& kind : kKinds) {
        if (&kind.instrument_type == instrument_type && kind.contract == contract) return kind;
    }
    rt::Ref message = rt::join_texts({instrument_id, t_cannot_be_built});
    rt::raise(PyExc_NotImplementedError, message.get());
}

// The currencies of the symbol field "BASE-QUOTE", unpacked as exactly two.
rt::Ref split_symbol(PyObject* instrument_id, PyObject* symbol) {
    rt::Ref currencies = rt::Ref::steal(PyUnicode_Split(symbol, t_dash, -1));
    require_identifier_part_count(instrument_id, PyList_GET_SIZE(currencies.get()), 2);
    return currencies;
}

rt::Ref underlying_pair(PyObject* currencies, PyObject* exchange, PairOf pair) {
    PyObject* base = PyList_GET_ITEM(currencies, 0);
    PyObject* quote = PyList_GET_ITEM(currencies, 1);
    rt::Ref pair_class = rt::global(n_CryptoPair);
    return rt::call(pair_class.get(), rt::kw<"quote_ccy">(pair == PairOf::Symbol ? quote : base),
                    rt::kw<"base_ccy">(base), rt::kw<"exchange">(exchange));
}

rt::Ref construct(const Kind& kind, PyObject* pair, PyObject* parts) {
    PyObject* exchange = PyList_GET_ITEM(parts, static_cast<Py_ssize_t>(Field::exchange));
    rt::Ref cls = rt::global(kind.class_name);
    if (kind.terms == Terms::Perpetual) {
        return rt::call(cls.get(), rt::kw<"underl">(pair), rt::kw<"exchange">(exchange));
    }
    PyObject* expiry_date = PyList_GET_ITEM(parts, static_cast<Py_ssize_t>(Field::expiry_date));
    return rt::call(cls.get(), rt::kw<"underl">(pair), rt::kw<"expiry_date">(expiry_date),
                    rt::kw<"exchange">(exchange));
}

// `cache.setdefault(key, instrument)` for a plain dict, in one step under the interpreter lock; any other
// mapping is asked for membership, then stored into when the key is still missing.
void keep_first_stored(PyObject* cache, PyObject* key, PyObject* instrument) {
    if (PyDict_CheckExact(cache)) {
        if (PyDict_SetDefault(cache, key, instrument) == nullptr) rt::raise_pending();
    } else if (rt::require(PySequence_Contains(cache, key)) == 0) {
        rt::require(PyObject_SetItem(cache, key, instrument));
    }
}

// Steps after a cache miss: choose the kind, construct, build, remember under the instrument's own id.
void build_into_cache(PyObject* instrument_id) {
    rt::Ref parts = rt::Ref::steal(PyUnicode_Split(instrument_id, t_dot, -1));
    require_part_count(PyList_GET_SIZE(parts.get()), kFieldCount);
    auto field = [&](Field which) { return PyList_GET_ITEM(parts.get(), static_cast<Py_ssize_t>(which)); };

    const rt::Name* instrument_type = instrument_type_of(instrument_id, field(Field::instrument_type));
    rt::Ref currencies = split_symbol(instrument_id, field(Field::symbol));
    require_no_empty_field(instrument_id, parts.get());
    const Kind& kind = kind_of(instrument_id, instrument_type, field(Field::contract_type));
    rt::Ref pair = underlying_pair(currencies.get(), field(Field::exchange), kind.pair);
    rt::Ref instrument = construct(kind, pair.get(), parts.get());

    (void)rt::call_method(instrument.get(), n_build);
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
    if (!same && rt::asserts_enabled()) {
        rt::raise_noted(PyExc_AssertionError, nullptr, [&] { return spelling_note(instrument_id, key.get()); });
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

enum class Create : std::size_t { instrumentId, count };
constexpr auto kCreateParams = rt::params<Create>({{"instrumentId", "str", rt::Check::ExactStr}});

rt::Ref create(rt::Args& args) {
    PyObject* instrument_id = args[Create::instrumentId];
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

}  // namespace

const rt::FunctionSpec kCryptoFutureCreate{"create", kCreateParams, create, "kwargs"};

}  // namespace futures
