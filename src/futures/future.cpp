// Future: the base of every futures instrument. It records the underlying, expiry and settlement type and
// runs the build step, which must leave the underlying built.
#include "futures.hpp"
#include "names.hpp"

namespace futures {

namespace {

enum class Init : std::size_t { self, symbol, underl, exchange, expiry_date, settlement_type, count };
constexpr auto kInitParams = rt::params<Init>({
    {"self"},
    {"symbol", "str", rt::Check::ExactStr},
    {"underl", "Instrument"},
    {"exchange", "Instrument.EXCHANGE"},
    {"expiry_date", "Union[int, str]"},
    {"settlement_type", "SettlementType"},
});

enum class Self : std::size_t { self, count };
constexpr auto kSelfParams = rt::params<Self>({{"self"}});

rt::Ref init(rt::Args& args) {
    PyObject* self = args[Init::self];
    rt::set_attr(self, a_underl, args[Init::underl]);
    rt::set_attr(self, a_expiry_date, args[Init::expiry_date]);
    rt::set_attr(self, a_settlement_type, args[Init::settlement_type]);

    rt::Ref underl = rt::attr(self, a_underl);
    rt::Ref asset = rt::attr(underl.get(), n_asset);
    rt::Ref underl_again = rt::attr(self, a_underl);
    rt::Ref ccy = rt::attr(underl_again.get(), n_ccy);
    rt::Ref future_type = instrument_enum_member(n_INSTRUMENT_TYPE, n_FUTURE);
    (void)rt::super_call(args, self, d_init, rt::kw<"symbol">(args[Init::symbol]), rt::kw<"asset">(asset.get()),
                         rt::kw<"exchange">(args[Init::exchange]), rt::kw<"ccy">(ccy.get()),
                         rt::kw<"instrument_type">(future_type.get()));
    return rt::none();
}

rt::Ref quote_ccy(rt::Args& args) {
    rt::Ref underl = rt::attr(args[Self::self], a_underl);
    return rt::attr(underl.get(), n_quote_ccy);
}

rt::Ref build_hook(rt::Args&) { rt::raise(PyExc_NotImplementedError, "only crypto futures are supported"); }

rt::Ref build(rt::Args& args) {
    PyObject* self = args[Self::self];
    (void)rt::super_call(args, self, n_build);
    rt::Ref underl = rt::attr(self, a_underl);
    rt::Ref is_built = rt::attr(underl.get(), a_is_built);
    if (rt::truth(is_built.get())) return rt::none();
    rt::Ref text = rt::text_of(underl.get());
    rt::Ref message = rt::Ref::steal(PyUnicode_FromFormat("underl:%U must be built ", text.get()));
    rt::raise(PyExc_RuntimeError, message.get());
}

}  // namespace

const rt::FunctionSpec kFutureInit{"__init__", kInitParams, init};
const rt::FunctionSpec kFutureQuoteCcy{"quote_ccy", kSelfParams, quote_ccy};
const rt::FunctionSpec kFutureBuildHook{"_build", kSelfParams, build_hook};
const rt::FunctionSpec kFutureBuild{"build", kSelfParams, build};

}  // namespace futures
