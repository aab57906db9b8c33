// Runs the real vellora-cli (with the real image library module) on pictures made in
// a scratch folder and looks at what it wrote, printed and returned.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <QBuffer>
#include <QColorSpace>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QImageReader>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include "cli_test_support.h"
#include "support/test_support.h"

namespace vellora::test {
namespace {

class CliTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_dir.isValid()); }

    QString at(const QString& relative) const { return m_dir.filePath(relative); }

    void makeJpeg(const QString& relative, int width = 128, int height = 96, int quality = 95,
                  int which = 1) {
        QDir().mkpath(QFileInfo(at(relative)).path());
        ASSERT_TRUE(writeJpeg(at(relative), photo(width, height, which), quality))
            << relative.toStdString();
    }
    void makeBmp(const QString& relative, int width = 128, int height = 96, int which = 2) {
        QDir().mkpath(QFileInfo(at(relative)).path());
        ASSERT_TRUE(writeBmp(at(relative), photo(width, height, which))) << relative.toStdString();
    }

    CliRun run(const QStringList& arguments) const { return runCli(arguments, m_dir.path()); }

    static bool isJpeg(const QByteArray& bytes) {
        return bytes.size() > 4 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
               static_cast<unsigned char>(bytes[1]) == 0xD8;
    }
    QSize pictureSize(const QString& relative) const { return QImageReader(at(relative)).size(); }
    qint64 sizeOf(const QString& relative) const { return QFileInfo(at(relative)).size(); }

    QTemporaryDir m_dir;
};

TEST_F(CliTest, VersionAndHelp) {
    const CliRun version = run({QStringLiteral("--version")});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out, QByteArray("vellora-cli 1.5.0.7\n"));
    const CliRun help = run({QStringLiteral("--help")});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(help.out.contains("--target-size"));
    EXPECT_TRUE(help.out.contains("Examples:"));
}

TEST_F(CliTest, SingleFileGoesBesideItsInputQuietly) {
    makeJpeg(QStringLiteral("photo.jpg"));
    const QByteArray before = readBytes(at(QStringLiteral("photo.jpg")));
    const CliRun result = run({QStringLiteral("photo.jpg")});
    EXPECT_EQ(result.exitCode, 0) << result.err.toStdString();
    EXPECT_TRUE(result.out.isEmpty());
    EXPECT_TRUE(result.err.isEmpty()) << result.err.toStdString();  // not a terminal
    const QByteArray output = readBytes(at(QStringLiteral("photo-vellora.jpg")));
    EXPECT_TRUE(isJpeg(output));
    EXPECT_LT(output.size(), before.size());
    EXPECT_EQ(pictureSize(QStringLiteral("photo-vellora.jpg")), QSize(128, 96));
    EXPECT_EQ(readBytes(at(QStringLiteral("photo.jpg"))), before);  // the input is untouched
    EXPECT_EQ(treeOf(m_dir.path()), (QStringList{"photo-vellora.jpg", "photo.jpg"}));
}

TEST_F(CliTest, EveryPictureNameIsAcceptedAndGivesAJpgBesideIt) {
    makeJpeg(QStringLiteral("a.JPG"));
    makeJpeg(QStringLiteral("b.jpeg"));
    makeJpeg(QStringLiteral("c.JPE"));
    makeBmp(QStringLiteral("d.bmp"));
    const CliRun result = run({QStringLiteral("a.JPG"), QStringLiteral("b.jpeg"),
                               QStringLiteral("c.JPE"), QStringLiteral("d.bmp")});
    EXPECT_EQ(result.exitCode, 0) << result.err.toStdString();
    for (const char* output :
         {"a-vellora.jpg", "b-vellora.jpg", "c-vellora.jpg", "d-vellora.jpg"}) {
        EXPECT_TRUE(isJpeg(readBytes(at(QString::fromLatin1(output))))) << output;
    }
}

TEST_F(CliTest, ExplicitOutputAndQuality) {
    makeJpeg(QStringLiteral("photo.jpg"));
    const CliRun low = run({QStringLiteral("-q"), QStringLiteral("20"), QStringLiteral("-o"),
                            QStringLiteral("low.jpg"), QStringLiteral("photo.jpg")});
    const CliRun high = run({QStringLiteral("--quality=90"), QStringLiteral("--output"),
                             QStringLiteral("high.jpg"), QStringLiteral("photo.jpg")});
    EXPECT_EQ(low.exitCode, 0) << low.err.toStdString();
    EXPECT_EQ(high.exitCode, 0) << high.err.toStdString();
    EXPECT_LT(sizeOf(QStringLiteral("low.jpg")), sizeOf(QStringLiteral("high.jpg")));
    EXPECT_FALSE(QFileInfo::exists(at(QStringLiteral("photo-vellora.jpg"))));
}

TEST_F(CliTest, RecursiveBatchIntoAFolderKeepsTheTree) {
    makeJpeg(QStringLiteral("in/top.jpg"));
    makeBmp(QStringLiteral("in/a/scan.bmp"));
    makeJpeg(QStringLiteral("in/a/b/deep.JPEG"));
    ASSERT_TRUE(writeBytes(at(QStringLiteral("in/a/notes.txt")), "not a picture"));
    ASSERT_TRUE(photo(32, 32).save(at(QStringLiteral("in/a/b/other.png"))));

    const CliRun flat = run({QStringLiteral("-d"), QStringLiteral("flat"), QStringLiteral("in")});
    EXPECT_EQ(flat.exitCode, 0) << flat.err.toStdString();
    EXPECT_EQ(treeOf(at(QStringLiteral("flat"))), QStringList{QStringLiteral("top.jpg")});

    const CliRun tree = run({QStringLiteral("-r"), QStringLiteral("-d"), QStringLiteral("out/new"),
                             QStringLiteral("in")});
    EXPECT_EQ(tree.exitCode, 0) << tree.err.toStdString();
    EXPECT_TRUE(tree.err.isEmpty());
    EXPECT_EQ(treeOf(at(QStringLiteral("out/new"))),
              (QStringList{"a", "a/b", "a/b/deep.JPEG", "a/scan.jpg", "top.jpg"}));
    EXPECT_TRUE(isJpeg(readBytes(at(QStringLiteral("out/new/a/scan.jpg")))));
}

