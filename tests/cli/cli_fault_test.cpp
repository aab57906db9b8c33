// vellora-cli when the machine misbehaves: killed with SIGKILL at any moment, and
// writes that fail part-way (a file-size limit, as a disk filling up would). Whatever
// happens, an output is either the complete picture or absent, a replaced file is
// either the old or the new one, and a later run leaves no scratch file behind.

#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <random>

#include "cli/scratch_sweep.h"
#include "cli_test_support.h"

namespace vellora::test {
namespace {

using cli::scratchFileOwner;
using cli::sweepAbandonedScratchFiles;

const QString kProgram = QStringLiteral(VELLORA_BIN_DIR "/vellora-cli");

class CliFaults : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_dir.isValid()); }
    QString path(const QString& name) const { return m_dir.filePath(name); }

    // The files of `folder` (hidden ones too) with their bytes.
    static std::map<QString, QByteArray> contents(const QString& folder) {
        std::map<QString, QByteArray> files;
        const QDir directory(folder);
        for (const QString& name : directory.entryList(QDir::Files | QDir::Hidden)) {
            files[name] = readBytes(directory.filePath(name));
        }
        return files;
    }

    QTemporaryDir m_dir;
};

TEST_F(CliFaults, KilledAtRandomMomentsLeavesOnlyWholeFilesAndTheNextRunNoLitter) {
    ASSERT_TRUE(QDir(m_dir.path()).mkdir(QStringLiteral("in")));
    for (int i = 1; i <= 8; ++i) {
        ASSERT_TRUE(writeJpeg(path(QStringLiteral("in/p%1.jpg").arg(i)), photo(480, 320, i), 95));
    }
    const QStringList batch = {QStringLiteral("-j"), QStringLiteral("2"), QStringLiteral("--force"),
                               QStringLiteral("-d")};
    // The reference: one undisturbed run. The encoder is deterministic, so every output
    // a later run completes has exactly these bytes.
    QElapsedTimer clock;
    clock.start();
    const CliRun reference =
        runCli(batch + QStringList{QStringLiteral("ref"), QStringLiteral("in")}, m_dir.path());
    const qint64 runMs = std::max<qint64>(clock.elapsed(), 50);
    ASSERT_EQ(reference.exitCode, 0) << reference.err.toStdString();
    const auto expected = contents(path(QStringLiteral("ref")));
    ASSERT_EQ(expected.size(), 8U);

    const unsigned seed = std::random_device{}();
    std::mt19937 random(seed);
    std::uniform_int_distribution<qint64> moment(0, runMs);
    int killedWhileRunning = 0;
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE("seed " + std::to_string(seed) + ", round " + std::to_string(round));
        QProcess process;
        process.setWorkingDirectory(m_dir.path());
        process.start(kProgram, batch + QStringList{QStringLiteral("out"), QStringLiteral("in")});
        ASSERT_TRUE(process.waitForStarted(30000));
        QThread::msleep(static_cast<unsigned long>(moment(random)));
        if (stillRunning(process)) {
            ++killedWhileRunning;
        }
        process.kill();  // SIGKILL: no handler, no clean-up
        // (A run found ended above is no longer waited for.)
        ASSERT_TRUE(process.state() == QProcess::NotRunning || process.waitForFinished(30000));

        // Right after the kill: every output is whole; anything else is a scratch file
        // with a name the next run recognises.
        for (const auto& [name, bytes] : contents(path(QStringLiteral("out")))) {
            if (scratchFileOwner(name)) {
                continue;
            }
            ASSERT_TRUE(expected.count(name)) << "unexpected file " << name.toStdString();
            EXPECT_EQ(bytes, expected.at(name)) << name.toStdString() << " is not whole";
        }

        // The next run completes the batch and removes the killed run's scratch files.
        const CliRun next =
            runCli(batch + QStringList{QStringLiteral("out"), QStringLiteral("in")}, m_dir.path());
        ASSERT_EQ(next.exitCode, 0) << next.err.toStdString();
        EXPECT_EQ(contents(path(QStringLiteral("out"))), expected);
    }
    // Most kills must land while the batch runs, or the test proves little.
    EXPECT_GE(killedWhileRunning, 10);
}

