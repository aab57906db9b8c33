// File names as bytes, shown safely; one identity for every name of a file; and the
// order of the steps that put a result in place of an older file.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cli/display_name.h"
#include "cli/native_files.h"
#include "cli/scratch_file.h"
#include "platform/file_ownership.h"
#include "platform/tidy_path.h"
#include "support/test_support.h"

namespace vellora::cli {
namespace {

TEST(NativeNames, EveryByteStringComesBackExactly) {
    const QByteArray names[] = {
        "plain.jpg",
        "caf\xc3\xa9.jpg",              // valid UTF-8
        "bad\xff\xfe-name.jpg",         // not UTF-8 at all
        "\xc3(.jpg",                    // a lead byte without its follower
        "\xe0\x80\xaf.jpg",             // an overlong form of '/'
        "\xed\xb2\x80.jpg",             // UTF-8 of the surrogate U+DC80
        "\xf4\x90\x80\x80.jpg",         // past U+10FFFF
        "\xf0\x9f\x93\xb7 camera.jpg",  // outside the basic plane
        "\xc3",                         // cut short at the end
        "e\x1b]0;title\x07.jpg",        // control characters
    };
    for (const QByteArray& name : names) {
        const QString text = fromNativePath(name);
        EXPECT_EQ(nativePath(text), name) << name.toHex().constData();
    }
    EXPECT_EQ(fromNativePath("caf\xc3\xa9.jpg"), QStringLiteral("caf\u00e9.jpg"));
    EXPECT_FALSE(hasUndecodableBytes(fromNativePath("caf\xc3\xa9 \xf0\x9f\x93\xb7.jpg")));
    EXPECT_TRUE(hasUndecodableBytes(fromNativePath("bad\xff.jpg")));
}

TEST(TidyPath, KeepsWhatAPathLeadsTo) {
    // ".." after a link to a folder is that folder's parent: only spelling goes.
    const struct {
        const char* given;
        const char* tidied;
    } cases[] = {
        {"", ""},
        {".", "."},
        {"./", "."},
        {"photos/", "photos"},
        {"./photos//a.jpg", "photos/a.jpg"},
        {"/", "/"},
        {"//tmp/./x/", "/tmp/x"},
        {"link/../a.jpg", "link/../a.jpg"},
        {"/a/link/..", "/a/link/.."},
        {"../x.jpg", "../x.jpg"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(tidyPath(QString::fromUtf8(c.given)), QString::fromUtf8(c.tidied)) << c.given;
    }
}

TEST(DisplayNames, ShowEveryNameWithoutDrivingTheTerminal) {
    struct Case {
        QByteArray name;
        const char* shown;
        bool exact;  // no base64 needed
    };
    const Case cases[] = {
        {"photo.jpg", "photo.jpg", true},
        {"caf\xc3\xa9.jpg", "caf\xc3\xa9.jpg", true},
        {"bad\xff\xfe-name.jpg", "bad\\xff\\xfe-name.jpg", false},
        {"e\x1b]0;title\x07.jpg", "e\\x1b]0;title\\x07.jpg", false},
        {"two\nlines.jpg", "two\\x0alines.jpg", false},
        {"tab\there\x7f.jpg", "tab\\x09here\\x7f.jpg", false},
        {"c1\xc2\x9b"
         "31m.jpg",
         "c1\\x9b31m.jpg", false},  // the one-byte CSI
        {"sep\xe2\x80\xa8.jpg", "sep\\u{2028}.jpg", false},
        {"back\\xff.jpg", "back\\\\xff.jpg", false},  // a real "\x" is told apart
        {"back\\slash.jpg", "back\\slash.jpg", true},
    };
    for (const Case& item : cases) {
        const QString name = fromNativePath(item.name);
        EXPECT_EQ(displayText(name), QString::fromUtf8(item.shown)) << item.shown;
        const QByteArray raw = rawNameBase64(name);
        EXPECT_EQ(raw.isEmpty(), item.exact) << item.shown;
        if (!raw.isEmpty()) {
            EXPECT_EQ(QByteArray::fromBase64(raw), item.name);
        }
    }
}

class Files : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_dir.isValid()); }
    QString at(const char* name) const { return m_dir.filePath(QString::fromUtf8(name)); }
    void write(const QString& path, const QByteArray& bytes) const {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }
    QTemporaryDir m_dir;
};

