// A time limit on one request of the reference-data lookup as a whole: host-name resolution, connection,
// status line, headers and the entire body. A per-operation socket time-out cannot do this: a server sending a byte
// every so often resets it on every byte. Instead every connection the request opens (redirects included) is
// registered, and when the limit passes a timer thread shuts those connections down, which wakes a
// blocked read at once; the request then fails, and the failure is reported as a time-out.
#include <sys/socket.h>

#include <algorithm>
#include <cmath>
#include <ctime>
#include <tuple>
#include <utility>

#include "futures.hpp"
#include "names.hpp"
#include "runtime/closure.hpp"
#include "runtime/handlers.hpp"

namespace futures {

namespace {

double monotonic_seconds() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

rt::Ref import(const char* name) { return rt::Ref::steal(PyImport_ImportModule(name)); }

// `sock.shutdown(SHUT_RDWR)`; a socket closed meanwhile has nothing left to cut.
void cut(PyObject* sock) {
    rt::Ref how = rt::Ref::steal(PyLong_FromLong(SHUT_RDWR));
    (void)rt::suppress(PyExc_OSError, [&] { (void)rt::call_method(sock, n_shutdown, how.get()); });
}

// The timer's target: cuts every connection the request registered so far.
struct CutAll {
    static constexpr char kName[] = "norvane.time_limit.cut_all";
    rt::Ref sockets;  // list of the request's sockets
    auto objects() { return std::tie(sockets); }

    rt::Ref operator()() {
        rt::Ref snapshot = rt::Ref::steal(PyList_GetSlice(sockets.get(), 0, PY_SSIZE_T_MAX));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(snapshot.get()); ++i) cut(PyList_GET_ITEM(snapshot.get(), i));
        return rt::none();
    }
};

// Runs on a thread of its own: `socket.getaddrinfo(host, port, 0, SOCK_STREAM)`, as the standard
// connection makes it, its result or exception appended to `outcome` as (True, result) or (False, error).
// A resolution that outlives the limit is abandoned to finish there; nothing waits for it.
struct Resolve {
    static constexpr char kName[] = "norvane.time_limit.resolve";
    rt::Ref getaddrinfo;
    rt::Ref host;
    rt::Ref port;
    rt::Ref outcome;  // list
    auto objects() { return std::tie(getaddrinfo, host, port, outcome); }

    rt::Ref operator()() {
        rt::Ref entry;
        try {
            rt::Ref zero = rt::Ref::steal(PyLong_FromLong(0));
            rt::Ref stream = rt::Ref::steal(PyLong_FromLong(SOCK_STREAM));
            rt::Ref infos = rt::call(getaddrinfo.get(), host.get(), port.get(), zero.get(), stream.get());
            entry = rt::Ref::steal(PyTuple_Pack(2, Py_True, infos.get()));
        } catch (const rt::PyError&) {
            rt::HandledError error(PyExc_BaseException);  // handed to the waiting request, not printed
            entry = rt::Ref::steal(PyTuple_Pack(2, Py_False, error.value()));
        }
        rt::require(PyList_Append(outcome.get(), entry.get()));
        return rt::none();
    }
};

// Installed as `connection._create_connection`, which the standard connection calls as
// `socket.create_connection((host, port), timeout, source_address)`. Name resolution blocks in the C
// library, where no socket exists yet for the timer to cut, so it runs on a thread of its own while the
// request waits at most until the limit; then each address found is connected to in turn, as
// `socket.create_connection` does, each attempt bounded by what is left of the limit.
struct CreateConnectionInTime {
    static constexpr char kName[] = "norvane.time_limit.create_connection";
    double deadline;
    auto objects() { return std::tie(); }

