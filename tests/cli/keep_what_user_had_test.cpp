// vellora-cli keeps what the user had: the replaced file's owner, group and mode, the
// comments, XMP and IPTC, files whose names are not UTF-8, hard links whole; it says
// what it could not keep, and never lets a file name reach the terminal raw.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QtEndian>
#include <cstdint>
#include <cstring>
#include <filesystem>

#include "cli_test_support.h"
#include "support/jpeg_fixtures.h"
#include "support/test_support.h"

namespace vellora::test {
namespace {

constexpr uid_t kNobody = 65534;
constexpr gid_t kNoGroup = 65534;

class KeepTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_dir.isValid()); }
    // QDir cannot remove a name that is not UTF-8; the file system's bytes can.
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(QFile::encodeName(m_dir.path()).toStdString(), ignored);
    }

    QString at(const QString& relative) const { return m_dir.filePath(relative); }
    QByteArray nativeAt(const QByteArray& name) const {
        return QFile::encodeName(m_dir.path()) + '/' + name;
    }

    QByteArray jpegBytes(int which = 1) const {
        QByteArray bytes;
        const QString scratch = m_dir.filePath(QStringLiteral(".scratch.jpg"));
        EXPECT_TRUE(writeJpeg(scratch, photo(160, 120, which), 95));
        bytes = readBytes(scratch);
        QFile::remove(scratch);
        return bytes;
    }
    // Writes `bytes` under a name given as raw bytes (any bytes but '/' and NUL).
    void writeNative(const QByteArray& name, const QByteArray& bytes) const {
        const int fd = ::open(nativeAt(name).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, bytes.constData(), static_cast<size_t>(bytes.size())), bytes.size());
        ::close(fd);
    }
    bool existsNative(const QByteArray& name) const {
        struct stat info {};
        return ::stat(nativeAt(name).constData(), &info) == 0;
    }
    QByteArray readNative(const QByteArray& name) const {
        const int fd = ::open(nativeAt(name).constData(), O_RDONLY);
        if (fd < 0) {
            return {};
        }
        QByteArray bytes;
        char buffer[65536];
        for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;) {
            bytes.append(buffer, got);
        }
        ::close(fd);
        return bytes;
    }

    CliRun run(const QStringList& arguments) const { return runCli(arguments, m_dir.path()); }

    // Runs `sh -c script` in the folder with $CLI set: the shell can hand the tool
    // arguments that are not UTF-8 (QProcess would encode them lossily).
    CliRun runShell(const QString& script, const QStringList& prefix = {}) const {
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("CLI"), QStringLiteral(VELLORA_BIN_DIR "/vellora-cli"));
        process.setProcessEnvironment(environment);
        process.setWorkingDirectory(m_dir.path());
        QStringList arguments = prefix;
        arguments << QStringLiteral("sh") << QStringLiteral("-c") << script;
        process.start(arguments.takeFirst(), arguments);
        return waitForRun(process);
    }

    // The two ways a file gets replaced: `name` --in-place (the run returned, with
    // --json), and out.jpg by -f -o from src.jpg (which must succeed).
    CliRun replaceInPlaceAndByForce(const QString& name) const {
        const CliRun forced = run({QStringLiteral("-f"), QStringLiteral("-o"),
                                   QStringLiteral("out.jpg"), QStringLiteral("src.jpg")});
        EXPECT_EQ(forced.exitCode, 0) << forced.err.toStdString();
        return run({QStringLiteral("--in-place"), QStringLiteral("--json"), name});
    }

    // Why user 65534 cannot run the tool on the folder `relative` here; empty when it can.
    QString nobodyCannotRunIn(const QString& relative) const {
        return unprivilegedAccessProblem({QStringLiteral(VELLORA_BIN_DIR "/vellora-cli"),
                                          QStringLiteral(VELLORA_MODULE_BUILD_DIR "/imgdll.so"),
                                          at(relative)});
    }
    CliRun runAsNobody(const QString& script) const {
        return runShell(script,
                        {QStringLiteral("setpriv"), QStringLiteral("--reuid=65534"),
                         QStringLiteral("--regid=65534"), QStringLiteral("--clear-groups")});
    }

    static std::vector<QJsonObject> jsonObjects(const CliRun& run) {
        std::vector<QJsonObject> objects;
        for (const QString& line : run.outLines()) {
            objects.push_back(QJsonDocument::fromJson(line.toUtf8()).object());
        }
        return objects;
    }

    static struct stat statOf(const QString& path) {
        struct stat info {};
        EXPECT_EQ(::stat(QFile::encodeName(path).constData(), &info), 0) << path.toStdString();
        return info;
    }

    QTemporaryDir m_dir;
};

// ---- owner, group and mode ------------------------------------------------------------