TEST_F(Files, EveryNameOfAFileHasOneIdentity) {
    write(at("a.jpg"), "x");
    write(at("b.jpg"), "x");
    ASSERT_TRUE(QDir(m_dir.path()).mkdir(QStringLiteral("sub")));
    ASSERT_EQ(::link(QFile::encodeName(at("a.jpg")).constData(),
                     QFile::encodeName(at("sub/hard.jpg")).constData()),
              0);
    ASSERT_TRUE(QFile::link(at("a.jpg"), at("soft.jpg")));

    const QString a = fileIdentity(at("a.jpg"));
    EXPECT_EQ(fileIdentity(at("sub/hard.jpg")), a);
    EXPECT_EQ(fileIdentity(at("soft.jpg")), a);
    EXPECT_EQ(fileIdentity(at("sub/../a.jpg")), a);
    EXPECT_NE(fileIdentity(at("b.jpg")), a);  // same bytes, another file
    EXPECT_EQ(fileFacts(at("a.jpg")).links, 2U);
    // Files still to be written: the same folder reached two ways is one name.
    EXPECT_EQ(fileIdentity(at("new.jpg")), fileIdentity(at("sub/../new.jpg")));
    EXPECT_NE(fileIdentity(at("new.jpg")), fileIdentity(at("sub/new.jpg")));
}

TEST_F(Files, FolderScansFindNamesThatAreNotUtf8) {
    const QByteArray folder = QFile::encodeName(m_dir.path());
    for (const QByteArray& name :
         {QByteArray("a.jpg"), QByteArray("bad\xff.jpg"), QByteArray(".hidden.jpg")}) {
        const int fd = ::open((folder + '/' + name).constData(), O_WRONLY | O_CREAT, 0644);
        ASSERT_GE(fd, 0);
        ::close(fd);
    }
    std::vector<QByteArray> found;
    for (const FoundFile& file : filesIn(m_dir.path(), false)) {
        found.push_back(nativePath(file.path));
    }
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, (std::vector<QByteArray>{folder + "/a.jpg", folder + "/bad\xff.jpg"}));
    ::unlink((folder + "/bad\xff.jpg").constData());  // QTemporaryDir cannot
}

std::vector<std::string> g_steps;
void recordStep(const char* step) {
    g_steps.emplace_back(step);
}