    rt::Ref operator()(rt::VectorArgs args) {
        const Py_ssize_t count = PyVectorcall_NARGS(args.nargsf);
        if (count < 1 || args.kwnames != nullptr) {
            rt::raise(PyExc_TypeError, "create_connection() takes (address, timeout, source_address)");
        }
        PyObject* address = args.items[0];
        PyObject* timeout = count > 1 ? args.items[1] : nullptr;
        PyObject* source_address = count > 2 ? args.items[2] : Py_None;
        rt::Ref host = rt::Ref::steal(PySequence_GetItem(address, 0));
        rt::Ref port = rt::Ref::steal(PySequence_GetItem(address, 1));
        rt::Ref socket_module = import("socket");
        rt::Ref infos = resolve(socket_module.get(), host.get(), port.get());

        rt::Ref create_connection = rt::attr(socket_module.get(), n_create_connection);
        rt::Ref last_error;
        rt::Ref iterator = rt::Ref::steal(PyObject_GetIter(infos.get()));
        while (rt::Ref info = rt::Ref::steal_or_null(PyIter_Next(iterator.get()))) {
            const double remaining = deadline - monotonic_seconds();
            if (remaining <= 0) break;
            rt::Ref sockaddr = rt::Ref::steal(PySequence_GetItem(info.get(), 4));
            rt::Ref numeric_host = rt::Ref::steal(PySequence_GetItem(sockaddr.get(), 0));
            rt::Ref target = rt::Ref::steal(PyTuple_Pack(2, numeric_host.get(), port.get()));
            rt::Ref bounded = rt::Ref::steal(PyFloat_FromDouble(remaining));
            PyObject* connect_timeout = bounded.get();
            if (timeout != nullptr && PyFloat_Check(timeout) && PyFloat_AS_DOUBLE(timeout) < remaining) {
                connect_timeout = timeout;
            }
            try {
                return rt::call(create_connection.get(), target.get(), connect_timeout, source_address);
            } catch (const rt::PyError&) {
                rt::HandledError error(PyExc_OSError);  // the next address, as create_connection goes on
                last_error = rt::Ref::borrow(error.value());
            }
        }
        if (PyErr_Occurred()) rt::raise_pending();
        if (last_error) rt::raise(reinterpret_cast<PyObject*>(Py_TYPE(last_error.get())), last_error.get());
        if (monotonic_seconds() >= deadline) rt::raise(PyExc_TimeoutError, "no address connected in time");
        rt::raise(PyExc_OSError, "getaddrinfo returns an empty list");
    }

    // The addresses of `host`, or TimeoutError when the limit passes first.
    rt::Ref resolve(PyObject* socket_module, PyObject* host, PyObject* port) {
        rt::Ref getaddrinfo = rt::attr(socket_module, n_getaddrinfo);
        rt::Ref outcome = rt::Ref::steal(PyList_New(0));
        rt::Ref target =
            rt::closure(Resolve{std::move(getaddrinfo), rt::Ref::borrow(host), rt::Ref::borrow(port), outcome});
        rt::Ref threading = import("threading");
        rt::Ref thread_class = rt::attr(threading.get(), n_Thread);
        rt::Ref thread = rt::call(thread_class.get(), rt::kw<"target">(target.get()), rt::kw<"daemon">(Py_True));
        (void)rt::call_method(thread.get(), n_start);
        for (;;) {
            const double remaining = deadline - monotonic_seconds();
            if (remaining <= 0) break;
            rt::Ref wait = rt::Ref::steal(PyFloat_FromDouble(remaining));
            (void)rt::call_method(thread.get(), n_join, wait.get());
            rt::Ref alive = rt::call_method(thread.get(), n_is_alive);
            if (!rt::truth(alive.get())) break;
        }
        if (PyList_GET_SIZE(outcome.get()) == 0) {
            rt::raise_format(PyExc_TimeoutError, "the address of %R was not found in time", host);
        }
        PyObject* entry = PyList_GET_ITEM(outcome.get(), 0);
        PyObject* result = PyTuple_GET_ITEM(entry, 1);
        if (PyTuple_GET_ITEM(entry, 0) == Py_True) return rt::Ref::borrow(result);
        rt::raise(reinterpret_cast<PyObject*>(Py_TYPE(result)), result);
    }
};

// Installed as `connection.connect` on each connection. It removes itself (which also ends the reference
// cycle), connects as the class does, and registers the socket, cutting it at once when the limit passed
// while it was connecting.
struct ConnectAndRegister {
    static constexpr char kName[] = "norvane.time_limit.connect";
    rt::Ref sockets;
    double deadline;  // on the monotonic clock
    rt::Ref connection;
    auto objects() { return std::tie(sockets, connection); }

