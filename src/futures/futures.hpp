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

// The six identifier parts, each as `format(value, '')`, joined by "." (exchange, symbol, instrument type,
// contract type, currency, expiry date).
rt::Ref join_instrument_id(PyObject* exchange, PyObject* symbol, PyObject* instrument_type, PyObject* contract_type,
                           PyObject* ccy, PyObject* expiry_date);

// `value.__class__.__name__ == other`, as the class-name test of pair texts does it.
bool class_name_equals(PyObject* value, PyObject* name);

}  // namespace futures
