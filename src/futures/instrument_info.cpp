// Instrument information records from the reference-data service, through a file cache with one JSON file
// per distinct query address. Network, HTTP and reply-format failures never reach the caller: each is
// reported, the request is retried, and when the attempts run out the answer is an empty list.
#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <span>
#include <string>

#include "futures.hpp"
#include "names.hpp"
#include "lookup_report.hpp"
#include "runtime/handlers.hpp"

namespace futures {

namespace {

enum class Query : std::size_t {
    symbol,
    exchange,
    security_type,
    contract_type,
    expiry_date,
    externalSymbol,
    cache,
    count
};
constexpr auto kParams = rt::params<Query>({
    {"symbol", "str", rt::Check::ExactStrOrNone, rt::Default::None},
    {"exchange", "str", rt::Check::ExactStrOrNone, rt::Default::None},
    {"security_type", "str", rt::Check::ExactStrOrNone, rt::Default::None},
    {"contract_type", "str", rt::Check::ExactStrOrNone, rt::Default::None},
    {"expiry_date", "str", rt::Check::ExactStrOrNone, rt::Default::None},
    {"externalSymbol", "str", rt::Check::ExactStrOrNone, rt::Default::None},
    {"cache", nullptr, rt::Check::Any, rt::Default::True},
});

// The query parameters in the order the address lists them; values are written verbatim.
struct QueryParam {
    const rt::Name& label;
    Query arg;
    bool omit_unspecified;  // "UNSPECIFIED" is left out of the address (it still filters the records)
};
const QueryParam kQueryParams[] = {
    {t_externalSymbol_is, Query::externalSymbol, false},
    {t_symbol_is, Query::symbol, false},
    {t_exchange_is, Query::exchange, false},
    {t_security_type_is, Query::security_type, false},
    {t_contract_type_is, Query::contract_type, true},
    {t_expiry_date_is, Query::expiry_date, true},
};

// `Inibridge().config["data_related"][key]`, a fresh loader call each time; the section is handed out
// when `section_out` is given. A missing section or key is a KeyError, with a note on what to write where
// when `noted`.
rt::Ref configured(PyObject* key, rt::Ref* section_out = nullptr, bool noted = false) {
    rt::Ref loader_factory = rt::global(n_Inibridge);
    rt::Ref loader = rt::call(loader_factory.get());
    rt::Ref config = rt::attr(loader.get(), n_config);
    if (!noted) {
        rt::Ref section = rt::item(config.get(), n_data_related);
        rt::Ref value = rt::item(section.get(), key);
        if (section_out != nullptr) *section_out = std::move(section);
        return value;
    }
    rt::Ref section = rt::noting_if(
        PyExc_KeyError, [] { return missing_section_note(); }, [&] { return rt::item(config.get(), n_data_related); });
    rt::Ref value = rt::noting_if(
        PyExc_KeyError, [&] { return missing_key_note(key); }, [&] { return rt::item(section.get(), key); });
    if (section_out != nullptr) *section_out = std::move(section);
    return value;
}

// The configured cache directory, created if missing. A failure is only reported: without a directory
// the call fails later, when the cache path is needed. Null when the directory was never read.
rt::Ref prepare_cache_dir() {
    rt::Ref cache_dir;
    try {
        cache_dir = configured(n_LOCAL_DATA_CACHE_DIR);
        rt::Ref os = rt::global(n_os);
        rt::Ref makedirs = rt::attr(os.get(), n_makedirs);
        (void)rt::call(makedirs.get(), cache_dir.get(), rt::kw<"exist_ok">(Py_True));
    } catch (const rt::PyError&) {
        rt::HandledError error(PyExc_Exception);
        rt::Ref print = rt::global(n_print);
        (void)rt::call(print.get(), t_mkdir_error.get(), error.value());
    }
    return cache_dir;
}

bool is_given(PyObject* value) { return value != Py_None && PyUnicode_GET_LENGTH(value) != 0; }

bool is_unspecified(PyObject* value) { return PyUnicode_CompareWithASCIIString(value, "UNSPECIFIED") == 0; }

// The configured base address as an exact str; anything that is not text fails as `base + "?"` would.
rt::Ref base_address_text(PyObject* base) {
    if (PyUnicode_CheckExact(base)) return rt::Ref::borrow(base);
    if (PyUnicode_Check(base)) return rt::Ref::steal(PyUnicode_FromObject(base));
    (void)rt::Ref::steal(PyNumber_Add(base, t_question_mark));
    rt::raise_format(PyExc_TypeError, "InstrumentInfoUrl must be a str, not %.200s", Py_TYPE(base)->tp_name);
}

// Base, then "?" and the given parameters as name=value joined by "&"; the base alone when none is given.
// `section` receives the configuration section the base came from.
rt::Ref query_address(const rt::Args& args, rt::Ref& section) {
    rt::Ref base = base_address_text(configured(n_InstrumentInfoUrl, &section, true).get());
    PyObject* parts[1 + 3 * std::size(kQueryParams)];
    std::size_t count = 0;
    parts[count++] = base.get();
    for (const QueryParam& param : kQueryParams) {
        PyObject* value = args[param.arg];
        if (!is_given(value) || (param.omit_unspecified && is_unspecified(value))) continue;
        PyObject* separator = count == 1 ? t_question_mark.get() : t_ampersand.get();
        parts[count++] = separator;
        parts[count++] = param.label.get();
        parts[count++] = value;
    }
    if (count == 1) return base;
    return rt::join_texts(std::span(parts, count));
}

// Cache directory joined with the SHA-256 hex digest of the address and ".json".
rt::Ref cache_path_for(PyObject* address, const rt::Ref& cache_dir) {
    rt::Ref hashlib = rt::global(n_hashlib);
    rt::Ref sha256 = rt::attr(hashlib.get(), n_sha256);
    rt::Ref encoded = rt::Ref::steal(PyUnicode_AsUTF8String(address));
    rt::Ref digest = rt::call(sha256.get(), encoded.get());
    rt::Ref hex = rt::call_method(digest.get(), n_hexdigest);
    rt::Ref file_name = rt::Ref::steal(PyNumber_Add(hex.get(), t_json_suffix));
    rt::Ref os = rt::global(n_os);
    rt::Ref os_path = rt::attr(os.get(), n_path);
    rt::Ref join = rt::attr(os_path.get(), n_join);
    if (!cache_dir) {
        // The directory setting could not be read; reported the way the interpreter words an unset local.
        rt::Ref message =
            rt::Ref::steal(PyUnicode_FromString("local variable 'cache_dir' referenced before assignment"));
        rt::raise_noted(PyExc_UnboundLocalError, message.get(), [] { return unset_cache_dir_note(); });
    }
    return rt::call(join.get(), cache_dir.get(), file_name.get());
}

// The file-system form of a path object, for the system calls below.
std::string fs_path(PyObject* path) {
    PyObject* encoded = nullptr;
    if (!PyUnicode_FSConverter(path, &encoded)) rt::raise_pending();
    rt::Ref owned = rt::Ref::steal(encoded);
    return std::string(PyBytes_AS_STRING(encoded), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded)));
}