TEST_F(CliTest, TargetSizeGivesTheHighestQualityThatFits) {
    makeJpeg(QStringLiteral("photo.jpg"), 192, 128, 98);
    const qint64 limit = sizeOf(QStringLiteral("photo.jpg")) / 4;
    const CliRun result =
        run({QStringLiteral("-s"), QString::number(limit), QStringLiteral("--json"),
             QStringLiteral("-o"), QStringLiteral("fit.jpg"), QStringLiteral("photo.jpg")});
    ASSERT_EQ(result.exitCode, 0) << result.err.toStdString();
    const QJsonObject report =
        QJsonDocument::fromJson(result.outLines().value(0).toUtf8()).object();
    const int quality = report.value(QStringLiteral("quality")).toInt();
    ASSERT_GT(quality, 1);
    ASSERT_LT(quality, 100);
    EXPECT_LE(sizeOf(QStringLiteral("fit.jpg")), limit);
    EXPECT_EQ(report.value(QStringLiteral("bytes_after")).toInteger(),
              sizeOf(QStringLiteral("fit.jpg")));

    // The file is the one a plain run at that quality makes, and one step up no longer fits.
    const CliRun same = run({QStringLiteral("-q"), QString::number(quality), QStringLiteral("-o"),
                             QStringLiteral("same.jpg"), QStringLiteral("photo.jpg")});
    ASSERT_EQ(same.exitCode, 0);
    EXPECT_EQ(readBytes(at(QStringLiteral("same.jpg"))), readBytes(at(QStringLiteral("fit.jpg"))));
    const CliRun above =
        run({QStringLiteral("-q"), QString::number(quality + 1), QStringLiteral("-o"),
             QStringLiteral("above.jpg"), QStringLiteral("photo.jpg")});
    ASSERT_EQ(above.exitCode, 0);
    EXPECT_GT(sizeOf(QStringLiteral("above.jpg")), limit);
    // No trial file is left over.
    EXPECT_EQ(treeOf(m_dir.path()), (QStringList{"above.jpg", "fit.jpg", "photo.jpg", "same.jpg"}));
}

TEST_F(CliTest, TargetSizeFindsQualityHundredWhereItIsTheSmallest) {
    // Flat colour patches: quality 100 keeps the colour at full resolution, every lower
    // quality halves it, and on such graphics 100 makes the smaller file. A search that
    // took size to fall all the way from 100 settled far lower than what fits.
    QImage patches(160, 160, QImage::Format_RGB888);
    for (int tile = 0; tile < 16; ++tile) {
        const QColor colour = QColor::fromHsv((tile * 67) % 360, 120 + 8 * tile, 90 + 10 * tile);
        for (int y = 0; y < 40; ++y) {
            for (int x = 0; x < 40; ++x) {
                patches.setPixelColor((tile % 4) * 40 + x, (tile / 4) * 40 + y, colour);
            }
        }
    }
    ASSERT_TRUE(writeBmp(at(QStringLiteral("patches.bmp")), patches));
    ASSERT_EQ(run({QStringLiteral("-q"), QStringLiteral("100"), QStringLiteral("-o"),
                   QStringLiteral("best.jpg"), QStringLiteral("patches.bmp")})
                  .exitCode,
              0);
    ASSERT_EQ(run({QStringLiteral("-q"), QStringLiteral("99"), QStringLiteral("--keep-larger"),
                   QStringLiteral("-o"), QStringLiteral("next.jpg"), QStringLiteral("patches.bmp")})
                  .exitCode,
              0);
    const qint64 limit = sizeOf(QStringLiteral("best.jpg"));
    ASSERT_GT(sizeOf(QStringLiteral("next.jpg")), limit);  // the picture is such a case
    const CliRun result =
        run({QStringLiteral("-s"), QString::number(limit), QStringLiteral("--json"),
             QStringLiteral("-o"), QStringLiteral("fit.jpg"), QStringLiteral("patches.bmp")});
    ASSERT_EQ(result.exitCode, 0) << result.err.toStdString();
    EXPECT_EQ(QJsonDocument::fromJson(result.outLines().value(0).toUtf8())
                  .object()
                  .value(QStringLiteral("quality"))
                  .toInt(),
              100);
    EXPECT_EQ(readBytes(at(QStringLiteral("fit.jpg"))), readBytes(at(QStringLiteral("best.jpg"))));
}

TEST_F(CliTest, ImpossibleTargetSizeWritesNothingAndFails) {
    makeJpeg(QStringLiteral("photo.jpg"));
    makeJpeg(QStringLiteral("other.jpg"), 128, 96, 95, 3);
    const CliRun result = run({QStringLiteral("--target-size"), QStringLiteral("200B"),
                               QStringLiteral("photo.jpg"), QStringLiteral("other.jpg")});
    EXPECT_EQ(result.exitCode, 1);
    const QStringList lines = result.errLines();
    ASSERT_EQ(lines.size(), 2) << result.err.toStdString();
    EXPECT_TRUE(lines[0].startsWith(QLatin1String("vellora-cli: photo.jpg: ")));
    EXPECT_TRUE(lines[0].contains(QLatin1String("quality 1"))) << lines[0].toStdString();
    EXPECT_TRUE(lines[1].startsWith(QLatin1String("vellora-cli: other.jpg: ")));
    EXPECT_EQ(treeOf(m_dir.path()), (QStringList{"other.jpg", "photo.jpg"}));
}

