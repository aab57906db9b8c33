// Save As against a folder the user may not write to, and onto a full file system. Both
// need another process: the permission case runs as an unprivileged user (as root every
// permission check passes), the full disk is a tiny tmpfs in a private mount namespace.
// The parent test prepares the folder and starts this same test program again, filtered
// to SaveAsChild.Run, which does the Save As and checks what it sees.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>

#include "app/click_slider.h"
#include "gui_fixture.h"

namespace vellora {
namespace {

constexpr const char* kChildVariable = "VELLORA_SAVE_CHILD";

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QImage noise(int width, int height) {
    QImage image(width, height, QImage::Format_RGB32);
    std::uint32_t seed = 7;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            seed = seed * 1664525U + 1013904223U;
            image.setPixel(x, y, seed >> 8);
        }
    }
    return image;
}

// Runs this test program again as `prefix...` with the child test selected, and its
// temporary folder in `temporary` when given.
int runChild(const QStringList& prefix, const QString& mode, const QString& folder,
             const QString& temporary = {}) {
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (!temporary.isEmpty()) {
        environment.insert(QStringLiteral("TMPDIR"), temporary);
    }
    environment.insert(QString::fromLatin1(kChildVariable), mode + QLatin1Char(':') + folder);
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    QStringList arguments = prefix.mid(1);
    arguments << QCoreApplication::applicationFilePath()
              << QStringLiteral("--gtest_filter=SaveAsChild.Run");
    child.start(prefix.first(), arguments);
    if (!child.waitForFinished(120000)) {
        child.kill();
        return -1;
    }
    return child.exitStatus() == QProcess::NormalExit ? child.exitCode() : -1;
}

class SaveAsIsolation : public testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "needs root to drop privileges or mount a tmpfs";
        }
        ASSERT_TRUE(m_dir.isValid());
        // The unprivileged child must reach the folder and read the source.
        QFile::setPermissions(m_dir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                                QFileDevice::ExeOther | QFileDevice::ReadGroup |
                                                QFileDevice::ExeGroup);
    }
    // Why the child cannot run as nobody here (setpriv missing, or the build or this
    // folder out of its reach); empty when it can.
    [[nodiscard]] QString unprivilegedRunProblem() const {
        return test::unprivilegedAccessProblem(
            {QCoreApplication::applicationFilePath(), m_dir.path(),
             QStringLiteral(VELLORA_MODULE_BUILD_DIR "/imgdll.so")});
    }
    // A temporary folder the child running as nobody can use whatever this run's TMPDIR
    // is: a folder like /tmp, open to all, sticky.
    [[nodiscard]] QString sharedTemporaryFolder() const {
        const QString folder = m_dir.filePath(QStringLiteral("tmp"));
        QDir().mkpath(folder);
        (void)::chmod(QFile::encodeName(folder).constData(), 01777);
        return folder;
    }
    // The prefix that runs the child as nobody:nogroup with no other groups.
    [[nodiscard]] static QStringList asNobody() {
        return {QStandardPaths::findExecutable(QStringLiteral("setpriv")),
                QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                QStringLiteral("--clear-groups")};
    }
    QTemporaryDir m_dir;
};

TEST_F(SaveAsIsolation, UnwritableFolderLeavesTheOldFileAlone) {
    if (const QString problem = unprivilegedRunProblem(); !problem.isEmpty()) {
        GTEST_SKIP() << problem.toStdString();
    }
    ASSERT_TRUE(noise(96, 64).save(m_dir.filePath(QStringLiteral("source.jpg")), "JPEG", 90));
    QDir(m_dir.path()).mkdir(QStringLiteral("locked"));
    const QString old = m_dir.filePath(QStringLiteral("locked/old.jpg"));
    const QByteArray oldBytes("the picture that was there before");
    ASSERT_TRUE(writeFile(old, oldBytes));
    QFile::setPermissions(old, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                   QFileDevice::ReadOther | QFileDevice::ReadGroup);
    QFile::setPermissions(m_dir.filePath(QStringLiteral("locked")),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
                              QFileDevice::ReadOther | QFileDevice::ExeOther |
                              QFileDevice::ReadGroup | QFileDevice::ExeGroup);

    const int status =
        runChild(asNobody(), QStringLiteral("locked"), m_dir.path(), sharedTemporaryFolder());
    EXPECT_EQ(status, 0);
    EXPECT_EQ(readAll(old), oldBytes);
    EXPECT_EQ(QDir(m_dir.filePath(QStringLiteral("locked"))).entryList(QDir::Files | QDir::Hidden),
              QStringList{QStringLiteral("old.jpg")});
}

