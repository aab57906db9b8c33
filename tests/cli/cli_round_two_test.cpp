// The real vellora-cli with --lossless, --target-ssim, -p, --min-saving, -n and "-",
// on pictures made in a scratch folder, checked through other decoders than its own.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include "cli_test_support.h"
#include "round_two_support.h"
#include "support/test_support.h"

namespace vellora::test {
namespace {

const QString kCli = QStringLiteral(VELLORA_BIN_DIR "/vellora-cli");

class CliRoundTwoTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_dir.isValid()); }
    QString at(const QString& relative) const { return m_dir.filePath(relative); }
    CliRun run(const QStringList& arguments) const { return runCli(arguments, m_dir.path()); }
    void makeJpeg(const QString& relative, int width, int height, int quality = 95, int which = 1) {
        QDir().mkpath(QFileInfo(at(relative)).path());
        ASSERT_TRUE(writeJpeg(at(relative), photo(width, height, which), quality));
    }
    static QJsonObject firstObject(const QByteArray& lines) {
        return QJsonDocument::fromJson(lines.split('\n').front()).object();
    }

    QTemporaryDir m_dir;
};

// What djpeg (libjpeg-turbo's own program, a second decoder) makes of a file.
QByteArray djpegPixels(const QString& path) {
    QProcess djpeg;
    djpeg.start(QStringLiteral("djpeg"), {QStringLiteral("-ppm"), path});
    if (!djpeg.waitForFinished(60000) || djpeg.exitCode() != 0) {
        return {};
    }
    return djpeg.readAllStandardOutput();
}

// Every entry below `folder` with its size and modification time to the nanosecond.
QStringList listingWithSizesAndTimes(const QString& folder) {
    QStringList lines;
    QDirIterator iterator(folder,
                          QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                          QDirIterator::Subdirectories);
    while (iterator.hasNext()) {
        const QString path = iterator.next();
        struct stat info {};
        ::lstat(QFile::encodeName(path).constData(), &info);
        lines << QStringLiteral("%1 %2 %3.%4")
                     .arg(path)
                     .arg(info.st_size)
                     .arg(info.st_mtim.tv_sec)
                     .arg(info.st_mtim.tv_nsec);
    }
    struct stat top {};
    ::stat(QFile::encodeName(folder).constData(), &top);
    lines << QStringLiteral(". %1.%2").arg(top.st_mtim.tv_sec).arg(top.st_mtim.tv_nsec);
    lines.sort();
    return lines;
}

TEST_F(CliRoundTwoTest, LosslessKeepsEveryKindPixelIdenticalThroughDjpeg) {
    QStringList names;
    int index = 0;
    for (const JpegKind& kind : jpegKinds()) {
        const QString name = QStringLiteral("kind%1.jpg").arg(index++);
        ASSERT_TRUE(writeBytes(at(name), encodeKind(photo(211, 157, 2 + index), kind)));
        names << name;
    }
    const QStringList shared = {QStringLiteral("bad/jpeg/ljt-testimages/testorig.jpg"),
                                QStringLiteral("bad/jpeg/exif-orientation/Portrait_5.jpg"),
                                QStringLiteral("photos/BytheWater.jpg")};
    for (const QString& file : shared) {
        const QString name = QStringLiteral("shared%1.jpg").arg(index++);
        ASSERT_TRUE(QFile::copy(testData(file), at(name)));
        names << name;
    }
    // --keep-larger: every result is written, so every one can be looked at.
    const CliRun result = run({"--lossless", "--keep-larger", "--json", "-d", "out", "."});
    ASSERT_EQ(result.exitCode, 0) << result.err.toStdString();
    for (const QString& name : names) {
        const QByteArray before = djpegPixels(at(name));
        const QByteArray after = djpegPixels(at(QStringLiteral("out/") + name));
        ASSERT_FALSE(before.isEmpty()) << name.toStdString();
        EXPECT_EQ(before, after) << name.toStdString();
        EXPECT_LE(QFileInfo(at(QStringLiteral("out/") + name)).size(), QFileInfo(at(name)).size())
            << name.toStdString();
    }
    for (const QByteArray& line : result.out.split('\n')) {
        const QJsonObject object = QJsonDocument::fromJson(line).object();
        if (!object.isEmpty() && !object.value(QStringLiteral("summary")).toBool()) {
            EXPECT_TRUE(object.value(QStringLiteral("lossless")).toBool());
            EXPECT_TRUE(object.value(QStringLiteral("quality")).isNull());
        }
    }
}