// The owner and mode go to the new file before the rename makes it visible, and the
// folder is flushed only after the rename, when there is something to make durable.
TEST_F(Files, AScratchFileIsNoMoreReadableThanTheFileItWillReplaceOrItsInput) {
    // An --in-place copy of a private picture waited beside it as 0644 for the whole
    // search, and stayed so after a kill; a new result of a private picture was
    // readable by everyone (cp keeps a copy private). A read-only model left the run
    // unable to write its own scratch file.
    const mode_t mask = ::umask(022);
    write(at("private.jpg"), "x");
    write(at("shared.jpg"), "x");
    write(at("readonly.jpg"), "x");
    ASSERT_EQ(::chmod(QFile::encodeName(at("private.jpg")).constData(), 0600), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(at("shared.jpg")).constData(), 0664), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(at("readonly.jpg")).constData(), 0444), 0);
    const struct {
        const char* replaces;
        const char* input;
        mode_t mode;
    } cases[] = {
        {"private.jpg", "", 0600},
        {"shared.jpg", "", 0644},
        {"new.jpg", "", 0644},
        {"", "", 0644},
        {"new.jpg", "private.jpg", 0600},
        {"shared.jpg", "private.jpg", 0644},
        {"readonly.jpg", "", 0644},
        {"new.jpg", "readonly.jpg", 0644},
        {"new.jpg", "missing.jpg", 0644},
    };
    for (const auto& c : cases) {
        QString error;
        const std::optional<ScratchFile> scratch = ScratchFile::create(
            m_dir.path(), QStringLiteral("x.jpg"), error, *c.replaces ? at(c.replaces) : QString(),
            *c.input ? at(c.input) : QString());
        ASSERT_TRUE(scratch) << error.toStdString();
        struct stat info {};
        ASSERT_EQ(::stat(QFile::encodeName(scratch->path()).constData(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, c.mode) << c.replaces << " from " << c.input;
    }
    ::umask(mask);
}

TEST_F(Files, AScratchNameFitsTheLibrarysTemporaryNameInBytes) {
    // The library's own temporary name copies 100 bytes of the scratch name; a stem of
    // 48 Japanese characters (144 bytes) lost the ".vellora-tmp" ending there, and the
    // sweep never knew the leftover of a killed run for ours.
    for (const QString& stem :
         {QString(60, QChar(0x6D77)) + QStringLiteral(".jpg"),
          QString(60, QLatin1Char('a')) + QStringLiteral(".jpg"),
          QStringLiteral("\U0001F30A").repeated(30) + QStringLiteral(".jpg")}) {
        QString error;
        const std::optional<ScratchFile> scratch = ScratchFile::create(m_dir.path(), stem, error);
        ASSERT_TRUE(scratch) << error.toStdString();
        const QByteArray name = nativePath(QFileInfo(scratch->path()).fileName());
        EXPECT_LE(name.size(), 100) << name.toStdString();
        EXPECT_TRUE(name.endsWith(".vellora-tmp")) << name.toStdString();
        EXPECT_EQ(fromNativePath(name), QFileInfo(scratch->path()).fileName());  // whole characters
    }
}

TEST_F(Files, ReplacingNeverTakesAPipeOrDeviceThatTookTheName) {
    // -f may replace an output that appears during the run; never one that is no file.
    ASSERT_EQ(::mkfifo(QFile::encodeName(at("out.jpg")).constData(), 0644), 0);
    QString error;
    std::optional<ScratchFile> scratch = ScratchFile::create(m_dir.path(), "out.jpg", error);
    ASSERT_TRUE(scratch) << error.toStdString();
    EXPECT_FALSE(scratch->commit(at("out.jpg"), true, error));
    EXPECT_TRUE(error.contains(QLatin1String("not a regular file"))) << error.toStdString();
    struct stat info {};
    ASSERT_EQ(::lstat(QFile::encodeName(at("out.jpg")).constData(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
}

TEST_F(Files, ReplacingTakesItsStepsInOrder) {
    write(at("old.jpg"), "old picture");
    const QByteArray old = QFile::encodeName(at("old.jpg"));
    ASSERT_EQ(::chmod(old.constData(), 0604), 0);
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::chown(old.constData(), 65534, 65534), 0);
    }
    QString error;
    std::optional<ScratchFile> scratch = ScratchFile::create(m_dir.path(), "old.jpg", error);
    ASSERT_TRUE(scratch) << error.toStdString();
    write(scratch->path(), "new picture");

    g_steps.clear();
    setReplaceStepObserver(recordStep);
    const bool committed = scratch->commit(at("old.jpg"), true, error);
    setReplaceStepObserver(nullptr);
    ASSERT_TRUE(committed) << error.toStdString();

    std::vector<std::string> expected{"fchmod", "rename", "fsync-folder"};
    if (root) {
        expected.insert(expected.begin(), "fchown");
    }
    EXPECT_EQ(g_steps, expected);
    struct stat info {};
    ASSERT_EQ(::stat(old.constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0604u);
    if (root) {
        EXPECT_EQ(info.st_uid, 65534u);
        EXPECT_EQ(info.st_gid, 65534u);
    }
    EXPECT_TRUE(scratch->ownershipNote().isEmpty()) << scratch->ownershipNote().toStdString();

    // A new name: nothing to hand over, the folder still flushed after the rename.
    std::optional<ScratchFile> second = ScratchFile::create(m_dir.path(), "new.jpg", error);
    ASSERT_TRUE(second);
    g_steps.clear();
    setReplaceStepObserver(recordStep);
    ASSERT_TRUE(second->commit(at("new.jpg"), false, error)) << error.toStdString();
    setReplaceStepObserver(nullptr);
    EXPECT_EQ(g_steps, (std::vector<std::string>{"rename", "fsync-folder"}));
}

TEST_F(Files, AnInPlaceReplaceWaitsForAnotherRunsAndSeesItsResult) {
    // Two runs over one folder: between one's last look and its rename, the other's
    // result landed and was thrown away, while both reported "ok".
    write(at("p.jpg"), "original picture");
    const FileFacts untouched = fileFacts(at("p.jpg"));
    const QByteArray native = QFile::encodeName(at("p.jpg"));
    // The other run, about to replace it, holds the folder.
    const int other =
        ::open(QFile::encodeName(m_dir.path()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(other, 0);
    ASSERT_EQ(::flock(other, LOCK_EX), 0);
    QString error;
    std::optional<ScratchFile> scratch = ScratchFile::create(m_dir.path(), "p.jpg", error);
    ASSERT_TRUE(scratch) << error.toStdString();
    write(scratch->path(), "our result");
    bool committed = true;
    std::thread ours([&] { committed = scratch->commit(at("p.jpg"), true, error, &untouched); });
    QThread::msleep(200);
    write(at("theirs.tmp"), "their result");
    ASSERT_EQ(::rename(QFile::encodeName(at("theirs.tmp")).constData(), native.constData()), 0);
    ::close(other);
    ours.join();
    EXPECT_FALSE(committed);
    EXPECT_TRUE(error.contains(QLatin1String("changed while"))) << error.toStdString();
    QFile result(at("p.jpg"));
    ASSERT_TRUE(result.open(QIODevice::ReadOnly));
    EXPECT_EQ(result.readAll(), QByteArray("their result"));
}

TEST_F(Files, ALockOnThePictureItselfNeverStandsInTheWay) {
    // `flock photo.jpg vellora-cli --in-place photo.jpg`: the caller's own lock.
    write(at("p.jpg"), "original picture");
    const FileFacts untouched = fileFacts(at("p.jpg"));
    const int caller = ::open(QFile::encodeName(at("p.jpg")).constData(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(caller, 0);
    ASSERT_EQ(::flock(caller, LOCK_EX), 0);
    QString error;
    std::optional<ScratchFile> scratch = ScratchFile::create(m_dir.path(), "p.jpg", error);
    ASSERT_TRUE(scratch) << error.toStdString();
    write(scratch->path(), "our result");
    EXPECT_TRUE(scratch->commit(at("p.jpg"), true, error, &untouched)) << error.toStdString();
    ::close(caller);
}

}  // namespace
}  // namespace vellora::cli