TEST_F(KeepTest, ReplacingAFileKeepsItsOwnerGroupAndMode) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "giving a file to another user needs root";
    }
    // --in-place over the input, and --force over an existing output.
    ASSERT_TRUE(writeBytes(at(QStringLiteral("theirs.jpg")), jpegBytes(1)));
    ASSERT_TRUE(writeBytes(at(QStringLiteral("src.jpg")), jpegBytes(2)));
    ASSERT_TRUE(writeBytes(at(QStringLiteral("out.jpg")), "an old result"));
    for (const char* name : {"theirs.jpg", "out.jpg"}) {
        const QByteArray path = QFile::encodeName(at(QString::fromLatin1(name)));
        ASSERT_EQ(::chown(path.constData(), kNobody, kNoGroup), 0);
        ASSERT_EQ(::chmod(path.constData(), 0640), 0);
    }
    const CliRun inPlace = replaceInPlaceAndByForce(QStringLiteral("theirs.jpg"));
    ASSERT_EQ(inPlace.exitCode, 0) << inPlace.err.toStdString();
    for (const char* name : {"theirs.jpg", "out.jpg"}) {
        const struct stat info = statOf(at(QString::fromLatin1(name)));
        EXPECT_EQ(info.st_uid, kNobody) << name;
        EXPECT_EQ(info.st_gid, kNoGroup) << name;
        EXPECT_EQ(info.st_mode & 07777, 0640u) << name;
    }
    EXPECT_TRUE(readBytes(at(QStringLiteral("out.jpg"))).startsWith("\xFF\xD8"));
    EXPECT_FALSE(jsonObjects(inPlace)[0].contains(QStringLiteral("warnings")));
}

TEST_F(KeepTest, AnOwnerThatCannotBeKeptIsReported) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to run the tool as another user";
    }
    // A folder the unprivileged user may write, a picture in it that root owns.
    ASSERT_EQ(::chmod(QFile::encodeName(m_dir.path()).constData(), 0755), 0);
    ASSERT_TRUE(QDir(m_dir.path()).mkdir(QStringLiteral("shared")));
    const QByteArray folder = QFile::encodeName(at(QStringLiteral("shared")));
    ASSERT_EQ(::chmod(folder.constData(), 0777), 0);
    ASSERT_TRUE(writeBytes(at(QStringLiteral("shared/photo.jpg")), jpegBytes()));
    ASSERT_EQ(::chmod(QFile::encodeName(at(QStringLiteral("shared/photo.jpg"))).constData(), 0644),
              0);
    if (const QString problem = nobodyCannotRunIn(QStringLiteral("shared")); !problem.isEmpty()) {
        GTEST_SKIP() << problem.toStdString();
    }

    const CliRun result =
        runAsNobody(QStringLiteral("exec \"$CLI\" --in-place -v --json shared/photo.jpg"));
    ASSERT_EQ(result.exitCode, 0) << result.err.toStdString();
    const struct stat info = statOf(at(QStringLiteral("shared/photo.jpg")));
    EXPECT_EQ(info.st_uid, kNobody);  // written all the same
    EXPECT_EQ(info.st_mode & 07777, 0644u);
    // Said on stderr and in the JSON report: whose it is now, and whose it was.
    EXPECT_TRUE(
        result.err.contains("shared/photo.jpg: warning: now owned by nobody:nogroup, "
                            "not root:root"))
        << result.err.toStdString();
    const QJsonArray warnings = jsonObjects(result)[0][QStringLiteral("warnings")].toArray();
    ASSERT_EQ(warnings.size(), 1);
    EXPECT_TRUE(warnings[0].toString().startsWith(QLatin1String("now owned by nobody:nogroup")));
}

