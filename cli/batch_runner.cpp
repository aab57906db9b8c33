#include "batch_runner.h"

#include <algorithm>
#include <thread>

namespace vellora::cli {

BatchRun runBatch(const std::vector<FileTask>& tasks, int jobs, const FileWork& work,
                  const FileDone& done, const std::atomic<bool>& stop) {
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> started{0};
    auto worker = [&] {
        while (!stop.load()) {
            const std::size_t index = next.fetch_add(1);
            if (index >= tasks.size()) {
                return;
            }
            started.fetch_add(1);
            done(index, work(tasks[index]));
        }
    };
    const std::size_t threads =
        std::min<std::size_t>(static_cast<std::size_t>(std::max(jobs, 1)), tasks.size());
    if (threads <= 1) {
        worker();  // one at a time: no thread needed
    } else {
        std::vector<std::jthread> pool;
        pool.reserve(threads);
        for (std::size_t i = 0; i < threads; ++i) {
            pool.emplace_back(worker);
        }
    }  // the jthreads join here
    BatchRun run;
    run.notStarted = tasks.size() - started.load();
    return run;
}

}  // namespace vellora::cli
