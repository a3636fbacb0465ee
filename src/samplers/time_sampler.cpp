// TimeSampler: the sampler protocol. A sampler holds its window, is called with a table and hands the
// table to `sample` by the keyword `df`, which concrete samplers override.
#include "samplers.hpp"

namespace samplers {

namespace {

rt::Name n_window{"window"};
rt::Name n_class{"__class__"};
rt::Name n_sample{"sample"};
rt::Name n_underscore{"_"};

rt::KeywordNames kw_df{"df"};

rt::Ref init(rt::Args& args) {
    rt::set_attr(args[0], n_window, args[1]);
    return rt::none();
}

rt::Ref repr(rt::Args& args) {
    PyObject* self = args[0];
    rt::Ref cls = rt::attr(self, n_class);
    rt::Ref class_text = rt::text_of(cls.get());
    rt::Ref window = rt::attr(self, n_window);
    rt::Ref window_text = rt::text_of(window.get());
    return rt::join_texts({class_text.get(), n_underscore, window_text.get()});
}

rt::Ref sample(rt::Args&) {
    PyErr_SetNone(PyExc_NotImplementedError);
    rt::raise_pending();
}

rt::Ref call(rt::Args& args) {
    rt::Ref sample_method = rt::attr(args[0], n_sample);
    return rt::call_kw(sample_method.get(), kw_df, args[1]);
}

constexpr rt::Param kSelf[] = {{"self"}};
constexpr rt::Param kInitParams[] = {{"self"}, {"window", "pd.Timedelta"}};
constexpr rt::Param kSampleParams[] = {{"self"}, {"df", "pd.DataFrame"}};
constexpr rt::Param kCallParams[] = {{"self"}, {"x_df", "pd.DataFrame"}};

}  // namespace

const rt::FunctionSpec kTimeSamplerInit{"__init__", kInitParams, init};
const rt::FunctionSpec kTimeSamplerRepr{"__repr__", kSelf, repr};
const rt::FunctionSpec kTimeSamplerSample{"sample", kSampleParams, sample};
const rt::FunctionSpec kTimeSamplerCall{"__call__", kCallParams, call};

}  // namespace samplers