TEST_F(CliRoundTwoTest, LosslessKeepsTheOrientationTagAndThePixelsAsStored) {
    ASSERT_TRUE(QFile::copy(testData(QStringLiteral("bad/jpeg/exif-orientation/Landscape_6.jpg")),
                            at(QStringLiteral("turned.jpg"))));
    const CliRun result = run({"--lossless", "--keep-larger", "-o", "out.jpg", "turned.jpg"});
    ASSERT_EQ(result.exitCode, 0) << result.err.toStdString();
    // Stored size, not turned: a 6 is shown turned by a quarter.
    EXPECT_EQ(readJpegMarkers(at("out.jpg")).width, readJpegMarkers(at("turned.jpg")).width);
    EXPECT_EQ(readJpegMarkers(at("out.jpg")).exifBlocks, 1);
    EXPECT_EQ(QImage(at("out.jpg")).size(), QImage(at("turned.jpg")).size());  // Qt turns both
}

TEST_F(CliRoundTwoTest, LosslessRefusedKindsAreSkippedWithTheirReason) {
    ASSERT_TRUE(QFile::copy(testData(QStringLiteral("bad/jpeg/ljt-testimages/testimgari.jpg")),
                            at(QStringLiteral("arith.jpg"))));
    ASSERT_TRUE(QFile::copy(
        testData(QStringLiteral("bad/jpeg/ljt-lossless/random8_100x91_lossless_psv5_pt2.jpg")),
        at(QStringLiteral("lossless.jpg"))));
    ASSERT_TRUE(QFile::copy(testData(QStringLiteral("bad/jpeg/ljt-testimages/monkey12.jpg")),
                            at(QStringLiteral("twelve.jpg"))));
    const QStringList before = treeOf(m_dir.path());
    const CliRun result =
        run({"--lossless", "-v", "--json", "arith.jpg", "lossless.jpg", "twelve.jpg"});
    EXPECT_EQ(result.exitCode, 0) << result.err.toStdString();
    // Not repacked, so not marked as a repacked JPEG.
    EXPECT_FALSE(firstObject(result.out).contains(QStringLiteral("lossless")))
        << result.out.toStdString();
    const QString err = QString::fromLocal8Bit(result.err);
    EXPECT_TRUE(err.contains(QLatin1String("arith.jpg: skipped: arithmetic-coded")))
        << result.err.toStdString();
    EXPECT_TRUE(err.contains(QLatin1String("lossless.jpg: skipped: lossless-process")));
    EXPECT_TRUE(
        err.contains(QLatin1String("twelve.jpg: skipped: Unsupported JPEG data precision 12")));
    EXPECT_EQ(treeOf(m_dir.path()), before);  // never a lossy encode in their place
}

TEST_F(CliRoundTwoTest, LosslessWithABmpNeedsAQuality) {
    ASSERT_TRUE(writeBmp(at("scan.bmp"), photo(64, 48)));
    makeJpeg("photo.jpg", 64, 48);
    const CliRun refused = run({"--lossless", "scan.bmp", "photo.jpg"});
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_TRUE(refused.err.contains("scan.bmp"));
    EXPECT_FALSE(QFile::exists(at("scan-vellora.jpg")));
    EXPECT_FALSE(QFile::exists(at("photo-vellora.jpg")));
    const CliRun accepted = run({"--lossless", "-q", "60", "--json", "scan.bmp"});
    EXPECT_EQ(accepted.exitCode, 0) << accepted.err.toStdString();
    EXPECT_EQ(firstObject(accepted.out).value(QStringLiteral("quality")).toInt(), 60);
    EXPECT_TRUE(QFile::exists(at("scan-vellora.jpg")));
}

// Both modes read a JPEG whole into memory: a name that leads to an endless device or
// a pipe, or a file padded far past any picture, must fail that file alone and at once
// (before, the pipe hung the run and /dev/zero ended it with bad_alloc).
TEST_F(CliRoundTwoTest, WholeFileModesReadOnlyRegularFilesOfSaneSize) {
    makeJpeg("good.jpg", 64, 48);
    ASSERT_EQ(::symlink("/dev/zero", QFile::encodeName(at("zero.jpg")).constData()), 0);
    ASSERT_EQ(::mkfifo(QFile::encodeName(at("pipe.jpg")).constData(), 0600), 0);
    makeJpeg("huge.jpg", 64, 48);
    QFile huge(at("huge.jpg"));
    ASSERT_TRUE(huge.resize(std::int64_t{1} << 30 | 1));  // sparse: costs no disk
    for (const QStringList& mode :
         {QStringList{"--lossless"}, QStringList{"--target-ssim", "0.98"}}) {
        SCOPED_TRACE(mode.join(' ').toStdString());
        QFile::remove(at("good-vellora.jpg"));
        const CliRun result =
            run(mode + QStringList{"good.jpg", "zero.jpg", "pipe.jpg", "huge.jpg"});
        EXPECT_EQ(result.exitCode, 1) << result.err.toStdString();
        EXPECT_TRUE(QFile::exists(at("good-vellora.jpg")));
        for (const char* line : {"zero.jpg: cannot read", "it is a device, not a regular file",
                                 "pipe.jpg: cannot read", "it is a pipe, not a regular file",
                                 "huge.jpg: cannot read the file: it holds 1073741825 bytes"}) {
            EXPECT_TRUE(result.err.contains(line)) << line << "\n" << result.err.toStdString();
        }
    }
}

