// CryptoInvFuture: the dated inverse (coin-settled) future on a single crypto currency. Its economics
// divide by the price because margin, fees and cash are amounts of the coin, not of the USD quote.
#include "futures.hpp"

namespace futures {

namespace {

rt::Name n_quote_ccy{"quote_ccy"};
rt::Name n_base_ccy{"base_ccy"};
rt::Name n_Instrument{"Instrument"};
rt::Name n_Future{"Future"};
rt::Name n_CryptoFuture{"CryptoFuture"};
rt::Name n_CONTRACT_TYPE{"CONTRACT_TYPE"};
rt::Name n_INVERSE{"INVERSE"};
rt::Name n_SettlementType{"SettlementType"};
rt::Name n_physical{"physical"};
rt::Name n_init{"__init__"};
rt::Name n_get_instrument_id{"get_instrument_id"};
rt::Name n_settlement_ccy_attr{"_settlement_ccy"};
rt::Name n_contract_multipl_attr{"_contract_multipl"};
rt::Name n_contract_multipl{"contract_multipl"};
rt::Name n_CM_MAKER_FEE{"CM_MAKER_FEE"};
rt::Name n_CM_TAKER_FEE{"CM_TAKER_FEE"};
rt::Name n_usd_suffix{"-USD"};

rt::KeywordNames kw_instrument_id{"symbol", "instrument_type", "contract_type", "expiry_date", "ccy", "exchange"};
rt::KeywordNames kw_crypto_future_init{"underl", "exchange", "expiry_date", "symbol", "contract_type",
                                       "settlement_type"};

rt::Ref init(rt::Args& args) {
    PyObject* self = args[0];
    PyObject* underl = args[1];
    PyObject* expiry_date = args[2];
    PyObject* exchange = args[3];

    rt::Ref quote_ccy = rt::attr(underl, n_quote_ccy);
    rt::Ref base_ccy = rt::attr(underl, n_base_ccy);
    rt::Ref differs = rt::Ref::steal(PyObject_RichCompare(quote_ccy.get(), base_ccy.get(), Py_NE));
    if (rt::truth(differs.get())) {
        rt::raise(PyExc_ValueError,
                  "the underlying must be a crypto currency not a pair. set the base_currency to quote currency");
    }

    rt::Ref coin = rt::attr(underl, n_base_ccy);
    rt::Ref coin_text = rt::text_of(coin.get());
    rt::Ref symbol = rt::join_texts({coin_text.get(), n_usd_suffix});

    rt::Ref instrument = rt::global(n_Instrument);
    rt::Ref contract_types = rt::attr(instrument.get(), n_CONTRACT_TYPE);
    rt::Ref inverse = rt::attr(contract_types.get(), n_INVERSE);
    rt::Ref future_class = rt::global(n_Future);
    rt::Ref settlement_types = rt::attr(future_class.get(), n_SettlementType);
    rt::Ref physical = rt::attr(settlement_types.get(), n_physical);

    // Extra keywords are deliberately not passed on: the symbol and the contract terms of an inverse
    // future follow from its coin alone.
    rt::super_call_kw(args, self, n_init, kw_crypto_future_init, underl, exchange, expiry_date, symbol.get(),
                      inverse.get(), physical.get());
    return rt::none();
}

rt::Ref get_instrument_id(rt::Args& args) { return delegate_instrument_id(n_CryptoFuture, args); }

rt::Ref settlement_ccy(rt::Args& args) { return rt::attr(args[0], n_settlement_ccy_attr); }

// The double an exact float or int turns into when the interpreter mixes it with a float, or nothing:
// other number types keep the interpreter's own arithmetic.
bool mixes_as_double(PyObject* value, double& out) {
    if (PyFloat_CheckExact(value)) {
        out = PyFloat_AS_DOUBLE(value);
        return true;
    }
    if (PyLong_CheckExact(value)) {
        out = PyLong_AsDouble(value);
        if (out == -1.0 && PyErr_Occurred()) {
            // Too large for a double: the generic path raises the interpreter's own OverflowError.
            PyErr_Clear();
            return false;
        }
        return true;
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

rt::Ref calculate_unit_margin(rt::Args& args) {
    const double price = args.real(1);
    rt::Ref multiplier = rt::attr(args[0], n_contract_multipl_attr);
    return divide_by_price(multiplier.get(), price);
}

rt::Ref calc_unit_commission(rt::Args& args) {
    PyObject* self = args[0];
    const double price = args.real(1);
    const bool is_maker = rt::truth(args[2]);
    rt::Ref fee_rate = rt::attr(self, is_maker ? n_CM_MAKER_FEE : n_CM_TAKER_FEE);
    rt::Ref multiplier = rt::attr(self, n_contract_multipl_attr);
    double fee;
    double size;
    // float * float or float * int multiplies as doubles; an int fee times an int size stays an exact
    // int product in the interpreter, so it takes the generic path.
    if (PyFloat_CheckExact(fee_rate.get()) && mixes_as_double(multiplier.get(), size)) {
        fee = PyFloat_AS_DOUBLE(fee_rate.get());
        if (price == 0.0) rt::raise(PyExc_ZeroDivisionError, "float division by zero");
        return rt::float_value(fee * size / price);
    }
    rt::Ref product = rt::Ref::steal(PyNumber_Multiply(fee_rate.get(), multiplier.get()));
    return divide_by_price(product.get(), price);
}

rt::Ref calc_cash_change(rt::Args& args) {
    const double trade_price = args.real(1);
    const double qty = args.real(2);
    rt::Ref multiplier = rt::attr(args[0], n_contract_multipl);
    double size;
    if (mixes_as_double(multiplier.get(), size)) {
        if (trade_price == 0.0) rt::raise(PyExc_ZeroDivisionError, "float division by zero");
        return rt::float_value(qty * size / trade_price);
    }
    rt::Ref quantity = rt::float_value(qty);
    rt::Ref product = rt::Ref::steal(PyNumber_Multiply(quantity.get(), multiplier.get()));
    return divide_by_price(product.get(), trade_price);
}

constexpr rt::Param kSelf[] = {{"self"}};
constexpr rt::Param kInitParams[] = {
    {"self"},
    {"underl", "CryptoPair"},
    {"expiry_date", "Union[int, str]"},
    {"exchange", "Instrument.EXCHANGE"},
};
constexpr rt::Param kMarginParams[] = {{"self"}, {"price", "float", rt::Check::Float}};
constexpr rt::Param kCommissionParams[] = {
    {"self"},
    {"price", "float", rt::Check::Float},
    {"is_maker", "bool", rt::Check::Any, rt::Default::True},
};
constexpr rt::Param kCashChangeParams[] = {
    {"self"},
    {"trade_price", "float", rt::Check::Float},
    {"qty", "float", rt::Check::Float},
};

}  // namespace

rt::Ref delegate_instrument_id(PyObject* class_name, const rt::Args& args) {
    rt::Ref cls = rt::global(class_name);
    rt::Ref delegate = rt::attr(cls.get(), n_get_instrument_id);
    return rt::call_kw(delegate.get(), kw_instrument_id, args[0], args[1], args[2], args[3], args[4], args[5]);
}

const rt::FunctionSpec kCryptoInvFutureInit{"__init__", kInitParams, init, "kwargs"};
const rt::FunctionSpec kCryptoInvFutureGetInstrumentId{"get_instrument_id", kInstrumentIdParams, get_instrument_id};
const rt::FunctionSpec kCryptoInvFutureSettlementCcy{"settlement_ccy", kSelf, settlement_ccy};
const rt::FunctionSpec kCryptoInvFutureUnitMargin{"calculate_unit_margin", kMarginParams, calculate_unit_margin};
const rt::FunctionSpec kCryptoInvFutureUnitCommission{"calc_unit_commission", kCommissionParams,
                                                      calc_unit_commission};
const rt::FunctionSpec kCryptoInvFutureCashChange{"calc_cash_change", kCashChangeParams, calc_cash_change};

}  // namespace futures