TEST_F(CliTest, CropKeepsTheRectangleAndClipsIt) {
    makeJpeg(QStringLiteral("photo.jpg"), 128, 96);
    EXPECT_EQ(run({QStringLiteral("--crop"), QStringLiteral("10,20,50,40"), QStringLiteral("-o"),
                   QStringLiteral("inside.jpg"), QStringLiteral("photo.jpg")})
                  .exitCode,
              0);
    EXPECT_EQ(pictureSize(QStringLiteral("inside.jpg")), QSize(50, 40));

    EXPECT_EQ(run({QStringLiteral("--crop"), QStringLiteral("100,80,500,500"), QStringLiteral("-o"),
                   QStringLiteral("clipped.jpg"), QStringLiteral("photo.jpg")})
                  .exitCode,
              0);
    EXPECT_EQ(pictureSize(QStringLiteral("clipped.jpg")), QSize(28, 16));

    // Written though larger than the whole input: it is another picture, not a re-encode.
    makeJpeg(QStringLiteral("plain.jpg"), 128, 96, 50);
    EXPECT_EQ(run({QStringLiteral("-q"), QStringLiteral("100"), QStringLiteral("--crop"),
                   QStringLiteral("1,1,126,94"), QStringLiteral("-o"), QStringLiteral("large.jpg"),
                   QStringLiteral("plain.jpg")})
                  .exitCode,
              0);
    EXPECT_EQ(pictureSize(QStringLiteral("large.jpg")), QSize(126, 94));
    EXPECT_GT(QFileInfo(at(QStringLiteral("large.jpg"))).size(),
              QFileInfo(at(QStringLiteral("plain.jpg"))).size());
    // A rectangle over the whole picture cuts nothing out: a plain re-encode, skipped.
    EXPECT_EQ(run({QStringLiteral("-q"), QStringLiteral("100"), QStringLiteral("--crop"),
                   QStringLiteral("0,0,99999,99999"), QStringLiteral("-o"),
                   QStringLiteral("whole.jpg"), QStringLiteral("plain.jpg")})
                  .exitCode,
              0);
    EXPECT_FALSE(QFileInfo::exists(at(QStringLiteral("whole.jpg"))));

    const CliRun outside =
        run({QStringLiteral("--crop"), QStringLiteral("500,500,10,10"), QStringLiteral("-o"),
             QStringLiteral("none.jpg"), QStringLiteral("photo.jpg")});
    EXPECT_EQ(outside.exitCode, 1);
    ASSERT_EQ(outside.errLines().size(), 1);
    EXPECT_TRUE(outside.errLines()[0].startsWith(QLatin1String("vellora-cli: photo.jpg: ")));
    EXPECT_GT(outside.errLines()[0].size(), QStringLiteral("vellora-cli: photo.jpg: ").size() + 5);
    EXPECT_FALSE(QFileInfo::exists(at(QStringLiteral("none.jpg"))));
}

TEST_F(CliTest, AnExistingOutputIsReplacedOnlyWithForce) {
    makeJpeg(QStringLiteral("photo.jpg"));
    ASSERT_TRUE(writeBytes(at(QStringLiteral("photo-vellora.jpg")), "keep me"));

    const CliRun refused = run({QStringLiteral("photo.jpg")});
    EXPECT_EQ(refused.exitCode, 1);
    ASSERT_EQ(refused.errLines().size(), 1);
    EXPECT_TRUE(refused.errLines()[0].contains(QLatin1String("already exists")));
    EXPECT_EQ(readBytes(at(QStringLiteral("photo-vellora.jpg"))), QByteArray("keep me"));

    const CliRun forced = run({QStringLiteral("--force"), QStringLiteral("photo.jpg")});
    EXPECT_EQ(forced.exitCode, 0) << forced.err.toStdString();
    EXPECT_TRUE(isJpeg(readBytes(at(QStringLiteral("photo-vellora.jpg")))));
}

TEST_F(CliTest, AnInputIsNeverReplacedWithoutInPlace) {
    makeJpeg(QStringLiteral("photo.jpg"));
    const QByteArray before = readBytes(at(QStringLiteral("photo.jpg")));
    const QList<QStringList> attempts = {
        {QStringLiteral("--suffix="), QStringLiteral("--force"), QStringLiteral("photo.jpg")},
        {QStringLiteral("-d"), QStringLiteral("."), QStringLiteral("-f"),
         QStringLiteral("photo.jpg")},
        {QStringLiteral("-o"), QStringLiteral("./photo.jpg"), QStringLiteral("-f"),
         QStringLiteral("photo.jpg")},
    };
    for (const QStringList& arguments : attempts) {
        const CliRun result = run(arguments);
        EXPECT_EQ(result.exitCode, 1) << arguments.join(' ').toStdString();
        EXPECT_TRUE(result.err.contains("--in-place")) << result.err.toStdString();
        EXPECT_EQ(readBytes(at(QStringLiteral("photo.jpg"))), before);
    }
    EXPECT_EQ(treeOf(m_dir.path()), QStringList{QStringLiteral("photo.jpg")});
}

