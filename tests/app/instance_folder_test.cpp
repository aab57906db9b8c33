// Each running program keeps a private folder (with its working file) in the temporary
// folder. These tests run the real program, several at once, and kill some of them:
// a live instance's folder is never touched by another, and what a killed instance
// left behind is gone after the next start. Also the per-user module override folder.

#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <gtest/gtest.h>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>

#include "platform/paths.h"
#include "platform/platform.h"
#include "support/test_support.h"

namespace vellora {
namespace {

// ---------------------------------------------------------------------------
// The override folder of the real platform

class EnvironmentVariable {
public:
    explicit EnvironmentVariable(const char* name) : m_name(name) {
        if (const char* value = std::getenv(name)) {
            m_saved = value;
        }
    }
    ~EnvironmentVariable() {
        if (m_saved) {
            ::setenv(m_name, m_saved->c_str(), 1);
        } else {
            ::unsetenv(m_name);
        }
    }
    void set(const char* value) {
        if (value) {
            ::setenv(m_name, value, 1);
        } else {
            ::unsetenv(m_name);
        }
    }

private:
    const char* m_name;
    std::optional<std::string> m_saved;
};

struct OverrideCase {
    const char* dataHome;  // nullptr: unset
    const char* home;
    const char* expected;
};

class OverrideFolder : public testing::TestWithParam<OverrideCase> {};

TEST_P(OverrideFolder, FollowsTheDataHome) {
    EnvironmentVariable dataHome("XDG_DATA_HOME");
    EnvironmentVariable home("HOME");
    dataHome.set(GetParam().dataHome);
    home.set(GetParam().home);
    EXPECT_EQ(GetSystemDir(0).toStdString(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OverrideFolder,
    testing::Values(OverrideCase{"/data", "/home/u", "/data/vellora/modules"},
                    OverrideCase{nullptr, "/home/u", "/home/u/.local/share/vellora/modules"},
                    // a relative data home is ignored, as the XDG rules say
                    OverrideCase{"rel/data", "/home/u", "/home/u/.local/share/vellora/modules"},
                    OverrideCase{nullptr, nullptr, ""}));

TEST(InstalledModuleFolder, IsTheBuildsModuleFolder) {
    // This test program sits in bin/, like the program: the module folder is
    // ../lib/vellora from there.
    EXPECT_EQ(QFileInfo(InstalledModuleDir()).canonicalFilePath(),
              QFileInfo(QStringLiteral(VELLORA_MODULE_BUILD_DIR)).canonicalFilePath());
}

// ---------------------------------------------------------------------------
// Real instances

const QString kProgram = QStringLiteral(VELLORA_BIN_DIR "/vellora");

bool waitFor(const std::function<bool()>& condition, int milliseconds = 30000) {
    QDeadlineTimer deadline(milliseconds);
    while (!condition()) {
        if (deadline.hasExpired()) {
            return false;
        }
        QThread::msleep(20);
    }
    return true;
}

class Instances : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_temp.isValid());
        ASSERT_TRUE(QDir().mkpath(m_temp.filePath(QStringLiteral("data"))));
    }

    void TearDown() override {
        for (auto& process : m_processes) {
            if (process->state() != QProcess::NotRunning) {
                process->kill();
                process->waitForFinished(10000);
            }
        }
    }

    // Starts the program with this test's temporary folder (or `temporary`); returns its
    // private folder once it exists in `parent` (this test's temporary folder when
    // empty), or an empty string.
    QString start(QProcess*& started, const QStringList& arguments = {},
                  const QString& temporary = {}, const QString& parent = {},
                  const QString& program = kProgram) {
        auto process = std::make_unique<QProcess>();
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("TMPDIR"),
                           temporary.isEmpty() ? m_temp.path() : temporary);
        environment.insert(QStringLiteral("XDG_DATA_HOME"),
                           m_temp.filePath(QStringLiteral("data")));
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        process->setProcessEnvironment(environment);
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process->start(program, arguments);
        if (!process->waitForStarted(30000)) {
            return {};
        }
        const QString pid = QString::number(process->processId());
        QString folder;
        waitFor([&] {
            folder = folderOf(pid, parent.isEmpty() ? m_temp.path() : parent);
            return !folder.isEmpty();
        });
        started = process.get();
        m_processes.push_back(std::move(process));
        return folder;
    }

