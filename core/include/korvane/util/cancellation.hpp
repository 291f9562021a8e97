// A request to stop a long computation, made by one thread and seen by the threads doing it.
//
// Rules of use:
//  1. `request()` may be called from any thread at any time, any number of times.
//  2. Workers check `requested()` between units of work (a text, a chunk of rows); a computation
//     that stops early says so in its result, and what it wrote so far is unspecified.
#pragma once

#include <atomic>

namespace korvane {

class Cancellation {
public:
    void request() noexcept { requested_.store(true, std::memory_order_relaxed); }
    [[nodiscard]] bool requested() const noexcept {
        return requested_.load(std::memory_order_relaxed);
    }

private:
    std::atomic<bool> requested_{false};
};

}  // namespace korvane
