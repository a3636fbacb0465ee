// What a reference-data lookup went through when it answers with no record, kept for the build that then
// fails on the empty answer: the bare `IndexError` of that build gets a note telling which address was
// asked, how each attempt failed and whether the service answered at all.
#pragma once

#include "runtime/runtime.hpp"

namespace futures {

// Collects nothing until an attempt fails, so a lookup answered with records costs nothing. Best effort
// throughout: a failure to keep the account is dropped, and the lookup answers as it would without it;
// only an interrupt or an exit raised meanwhile propagates.
class LookupReport {
public:
    explicit LookupReport(PyObject* address) noexcept : address_(address) {}

    // One failed attempt: `error` is what it raised; `got_response` tells whether the service had
    // answered the request (status line and headers) before the attempt failed.
    void attempt_failed(PyObject* error, bool got_response);
    // One attempt answered with a 2xx status other than 200.
    void attempt_refused_status(PyObject* status);

    // Keep the account, on the calling thread, for `records`, the empty list the lookup is about to
    // answer: read from `cache_path`; fetched from the service; or the attempts were used up.
    void publish_cached(PyObject* records, PyObject* cache_path);
    void publish_fetched(PyObject* records);
    void publish_given_up(PyObject* records);

private:
    template <typename Compose>
    void keep(PyObject* records, Compose&& compose);

    PyObject* address_;  // borrowed for the lookup's duration
    rt::Ref outcomes_;   // one text per failed attempt, made at the first failure
    bool answered_ = false;
    bool refused_ = false;
    bool unmatched_ = false;
};

// The note for a build whose lookup answered `records` without a first record: the lookup's own account
// when this thread holds one for exactly `records`, else what can be said without it.
rt::Ref empty_lookup_note(PyObject* instrument, PyObject* records);

}  // namespace futures