const char* file_kind(mode_t mode) {
    if (S_ISFIFO(mode)) return "FIFO";
    if (S_ISSOCK(mode)) return "socket";
    if (S_ISCHR(mode)) return "character device";
    if (S_ISBLK(mode)) return "block device";
    return "special file";
}

// A cache entry is a regular file; anything else there is refused before it is opened, since opening a
// FIFO blocks until a writer comes (for ever, as a rule) and a device may be read without end. A directory
// fails as opening it would. A path that cannot be examined is left to the open, which tells why.
void require_regular_file(PyObject* cache_path) {
    struct stat status;
    if (::stat(fs_path(cache_path).c_str(), &status) != 0 || S_ISREG(status.st_mode)) return;
    if (S_ISDIR(status.st_mode)) {
        errno = EISDIR;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, cache_path);
        rt::raise_pending();
    }
    rt::raise_format(PyExc_OSError, "%R is a %s, not a regular file", cache_path, file_kind(status.st_mode));
}

// Inside `catch`: tells the user which hash-named file holds an unreadable entry. The exception itself
// (type, message, traceback) propagates unchanged; interrupts are not annotated.
[[noreturn]] void rethrow_naming_cache_file(PyObject* cache_path) {
    rt::HandledError error(PyExc_Exception);
    rt::Ref note = rt::Ref::steal(PyUnicode_FromFormat(
        "while reading the instrument-information cache file %S; delete that file to fetch the entry again",
        cache_path));
    rt::add_note(error.value(), note.get());
    error.reraise();
}

