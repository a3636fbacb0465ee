// What a lookup tells a user whose configuration lacks what it reads: the file `Inibridge()` reads, what
// is missing there and what to write. The errors themselves (KeyError, UnboundLocalError) keep their
// types and messages; these are their notes.
#include "futures.hpp"
#include "names.hpp"

namespace futures {

namespace {

// "<project root>/norvane.ini", as the loader joins it, and whether a directory stands there (which the
// loader takes for the file and reads nothing from).
struct ConfigurationFile {
    rt::Ref path;
    bool is_directory;
};

ConfigurationFile configuration_file() {
    rt::Ref utils = rt::Ref::steal(PyImport_ImportModule("norvane.kestrum_utils.utils"));
    rt::Ref get_project_root = rt::attr(utils.get(), n_get_project_root);
    rt::Ref root = rt::call(get_project_root.get());
    rt::Ref path = rt::call_method(root.get(), n_joinpath, t_norvane_ini.get());
    rt::Ref is_dir = rt::call_method(path.get(), n_is_dir);
    return {rt::Ref::steal(PyObject_Str(path.get())), rt::truth(is_dir.get())};
}

constexpr const char* kSettings =
    "InstrumentInfoUrl (the reference-data service's address) and LOCAL_DATA_CACHE_DIR (the directory of the "
    "instrument-information cache)";

}  // namespace

rt::Ref missing_section_note() {
    const ConfigurationFile file = configuration_file();
    if (file.is_directory) {
        return rt::Ref::steal(PyUnicode_FromFormat(
            "Inibridge() read its configuration from %U, which is a directory: nothing was read, so the "
            "configuration is empty. Put an INI file there instead, with a section [data_related] holding %s.",
            file.path.get(), kSettings));
    }
    return rt::Ref::steal(PyUnicode_FromFormat(
        "The reference-data lookup reads the section [data_related] of the configuration that Inibridge() "
        "read from %U; it has no such section (section names are case-sensitive). Write one there with %s.",
        file.path.get(), kSettings));
}

rt::Ref missing_key_note(PyObject* key) {
    rt::Ref file = configuration_file().path;
    const char* meaning = PyUnicode_CompareWithASCIIString(key, "InstrumentInfoUrl") == 0
                              ? "the reference-data service's address, e.g. http://127.0.0.1:8765/instruments "
                                "for the development service (python -m norvane.devtools.refdata_service)"
                              : "the directory of the instrument-information cache";
    return rt::Ref::steal(PyUnicode_FromFormat(
        "The section [data_related] of the configuration that Inibridge() read from %U has no %U; add "
        "%U = <%s> there.",
        file.get(), key, key, meaning));
}

rt::Ref unset_cache_dir_note() {
    rt::Ref file = configuration_file().path;
    return rt::Ref::steal(PyUnicode_FromFormat(
        "cache_dir is the setting LOCAL_DATA_CACHE_DIR of the section [data_related] of the configuration that "
        "Inibridge() read from %U, and it could not be read (the line \"future get_instrument_info mkdir "
        "error: ...\" printed above tells why). Set LOCAL_DATA_CACHE_DIR = <the directory of the "
        "instrument-information cache> there.",
        file.get()));
}

}  // namespace futures
