// CryptoFuture identity: the linear dated future on a CryptoPair, its constructor, its six-part
// instrument identifier and the properties that describe its settlement.
#include <algorithm>

#include "futures.hpp"

namespace futures {

namespace {

rt::Name n_class{"__class__"};
rt::Name n_name{"__name__"};
rt::Name n_str{"str"};
rt::Name n_CryptoPair{"CryptoPair"};
rt::Name n_CryptoFuture{"CryptoFuture"};
rt::Name n_CryptoInvFuture{"CryptoInvFuture"};
rt::Name n_Future{"Future"};
rt::Name n_Instrument{"Instrument"};
rt::Name n_create{"create"};
rt::Name n_underl{"_underl"};
rt::Name n_expiry_date{"_expiry_date"};
rt::Name n_base_ccy_attr{"_base_ccy"};
rt::Name n_quote_ccy_attr{"_quote_ccy"};
rt::Name n_settlement_ccy_attr{"_settlement_ccy"};
rt::Name n_contract_type_attr{"_contract_type"};
rt::Name n_instrument_id{"_instrument_id"};
rt::Name n_exchange_attr{"_exchange"};
rt::Name n_symbol_attr{"_symbol"};
rt::Name n_instrument_type_attr{"_instrument_type"};
rt::Name n_ccy_attr{"_ccy"};
rt::Name n_base_ccy{"base_ccy"};
rt::Name n_quote_ccy{"quote_ccy"};
rt::Name n_symbol{"symbol"};
rt::Name n_contract_type{"contract_type"};
rt::Name n_settlement_type{"settlement_type"};
rt::Name n_CONTRACT_TYPE{"CONTRACT_TYPE"};
rt::Name n_LINEAR{"LINEAR"};
rt::Name n_INVERSE{"INVERSE"};
rt::Name n_SettlementType{"SettlementType"};
rt::Name n_cash{"cash"};
rt::Name n_init{"__init__"};
rt::Name n_get_instrument_id{"get_instrument_id"};
rt::Name n_dot{"."};

rt::KeywordNames kw_future_init{"symbol", "underl", "exchange", "expiry_date", "settlement_type"};
rt::KeywordNames kw_instrument_id{"exchange", "symbol", "instrument_type", "contract_type", "ccy", "expiry_date"};

rt::Ref linear_contract_type() {
    rt::Ref instrument = rt::global(n_Instrument);
    rt::Ref contract_types = rt::attr(instrument.get(), n_CONTRACT_TYPE);
    return rt::attr(contract_types.get(), n_LINEAR);
}

rt::Ref init(rt::Args& args) {
    PyObject* self = args[0];
    PyObject* underl_arg = args[1];
    PyObject* expiry_date = args[2];
    PyObject* exchange = args[3];
    PyObject* kwargs = args.kwargs();

    rt::Ref underl = rt::Ref::borrow(underl_arg);
    if (class_name_equals(underl_arg, n_str)) {
        rt::Ref pair_class = rt::global(n_CryptoPair);
        underl = rt::call_method(pair_class.get(), n_create, underl_arg);
    }
    rt::set_attr(self, n_underl, underl.get());
    rt::set_attr(self, n_expiry_date, expiry_date);

    struct FromUnderl {
        PyObject* target;
        PyObject* source;
    };
    for (const FromUnderl& copy : {FromUnderl{n_base_ccy_attr, n_base_ccy}, FromUnderl{n_quote_ccy_attr, n_quote_ccy},
                                   FromUnderl{n_settlement_ccy_attr, n_quote_ccy}}) {
        rt::Ref current = rt::attr(self, n_underl);
        rt::Ref value = rt::attr(current.get(), copy.source);
        rt::set_attr(self, copy.target, value.get());
    }

    rt::Ref default_contract_type = linear_contract_type();
    rt::Ref contract_type = rt::dict_pop(kwargs, n_contract_type, default_contract_type.get());
    rt::set_attr(self, n_contract_type_attr, contract_type.get());

    rt::Ref future_class = rt::global(n_Future);
    rt::Ref settlement_types = rt::attr(future_class.get(), n_SettlementType);
    rt::Ref cash = rt::attr(settlement_types.get(), n_cash);
    rt::Ref settlement_type = rt::dict_pop(kwargs, n_settlement_type, cash.get());

    rt::Ref current = rt::attr(self, n_underl);
    rt::Ref pair_symbol = rt::attr(current.get(), n_symbol);
    rt::Ref symbol = rt::dict_pop(kwargs, n_symbol, pair_symbol.get());
    rt::Ref underl_for_base = rt::attr(self, n_underl);
    rt::super_call_kw(args, self, n_init, kw_future_init, symbol.get(), underl_for_base.get(), exchange, expiry_date,
                      settlement_type.get());

    rt::Ref parts[6];
    PyObject* names[6] = {n_exchange_attr, n_symbol_attr, n_instrument_type_attr, n_contract_type_attr, n_ccy_attr,
                          n_expiry_date};
    for (int i = 0; i < 6; ++i) parts[i] = rt::attr(self, names[i]);
    rt::Ref crypto_future = rt::global(n_CryptoFuture);
    rt::Ref get_instrument_id = rt::attr(crypto_future.get(), n_get_instrument_id);
    rt::Ref instrument_id = rt::call_kw(get_instrument_id.get(), kw_instrument_id, parts[0].get(), parts[1].get(),
                                        parts[2].get(), parts[3].get(), parts[4].get(), parts[5].get());
    rt::set_attr(self, n_instrument_id, instrument_id.get());
    return rt::none();
}

rt::Ref get_instrument_id(rt::Args& args) {
    // Parameters: symbol, instrument_type, contract_type, expiry_date, ccy, exchange.
    return join_instrument_id(args[5], args[0], args[1], args[2], args[4], args[3]);
}

rt::Ref settlement_ccy(rt::Args& args) {
    rt::Ref underl = rt::attr(args[0], n_underl);
    return rt::attr(underl.get(), n_quote_ccy);
}

// An inverse future (dated or perpetual) reports INVERSE whatever `_contract_type` holds, so the answer
// follows the class and a linear future built with a contract_type keyword still reports LINEAR.
rt::Ref contract_type(rt::Args& args) {
    rt::Ref inverse_class = rt::global(n_CryptoInvFuture);
    if (rt::require(PyObject_IsInstance(args[0], inverse_class.get())) == 0) return linear_contract_type();
    rt::Ref instrument = rt::global(n_Instrument);
    rt::Ref contract_types = rt::attr(instrument.get(), n_CONTRACT_TYPE);
    return rt::attr(contract_types.get(), n_INVERSE);
}

constexpr rt::Param kSelf[] = {{"self"}};
constexpr rt::Param kInitParams[] = {
    {"self"},
    {"underl", "Union[CryptoPair, str]"},
    {"expiry_date", "str", rt::Check::ExactStr},
    {"exchange", "Instrument.EXCHANGE"},
};

}  // namespace

rt::Ref join_instrument_id(PyObject* exchange, PyObject* symbol, PyObject* instrument_type, PyObject* contract_type,
                           PyObject* ccy, PyObject* expiry_date) {
    rt::Ref texts[6] = {rt::text_of(exchange),      rt::text_of(symbol), rt::text_of(instrument_type),
                        rt::text_of(contract_type), rt::text_of(ccy),    rt::text_of(expiry_date)};
    Py_ssize_t length = 5;
    Py_UCS4 widest = '.';
    for (const rt::Ref& text : texts) {
        if (!PyUnicode_Check(text.get())) rt::raise(PyExc_TypeError, "__format__ must return a str");
        length += PyUnicode_GET_LENGTH(text.get());
        widest = std::max(widest, PyUnicode_MAX_CHAR_VALUE(text.get()));
    }
    // One allocation for the whole identifier: this runs in every constructor.
    rt::Ref joined = rt::Ref::steal(PyUnicode_New(length, widest));
    Py_ssize_t at = 0;
    for (int i = 0; i < 6; ++i) {
        if (i > 0) rt::require(PyUnicode_WriteChar(joined.get(), at++, '.'));
        const Py_ssize_t size = PyUnicode_GET_LENGTH(texts[i].get());
        if (PyUnicode_CopyCharacters(joined.get(), at, texts[i].get(), 0, size) < 0) rt::raise_pending();
        at += size;
    }
    return joined;
}

bool class_name_equals(PyObject* value, PyObject* name) {
    rt::Ref cls = rt::attr(value, n_class);
    rt::Ref class_name = rt::attr(cls.get(), n_name);
    return rt::require(PyObject_RichCompareBool(class_name.get(), name, Py_EQ)) != 0;
}

const rt::FunctionSpec kCryptoFutureInit{"__init__", kInitParams, init, "kwargs"};
const rt::FunctionSpec kCryptoFutureGetInstrumentId{"get_instrument_id", kInstrumentIdParams, get_instrument_id};
const rt::FunctionSpec kCryptoFutureSettlementCcy{"settlement_ccy", kSelf, settlement_ccy};
const rt::FunctionSpec kCryptoFutureContractType{"contract_type", kSelf, contract_type};

}  // namespace futures