// The target is checked again here: the result decoded by Qt's reader and the SSIM
// computed the slow direct way. A bitmap takes plain encodes, so one quality lower
// must miss; a stored JPEG keeps its own requantised luma and must meet the target
// just the same.
TEST_F(CliRoundTwoTest, TargetSsimIsMetByTheLowestQualityWithinEightEncodes) {
    const QImage picture = photo(160, 120, 8);
    ASSERT_TRUE(writeJpeg(at("photo.jpg"), picture, 85));
    const QImage stored(at("photo.jpg"));
    ASSERT_TRUE(writeBmp(at("photo.bmp"), stored.convertToFormat(QImage::Format_RGB888)));
    for (const double target : {0.9, 0.97, 0.99}) {
        for (const char* input : {"photo.bmp", "photo.jpg"}) {
            const QString what = QStringLiteral("%1 at %2").arg(QLatin1String(input)).arg(target);
            const QString output =
                QStringLiteral("out-%1-%2").arg(target).arg(QLatin1String(input));
            const CliRun result = run({"--target-ssim", QString::number(target), "--keep-larger",
                                       "--json", "-o", output, QLatin1String(input)});
            ASSERT_EQ(result.exitCode, 0) << result.err.toStdString();
            const QJsonObject object = firstObject(result.out);
            const int quality = object.value(QStringLiteral("quality")).toInt();
            const double reported = object.value(QStringLiteral("ssim")).toDouble();
            EXPECT_LE(object.value(QStringLiteral("encodes")).toInt(), 8) << what.toStdString();
            EXPECT_GE(reported, target) << what.toStdString();
            const double measured = directSsim(stored, QImage(at(output)));
            EXPECT_GE(measured, target - 1e-4) << what.toStdString();
            EXPECT_NEAR(measured, reported, 1e-3) << what.toStdString();
            if (QLatin1String(input) == QLatin1String("photo.bmp") && quality > 1) {
                // One quality lower misses: the answer is the lowest that reaches it.
                const QString lower = QStringLiteral("lower-%1.jpg").arg(target);
                ASSERT_EQ(run({"-q", QString::number(quality - 1), "--keep-larger", "-o", lower,
                               QLatin1String(input)})
                              .exitCode,
                          0);
                EXPECT_LT(directSsim(stored, QImage(at(lower))), target) << what.toStdString();
            }
        }
    }
}

TEST_F(CliRoundTwoTest, AStoredJpegReachesHighTargetsThatPlainEncodesReach) {
    // A 4:4:4 JPEG keeps its own luma, but its colour is encoded afresh; where its luma
    // steps were kept the levels were still rounded again (dead zone, tail trimming),
    // so that even the top of the search fell short of 0.998 and the file was skipped.
    JpegKind fullColour{"4:4:4"};
    fullColour.lumaH = fullColour.lumaV = 1;
    ASSERT_TRUE(writeBytes(at("photo.jpg"), encodeKind(photo(160, 120, 5), fullColour, 50)));
    const QImage stored(at("photo.jpg"));
    const CliRun result =
        run({"--target-ssim", "0.998", "--keep-larger", "--json", "-o", "out.jpg", "photo.jpg"});
    ASSERT_EQ(result.exitCode, 0) << result.err.toStdString();
    const QJsonObject object = firstObject(result.out);
    ASSERT_EQ(object.value(QStringLiteral("status")).toString(), QStringLiteral("ok"))
        << result.out.toStdString();
    EXPECT_GE(directSsim(stored, QImage(at("out.jpg"))), 0.998 - 1e-4);
}