    rt::Ref operator()() {
        rt::require(PyObject_DelAttr(connection.get(), n_connect));
        (void)rt::call_method(connection.get(), n_connect);
        rt::Ref sock = rt::attr(connection.get(), n_sock);
        rt::require(PyList_Append(sockets.get(), sock.get()));
        if (monotonic_seconds() >= deadline) cut(sock.get());
        return rt::none();
    }
};

// Passed to the handler's `do_open` as its connection class: makes the connection as the class does and
// installs its registering `connect`.
struct MakeConnection {
    static constexpr char kName[] = "norvane.time_limit.make_connection";
    rt::Ref sockets;
    double deadline;
    rt::Ref connection_class;
    auto objects() { return std::tie(sockets, connection_class); }

    rt::Ref operator()(rt::VectorArgs args) {
        rt::Ref connection = rt::Ref::steal(
            PyObject_Vectorcall(connection_class.get(), args.items, PyVectorcall_NARGS(args.nargsf), args.kwnames));
        rt::Ref connect = rt::closure(ConnectAndRegister{sockets, deadline, connection});
        rt::set_attr(connection.get(), n_connect, connect.get());
        rt::Ref create_connection = rt::closure(CreateConnectionInTime{deadline});
        rt::set_attr(connection.get(), a_create_connection, create_connection.get());
        return connection;
    }
};

// Installed as the handler's `http_open`/`https_open`: `do_open(make_connection, request, **keywords)`.
struct OpenThrough {
    static constexpr char kName[] = "norvane.time_limit.open_through";
    rt::Ref do_open;
    rt::Ref make_connection;
    rt::Ref keywords;  // dict of the TLS settings the handler passes to its connections
    auto objects() { return std::tie(do_open, make_connection, keywords); }

    rt::Ref operator()(PyObject* request) {
        rt::Ref positional = rt::Ref::steal(PyTuple_Pack(2, make_connection.get(), request));
        return rt::Ref::steal(PyObject_Call(do_open.get(), positional.get(), keywords.get()));
    }
};

// A standard handler whose connections come from `connection_class` and are registered.
rt::Ref registering_handler(PyObject* handler_class, PyObject* open_name, PyObject* connection_class, PyObject* sockets,
                            double deadline) {
    rt::Ref handler = rt::call(handler_class);
    rt::Ref maker = rt::closure(MakeConnection{rt::Ref::borrow(sockets), deadline, rt::Ref::borrow(connection_class)});
    // The TLS settings an HTTPS handler passes to its connections, kept as the handler has them.
    rt::Ref keywords = rt::Ref::steal(PyDict_New());
    const std::pair<PyObject*, PyObject*> tls[] = {{n_context, a_context}, {n_check_hostname, a_check_hostname}};
    for (const auto& [keyword, attribute] : tls) {
        rt::Ref value = rt::optional_attr(handler.get(), attribute);
        if (!value) continue;
        rt::require(PyDict_SetItem(keywords.get(), keyword, value.get()));
    }
    rt::Ref do_open = rt::attr(handler.get(), n_do_open);
    rt::Ref open = rt::closure(OpenThrough{std::move(do_open), std::move(maker), std::move(keywords)});
    rt::set_attr(handler.get(), open_name, open.get());
    return handler;
}

}  // namespace

rt::Ref request_time_limit_setting(PyObject* section) {
    if (!rt::require(PySequence_Contains(section, n_InstrumentInfoTimeout))) return rt::Ref();
    rt::Ref value = rt::item(section, n_InstrumentInfoTimeout);
    // A text that is no number, or a value of no number type, is refused below like a bad number.
    rt::Ref not_a_number = rt::Ref::steal(PyTuple_Pack(2, PyExc_ValueError, PyExc_TypeError));
    rt::Ref seconds;
    (void)rt::suppress(not_a_number.get(), [&] { seconds = rt::Ref::steal(PyNumber_Float(value.get())); });
    // The timer thread and the socket time-outs take at most `threading.TIMEOUT_MAX` seconds (about 292
    // years); a larger limit would fail inside every attempt, on the timer's own thread.
    rt::Ref threading = import("threading");
    rt::Ref timeout_max = rt::attr(threading.get(), n_TIMEOUT_MAX);
    const double longest = PyFloat_AsDouble(timeout_max.get());
    if (longest == -1.0 && PyErr_Occurred()) rt::raise_pending();
    bool too_long = false;
    if (seconds) {
        const double limit = PyFloat_AS_DOUBLE(seconds.get());
        too_long = std::isfinite(limit) && limit > longest;
        if (std::isfinite(limit) && limit > 0 && !too_long) return seconds;
    }
    rt::Ref message = rt::Ref::steal(PyUnicode_FromFormat(
        "InstrumentInfoTimeout in section data_related must be a positive number of seconds, not %R", value.get()));
    if (!too_long) rt::raise(PyExc_ValueError, message.get());
    rt::raise_noted(PyExc_ValueError, message.get(), [&] {
        return rt::Ref::steal(PyUnicode_FromFormat(
            "The platform's timers hold at most %S seconds (threading.TIMEOUT_MAX); give a smaller limit, or "
            "remove InstrumentInfoTimeout for requests without one.",
            timeout_max.get()));
    });
}