// The stored answer, or null when the file is absent (also when another process deleted it between the
// existence test and the open) or its `with` block swallowed a read failure.
rt::Ref read_cache_file(PyObject* cache_path) {
    rt::Ref os = rt::global(n_os);
    rt::Ref os_path = rt::attr(os.get(), n_path);
    rt::Ref exists = rt::attr(os_path.get(), n_exists);
    rt::Ref found = rt::call(exists.get(), cache_path);
    if (!rt::truth(found.get())) return rt::Ref();
    rt::Ref open = rt::global(n_open);
    rt::Ref file;
    try {
        require_regular_file(cache_path);
        const bool opened =
            rt::suppress(PyExc_FileNotFoundError, [&] { file = rt::call(open.get(), cache_path, t_read_mode.get()); });
        if (!opened) return rt::Ref();
    } catch (const rt::PyError&) {
        rethrow_naming_cache_file(cache_path);
    }
    rt::Ref stored;
    try {
        const bool completed = rt::with_block(file.get(), [&](PyObject* opened) {
            rt::Ref json = rt::global(n_json);
            rt::Ref load = rt::attr(json.get(), n_load);
            stored = rt::call(load.get(), opened);
        });
        return completed ? stored : rt::Ref();
    } catch (const rt::PyError&) {
        rethrow_naming_cache_file(cache_path);
    }
}

void log_failed_request(PyObject* address, PyObject* error) {
    rt::Ref logging = rt::global(n_logging);
    rt::Ref log_error = rt::attr(logging.get(), n_error);
    rt::Ref error_text = rt::Ref::steal(PyObject_Str(error));
    rt::Ref message = rt::join_texts({t_request_api.get(), address, t_raises_exception.get(), error_text.get()});
    (void)rt::call(log_error.get(), message.get());
}

// Temporary files are named `<cache file name>.<pid>-<16 hex digits>.tmp`. The digits come from the
// operating system for each file, so a forked child never repeats its parent's names.
rt::Ref temporary_sibling(PyObject* cache_path) {
    unsigned long long random_bits = 0;
    if (getrandom(&random_bits, sizeof random_bits, 0) != sizeof random_bits) {
        PyErr_SetFromErrno(PyExc_OSError);
        rt::raise_pending();
    }
    char suffix[64];
    std::snprintf(suffix, sizeof suffix, ".%ld-%016llx.tmp", static_cast<long>(getpid()), random_bits);
    rt::Ref suffix_text = rt::Ref::steal(PyUnicode_FromString(suffix));
    return rt::Ref::steal(PyNumber_Add(cache_path, suffix_text.get()));
}

// Best effort, touching nothing of the interpreter: removes temporary files of this cache entry left by
// writers that died mid-write, recognised by a writer process that no longer exists and an age beyond
// any write. Younger files and files of live processes may belong to a write in progress.
void remove_abandoned_temporaries(const std::string& cache_file) {
    constexpr std::time_t kAbandonedAfter = 60 * 60;
    const std::size_t slash = cache_file.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : cache_file.substr(0, slash + 1);
    const std::string prefix = (slash == std::string::npos ? cache_file : cache_file.substr(slash + 1)) + ".";
    DIR* listing = ::opendir(directory.c_str());
    if (listing == nullptr) return;
    const std::time_t now = std::time(nullptr);
    while (const dirent* entry = ::readdir(listing)) {
        const std::string_view name = entry->d_name;
        if (!name.starts_with(prefix) || !name.ends_with(".tmp")) continue;
        const std::string rest(name.substr(prefix.size()));  // "<pid>-<hex>.tmp"
        char* end = nullptr;
        const long pid = std::strtol(rest.c_str(), &end, 10);
        if (pid <= 0 || *end != '-') continue;
        const std::string path = directory + std::string(name);
        struct stat status;
        if (::lstat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) continue;
        if (now - status.st_mtime < kAbandonedAfter) continue;
        if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
        ::unlink(path.c_str());
    }
    ::closedir(listing);
}

