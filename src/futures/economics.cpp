// Per-unit economics of a linear contract, which settles in the quote currency: margin, commission of a
// fill and cash change of a trade, all in the units of the price given. These run per fill in trading
// loops, so the exact-float cases allocate nothing but the result.
#include "futures.hpp"

namespace futures {

namespace {

rt::Name n_UM_MAKER_FEE{"UM_MAKER_FEE"};
rt::Name n_UM_TAKER_FEE{"UM_TAKER_FEE"};

enum : std::size_t { kSelf, kPrice, kIsMaker };
enum : std::size_t { kTradePrice = 1, kQty = 2 };

// No leverage, multiplier or fee: one unit ties up its full price.
rt::Ref calculate_unit_margin(rt::Args& args) { return rt::float_value(args.real(kPrice)); }

rt::Ref calc_unit_commission(rt::Args& args) {
    const double price = args.real(kPrice);
    const bool maker = rt::truth(args[kIsMaker]);
    rt::Ref fee = rt::attr(args[kSelf], maker ? n_UM_MAKER_FEE : n_UM_TAKER_FEE);
    // float * float is exactly the C product; any other fee type gets the interpreter's `*`.
    if (PyFloat_CheckExact(fee.get())) return rt::float_value(price * PyFloat_AS_DOUBLE(fee.get()));
    rt::Ref price_object = rt::float_value(price);
    return rt::Ref::steal(PyNumber_Multiply(price_object.get(), fee.get()));
}

rt::Ref calc_cash_change(rt::Args& args) { return rt::float_value(args.real(kTradePrice) * args.real(kQty)); }

constexpr rt::Param kMarginParams[] = {{"self"}, {"price", "float", rt::Check::Float}};
constexpr rt::Param kCommissionParams[] = {{"self"}, {"price", "float", rt::Check::Float}, {"is_maker", "bool"}};
constexpr rt::Param kCashChangeParams[] = {
    {"self"}, {"trade_price", "float", rt::Check::Float}, {"qty", "float", rt::Check::Float}};

}  // namespace

const rt::FunctionSpec kCryptoFutureCalculateUnitMargin{"calculate_unit_margin", kMarginParams,
                                                        calculate_unit_margin};
const rt::FunctionSpec kCryptoFutureCalcUnitCommission{"calc_unit_commission", kCommissionParams,
                                                       calc_unit_commission};
const rt::FunctionSpec kCryptoFutureCalcCashChange{"calc_cash_change", kCashChangeParams, calc_cash_change};

}  // namespace futures
