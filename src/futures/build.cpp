// The build hook of every crypto future: the reference data that construction leaves out (price tick,
// contract size, minimum quantity) is looked up and stored on the instrument.
#include "futures.hpp"
#include "lookup_report.hpp"

namespace futures {

namespace {

rt::Name n_underl{"_underl"};
rt::Name n_is_built{"_is_built"};
rt::Name n_build{"build"};
rt::Name n_symbol{"_symbol"};
rt::Name n_exchange{"_exchange"};
rt::Name n_instrument_type{"_instrument_type"};
rt::Name n_contract_type{"_contract_type"};
rt::Name n_expiry_date{"_expiry_date"};
rt::Name n_CryptoFuture{"CryptoFuture"};
rt::Name n_get_instrument_info{"get_instrument_info"};
rt::Name n_info{"_info"};
rt::Name n_tick_size{"_tick_size"};
rt::Name n_contract_multipl{"_contract_multipl"};
rt::Name n_qty_unit{"_qty_unit"};
rt::Name n_get{"get"};
rt::Name k_price_tick_size{"price_tick_size"};
rt::Name k_contract_size{"contract_size"};
rt::Name k_limit_min_quantity{"limit_min_quantity"};

rt::KeywordNames kw_lookup{"symbol", "exchange", "security_type", "contract_type", "expiry_date"};

// `float(self._info[key])`, the record read back from the instance.
rt::Ref record_number(PyObject* self, PyObject* key) {
    rt::Ref info = rt::attr(self, n_info);
    rt::Ref value = rt::item(info.get(), key);
    return rt::Ref::steal(PyNumber_Float(value.get()));
}

rt::Ref build_hook(rt::Args& args) {
    PyObject* self = args[0];

    rt::Ref underl = rt::attr(self, n_underl);
    rt::Ref is_built = rt::attr(underl.get(), n_is_built);
    if (!rt::truth(is_built.get())) {
        rt::Ref underl_to_build = rt::attr(self, n_underl);
        rt::call_method(underl_to_build.get(), n_build);
    }

    // Looked up on the module-level class, so a subclass cannot put another lookup in its place.
    rt::Ref crypto_future = rt::global(n_CryptoFuture);
    rt::Ref lookup = rt::attr(crypto_future.get(), n_get_instrument_info);
    rt::Ref symbol = rt::attr(self, n_symbol);
    rt::Ref exchange = rt::attr(self, n_exchange);
    rt::Ref security_type = rt::attr(self, n_instrument_type);
    rt::Ref contract_type = rt::attr(self, n_contract_type);
    rt::Ref expiry_date = rt::attr(self, n_expiry_date);
    rt::Ref records = rt::call_kw(lookup.get(), kw_lookup, symbol.get(), exchange.get(), security_type.get(),
                                  contract_type.get(), expiry_date.get());
    rt::Ref first_index = rt::Ref::steal(PyLong_FromLong(0));
    rt::Ref info;
    try {
        info = rt::item(records.get(), first_index.get());
    } catch (const rt::PyError&) {
        // No first record: the bare IndexError gets the lookup's account of what it asked and met.
        if (PyErr_ExceptionMatches(PyExc_IndexError)) {
            rt::note_pending([&] { return empty_lookup_note(self, records.get()); });
        }
        throw;
    }
    rt::set_attr(self, n_info, info.get());

    rt::Ref tick_size = record_number(self, k_price_tick_size);
    rt::set_attr(self, n_tick_size, tick_size.get());

    // Contract sizes below one are never kept; any other size keeps its own number type.
    rt::Ref stored_info = rt::attr(self, n_info);
    rt::Ref one = rt::Ref::steal(PyFloat_FromDouble(1.0));
    rt::Ref contract_size = rt::call_method(stored_info.get(), n_get, k_contract_size.get(), one.get());
    rt::Ref below_one = rt::Ref::steal(PyObject_RichCompare(one.get(), contract_size.get(), Py_GT));
    if (rt::truth(below_one.get())) {
        rt::Ref fresh_one = rt::Ref::steal(PyFloat_FromDouble(1.0));
        rt::set_attr(self, n_contract_multipl, fresh_one.get());
    } else {
        rt::set_attr(self, n_contract_multipl, contract_size.get());
    }

    rt::Ref qty_unit = record_number(self, k_limit_min_quantity);
    rt::set_attr(self, n_qty_unit, qty_unit.get());

    rt::Ref stored_qty_unit = rt::attr(self, n_qty_unit);
    rt::Ref zero = rt::Ref::steal(PyLong_FromLong(0));
    rt::Ref is_zero = rt::Ref::steal(PyObject_RichCompare(stored_qty_unit.get(), zero.get(), Py_EQ));
    if (rt::truth(is_zero.get())) {
        rt::Ref info_now = rt::attr(self, n_info);
        rt::Ref info_text = rt::text_of(info_now.get());
        rt::Ref message = rt::Ref::steal(PyUnicode_FromFormat(
            "got qty_unit == 0 when building instrument fron QLM, the instrument info is: \n %U", info_text.get()));
        PyErr_SetObject(PyExc_ValueError, message.get());
        rt::raise_pending();
    }
    return rt::none();
}

constexpr rt::Param kSelf[] = {{"self"}};

constexpr const char kDoc[] =
    "\n        We only build the instrument when we want to access it information which is not contained in "
    "instrument in.\n        ";

}  // namespace

const rt::FunctionSpec kCryptoFutureBuildHook{"_build", kSelf, build_hook, nullptr, kDoc};

}  // namespace futures