// Best effort: the pending error, which explains the failed write, stays the one reported.
void remove_quietly(PyObject* path) {
    rt::best_effort([&] { ::unlink(fs_path(path).c_str()); });
}

// `os.fsync` of the directory holding the cache file, so that the rename itself survives a power loss.
void sync_directory_of(PyObject* os, PyObject* cache_path) {
    rt::Ref os_path = rt::attr(os, n_path);
    rt::Ref dirname = rt::attr(os_path.get(), n_dirname);
    rt::Ref directory = rt::call(dirname.get(), cache_path);
    if (!rt::truth(directory.get())) directory = rt::Ref::borrow(t_dot.get());
    rt::Ref os_open = rt::attr(os, n_open);
    rt::Ref flags = rt::Ref::steal(PyLong_FromLong(O_RDONLY | O_DIRECTORY));
    rt::Ref descriptor = rt::call(os_open.get(), directory.get(), flags.get());
    rt::Ref close = rt::attr(os, n_close);
    try {
        rt::Ref fsync = rt::attr(os, n_fsync);
        (void)rt::call(fsync.get(), descriptor.get());
    } catch (const rt::PyError&) {
        rt::HandledError error(PyExc_BaseException);  // `finally: os.close(descriptor)`
        (void)rt::call(close.get(), descriptor.get());
        error.reraise();
    }
    (void)rt::call(close.get(), descriptor.get());
}

// Writes `value` with `json.dump` into a fresh file beside the cache file, forces it to disk and renames
// it over the cache file, so that no reader, in this process or another, ever meets a half-written cache
// entry, and a crash or power loss leaves either the previous entry (or none) or the whole new one.
void write_cache_file(PyObject* cache_path, PyObject* value) {
    remove_abandoned_temporaries(fs_path(cache_path));
    rt::Ref temporary = temporary_sibling(cache_path);
    rt::Ref open = rt::global(n_open);
    rt::Ref file = rt::call(open.get(), temporary.get(), t_create_mode.get());
    try {
        rt::Ref os = rt::global(n_os);
        const bool completed = rt::with_block(file.get(), [&](PyObject* opened) {
            rt::Ref json = rt::global(n_json);
            rt::Ref dump = rt::attr(json.get(), n_dump);
            (void)rt::call(dump.get(), value, opened);
            (void)rt::call_method(opened, n_flush);
            rt::Ref descriptor = rt::call_method(opened, n_fileno);
            rt::Ref fsync = rt::attr(os.get(), n_fsync);
            (void)rt::call(fsync.get(), descriptor.get());
        });
        if (!completed) {
            // The file's own manager swallowed a failed write: the content may be incomplete, so it is not
            // published, and the records are answered without a cache entry.
            remove_quietly(temporary.get());
            return;
        }
        rt::Ref replace = rt::attr(os.get(), n_replace);
        (void)rt::call(replace.get(), temporary.get(), cache_path);
        sync_directory_of(os.get(), cache_path);
    } catch (const rt::PyError&) {
        remove_quietly(temporary.get());
        throw;
    }
}

// A failed cache write costs only the cache entry: it is logged as a failed request is, and the records
// just fetched are still the answer (asking the service again would meet the same disk).
void store_answer(PyObject* address, PyObject* cache_path, PyObject* value) {
    try {
        write_cache_file(cache_path, value);
    } catch (const rt::PyError&) {
        rt::HandledError error(PyExc_Exception);
        log_failed_request(address, error.value());
    }
}

bool is_empty_list(PyObject* value) { return PyList_CheckExact(value) && PyList_GET_SIZE(value) == 0; }

rt::Ref one_element_list(PyObject* value) { return rt::list_of({value}); }