TEST_F(KeepTest, ReplacingAFileKeepsItsAccessListAndAttributes) {
    // Both were dropped, and with the list gone the group bits, which on a file with a
    // list are the list's mask, handed write access to the whole group.
    const QByteArray origin = "camera 7";
    // user::rw- user:nobody:rw- group::r-- mask::rw- other::r--
    const auto entry = [](std::uint16_t tag, std::uint16_t perm, std::uint32_t id) {
        QByteArray bytes(8, '\0');
        qToLittleEndian(tag, bytes.data());
        qToLittleEndian(perm, bytes.data() + 2);
        qToLittleEndian(id, bytes.data() + 4);
        return bytes;
    };
    QByteArray list(4, '\0');
    qToLittleEndian(std::uint32_t{2}, list.data());
    list += entry(0x01, 6, 0xFFFFFFFF) + entry(0x02, 6, kNobody) + entry(0x04, 4, 0xFFFFFFFF) +
            entry(0x10, 6, 0xFFFFFFFF) + entry(0x20, 4, 0xFFFFFFFF);

    ASSERT_TRUE(writeBytes(at(QStringLiteral("mine.jpg")), jpegBytes(1)));
    ASSERT_TRUE(writeBytes(at(QStringLiteral("src.jpg")), jpegBytes(2)));
    ASSERT_TRUE(writeBytes(at(QStringLiteral("out.jpg")), "an old result"));
    for (const char* name : {"mine.jpg", "out.jpg"}) {
        const QByteArray path = QFile::encodeName(at(QString::fromLatin1(name)));
        ASSERT_EQ(::chmod(path.constData(), 0644), 0);
        if (::setxattr(path.constData(), "user.origin", origin.constData(),
                       static_cast<size_t>(origin.size()), 0) != 0 ||
            ::setxattr(path.constData(), "system.posix_acl_access", list.constData(),
                       static_cast<size_t>(list.size()), 0) != 0) {
            GTEST_SKIP() << "this file system keeps no extended attributes or lists: "
                         << std::strerror(errno);
        }
    }
    const auto attribute = [](const QString& path, const char* name) {
        QByteArray value(256, '\0');
        const ssize_t size = ::getxattr(QFile::encodeName(path).constData(), name, value.data(),
                                        static_cast<size_t>(value.size()));
        value.resize(size < 0 ? 0 : size);
        return value;
    };
    const QByteArray storedList =
        attribute(at(QStringLiteral("mine.jpg")), "system.posix_acl_access");
    ASSERT_FALSE(storedList.isEmpty());

    const CliRun inPlace = replaceInPlaceAndByForce(QStringLiteral("mine.jpg"));
    ASSERT_EQ(inPlace.exitCode, 0) << inPlace.err.toStdString();
    for (const char* name : {"mine.jpg", "out.jpg"}) {
        const QString path = at(QString::fromLatin1(name));
        EXPECT_TRUE(readBytes(path).startsWith("\xFF\xD8")) << name;
        EXPECT_EQ(attribute(path, "user.origin"), origin) << name;
        EXPECT_EQ(attribute(path, "system.posix_acl_access"), storedList) << name;
        EXPECT_EQ(statOf(path).st_mode & 07777, 0664u) << name;  // the mask, as before
    }
    EXPECT_FALSE(jsonObjects(inPlace)[0].contains(QStringLiteral("warnings")));

    // A file without a list, in a folder whose default list names another user: the
    // new file took that list, and a private picture came back readable by nobody.
    ASSERT_TRUE(QDir(m_dir.path()).mkdir(QStringLiteral("shared")));
    const QString plain = at(QStringLiteral("shared/plain.jpg"));
    ASSERT_TRUE(writeBytes(plain, jpegBytes(3)));
    ASSERT_EQ(::chmod(QFile::encodeName(plain).constData(), 0640), 0);
    ASSERT_EQ(::setxattr(QFile::encodeName(at(QStringLiteral("shared"))).constData(),
                         "system.posix_acl_default", list.constData(),
                         static_cast<size_t>(list.size()), 0),
              0)
        << std::strerror(errno);
    const CliRun inherited =
        run({QStringLiteral("--in-place"), QStringLiteral("shared/plain.jpg")});
    ASSERT_EQ(inherited.exitCode, 0) << inherited.err.toStdString();
    EXPECT_TRUE(attribute(plain, "system.posix_acl_access").isEmpty());
    EXPECT_EQ(statOf(plain).st_mode & 07777, 0640u);
}

