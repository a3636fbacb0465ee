// Future: the base of every futures instrument. It records the underlying, expiry and settlement type and
// runs the build step, which must leave the underlying built.
#include "futures.hpp"

namespace futures {

namespace {

rt::Name n_underl{"_underl"};
rt::Name n_expiry_date{"_expiry_date"};
rt::Name n_settlement_type{"_settlement_type"};
rt::Name n_asset{"asset"};
rt::Name n_ccy{"ccy"};
rt::Name n_quote_ccy{"quote_ccy"};
rt::Name n_Instrument{"Instrument"};
rt::Name n_INSTRUMENT_TYPE{"INSTRUMENT_TYPE"};
rt::Name n_FUTURE{"FUTURE"};
rt::Name n_init{"__init__"};
rt::Name n_build{"build"};
rt::Name n_is_built{"_is_built"};

rt::KeywordNames kw_instrument_init{"symbol", "asset", "exchange", "ccy", "instrument_type"};

rt::Ref init(rt::Args& args) {
    PyObject* self = args[0];
    rt::set_attr(self, n_underl, args[2]);
    rt::set_attr(self, n_expiry_date, args[4]);
    rt::set_attr(self, n_settlement_type, args[5]);

    rt::Ref underl = rt::attr(self, n_underl);
    rt::Ref asset = rt::attr(underl.get(), n_asset);
    rt::Ref underl_again = rt::attr(self, n_underl);
    rt::Ref ccy = rt::attr(underl_again.get(), n_ccy);
    rt::Ref instrument = rt::global(n_Instrument);
    rt::Ref instrument_types = rt::attr(instrument.get(), n_INSTRUMENT_TYPE);
    rt::Ref future_type = rt::attr(instrument_types.get(), n_FUTURE);
    rt::super_call_kw(args, self, n_init, kw_instrument_init, args[1], asset.get(), args[3], ccy.get(),
                      future_type.get());
    return rt::none();
}

rt::Ref quote_ccy(rt::Args& args) {
    rt::Ref underl = rt::attr(args[0], n_underl);
    return rt::attr(underl.get(), n_quote_ccy);
}

rt::Ref build_hook(rt::Args&) { rt::raise(PyExc_NotImplementedError, "only crypto futures are supported"); }

rt::Ref build(rt::Args& args) {
    PyObject* self = args[0];
    rt::super_call(args, self, n_build);
    rt::Ref underl = rt::attr(self, n_underl);
    rt::Ref is_built = rt::attr(underl.get(), n_is_built);
    if (rt::truth(is_built.get())) return rt::none();
    rt::Ref text = rt::text_of(underl.get());
    rt::Ref message = rt::Ref::steal(PyUnicode_FromFormat("underl:%U must be built ", text.get()));
    PyErr_SetObject(PyExc_RuntimeError, message.get());
    rt::raise_pending();
}

constexpr rt::Param kSelf[] = {{"self"}};
constexpr rt::Param kInitParams[] = {
    {"self"},
    {"symbol", "str", rt::Check::ExactStr},
    {"underl", "Instrument"},
    {"exchange", "Instrument.EXCHANGE"},
    {"expiry_date", "Union[int, str]"},
    {"settlement_type", "SettlementType"},
};

}  // namespace

const rt::FunctionSpec kFutureInit{"__init__", kInitParams, init};
const rt::FunctionSpec kFutureQuoteCcy{"quote_ccy", kSelf, quote_ccy};
const rt::FunctionSpec kFutureBuildHook{"_build", kSelf, build_hook};
const rt::FunctionSpec kFutureBuild{"build", kSelf, build};

}  // namespace futures