// Runs vellora-cli with its file size limited to `bytes`.
CliRun runLimited(const QStringList& arguments, const QString& folder, qint64 bytes,
                  const QByteArray& input = {}) {
    const QString prlimit = QStandardPaths::findExecutable(QStringLiteral("prlimit"));
    if (prlimit.isEmpty()) {
        return {};
    }
    return runCli(QStringList{QStringLiteral("--fsize=%1").arg(bytes), kProgram} + arguments,
                  folder, prlimit, input);
}

struct LimitCase {
    const char* name;
    bool existing;  // an older output is there to be replaced
    bool inPlace;
    bool fromStdin = false;  // the picture comes through a pipe (kept in a file first)
};

class CliFileSizeLimit : public CliFaults, public testing::WithParamInterface<LimitCase> {};

TEST_P(CliFileSizeLimit, AWriteThatFailsHalfWayLeavesTheOldFileAndNoScratchFile) {
    if (QStandardPaths::findExecutable(QStringLiteral("prlimit")).isEmpty()) {
        GTEST_SKIP() << "prlimit (util-linux) is not installed: no way to limit file sizes";
    }
    const LimitCase& item = GetParam();
    // A noisy picture: its JPEG is far larger than the 16 KiB limit.
    QImage noise(400, 300, QImage::Format_RGB32);
    std::uint32_t state = 11;
    for (int y = 0; y < noise.height(); ++y) {
        for (int x = 0; x < noise.width(); ++x) {
            state = state * 1664525U + 1013904223U;
            noise.setPixel(x, y, state >> 8);
        }
    }
    ASSERT_TRUE(writeJpeg(path(QStringLiteral("in.jpg")), noise, 100));
    QStringList arguments{QStringLiteral("--keep-larger")};
    QByteArray input;
    if (item.fromStdin) {
        input = readBytes(path(QStringLiteral("in.jpg")));
        arguments << QStringLiteral("-") << QStringLiteral("-o") << QStringLiteral("out.jpg");
    } else if (item.inPlace) {
        arguments << QStringLiteral("--in-place") << QStringLiteral("in.jpg");
    } else {
        if (item.existing) {
            ASSERT_TRUE(writeBytes(path(QStringLiteral("out.jpg")), QByteArray(4000, 'o')));
            arguments << QStringLiteral("--force");
        }
        arguments << QStringLiteral("-o") << QStringLiteral("out.jpg") << QStringLiteral("in.jpg");
    }
    const auto before = contents(m_dir.path());
    const CliRun run = runLimited(arguments, m_dir.path(), 16 * 1024, input);
    EXPECT_EQ(run.exitCode, 1) << run.err.toStdString();
    EXPECT_TRUE(run.err.contains("File too large")) << run.err.toStdString();
    EXPECT_EQ(contents(m_dir.path()), before);  // byte-identical, nothing added
}