TEST_F(KeepTest, ALinkedFolderFollowedByDotDotMeansItsParent) {
    // "link/.." was cut out of the text: --in-place walked the link's parent but
    // replaced the same names in the working folder, and a result "beside its input"
    // went to the working folder.
    QDir(m_dir.path()).mkpath(QStringLiteral("A/B"));
    QDir(m_dir.path()).mkpath(QStringLiteral("work"));
    ASSERT_EQ(::symlink("../A/B", QFile::encodeName(at(QStringLiteral("work/L"))).constData()), 0);
    ASSERT_TRUE(writeBytes(at(QStringLiteral("A/photo.jpg")), jpegBytes(1)));
    ASSERT_TRUE(writeBytes(at(QStringLiteral("A/other.jpg")), jpegBytes(2)));
    ASSERT_TRUE(writeBytes(at(QStringLiteral("A/single.jpg")), jpegBytes(3)));
    ASSERT_TRUE(writeBytes(at(QStringLiteral("work/photo.jpg")), jpegBytes(1)));
    const QByteArray untouched = readBytes(at(QStringLiteral("work/photo.jpg")));

    const CliRun inPlace =
        runCli({QStringLiteral("--in-place"), QStringLiteral("L/..")}, at(QStringLiteral("work")));
    EXPECT_EQ(inPlace.exitCode, 0) << inPlace.err.toStdString();
    EXPECT_EQ(readBytes(at(QStringLiteral("work/photo.jpg"))), untouched);
    EXPECT_NE(readBytes(at(QStringLiteral("A/photo.jpg"))), untouched);
    EXPECT_FALSE(QFile::exists(at(QStringLiteral("work/other.jpg"))));

    const CliRun beside = runCli({QStringLiteral("L/../single.jpg")}, at(QStringLiteral("work")));
    EXPECT_EQ(beside.exitCode, 0) << beside.err.toStdString();
    EXPECT_TRUE(QFile::exists(at(QStringLiteral("A/single-vellora.jpg"))));
    EXPECT_FALSE(QFile::exists(at(QStringLiteral("work/single-vellora.jpg"))));

    // A folder still to be made, then "..": the output is the input itself, which
    // --force never replaces.
    const CliRun unmade = runCli({QStringLiteral("-f"), QStringLiteral("-d"),
                                  QStringLiteral("new/.."), QStringLiteral("photo.jpg")},
                                 at(QStringLiteral("work")));
    EXPECT_EQ(unmade.exitCode, 1);
    EXPECT_TRUE(unmade.err.contains("would replace the input itself")) << unmade.err.toStdString();
    EXPECT_EQ(readBytes(at(QStringLiteral("work/photo.jpg"))), untouched);

    // The same spelling over another existing file gets every check the plain one gets
    // (here: other hard links), in the dry run as in the run, and makes no folder.
    QDir(m_dir.path()).mkpath(QStringLiteral("work/sub"));
    ASSERT_TRUE(writeBytes(at(QStringLiteral("work/sub/linked.jpg")), jpegBytes(2)));
    ASSERT_TRUE(writeBytes(at(QStringLiteral("work/linked.jpg")), "an old result"));
    ASSERT_EQ(::link(QFile::encodeName(at(QStringLiteral("work/linked.jpg"))).constData(),
                     QFile::encodeName(at(QStringLiteral("work/twin.jpg"))).constData()),
              0);
    for (const QString& dry : {QStringLiteral("-n"), QStringLiteral("-f")}) {
        const CliRun linked = runCli({dry, QStringLiteral("-f"), QStringLiteral("-d"),
                                      QStringLiteral("new/.."), QStringLiteral("sub/linked.jpg")},
                                     at(QStringLiteral("work")));
        EXPECT_EQ(linked.exitCode, 1) << dry.toStdString();
        EXPECT_TRUE(linked.err.contains("has 1 other link")) << linked.err.toStdString();
        EXPECT_FALSE(QFileInfo::exists(at(QStringLiteral("work/new"))));
        EXPECT_EQ(readBytes(at(QStringLiteral("work/twin.jpg"))), "an old result");
    }
}

TEST_F(KeepTest, AUmaskThatHidesFilesFromTheirOwnerBreaksNothing) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to run the tool as another user";
    }
    // With the owner's bits masked (0477, 0277): --in-place could not reopen its own
    // scratch file and left the picture 0200 with a warning, a stream's (and a dry
    // run's) private folder and -d's new folder came out unwritable, and a new result
    // was unreadable to its owner.
    ASSERT_EQ(::chmod(QFile::encodeName(m_dir.path()).constData(), 0755), 0);
    ASSERT_TRUE(QDir(m_dir.path()).mkdir(QStringLiteral("mine")));
    for (const char* name : {"mine", "mine/photo.jpg", "mine/b.jpg"}) {
        const QString path = at(QString::fromLatin1(name));
        if (path.endsWith(QLatin1String(".jpg"))) {
            ASSERT_TRUE(writeBytes(path, jpegBytes()));
        }
        ASSERT_EQ(::chown(QFile::encodeName(path).constData(), kNobody, kNoGroup), 0);
        ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), path.endsWith(".jpg") ? 0644 : 0755),
                  0);
    }
    if (const QString problem = nobodyCannotRunIn(QStringLiteral("mine")); !problem.isEmpty()) {
        GTEST_SKIP() << problem.toStdString();
    }
    const CliRun result = runAsNobody(
        QStringLiteral("cd mine && umask 0477 && \"$CLI\" --in-place -q 50 photo.jpg && "
                       "umask 0277 && \"$CLI\" -q 50 - < b.jpg > streamed.jpg && "
                       "\"$CLI\" -q 50 b.jpg && \"$CLI\" -n -q 50 -o dry.jpg b.jpg && "
                       "\"$CLI\" -q 50 -d out/x/y b.jpg"));
    ASSERT_EQ(result.exitCode, 0) << result.err.toStdString();
    EXPECT_FALSE(result.err.contains("warning")) << result.err.toStdString();
    EXPECT_EQ(statOf(at(QStringLiteral("mine/photo.jpg"))).st_mode & 07777, 0644u);
    EXPECT_EQ(statOf(at(QStringLiteral("mine/b-vellora.jpg"))).st_mode & 0600, 0600u);
    EXPECT_TRUE(readBytes(at(QStringLiteral("mine/streamed.jpg"))).startsWith("\xFF\xD8"));
    EXPECT_TRUE(readBytes(at(QStringLiteral("mine/out/x/y/b.jpg"))).startsWith("\xFF\xD8"));
}

