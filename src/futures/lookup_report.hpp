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

    // Keep the account, on the calling thread, for `records`, the answer the lookup is about to give:
    // read from `cache_path` (whatever it holds, so that a build failing on it can name the file); an
    // empty list fetched from the service; or the empty list after the attempts were used up.
    void publish_cached(PyObject* records, PyObject* cache_path);
    void publish_fetched(PyObject* records);
    void publish_given_up(PyObject* records);

private:
    template <typename Compose>
    void keep(PyObject* records, PyObject* cache_path, Compose&& compose);

    PyObject* address_;  // borrowed for the lookup's duration
    rt::Ref outcomes_;   // one text per failed attempt, made at the first failure
    bool answered_ = false;
    bool refused_ = false;
    bool unmatched_ = false;
};

// What this thread's last lookup kept about `records`, taken (and so cleared) by the build that uses
// them: its account of an empty answer, and the cache file the answer was read from. Either may be null;
// both are when the thread holds nothing for exactly `records`. Best effort, as the keeping is.
struct LookupAccount {
    rt::Ref account;
    rt::Ref cache_path;
};
LookupAccount take_lookup_account(PyObject* records);

// The note for a build whose lookup answered `records` without a first record: the lookup's own account
// when there is one, else what can be said without it.
rt::Ref empty_lookup_note(PyObject* instrument, const LookupAccount& account);

// The note for a build that could not use `records`, read from `cache_path`: the file to delete, and what
// it holds where a non-empty list of records belongs.
rt::Ref cached_records_note(PyObject* records, PyObject* cache_path);

}  // namespace futures
