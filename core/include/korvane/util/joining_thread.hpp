// A thread that is joined when it goes out of scope, as std::jthread is. libc++ has no jthread
// before release 18 (macOS's toolchains), and nothing here uses jthread's stop token.
#pragma once

#include <concepts>
#include <thread>
#include <type_traits>
#include <utility>

namespace korvane {

class JoiningThread {
public:
    JoiningThread() noexcept = default;

    // Starts `function(arguments...)` on a new thread; throws std::system_error as std::thread
    // does when none can be started.
    template <typename Function, typename... Arguments>
    requires(!std::same_as<std::remove_cvref_t<Function>, JoiningThread>) explicit JoiningThread(
        Function&& function, Arguments&&... arguments)
        : thread_(std::forward<Function>(function), std::forward<Arguments>(arguments)...) {}

    JoiningThread(JoiningThread&&) noexcept = default;
    JoiningThread& operator=(JoiningThread&& other) noexcept {
        join();
        thread_ = std::move(other.thread_);
        return *this;
    }
    JoiningThread(const JoiningThread&) = delete;
    JoiningThread& operator=(const JoiningThread&) = delete;
    ~JoiningThread() { join(); }

    [[nodiscard]] bool joinable() const noexcept { return thread_.joinable(); }

private:
    void join() noexcept {
        if (thread_.joinable()) thread_.join();
    }

    std::thread thread_;
};

}  // namespace korvane
