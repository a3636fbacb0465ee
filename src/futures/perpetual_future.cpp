// CryptoPerpFuture: the linear perpetual. It has no expiry, is typed PERP, and is built as soon as it
// is constructed so that a perpetual in hand always carries its reference data.
#include "futures.hpp"
#include "names.hpp"
#include "runtime/handlers.hpp"

namespace futures {

namespace {

enum class Init : std::size_t { self, underl, exchange, count };
constexpr auto kInitParams = rt::params<Init>({
    {"self"},
    {"underl", "Union[CryptoPair, str]"},
    {"exchange", "Instrument.EXCHANGE"},
});

enum class Underl : std::size_t { underl, count };
constexpr auto kUnderlParams = rt::params<Underl>({{"underl", "Union[CryptoPair, str]"}});

enum class CreateByUnderl : std::size_t { underl, exchange, count };
constexpr auto kCreateByUnderlParams = rt::params<CreateByUnderl>({
    {"underl", "Union[CryptoPair, str]"},
    {"exchange", "Instrument.EXCHANGE", rt::Check::Any, rt::Default::None},
});

rt::Ref init(rt::Args& args) {
    PyObject* self = args[Init::self];

    rt::Ref underl = pair_from_text(args[Init::underl]);
    rt::set_attr(self, a_underl, underl.get());

    // The pair's symbol is read even when a symbol keyword overrides it.
    rt::Ref current = rt::attr(self, a_underl);
    rt::Ref pair_symbol = rt::attr(current.get(), n_symbol);
    rt::Ref symbol = rt::dict_pop(args.kwargs(), n_symbol, pair_symbol.get());
    rt::Ref underl_again = rt::attr(self, a_underl);
    rt::Ref inverse_class = rt::global(n_CryptoInvFuture);
    rt::Ref unspecified = rt::attr(inverse_class.get(), n_UNSPECIFIED);
    (void)rt::super_call(args, self, d_init, rt::kw<"symbol">(symbol.get()), rt::kw<"underl">(underl_again.get()),
                         rt::kw<"exchange">(args[Init::exchange]), rt::kw<"expiry_date">(unspecified.get()));

    retype_as_perpetual(self);
    (void)rt::call_method(self, n_build);
    return rt::none();
}

rt::Ref is_underl_supported(rt::Args& args) {
    PyObject* underl = args[Underl::underl];
    if (class_name_equals(underl, n_str)) {
        rt::Ref pair_class = rt::global(n_CryptoPair);
        // A text the pair class cannot read is simply unsupported; interrupts and exits still propagate.
        const bool readable =
            rt::suppress(PyExc_Exception, [&] { (void)rt::call_method(pair_class.get(), n_create, underl); });
        return rt::Ref::borrow(readable ? Py_True : Py_False);
    }
    rt::Ref class_name = class_name_of(underl);
    rt::Ref pair_class = rt::global(n_CryptoPair);
    rt::Ref pair_class_name = rt::attr(pair_class.get(), d_name);
    return rt::Ref::steal(PyObject_RichCompare(class_name.get(), pair_class_name.get(), Py_EQ));
}

rt::Ref create_by_underl(rt::Args& args) {
    PyObject* underl_arg = args[CreateByUnderl::underl];
    PyObject* exchange = args[CreateByUnderl::exchange];
    rt::Ref perp_class = rt::global(n_CryptoPerpFuture);
    rt::Ref check = rt::attr(perp_class.get(), n_is_underl_supported);
    rt::Ref supported = rt::call(check.get(), rt::kw<"underl">(underl_arg));
    if (!rt::truth(supported.get())) {
        rt::Ref text = rt::text_of(underl_arg);
        rt::Ref message = rt::join_texts({text.get(), t_not_supported});
        rt::raise(PyExc_ValueError, message.get());
    }
    rt::Ref underl = pair_from_text(underl_arg);
    rt::Ref chosen_exchange = exchange != Py_None ? rt::Ref::borrow(exchange) : rt::attr(underl.get(), n_exchange);
    rt::Ref constructor = rt::global(n_CryptoPerpFuture);
    return rt::call(constructor.get(), rt::kw<"underl">(underl.get()), rt::kw<"exchange">(chosen_exchange.get()));
}

}  // namespace

const rt::FunctionSpec kCryptoPerpFutureInit{"__init__", kInitParams, init, "kwargs"};
const rt::FunctionSpec kCryptoPerpFutureIsUnderlSupported{
    "is_underl_supported", kUnderlParams, is_underl_supported, nullptr, nullptr, "bool"};
const rt::FunctionSpec kCryptoPerpFutureCreateByUnderl{"create_by_underl", kCreateByUnderlParams, create_by_underl};

}  // namespace futures