// ---- comments, XMP, IPTC --------------------------------------------------------------

TEST_F(KeepTest, CommentsXmpAndIptcAreKeptAndStripDropsThem) {
    const std::vector<Marker> extra{{kApp1, xmpPacket("Harbour")},
                                    {kApp13, iptcBlock("Caption")},
                                    {kComment, "Copyright 2026 A. Photographer"}};
    ASSERT_TRUE(writeBytes(at(QStringLiteral("photo.jpg")), withMarkers(jpegBytes(), extra)));
    const auto kept = [](const QByteArray& file) {
        std::vector<Marker> result;
        for (const Marker& marker : markersOf(file)) {
            if ((marker.code == kApp1 && !marker.payload.startsWith("Exif")) ||
                marker.code == kApp13 || marker.code == kComment) {
                result.push_back(marker);
            }
        }
        return result;
    };
    const CliRun plain = run({QStringLiteral("photo.jpg")});
    ASSERT_EQ(plain.exitCode, 0) << plain.err.toStdString();
    EXPECT_EQ(kept(readBytes(at(QStringLiteral("photo-vellora.jpg")))), extra);

    const CliRun stripped =
        run({QStringLiteral("--strip"), QStringLiteral("-f"), QStringLiteral("photo.jpg")});
    ASSERT_EQ(stripped.exitCode, 0) << stripped.err.toStdString();
    EXPECT_TRUE(kept(readBytes(at(QStringLiteral("photo-vellora.jpg")))).empty());

    // In place, the only copy: still there afterwards.
    const CliRun inPlace = run({QStringLiteral("--in-place"), QStringLiteral("photo.jpg")});
    ASSERT_EQ(inPlace.exitCode, 0) << inPlace.err.toStdString();
    EXPECT_EQ(kept(readBytes(at(QStringLiteral("photo.jpg")))), extra);
}

TEST_F(KeepTest, AnExifBlockTooLargeToCarryIsReported) {
    ASSERT_TRUE(writeBytes(at(QStringLiteral("big.jpg")),
                           withMarkers(jpegBytes(), {{kApp1, exifWithSharedText(12000)}})));
    // A dry run tells it too: it is what the run would lose.
    for (const bool dryRun : {true, false}) {
        QStringList arguments{QStringLiteral("-v"), QStringLiteral("--json"),
                              QStringLiteral("big.jpg")};
        if (dryRun) {
            arguments.prepend(QStringLiteral("-n"));
        }
        const CliRun result = run(arguments);
        ASSERT_EQ(result.exitCode, 0) << result.err.toStdString();
        EXPECT_TRUE(
            result.err.contains(dryRun ? "big.jpg: warning: would be saved without the EXIF block"
                                       : "big.jpg: warning: saved without the EXIF block"))
            << "dry run " << dryRun << ": " << result.err.toStdString();
        const QJsonArray warnings = jsonObjects(result)[0][QStringLiteral("warnings")].toArray();
        ASSERT_EQ(warnings.size(), 1) << "dry run " << dryRun;
        EXPECT_TRUE(warnings[0].toString().contains(QLatin1String("65533")));
    }
}

// ---- names that are not UTF-8 ---------------------------------------------------------

