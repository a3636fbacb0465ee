// CryptoPerpFuture: the linear perpetual. It has no expiry, is typed PERP, and is built as soon as it
// is constructed so that a perpetual in hand always carries its reference data.
#include "futures.hpp"

namespace futures {

namespace {

rt::Name n_str{"str"};
rt::Name n_class{"__class__"};
rt::Name n_name{"__name__"};
rt::Name n_CryptoPair{"CryptoPair"};
rt::Name n_CryptoFuture{"CryptoFuture"};
rt::Name n_CryptoInvFuture{"CryptoInvFuture"};
rt::Name n_CryptoPerpFuture{"CryptoPerpFuture"};
rt::Name n_INSTRUMENT_TYPE{"INSTRUMENT_TYPE"};
rt::Name n_PERP{"PERP"};
rt::Name n_UNSPECIFIED{"UNSPECIFIED"};
rt::Name n_create{"create"};
rt::Name n_init{"__init__"};
rt::Name n_build{"build"};
rt::Name n_is_underl_supported{"is_underl_supported"};
rt::Name n_underl{"_underl"};
rt::Name n_symbol{"symbol"};
rt::Name n_exchange{"exchange"};
rt::Name n_exchange_attr{"_exchange"};
rt::Name n_symbol_attr{"_symbol"};
rt::Name n_instrument_type_attr{"_instrument_type"};
rt::Name n_contract_type_attr{"_contract_type"};
rt::Name n_ccy_attr{"_ccy"};
rt::Name n_expiry_date_attr{"_expiry_date"};
rt::Name n_instrument_id_attr{"_instrument_id"};
rt::Name n_not_supported{" not supported!"};

rt::KeywordNames kw_crypto_future_init{"symbol", "underl", "exchange", "expiry_date"};
rt::KeywordNames kw_underl{"underl"};
rt::KeywordNames kw_perp_init{"underl", "exchange"};

rt::Ref init(rt::Args& args) {
    PyObject* self = args[0];
    PyObject* exchange = args[2];

    rt::Ref underl = pair_from_text(args[1]);
    rt::set_attr(self, n_underl, underl.get());

    // The pair's symbol is read even when a symbol keyword overrides it.
    rt::Ref current = rt::attr(self, n_underl);
    rt::Ref pair_symbol = rt::attr(current.get(), n_symbol);
    rt::Ref symbol = rt::dict_pop(args.kwargs(), n_symbol, pair_symbol.get());
    rt::Ref underl_again = rt::attr(self, n_underl);
    rt::Ref inverse_class = rt::global(n_CryptoInvFuture);
    rt::Ref unspecified = rt::attr(inverse_class.get(), n_UNSPECIFIED);
    rt::super_call_kw(args, self, n_init, kw_crypto_future_init, symbol.get(), underl_again.get(), exchange,
                      unspecified.get());

    retype_as_perpetual(self);
    rt::call_method(self, n_build);
    return rt::none();
}

rt::Ref is_underl_supported(rt::Args& args) {
    PyObject* underl = args[0];
    if (class_name_equals(underl, n_str)) {
        rt::Ref pair_class = rt::global(n_CryptoPair);
        rt::Ref pair = rt::Ref::steal_or_null(PyObject_CallMethodOneArg(pair_class.get(), n_create, underl));
        if (pair) return rt::Ref::borrow(Py_True);
        // A text the pair class cannot read is simply unsupported; interrupts and exits still propagate.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) rt::raise_pending();
        PyErr_Clear();
        return rt::Ref::borrow(Py_False);
    }
    rt::Ref cls = rt::attr(underl, n_class);
    rt::Ref class_name = rt::attr(cls.get(), n_name);
    rt::Ref pair_class = rt::global(n_CryptoPair);
    rt::Ref pair_class_name = rt::attr(pair_class.get(), n_name);
    return rt::Ref::steal(PyObject_RichCompare(class_name.get(), pair_class_name.get(), Py_EQ));
}

rt::Ref create_by_underl(rt::Args& args) {
    PyObject* exchange = args[1];
    rt::Ref perp_class = rt::global(n_CryptoPerpFuture);
    rt::Ref check = rt::attr(perp_class.get(), n_is_underl_supported);
    rt::Ref supported = rt::call_kw(check.get(), kw_underl, args[0]);
    if (!rt::truth(supported.get())) {
        rt::Ref text = rt::text_of(args[0]);
        rt::Ref message = rt::join_texts({text.get(), n_not_supported});
        PyErr_SetObject(PyExc_ValueError, message.get());
        rt::raise_pending();
    }
    rt::Ref underl = pair_from_text(args[0]);
    rt::Ref chosen_exchange = exchange != Py_None ? rt::Ref::borrow(exchange) : rt::attr(underl.get(), n_exchange);
    rt::Ref constructor = rt::global(n_CryptoPerpFuture);
    return rt::call_kw(constructor.get(), kw_perp_init, underl.get(), chosen_exchange.get());
}

rt::Ref get_instrument_id(rt::Args& args) { return delegate_instrument_id(n_CryptoFuture, args); }

constexpr rt::Param kInitParams[] = {
    {"self"},
    {"underl", "Union[CryptoPair, str]"},
    {"exchange", "Instrument.EXCHANGE"},
};
constexpr rt::Param kUnderlParams[] = {{"underl", "Union[CryptoPair, str]"}};
constexpr rt::Param kCreateByUnderlParams[] = {
    {"underl", "Union[CryptoPair, str]"},
    {"exchange", "Instrument.EXCHANGE", rt::Check::Any, rt::Default::None},
};

}  // namespace

rt::Ref pair_from_text(PyObject* underl) {
    if (!class_name_equals(underl, n_str)) return rt::Ref::borrow(underl);
    rt::Ref pair_class = rt::global(n_CryptoPair);
    return rt::call_method(pair_class.get(), n_create, underl);
}

void retype_as_perpetual(PyObject* self) {
    rt::Ref instrument_types = rt::global(n_INSTRUMENT_TYPE);
    rt::Ref perp = rt::attr(instrument_types.get(), n_PERP);
    rt::set_attr(self, n_instrument_type_attr, perp.get());

    rt::Ref exchange = rt::attr(self, n_exchange_attr);
    rt::Ref symbol = rt::attr(self, n_symbol_attr);
    rt::Ref instrument_type = rt::attr(self, n_instrument_type_attr);
    rt::Ref contract_type = rt::attr(self, n_contract_type_attr);
    rt::Ref ccy = rt::attr(self, n_ccy_attr);
    rt::Ref expiry_date = rt::attr(self, n_expiry_date_attr);
    rt::Ref instrument_id = join_instrument_id(exchange.get(), symbol.get(), instrument_type.get(),
                                               contract_type.get(), ccy.get(), expiry_date.get());
    rt::set_attr(self, n_instrument_id_attr, instrument_id.get());
}

const rt::FunctionSpec kCryptoPerpFutureInit{"__init__", kInitParams, init, "kwargs"};
const rt::FunctionSpec kCryptoPerpFutureIsUnderlSupported{"is_underl_supported", kUnderlParams, is_underl_supported,
                                                          nullptr, nullptr, "bool"};
const rt::FunctionSpec kCryptoPerpFutureCreateByUnderl{"create_by_underl", kCreateByUnderlParams, create_by_underl};
const rt::FunctionSpec kCryptoPerpFutureGetInstrumentId{"get_instrument_id", kInstrumentIdParams,
                                                        get_instrument_id};

}  // namespace futures
