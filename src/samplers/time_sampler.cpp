// TimeSampler: the sampler protocol. A sampler holds its window, is called with a table and hands the
// table to `sample` by the keyword `df`, which concrete samplers override.
#include "names.hpp"
#include "samplers.hpp"

namespace samplers {

namespace {

enum class Self : std::size_t { self, count };
constexpr auto kSelfParams = rt::params<Self>({{"self"}});

enum class Init : std::size_t { self, window, count };
constexpr auto kInitParams = rt::params<Init>({{"self"}, {"window", "pd.Timedelta"}});

enum class Sample : std::size_t { self, df, count };
constexpr auto kSampleParams = rt::params<Sample>({{"self"}, {"df", "pd.DataFrame"}});

enum class Call : std::size_t { self, x_df, count };
constexpr auto kCallParams = rt::params<Call>({{"self"}, {"x_df", "pd.DataFrame"}});

rt::Ref init(rt::Args& args) {
    rt::set_attr(args[Init::self], n_window, args[Init::window]);
    return rt::none();
}

rt::Ref repr(rt::Args& args) {
    PyObject* self = args[Self::self];
    rt::Ref cls = rt::attr(self, d_class);
    rt::Ref class_text = rt::text_of(cls.get());
    rt::Ref window = rt::attr(self, n_window);
    rt::Ref window_text = rt::text_of(window.get());
    return rt::join_texts({class_text.get(), t_underscore, window_text.get()});
}

rt::Ref sample(rt::Args&) { rt::raise(PyExc_NotImplementedError); }

rt::Ref call(rt::Args& args) {
    rt::Ref sample_method = rt::attr(args[Call::self], n_sample);
    return rt::call(sample_method.get(), rt::kw<"df">(args[Call::x_df]));
}

}  // namespace

const rt::FunctionSpec kTimeSamplerInit{"__init__", kInitParams, init};
const rt::FunctionSpec kTimeSamplerRepr{"__repr__", kSelfParams, repr};
const rt::FunctionSpec kTimeSamplerSample{"sample", kSampleParams, sample};
const rt::FunctionSpec kTimeSamplerCall{"__call__", kCallParams, call};

}  // namespace samplers