TEST_F(KeepTest, ANameThatIsNotUtf8IsFoundDoneAndReported) {
    const QByteArray bad("bad\xff\xfe-name.jpg");
    writeNative("a.jpg", jpegBytes(1));
    writeNative(bad, jpegBytes(2));
    writeNative("c.jpg", jpegBytes(3));

    const CliRun folder =
        run({QStringLiteral("-v"), QStringLiteral("--json"), QStringLiteral(".")});
    EXPECT_EQ(folder.exitCode, 0) << folder.err.toStdString();
    EXPECT_TRUE(existsNative("bad\xff\xfe-name-vellora.jpg"));
    EXPECT_TRUE(folder.err.contains("./bad\\xff\\xfe-name.jpg -> bad\\xff\\xfe-name-vellora.jpg"))
        << folder.err.toStdString();
    const std::vector<QJsonObject> objects = jsonObjects(folder);
    ASSERT_EQ(objects.size(), 4U);  // three files and the summary
    const QJsonObject& entry = objects[1];
    EXPECT_EQ(entry[QStringLiteral("input")].toString(),
              QStringLiteral("./bad\\xff\\xfe-name.jpg"));
    EXPECT_EQ(QByteArray::fromBase64(entry[QStringLiteral("input_base64")].toString().toLatin1()),
              "./" + bad);
    EXPECT_EQ(QByteArray::fromBase64(entry[QStringLiteral("output_base64")].toString().toLatin1()),
              QByteArray("bad\xff\xfe-name-vellora.jpg"));
    EXPECT_EQ(objects[3][QStringLiteral("written")].toInt(), 3);
    EXPECT_FALSE(objects[0].contains(QStringLiteral("input_base64")));  // a.jpg is shown exactly

    // Below a folder whose name is not UTF-8 either, into such a folder.
    ASSERT_EQ(::mkdir(nativeAt("sub\xff").constData(), 0755), 0);
    writeNative("sub\xff/deep\xfe.jpg", jpegBytes(4));
    const CliRun tree = runShell(
        QStringLiteral("exec \"$CLI\" -r -d \"$(printf 'out\\375')\" \"$(printf 'sub\\377')\""));
    EXPECT_EQ(tree.exitCode, 0) << tree.err.toStdString();
    EXPECT_TRUE(existsNative("out\xfd/deep\xfe.jpg")) << tree.err.toStdString();

    // Named on the command line, in place.
    const QByteArray before = readNative(bad);
    const CliRun named =
        runShell(QStringLiteral("exec \"$CLI\" --in-place \"$(printf 'bad\\377\\376-name.jpg')\""));
    EXPECT_EQ(named.exitCode, 0) << named.err.toStdString();
    const QByteArray after = readNative(bad);
    EXPECT_FALSE(after.isEmpty());
    EXPECT_NE(after, before);
}

// ---- what a run cannot do is told ----------------------------------------------------

TEST_F(KeepTest, ADryRunMeetsWhatTheRunWouldMeet) {
    // A dry run that says "would write" where the run fails is no rehearsal: both fail
    // alike, exit status and words.
    ASSERT_TRUE(writeBytes(at(QStringLiteral("a.jpg")), jpegBytes()));
    ASSERT_TRUE(writeBytes(at(QStringLiteral("file")), "not a folder"));
    ASSERT_TRUE(QFile::link(QStringLiteral("nowhere"), at(QStringLiteral("dangling"))));
    ASSERT_TRUE(QFile::link(QStringLiteral("loop"), at(QStringLiteral("loop"))));
    const QString longName = QString(250, QLatin1Char('n')) + QStringLiteral(".jpg");
    ASSERT_TRUE(writeBytes(at(longName), jpegBytes()));
    // Folders still to be made: one name too long, and a path longer than the system
    // takes, which the run found only after it had made sixteen levels of them.
    const QString longFolder = QString(300, QLatin1Char('f'));
    QString deepFolder;
    for (int level = 0; level < 18; ++level) {
        deepFolder += QString(250, QLatin1Char('d')) + QLatin1Char('/');
    }
    const struct {
        QStringList arguments;
        const char* says;
    } cases[] = {
        {{"-d", "file", "a.jpg"}, "file': Not a directory"},
        {{"-d", "file/below", "a.jpg"}, "below': Not a directory"},
        {{"-d", "dangling", "a.jpg"}, "dangling': No such file or directory"},
        {{"-d", "dangling/below", "a.jpg"}, "below': No such file or directory"},
        {{"-d", "loop", "a.jpg"}, "loop': Too many levels of symbolic links"},
        {{"-o", "loop/out.jpg", "a.jpg"}, "loop': Too many levels of symbolic links"},
        {{"-o", "missing/out.jpg", "a.jpg"}, "cannot create a file in"},
        {{longName}, "File name too long"},
        {{"-d", longFolder, "a.jpg"}, "cannot create the folder"},
        {{"-d", deepFolder, "a.jpg"}, "File name too long"},
    };
    for (const auto& c : cases) {
        for (const bool dry : {true, false}) {
            QStringList arguments = c.arguments;
            if (dry) {
                arguments.prepend(QStringLiteral("-n"));
            }
            const CliRun result = run(arguments);
            EXPECT_EQ(result.exitCode, 1) << arguments.join(' ').toStdString();
            EXPECT_TRUE(result.err.contains(c.says))
                << arguments.join(' ').toStdString() << ": " << result.err.toStdString();
        }
    }
    EXPECT_FALSE(QFileInfo::exists(at(deepFolder.left(250))));

    // A folder whose path leaves room for the output and the names made beside it is
    // written into, however deep.
    QString fits;
    while (m_dir.path().size() + 1 + fits.size() < 3980) {
        fits += QString(std::min<qsizetype>(200, 3980 - m_dir.path().size() - fits.size()),
                        QLatin1Char('f')) +
                QLatin1Char('/');
    }
    ASSERT_TRUE(QDir(m_dir.path()).mkpath(fits));
    for (const bool dry : {true, false}) {
        QStringList arguments{QStringLiteral("-o"), fits + QStringLiteral("a.jpg"),
                              QStringLiteral("a.jpg")};
        if (dry) {
            arguments.prepend(QStringLiteral("-n"));
        }
        const CliRun result = run(arguments);
        EXPECT_EQ(result.exitCode, 0) << dry << ": " << result.err.toStdString();
    }
    EXPECT_TRUE(QFileInfo::exists(at(fits + QStringLiteral("a.jpg"))));
}

