// CryptoInvPerpFuture: the inverse perpetual. Unlike the linear perpetual it takes no extra keywords
// and stays unbuilt until asked, like a dated inverse future.
#include "futures.hpp"

namespace futures {

namespace {

rt::Name n_CryptoInvFuture{"CryptoInvFuture"};
rt::Name n_UNSPECIFIED{"UNSPECIFIED"};
rt::Name n_init{"__init__"};

rt::KeywordNames kw_inverse_init{"underl", "exchange", "expiry_date"};

rt::Ref init(rt::Args& args) {
    PyObject* self = args[0];
    rt::Ref underl = pair_from_text(args[1]);
    rt::Ref inverse_class = rt::global(n_CryptoInvFuture);
    rt::Ref unspecified = rt::attr(inverse_class.get(), n_UNSPECIFIED);
    rt::super_call_kw(args, self, n_init, kw_inverse_init, underl.get(), args[2], unspecified.get());
    retype_as_perpetual(self);
    return rt::none();
}

rt::Ref get_instrument_id(rt::Args& args) { return delegate_instrument_id(n_CryptoInvFuture, args); }

constexpr rt::Param kInitParams[] = {
    {"self"},
    {"underl", "CryptoPair"},
    {"exchange", "Instrument.EXCHANGE"},
};

}  // namespace

const rt::FunctionSpec kCryptoInvPerpFutureInit{"__init__", kInitParams, init};
const rt::FunctionSpec kCryptoInvPerpFutureGetInstrumentId{"get_instrument_id", kInstrumentIdParams,
                                                           get_instrument_id};

}  // namespace futures
