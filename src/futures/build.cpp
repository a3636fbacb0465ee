// The build hook of every crypto future: the reference data that construction leaves out (price tick,
// contract size, minimum quantity) is looked up and stored on the instrument.
#include "futures.hpp"
#include "names.hpp"
#include "lookup_report.hpp"

namespace futures {

namespace {

// `float(self._info[key])`, the record read back from the instance.
rt::Ref record_number(PyObject* self, PyObject* key) {
    rt::Ref info = rt::attr(self, a_info);
    rt::Ref value = rt::item(info.get(), key);
    return rt::Ref::steal(PyNumber_Float(value.get()));
}

// Steps after the lookup: the first record and the three numbers derived from it, each read back from the
// instance when it is next needed.
void store_record(PyObject* self, PyObject* records, const LookupAccount& account) {
    rt::Ref first_index = rt::Ref::steal(PyLong_FromLong(0));
    // No first record: the bare IndexError gets the lookup's account of what it asked and met.
    rt::Ref info = rt::noting_if(
        PyExc_IndexError, [&] { return empty_lookup_note(self, account); },
        [&] { return rt::item(records, first_index.get()); });
    rt::set_attr(self, a_info, info.get());

    rt::Ref tick_size = record_number(self, n_price_tick_size);
    rt::set_attr(self, a_tick_size, tick_size.get());

    // Contract sizes below one are never kept; any other size keeps its own number type.
    rt::Ref stored_info = rt::attr(self, a_info);
    rt::Ref one = rt::Ref::steal(PyFloat_FromDouble(1.0));
    rt::Ref contract_size = rt::call_method(stored_info.get(), n_get, n_contract_size.get(), one.get());
    rt::Ref below_one = rt::Ref::steal(PyObject_RichCompare(one.get(), contract_size.get(), Py_GT));
    if (rt::truth(below_one.get())) {
        rt::Ref fresh_one = rt::Ref::steal(PyFloat_FromDouble(1.0));
        rt::set_attr(self, a_contract_multipl, fresh_one.get());
    } else {
        rt::set_attr(self, a_contract_multipl, contract_size.get());
    }

    rt::Ref qty_unit = record_number(self, n_limit_min_quantity);
    rt::set_attr(self, a_qty_unit, qty_unit.get());

    rt::Ref stored_qty_unit = rt::attr(self, a_qty_unit);
    rt::Ref zero = rt::Ref::steal(PyLong_FromLong(0));
    rt::Ref is_zero = rt::Ref::steal(PyObject_RichCompare(stored_qty_unit.get(), zero.get(), Py_EQ));
    if (rt::truth(is_zero.get())) {
        rt::Ref info_now = rt::attr(self, a_info);
        rt::Ref info_text = rt::text_of(info_now.get());
        rt::raise_format(PyExc_ValueError,
                         "got qty_unit == 0 when building instrument fron QLM, the instrument info is: \n %U",
                         info_text.get());
    }
}

rt::Ref build_hook(rt::Args& args) {
    PyObject* self = args[rt::Self::self];

    rt::Ref underl = rt::attr(self, a_underl);
    rt::Ref is_built = rt::attr(underl.get(), a_is_built);
    if (!rt::truth(is_built.get())) {
        rt::Ref underl_to_build = rt::attr(self, a_underl);
        (void)rt::call_method(underl_to_build.get(), n_build);
    }

    // Looked up on the module-level class, so a subclass cannot put another lookup in its place.
    rt::Ref crypto_future = rt::global(n_CryptoFuture);
    rt::Ref lookup = rt::attr(crypto_future.get(), n_get_instrument_info);
    rt::Ref symbol = rt::attr(self, a_symbol);
    rt::Ref exchange = rt::attr(self, a_exchange);
    rt::Ref security_type = rt::attr(self, a_instrument_type);
    rt::Ref contract_type = rt::attr(self, a_contract_type);
    rt::Ref expiry_date = rt::attr(self, a_expiry_date);
    rt::Ref records = rt::call(lookup.get(), rt::kw<"symbol">(symbol.get()), rt::kw<"exchange">(exchange.get()),
                               rt::kw<"security_type">(security_type.get()),
                               rt::kw<"contract_type">(contract_type.get()), rt::kw<"expiry_date">(expiry_date.get()));
    const LookupAccount account = take_lookup_account(records.get());
    // An answer read from a cache file that the build cannot use (not a non-empty list of records, or a
    // record without the fields it reads) names the file to delete; an empty list has a note of its own.
    const bool empty = PyList_Check(records.get()) && PyList_GET_SIZE(records.get()) == 0;
    if (!account.cache_path || empty) {
        store_record(self, records.get(), account);
    } else {
        rt::noting_if(
            PyExc_Exception, [&] { return cached_records_note(records.get(), account.cache_path.get()); },
            [&] { store_record(self, records.get(), account); });
    }
    return rt::none();
}

constexpr const char kDoc[] =
    "\n        We only build the instrument when we want to access it information which is not contained in "
    "instrument in.\n        ";

}  // namespace

const rt::FunctionSpec kCryptoFutureBuildHook{"_build", rt::kSelfParams, build_hook, nullptr, kDoc};

}  // namespace futures
