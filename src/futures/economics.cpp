// Per-unit economics of the crypto futures: margin, commission of a fill and cash change of a trade, in
// the units of the price given. A linear contract settles in the quote currency, so its figures are
// products of the price; an inverse (coin-settled) contract divides by the price because margin, fees and
// cash are amounts of the coin, not of the USD quote. These run per fill in trading loops, so the
// exact-float cases allocate nothing but the result.
#include "futures.hpp"
#include "names.hpp"

namespace futures {

namespace {

enum class Margin : std::size_t { self, price, count };
constexpr auto kMarginParams = rt::params<Margin>({{"self"}, {"price", "float", rt::Check::Float}});

enum class CashChange : std::size_t { self, trade_price, qty, count };
constexpr auto kCashChangeParams = rt::params<CashChange>({
    {"self"},
    {"trade_price", "float", rt::Check::Float},
    {"qty", "float", rt::Check::Float},
});

// --- linear ---------------------------------------------------------------------------------------------

enum class LinearCommission : std::size_t { self, price, is_maker, count };
constexpr auto kLinearCommissionParams = rt::params<LinearCommission>({
    {"self"},
    {"price", "float", rt::Check::Float},
    {"is_maker", "bool"},
});

// No leverage, multiplier or fee: one unit ties up its full price.
rt::Ref linear_unit_margin(rt::Args& args) { return rt::float_value(args.real(Margin::price)); }

rt::Ref linear_unit_commission(rt::Args& args) {
    const double price = args.real(LinearCommission::price);
    const bool maker = rt::truth(args[LinearCommission::is_maker]);
    rt::Ref fee = rt::attr(args[LinearCommission::self], maker ? n_UM_MAKER_FEE : n_UM_TAKER_FEE);
    // float * float is exactly the C product; any other fee type gets the interpreter's `*`.
    if (PyFloat_CheckExact(fee.get())) return rt::float_value(price * PyFloat_AS_DOUBLE(fee.get()));
    rt::Ref price_object = rt::float_value(price);
    return rt::Ref::steal(PyNumber_Multiply(price_object.get(), fee.get()));
}

rt::Ref linear_cash_change(rt::Args& args) {
    return rt::float_value(args.real(CashChange::trade_price) * args.real(CashChange::qty));
}

// --- inverse --------------------------------------------------------------------------------------------

enum class InverseCommission : std::size_t { self, price, is_maker, count };
constexpr auto kInverseCommissionParams = rt::params<InverseCommission>({
    {"self"},
    {"price", "float", rt::Check::Float},
    {"is_maker", "bool", rt::Check::Any, rt::Default::True},
});

// The double an exact float or int turns into when the interpreter mixes it with a float, or nothing:
// other number types keep the interpreter's own arithmetic.
bool mixes_as_double(PyObject* value, double& out) {
    if (PyFloat_CheckExact(value)) {
        out = PyFloat_AS_DOUBLE(value);
        return true;
    }
    if (PyLong_CheckExact(value)) {
        // Too large for a double: the generic path raises the interpreter's own OverflowError.
        return rt::suppress(PyExc_OverflowError, [&] {
            out = PyLong_AsDouble(value);
            if (out == -1.0 && PyErr_Occurred()) rt::raise_pending();
        });
    }
    return false;
}

// `numerator / float(denominator)` with the interpreter's true division.
rt::Ref divide_by_price(PyObject* numerator, double price) {
    double value;
    if (mixes_as_double(numerator, value)) {
        if (price == 0.0) rt::raise(PyExc_ZeroDivisionError, "float division by zero");
        return rt::float_value(value / price);
    }
    rt::Ref denominator = rt::float_value(price);
    return rt::Ref::steal(PyNumber_TrueDivide(numerator, denominator.get()));
}

rt::Ref inverse_unit_margin(rt::Args& args) {
    rt::Ref multiplier = rt::attr(args[Margin::self], a_contract_multipl);
    return divide_by_price(multiplier.get(), args.real(Margin::price));
}

rt::Ref inverse_unit_commission(rt::Args& args) {
    PyObject* self = args[InverseCommission::self];
    const double price = args.real(InverseCommission::price);
    const bool is_maker = rt::truth(args[InverseCommission::is_maker]);
    rt::Ref fee_rate = rt::attr(self, is_maker ? n_CM_MAKER_FEE : n_CM_TAKER_FEE);
    rt::Ref multiplier = rt::attr(self, a_contract_multipl);
    double size;
    // float * float or float * int multiplies as doubles; an int fee times an int size stays an exact
    // int product in the interpreter, so it takes the generic path.
    if (PyFloat_CheckExact(fee_rate.get()) && mixes_as_double(multiplier.get(), size)) {
        const double fee = PyFloat_AS_DOUBLE(fee_rate.get());
        if (price == 0.0) rt::raise(PyExc_ZeroDivisionError, "float division by zero");
        return rt::float_value(fee * size / price);
    }
    rt::Ref product = rt::Ref::steal(PyNumber_Multiply(fee_rate.get(), multiplier.get()));
    return divide_by_price(product.get(), price);
}

// The public `contract_multipl`, unlike margin and commission, which read the stored `_contract_multipl`.
rt::Ref inverse_cash_change(rt::Args& args) {
    const double trade_price = args.real(CashChange::trade_price);
    const double qty = args.real(CashChange::qty);
    rt::Ref multiplier = rt::attr(args[CashChange::self], n_contract_multipl);
    double size;
    if (mixes_as_double(multiplier.get(), size)) {
        if (trade_price == 0.0) rt::raise(PyExc_ZeroDivisionError, "float division by zero");
        return rt::float_value(qty * size / trade_price);
    }
    rt::Ref quantity = rt::float_value(qty);
    rt::Ref product = rt::Ref::steal(PyNumber_Multiply(quantity.get(), multiplier.get()));
    return divide_by_price(product.get(), trade_price);
}

}  // namespace

const rt::FunctionSpec kCryptoFutureCalculateUnitMargin{"calculate_unit_margin", kMarginParams, linear_unit_margin};
const rt::FunctionSpec kCryptoFutureCalcUnitCommission{"calc_unit_commission", kLinearCommissionParams,
                                                       linear_unit_commission};
const rt::FunctionSpec kCryptoFutureCalcCashChange{"calc_cash_change", kCashChangeParams, linear_cash_change};

const rt::FunctionSpec kCryptoInvFutureUnitMargin{"calculate_unit_margin", kMarginParams, inverse_unit_margin};
const rt::FunctionSpec kCryptoInvFutureUnitCommission{"calc_unit_commission", kInverseCommissionParams,
                                                      inverse_unit_commission};
const rt::FunctionSpec kCryptoInvFutureCashChange{"calc_cash_change", kCashChangeParams, inverse_cash_change};

}  // namespace futures