// Run as another user, Save As over root's file cannot give it back to root: the
// picture is saved all the same and the user is told whose it now is.
TEST_F(SaveAsIsolation, AnOwnerThatCannotBeKeptIsToldAfterTheSave) {
    if (const QString problem = unprivilegedRunProblem(); !problem.isEmpty()) {
        GTEST_SKIP() << problem.toStdString();
    }
    ASSERT_TRUE(noise(96, 64).save(m_dir.filePath(QStringLiteral("source.jpg")), "JPEG", 90));
    QDir(m_dir.path()).mkdir(QStringLiteral("shared"));
    QFile::setPermissions(m_dir.filePath(QStringLiteral("shared")),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
                              QFileDevice::ReadOther | QFileDevice::WriteOther |
                              QFileDevice::ExeOther | QFileDevice::ReadGroup |
                              QFileDevice::WriteGroup | QFileDevice::ExeGroup);
    const QString theirs = m_dir.filePath(QStringLiteral("shared/theirs.jpg"));
    ASSERT_TRUE(writeFile(theirs, "root's old picture"));
    // Root's, but anyone may write it (Save As never replaces a file its user may not).
    ASSERT_EQ(::chmod(QFile::encodeName(theirs).constData(), 0666), 0);

    const int status =
        runChild(asNobody(), QStringLiteral("owner"), m_dir.path(), sharedTemporaryFolder());
    EXPECT_EQ(status, 0);
    struct stat info {};
    ASSERT_EQ(::stat(QFile::encodeName(theirs).constData(), &info), 0);
    EXPECT_EQ(info.st_uid, 65534u);  // saved, by the user who could
    EXPECT_EQ(info.st_mode & 07777, 0666u);
    EXPECT_TRUE(readAll(theirs).startsWith("\xFF\xD8"));
}

TEST_F(SaveAsIsolation, FullDiskLeavesTheOldFileByteIdentical) {
    const QString unshare = QStandardPaths::findExecutable(QStringLiteral("unshare"));
    if (unshare.isEmpty()) {
        GTEST_SKIP() << "unshare is not installed";
    }
    ASSERT_TRUE(noise(320, 240).save(m_dir.filePath(QStringLiteral("source.jpg")), "JPEG", 95));
    const QString full = m_dir.filePath(QStringLiteral("full"));
    QDir(m_dir.path()).mkdir(QStringLiteral("full"));
    // The child mounts a 64 KiB tmpfs on `full` in its own mount namespace, then runs the
    // child test inside it.
    const QString script = QStringLiteral(
        "mount -t tmpfs -o size=64k vellora-full \"$1\" || exit 77; shift; exec \"$@\"");
    const int status =
        runChild({unshare, QStringLiteral("--mount"), QStringLiteral("--propagation"),
                  QStringLiteral("private"), QStringLiteral("sh"), QStringLiteral("-c"), script,
                  QStringLiteral("sh"), full},
                 QStringLiteral("full"), m_dir.path());
    if (status == 77) {
        GTEST_SKIP() << "a tmpfs cannot be mounted here";
    }
    EXPECT_EQ(status, 0);
}

// A file-size limit (RLIMIT_FSIZE) makes every write past 16 KiB fail, as a disk that
// fills up half-way would, without needing root: the child sets it once its working
// file is made, then tries Save As over an old file and a pass over the working file.
TEST(FileSizeLimit, FailedWritesLeaveTheWorkingFileAndTheOldFileByteIdentical) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    ASSERT_TRUE(noise(320, 240).save(dir.filePath(QStringLiteral("source.jpg")), "JPEG", 95));
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("limited")));
    const int status = runChild({QStringLiteral("env")}, QStringLiteral("fsize"), dir.path());
    EXPECT_EQ(status, 0);
}

// The child side: skipped unless started by one of the tests above.
class SaveAsChild : public test::GuiTest {
protected:
    void SetUp() override {
        const QString request = qEnvironmentVariable(kChildVariable);
        if (request.isEmpty()) {
            GTEST_SKIP() << "runs only as the child of SaveAsIsolation";
        }
        m_mode = request.section(QLatin1Char(':'), 0, 0);
        m_folder = request.section(QLatin1Char(':'), 1);
        GuiTest::SetUp();
    }
    QString m_mode;
    QString m_folder;
};