TEST_F(CliRoundTwoTest, MultiScaleTargetIsMetAndSaidSo) {
    ASSERT_TRUE(writeJpeg(at("photo.jpg"), photo(200, 180, 3), 90));
    const QImage stored(at("photo.jpg"));
    const CliRun result = run({"--target-ssim", "0.995", "--ms-ssim", "--keep-larger", "--json",
                               "-o", "out.jpg", "photo.jpg"});
    ASSERT_EQ(result.exitCode, 0) << result.err.toStdString();
    const QJsonObject object = firstObject(result.out);
    EXPECT_TRUE(object.value(QStringLiteral("multi_scale")).toBool());
    EXPECT_LE(object.value(QStringLiteral("encodes")).toInt(), 8);
    const double reported = object.value(QStringLiteral("ssim")).toDouble();
    EXPECT_GE(reported, 0.995);
    const double measured = directMultiScaleSsim(stored, QImage(at("out.jpg")), 5);
    EXPECT_GE(measured, 0.995 - 1e-4);
    EXPECT_NEAR(measured, reported, 1e-3);
    // The single-scale reading of the same file is a different, lower number.
    EXPECT_LT(directSsim(stored, QImage(at("out.jpg"))), measured);
}

TEST_F(CliRoundTwoTest, TargetSsimOutOfReachIsSkipped) {
    // A bitmap: a 4:2:0 JPEG keeps its own coefficients at the top and can reach any
    // target short of 1.
    ASSERT_TRUE(writeBmp(at("photo.bmp"), photo(96, 64, 4)));
    const CliRun result = run({"--target-ssim", "0.9999999", "--json", "photo.bmp"});
    EXPECT_EQ(result.exitCode, 0) << result.err.toStdString();
    const QJsonObject object = firstObject(result.out);
    EXPECT_EQ(object.value(QStringLiteral("status")).toString(), QStringLiteral("skipped"));
    // The target as given, not rounded to an "SSIM 1" nobody asked for.
    EXPECT_TRUE(object.value(QStringLiteral("error"))
                    .toString()
                    .contains(QLatin1String("SSIM 0.9999999 not reached")))
        << object.value(QStringLiteral("error")).toString().toStdString();
    EXPECT_FALSE(QFile::exists(at("photo-vellora.jpg")));

    // A cut-out cannot fall back on its input: the file fails, nothing is written.
    const CliRun cut =
        run({"--target-ssim", "0.9999999", "--crop", "0,0,50,40", "-o", "cut.jpg", "photo.bmp"});
    EXPECT_EQ(cut.exitCode, 1);
    EXPECT_TRUE(cut.err.contains("SSIM 0.9999999 not reached")) << cut.err.toStdString();
    EXPECT_FALSE(QFile::exists(at("cut.jpg")));
}

TEST_F(CliRoundTwoTest, PreserveTimesKeepsTheInputsTimes) {
    // Each run has its own input: reading a file may move its access time.
    for (const char* name : {"one.jpg", "two.jpg", "three.jpg", "four.jpg"}) {
        makeJpeg(QString::fromLatin1(name), 120, 90, 95);
    }
    // In the past, with nanoseconds, different for access and modification.
    const timespec times[2] = {{1600000000, 123456789}, {1500000000, 987654321}};
    for (const char* name : {"one.jpg", "two.jpg", "three.jpg", "four.jpg"}) {
        ASSERT_EQ(
            ::utimensat(AT_FDCWD, QFile::encodeName(at(QString::fromLatin1(name))).constData(),
                        times, 0),
            0);
    }
    for (const QStringList& arguments :
         {QStringList{"-p", "-o", "kept.jpg", "one.jpg"},
          QStringList{"--preserve-times", "--lossless", "--keep-larger", "-o", "repacked.jpg",
                      "two.jpg"},
          QStringList{"-p", "--in-place", "three.jpg"},
          QStringList{"-o", "plain.jpg", "four.jpg"}}) {
        const CliRun result = run(arguments);
        ASSERT_EQ(result.exitCode, 0) << result.err.toStdString();
    }
    for (const char* name : {"kept.jpg", "repacked.jpg", "three.jpg"}) {
        struct stat info {};
        ASSERT_EQ(::stat(QFile::encodeName(at(QString::fromLatin1(name))).constData(), &info), 0);
        EXPECT_EQ(info.st_mtim.tv_sec, 1500000000) << name;
        EXPECT_EQ(info.st_mtim.tv_nsec, 987654321) << name;
        EXPECT_EQ(info.st_atim.tv_sec, 1600000000) << name;
    }
    struct stat plain {};
    ASSERT_EQ(::stat(QFile::encodeName(at("plain.jpg")).constData(), &plain), 0);
    EXPECT_GT(plain.st_mtim.tv_sec, 1500000000);  // without -p: the time of the write
}

