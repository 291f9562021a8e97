// Work shared by threads that live for one call only: nothing outlives the call, so a fork
// between calls copies no pool in a state the child cannot use.
#pragma once

#include <atomic>
#include <cstddef>
#include <exception>
#include <system_error>
#include <vector>

#include "korvane/util/joining_thread.hpp"

namespace korvane {

// Runs `work(worker)` for each worker in [0, workers): worker 0 on the calling thread, the others
// on threads started for the call, and returns once all are done. A worker whose thread cannot be
// started runs on the calling thread at once. A thread cannot throw: the first exception a
// worker raises is kept and rethrown here once every worker has finished.
template <typename Work>
void run_on_threads(std::size_t workers, Work&& work) {
    if (workers <= 1) {  // the small batches' path: no thread, nothing to gather
        if (workers == 1) work(std::size_t{0});
        return;
    }
    std::exception_ptr failure;
    std::atomic<bool> failed{false};
    const auto guarded = [&](std::size_t worker) {
        try {
            work(worker);
        } catch (...) {
            if (!failed.exchange(true)) failure = std::current_exception();
        }
    };
    {
        std::vector<JoiningThread> helpers;
        helpers.reserve(workers > 0 ? workers - 1 : 0);
        for (std::size_t worker = 1; worker < workers; ++worker) {
            try {
                helpers.emplace_back(guarded, worker);
            } catch (const std::system_error&) {
                guarded(worker);  // no thread to spare: this one does its share
            }
        }
        if (workers > 0) guarded(0);
    }
    if (failure) std::rethrow_exception(failure);
}

}  // namespace korvane