TEST_F(CliTest, InPlaceReplacesAJpegAndKeepsItsPermissions) {
    makeJpeg(QStringLiteral("photo.jpg"));
    const QByteArray path = QFile::encodeName(at(QStringLiteral("photo.jpg")));
    ASSERT_EQ(::chmod(path.constData(), 0640), 0);
    const qint64 before = sizeOf(QStringLiteral("photo.jpg"));
    const CliRun result = run({QStringLiteral("--in-place"), QStringLiteral("photo.jpg")});
    EXPECT_EQ(result.exitCode, 0) << result.err.toStdString();
    EXPECT_LT(sizeOf(QStringLiteral("photo.jpg")), before);
    EXPECT_TRUE(isJpeg(readBytes(at(QStringLiteral("photo.jpg")))));
    struct stat info {};
    ASSERT_EQ(::stat(path.constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    EXPECT_EQ(treeOf(m_dir.path()), QStringList{QStringLiteral("photo.jpg")});
}

TEST_F(CliTest, InPlaceKeepsABmpAndWritesItsJpegBeside) {
    makeBmp(QStringLiteral("scan.bmp"));
    const QByteArray bitmap = readBytes(at(QStringLiteral("scan.bmp")));
    EXPECT_EQ(run({QStringLiteral("--in-place"), QStringLiteral("scan.bmp")}).exitCode, 0);
    EXPECT_EQ(readBytes(at(QStringLiteral("scan.bmp"))), bitmap);
    EXPECT_TRUE(isJpeg(readBytes(at(QStringLiteral("scan.jpg")))));

    // scan.jpg now exists: refused without --force ...
    const QByteArray first = readBytes(at(QStringLiteral("scan.jpg")));
    const CliRun again = run({QStringLiteral("--in-place"), QStringLiteral("-q"),
                              QStringLiteral("30"), QStringLiteral("scan.bmp")});
    EXPECT_EQ(again.exitCode, 1);
    EXPECT_EQ(readBytes(at(QStringLiteral("scan.jpg"))), first);
    // ... and when scan.jpg is an input of the same run, it is that input's alone.
    const CliRun both = run({QStringLiteral("--in-place"), QStringLiteral("--force"),
                             QStringLiteral("-q"), QStringLiteral("30"), QStringLiteral(".")});
    EXPECT_EQ(both.exitCode, 1);
    ASSERT_EQ(both.errLines().size(), 1) << both.err.toStdString();
    EXPECT_TRUE(both.errLines()[0].startsWith(QLatin1String("vellora-cli: ./scan.bmp: ")));
    EXPECT_TRUE(both.errLines()[0].contains(QLatin1String("another input")));
    EXPECT_LT(sizeOf(QStringLiteral("scan.jpg")), first.size());  // re-encoded in place at 30
    EXPECT_EQ(readBytes(at(QStringLiteral("scan.bmp"))), bitmap);
}

TEST_F(CliTest, JsonReportParsesBackOneObjectPerFile) {
    makeJpeg(QStringLiteral("good.jpg"));
    makeBmp(QStringLiteral("scan.bmp"));
    // Already squeezed harder than the run will: its result would not be smaller.
    ASSERT_EQ(run({QStringLiteral("-q"), QStringLiteral("10"), QStringLiteral("-o"),
                   QStringLiteral("small.jpg"), QStringLiteral("good.jpg")})
                  .exitCode,
              0);
    ASSERT_TRUE(writeBytes(at(QStringLiteral("broken.jpg")), "definitely not a JPEG file"));
    const CliRun result = run({QStringLiteral("--json"), QStringLiteral("-q"), QStringLiteral("60"),
                               QStringLiteral("good.jpg"), QStringLiteral("scan.bmp"),
                               QStringLiteral("small.jpg"), QStringLiteral("broken.jpg")});
    EXPECT_EQ(result.exitCode, 1);
    const QStringList lines = result.outLines();
    ASSERT_EQ(lines.size(), 5) << result.out.toStdString();
    QList<QJsonObject> objects;
    for (const QString& line : lines) {
        QJsonParseError error{};
        objects << QJsonDocument::fromJson(line.toUtf8(), &error).object();
        ASSERT_EQ(error.error, QJsonParseError::NoError) << line.toStdString();
    }
    const auto field = [&](int i, const char* key) { return objects[i].value(QLatin1String(key)); };
    EXPECT_EQ(field(0, "input").toString(), QStringLiteral("good.jpg"));
    EXPECT_EQ(field(0, "output").toString(), QStringLiteral("good-vellora.jpg"));
    EXPECT_EQ(field(0, "status").toString(), QStringLiteral("ok"));
    EXPECT_EQ(field(0, "bytes_before").toInteger(), sizeOf(QStringLiteral("good.jpg")));
    EXPECT_EQ(field(0, "bytes_after").toInteger(), sizeOf(QStringLiteral("good-vellora.jpg")));
    EXPECT_EQ(field(0, "quality").toInt(), 60);
    EXPECT_GT(field(0, "saved_percent").toDouble(), 0.0);
    EXPECT_TRUE(field(0, "error").isNull());
    EXPECT_EQ(field(1, "status").toString(), QStringLiteral("ok"));
    EXPECT_EQ(field(2, "input").toString(), QStringLiteral("small.jpg"));
    EXPECT_EQ(field(2, "status").toString(), QStringLiteral("skipped"));
    EXPECT_EQ(field(3, "status").toString(), QStringLiteral("failed"));
    EXPECT_FALSE(field(3, "error").toString().isEmpty());
    EXPECT_TRUE(objects[4].value(QLatin1String("summary")).toBool());
    EXPECT_EQ(objects[4].value(QLatin1String("files")).toInt(), 4);
    EXPECT_EQ(objects[4].value(QLatin1String("written")).toInt(), 2);
    EXPECT_EQ(objects[4].value(QLatin1String("skipped")).toInt(), 1);
    EXPECT_EQ(objects[4].value(QLatin1String("failed")).toInt(), 1);
    // stderr holds the failure only.
    ASSERT_EQ(result.errLines().size(), 1);
    EXPECT_TRUE(result.errLines()[0].startsWith(QLatin1String("vellora-cli: broken.jpg: ")));
}

TEST_F(CliTest, VerboseLinePerFile) {
    makeJpeg(QStringLiteral("photo.jpg"));
    const CliRun result = run({QStringLiteral("-v"), QStringLiteral("photo.jpg")});
    EXPECT_EQ(result.exitCode, 0);
    const QStringList lines = result.errLines();
    ASSERT_EQ(lines.size(), 2) << result.err.toStdString();
    const QString expected = QStringLiteral("photo.jpg -> photo-vellora.jpg: %1 -> %2 bytes, ")
                                 .arg(sizeOf(QStringLiteral("photo.jpg")))
                                 .arg(sizeOf(QStringLiteral("photo-vellora.jpg")));
    EXPECT_TRUE(lines[0].startsWith(expected)) << lines[0].toStdString();
    EXPECT_TRUE(lines[0].endsWith(QLatin1String("saved, quality 75")));
    EXPECT_TRUE(lines[1].startsWith(QLatin1String("1 file(s): 1 written, 0 skipped, 0 failed")));
    EXPECT_TRUE(result.out.isEmpty());
}

struct UsageCase {
    QStringList arguments;
};

TEST_F(CliTest, UsageErrorsExitWithTwoAndWriteNothing) {
    makeJpeg(QStringLiteral("a.jpg"));
    makeJpeg(QStringLiteral("b.jpg"));
    const QList<QStringList> cases = {
        {},
        {QStringLiteral("--no-such-option"), QStringLiteral("a.jpg")},
        {QStringLiteral("-q"), QStringLiteral("0"), QStringLiteral("a.jpg")},
        {QStringLiteral("-q"), QStringLiteral("abc"), QStringLiteral("a.jpg")},
        {QStringLiteral("-s"), QStringLiteral("12X"), QStringLiteral("a.jpg")},
        {QStringLiteral("-s"), QStringLiteral("10K"), QStringLiteral("-q"), QStringLiteral("50"),
         QStringLiteral("a.jpg")},
        {QStringLiteral("--crop"), QStringLiteral("1,2,3"), QStringLiteral("a.jpg")},
        {QStringLiteral("-j"), QStringLiteral("0"), QStringLiteral("a.jpg")},
        {QStringLiteral("-o"), QStringLiteral("x.jpg"), QStringLiteral("a.jpg"),
         QStringLiteral("b.jpg")},
        {QStringLiteral("-o"), QStringLiteral("x.jpg"), QStringLiteral(".")},
    };
    for (const QStringList& arguments : cases) {
        const CliRun result = run(arguments);
        EXPECT_EQ(result.exitCode, 2) << arguments.join(' ').toStdString();
        EXPECT_TRUE(result.err.startsWith("vellora-cli: ")) << result.err.toStdString();
        EXPECT_TRUE(result.out.isEmpty());
    }
    EXPECT_EQ(treeOf(m_dir.path()), (QStringList{"a.jpg", "b.jpg"}));
}

TEST_F(CliTest, BadFilesFailOneLineEachAndTheGoodOnesAreStillWritten) {
    makeJpeg(QStringLiteral("in/a-good.jpg"));
    makeBmp(QStringLiteral("in/b-good.bmp"));
    const QByteArray whole = readBytes(at(QStringLiteral("in/a-good.jpg")));
    ASSERT_TRUE(writeBytes(at(QStringLiteral("in/c-truncated.jpg")), whole.left(whole.size() / 2)));
    ASSERT_TRUE(writeBytes(at(QStringLiteral("in/d-text.bmp")), "BM but no bitmap at all"));
    ASSERT_TRUE(writeBytes(at(QStringLiteral("in/e-empty.jpg")), QByteArray()));
    ASSERT_TRUE(writeBytes(at(QStringLiteral("notes.txt")), "not a picture"));

    const CliRun result =
        run({QStringLiteral("-j"), QStringLiteral("2"), QStringLiteral("-d"), QStringLiteral("out"),
             QStringLiteral("in"), QStringLiteral("notes.txt"), QStringLiteral("missing.jpg")});
    EXPECT_EQ(result.exitCode, 1);
    const QStringList lines = result.errLines();
    ASSERT_EQ(lines.size(), 5) << result.err.toStdString();
    const QStringList named = {"in/c-truncated.jpg", "in/d-text.bmp", "in/e-empty.jpg", "notes.txt",
                               "missing.jpg"};
    for (int i = 0; i < named.size(); ++i) {
        EXPECT_TRUE(
            lines[i].startsWith(QStringLiteral("vellora-cli: ") + named[i] + QStringLiteral(": ")))
            << lines[i].toStdString();
    }
    EXPECT_EQ(treeOf(at(QStringLiteral("out"))), (QStringList{"a-good.jpg", "b-good.jpg"}));
}

TEST_F(CliTest, FuzzedJpegsFailCleanlyAmongGoodOnes) {
    const QDir corpus(testData(QStringLiteral("bad/jpeg/ljt-afl-jpeg-edges")));
    const QStringList names = corpus.entryList({QStringLiteral("*.jpg")}, QDir::Files, QDir::Name);
    ASSERT_FALSE(names.isEmpty());
    QDir().mkpath(at(QStringLiteral("in")));
    for (const QString& name : names) {
        ASSERT_TRUE(QFile::copy(corpus.filePath(name), at(QStringLiteral("in/") + name)));
    }
    makeJpeg(QStringLiteral("in/zz-good.jpg"));
    const CliRun result = run({QStringLiteral("--keep-larger"), QStringLiteral("--json"),
                               QStringLiteral("-d"), QStringLiteral("out"), QStringLiteral("in")});
    ASSERT_NE(result.exitCode, -1);  // finished: no crash, no hang
    int failed = 0;
    int written = 0;
    for (const QString& line : result.outLines()) {
        const QJsonObject object = QJsonDocument::fromJson(line.toUtf8()).object();
        if (object.value(QLatin1String("summary")).toBool()) {
            continue;
        }
        const QString status = object.value(QLatin1String("status")).toString();
        const QString output = object.value(QLatin1String("output")).toString();
        if (status == QLatin1String("failed")) {
            ++failed;
            EXPECT_FALSE(QFileInfo::exists(at(output))) << output.toStdString();
        } else {
            ++written;
            EXPECT_TRUE(isJpeg(readBytes(at(output)))) << output.toStdString();
        }
    }
    EXPECT_EQ(failed + written, names.size() + 1);
    EXPECT_EQ(result.errLines().size(), failed);
    EXPECT_EQ(result.exitCode, failed > 0 ? 1 : 0);
    EXPECT_TRUE(QFileInfo::exists(at(QStringLiteral("out/zz-good.jpg"))));
    for (const QString& entry : treeOf(at(QStringLiteral("out")))) {
        EXPECT_FALSE(entry.startsWith(QLatin1Char('.'))) << entry.toStdString();  // no scratch
    }
}

TEST_F(CliTest, AnOutputNotSmallerIsSkippedUnlessKeepLarger) {
    makeJpeg(QStringLiteral("tiny.jpg"), 128, 96, 15);
    const CliRun skipped =
        run({QStringLiteral("-q"), QStringLiteral("95"), QStringLiteral("tiny.jpg")});
    EXPECT_EQ(skipped.exitCode, 0);
    EXPECT_TRUE(skipped.err.isEmpty()) << skipped.err.toStdString();  // on purpose: no error
    EXPECT_EQ(treeOf(m_dir.path()), QStringList{QStringLiteral("tiny.jpg")});

    const CliRun told = run({QStringLiteral("-v"), QStringLiteral("-q"), QStringLiteral("95"),
                             QStringLiteral("tiny.jpg")});
    EXPECT_EQ(told.exitCode, 0);
    EXPECT_TRUE(told.err.contains("tiny.jpg: skipped: not smaller")) << told.err.toStdString();

    const CliRun kept = run({QStringLiteral("--keep-larger"), QStringLiteral("-q"),
                             QStringLiteral("95"), QStringLiteral("tiny.jpg")});
    EXPECT_EQ(kept.exitCode, 0);
    EXPECT_GE(sizeOf(QStringLiteral("tiny-vellora.jpg")), sizeOf(QStringLiteral("tiny.jpg")));
}

TEST_F(CliTest, StripOptionsDropExifAndTheColourProfile) {
    QImage image = photo(128, 96);
    image.setColorSpace(QColorSpace(QColorSpace::DisplayP3));
    ASSERT_TRUE(writeBytes(at(QStringLiteral("tagged.jpg")), jpegWithExif(image)));
    const JpegMarkers source = readJpegMarkers(at(QStringLiteral("tagged.jpg")));
    ASSERT_TRUE(source.valid);
    ASSERT_EQ(source.exifBlocks, 1);
    ASSERT_GE(source.iccBlocks, 1);

    struct Case {
        QStringList options;
        const char* output;
        bool exif;
        bool icc;
    };
    const QList<Case> cases = {
        {{}, "kept.jpg", true, true},
        {{QStringLiteral("--strip")}, "no-exif.jpg", false, true},
        {{QStringLiteral("--strip-icc")}, "no-icc.jpg", true, false},
        {{QStringLiteral("--strip"), QStringLiteral("--strip-icc")}, "bare.jpg", false, false},
    };
    for (const Case& c : cases) {
        const QString output = QString::fromLatin1(c.output);
        const CliRun result = run(
            c.options + QStringList{QStringLiteral("-o"), output, QStringLiteral("tagged.jpg")});
        ASSERT_EQ(result.exitCode, 0) << c.output << result.err.toStdString();
        const JpegMarkers markers = readJpegMarkers(at(output));
        ASSERT_TRUE(markers.valid) << c.output;
        EXPECT_EQ(markers.exifBlocks > 0, c.exif) << c.output;
        EXPECT_EQ(markers.iccBlocks > 0, c.icc) << c.output;
    }
}

TEST_F(CliTest, ParallelRunsWriteTheSameBytesAsOneWorker) {
    for (int i = 1; i <= 6; ++i) {
        if (i % 3 == 0) {
            makeBmp(QStringLiteral("in/p%1.bmp").arg(i), 120, 80, i);
        } else {
            makeJpeg(QStringLiteral("in/p%1.jpg").arg(i), 120, 80, 95, i);
        }
    }
    const CliRun one = run({QStringLiteral("-j"), QStringLiteral("1"), QStringLiteral("--json"),
                            QStringLiteral("-d"), QStringLiteral("one"), QStringLiteral("in")});
    const CliRun two = run({QStringLiteral("-j"), QStringLiteral("2"), QStringLiteral("--json"),
                            QStringLiteral("-d"), QStringLiteral("two"), QStringLiteral("in")});
    ASSERT_EQ(one.exitCode, 0) << one.err.toStdString();
    ASSERT_EQ(two.exitCode, 0) << two.err.toStdString();
    const QStringList files = treeOf(at(QStringLiteral("one")));
    ASSERT_EQ(files.size(), 6);
    EXPECT_EQ(treeOf(at(QStringLiteral("two"))), files);
    for (const QString& file : files) {
        EXPECT_EQ(readBytes(at(QStringLiteral("one/") + file)),
                  readBytes(at(QStringLiteral("two/") + file)))
            << file.toStdString();
    }
    // The reports differ only in the folder name: same order, same numbers.
    EXPECT_EQ(QString::fromUtf8(one.out).replace(QStringLiteral("one/"), QStringLiteral("X/")),
              QString::fromUtf8(two.out).replace(QStringLiteral("two/"), QStringLiteral("X/")));
}

TEST_F(CliTest, WithoutItsLibraryEveryFileFailsWithTheReason) {
    // A copy of the program whose ../lib/vellora holds no module.
    QDir().mkpath(at(QStringLiteral("elsewhere/bin")));
    const QString program = at(QStringLiteral("elsewhere/bin/vellora-cli"));
    ASSERT_TRUE(QFile::copy(QStringLiteral(VELLORA_BIN_DIR "/vellora-cli"), program));
    makeJpeg(QStringLiteral("a.jpg"));
    makeJpeg(QStringLiteral("b.jpg"));
    const CliRun result =
        runCli({QStringLiteral("a.jpg"), QStringLiteral("b.jpg")}, m_dir.path(), program);
    EXPECT_EQ(result.exitCode, 1);
    ASSERT_EQ(result.errLines().size(), 2) << result.err.toStdString();
    EXPECT_TRUE(result.errLines()[0].startsWith(QLatin1String("vellora-cli: a.jpg: ")));
    EXPECT_TRUE(result.errLines()[0].contains(QLatin1String("imgdll")));
    EXPECT_FALSE(QFileInfo::exists(at(QStringLiteral("a-vellora.jpg"))));
}

TEST_F(CliTest, ASecondRunLeavesEarlierResultsAlone) {
    makeJpeg(QStringLiteral("pics/a.jpg"));
    ASSERT_EQ(run({QStringLiteral("pics")}).exitCode, 0);
    const CliRun again =
        run({QStringLiteral("--force"), QStringLiteral("--json"), QStringLiteral("pics")});
    EXPECT_EQ(again.exitCode, 0) << again.err.toStdString();
    EXPECT_EQ(again.outLines().size(), 2);  // pics/a.jpg and the summary
    EXPECT_EQ(treeOf(at(QStringLiteral("pics"))), (QStringList{"a-vellora.jpg", "a.jpg"}));
}

TEST_F(CliTest, AnInterruptedRunLeavesOnlyWholeFiles) {
    // Enough work that the run is still going when the first result appears.
    const QImage picture = photo(320, 240, 5);
    QDir().mkpath(at(QStringLiteral("in")));
    for (int i = 0; i < 60; ++i) {
        ASSERT_TRUE(writeJpeg(at(QStringLiteral("in/p%1.jpg").arg(i, 2, 10, QLatin1Char('0'))),
                              picture, 97));
    }
    QProcess process;
    process.setProgram(QStringLiteral(VELLORA_BIN_DIR "/vellora-cli"));
    process.setArguments({QStringLiteral("-j"), QStringLiteral("2"), QStringLiteral("-s"),
                          QStringLiteral("9K"), QStringLiteral("-d"), QStringLiteral("out"),
                          QStringLiteral("in")});
    process.setWorkingDirectory(m_dir.path());
    process.start();
    ASSERT_TRUE(process.waitForStarted());
    const QDir out(at(QStringLiteral("out")));
    for (int wait = 0; wait < 3000 && stillRunning(process); ++wait) {
        if (!out.entryList({QStringLiteral("*.jpg")}, QDir::Files).isEmpty()) {
            break;
        }
        QThread::msleep(5);
    }
    ASSERT_TRUE(stillRunning(process)) << "the batch ended before it could be stopped";
    process.terminate();  // SIGTERM
    ASSERT_TRUE(process.waitForFinished(60000));
    // It ends by the signal, after cleaning up.
    EXPECT_EQ(process.exitStatus(), QProcess::CrashExit);
    EXPECT_TRUE(process.readAllStandardError().contains("interrupted"));
    const QStringList written = treeOf(at(QStringLiteral("out")));
    EXPECT_LT(written.size(), 60);
    for (const QString& name : written) {
        EXPECT_FALSE(name.startsWith(QLatin1Char('.'))) << name.toStdString();  // no scratch
        const QByteArray bytes = readBytes(at(QStringLiteral("out/") + name));
        EXPECT_TRUE(isJpeg(bytes) && bytes.endsWith("\xFF\xD9")) << name.toStdString();  // whole
        EXPECT_LE(QFileInfo(at(QStringLiteral("out/") + name)).size(), 9 * 1024);
    }
}

// Whether process `pid` has set its own handler for `number` yet (SigCgt in its status).
bool catches(qint64 pid, int number) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly)) {
        return false;
    }
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("SigCgt:")) {
            return (line.mid(7).trimmed().toULongLong(nullptr, 16) >> (number - 1)) & 1U;
        }
    }
    return false;
}

