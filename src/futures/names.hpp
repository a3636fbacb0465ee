// Every interned name of the futures module, declared once.
//
// The prefix says which string an identifier holds, so one identifier means one string in every file:
//   n_<text>   the name as written: a keyword, method, property, class, enum member or module global
//   a_<text>   "_<text>": an attribute an instance keeps for itself (or a private hook)
//   d_<text>   "__<text>__": a special name
//   t_<what>   a text that is no identifier (separators, message pieces)
//   kw_<call>  the keywords, in order, that one call passes
#pragma once

#include "runtime/names.hpp"

namespace futures {

// Module globals: classes and enums read at call time.
inline rt::Name n_Instrument{"Instrument"};
inline rt::Name n_Future{"Future"};
inline rt::Name n_CryptoFuture{"CryptoFuture"};
inline rt::Name n_CryptoInvFuture{"CryptoInvFuture"};
inline rt::Name n_CryptoPerpFuture{"CryptoPerpFuture"};
inline rt::Name n_CryptoInvPerpFuture{"CryptoInvPerpFuture"};
inline rt::Name n_CryptoPair{"CryptoPair"};
inline rt::Name n_INSTRUMENT_TYPE{"INSTRUMENT_TYPE"};
inline rt::Name n_CONTRACT_TYPE{"CONTRACT_TYPE"};
inline rt::Name n_SettlementType{"SettlementType"};
inline rt::Name n_str{"str"};

// Enum members and class attributes.
inline rt::Name n_FUTURE{"FUTURE"};
inline rt::Name n_PERP{"PERP"};
inline rt::Name n_LINEAR{"LINEAR"};
inline rt::Name n_INVERSE{"INVERSE"};
inline rt::Name n_UNSPECIFIED{"UNSPECIFIED"};
inline rt::Name n_cash{"cash"};
inline rt::Name n_physical{"physical"};
inline rt::Name n_UM_MAKER_FEE{"UM_MAKER_FEE"};
inline rt::Name n_UM_TAKER_FEE{"UM_TAKER_FEE"};
inline rt::Name n_CM_MAKER_FEE{"CM_MAKER_FEE"};
inline rt::Name n_CM_TAKER_FEE{"CM_TAKER_FEE"};

// Public attributes, properties, methods and keywords.
inline rt::Name n_asset{"asset"};
inline rt::Name n_base_ccy{"base_ccy"};
inline rt::Name n_build{"build"};
inline rt::Name n_ccy{"ccy"};
inline rt::Name n_contract_multipl{"contract_multipl"};
inline rt::Name n_contract_type{"contract_type"};
inline rt::Name n_create{"create"};
inline rt::Name n_exchange{"exchange"};
inline rt::Name n_get_instrument_id{"get_instrument_id"};
inline rt::Name n_is_underl_supported{"is_underl_supported"};
inline rt::Name n_quote_ccy{"quote_ccy"};
inline rt::Name n_settlement_type{"settlement_type"};
inline rt::Name n_symbol{"symbol"};

// An instrument's own attributes.
inline rt::Name a_base_ccy{"_base_ccy"};
inline rt::Name a_ccy{"_ccy"};
inline rt::Name a_contract_multipl{"_contract_multipl"};
inline rt::Name a_contract_type{"_contract_type"};
inline rt::Name a_exchange{"_exchange"};
inline rt::Name a_expiry_date{"_expiry_date"};
inline rt::Name a_instrument_id{"_instrument_id"};
inline rt::Name a_instrument_type{"_instrument_type"};
inline rt::Name a_is_built{"_is_built"};
inline rt::Name a_quote_ccy{"_quote_ccy"};
inline rt::Name a_settlement_ccy{"_settlement_ccy"};
inline rt::Name a_settlement_type{"_settlement_type"};
inline rt::Name a_symbol{"_symbol"};
inline rt::Name a_underl{"_underl"};

// Special names.
inline rt::Name d_class{"__class__"};
inline rt::Name d_init{"__init__"};
inline rt::Name d_name{"__name__"};

// Texts.
inline rt::Name t_dot{"."};
inline rt::Name t_usd_suffix{"-USD"};
inline rt::Name t_not_supported{" not supported!"};

// Keyword calls. The identifier's own order (exchange first) is the order CryptoFuture.__init__ passes
// the fields in; delegating get_instrument_id passes its parameters in their declared order.
inline rt::KeywordNames kw_instrument_init{"symbol", "asset", "exchange", "ccy", "instrument_type"};
inline rt::KeywordNames kw_future_init{"symbol", "underl", "exchange", "expiry_date", "settlement_type"};
inline rt::KeywordNames kw_crypto_future_init_inverse{"underl",        "exchange", "expiry_date", "symbol",
                                                      "contract_type", "settlement_type"};
inline rt::KeywordNames kw_crypto_future_init_perpetual{"symbol", "underl", "exchange", "expiry_date"};
inline rt::KeywordNames kw_inverse_init_perpetual{"underl", "exchange", "expiry_date"};
inline rt::KeywordNames kw_perpetual_init{"underl", "exchange"};
inline rt::KeywordNames kw_underl{"underl"};
inline rt::KeywordNames kw_instrument_id_fields{"exchange", "symbol", "instrument_type", "contract_type", "ccy",
                                                "expiry_date"};
inline rt::KeywordNames kw_instrument_id_params{"symbol", "instrument_type", "contract_type", "expiry_date", "ccy",
                                                "exchange"};

}  // namespace futures
