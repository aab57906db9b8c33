#pragma once
// The worker pool: a fixed number of threads take the next file from a shared queue,
// so at most `jobs` pictures are in memory at once however long the list is.

#include <atomic>
#include <cstddef>
#include <functional>
#include <vector>

#include "cli/batch_plan.h"
#include "cli/file_job.h"

namespace vellora::cli {

struct BatchRun {
    std::size_t notStarted = 0;  // files left when `stop` was raised
};

using FileWork = std::function<FileResult(const FileTask&)>;
using FileDone = std::function<void(std::size_t index, const FileResult&)>;

// Runs `work` for every task on min(jobs, tasks) threads and hands each result to
// `done` (from the worker that made it). Once `stop` is raised no new file is started.
BatchRun runBatch(const std::vector<FileTask>& tasks, int jobs, const FileWork& work,
                  const FileDone& done, const std::atomic<bool>& stop);

}  // namespace vellora::cli