TEST_F(CliTest, IgnoredSignalsStayIgnoredAndASecondInterruptEndsTheRunAtOnce) {
    QDir().mkpath(at(QStringLiteral("in")));
    const QImage picture = photo(1200, 900, 3);
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(writeJpeg(at(QStringLiteral("in/p%1.jpg").arg(i)), picture, 97));
    }
    const auto start = [&](QProcess& process, const QStringList& prefix, const QString& out) {
        QStringList arguments = prefix + QStringList{QStringLiteral(VELLORA_BIN_DIR "/vellora-cli"),
                                                     QStringLiteral("-j"),
                                                     QStringLiteral("1"),
                                                     QStringLiteral("--target-ssim"),
                                                     QStringLiteral("0.999"),
                                                     QStringLiteral("-d"),
                                                     out,
                                                     QStringLiteral("in")};
        process.setWorkingDirectory(m_dir.path());
        process.start(arguments.takeFirst(), arguments);
        if (!process.waitForStarted()) {
            return false;
        }
        for (int wait = 0;
             wait < 6000 && stillRunning(process) && !catches(process.processId(), SIGTERM);
             ++wait) {
            QThread::msleep(1);
        }
        return stillRunning(process);
    };

    // Under nohup (here a shell's trap, kept across exec) a hangup must not stop it.
    QProcess immune;
    ASSERT_TRUE(start(immune,
                      {QStringLiteral("sh"), QStringLiteral("-c"),
                       QStringLiteral("trap '' HUP; exec \"$@\""), QStringLiteral("sh")},
                      QStringLiteral("out1")))
        << "the run ended before it could be signalled";
    ::kill(static_cast<pid_t>(immune.processId()), SIGHUP);
    ASSERT_TRUE(immune.waitForFinished(120000));
    EXPECT_EQ(immune.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(immune.exitCode(), 0) << immune.readAllStandardError().toStdString();
    EXPECT_EQ(treeOf(at(QStringLiteral("out1"))).size(), 4);

    // An interrupt, then a termination: the second ends it without finishing the
    // picture in hand.
    QProcess stopped;
    ASSERT_TRUE(start(stopped, {}, QStringLiteral("out2")))
        << "the run ended before it could be signalled";
    ::kill(static_cast<pid_t>(stopped.processId()), SIGINT);
    ::kill(static_cast<pid_t>(stopped.processId()), SIGTERM);
    ASSERT_TRUE(stopped.waitForFinished(120000));
    EXPECT_EQ(stopped.exitStatus(), QProcess::CrashExit);
    EXPECT_TRUE(QDir(at(QStringLiteral("out2")))
                    .entryList({QStringLiteral("*.jpg")}, QDir::Files)
                    .isEmpty());
}

