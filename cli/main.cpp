// vellora-cli: the image library's engine for batches and scripts.

#include <fcntl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>

#include "cli/batch_plan.h"
#include "cli/batch_runner.h"
#include "cli/display_name.h"
#include "cli/file_job.h"
#include "cli/native_files.h"
#include "cli/options.h"
#include "cli/reporter.h"
#include "cli/scratch_file.h"
#include "cli/scratch_sweep.h"
#include "cli/stdio_io.h"
#include "imaging/image_library.h"
#include "platform/file_ownership.h"
#include "platform/paths.h"
#include "platform/platform.h"
#include "platform/unique_fd.h"

namespace {

using namespace vellora::cli;

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

std::atomic<bool> g_stop{false};
// Which signal came first. One exchange decides first or second: two signals at once on
// two threads (any thread may take one), or one inside the other's handler, would both
// have read "none yet" and neither ended the run.
std::atomic<int> g_signal{0};
static_assert(std::atomic<int>::is_always_lock_free, "used from a signal handler");

// First Ctrl-C (or TERM, HUP): finish the pictures in hand, start no new one, leave no
// scratch file behind. A second one, of any of the three, ends the program at once, as
// that signal would have.
extern "C" void onSignal(int number) {
    if (g_signal.exchange(number) != 0) {
        std::signal(number, SIG_DFL);
        std::raise(number);  // delivered as this handler returns
        return;
    }
    g_stop.store(true);
}

void installSignalHandlers() {
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    // A write cut short by the first interrupt goes on: stdio drops a line whose
    // write fails, and a file done would go without its report.
    action.sa_flags = SA_RESTART;
    for (const int number : {SIGINT, SIGTERM, SIGHUP}) {
        // What was ignored when the run started stays ignored: nohup, and the jobs a
        // script starts in the background, rely on that.
        struct sigaction current {};
        if (sigaction(number, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) {
            continue;
        }
        sigaction(number, &action, nullptr);
    }
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
        const QString folder = absoluteFolderOf(task.output);
        if (!task.output.isEmpty() && !folders.contains(folder)) {
            folders << folder;
        }
    }
    (void)sweepAbandonedScratchFiles(folders);
}

// The image library, loaded now. A per-user copy that will not load (the windows delete
// it and ask for a restart) is passed over for the installed one, with a warning: a
// script must not fail on every file until someone starts the windows. Without any
// library no file can be done; each says why, like any failure.
vellora::ImageLibrary& loadImageLibrary(std::optional<vellora::ImageLibrary>& installed,
                                        BatchPlan& plan) {
    vellora::ImageLibrary* library = &vellora::imageLibrary();
    QString reason;
    try {
        (void)library->ImgDLLStringInitDLL("vellora-cli");
        return *library;
    } catch (const vellora::RuntimeError& error) {
        reason = QString::fromLocal8Bit(error.what());
        // The loader takes a per-user copy first when there is one: that copy failed.
        const QString installedFolder = vellora::InstalledModuleDir();
        if (error.number() == vellora::ErrorNumber::LibraryLoadFailed &&
            !installedFolder.isEmpty() && vellora::overrideModuleCopy()) {
            printText(stderr, kProgramName + QStringLiteral(": warning: ") + displayText(reason) +
                                  QStringLiteral("; using the installed one (starting Vellora "
                                                 "removes the broken copy)\n"));
            installed.emplace(installedFolder);
            library = &*installed;
            try {
                (void)library->ImgDLLStringInitDLL("vellora-cli");
                return *library;
            } catch (const std::exception& second) {
                reason = QString::fromLocal8Bit(second.what());
            }
        }
    } catch (const std::exception& error) {
        reason = QString::fromLocal8Bit(error.what());
    }
    for (FileTask& task : plan.tasks) {
        if (task.failure.isEmpty() && task.skip.isEmpty()) {
            task.failure = reason;
        }
    }
    return *library;
}

int usageError(const QString& message) {
    printText(stderr, kProgramName + QStringLiteral(": ") + displayText(message) +
                          QStringLiteral("\nTry 'vellora-cli --help' for more information.\n"));
    return kExitUsage;
}

// What stdout carried (--json, the help) could not all be written (a full disk, a
// closed pipe): a script must not take the missing report for a quiet success.
int withStdoutChecked(int status) {
    if (std::fflush(stdout) == 0 && std::ferror(stdout) == 0) {
        return status;
    }
    printText(stderr, kProgramName + QStringLiteral(": cannot write to stdout\n"));
    return status == 0 ? kExitFailure : status;
}

// With the streams, --json goes to stderr: a report lost there fails the run as one
// lost on stdout does, though there is nowhere left to say so.
int withReportChecked(int status, bool reportOnStderr) {
    status = withStdoutChecked(status);
    if (reportOnStderr && (std::fflush(stderr) != 0 || std::ferror(stderr) != 0)) {
        return status == 0 ? kExitFailure : status;
    }
    return status;
}

Reporter::Settings reporterSettings(const Options& options) {
    // A dry run shows what it would write.
    return {options.verbose || options.dryRun, options.json, ::isatty(STDERR_FILENO) == 1,
            options.dryRun};
}

// A run with a stream that failed before any work (stdin empty, no temporary folder):
// reported as any failed file is, its --json object and summary included (on stderr:
// stdout is for the picture).
int inputError(const Options& options, const QString& message) {
    Reporter reporter(reporterSettings(options), 1, stderr, stderr);
    FileResult result;
    result.input = options.stdio ? QStringLiteral("-") : options.inputs.value(0);
    result.output = options.toStdout ? QStringLiteral("-") : options.output;
    result.status = FileStatus::Failed;
    result.message = message;
    reporter.fileDone(0, result);
    reporter.finish(0);
    return kExitFailure;
}

// The streams: "-" as the input, stdout as the output ("-" without -o, or -o -). The
// picture from stdin lands in a private folder as a file of its kind, so it goes
// through exactly the path of any other input; a result for stdout is made in the same
// folder and then copied out.
struct Streams {
    QTemporaryDir folder{privateFolderTemplate()};
    QString input;  // the picture read: stdin's copy in `folder`, or the named file
    bool fromStdin = false;
    bool toStdout = false;
};

// Empty when `options` may run; otherwise the usage error.
QString losslessUsageProblem(const Options& options, const BatchPlan& plan) {
    if (!options.lossless || options.qualityGiven || options.targetSize || options.targetSsim) {
        return {};
    }
    for (const FileTask& task : plan.tasks) {
        if (task.type == vellora::PictureType::Bitmap) {
            return QStringLiteral(
                       "--lossless keeps a JPEG's pixels; '%1' is a BMP: add -q, -s or "
                       "--target-ssim for BMP inputs")
                .arg(options.stdio ? QStringLiteral("-") : task.input);  // not our copy of it
        }
    }
    return {};
}

// A skipped result leaves a file where it was; a picture read from stdin has nowhere to
// stay, so it goes unchanged where the result would have gone (-o FILE), under the same
// rules as a result: written whole or not at all, an existing file only with -f.
// A dry run tells what it can see would stand in the way.
void keepInputAt(const QString& input, const FileTask& task, bool dryRun, FileResult& result) {
    QString error;
    if (dryRun) {
        error = writeProblem(task.output, false);
        if (error.isEmpty()) {
            result.message +=
                QStringLiteral("; the input would go to '%1' unchanged").arg(task.output);
            return;
        }
    }
    const std::optional<QByteArray> bytes =
        error.isEmpty() ? readWholeFile(input, error) : std::nullopt;
    std::optional<ScratchFile> copy;
    if (bytes) {
        copy = ScratchFile::create(absoluteFolderOf(task.output), fileNameOf(task.output), error,
                                   task.output, input);
    }
    if (!copy || !writeFileDurably(copy->path(), *bytes, error) ||
        !copy->commit(task.output, task.replaceOutput, error)) {
        result.status = FileStatus::Failed;
        result.message = QStringLiteral("%1; the input could not go to '%2' unchanged: %3")
                             .arg(result.message, task.output, error);
        return;
    }
    result.message += QStringLiteral("; the input went to '%1' unchanged").arg(task.output);
}

// Names the streams in the report and sends the picture to stdout when it goes there:
// the result, or the input unchanged when the result was skipped, so a pipe always
// yields a picture; the same for a picture from stdin and -o FILE.
void finishStreams(const Streams& streams, const FileTask& task, bool dryRun, FileResult& result) {
    if (streams.fromStdin) {
        result.input = QStringLiteral("-");
    }
    if (!streams.toStdout) {
        if (streams.fromStdin && result.status == FileStatus::Skipped) {
            keepInputAt(streams.input, task, dryRun, result);
        }
        return;
    }
    const QString made = result.output;
    result.output = QStringLiteral("-");
    if (dryRun || result.status == FileStatus::Failed) {
        return;
    }
    const bool skipped = result.status == FileStatus::Skipped;
    if (skipped) {
        result.message += QStringLiteral("; the input went to stdout unchanged");
    }
    QFile file(skipped ? streams.input : made);
    if (!file.open(QIODevice::ReadOnly)) {
        result.status = FileStatus::Failed;
        result.message = (skipped ? QStringLiteral("cannot read the input again: ")
                                  : QStringLiteral("cannot read back the result: ")) +
                         file.errorString();
        return;
    }
    const QByteArray bytes = file.readAll();
    QString error;
    if (!writeAllTo(STDOUT_FILENO, bytes, error)) {
        result.status = FileStatus::Failed;
        result.message = QStringLiteral("cannot write to stdout: ") + error;
    }
}

}  // namespace