TEST_F(CliRoundTwoTest, MinSavingSkipsResultsThatSaveTooLittle) {
    makeJpeg("photo.jpg", 160, 120, 95, 6);
    const CliRun probe = run({"-n", "--json", "photo.jpg"});
    ASSERT_EQ(probe.exitCode, 0);
    const double saved = firstObject(probe.out).value(QStringLiteral("saved_percent")).toDouble();
    ASSERT_GT(saved, 2.0);
    const CliRun tooLittle =
        run({"--min-saving", QString::number(saved + 1.0, 'f', 1), "--json", "photo.jpg"});
    EXPECT_EQ(tooLittle.exitCode, 0);
    EXPECT_EQ(firstObject(tooLittle.out).value(QStringLiteral("status")).toString(),
              QStringLiteral("skipped"));
    EXPECT_TRUE(firstObject(tooLittle.out)
                    .value(QStringLiteral("error"))
                    .toString()
                    .contains(QLatin1String("--min-saving")));
    EXPECT_FALSE(QFile::exists(at("photo-vellora.jpg")));
    // Just above the exact saving: the reason shows the threshold as given and a saving
    // that is truly below it (not "saves 52.8 %, less than 52.8 %", nor the threshold cut
    // to six digits).
    const QJsonObject sizes = firstObject(probe.out);
    const double before = sizes.value(QStringLiteral("bytes_before")).toDouble();
    const double exact =
        (before - sizes.value(QStringLiteral("bytes_after")).toDouble()) * 100.0 / before;
    const QString threshold = QString::number(exact + 1e-7, 'f', 9);
    const CliRun justAbove = run({"-v", "--min-saving", threshold, "photo.jpg"});
    const QRegularExpression reason(
        QStringLiteral("saves ([0-9.]+) %, less than --min-saving ([0-9.]+) %"));
    const QRegularExpressionMatch match = reason.match(QString::fromLocal8Bit(justAbove.err));
    ASSERT_TRUE(match.hasMatch()) << justAbove.err.toStdString();
    EXPECT_LT(match.captured(1).toDouble(), exact + 1e-7);
    EXPECT_EQ(match.captured(2).toDouble(), threshold.toDouble())
        << match.captured(2).toStdString();
    const CliRun enough = run({"--min-saving", QString::number(saved - 1.0, 'f', 1), "photo.jpg"});
    EXPECT_EQ(enough.exitCode, 0);
    EXPECT_TRUE(QFile::exists(at("photo-vellora.jpg")));
}

TEST_F(CliRoundTwoTest, DryRunLeavesTheFolderByteIdentical) {
    makeJpeg("a.jpg", 120, 90, 95, 1);
    makeJpeg("sub/b.jpg", 100, 80, 95, 2);
    ASSERT_TRUE(writeBmp(at("sub/c.bmp"), photo(60, 40, 3)));
    makeJpeg("a-vellora.jpg", 20, 20);  // an existing output, replaced only with -f
    const QStringList before = listingWithSizesAndTimes(m_dir.path());
    const QByteArray aBytes = readBytes(at("a.jpg"));
    for (const QStringList& arguments :
         {QStringList{"-n", "-f", "--json", "a.jpg"}, QStringList{"-n", "-r", "-d", "new/out", "."},
          QStringList{"--dry-run", "--in-place", "-p", "-r", "."},
          QStringList{"-n", "--lossless", "-q", "70", "-r", "-d", "x", "."},
          QStringList{"-n", "--target-ssim", "0.95", "a.jpg", "-o", "t.jpg"}}) {
        const CliRun result = run(arguments);
        EXPECT_EQ(result.exitCode, 0)
            << arguments.join(' ').toStdString() << result.err.toStdString();
        EXPECT_EQ(listingWithSizesAndTimes(m_dir.path()), before)
            << arguments.join(' ').toStdString();
    }
    EXPECT_EQ(readBytes(at("a.jpg")), aBytes);
    const CliRun report = run({"-n", "-f", "--json", "a.jpg"});
    const QJsonObject object = firstObject(report.out);
    EXPECT_TRUE(object.value(QStringLiteral("dry_run")).toBool());
    EXPECT_EQ(object.value(QStringLiteral("output")).toString(), QStringLiteral("a-vellora.jpg"));
    EXPECT_GT(object.value(QStringLiteral("bytes_after")).toInteger(), 0);
    EXPECT_TRUE(report.err.contains("would write: a.jpg -> a-vellora.jpg"));
    // The summary says so too: its "written" counts files that were not written.
    const QJsonObject summary =
        QJsonDocument::fromJson(report.out.trimmed().split('\n').last()).object();
    EXPECT_TRUE(summary.value(QStringLiteral("summary")).toBool());
    EXPECT_TRUE(summary.value(QStringLiteral("dry_run")).toBool());
    EXPECT_EQ(summary.value(QStringLiteral("written")).toInt(), 1);
    // Skips and failures say it too: no object of a dry run may read as a real outcome.
    const CliRun mixed = run({"-n", "--json", "-q", "100", "a.jpg", "missing.jpg"});
    for (const QByteArray& line : mixed.out.trimmed().split('\n')) {
        EXPECT_TRUE(
            QJsonDocument::fromJson(line).object().value(QStringLiteral("dry_run")).toBool())
            << line.toStdString();
    }
}

