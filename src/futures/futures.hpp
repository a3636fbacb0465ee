// Pieces of the futures module that live in separate files and meet in the class namespaces.
#pragma once

#include "runtime/runtime.hpp"

namespace futures {

// Future (future.cpp)
extern const rt::FunctionSpec kFutureInit;
extern const rt::FunctionSpec kFutureQuoteCcy;
extern const rt::FunctionSpec kFutureBuildHook;
extern const rt::FunctionSpec kFutureBuild;

// CryptoFuture identity (crypto_future.cpp)
extern const rt::FunctionSpec kCryptoFutureInit;
extern const rt::FunctionSpec kCryptoFutureGetInstrumentId;
extern const rt::FunctionSpec kCryptoFutureSettlementCcy;
extern const rt::FunctionSpec kCryptoFutureContractType;

// CryptoFuture linear economics (economics.cpp)
extern const rt::FunctionSpec kCryptoFutureCalculateUnitMargin;
extern const rt::FunctionSpec kCryptoFutureCalcUnitCommission;
extern const rt::FunctionSpec kCryptoFutureCalcCashChange;

// CryptoFuture reference data: lookup with its file cache (instrument_info.cpp), build hook (build.cpp)
extern const rt::FunctionSpec kCryptoFutureGetInstrumentInfo;
extern const rt::FunctionSpec kCryptoFutureBuildHook;

// Refuses, with ValueError naming the parameter and the value, a query value of get_instrument_info
// (its first six arguments) holding "#", white space or a control character (query_values.cpp).
void require_sendable_query_values(const rt::Args& args);

// The optional `InstrumentInfoTimeout` of the `data_related` section as a float, or null when it is not
// set; ValueError unless it is a positive number (request_time_limit.cpp).
rt::Ref request_time_limit_setting(PyObject* section);

// Bounds one request of the lookup as a whole: `open` opens the address through the standard handlers
// with every connection registered, and once the limit passes a timer cuts them all (request_time_limit.cpp).
class RequestTimeLimit {
public:
    explicit RequestTimeLimit(PyObject* seconds);  // a positive float; the clock starts here
    ~RequestTimeLimit();                           // stops the timer
    RequestTimeLimit(const RequestTimeLimit&) = delete;
    RequestTimeLimit& operator=(const RequestTimeLimit&) = delete;

    rt::Ref open(PyObject* address);
    // Raises TimeoutError when the limit has passed (a body read to its end may have been cut short).
    void check();
    // Inside `catch`: a failure of a request whose limit has passed becomes a TimeoutError (with the
    // failure as its context); any other error propagates as it is.
    [[noreturn]] void rethrow();

private:
    [[noreturn]] void raise_expired();

    rt::Ref seconds_;
    rt::Ref sockets_;
    rt::Ref timer_;
    double deadline_ = 0;
};

// The six identifier parts, each as `format(value, '')`, joined by "." (exchange, symbol, instrument type,
// contract type, currency, expiry date).
rt::Ref join_instrument_id(PyObject* exchange, PyObject* symbol, PyObject* instrument_type, PyObject* contract_type,
                           PyObject* ccy, PyObject* expiry_date);

// `value.__class__.__name__ == other`, as the class-name test of pair texts does it.
bool class_name_equals(PyObject* value, PyObject* name);

// CryptoFuture.create (factory.cpp)
extern const rt::FunctionSpec kCryptoFutureCreate;

// What create tells about identifiers it cannot use (identifier_errors.cpp): the expected layout with an
// example, the requested and the instrument's own spelling, and the refusal of an empty field (ValueError
// naming the identifier; `parts` is the list of its six fields).
rt::Ref identifier_layout_note(PyObject* instrument_id);
rt::Ref spelling_note(PyObject* requested, PyObject* own);
void require_no_empty_field(PyObject* instrument_id, PyObject* parts);

// The parameters of every get_instrument_id; `symbol` and `expiry_date` are checked on entry.
inline constexpr rt::Param kInstrumentIdParams[] = {
    {"symbol", "str", rt::Check::ExactStr},
    {"instrument_type", "Instrument.INSTRUMENT_TYPE"},
    {"contract_type", "Instrument.CONTRACT_TYPE"},
    {"expiry_date", "str", rt::Check::ExactStr},
    {"ccy", "Instrument.CURRENCY"},
    {"exchange", "Instrument.EXCHANGE"},
};

// `<module-level class_name>.get_instrument_id(symbol=..., ..., exchange=...)` with the six bound arguments.
rt::Ref delegate_instrument_id(PyObject* class_name, const rt::Args& args);

// CryptoInvFuture (inverse_future.cpp)
extern const rt::FunctionSpec kCryptoInvFutureInit;
extern const rt::FunctionSpec kCryptoInvFutureGetInstrumentId;
extern const rt::FunctionSpec kCryptoInvFutureSettlementCcy;
extern const rt::FunctionSpec kCryptoInvFutureUnitMargin;
extern const rt::FunctionSpec kCryptoInvFutureUnitCommission;
extern const rt::FunctionSpec kCryptoInvFutureCashChange;

// CryptoPerpFuture (perpetual_future.cpp)
extern const rt::FunctionSpec kCryptoPerpFutureInit;
extern const rt::FunctionSpec kCryptoPerpFutureIsUnderlSupported;
extern const rt::FunctionSpec kCryptoPerpFutureCreateByUnderl;
extern const rt::FunctionSpec kCryptoPerpFutureGetInstrumentId;

// The underlying itself, or `CryptoPair.create(underl)` when the class-name test calls it text.
rt::Ref pair_from_text(PyObject* underl);

// Sets the instrument type to PERP and writes the identifier again from the instance's own fields.
void retype_as_perpetual(PyObject* self);

// CryptoInvPerpFuture (inverse_perpetual_future.cpp)
extern const rt::FunctionSpec kCryptoInvPerpFutureInit;
extern const rt::FunctionSpec kCryptoInvPerpFutureGetInstrumentId;

}  // namespace futures