    // The private folder in `parent` whose lock file names the process `pid`.
    QString folderOf(const QString& pid, const QString& parent) const {
        for (const QString& name : privateFolders(parent)) {
            const QString folder = QDir(parent).filePath(name);
            QFile lock(folder + QLatin1Char('/') + QString::fromLatin1(kInstanceLockName));
            if (lock.open(QIODevice::ReadOnly) && lock.readAll().trimmed() == pid.toLatin1()) {
                return folder;
            }
        }
        return {};
    }

    QStringList privateFolders(const QString& parent = {}) const {
        return QDir(parent.isEmpty() ? m_temp.path() : parent)
            .entryList({QStringLiteral("vellora-*")}, QDir::Dirs | QDir::NoDotAndDotDot);
    }

    static void endOrderly(QProcess* process) {
        ::kill(static_cast<pid_t>(process->processId()), SIGTERM);
        EXPECT_TRUE(process->waitForFinished(30000));
    }

    static void writeWorkingFile(const QString& folder, const QByteArray& bytes) {
        QFile file(folder + QStringLiteral("/winpcdll"));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }

    static QByteArray workingFile(const QString& folder) {
        QFile file(folder + QStringLiteral("/winpcdll"));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    QTemporaryDir m_temp;
    std::vector<std::unique_ptr<QProcess>> m_processes;
};

TEST_F(Instances, ClosingOneLeavesTheOthersWorkingFileIntact) {
    // Each instance opens a picture given on its command line, which runs a pass and
    // leaves that instance's working file (the re-encoded picture) in its folder.
    const QString picture = m_temp.filePath(QStringLiteral("photo.jpg"));
    ASSERT_TRUE(QFile::copy(test::testData(QStringLiteral("bad/jpeg/ljt-testimages/testorig.jpg")),
                            picture));
    QProcess* first = nullptr;
    QProcess* second = nullptr;
    const QString firstFolder = start(first, {picture});
    const QString secondFolder = start(second, {picture});
    ASSERT_FALSE(firstFolder.isEmpty());
    ASSERT_FALSE(secondFolder.isEmpty());
    ASSERT_NE(firstFolder, secondFolder);
    ASSERT_TRUE(waitFor([&] { return workingFile(firstFolder).size() > 0; }));
    ASSERT_TRUE(waitFor([&] { return workingFile(secondFolder).size() > 0; }));
    const QByteArray secondsPicture = workingFile(secondFolder);
    EXPECT_TRUE(secondsPicture.startsWith("\xFF\xD8"));  // a JPEG

    endOrderly(first);
    EXPECT_FALSE(QFileInfo::exists(firstFolder));
    EXPECT_EQ(workingFile(secondFolder), secondsPicture);

    // A third start clears abandoned folders: the second's is in use and stays.
    QProcess* third = nullptr;
    ASSERT_FALSE(start(third).isEmpty());
    EXPECT_EQ(workingFile(secondFolder), secondsPicture);
    endOrderly(second);
    endOrderly(third);
    EXPECT_TRUE(privateFolders().isEmpty()) << privateFolders().join(' ').toStdString();
}

TEST_F(Instances, AKilledInstancesFolderIsGoneAfterTheNextStart) {
    QProcess* killed = nullptr;
    const QString killedFolder = start(killed);
    ASSERT_FALSE(killedFolder.isEmpty());
    writeWorkingFile(killedFolder, "left behind");
    killed->kill();  // SIGKILL: no clean-up runs
    ASSERT_TRUE(killed->waitForFinished(30000));
    ASSERT_TRUE(QFileInfo::exists(killedFolder + QStringLiteral("/winpcdll")));

    // Lookalikes that are not an abandoned instance's folder stay: files but no lock
    // file, or a symbolic link.
    const QString foreign = m_temp.filePath(QStringLiteral("vellora-foreig"));
    ASSERT_TRUE(QDir().mkpath(foreign));
    writeWorkingFile(foreign, "not ours");
    const QString link = m_temp.filePath(QStringLiteral("vellora-linked"));
    ASSERT_TRUE(QFile::link(killedFolder, link));

    // What an instance killed while it made its folder, or while one removed it, leaves:
    // the folder under its making name, empty or with an unlocked lock file under the
    // scratch name; the folder under its removing name, with whatever was not removed
    // yet. All go. One whose scratch lock is held is being made right now, and an empty
    // one under the final name may be the user's own: both stay.
    const QString scratchLock = QString::fromLatin1(kInstanceLockName) + QStringLiteral(".new");
    const QString empty = m_temp.filePath(QStringLiteral("vellora-emptyy"));
    const QString unlocked = m_temp.filePath(QStringLiteral("vellora-making-unlock"));
    const QString emptyMaking = m_temp.filePath(QStringLiteral("vellora-making-emptyy"));
    const QString removing = m_temp.filePath(QStringLiteral("vellora-removing-halfwy"));
    const QString beingMade = m_temp.filePath(QStringLiteral("vellora-making-making"));
    for (const QString& folder : {empty, unlocked, emptyMaking, removing, beingMade}) {
        ASSERT_TRUE(QDir().mkpath(folder));
    }
    writeWorkingFile(removing, "half removed");
    QFile unlockedLock(unlocked + QLatin1Char('/') + scratchLock);
    ASSERT_TRUE(unlockedLock.open(QIODevice::WriteOnly));
    unlockedLock.close();
    QFile heldLock(beingMade + QLatin1Char('/') + scratchLock);
    ASSERT_TRUE(heldLock.open(QIODevice::WriteOnly));
    ASSERT_EQ(::flock(heldLock.handle(), LOCK_EX | LOCK_NB), 0);

    QProcess* next = nullptr;
    const QString nextFolder = start(next);
    ASSERT_FALSE(nextFolder.isEmpty());
    EXPECT_FALSE(QFileInfo::exists(killedFolder));
    EXPECT_EQ(workingFile(foreign), "not ours");
    EXPECT_TRUE(QFileInfo(link).isSymLink());
    EXPECT_TRUE(QFileInfo::exists(empty));
    EXPECT_FALSE(QFileInfo::exists(unlocked));
    EXPECT_FALSE(QFileInfo::exists(emptyMaking));
    EXPECT_FALSE(QFileInfo::exists(removing));
    EXPECT_TRUE(QFileInfo::exists(heldLock.fileName()));
    endOrderly(next);
    EXPECT_FALSE(QFileInfo::exists(nextFolder));
}

TEST_F(Instances, AnUnusableTemporaryFolderFallsBackToTmp) {
    // A TMPDIR so deep that the private folder's path would not fit the program's
    // buffer left it with no working file ("You must open an image file first" after an
    // open that worked); one that does not exist put the folder at the file-system root.
    const QString picture = m_temp.filePath(QStringLiteral("photo.jpg"));
    ASSERT_TRUE(QFile::copy(test::testData(QStringLiteral("bad/jpeg/ljt-testimages/testorig.jpg")),
                            picture));
    const QString deep = m_temp.filePath(QString(130, QLatin1Char('d')));
    ASSERT_TRUE(QDir().mkpath(deep));
    const QString file = m_temp.filePath(QStringLiteral("a-file"));
    ASSERT_TRUE(QFile::copy(picture, file));
    // /proc: root passes every look at it, and then makes no folder there.
    for (const QString& temporary :
         {deep, m_temp.filePath(QStringLiteral("missing")), file, QStringLiteral("/proc")}) {
        SCOPED_TRACE(temporary.toStdString());
        QProcess* process = nullptr;
        const QString folder = start(process, {picture}, temporary, QStringLiteral("/tmp"));
        ASSERT_FALSE(folder.isEmpty());
        EXPECT_TRUE(waitFor([&] { return workingFile(folder).size() > 0; }));
        endOrderly(process);
        EXPECT_FALSE(QFileInfo::exists(folder));
    }
}

TEST_F(Instances, AFileSizeLimitFailsTheWriteInsteadOfKillingTheProgram) {
    // Under ulimit -f the working file's write raised SIGXFSZ, whose default ends the
    // program; the window must stay up and the write fail as on a full disk.
    const QString prlimit = QStandardPaths::findExecutable(QStringLiteral("prlimit"));
    if (prlimit.isEmpty()) {
        GTEST_SKIP() << "prlimit (util-linux) is not installed: no way to limit file sizes";
    }
    const QString picture = m_temp.filePath(QStringLiteral("photo.jpg"));
    ASSERT_TRUE(QFile::copy(test::testData(QStringLiteral("photos/Kite.jpg")), picture));
    QProcess* process = nullptr;
    // prlimit runs the program in its own place: the same process id.
    const QString folder =
        start(process, {QStringLiteral("--fsize=4096"), QStringLiteral("--"), kProgram, picture},
              {}, {}, prlimit);
    ASSERT_FALSE(folder.isEmpty());
    EXPECT_FALSE(process->waitForFinished(5000)) << "ended with " << process->exitCode();
    EXPECT_EQ(process->exitStatus(), QProcess::NormalExit);
    if (process->state() != QProcess::NotRunning) {
        endOrderly(process);
        EXPECT_FALSE(QFileInfo::exists(folder));
    }
}

}  // namespace
}  // namespace vellora
