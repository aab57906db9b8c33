// The directory helpers keep the kernel calls' buffer and flag rules.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <cstdio>
#include <cstdlib>

#include "platform/paths.h"
#include "support/test_support.h"

namespace vellora {
namespace {

struct SystemDirCase {
    const char* reported;
    std::int16_t flag;
    const char* expected;
};

class SystemDirTest : public testing::TestWithParam<SystemDirCase> {};

TEST_P(SystemDirTest, FlagSetsTheTrailingSeparator) {
    test::RecordingPlatform platform;
    platform.systemDir = GetParam().reported;
    EXPECT_EQ(GetSystemDir(GetParam().flag).toStdString(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Flags, SystemDirTest,
    testing::Values(SystemDirCase{"/usr/lib/vellora", -1, "/usr/lib/vellora/"},
                    SystemDirCase{"/usr/lib/vellora", 0, "/usr/lib/vellora"},
                    SystemDirCase{"/usr/lib/vellora", 1, "/usr/lib/vellora"},
                    SystemDirCase{"/usr/lib/vellora/", 0, "/usr/lib/vellora"},
                    SystemDirCase{"/usr/lib/vellora/", -1, "/usr/lib/vellora/"},
                    SystemDirCase{"/usr/lib/vellora/", 7, "/usr/lib/vellora/"},
                    // a root directory: flag 0 drops its only separator, -1 leaves it
                    SystemDirCase{"/", 0, ""}, SystemDirCase{"/", -1, "/"},
                    // the call failed: start from nothing
                    SystemDirCase{"", -1, "/"}, SystemDirCase{"", 0, ""},
                    SystemDirCase{"", 1, ""}));

TEST(SystemDir, APathThatDoesNotFitTheBufferGivesNothing) {
    test::RecordingPlatform platform;
    platform.systemDir = "/" + std::string(254, 'd');  // 255 characters: no room for NUL
    EXPECT_EQ(GetSystemDir(1), QString());
    platform.systemDir = "/" + std::string(253, 'd');
    EXPECT_EQ(GetSystemDir(1).size(), 254);
}

TEST(WindowsDir, ReturnsWhatFitsThe145CharacterBuffer) {
    test::RecordingPlatform platform;
    const struct {
        std::size_t length;
        bool whole;
    } cases[] = {{1, true}, {143, true}, {144, true}, {145, false}, {300, false}};
    for (const auto& c : cases) {
        platform.windowsDir = "/" + std::string(c.length - 1, 'w');
        const QString directory = GetWindowsDir();
        EXPECT_EQ(directory.size(), c.whole ? static_cast<qsizetype>(c.length) : 0) << c.length;
    }
    platform.windowsDir.clear();
    EXPECT_EQ(GetWindowsDir(), QString());
}

TEST(WorkingFile, LivesInThePrivateDirectoryAndNeverAtTheRoot) {
    test::RecordingPlatform platform;
    platform.windowsDir = "/tmp/vellora-abc";
    EXPECT_EQ(WorkingFile(), QStringLiteral("/tmp/vellora-abc/winpcdll"));
    platform.windowsDir.clear();
    EXPECT_EQ(WorkingFile(), QString());
}

TEST(ShellOpen, HandsTheTargetToTheDesktop) {
    test::RecordingPlatform platform;
    ShellOpen(nullptr, QStringLiteral("https://example.org/help"), 1);
    ASSERT_EQ(platform.shellTargets.size(), 1U);
    EXPECT_EQ(platform.shellTargets[0], "https://example.org/help");
}

TEST(RealPlatform, PrivateDirectoryIsMadeOnceAndIsWritable) {
    // No test platform installed: the real one.
    const QString first = GetWindowsDir();
    ASSERT_FALSE(first.isEmpty());
    EXPECT_EQ(GetWindowsDir(), first);
    EXPECT_TRUE(QFileInfo(first).isDir());
    EXPECT_TRUE(QFileInfo(first).isWritable());
    removePrivateDirectory();
    EXPECT_FALSE(QFileInfo::exists(first));

    // Removed under the program by a cleaner of the temporary folder: every pass failed
    // to write its result until the program was started again. Another folder made under
    // the name since is not ours to touch.
    const QString made = GetWindowsDir();
    ASSERT_FALSE(made.isEmpty());
    const auto lockIn = [](const QString& folder) {
        return folder + QLatin1Char('/') + QString::fromLatin1(kInstanceLockName);
    };
    ASSERT_TRUE(QDir(made).removeRecursively());
    ASSERT_TRUE(QDir().mkdir(made));
    QFile other(made + QStringLiteral("/theirs"));
    ASSERT_TRUE(other.open(QIODevice::WriteOnly));
    other.close();
    const QString again = GetWindowsDir();
    ASSERT_FALSE(again.isEmpty());
    EXPECT_NE(again, made);
    EXPECT_TRUE(QFileInfo(again).isWritable());
    EXPECT_TRUE(QFileInfo::exists(lockIn(again)));
    EXPECT_TRUE(QFileInfo::exists(other.fileName()));

    // Only its lock file removed (an age-based cleaner takes the oldest file): the folder
    // and the result in it stay in use, and go at the end. The other folder stays.
    QFile result(WorkingFile());
    ASSERT_TRUE(result.open(QIODevice::WriteOnly));
    result.close();
    ASSERT_TRUE(QFile::remove(lockIn(again)));
    EXPECT_EQ(GetWindowsDir(), again);
    EXPECT_TRUE(QFileInfo::exists(result.fileName()));
    EXPECT_TRUE(QFileInfo::exists(lockIn(again)));  // a later start can clear it
    removePrivateDirectory();
    EXPECT_FALSE(QFileInfo::exists(again));
    EXPECT_TRUE(QFileInfo::exists(other.fileName()));
    ASSERT_TRUE(QDir(made).removeRecursively());

    // Nor does the end remove a folder made under the name of ours, gone.
    const QString last = GetWindowsDir();
    ASSERT_TRUE(QDir(last).removeRecursively());
    ASSERT_TRUE(QDir().mkdir(last));
    removePrivateDirectory();
    EXPECT_TRUE(QFileInfo(last).isDir());
    ASSERT_TRUE(QDir(last).removeRecursively());
}

// Ending the program at once still removes the private directory and the working file
// in it. Runs in a child (this test program again), since the real end exits.
TEST(RealPlatform, EndingAtOnceRemovesThePrivateDirectory) {
    if (qEnvironmentVariableIsSet("VELLORA_END_CHILD")) {
        const QString directory = GetWindowsDir();
        QFile file(WorkingFile());
        if (directory.isEmpty() || !file.open(QIODevice::WriteOnly)) {
            std::_Exit(3);
        }
        file.write("jpeg");
        file.close();
        std::printf("%s\n", qPrintable(directory));
        std::fflush(stdout);
        currentPlatform().endProgram();
        std::_Exit(4);  // not reached
    }
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("VELLORA_END_CHILD"), QStringLiteral("1"));
    child.setProcessEnvironment(environment);
    child.start(
        QCoreApplication::applicationFilePath(),
        {QStringLiteral("--gtest_filter=RealPlatform.EndingAtOnceRemovesThePrivateDirectory")});
    ASSERT_TRUE(child.waitForFinished(60000));
    EXPECT_EQ(child.exitCode(), 0);
    QString directory;
    for (const QString& line : QString::fromLocal8Bit(child.readAllStandardOutput()).split('\n')) {
        if (line.startsWith(QLatin1Char('/'))) {
            directory = line.trimmed();
        }
    }
    ASSERT_FALSE(directory.isEmpty());
    EXPECT_TRUE(directory.contains(QLatin1String("vellora-")));
    EXPECT_FALSE(QFileInfo::exists(directory));
}

}  // namespace
}  // namespace vellora
