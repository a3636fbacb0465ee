// CryptoFuture: the linear dated future on a CryptoPair, its constructor and the properties that describe
// its settlement. Its identifier is joined in identity.cpp, its economics live in economics.cpp.
#include "futures.hpp"
#include "names.hpp"

namespace futures {

namespace {

enum class Init : std::size_t { self, underl, expiry_date, exchange, count };
constexpr auto kInitParams = rt::params<Init>({
    {"self"},
    {"underl", "Union[CryptoPair, str]"},
    {"expiry_date", "str", rt::Check::ExactStr},
    {"exchange", "Instrument.EXCHANGE"},
});

enum class Self : std::size_t { self, count };
constexpr auto kSelfParams = rt::params<Self>({{"self"}});

rt::Ref init(rt::Args& args) {
    PyObject* self = args[Init::self];
    PyObject* expiry_date = args[Init::expiry_date];
    PyObject* exchange = args[Init::exchange];
    PyObject* kwargs = args.kwargs();

    rt::Ref underl = pair_from_text(args[Init::underl]);
    rt::set_attr(self, a_underl, underl.get());
    rt::set_attr(self, a_expiry_date, expiry_date);

    struct FromUnderl {
        PyObject* target;
        PyObject* source;
    };
    for (const FromUnderl& copy : {FromUnderl{a_base_ccy, n_base_ccy}, FromUnderl{a_quote_ccy, n_quote_ccy},
                                   FromUnderl{a_settlement_ccy, n_quote_ccy}}) {
        rt::Ref current = rt::attr(self, a_underl);
        rt::Ref value = rt::attr(current.get(), copy.source);
        rt::set_attr(self, copy.target, value.get());
    }

    rt::Ref default_contract_type = instrument_enum_member(n_CONTRACT_TYPE, n_LINEAR);
    rt::Ref contract_type = rt::dict_pop(kwargs, n_contract_type, default_contract_type.get());
    rt::set_attr(self, a_contract_type, contract_type.get());

    rt::Ref cash = settlement_type_member(n_cash);
    rt::Ref settlement_type = rt::dict_pop(kwargs, n_settlement_type, cash.get());

    rt::Ref current = rt::attr(self, a_underl);
    rt::Ref pair_symbol = rt::attr(current.get(), n_symbol);
    rt::Ref symbol = rt::dict_pop(kwargs, n_symbol, pair_symbol.get());
    rt::Ref underl_for_base = rt::attr(self, a_underl);
    (void)rt::super_call(args, self, d_init, rt::kw<"symbol">(symbol.get()), rt::kw<"underl">(underl_for_base.get()),
                         rt::kw<"exchange">(exchange), rt::kw<"expiry_date">(expiry_date),
                         rt::kw<"settlement_type">(settlement_type.get()));

    // The fields in the identifier's own order, each read back from the instance.
    rt::Ref exchange_field = rt::attr(self, a_exchange);
    rt::Ref symbol_field = rt::attr(self, a_symbol);
    rt::Ref instrument_type = rt::attr(self, a_instrument_type);
    rt::Ref contract_type_field = rt::attr(self, a_contract_type);
    rt::Ref ccy = rt::attr(self, a_ccy);
    rt::Ref expiry_date_field = rt::attr(self, a_expiry_date);
    rt::Ref crypto_future = rt::global(n_CryptoFuture);
    rt::Ref get_instrument_id = rt::attr(crypto_future.get(), n_get_instrument_id);
    rt::Ref instrument_id = rt::call(
        get_instrument_id.get(), rt::kw<"exchange">(exchange_field.get()), rt::kw<"symbol">(symbol_field.get()),
        rt::kw<"instrument_type">(instrument_type.get()), rt::kw<"contract_type">(contract_type_field.get()),
        rt::kw<"ccy">(ccy.get()), rt::kw<"expiry_date">(expiry_date_field.get()));
    rt::set_attr(self, a_instrument_id, instrument_id.get());
    return rt::none();
}

rt::Ref settlement_ccy(rt::Args& args) {
    rt::Ref underl = rt::attr(args[Self::self], a_underl);
    return rt::attr(underl.get(), n_quote_ccy);
}

// An inverse future (dated or perpetual) reports INVERSE whatever `_contract_type` holds, so the answer
// follows the class and a linear future built with a contract_type keyword still reports LINEAR.
rt::Ref contract_type(rt::Args& args) {
    rt::Ref inverse_class = rt::global(n_CryptoInvFuture);
    const bool inverse = rt::is_instance(args[Self::self], inverse_class.get());
    return instrument_enum_member(n_CONTRACT_TYPE, inverse ? n_INVERSE : n_LINEAR);
}

}  // namespace

const rt::FunctionSpec kCryptoFutureInit{"__init__", kInitParams, init, "kwargs"};
const rt::FunctionSpec kCryptoFutureSettlementCcy{"settlement_ccy", kSelfParams, settlement_ccy};
const rt::FunctionSpec kCryptoFutureContractType{"contract_type", kSelfParams, contract_type};

}  // namespace futures