// "-": a picture through a pipe. Runs the tool with `input` on stdin.
CliRun pipeThrough(const QStringList& arguments, const QByteArray& input, const QString& folder) {
    return runCli(arguments, folder, {}, input);
}

TEST_F(CliRoundTwoTest, StdinToStdoutThroughAPipe) {
    makeJpeg("photo.jpg", 150, 100, 95, 5);
    const QByteArray jpeg = readBytes(at("photo.jpg"));
    ASSERT_TRUE(writeBmp(at("scan.bmp"), photo(70, 50, 6)));

    // The same bytes as the file mode writes.
    ASSERT_EQ(run({"-q", "60", "-o", "file.jpg", "photo.jpg"}).exitCode, 0);
    const CliRun piped = pipeThrough({"-q", "60", "--json", "-"}, jpeg, m_dir.path());
    ASSERT_EQ(piped.exitCode, 0) << piped.err.toStdString();
    EXPECT_EQ(piped.out, readBytes(at("file.jpg")));
    // --json goes to stderr, naming the streams.
    const QJsonObject object = QJsonDocument::fromJson(piped.err.split('\n').front()).object();
    EXPECT_EQ(object.value(QStringLiteral("input")).toString(), QStringLiteral("-"));
    EXPECT_EQ(object.value(QStringLiteral("output")).toString(), QStringLiteral("-"));
    EXPECT_EQ(object.value(QStringLiteral("bytes_after")).toInteger(), piped.out.size());

    // Lossless: the same pixels come out.
    const CliRun lossless = pipeThrough({"--lossless", "-"}, jpeg, m_dir.path());
    ASSERT_EQ(lossless.exitCode, 0) << lossless.err.toStdString();
    ASSERT_TRUE(writeBytes(at("lossless.jpg"), lossless.out));
    EXPECT_EQ(djpegPixels(at("lossless.jpg")), djpegPixels(at("photo.jpg")));

    // A BMP is told by its content; the result is a JPEG.
    const CliRun bmp = pipeThrough({"-"}, readBytes(at("scan.bmp")), m_dir.path());
    ASSERT_EQ(bmp.exitCode, 0) << bmp.err.toStdString();
    EXPECT_TRUE(bmp.out.startsWith("\xFF\xD8\xFF"));
    EXPECT_EQ(QImage::fromData(bmp.out).size(), QSize(70, 50));

    // A result that is not smaller: the input passes through unchanged.
    const QByteArray small = readBytes(at("file.jpg"));
    const CliRun skipped = pipeThrough({"-q", "100", "-"}, small, m_dir.path());
    EXPECT_EQ(skipped.exitCode, 0);
    EXPECT_EQ(skipped.out, small);
    // Unless it is a cut-out: handing back the whole picture would drop the crop.
    const CliRun cut = pipeThrough({"-q", "100", "--crop", "1,1,140,90", "-"}, small, m_dir.path());
    EXPECT_EQ(cut.exitCode, 0) << cut.err.toStdString();
    EXPECT_EQ(QImage::fromData(cut.out).size(), QSize(140, 90));

    // With -o the result goes to the file, stdout stays empty.
    const CliRun toFile = pipeThrough({"-", "-o", "from-stdin.jpg"}, jpeg, m_dir.path());
    EXPECT_EQ(toFile.exitCode, 0) << toFile.err.toStdString();
    EXPECT_TRUE(toFile.out.isEmpty());
    EXPECT_TRUE(QImage(at("from-stdin.jpg")).size() == QSize(150, 100));
    // So does a skipped result's input: it was dropped, with exit 0. An existing file
    // is replaced only with -f, as by a result.
    const CliRun keptOut =
        pipeThrough({"-q", "100", "-", "-o", "from-stdin.jpg"}, small, m_dir.path());
    EXPECT_EQ(keptOut.exitCode, 1);
    EXPECT_TRUE(keptOut.err.contains("already exists")) << keptOut.err.toStdString();
    EXPECT_TRUE(QImage(at("from-stdin.jpg")).size() == QSize(150, 100));
    for (const QStringList& arguments :
         {QStringList{"-q", "100", "-", "-o", "skipped.jpg"},
          QStringList{"-q", "100", "-f", "-", "-o", "from-stdin.jpg"}}) {
        const CliRun kept = pipeThrough(arguments, small, m_dir.path());
        EXPECT_EQ(kept.exitCode, 0) << kept.err.toStdString();
        EXPECT_EQ(readBytes(at(arguments.last())), small) << arguments.last().toStdString();
    }
    // Where it cannot go, the dry run fails as the run does, also for a kind skipped
    // before any output is prepared.
    const QByteArray arithmetic =
        readBytes(testData(QStringLiteral("bad/jpeg/ljt-testimages/testimgari.jpg")));
    for (const char* dry : {"-n", "-v"}) {
        const CliRun nowhere = pipeThrough({dry, "--lossless", "-", "-o", "missing/skipped.jpg"},
                                           arithmetic, m_dir.path());
        EXPECT_EQ(nowhere.exitCode, 1) << dry << ": " << nowhere.err.toStdString();
        EXPECT_TRUE(nowhere.err.contains("cannot create a file in")) << nowhere.err.toStdString();
    }

    // Not a picture, or nothing: a clear failure and nothing on stdout.
    // With --json, each gives its failed object and the summary, as any file does.
    for (const QByteArray& bad :
         {QByteArray("GIF89a..."), QByteArray(), jpeg.left(jpeg.size() / 3)}) {
        const CliRun failed = pipeThrough({"--json", "-"}, bad, m_dir.path());
        EXPECT_EQ(failed.exitCode, 1) << bad.size();
        EXPECT_TRUE(failed.out.isEmpty()) << bad.size();
        QList<QJsonObject> objects;
        for (const QByteArray& line : failed.err.split('\n')) {
            if (line.startsWith('{')) {
                objects << QJsonDocument::fromJson(line).object();
            }
        }
        ASSERT_EQ(objects.size(), 2) << bad.size() << ": " << failed.err.toStdString();
        EXPECT_EQ(objects[0].value(QStringLiteral("status")).toString(), QStringLiteral("failed"));
        EXPECT_EQ(objects[0].value(QStringLiteral("input")).toString(), QStringLiteral("-"));
        EXPECT_EQ(objects[1].value(QStringLiteral("failed")).toInt(), 1);
    }

    // The usage error names the stream, not the copy the tool keeps of it.
    const CliRun losslessBmp =
        pipeThrough({"--lossless", "-"}, readBytes(at("scan.bmp")), m_dir.path());
    EXPECT_EQ(losslessBmp.exitCode, 2);
    EXPECT_TRUE(losslessBmp.err.contains("'-' is a BMP")) << losslessBmp.err.toStdString();
}

