// The package's configuration loader: one `configparser.ConfigParser` for the whole process, filled from
// `norvane.ini` in the project root and from any files layered on top of it.
#include "runtime/runtime.hpp"

namespace {

rt::Name n_configparser{"configparser"};
rt::Name n_ConfigParser{"ConfigParser"};
rt::Name n_Path{"Path"};
rt::Name n_joinpath{"joinpath"};
rt::Name n_get_project_root{"get_project_root"};
rt::Name n_exists{"exists"};
rt::Name n_read{"read"};
rt::Name n_raw_config_parser{"_raw_config_parser"};
rt::Name n_join_multiline_values{"_join_multiline_values"};

constexpr const char* kMissingFile = "config file not exist, which path should be ";

// Told with the missing default file: where the loader looked, and how to point it elsewhere.
constexpr const char* kProjectRootNote =
    "Inibridge() reads norvane.ini from the project root: the directory pinned with "
    "norvane.kestrum_utils.utils.set_project_root(path), else the nearest directory at or above the working "
    "directory that holds a norvane.ini, else the working directory itself. Start Python inside the project, "
    "create the file there, or call set_project_root('/path/to/project') before the first Inibridge().";

// Raises the loader's own complaint about a configuration file that is not there.
void require_existing(PyObject* config_path) {
    rt::Ref exists = rt::call_method(config_path, n_exists);
    if (rt::truth(exists.get())) return;
    rt::Ref path_text = rt::Ref::steal(PyObject_Str(config_path));
    rt::Ref message = rt::Ref::steal(PyUnicode_FromFormat("%s%U", kMissingFile, path_text.get()));
    PyErr_SetObject(PyExc_Exception, message.get());
    rt::raise_pending();
}

// The parser keeps each value as a list of its lines until the file is read to the end; a read that
// stops early (a repeated section or option, undecodable bytes) leaves those lists behind, and every later
// lookup of them fails. Its own closing pass, run here as a complete read runs it, makes them texts again.
// Best effort: the read's error stays the one reported.
void join_values_left_as_lines(PyObject* parser) {
    rt::SavedError pending;
    if (rt::Ref join = rt::Ref::steal_or_null(PyObject_GetAttr(parser, n_join_multiline_values))) {
        rt::Ref::steal_or_null(PyObject_CallNoArgs(join.get()));
    }
    PyErr_Clear();
}

void read_into_parser(PyObject* self, PyObject* config_path) {
    rt::Ref parser = rt::attr(self, n_raw_config_parser);
    try {
        rt::call_method(parser.get(), n_read, config_path);
    } catch (const rt::PyError&) {
        join_values_left_as_lines(parser.get());
        throw;
    }
}

rt::Ref init(rt::Args& args) {
    PyObject* self = args[0];
    rt::Ref configparser = rt::global(n_configparser);
    rt::Ref parser_class = rt::attr(configparser.get(), n_ConfigParser);
    rt::Ref parser = rt::call(parser_class.get());
    rt::set_attr(self, n_raw_config_parser, parser.get());

    rt::Ref path_class = rt::global(n_Path);
    rt::Ref joinpath = rt::attr(path_class.get(), n_joinpath);
    rt::Ref root = rt::call(rt::global(n_get_project_root).get());
    rt::Ref file_name = rt::Ref::steal(PyUnicode_FromString("norvane.ini"));
    rt::Ref config_path = rt::call(joinpath.get(), root.get(), file_name.get());

    try {
        require_existing(config_path.get());
    } catch (const rt::PyError&) {
        rt::note_pending([] { return rt::Ref::steal(PyUnicode_FromString(kProjectRootNote)); });
        throw;
    }
    read_into_parser(self, config_path.get());
    return rt::none();
}

rt::Ref set_config_file(rt::Args& args) {
    require_existing(args[1]);
    read_into_parser(args[0], args[1]);
    return rt::none();
}

rt::Ref config(rt::Args& args) { return rt::attr(args[0], n_raw_config_parser); }

constexpr rt::Param kSelf[] = {{"self"}};
constexpr rt::Param kSetConfigFileParams[] = {{"self"}, {"config_path", "Path"}};

const rt::FunctionSpec kInit{"__init__", kSelf, init};
const rt::FunctionSpec kSetConfigFile{"set_config_file", kSetConfigFileParams, set_config_file};
const rt::FunctionSpec kConfig{"config", kSelf, config, nullptr, nullptr, "configparser.ConfigParser"};

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

RT_MODULE_ENTRY(inibridge, kModule)