TEST_F(CliTest, AStreamStoppedOrKilledLeavesNoCopyOfThePicture) {
    // The picture read from stdin waits in a private temporary folder; here TMPDIR.
    const QString temporary = at(QStringLiteral("tmp"));
    ASSERT_TRUE(QDir().mkpath(temporary));
    QByteArray jpeg;
    {
        QBuffer buffer(&jpeg);
        ASSERT_TRUE(buffer.open(QIODevice::WriteOnly));
        ASSERT_TRUE(photo(1600, 1200, 7).save(&buffer, "JPEG", 97));
    }
    const auto leftovers = [&] {
        return QDir(temporary).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    };
    // The run's copy of the picture, which it makes once its private folder is locked.
    const auto holdsACopy = [&] {
        QDirIterator files(temporary, {QStringLiteral("stdin.jpg")}, QDir::Files,
                           QDirIterator::Subdirectories);
        return files.hasNext();
    };
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TMPDIR"), temporary);
    const auto start = [&](QProcess& process) {
        process.setProcessEnvironment(environment);
        process.setProgram(QStringLiteral(VELLORA_BIN_DIR "/vellora-cli"));
        process.setArguments(
            {QStringLiteral("--target-ssim"), QStringLiteral("0.999"), QStringLiteral("-")});
        process.setWorkingDirectory(m_dir.path());
        process.start();
        if (!process.waitForStarted()) {
            return false;
        }
        process.write(jpeg);
        while (process.bytesToWrite() > 0 && process.waitForBytesWritten(10000)) {
        }
        process.closeWriteChannel();
        for (int wait = 0; wait < 3000 && !holdsACopy(); ++wait) {
            QThread::msleep(5);
        }
        return stillRunning(process) && holdsACopy();
    };

    // Stopped: it cleans up before it ends.
    QProcess stopped;
    ASSERT_TRUE(start(stopped)) << "the run ended before it could be stopped";
    stopped.terminate();  // SIGTERM
    ASSERT_TRUE(stopped.waitForFinished(60000));
    EXPECT_EQ(stopped.exitStatus(), QProcess::CrashExit);
    EXPECT_TRUE(leftovers().isEmpty()) << leftovers().join(' ').toStdString();

    // Killed: nothing can clean up then; the next run does.
    QProcess killed;
    ASSERT_TRUE(start(killed)) << "the run ended before it could be killed";
    killed.kill();  // SIGKILL
    ASSERT_TRUE(killed.waitForFinished(60000));
    ASSERT_FALSE(leftovers().isEmpty());
    QProcess next;
    next.setProcessEnvironment(environment);
    ASSERT_TRUE(writeJpeg(at(QStringLiteral("small.jpg")), photo(64, 48, 2), 95));
    next.setWorkingDirectory(m_dir.path());
    next.start(QStringLiteral(VELLORA_BIN_DIR "/vellora-cli"), {QStringLiteral("small.jpg")});
    ASSERT_TRUE(next.waitForFinished(60000));
    EXPECT_EQ(next.exitCode(), 0) << next.readAllStandardError().toStdString();
    EXPECT_TRUE(leftovers().isEmpty()) << leftovers().join(' ').toStdString();
}

}  // namespace
}  // namespace vellora::test