TEST_F(SaveAsChild, Run) {
    const QDir folder(m_folder);
    const QString source = folder.filePath(QStringLiteral("source.jpg"));
    if (m_mode == QLatin1String("locked")) {
        open(source);
        ASSERT_TRUE(m_ui.messages.empty());
        const QString old = folder.filePath(QStringLiteral("locked/old.jpg"));
        m_ui.answers.push_back(QMessageBox::Yes);
        saveAs(old);
        ASSERT_EQ(m_ui.messages.size(), 2U);  // the replace question, then the failure
        EXPECT_EQ(m_ui.messages[1].icon, MessageIcon::Exclamation);
        EXPECT_TRUE(m_ui.messages[1].text.contains(old));
        const QString fresh = folder.filePath(QStringLiteral("locked/new.jpg"));
        saveAs(fresh);
        ASSERT_EQ(m_ui.messages.size(), 3U);
        EXPECT_TRUE(m_ui.messages[2].text.contains(fresh));
        EXPECT_FALSE(QFile::exists(fresh));
    } else if (m_mode == QLatin1String("full")) {
        const QString old = folder.filePath(QStringLiteral("full/old.jpg"));
        const QByteArray oldBytes(24 * 1024, 'o');
        ASSERT_TRUE(writeFile(old, oldBytes));
        m_window->Slider1()->setValue(1);  // quality 100: far more than the space left
        open(source);
        ASSERT_TRUE(m_ui.messages.empty());
        ASSERT_GT(QFileInfo(working()).size(), 64 * 1024);
        m_ui.answers.push_back(QMessageBox::Yes);
        saveAs(old);
        ASSERT_EQ(m_ui.messages.size(), 2U);
        EXPECT_TRUE(m_ui.messages[1].text.contains(old));
        EXPECT_EQ(readAll(old), oldBytes);
        EXPECT_EQ(
            QDir(folder.filePath(QStringLiteral("full"))).entryList(QDir::Files | QDir::Hidden),
            QStringList{QStringLiteral("old.jpg")});
    } else if (m_mode == QLatin1String("fsize")) {
        m_window->Slider1()->setValue(1);  // quality 100: a working file far over 16 KiB
        open(folder.filePath(QStringLiteral("source.jpg")));
        ASSERT_TRUE(m_ui.messages.empty());
        const QByteArray workingBefore = readAll(working());
        ASSERT_GT(workingBefore.size(), 32 * 1024);
        const QString old = folder.filePath(QStringLiteral("limited/old.jpg"));
        const QByteArray oldBytes(8 * 1024, 'o');
        ASSERT_TRUE(writeFile(old, oldBytes));

        // From here every write stops at 16 KiB with EFBIG instead of a signal.
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{};
        ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &limit), 0);
        limit.rlim_cur = 16 * 1024;
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);

        m_ui.answers.push_back(QMessageBox::Yes);
        saveAs(old);
        ASSERT_EQ(m_ui.messages.size(), 2U);  // the replace question, then the failure
        EXPECT_TRUE(m_ui.messages[1].text.contains(old)) << m_ui.messages[1].text.toStdString();
        EXPECT_TRUE(m_ui.messages[1].text.contains(QLatin1String("too large"), Qt::CaseInsensitive))
            << m_ui.messages[1].text.toStdString();
        EXPECT_EQ(readAll(old), oldBytes);
        EXPECT_EQ(
            QDir(folder.filePath(QStringLiteral("limited"))).entryList(QDir::Files | QDir::Hidden),
            QStringList{QStringLiteral("old.jpg")});

        // A pass at another quality cannot write its new working file: the old one stays
        // whole, nothing else is left in the private folder, and the window says error4.
        m_window->Slider1()->setValue(2);
        m_window->Slider1_Click();
        EXPECT_EQ(m_window->windowTitle(), QStringLiteral("error4"));
        EXPECT_EQ(readAll(working()), workingBefore);
        EXPECT_EQ(QDir(m_private.path()).entryList(QDir::Files | QDir::Hidden),
                  QStringList{QStringLiteral("winpcdll")});
    } else if (m_mode == QLatin1String("owner")) {
        open(source);
        ASSERT_TRUE(m_ui.messages.empty());
        const QString theirs = folder.filePath(QStringLiteral("shared/theirs.jpg"));
        m_ui.answers.push_back(QMessageBox::Yes);
        saveAs(theirs);
        ASSERT_EQ(m_ui.messages.size(), 2U);  // the replace question, then the note
        EXPECT_EQ(m_ui.messages[1].icon, MessageIcon::Information);
        EXPECT_TRUE(m_ui.messages[1].text.contains(theirs));
        EXPECT_TRUE(m_ui.messages[1].text.contains(
            QLatin1String("now owned by nobody:nogroup, not root:root")))
            << m_ui.messages[1].text.toStdString();
    } else {
        FAIL() << "unknown mode " << m_mode.toStdString();
    }
}

}  // namespace
}  // namespace vellora
