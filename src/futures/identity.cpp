// Identity of the crypto futures: the six-part instrument identifier, the pair a text names, and the enum
// members an instrument reports, all read at call time through the module's globals.
#include "futures.hpp"
#include "names.hpp"

namespace futures {

namespace {

// get_instrument_id's parameters; `symbol` and `expiry_date` are checked on entry.
enum class IdParam : std::size_t { symbol, instrument_type, contract_type, expiry_date, ccy, exchange, count };
constexpr auto kInstrumentIdParams = rt::params<IdParam>({
    {"symbol", "str", rt::Check::ExactStr},
    {"instrument_type", "Instrument.INSTRUMENT_TYPE"},
    {"contract_type", "Instrument.CONTRACT_TYPE"},
    {"expiry_date", "str", rt::Check::ExactStr},
    {"ccy", "Instrument.CURRENCY"},
    {"exchange", "Instrument.EXCHANGE"},
});

rt::Ref get_instrument_id(rt::Args& args) {
    return join_instrument_id(args[IdParam::exchange], args[IdParam::symbol], args[IdParam::instrument_type],
                              args[IdParam::contract_type], args[IdParam::ccy], args[IdParam::expiry_date]);
}

// `<class_name>.get_instrument_id(symbol=..., ..., exchange=...)`, the class read at call time.
rt::Ref delegate_instrument_id(PyObject* class_name, const rt::Args& args) {
    rt::Ref cls = rt::global(class_name);
    rt::Ref delegate = rt::attr(cls.get(), n_get_instrument_id);
    return rt::call(delegate.get(), rt::kw<"symbol">(args[IdParam::symbol]),
                    rt::kw<"instrument_type">(args[IdParam::instrument_type]),
                    rt::kw<"contract_type">(args[IdParam::contract_type]),
                    rt::kw<"expiry_date">(args[IdParam::expiry_date]), rt::kw<"ccy">(args[IdParam::ccy]),
                    rt::kw<"exchange">(args[IdParam::exchange]));
}

rt::Ref as_crypto_future(rt::Args& args) { return delegate_instrument_id(n_CryptoFuture, args); }
rt::Ref as_crypto_inv_future(rt::Args& args) { return delegate_instrument_id(n_CryptoInvFuture, args); }

}  // namespace

rt::Ref join_instrument_id(PyObject* exchange, PyObject* symbol, PyObject* instrument_type, PyObject* contract_type,
                           PyObject* ccy, PyObject* expiry_date) {
    const rt::Ref texts[] = {rt::text_of(exchange),      rt::text_of(symbol), rt::text_of(instrument_type),
                             rt::text_of(contract_type), rt::text_of(ccy),    rt::text_of(expiry_date)};
    PyObject* dot = t_dot;
    PyObject* const parts[] = {texts[0].get(), dot, texts[1].get(), dot, texts[2].get(), dot,
                               texts[3].get(), dot, texts[4].get(), dot, texts[5].get()};
    // One allocation for the whole identifier: this runs in every constructor.
    return rt::join_texts(parts);
}

void retype_as_perpetual(PyObject* self) {
    rt::Ref perp = module_enum_member(n_INSTRUMENT_TYPE, n_PERP);
    rt::set_attr(self, a_instrument_type, perp.get());

    rt::Ref exchange = rt::attr(self, a_exchange);
    rt::Ref symbol = rt::attr(self, a_symbol);
    rt::Ref instrument_type = rt::attr(self, a_instrument_type);
    rt::Ref contract_type = rt::attr(self, a_contract_type);
    rt::Ref ccy = rt::attr(self, a_ccy);
    rt::Ref expiry_date = rt::attr(self, a_expiry_date);
    rt::Ref instrument_id = join_instrument_id(exchange.get(), symbol.get(), instrument_type.get(), contract_type.get(),
                                               ccy.get(), expiry_date.get());
    rt::set_attr(self, a_instrument_id, instrument_id.get());
}

rt::Ref class_name_of(PyObject* value) {
    rt::Ref cls = rt::attr(value, d_class);
    return rt::attr(cls.get(), d_name);
}

bool class_name_equals(PyObject* value, PyObject* name) {
    rt::Ref class_name = class_name_of(value);
    return rt::require(PyObject_RichCompareBool(class_name.get(), name, Py_EQ)) != 0;
}

rt::Ref pair_from_text(PyObject* underl) {
    if (!class_name_equals(underl, n_str)) return rt::Ref::borrow(underl);
    rt::Ref pair_class = rt::global(n_CryptoPair);
    return rt::call_method(pair_class.get(), n_create, underl);
}

rt::Ref instrument_enum_member(PyObject* enum_name, PyObject* member) {
    rt::Ref instrument = rt::global(n_Instrument);
    rt::Ref members = rt::attr(instrument.get(), enum_name);
    return rt::attr(members.get(), member);
}

rt::Ref module_enum_member(PyObject* enum_name, PyObject* member) {
    rt::Ref members = rt::global(enum_name);
    return rt::attr(members.get(), member);
}

rt::Ref settlement_type_member(PyObject* member) {
    rt::Ref future_class = rt::global(n_Future);
    rt::Ref settlement_types = rt::attr(future_class.get(), n_SettlementType);
    return rt::attr(settlement_types.get(), member);
}

const rt::FunctionSpec kCryptoFutureGetInstrumentId{"get_instrument_id", kInstrumentIdParams, get_instrument_id};
const rt::FunctionSpec kCryptoInvFutureGetInstrumentId{"get_instrument_id", kInstrumentIdParams, as_crypto_future};
const rt::FunctionSpec kCryptoPerpFutureGetInstrumentId{"get_instrument_id", kInstrumentIdParams, as_crypto_future};
const rt::FunctionSpec kCryptoInvPerpFutureGetInstrumentId{"get_instrument_id", kInstrumentIdParams,
                                                           as_crypto_inv_future};

}  // namespace futures
