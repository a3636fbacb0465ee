// The futures module: its imports and its class tree, bound in this order. Each class namespace gathers
// members from the files of their concerns (see futures.hpp).
#include "futures.hpp"
#include "names.hpp"

namespace futures {

namespace {

const rt::Member kFutureMembers[] = {
    {rt::MemberKind::Method, kFutureInit},
    {rt::MemberKind::Property, kFutureQuoteCcy},
    {rt::MemberKind::Method, kFutureBuildHook},
    {rt::MemberKind::Method, kFutureBuild},
};

const rt::Member kCryptoFutureMembers[] = {
    {rt::MemberKind::Method, kCryptoFutureInit},
    {rt::MemberKind::Static, kCryptoFutureGetInstrumentId},
    {rt::MemberKind::Property, kCryptoFutureSettlementCcy},
    {rt::MemberKind::Property, kCryptoFutureContractType},
    {rt::MemberKind::Method, kCryptoFutureCalculateUnitMargin},
    {rt::MemberKind::Method, kCryptoFutureCalcUnitCommission},
    {rt::MemberKind::Method, kCryptoFutureCalcCashChange},
    {rt::MemberKind::Static, kCryptoFutureCreate},
    {rt::MemberKind::Static, kCryptoFutureGetInstrumentInfo},
    {rt::MemberKind::Method, kCryptoFutureBuildHook},
};

const rt::Member kCryptoInvFutureMembers[] = {
    {rt::MemberKind::Method, kCryptoInvFutureInit},
    {rt::MemberKind::Static, kCryptoInvFutureGetInstrumentId},
    {rt::MemberKind::Property, kCryptoInvFutureSettlementCcy},
    {rt::MemberKind::Method, kCryptoInvFutureUnitMargin},
    {rt::MemberKind::Method, kCryptoInvFutureUnitCommission},
    {rt::MemberKind::Method, kCryptoInvFutureCashChange},
};

const rt::Member kCryptoPerpFutureMembers[] = {
    {rt::MemberKind::Method, kCryptoPerpFutureInit},
    {rt::MemberKind::Static, kCryptoPerpFutureIsUnderlSupported},
    {rt::MemberKind::Static, kCryptoPerpFutureCreateByUnderl},
    {rt::MemberKind::Static, kCryptoPerpFutureGetInstrumentId},
};

const rt::Member kCryptoInvPerpFutureMembers[] = {
    {rt::MemberKind::Method, kCryptoInvPerpFutureInit},
    {rt::MemberKind::Static, kCryptoInvPerpFutureGetInstrumentId},
};

const rt::ClassSpec kFuture{"Future", nullptr, kFutureMembers};
const rt::ClassSpec kCryptoFuture{"CryptoFuture", nullptr, kCryptoFutureMembers};
const rt::ClassSpec kCryptoInvFuture{"CryptoInvFuture",
                                     "\n    Inverse Future is a contract which settles with cryptocurrency\n    ",
                                     kCryptoInvFutureMembers};
const rt::ClassSpec kCryptoPerpFuture{"CryptoPerpFuture", nullptr, kCryptoPerpFutureMembers};
const rt::ClassSpec kCryptoInvPerpFuture{"CryptoInvPerpFuture", nullptr, kCryptoInvPerpFutureMembers};

// Creates a class on the base currently bound under `base_name` and binds it under its own name.
rt::Ref bind_class(PyObject* module, const rt::ClassSpec& spec, PyObject* base_name,
                   std::initializer_list<rt::ClassAttribute> attributes = {}) {
    rt::Ref base = rt::global(base_name);
    rt::Ref cls = rt::create_class(spec, base.get(), attributes);
    rt::require(PyModule_AddObjectRef(module, spec.name, cls.get()));
    return cls;
}

void module_body(PyObject* module) {
    rt::import_module(module, "hashlib", nullptr);
    rt::import_module(module, "json", nullptr);
    rt::import_module(module, "logging", nullptr);
    rt::import_module(module, "os", nullptr);
    rt::import_module(module, "urllib", nullptr);
    rt::import_module(module, "urllib.request", nullptr);
    rt::import_from(module, "typing", "Dict");
    rt::import_from(module, "typing", "Union");
    rt::import_from(module, "norvane.kestrum_utils.inibridge.inibridge", "Inibridge");
    rt::import_from(module, "norvane.kestrum_utils.priceable.enums", "CONTRACT_TYPE");
    rt::import_from(module, "norvane.kestrum_utils.priceable.enums", "INSTRUMENT_TYPE");
    rt::Ref settlement_type = rt::import_from(module, "norvane.kestrum_utils.priceable.enums", "SettlementType");
    rt::import_from(module, "norvane.kestrum_utils.priceable.instrument", "Instrument");
    rt::import_from(module, "norvane.kestrum_utils.priceable.spots", "CryptoPair");

    bind_class(module, kFuture, n_Instrument, {{"SettlementType", settlement_type.get()}});

    rt::Ref inst_cache = rt::Ref::steal(PyDict_New());
    rt::Ref retry_times = rt::Ref::steal(PyLong_FromLong(5));
    bind_class(module, kCryptoFuture, n_Future, {{"inst_cache", inst_cache.get()}, {"RETRY_TIMES", retry_times.get()}});
    bind_class(module, kCryptoInvFuture, n_CryptoFuture);
    bind_class(module, kCryptoPerpFuture, n_CryptoFuture);
    bind_class(module, kCryptoInvPerpFuture, n_CryptoInvFuture);
}

const rt::ModuleSpec kModule{"futures", "norvane.kestrum_utils.priceable.futures", nullptr, module_body};

}  // namespace

}  // namespace futures

RT_MODULE_ENTRY(futures, futures::kModule)
