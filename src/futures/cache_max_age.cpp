// The optional age limit of cache entries. Without `InstrumentInfoMaxAge` an entry answers for ever; with
// it, an entry older than the limit is fetched again, and kept as the answer (with a warning) when no
// attempt succeeds.
#include <sys/stat.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <string>

#include "futures.hpp"
#include "names.hpp"

namespace futures {

namespace {

// Seconds in a duration such as 90s, 15m, 12h, 7d, 2w or 1d12h: numbers each followed by its unit, nothing
// else. Negative when the text is no such duration.
double duration_seconds(std::string_view text) {
    double total = 0;
    std::size_t at = 0;
    if (text.empty()) return -1;
    while (at < text.size()) {
        const std::size_t start = at;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
        if (at == start) return -1;
        if (at < text.size() && text[at] == '.') {
            const std::size_t fraction = ++at;
            while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
            if (at == fraction) return -1;
        }
        if (at == text.size()) return -1;
        // Digits and at most one point: strtod reads them all (a huge number as infinity, refused later).
        const double number = std::strtod(std::string(text.substr(start, at - start)).c_str(), nullptr);
        switch (text[at++]) {
            case 's':
                total += number;
                break;
            case 'm':
                total += number * 60;
                break;
            case 'h':
                total += number * 3600;
                break;
            case 'd':
                total += number * 86400;
                break;
            case 'w':
                total += number * 7 * 86400;
                break;
            default:
                return -1;
        }
    }
    return total;
}

// "45s", "12m5s", "3h", "2d3h": the largest unit and the next one when not zero.
std::string age_text(double seconds) {
    const long long whole = seconds < 0 ? 0 : static_cast<long long>(seconds);
    constexpr std::pair<char, long long> kUnits[] = {{'d', 86400}, {'h', 3600}, {'m', 60}, {'s', 1}};
    for (std::size_t i = 0; i < std::size(kUnits); ++i) {
        const auto [unit, size] = kUnits[i];
        if (whole < size && unit != 's') continue;
        std::string text = std::to_string(whole / size) + unit;
        if (unit != 's') {
            const auto [smaller, smaller_size] = kUnits[i + 1];
            const long long rest = whole % size / smaller_size;
            if (rest != 0) text += std::to_string(rest) + smaller;
        }
        return text;
    }
    return "0s";
}

}  // namespace

std::optional<CacheMaxAge> cache_max_age_setting(PyObject* section) {
    if (!rt::require(PySequence_Contains(section, n_InstrumentInfoMaxAge))) return std::nullopt;
    rt::Ref value = rt::item(section, n_InstrumentInfoMaxAge);
    double seconds = -1;
    // A number of seconds, as InstrumentInfoTimeout is read; else a duration with units.
    rt::Ref not_a_number = rt::Ref::steal(PyTuple_Pack(2, PyExc_ValueError, PyExc_TypeError));
    rt::Ref number;
    (void)rt::suppress(not_a_number.get(), [&] { number = rt::Ref::steal(PyNumber_Float(value.get())); });
    if (number) {
        seconds = PyFloat_AS_DOUBLE(number.get());
    } else if (PyUnicode_Check(value.get())) {
        Py_ssize_t length = 0;
        const char* text = PyUnicode_AsUTF8AndSize(value.get(), &length);
        if (text == nullptr) rt::raise_pending();
        seconds = duration_seconds(std::string_view(text, static_cast<std::size_t>(length)));
    }
    if (!std::isfinite(seconds) || seconds < 0) {
        rt::raise_format(PyExc_ValueError,
                         "InstrumentInfoMaxAge in section data_related must be a duration: seconds, or numbers with "
                         "the units s, m, h, d or w (e.g. 3600, 90m, 12h, 30d, 1d12h), not %R",
                         value.get());
    }
    return CacheMaxAge{seconds, std::move(value)};
}

std::optional<double> cache_file_age(PyObject* cache_path) {
    PyObject* encoded = nullptr;
    if (!PyUnicode_FSConverter(cache_path, &encoded)) rt::raise_pending();
    rt::Ref owned = rt::Ref::steal(encoded);
    struct stat status;
    if (::stat(PyBytes_AS_STRING(encoded), &status) != 0) return std::nullopt;
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    const double modified =
        static_cast<double>(status.st_mtim.tv_sec) + static_cast<double>(status.st_mtim.tv_nsec) * 1e-9;
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9 - modified;
}

void warn_stale_answer(PyObject* address, PyObject* cache_path, double age, const CacheMaxAge& max_age) {
    const std::string age_string = age_text(age);
    rt::Ref message = rt::Ref::steal(PyUnicode_FromFormat(
        "the instrument-information cache file %S is %s old, past InstrumentInfoMaxAge = %S, and fetching %U "
        "again failed; its stored records are used",
        cache_path, age_string.c_str(), max_age.setting.get(), address));
    rt::Ref logging = rt::global(n_logging);
    rt::Ref warning = rt::attr(logging.get(), n_warning);
    (void)rt::call(warning.get(), message.get());
}

}  // namespace futures
