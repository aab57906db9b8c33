#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "cli/batch_runner.h"

namespace vellora::cli {
namespace {

std::vector<FileTask> tasks(int count) {
    std::vector<FileTask> list(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        list[static_cast<std::size_t>(i)].input = QString::number(i);
    }
    return list;
}

struct PoolCase {
    int files;
    int jobs;
};

class WorkerPoolTest : public testing::TestWithParam<PoolCase> {};

TEST_P(WorkerPoolTest, EveryFileOnceAndNeverMoreThanJobsAtOnce) {
    const auto [files, jobs] = GetParam();
    const std::vector<FileTask> list = tasks(files);
    std::atomic<int> inFlight{0};
    std::atomic<int> mostInFlight{0};
    std::mutex mutex;
    std::multiset<std::size_t> doneIndexes;
    std::set<std::thread::id> threads;
    const std::atomic<bool> stop{false};

    const BatchRun run = runBatch(
        list, jobs,
        [&](const FileTask& task) {
            const int now = ++inFlight;
            int most = mostInFlight.load();
            while (now > most && !mostInFlight.compare_exchange_weak(most, now)) {
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            --inFlight;
            FileResult result;
            result.input = task.input;
            return result;
        },
        [&](std::size_t index, const FileResult& result) {
            std::lock_guard lock(mutex);
            EXPECT_EQ(result.input, list[index].input);
            doneIndexes.insert(index);
            threads.insert(std::this_thread::get_id());
        },
        stop);

    EXPECT_EQ(run.notStarted, 0u);
    ASSERT_EQ(doneIndexes.size(), static_cast<std::size_t>(files));
    for (int i = 0; i < files; ++i) {
        EXPECT_EQ(doneIndexes.count(static_cast<std::size_t>(i)), 1u) << i;
    }
    EXPECT_LE(mostInFlight.load(), jobs);
    EXPECT_LE(static_cast<int>(threads.size()), std::min(jobs, std::max(files, 1)));
}

INSTANTIATE_TEST_SUITE_P(Sizes, WorkerPoolTest,
                         testing::Values(PoolCase{0, 4}, PoolCase{1, 4}, PoolCase{5, 1},
                                         PoolCase{7, 2}, PoolCase{40, 3}, PoolCase{3, 8}));

TEST(WorkerPoolTest, ManyWorkersReallyRunTogether) {
    // With four workers and four files that each wait for all four to have started,
    // the batch only finishes if they run at the same time.
    const std::vector<FileTask> list = tasks(4);
    std::atomic<int> started{0};
    const std::atomic<bool> stop{false};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    bool allMet = true;
    std::mutex mutex;
    runBatch(
        list, 4,
        [&](const FileTask&) {
            ++started;
            while (started.load() < 4 && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::yield();
            }
            if (started.load() < 4) {
                std::lock_guard lock(mutex);
                allMet = false;
            }
            return FileResult{};
        },
        [](std::size_t, const FileResult&) {}, stop);
    EXPECT_TRUE(allMet);
}

TEST(WorkerPoolTest, AStopStartsNoFurtherFile) {
    const std::vector<FileTask> list = tasks(10);
    std::atomic<bool> stop{false};
    std::atomic<int> worked{0};
    const BatchRun run = runBatch(
        list, 1,
        [&](const FileTask&) {
            if (++worked == 3) {
                stop = true;  // as the signal handler does
            }
            return FileResult{};
        },
        [](std::size_t, const FileResult&) {}, stop);
    EXPECT_EQ(worked.load(), 3);
    EXPECT_EQ(run.notStarted, 7u);
}

}  // namespace
}  // namespace vellora::cli