// Whether `urlopen` is the standard library's own function, which the time limit stands in for. Anything
// else there (a test's fake, a user's wrapper) is called as `urlopen(address)` with or without a limit, so
// replacing it works whatever the configuration says.
bool is_standard_urlopen(PyObject* request_module, PyObject* urlopen) {
    if (!PyFunction_Check(urlopen)) return false;
    rt::Ref owned_file = rt::optional_attr(request_module, d_file);
    if (!owned_file) return false;
    PyObject* module_file = owned_file.get();
    auto* code = reinterpret_cast<PyCodeObject*>(PyFunction_GET_CODE(urlopen));
    // Both comparisons are of str with str, which cannot fail.
    return PyUnicode_Check(module_file) && PyUnicode_Compare(code->co_name, n_urlopen) == 0 &&
           PyUnicode_Compare(code->co_filename, module_file) == 0;
}

// The body of a status-200 answer, or null when the service answered another 2xx status (reported on
// standard output). With a time limit, the whole exchange is bounded by it; without one, the address is
// opened with `urllib.request.urlopen(address)` and nothing else.
rt::Ref request_body(PyObject* address, PyObject* time_limit, rt::Ref& response, LookupReport& report) {
    std::optional<RequestTimeLimit> limit;
    try {
        rt::Ref urllib = rt::global(n_urllib);
        rt::Ref request = rt::attr(urllib.get(), n_request);
        rt::Ref urlopen = rt::attr(request.get(), n_urlopen);
        if (time_limit != nullptr && is_standard_urlopen(request.get(), urlopen.get())) {
            limit.emplace(time_limit);
            response = limit->open(address);
        } else {
            response = rt::call(urlopen.get(), address);
        }
        rt::Ref status = rt::call_method(response.get(), n_getcode);
        rt::Ref ok_status = rt::Ref::steal(PyLong_FromLong(200));
        rt::Ref differs = rt::Ref::steal(PyObject_RichCompare(status.get(), ok_status.get(), Py_NE));
        if (rt::truth(differs.get())) {
            rt::Ref print = rt::global(n_print);
            rt::Ref status_again = rt::call_method(response.get(), n_getcode);
            rt::Ref status_text = rt::text_of(status_again.get());
            rt::Ref line =
                rt::join_texts({t_request_api.get(), address, t_failed_with_status.get(), status_text.get()});
            (void)rt::call(print.get(), line.get());
            report.attempt_refused_status(status_again.get());
            if (limit) limit->finish();
            return rt::Ref();
        }
        rt::Ref body = rt::call_method(response.get(), n_read);
        if (limit) {
            limit->check();
            limit->finish();
        }
        return body;
    } catch (const rt::PyError&) {
        if (limit) limit->rethrow();
        throw;
    }
}

// One request. Null when the service answered another 2xx status (reported on standard output); the
// records otherwise. Every failure, including a record set without the requested expiry date, raises.
rt::Ref fetch_once(const rt::Args& args, PyObject* address, PyObject* cache_path, PyObject* time_limit,
                   rt::Ref& response, LookupReport& report) {
    rt::Ref body = request_body(address, time_limit, response, report);
    if (!body) return rt::Ref();
    rt::Ref json = rt::global(n_json);
    rt::Ref loads = rt::attr(json.get(), n_loads);
    rt::Ref document = rt::call(loads.get(), body.get());
    rt::Ref instruments = rt::item(document.get(), n_instruments);
    rt::Ref first_index = rt::Ref::steal(PyLong_FromLong(0));
    rt::Ref first = rt::item(instruments.get(), first_index.get());
    rt::Ref configs = rt::item(first.get(), n_symbol_infos);

    PyObject* expiry_date = args[Query::expiry_date];
    if (!is_given(expiry_date)) {
        if (rt::truth(args[Query::cache])) store_answer(address, cache_path, configs.get());
        if (is_empty_list(configs.get())) report.publish_fetched(configs.get());
        return configs;
    }
    rt::Ref records = rt::Ref::steal(PyObject_GetIter(configs.get()));
    while (rt::Ref record = rt::Ref::steal_or_null(PyIter_Next(records.get()))) {
        rt::Ref record_expiry = rt::item(record.get(), n_expiry_date);
        rt::Ref equal = rt::Ref::steal(PyObject_RichCompare(record_expiry.get(), expiry_date, Py_EQ));
        if (!rt::truth(equal.get())) continue;
        if (rt::truth(args[Query::cache])) {
            rt::Ref stored = one_element_list(record.get());
            store_answer(address, cache_path, stored.get());
        }
        return one_element_list(record.get());
    }
    if (PyErr_Occurred()) rt::raise_pending();
    rt::raise_format(PyExc_Exception, "expiry date %S not found for symbol=%S exchange=%S ", expiry_date,
                     args[Query::symbol], args[Query::exchange]);
}