INSTANTIATE_TEST_SUITE_P(Cases, CliFileSizeLimit,
                         testing::Values(LimitCase{"NewOutput", false, false},
                                         LimitCase{"ReplacedOutput", true, false},
                                         LimitCase{"InPlace", false, true},
                                         LimitCase{"Stdin", false, false, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ScratchNames, OnlyOurScratchNamesCarryAnOwner) {
    EXPECT_EQ(scratchFileOwner(QStringLiteral(".out.jpg.4242-0-00ab3f.vellora-tmp")), 4242);
    EXPECT_EQ(
        scratchFileOwner(QStringLiteral("..out.jpg.4242-0-00ab3f.vellora-tmp.4242-3-0123abcd.tmp")),
        4242);
    EXPECT_FALSE(scratchFileOwner(QStringLiteral("out.jpg")));
    EXPECT_FALSE(scratchFileOwner(QStringLiteral(".out.jpg.tmp")));
    EXPECT_FALSE(scratchFileOwner(QStringLiteral(".out.jpg.4242-0-00ab3f.vellora-tmp.bak")));
    EXPECT_FALSE(scratchFileOwner(QStringLiteral("photo.4242-0-00ab3f.vellora-tmp")));
}

TEST_F(CliFaults, TheSweepSparesRunningProcessesAndOtherNames) {
    // A scratch file of this (running) test process, one of a process that cannot
    // exist, and a user's file that merely looks alike.
    const QString live = QStringLiteral(".a.jpg.%1-0-abcdef.vellora-tmp").arg(::getpid());
    const QString dead = QStringLiteral(".a.jpg.2147483646-0-abcdef.vellora-tmp");
    const QString user = QStringLiteral(".a.jpg.vellora-tmp");
    for (const QString& name : {live, dead, user}) {
        ASSERT_TRUE(writeBytes(path(name), "x"));
    }
    EXPECT_EQ(sweepAbandonedScratchFiles({m_dir.path()}), 1);
    EXPECT_TRUE(QFile::exists(path(live)));
    EXPECT_FALSE(QFile::exists(path(dead)));
    EXPECT_TRUE(QFile::exists(path(user)));
}

// Started without some of its standard streams (`<&- >&-`), the program must not let
// its own files take their numbers: the report would be written into them and the
// run end 0 with nothing reported.
struct ClosedStreamsCase {
    const char* name;
    bool closeStdin;
    QStringList arguments;
    const char* error;
};

class CliClosedStreams : public CliFaults, public testing::WithParamInterface<ClosedStreamsCase> {};

TEST_P(CliClosedStreams, AMissingStreamFailsLoudlyAndTouchesNoFile) {
    const ClosedStreamsCase& item = GetParam();
    ASSERT_TRUE(writeJpeg(path(QStringLiteral("a.jpg")), photo(64, 48)));
    const auto before = contents(m_dir.path());
    QProcess process;
    process.setProgram(kProgram);
    process.setArguments(item.arguments);
    process.setWorkingDirectory(m_dir.path());
    const bool closeStdin = item.closeStdin;
    process.setChildProcessModifier([closeStdin] {
        if (closeStdin) {
            ::close(STDIN_FILENO);
        }
        ::close(STDOUT_FILENO);
    });
    process.start();
    const CliRun run = waitForRun(process);
    EXPECT_EQ(run.exitCode, 1) << run.err.toStdString();
    EXPECT_TRUE(run.err.contains(item.error)) << run.err.toStdString();
    EXPECT_EQ(contents(m_dir.path()), before);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CliClosedStreams,
    testing::Values(
        ClosedStreamsCase{"JsonReport",
                          true,
                          {QStringLiteral("--json"), QStringLiteral("-n"), QStringLiteral("a.jpg")},
                          "cannot write to stdout"},
        ClosedStreamsCase{"PictureToStdout",
                          true,
                          {QStringLiteral("-o"), QStringLiteral("-"), QStringLiteral("a.jpg")},
                          "cannot write to stdout"},
        ClosedStreamsCase{"PictureFromStdin",
                          true,
                          {QStringLiteral("-"), QStringLiteral("-o"), QStringLiteral("b.jpg")},
                          "Bad file descriptor"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CliFaults, ABrokenPerUserLibraryCopyGivesWayToTheInstalledOne) {
    // Before, every file failed on it until the windows were started to remove it.
    const QString modules = path(QStringLiteral("data/vellora/modules"));
    ASSERT_TRUE(QDir().mkpath(modules));
    ASSERT_TRUE(writeBytes(modules + QStringLiteral("/imgdll.so"), "not a library"));
    ASSERT_TRUE(writeJpeg(path(QStringLiteral("a.jpg")), photo(64, 48)));
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_DATA_HOME"), path(QStringLiteral("data")));
    process.setProcessEnvironment(environment);
    process.setProgram(kProgram);
    process.setArguments({QStringLiteral("-o"), QStringLiteral("b.jpg"), QStringLiteral("a.jpg")});
    process.setWorkingDirectory(m_dir.path());
    process.start();
    const CliRun run = waitForRun(process);
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_TRUE(run.err.contains("warning: cannot load the image library"))
        << run.err.toStdString();
    EXPECT_TRUE(QFile::exists(path(QStringLiteral("b.jpg"))));
    EXPECT_TRUE(QFile::exists(modules + QStringLiteral("/imgdll.so")));  // the user's file
}

}  // namespace
}  // namespace vellora::test