TEST_F(CliRoundTwoTest, AnEndlessStdinOfSomethingElseIsRefusedAtOnce) {
    // Read whole first, /dev/zero took a gigabyte of memory before being refused.
    QProcess process;
    process.setProgram(QStringLiteral(VELLORA_BIN_DIR "/vellora-cli"));
    process.setArguments({QStringLiteral("-"), QStringLiteral("-o"), QStringLiteral("out.jpg")});
    process.setWorkingDirectory(m_dir.path());
    process.setStandardInputFile(QStringLiteral("/dev/zero"));
    process.start();
    const CliRun result = waitForRun(process);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_TRUE(result.err.contains("-: not a JPEG or BMP picture")) << result.err.toStdString();
    EXPECT_FALSE(QFile::exists(at("out.jpg")));
}

TEST_F(CliRoundTwoTest, AReportThatCannotBeWrittenFailsTheRun) {
    // A full disk under the report file (or a closed pipe) must not read as success.
    makeJpeg("photo.jpg", 64, 48);
    for (const QStringList& arguments :
         {QStringList{"--json", "-n", "photo.jpg"}, QStringList{"--help"}, QStringList{"--version"},
          QStringList{"--json", "-", "-o", "out.jpg"}}) {
        // With stdin as the input, the report goes to stderr.
        const bool streams = arguments.contains(QStringLiteral("-"));
        QProcess process;
        process.setWorkingDirectory(m_dir.path());
        process.setStandardInputFile(streams ? at("photo.jpg") : QString());
        if (streams) {
            process.setStandardErrorFile(QStringLiteral("/dev/full"));
        } else {
            process.setStandardOutputFile(QStringLiteral("/dev/full"));
        }
        process.start(QStringLiteral(VELLORA_BIN_DIR "/vellora-cli"), arguments);
        const CliRun result = waitForRun(process);
        EXPECT_EQ(result.exitCode, 1) << arguments.join(' ').toStdString();
        if (!streams) {
            EXPECT_TRUE(result.err.contains("cannot write to stdout")) << result.err.toStdString();
        }
    }
}