RequestTimeLimit::RequestTimeLimit(PyObject* seconds) : seconds_(rt::Ref::borrow(seconds)) {
    deadline_ = monotonic_seconds() + PyFloat_AS_DOUBLE(seconds);
    sockets_ = rt::Ref::steal(PyList_New(0));
    rt::Ref threading = import("threading");
    rt::Ref timer_class = rt::attr(threading.get(), n_Timer);
    rt::Ref target = rt::closure(CutAll{sockets_});
    timer_ = rt::call(timer_class.get(), seconds, target.get());
    rt::set_attr(timer_.get(), n_daemon, Py_True);
    (void)rt::call_method(timer_.get(), n_start);
}

RequestTimeLimit::~RequestTimeLimit() {
    if (!timer_) return;
    rt::SavedError pending;
    rt::Ref cancelled = rt::Ref::steal_or_null(PyObject_CallMethodNoArgs(timer_.get(), n_cancel));
    if (!cancelled) PyErr_WriteUnraisable(timer_.get());
    // A cancelled timer still ends on its own thread's time; waiting for it here keeps no thread (and no
    // registry entry of the threading module) alive past the request that started it.
    rt::Ref joined = rt::Ref::steal_or_null(PyObject_CallMethodNoArgs(timer_.get(), n_join));
    if (!joined) PyErr_WriteUnraisable(timer_.get());
}

void RequestTimeLimit::finish() {
    // Stopped once: interrupted here, a timer cancelled meanwhile ends its thread on its own, and one that
    // still fires cuts only this finished request's connections.
    const rt::Ref timer = std::move(timer_);
    (void)rt::call_method(timer.get(), n_cancel);
    (void)rt::call_method(timer.get(), n_join);
}

rt::Ref RequestTimeLimit::open(PyObject* address) {
    rt::Ref urllib = rt::global(n_urllib);
    rt::Ref request = rt::attr(urllib.get(), n_request);
    rt::Ref http_client = import("http.client");
    rt::Ref http_handler_class = rt::attr(request.get(), n_HTTPHandler);
    rt::Ref http_connection = rt::attr(http_client.get(), n_HTTPConnection);
    rt::Ref http_handler =
        registering_handler(http_handler_class.get(), n_http_open, http_connection.get(), sockets_.get(), deadline_);
    rt::Ref build_opener = rt::attr(request.get(), n_build_opener);
    rt::Ref opener;
    // Absent when the interpreter has no TLS support.
    if (rt::Ref https_handler_class = rt::optional_attr(request.get(), n_HTTPSHandler)) {
        rt::Ref https_connection = rt::attr(http_client.get(), n_HTTPSConnection);
        rt::Ref https_handler = registering_handler(https_handler_class.get(), n_https_open, https_connection.get(),
                                                    sockets_.get(), deadline_);
        opener = rt::call(build_opener.get(), http_handler.get(), https_handler.get());
    } else {
        opener = rt::call(build_opener.get(), http_handler.get());
    }
    rt::Ref remaining = rt::Ref::steal(PyFloat_FromDouble(std::max(deadline_ - monotonic_seconds(), 1e-3)));
    rt::Ref open = rt::attr(opener.get(), n_open);
    return rt::call(open.get(), address, rt::kw<"timeout">(remaining.get()));
}

void RequestTimeLimit::check() {
    if (monotonic_seconds() >= deadline_) raise_expired();
}

void RequestTimeLimit::rethrow() {
    if (monotonic_seconds() < deadline_) rt::raise_pending();
    rt::HandledError cut_short(PyExc_Exception);  // only an Exception; it becomes the time-out's context
    raise_expired();
}

void RequestTimeLimit::raise_expired() {
    rt::raise_format(PyExc_TimeoutError, "no complete answer within InstrumentInfoTimeout (%S s)", seconds_.get());
}

}  // namespace futures
