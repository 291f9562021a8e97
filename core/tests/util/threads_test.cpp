#include "util/threads.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <vector>

namespace korvane {
namespace {

class RunOnThreads : public testing::TestWithParam<std::size_t> {};

TEST_P(RunOnThreads, RunsEachWorkerOnce) {
    const std::size_t workers = GetParam();
    std::vector<std::atomic<int>> runs(workers);
    run_on_threads(workers, [&](std::size_t worker) { ++runs[worker]; });
    for (const auto& count : runs) EXPECT_EQ(count.load(), 1);
}

TEST_P(RunOnThreads, RethrowsTheFirstFailureOnceAllHaveFinished) {
    const std::size_t workers = GetParam();
    std::atomic<std::size_t> finished{0};
    EXPECT_THROW(run_on_threads(workers,
                                [&](std::size_t worker) {
                                    ++finished;
                                    if (worker == workers - 1) throw std::runtime_error("worker");
                                }),
                 std::runtime_error);
    EXPECT_EQ(finished.load(), workers);
}

INSTANTIATE_TEST_SUITE_P(Counts, RunOnThreads, testing::Values(1u, 2u, 7u));

TEST(RunOnThreads, NoWorkerRunsNothing) {
    bool ran = false;
    run_on_threads(0, [&](std::size_t) { ran = true; });
    EXPECT_FALSE(ran);
}

}  // namespace
}  // namespace korvane
