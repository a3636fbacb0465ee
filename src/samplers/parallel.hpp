// Native passes that run without the interpreter lock, on up to as many threads as there are cores.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <system_error>
#include <thread>
#include <vector>

#include "runtime/ref.hpp"

namespace samplers {

// Releases the interpreter lock for a scope and takes it back on every exit, exceptions included. Code
// inside must not touch Python objects; the buffers it reads are held by views taken beforehand.
class ReleasedGil {
public:
    ReleasedGil() noexcept : state_(PyEval_SaveThread()) {}
    ~ReleasedGil() { PyEval_RestoreThread(state_); }
    ReleasedGil(const ReleasedGil&) = delete;
    ReleasedGil& operator=(const ReleasedGil&) = delete;

private:
    PyThreadState* state_;
};

// Runs task(0) .. task(count - 1), each exactly once, on up to `count` threads (at most the core count)
// when `worth_threads`, else on the calling thread. Tasks must not throw. When the system refuses a
// thread, the threads already started and the caller share the remaining tasks.
template <typename Task>
void run_tasks(std::size_t count, bool worth_threads, const Task& task) {
    std::atomic<std::size_t> next{0};
    const auto work = [&] {
        for (std::size_t i = next.fetch_add(1); i < count; i = next.fetch_add(1)) task(i);
    };
    std::size_t helpers = 0;
    if (worth_threads && count > 1) {
        const std::size_t cores = std::max<std::size_t>(1, std::thread::hardware_concurrency());
        helpers = std::min(count, cores) - 1;
    }
    std::vector<std::thread> threads;
    try {
        threads.reserve(helpers);
        for (std::size_t i = 0; i < helpers; ++i) threads.emplace_back(work);
    } catch (const std::system_error&) {
    } catch (const std::bad_alloc&) {
    }
    work();
    for (std::thread& thread : threads) thread.join();
}

}  // namespace samplers