int main(int argc, char** argv) {
    vellora::guardStandardStreams();
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(kProgramName);

    const ParseResult parsed =
        parseArguments(nativeArguments(argc, argv), QThread::idealThreadCount());
    switch (parsed.action) {
        case ParseAction::Help:
            printText(stdout, helpText());
            return withStdoutChecked(0);
        case ParseAction::Version:
            printText(stdout, versionText() + QLatin1Char('\n'));
            return withStdoutChecked(0);
        case ParseAction::UsageError:
            return usageError(parsed.error);
        case ParseAction::Run:
            break;
    }
    Options options = parsed.options;

    if (options.toStdout && !options.dryRun && ::isatty(STDOUT_FILENO) == 1) {
        return usageError(QStringLiteral(
            "stdout is a terminal: a picture is binary data; redirect it (> FILE, | ...) or "
            "use -o FILE"));
    }
    // stdin is read before anything is made on disk, while a signal still ends the
    // program at once: there is nothing to clean up yet, and a writer that never
    // closes the pipe cannot keep it waiting.
    QByteArray stdinBytes;
    vellora::PictureType stdinType = vellora::PictureType::Invalid;
    if (options.stdio) {
        if (::isatty(STDIN_FILENO) == 1) {
            return usageError(QStringLiteral("stdin is a terminal: pipe a picture in (< FILE)"));
        }
        // The first bytes say whether it is a picture at all: a stream of something else
        // (</dev/zero) is refused at once, not after a gigabyte.
        QString error;
        std::optional<QByteArray> bytes = readFirst(STDIN_FILENO, 3, error);
        if (bytes && bytes->size() == 3 &&
            pictureTypeOfContent(*bytes) != vellora::PictureType::Invalid) {
            bytes = readAllFrom(STDIN_FILENO, kMaxInMemoryBytes, error, std::move(*bytes));
        }
        if (!bytes) {
            return inputError(options, QStringLiteral("cannot read standard input: ") + error);
        }
        stdinType = pictureTypeOfContent(*bytes);
        if (stdinType == vellora::PictureType::Invalid) {
            return inputError(options, bytes->isEmpty()
                                           ? QStringLiteral("standard input is empty")
                                           : QStringLiteral("not a JPEG or BMP picture"));
        }
        stdinBytes = std::move(*bytes);
    }
    // From here on a signal lets the run clean up first (scratch files, the private
    // folder below) and then ends it the same way.
    installSignalHandlers();
    if (!options.dryRun) {
        // Clears the private directories of runs (and of Vellora) that were killed,
        // with any picture they held, and makes this run's own, locked while it runs.
        // A dry run changes nothing on disk, litter included.
        vellora::preparePrivateDirectory();
    }

    std::optional<Streams> streams;
    if (options.stdio || options.toStdout) {
        streams.emplace();
        streams->fromStdin = options.stdio;
        streams->toStdout = options.toStdout;
        if (!streams->folder.isValid()) {
            return inputError(options, QStringLiteral("cannot create a temporary folder: ") +
                                           streams->folder.errorString());
        }
        (void)keepToOwner(streams->folder.path());
        streams->input = options.inputs.front();
    }
    if (options.stdio) {
        streams->input = streams->folder.filePath(stdinType == vellora::PictureType::Jpeg
                                                      ? QStringLiteral("stdin.jpg")
                                                      : QStringLiteral("stdin.bmp"));
        // Written by the descriptor: QFile says "Unknown error" of a short write, where a
        // full disk or a file-size limit has a name the user can act on. The mode of any
        // new file (the private folder keeps it from others): a result takes its input's
        // permissions, and a stream's result should get a new file's.
        QString error;
        vellora::UniqueFd spool(::open(QFile::encodeName(streams->input).constData(),
                                       O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        if (!spool) {
            error = QString::fromLocal8Bit(std::strerror(errno));
        } else {
            vellora::letOwnerReadAndWrite(spool.get());  // read back by name later
            if (writeAllTo(spool.get(), stdinBytes, error) && !spool.close()) {
                error = QString::fromLocal8Bit(std::strerror(errno));
            }
        }
        if (!error.isEmpty()) {
            return inputError(options, QStringLiteral("cannot keep the picture: ") + error);
        }
        stdinBytes.clear();  // the spooled copy is the input now
        options.inputs = QStringList{streams->input};
        options.preserveTimes = false;  // a stream has no times to keep
    }
    if (options.toStdout) {
        options.output = streams->folder.filePath(QStringLiteral("result.jpg"));
        options.preserveTimes = false;  // nor has stdout
    }

    BatchPlan plan = planBatch(options);
    if (!plan.usageError.isEmpty()) {
        return usageError(plan.usageError);
    }
    if (const QString problem = losslessUsageProblem(options, plan); !problem.isEmpty()) {
        return usageError(problem);
    }

    std::optional<vellora::ImageLibrary> installedLibrary;
    vellora::ImageLibrary& library = loadImageLibrary(installedLibrary, plan);

    if (!options.dryRun) {  // a dry run changes nothing on disk, litter included
        removeAbandonedScratchFiles(plan.tasks);
    }
    const EncodeSettings settings = encodeSettings(options);
    // With a stream, stdout carries (or may carry) the picture, so --json goes to stderr.
    Reporter reporter(reporterSettings(options), plan.tasks.size(), streams ? stderr : stdout,
                      stderr);
    const BatchRun run = runBatch(
        plan.tasks, options.jobs,
        [&](const FileTask& task) {
            FileResult result = runFileJob(task, settings, library, g_stop);
            if (streams) {
                finishStreams(*streams, task, options.dryRun, result);
            }
            return result;
        },
        [&](std::size_t index, const FileResult& result) { reporter.fileDone(index, result); },
        g_stop);
    reporter.finish(run.notStarted);

    if (g_signal != 0) {
        // Clean up what would outlive raise(): the private directory may hold a copy of
        // the picture. Then end the way an interrupted program is expected to.
        vellora::removePrivateDirectory();
        std::fflush(nullptr);
        std::signal(g_signal, SIG_DFL);
        std::raise(g_signal);
    }
    return withReportChecked(reporter.totals().failed > 0 ? kExitFailure : 0,
                             streams && options.json);
}
