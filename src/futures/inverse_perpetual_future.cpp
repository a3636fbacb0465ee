// CryptoInvPerpFuture: the inverse perpetual. Unlike the linear perpetual it takes no extra keywords
// and stays unbuilt until asked, like a dated inverse future.
#include "futures.hpp"
#include "names.hpp"

namespace futures {

namespace {

enum class Init : std::size_t { self, underl, exchange, count };
constexpr auto kInitParams = rt::params<Init>({
    {"self"},
    {"underl", "CryptoPair"},
    {"exchange", "Instrument.EXCHANGE"},
});

rt::Ref init(rt::Args& args) {
    PyObject* self = args[Init::self];
    rt::Ref underl = pair_from_text(args[Init::underl]);
    rt::Ref inverse_class = rt::global(n_CryptoInvFuture);
    rt::Ref unspecified = rt::attr(inverse_class.get(), n_UNSPECIFIED);
    (void)rt::super_call(args, self, d_init, rt::kw<"underl">(underl.get()), rt::kw<"exchange">(args[Init::exchange]),
                         rt::kw<"expiry_date">(unspecified.get()));
    retype_as_perpetual(self);
    return rt::none();
}

}  // namespace

const rt::FunctionSpec kCryptoInvPerpFutureInit{"__init__", kInitParams, init};

}  // namespace futures
