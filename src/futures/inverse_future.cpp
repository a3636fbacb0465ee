// CryptoInvFuture: the dated inverse (coin-settled) future on a single crypto currency. Its symbol and
// contract terms follow from the coin alone; its economics live beside the linear ones in economics.cpp.
#include "futures.hpp"
#include "names.hpp"

namespace futures {

namespace {

enum class Init : std::size_t { self, underl, expiry_date, exchange, count };
constexpr auto kInitParams = rt::params<Init>({
    {"self"},
    {"underl", "CryptoPair"},
    {"expiry_date", "Union[int, str]"},
    {"exchange", "Instrument.EXCHANGE"},
});

enum class Self : std::size_t { self, count };
constexpr auto kSelfParams = rt::params<Self>({{"self"}});

rt::Ref init(rt::Args& args) {
    PyObject* self = args[Init::self];
    PyObject* underl = args[Init::underl];

    rt::Ref quote_ccy = rt::attr(underl, n_quote_ccy);
    rt::Ref base_ccy = rt::attr(underl, n_base_ccy);
    rt::Ref differs = rt::Ref::steal(PyObject_RichCompare(quote_ccy.get(), base_ccy.get(), Py_NE));
    if (rt::truth(differs.get())) {
        rt::raise(PyExc_ValueError,
                  "the underlying must be a crypto currency not a pair. set the base_currency to quote currency");
    }

    rt::Ref coin = rt::attr(underl, n_base_ccy);
    rt::Ref coin_text = rt::text_of(coin.get());
    rt::Ref symbol = rt::join_texts({coin_text.get(), t_usd_suffix});

    rt::Ref inverse = instrument_enum_member(n_CONTRACT_TYPE, n_INVERSE);
    rt::Ref physical = settlement_type_member(n_physical);

    // Extra keywords are deliberately not passed on: the symbol and the contract terms of an inverse
    // future follow from its coin alone.
    (void)rt::super_call(args, self, d_init, rt::kw<"underl">(underl), rt::kw<"exchange">(args[Init::exchange]),
                         rt::kw<"expiry_date">(args[Init::expiry_date]), rt::kw<"symbol">(symbol.get()),
                         rt::kw<"contract_type">(inverse.get()), rt::kw<"settlement_type">(physical.get()));
    return rt::none();
}

rt::Ref settlement_ccy(rt::Args& args) { return rt::attr(args[Self::self], a_settlement_ccy); }

}  // namespace

const rt::FunctionSpec kCryptoInvFutureInit{"__init__", kInitParams, init, "kwargs"};
const rt::FunctionSpec kCryptoInvFutureSettlementCcy{"settlement_ccy", kSelfParams, settlement_ccy};

}  // namespace futures