TEST_F(KeepTest, AnOutDirAboveTheWalkedFolderTakesItsPictures) {
    // Only an out-dir inside the walked tree holds earlier results to leave out; one
    // above it (-d . photos) holds the inputs, which were all passed over.
    ASSERT_TRUE(QDir(m_dir.path()).mkpath(QStringLiteral("photos/old")));
    ASSERT_TRUE(writeBytes(at(QStringLiteral("photos/a.jpg")), jpegBytes()));
    const CliRun result =
        run({QStringLiteral("-d"), QStringLiteral("."), QStringLiteral("photos")});
    EXPECT_EQ(result.exitCode, 0) << result.err.toStdString();
    EXPECT_TRUE(QFile::exists(at(QStringLiteral("a.jpg"))));
    // Inside it, as before: a second recursive run does not take the first's results.
    for (int round = 0; round < 2; ++round) {
        const CliRun inside = run({QStringLiteral("-r"), QStringLiteral("-f"), QStringLiteral("-d"),
                                   QStringLiteral("photos/old"), QStringLiteral("photos")});
        EXPECT_EQ(inside.exitCode, 0) << inside.err.toStdString();
    }
    EXPECT_EQ(treeOf(at(QStringLiteral("photos/old"))), QStringList{QStringLiteral("a.jpg")});
}

TEST_F(KeepTest, AFolderThatCannotBeReadFailsTheRun) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to run the tool as another user";
    }
    ASSERT_EQ(::chmod(QFile::encodeName(m_dir.path()).constData(), 0755), 0);
    ASSERT_TRUE(QDir(m_dir.path()).mkpath(QStringLiteral("d/closed")));
    ASSERT_TRUE(QDir(m_dir.path()).mkpath(QStringLiteral("readonly")));
    ASSERT_TRUE(writeBytes(at(QStringLiteral("d/a.jpg")), jpegBytes(1)));
    ASSERT_TRUE(writeBytes(at(QStringLiteral("d/closed/b.jpg")), jpegBytes(2)));
    for (const char* folder : {"d", "d/closed", "readonly"}) {
        ASSERT_EQ(::chown(QFile::encodeName(at(QString::fromLatin1(folder))).constData(), kNobody,
                          kNoGroup),
                  0);
    }
    ASSERT_EQ(::chmod(QFile::encodeName(at(QStringLiteral("d/closed"))).constData(), 0), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(at(QStringLiteral("readonly"))).constData(), 0555), 0);
    const QString problem = unprivilegedAccessProblem(
        {QStringLiteral(VELLORA_BIN_DIR "/vellora-cli"),
         QStringLiteral(VELLORA_MODULE_BUILD_DIR "/imgdll.so"), at(QStringLiteral("d"))});
    if (!problem.isEmpty()) {
        GTEST_SKIP() << problem.toStdString();
    }
    const QStringList asNobody{QStringLiteral("setpriv"), QStringLiteral("--reuid=65534"),
                               QStringLiteral("--regid=65534"), QStringLiteral("--clear-groups")};
    // Like find or cp -r: the rest is done, the folder is named, the status says so.
    const CliRun walk = runShell(QStringLiteral("exec \"$CLI\" -r d"), asNobody);
    EXPECT_EQ(walk.exitCode, 1);
    EXPECT_TRUE(
        walk.err.contains("vellora-cli: d/closed: cannot read the folder: Permission denied"))
        << walk.err.toStdString();
    EXPECT_TRUE(QFile::exists(at(QStringLiteral("d/a-vellora.jpg"))));

    const CliRun dry = runShell(QStringLiteral("exec \"$CLI\" -n -d readonly d/a.jpg"), asNobody);
    EXPECT_EQ(dry.exitCode, 1);
    EXPECT_TRUE(dry.err.contains("cannot create a file in")) << dry.err.toStdString();
    // Two levels to make under it: the reason is the first level's, not the second's
    // "No such file or directory".
    const CliRun deeper =
        runShell(QStringLiteral("exec \"$CLI\" -d readonly/a/b d/a.jpg"), asNobody);
    EXPECT_EQ(deeper.exitCode, 1);
    EXPECT_TRUE(deeper.err.contains("readonly/a/b': Permission denied"))
        << deeper.err.toStdString();
}

