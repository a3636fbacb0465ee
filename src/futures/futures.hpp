// Pieces of the futures module that live in separate files and meet in the class namespaces (module.cpp).
// One file per concern: the constructors of each kind in its own file, identity (identifiers, the pair
// behind a text, the enum members a kind reports) in identity.cpp, the per-unit economics of linear and
// inverse contracts in economics.cpp, the reference-data lookup, the build hook and the factory each in
// theirs. The names they look up are declared once, in names.hpp.
#pragma once

#include <optional>

#include "runtime/runtime.hpp"

namespace futures {

// Future (future.cpp)
extern const rt::FunctionSpec kFutureInit;
extern const rt::FunctionSpec kFutureQuoteCcy;
extern const rt::FunctionSpec kFutureBuildHook;
extern const rt::FunctionSpec kFutureBuild;

// CryptoFuture: constructor and settlement properties (crypto_future.cpp)
extern const rt::FunctionSpec kCryptoFutureInit;
extern const rt::FunctionSpec kCryptoFutureSettlementCcy;
extern const rt::FunctionSpec kCryptoFutureContractType;

// CryptoInvFuture (inverse_future.cpp)
extern const rt::FunctionSpec kCryptoInvFutureInit;
extern const rt::FunctionSpec kCryptoInvFutureSettlementCcy;

// CryptoPerpFuture (perpetual_future.cpp)
extern const rt::FunctionSpec kCryptoPerpFutureInit;
extern const rt::FunctionSpec kCryptoPerpFutureIsUnderlSupported;
extern const rt::FunctionSpec kCryptoPerpFutureCreateByUnderl;

// CryptoInvPerpFuture (inverse_perpetual_future.cpp)
extern const rt::FunctionSpec kCryptoInvPerpFutureInit;

// Identity of every kind (identity.cpp): CryptoFuture.get_instrument_id joins the identifier, the other
// kinds delegate to the module-level class they identify as.
extern const rt::FunctionSpec kCryptoFutureGetInstrumentId;
extern const rt::FunctionSpec kCryptoInvFutureGetInstrumentId;
extern const rt::FunctionSpec kCryptoPerpFutureGetInstrumentId;
extern const rt::FunctionSpec kCryptoInvPerpFutureGetInstrumentId;

// The six identifier parts, each as `format(value, '')`, joined by "." in the identifier's order.
rt::Ref join_instrument_id(PyObject* exchange, PyObject* symbol, PyObject* instrument_type, PyObject* contract_type,
                           PyObject* ccy, PyObject* expiry_date);

// Sets the instrument type to PERP and writes the identifier again from the instance's own fields.
void retype_as_perpetual(PyObject* self);

// `value.__class__.__name__`, and its `==` with `name`, as the class-name test of pair texts reads them.
rt::Ref class_name_of(PyObject* value);
bool class_name_equals(PyObject* value, PyObject* name);

// The underlying itself, or `CryptoPair.create(underl)` when the class-name test calls it text.
rt::Ref pair_from_text(PyObject* underl);

// Enum members as the module reads them at call time: `Instrument.<enum_name>.<member>` (the members the
// instrument reports), `<enum_name>.<member>` of the module-level enum, `Future.SettlementType.<member>`.
rt::Ref instrument_enum_member(PyObject* enum_name, PyObject* member);
rt::Ref module_enum_member(PyObject* enum_name, PyObject* member);
rt::Ref settlement_type_member(PyObject* member);

// Per-unit economics (economics.cpp): linear contracts settle in the quote currency, inverse ones in the coin.
extern const rt::FunctionSpec kCryptoFutureCalculateUnitMargin;
extern const rt::FunctionSpec kCryptoFutureCalcUnitCommission;
extern const rt::FunctionSpec kCryptoFutureCalcCashChange;
extern const rt::FunctionSpec kCryptoInvFutureUnitMargin;
extern const rt::FunctionSpec kCryptoInvFutureUnitCommission;
extern const rt::FunctionSpec kCryptoInvFutureCashChange;

// CryptoFuture reference data: lookup with its file cache (instrument_info.cpp), build hook (build.cpp)
extern const rt::FunctionSpec kCryptoFutureGetInstrumentInfo;
extern const rt::FunctionSpec kCryptoFutureBuildHook;

// Refuses, with ValueError naming the parameter and the value, a query value of get_instrument_info
// (each text parameter of `params`, its parameter list) holding "#", white space or a control character
// (query_values.cpp).
void require_sendable_query_values(const rt::Args& args, std::span<const rt::Param> params);

// Notes for a lookup whose configuration lacks what it reads (configuration_notes.cpp): the section
// [data_related], one of its keys, or the cache directory (for the UnboundLocalError of an unset one).
rt::Ref missing_section_note();
rt::Ref missing_key_note(PyObject* key);
rt::Ref unset_cache_dir_note();

// The optional `InstrumentInfoMaxAge` of the `data_related` section (cache_max_age.cpp): the age in
// seconds beyond which a cache entry is fetched again, and the setting as written. Absent: entries never
// expire. ValueError unless it is a number of seconds or a duration such as 30d, not negative.
struct CacheMaxAge {
    double seconds;
    rt::Ref setting;
};
std::optional<CacheMaxAge> cache_max_age_setting(PyObject* section);
// Seconds since the cache file was last written, or nothing when it cannot be examined (it is absent).
std::optional<double> cache_file_age(PyObject* cache_path);
// The WARNING of an entry past its age that is answered all the same, since no attempt to fetch it again
// succeeded: the file, its age and the limit.
void warn_stale_answer(PyObject* address, PyObject* cache_path, double age, const CacheMaxAge& max_age);

// The optional `InstrumentInfoTimeout` of the `data_related` section as a float, or null when it is not
// set; ValueError unless it is a positive number (request_time_limit.cpp).
rt::Ref request_time_limit_setting(PyObject* section);

// Bounds one request of the lookup as a whole: `open` opens the address through the standard handlers
// with every connection registered, and once the limit passes a timer cuts them all (request_time_limit.cpp).
class RequestTimeLimit {
public:
    explicit RequestTimeLimit(PyObject* seconds);  // a positive float; the clock starts here
    ~RequestTimeLimit();                           // stops the timer, quietly: a failure is under way
    RequestTimeLimit(const RequestTimeLimit&) = delete;
    RequestTimeLimit& operator=(const RequestTimeLimit&) = delete;

    rt::Ref open(PyObject* address);
    // Raises TimeoutError when the limit has passed (a body read to its end may have been cut short).
    void check();
    // Inside `catch`: a failure of a request whose limit has passed becomes a TimeoutError (with the
    // failure as its context); any other error propagates as it is.
    [[noreturn]] void rethrow();
    // Stops the timer and waits for its thread once the request is done; an interrupt meanwhile propagates.
    void finish();

private:
    [[noreturn]] void raise_expired();

    rt::Ref seconds_;
    rt::Ref sockets_;
    rt::Ref timer_;
    double deadline_ = 0;
};

// CryptoFuture.create (factory.cpp)
extern const rt::FunctionSpec kCryptoFutureCreate;

// What create tells about identifiers it cannot use (identifier_errors.cpp): the expected layout with an
// example, the requested and the instrument's own spelling, and the refusal of an empty field (ValueError
// naming the identifier; `parts` is the list of its six fields).
rt::Ref identifier_layout_note(PyObject* instrument_id);
rt::Ref spelling_note(PyObject* requested, PyObject* own);
void require_no_empty_field(PyObject* instrument_id, PyObject* parts);

}  // namespace futures
