// vellora-cli: the image library's engine for batches and scripts.

#include <unistd.h>

#include <QCoreApplication>
#include <QFileInfo>
#include <QThread>
#include <atomic>
#include <csignal>
#include <cstdio>

#include "cli/batch_plan.h"
#include "cli/batch_runner.h"
#include "cli/display_name.h"
#include "cli/file_job.h"
#include "cli/native_files.h"
#include "cli/options.h"
#include "cli/reporter.h"
#include "cli/scratch_sweep.h"
#include "imaging/image_library.h"

namespace {

using namespace vellora::cli;

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

std::atomic<bool> g_stop{false};
volatile std::sig_atomic_t g_signal = 0;

// First Ctrl-C (or TERM, HUP): finish the pictures in hand, start no new one, leave no
// scratch file behind. The handler is reset, so a second one ends the program at once.
extern "C" void onSignal(int number) {
    g_signal = number;
    g_stop.store(true);
}

void installSignalHandlers() {
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    // A reader of --json that goes away (| head) must not kill the program in the
    // middle of a write: the files are still done, only the report is lost.
    std::signal(SIGPIPE, SIG_IGN);
    // A file-size limit (ulimit -f) must fail the file with its reason ("File too
    // large"), not kill the program in the middle of a write.
    std::signal(SIGXFSZ, SIG_IGN);
}

void printText(std::FILE* stream, const QString& text) {
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stream);
}

// A run killed earlier (SIGKILL, power loss) may have left scratch files where this
// run writes; those of runs that are gone go now.
void removeAbandonedScratchFiles(const std::vector<FileTask>& tasks) {
    QStringList folders;
    for (const FileTask& task : tasks) {
        const QString folder = QFileInfo(task.output).absolutePath();
        if (!task.output.isEmpty() && !folders.contains(folder)) {
            folders << folder;
        }
    }
    (void)sweepAbandonedScratchFiles(folders);
}

int usageError(const QString& message) {
    printText(stderr, kProgramName + QStringLiteral(": ") + displayText(message) +
                          QStringLiteral("\nTry 'vellora-cli --help' for more information.\n"));
    return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(kProgramName);

    const ParseResult parsed =
        parseArguments(nativeArguments(argc, argv), QThread::idealThreadCount());
    switch (parsed.action) {
        case ParseAction::Help:
            printText(stdout, helpText());
            return 0;
        case ParseAction::Version:
            printText(stdout, versionText() + QLatin1Char('\n'));
            return 0;
        case ParseAction::UsageError:
            return usageError(parsed.error);
        case ParseAction::Run:
            break;
    }
    const Options& options = parsed.options;

    BatchPlan plan = planBatch(options);
    if (!plan.usageError.isEmpty()) {
        return usageError(plan.usageError);
    }

    vellora::ImageLibrary& library = vellora::imageLibrary();
    try {
        (void)library.ImgDLLStringInitDLL("vellora-cli");
    } catch (const std::exception& error) {
        // Without the library no file can be done; each says why, like any failure.
        const QString reason = QString::fromLocal8Bit(error.what());
        for (FileTask& task : plan.tasks) {
            if (task.failure.isEmpty()) {
                task.failure = reason;
            }
        }
    }

    installSignalHandlers();
    removeAbandonedScratchFiles(plan.tasks);
    const EncodeSettings settings = encodeSettings(options);
    Reporter reporter({options.verbose, options.json, ::isatty(STDERR_FILENO) == 1},
                      plan.tasks.size(), stdout, stderr);
    const BatchRun run = runBatch(
        plan.tasks, options.jobs,
        [&](const FileTask& task) { return runFileJob(task, settings, library, g_stop); },
        [&](std::size_t index, const FileResult& result) { reporter.fileDone(index, result); },
        g_stop);
    reporter.finish(run.notStarted);

    if (g_signal != 0) {
        // Everything is cleaned up: end the way an interrupted program is expected to.
        std::fflush(nullptr);
        std::signal(g_signal, SIG_DFL);
        std::raise(g_signal);
    }
    return reporter.totals().failed > 0 ? kExitFailure : 0;
}