// ---- hard links -----------------------------------------------------------------------

TEST_F(KeepTest, InPlaceRefusesAFileWithOtherLinksAndGoesOn) {
    ASSERT_TRUE(writeBytes(at(QStringLiteral("linked.jpg")), jpegBytes(1)));
    ASSERT_TRUE(writeBytes(at(QStringLiteral("single.jpg")), jpegBytes(2)));
    ASSERT_EQ(::link(QFile::encodeName(at(QStringLiteral("linked.jpg"))).constData(),
                     QFile::encodeName(at(QStringLiteral("other-name.jpg"))).constData()),
              0);
    const QByteArray linked = readBytes(at(QStringLiteral("linked.jpg")));
    const QByteArray single = readBytes(at(QStringLiteral("single.jpg")));

    const CliRun result = run(
        {QStringLiteral("--in-place"), QStringLiteral("linked.jpg"), QStringLiteral("single.jpg")});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.errLines(),
              QStringList{QStringLiteral(
                  "vellora-cli: linked.jpg: has 1 other link; replacing it would split them")});
    EXPECT_EQ(readBytes(at(QStringLiteral("linked.jpg"))), linked);
    EXPECT_EQ(readBytes(at(QStringLiteral("other-name.jpg"))), linked);
    EXPECT_NE(readBytes(at(QStringLiteral("single.jpg"))), single);  // the other went on

    // --force over an output with other names would part them the same way, and
    // report "ok" while those names kept the old file.
    ASSERT_TRUE(writeBytes(at(QStringLiteral("out.jpg")), "an old result"));
    ASSERT_EQ(::link(QFile::encodeName(at(QStringLiteral("out.jpg"))).constData(),
                     QFile::encodeName(at(QStringLiteral("backup.jpg"))).constData()),
              0);
    const CliRun forced = run({QStringLiteral("-f"), QStringLiteral("-o"),
                               QStringLiteral("out.jpg"), QStringLiteral("single.jpg")});
    EXPECT_EQ(forced.exitCode, 1);
    EXPECT_TRUE(forced.err.contains("out.jpg' has 1 other link; replacing it would split them"))
        << forced.err.toStdString();
    EXPECT_EQ(readBytes(at(QStringLiteral("out.jpg"))), "an old result");
}

TEST_F(KeepTest, OneFileNamedThroughTwoLinksIsOneInput) {
    ASSERT_TRUE(writeBytes(at(QStringLiteral("a.jpg")), jpegBytes()));
    ASSERT_TRUE(QDir(m_dir.path()).mkdir(QStringLiteral("elsewhere")));
    ASSERT_EQ(::link(QFile::encodeName(at(QStringLiteral("a.jpg"))).constData(),
                     QFile::encodeName(at(QStringLiteral("elsewhere/b.jpg"))).constData()),
              0);
    const CliRun result =
        run({QStringLiteral("--json"), QStringLiteral("-d"), QStringLiteral("out"),
             QStringLiteral("a.jpg"), QStringLiteral("elsewhere/b.jpg")});
    EXPECT_EQ(result.exitCode, 0) << result.err.toStdString();
    const std::vector<QJsonObject> objects = jsonObjects(result);
    ASSERT_EQ(objects.size(), 3U);
    EXPECT_EQ(objects[0][QStringLiteral("input")].toString(), QStringLiteral("a.jpg"));
    // The second name is told, not passed over in silence.
    EXPECT_EQ(objects[1][QStringLiteral("status")].toString(), QStringLiteral("skipped"));
    EXPECT_EQ(objects[1][QStringLiteral("error")].toString(),
              QStringLiteral("the same file as 'a.jpg'; only that name is taken"));
    EXPECT_EQ(objects[2][QStringLiteral("files")].toInt(), 2);
    EXPECT_EQ(treeOf(at(QStringLiteral("out"))), QStringList{QStringLiteral("a.jpg")});
}

// ---- names never drive the terminal ---------------------------------------------------

TEST_F(KeepTest, NamesOnStderrAreEscaped) {
    const QByteArray name("e\x1b]0;title\x07.jpg");
    writeNative(name, "not a picture at all");
    const CliRun result = runShell(QStringLiteral("exec \"$CLI\" -v ."));
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_FALSE(result.err.contains('\x1b'));
    EXPECT_FALSE(result.err.contains('\x07'));
    EXPECT_TRUE(result.err.contains("vellora-cli: ./e\\x1b]0;title\\x07.jpg: "))
        << result.err.toStdString();
}

}  // namespace
}  // namespace vellora::test