// Up to `CryptoFuture.RETRY_TIMES` requests back to back, the count read anew before each one so that a
// change on the class takes effect at once. An empty list when none succeeded (then `answered` is false).
rt::Ref fetch_with_retries(const rt::Args& args, PyObject* address, PyObject* cache_path, PyObject* section,
                           LookupReport& report, bool& answered) {
    answered = false;
    rt::Ref time_limit = request_time_limit_setting(section);  // a bad setting fails before any request
    rt::Ref response;  // released when the next attempt rebinds it, as a local variable would be
    for (long attempts = 0;; ++attempts) {
        rt::Ref crypto_future = rt::global(n_CryptoFuture);
        rt::Ref retry_times = rt::attr(crypto_future.get(), n_RETRY_TIMES);
        rt::Ref attempts_made = rt::Ref::steal(PyLong_FromLong(attempts));
        rt::Ref more = rt::Ref::steal(PyObject_RichCompare(attempts_made.get(), retry_times.get(), Py_LT));
        if (!rt::truth(more.get())) break;
        PyObject* earlier_response = response.get();
        try {
            rt::Ref records = fetch_once(args, address, cache_path, time_limit.get(), response, report);
            if (records) {
                answered = true;
                return records;
            }
        } catch (const rt::PyError&) {
            rt::HandledError error(PyExc_Exception);
            log_failed_request(address, error.value());
            report.attempt_failed(error.value(), response.get() != earlier_response);
        }
    }
    rt::Ref none_found = rt::Ref::steal(PyList_New(0));
    report.publish_given_up(none_found.get());
    return none_found;
}

rt::Ref get_instrument_info(rt::Args& args) {
    require_sendable_query_values(args, kParams);
    rt::Ref cache_dir = prepare_cache_dir();
    rt::Ref section;
    rt::Ref address = query_address(args, section);
    rt::Ref cache_path = cache_path_for(address.get(), cache_dir);
    const std::optional<CacheMaxAge> max_age = cache_max_age_setting(section.get());  // checked before anything
    LookupReport report(address.get());
    bool answered = false;
    if (!rt::truth(args[Query::cache])) {
        return fetch_with_retries(args, address.get(), cache_path.get(), section.get(), report, answered);
    }
    if (max_age) {
        // An entry past its age is fetched again and replaced when an attempt succeeds; when none does, the
        // stored records are still the answer, with a warning.
        const std::optional<double> age = cache_file_age(cache_path.get());
        if (age && *age > max_age->seconds) {
            rt::Ref fetched =
                fetch_with_retries(args, address.get(), cache_path.get(), section.get(), report, answered);
            if (answered) return fetched;
            rt::Ref stored = read_cache_file(cache_path.get());
            if (!stored) return fetched;  // removed meanwhile: nothing else to answer with
            warn_stale_answer(address.get(), cache_path.get(), *age, *max_age);
            report.publish_cached(stored.get(), cache_path.get());
            return stored;
        }
    }
    if (rt::Ref stored = read_cache_file(cache_path.get())) {
        report.publish_cached(stored.get(), cache_path.get());
        return stored;
    }
    return fetch_with_retries(args, address.get(), cache_path.get(), section.get(), report, answered);
}

constexpr const char kDoc[] =
    "\n        TODO:\n"
    "            All other arguments but symbol should be optional. throw if instruments cannot be uniquely "
    "identified with symbol\n"
    "            alone.\n"
    "        ";

}  // namespace

const rt::FunctionSpec kCryptoFutureGetInstrumentInfo{"get_instrument_info", kParams, get_instrument_info, nullptr,
                                                      kDoc};

}  // namespace futures
