// Every interned name of the futures module, declared once.
//
// The prefix says which string an identifier holds, so one identifier means one string in every file:
//   n_<text>   the name as written: a keyword, method, property, class, enum member or module global
//   a_<text>   "_<text>": an attribute an instance keeps for itself (or a private hook)
//   d_<text>   "__<text>__": a special name
//   t_<what>   a text that is no identifier (separators, message pieces)
// Keyword arguments are named where they are passed, `rt::kw<"exchange">(value)`, and are not declared here.
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
inline rt::Name n_inst_cache{"inst_cache"};
inline rt::Name n_get{"get"};
inline rt::Name n_get_instrument_info{"get_instrument_info"};

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
inline rt::Name a_info{"_info"};
inline rt::Name a_tick_size{"_tick_size"};
inline rt::Name a_qty_unit{"_qty_unit"};

// Special names.
inline rt::Name d_class{"__class__"};
inline rt::Name d_init{"__init__"};
inline rt::Name d_name{"__name__"};
inline rt::Name d_file{"__file__"};

// Texts.
inline rt::Name t_dot{"."};
inline rt::Name t_usd_suffix{"-USD"};
inline rt::Name t_not_supported{" not supported!"};
inline rt::Name t_dash{"-"};
inline rt::Name t_cannot_be_built{" cannot be built"};

// --- reference data: the lookup, its file cache and its time limit -------------------------------------

// Module globals and collaborators.
inline rt::Name n_Inibridge{"Inibridge"};
inline rt::Name n_hashlib{"hashlib"};
inline rt::Name n_json{"json"};
inline rt::Name n_logging{"logging"};
inline rt::Name n_open{"open"};
inline rt::Name n_os{"os"};
inline rt::Name n_print{"print"};
inline rt::Name n_urllib{"urllib"};
inline rt::Name n_RETRY_TIMES{"RETRY_TIMES"};

// Configuration keys and record fields.
inline rt::Name n_data_related{"data_related"};
inline rt::Name n_LOCAL_DATA_CACHE_DIR{"LOCAL_DATA_CACHE_DIR"};
inline rt::Name n_InstrumentInfoUrl{"InstrumentInfoUrl"};
inline rt::Name n_InstrumentInfoTimeout{"InstrumentInfoTimeout"};
inline rt::Name n_InstrumentInfoMaxAge{"InstrumentInfoMaxAge"};
inline rt::Name n_instruments{"instruments"};
inline rt::Name n_symbol_infos{"symbol_infos"};
inline rt::Name n_expiry_date{"expiry_date"};
inline rt::Name n_price_tick_size{"price_tick_size"};
inline rt::Name n_contract_size{"contract_size"};
inline rt::Name n_limit_min_quantity{"limit_min_quantity"};

// Attributes and methods of the collaborators.
inline rt::Name n_config{"config"};
inline rt::Name n_makedirs{"makedirs"};
inline rt::Name n_path{"path"};
inline rt::Name n_join{"join"};
inline rt::Name n_exists{"exists"};
inline rt::Name n_replace{"replace"};
inline rt::Name n_dirname{"dirname"};
inline rt::Name n_fsync{"fsync"};
inline rt::Name n_fileno{"fileno"};
inline rt::Name n_flush{"flush"};
inline rt::Name n_close{"close"};
inline rt::Name n_add_note{"add_note"};
inline rt::Name n_sha256{"sha256"};
inline rt::Name n_hexdigest{"hexdigest"};
inline rt::Name n_load{"load"};
inline rt::Name n_loads{"loads"};
inline rt::Name n_dump{"dump"};
inline rt::Name n_request{"request"};
inline rt::Name n_urlopen{"urlopen"};
inline rt::Name n_getcode{"getcode"};
inline rt::Name n_read{"read"};
inline rt::Name n_error{"error"};
inline rt::Name n_build_opener{"build_opener"};
inline rt::Name n_HTTPHandler{"HTTPHandler"};
inline rt::Name n_HTTPSHandler{"HTTPSHandler"};
inline rt::Name n_HTTPConnection{"HTTPConnection"};
inline rt::Name n_HTTPSConnection{"HTTPSConnection"};
inline rt::Name n_http_open{"http_open"};
inline rt::Name n_https_open{"https_open"};
inline rt::Name n_do_open{"do_open"};
inline rt::Name n_context{"context"};
inline rt::Name n_check_hostname{"check_hostname"};
inline rt::Name a_context{"_context"};
inline rt::Name a_check_hostname{"_check_hostname"};
inline rt::Name n_connect{"connect"};
inline rt::Name n_sock{"sock"};
inline rt::Name n_shutdown{"shutdown"};
inline rt::Name n_Timer{"Timer"};
inline rt::Name n_daemon{"daemon"};
inline rt::Name n_start{"start"};
inline rt::Name n_cancel{"cancel"};
inline rt::Name n_HTTPError{"HTTPError"};
inline rt::Name n_reason{"reason"};
inline rt::Name n_TIMEOUT_MAX{"TIMEOUT_MAX"};
inline rt::Name n_warning{"warning"};
inline rt::Name n_create_connection{"create_connection"};
inline rt::Name a_create_connection{"_create_connection"};
inline rt::Name n_getaddrinfo{"getaddrinfo"};
inline rt::Name n_Thread{"Thread"};
inline rt::Name n_is_alive{"is_alive"};
inline rt::Name n_get_project_root{"get_project_root"};
inline rt::Name n_joinpath{"joinpath"};
inline rt::Name n_is_dir{"is_dir"};
inline rt::Name t_norvane_ini{"norvane.ini"};

// Texts of the query address, the cache files and the reports.
inline rt::Name t_question_mark{"?"};
inline rt::Name t_ampersand{"&"};
inline rt::Name t_json_suffix{".json"};
inline rt::Name t_read_mode{"r"};
inline rt::Name t_create_mode{"x"};
inline rt::Name t_mkdir_error{"future get_instrument_info mkdir error: "};
inline rt::Name t_request_api{"request api "};
inline rt::Name t_failed_with_status{" failed with status code "};
inline rt::Name t_raises_exception{" raises exception:\n "};
inline rt::Name t_newline{"\n"};
inline rt::Name t_externalSymbol_is{"externalSymbol="};
inline rt::Name t_symbol_is{"symbol="};
inline rt::Name t_exchange_is{"exchange="};
inline rt::Name t_security_type_is{"security_type="};
inline rt::Name t_contract_type_is{"contract_type="};
inline rt::Name t_expiry_date_is{"expiry_date="};
// Key, in the thread-state dict, of what the last lookup kept for the build: its account of an empty
// answer, and the cache file it answered from.
inline rt::Name t_empty_lookup_key{"norvane.futures.empty_lookup"};

}  // namespace futures
