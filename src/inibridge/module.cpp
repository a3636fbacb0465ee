// The package's configuration loader: one `configparser.ConfigParser` for the whole process, filled from
// `norvane.ini` in the project root and from any files layered on top of it.
#include "names.hpp"
#include "runtime/runtime.hpp"

namespace inibridge {

namespace {

constexpr const char* kMissingFile = "config file not exist, which path should be ";

// Told with the missing default file: where the loader looked, and how to point it elsewhere.
constexpr const char* kProjectRootNote =
    "Inibridge() reads norvane.ini from the project root: the directory pinned with "
    "norvane.kestrum_utils.utils.set_project_root(path), else the nearest directory at or above the working "
    "directory that holds a norvane.ini, else the working directory itself. Start Python inside the project, "
    "create the file there (python -m norvane.devtools.init DIR writes a commented one to start from), or call "
    "set_project_root('/path/to/project') before the first Inibridge().";

// Told when a layer is given as something without `exists`, most often a plain string.
rt::Ref path_expected_note(PyObject* config_path) {
    if (PyUnicode_Check(config_path)) {
        return rt::Ref::steal(PyUnicode_FromFormat(
            "set_config_file takes a pathlib.Path, not a str: Inibridge().set_config_file(Path(%R)), with "
            "Path from pathlib.",
            config_path));
    }
    return rt::Ref::steal(PyUnicode_FromFormat(
        "set_config_file takes a pathlib.Path, not %.200s: Inibridge().set_config_file(Path(\"extra.ini\")), "
        "with Path from pathlib.",
        Py_TYPE(config_path)->tp_name));
}

// Raises the loader's own complaint about a configuration file that is not there.
void require_existing(PyObject* config_path) {
    // The method is looked up apart from its call, so that only its absence gets the note.
    rt::Ref exists_method = rt::noting_if(
        PyExc_AttributeError, [&] { return path_expected_note(config_path); },
        [&] { return rt::attr(config_path, n_exists); });
    rt::Ref exists = rt::call(exists_method.get());
    if (rt::truth(exists.get())) return;
    rt::Ref path_text = rt::Ref::steal(PyObject_Str(config_path));
    rt::raise_format(PyExc_Exception, "%s%U", kMissingFile, path_text.get());
}

#if PY_VERSION_HEX < 0x030D0000
// The parser keeps each value as a list of its lines until the file is read to the end; a read that
// stops early (a repeated section or option, undecodable bytes) leaves those lists behind, and every later
// lookup of them fails. Its own closing pass, run here as a complete read runs it, makes them texts again.
// Best effort: the read's error stays the one reported.
void join_values_left_as_lines(PyObject* parser) {
    rt::best_effort([&] {
        rt::Ref join = rt::attr(parser, a_join_multiline_values);
        (void)rt::call(join.get());
    });
}
#endif

void read_into_parser(PyObject* self, PyObject* config_path) {
    rt::Ref parser = rt::attr(self, a_raw_config_parser);
    try {
        (void)rt::call_method(parser.get(), n_read, config_path);
    } catch (const rt::PyError&) {
#if PY_VERSION_HEX < 0x030D0000
        // From CPython 3.13 on the parser runs that pass itself when a read fails; a second run would
        // only repeat what the first raised.
        join_values_left_as_lines(parser.get());
#endif
        throw;
    }
}

enum class SetConfigFile : std::size_t { self, config_path, count };
constexpr auto kSetConfigFileParams = rt::params<SetConfigFile>({{"self"}, {"config_path", "Path"}});

rt::Ref init(rt::Args& args) {
    PyObject* self = args[rt::Self::self];
    rt::Ref configparser = rt::global(n_configparser);
    rt::Ref parser_class = rt::attr(configparser.get(), n_ConfigParser);
    rt::Ref parser = rt::call(parser_class.get());
    rt::set_attr(self, a_raw_config_parser, parser.get());

    rt::Ref path_class = rt::global(n_Path);
    rt::Ref joinpath = rt::attr(path_class.get(), n_joinpath);
    rt::Ref root = rt::call(rt::global(n_get_project_root).get());
    rt::Ref file_name = rt::Ref::steal(PyUnicode_FromString("norvane.ini"));
    rt::Ref config_path = rt::call(joinpath.get(), root.get(), file_name.get());

    rt::noting([] { return rt::Ref::steal(PyUnicode_FromString(kProjectRootNote)); },
               [&] { require_existing(config_path.get()); });
    read_into_parser(self, config_path.get());
    return rt::none();
}

rt::Ref set_config_file(rt::Args& args) {
    require_existing(args[SetConfigFile::config_path]);
    read_into_parser(args[SetConfigFile::self], args[SetConfigFile::config_path]);
    return rt::none();
}

rt::Ref config(rt::Args& args) { return rt::attr(args[rt::Self::self], a_raw_config_parser); }

const rt::FunctionSpec kInit{"__init__", rt::kSelfParams, init};
const rt::FunctionSpec kSetConfigFile{"set_config_file", kSetConfigFileParams, set_config_file};
const rt::FunctionSpec kConfig{"config", rt::kSelfParams, config, nullptr, nullptr, "configparser.ConfigParser"};

const rt::Member kInibridgeMembers[] = {
    {rt::MemberKind::Method, kInit},
    {rt::MemberKind::Method, kSetConfigFile},
    {rt::MemberKind::Property, kConfig},
};

const rt::ClassSpec kInibridge{"Inibridge", nullptr, kInibridgeMembers};

void module_body(PyObject* module) {
    rt::import_module(module, "configparser", nullptr);
    rt::import_from(module, "pathlib", "Path");
    rt::import_from(module, "norvane.kestrum_utils.utils", "get_project_root");
    rt::Ref singleton = rt::import_from(module, "norvane.kestrum_utils.utils", "singleton");
    rt::Ref cls = rt::create_class(kInibridge, reinterpret_cast<PyObject*>(&PyBaseObject_Type));
    rt::Ref loader = rt::call(singleton.get(), cls.get());
    rt::require(PyModule_AddObjectRef(module, "Inibridge", loader.get()));
}

const rt::ModuleSpec kModule{"inibridge", "norvane.kestrum_utils.inibridge.inibridge", nullptr, module_body};

}  // namespace

}  // namespace inibridge

RT_MODULE_ENTRY(inibridge, inibridge::kModule)