TEST_F(CliRoundTwoTest, OutputDashIsStdout) {
    makeJpeg("photo.jpg", 150, 100, 95, 5);
    const QByteArray jpeg = readBytes(at("photo.jpg"));
    ASSERT_EQ(run({"-q", "60", "-o", "file.jpg", "photo.jpg"}).exitCode, 0);
    const QByteArray expected = readBytes(at("file.jpg"));

    struct Case {
        const char* what;
        QStringList arguments;
        QByteArray stdinBytes;  // empty: the file is named
        QByteArray wanted;
    };
    const Case cases[] = {
        {"a file to stdout", {"-q", "60", "--json", "-o", "-", "photo.jpg"}, {}, expected},
        {"stdin to stdout, said twice", {"-q", "60", "-", "-o", "-"}, jpeg, expected},
        {"a skipped result passes the input",
         {"--min-saving", "99", "-o", "-", "photo.jpg"},
         {},
         jpeg},
    };
    for (const Case& c : cases) {
        const CliRun result = pipeThrough(c.arguments, c.stdinBytes, m_dir.path());
        EXPECT_EQ(result.exitCode, 0) << c.what << result.err.toStdString();
        EXPECT_EQ(result.out, c.wanted) << c.what;
        EXPECT_FALSE(QFile::exists(at("-"))) << c.what;
    }
    // The report names the streams on stderr.
    const CliRun reported = pipeThrough(cases[0].arguments, {}, m_dir.path());
    const QJsonObject object = QJsonDocument::fromJson(reported.err.split('\n').front()).object();
    EXPECT_EQ(object.value(QStringLiteral("input")).toString(), QStringLiteral("photo.jpg"));
    EXPECT_EQ(object.value(QStringLiteral("output")).toString(), QStringLiteral("-"));
    // A file called "-" is still to be had.
    const CliRun named = run({"-q", "60", "-o", "./-", "photo.jpg"});
    EXPECT_EQ(named.exitCode, 0) << named.err.toStdString();
    EXPECT_TRUE(named.out.isEmpty());
    EXPECT_EQ(readBytes(at("-")), expected);
}

TEST_F(CliRoundTwoTest, ATerminalStdoutIsRefused) {
    makeJpeg("photo.jpg", 64, 48);
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0) {
        GTEST_SKIP() << "no pseudo-terminal on this machine";
    }
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const QByteArray terminal = ::ptsname(master);
    const QByteArray program = QFile::encodeName(kCli);
    const QByteArray input = QFile::encodeName(at("photo.jpg"));
    const QByteArray errors = QFile::encodeName(at("err.txt"));
    // The picture from stdin, and a named file with -o -: both would land on the terminal.
    const std::vector<std::vector<const char*>> argumentLists = {{"-"},
                                                                 {"-o", "-", input.constData()}};
    for (const std::vector<const char*>& arguments : argumentLists) {
        std::vector<char*> argv{const_cast<char*>(program.constData())};
        for (const char* argument : arguments) {
            argv.push_back(const_cast<char*>(argument));
        }
        argv.push_back(nullptr);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            const int in = ::open(input.constData(), O_RDONLY);
            const int out = ::open(terminal.constData(), O_RDWR | O_NOCTTY);
            const int err = ::open(errors.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (in < 0 || out < 0 || err < 0) {
                ::_exit(99);
            }
            ::dup2(in, 0);
            ::dup2(out, 1);
            ::dup2(err, 2);
            ::execv(program.constData(), argv.data());
            ::_exit(98);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status)) << arguments.size();
        EXPECT_EQ(WEXITSTATUS(status), 2) << arguments.size();
        EXPECT_TRUE(readBytes(at("err.txt")).contains("stdout is a terminal")) << arguments.size();
    }
    ::close(master);
}

}  // namespace
}  // namespace vellora::test
