// The windows' picture loader: format by content, EXIF orientation, size limit.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QImageWriter>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <cstdio>

#include "imaging/picture_loader.h"
#include "support/jpeg_fixtures.h"
#include "support/test_support.h"

namespace vellora {
namespace {

TEST(PictureLoader, TurnsPhotosUprightByTheirOrientationTag) {
    const LoadedPicture reference =
        loadPicture(test::testData(QStringLiteral("bad/jpeg/exif-orientation/Landscape_1.jpg")));
    ASSERT_TRUE(reference.ok()) << reference.error.toStdString();
    for (int orientation = 2; orientation <= 8; ++orientation) {
        const LoadedPicture turned = loadPicture(test::testData(
            QStringLiteral("bad/jpeg/exif-orientation/Landscape_%1.jpg").arg(orientation)));
        ASSERT_TRUE(turned.ok()) << orientation;
        EXPECT_EQ(turned.image.size(), reference.image.size()) << orientation;
        // Upright: the top-left and bottom-right corners look like the reference's.
        const QImage a = reference.image.convertToFormat(QImage::Format_RGB32);
        const QImage b = turned.image.convertToFormat(QImage::Format_RGB32);
        const QPoint corners[] = {{20, 20}, {a.width() - 20, a.height() - 20}};
        for (QPoint at : corners) {
            EXPECT_LT(std::abs(qGray(a.pixel(at)) - qGray(b.pixel(at))), 40)
                << orientation << " at " << at.x() << "," << at.y();
        }
    }
}

TEST(PictureLoader, DecidesTheFormatByContent) {
    QTemporaryDir dir;
    QImage image(10, 7, QImage::Format_RGB32);
    image.fill(Qt::red);
    const QString noExtension = dir.filePath(QStringLiteral("winpcdll"));
    ASSERT_TRUE(image.save(noExtension, "JPEG"));
    const LoadedPicture loaded = loadPicture(noExtension);
    ASSERT_TRUE(loaded.ok());
    EXPECT_EQ(loaded.image.size(), QSize(10, 7));
}

TEST(PictureLoader, MarksANameForHighDensityAsQtsReaderDoes) {
    QTemporaryDir dir;
    QImage image(16, 8, QImage::Format_RGB32);
    image.fill(Qt::darkGreen);
    QByteArray plain;
    QBuffer buffer(&plain);
    buffer.open(QIODevice::WriteOnly);
    ASSERT_TRUE(image.save(&buffer, "JPEG"));
    const QByteArray turned = test::withMarkers(plain, {{0xE1, test::exifBlock(6)}});
    const struct {
        const char* name;
        double ratio;
        bool turned;
    } cases[] = {
        {"photo@2x.jpg", 2.0, false}, {"photo@3x.jpg", 3.0, false}, {"photo@2.jpg", 1.0, false},
        {"photo.jpg", 1.0, false},    {"turned@2x.jpg", 2.0, true},
    };
    for (const auto& c : cases) {
        QFile file(dir.filePath(QString::fromLatin1(c.name)));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(c.turned ? turned : plain);
        file.close();
        const LoadedPicture loaded = loadPicture(file.fileName());
        ASSERT_TRUE(loaded.ok()) << c.name;
        EXPECT_EQ(loaded.image.devicePixelRatio(), c.ratio) << c.name;
        EXPECT_EQ(loaded.image.size(), c.turned ? QSize(8, 16) : QSize(16, 8)) << c.name;
    }
}

TEST(PictureLoader, RefusesWhatItCannotShow) {
    QTemporaryDir dir;
    // A small JPEG whose header claims other sides: refused before decoding.
    QImage image(16, 16, QImage::Format_RGB32);
    image.fill(Qt::blue);
    QByteArray small;
    QBuffer buffer(&small);
    buffer.open(QIODevice::WriteOnly);
    ASSERT_TRUE(image.save(&buffer, "JPEG"));
    const qsizetype sof = small.indexOf(QByteArray("\xFF\xC0", 2));
    ASSERT_GT(sof, 0);
    const auto claiming = [&](const char* name, int width, int height) {
        QByteArray bytes = small;
        bytes[sof + 5] = char(height >> 8);
        bytes[sof + 6] = char(height & 0xFF);
        bytes[sof + 7] = char(width >> 8);
        bytes[sof + 8] = char(width & 0xFF);
        QFile file(dir.filePath(QString::fromLatin1(name)));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
        return file.fileName();
    };
    // The picture fits in the file's first bytes; the rest (a hole, here) is read in
    // full before decoding, which once failed for want of memory and showed nothing.
    QFile padded(dir.filePath(QStringLiteral("padded.jpg")));
    ASSERT_TRUE(padded.open(QIODevice::WriteOnly));
    padded.write(small);
    ASSERT_TRUE(padded.resize((std::int64_t{kPictureAllocationLimitMB} << 20) + 1));
    padded.close();
    const auto written = [&](const char* name, const QByteArray& bytes) {
        QFile file(dir.filePath(QString::fromLatin1(name)));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
        return file.fileName();
    };
    // Cut in its picture data: Qt's reader showed it with grey below the cut, which could
    // then never be compressed.
    QImage detailed(64, 64, QImage::Format_RGB32);
    for (int y = 0; y < 64; ++y) {
        for (int x = 0; x < 64; ++x) {
            detailed.setPixel(x, y, qRgb(x * 37 % 256, y * 91 % 256, (x * y) % 256));
        }
    }
    QByteArray whole;
    QBuffer wholeBuffer(&whole);
    wholeBuffer.open(QIODevice::WriteOnly);
    ASSERT_TRUE(detailed.save(&wholeBuffer, "JPEG", 95));
    const QByteArray cut = whole.left(whole.size() * 2 / 3);
    // A marker flood: Qt's reader spent minutes on one of 100000, asked for the size.
    const QByteArray flood =
        small.left(2) + QByteArray("\xFF\xE1\x00\x02", 4).repeated(5001) + small.mid(2);
    // Behind a stray byte, which libjpeg and Qt's reader pass over and read on.
    const QByteArray hidden = small.left(2) + QByteArray(1, '\0') + flood.mid(2);

    const struct {
        const char* what;
        QString path;
        const char* error;  // in the message, or nullptr
    } cases[] = {
        {"too big to show", claiming("huge.jpg", 40000, 40000), "too large to show (40000 x 40000"},
        // Shown, it could never be compressed: "Error 1 Occurred" and nothing more.
        {"too big to compress", claiming("big.jpg", 15000, 14000),
         "too large to compress (15000 x 14000 pixels"},
        {"a file too large to read", padded.fileName(), "file is too large"},
        {"cut short", written("cut.jpg", cut), "File is truncated or corrupt: Premature end"},
        {"cut short, high density", written("cut@2x.jpg", cut), "Premature end of JPEG file"},
        {"a marker flood", written("flood.jpg", flood), "more than 5000 markers"},
        {"a flood behind a stray byte", written("hidden.jpg", hidden), "more than 5000 markers"},
        // Qt's reader says only "Unable to read image data".
        {"12-bit", test::testData(QStringLiteral("bad/jpeg/ljt-testimages/monkey12.jpg")),
         "only 8-bit JPEGs can be read"},
        {"lossless process",
         test::testData(
             QStringLiteral("bad/jpeg/ljt-lossless/random8_100x91_lossless_psv5_pt2.jpg")),
         "lossless and hierarchical JPEGs cannot be read"},
        {"a header libjpeg stops on",
         test::testData(QStringLiteral("bad/jpeg/ljt-afl-jpeg-edges/afl-jpeg-edge-000261.jpg")),
         "Cannot decode the JPEG: Bogus marker length"},
        {"missing", dir.filePath(QStringLiteral("missing.jpg")), "does not exist"},
        {"a folder", dir.path(), nullptr},
        {"not a picture", QStringLiteral(VELLORA_TESTDATA_DIR "/README.md"), nullptr},
    };
    for (const auto& c : cases) {
        const LoadedPicture loaded = loadPicture(c.path);
        EXPECT_FALSE(loaded.ok()) << c.what;
        EXPECT_FALSE(loaded.error.isEmpty()) << c.what;
        if (c.error != nullptr) {
            EXPECT_TRUE(loaded.error.contains(QString::fromLatin1(c.error)))
                << c.what << ": " << loaded.error.toStdString();
        }
        EXPECT_TRUE(loaded.image.isNull()) << c.what;
    }
}

TEST(PictureLoader, SaysWhyANameThatIsNotUtf8CannotBeOpened) {
    // A file manager hands such a name over as bytes; Qt reads it with U+FFFD in place
    // of the byte, a name no file has. "Does not exist" alone would be untrue.
    QTemporaryDir dir;
    const QByteArray name = QFile::encodeName(dir.path()) + "/caf\xE9.jpg";
    // QTemporaryDir cannot remove a name it cannot decode, so the file goes by its bytes.
    const auto removeFile = qScopeGuard([&] { std::remove(name.constData()); });
    QImage image(8, 8, QImage::Format_RGB32);
    image.fill(Qt::green);
    QBuffer jpeg;
    jpeg.open(QIODevice::WriteOnly);
    ASSERT_TRUE(image.save(&jpeg, "JPEG"));
    FILE* file = std::fopen(name.constData(), "wb");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(std::fwrite(jpeg.data().constData(), 1, jpeg.data().size(), file),
              static_cast<std::size_t>(jpeg.data().size()));
    std::fclose(file);

    const LoadedPicture loaded = loadPicture(QFile::decodeName(name));
    EXPECT_FALSE(loaded.ok());
    EXPECT_TRUE(loaded.error.contains(QStringLiteral("not UTF-8"))) << loaded.error.toStdString();
    // A missing file with an ordinary name is just missing.
    EXPECT_EQ(loadPicture(dir.filePath(QStringLiteral("cafe.jpg"))).error,
              QStringLiteral("The file does not exist."));
}

// loadPicture(path).error as an ordinary user sees it: root reads every file, so run
// as root the call is made in a child that has become nobody.
QString errorAsOrdinaryUser(const QString& path) {
    if (::geteuid() != 0) {
        return loadPicture(path).error;
    }
    int pipe[2];
    if (::pipe(pipe) != 0) {
        return QStringLiteral("no pipe");
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipe[0]);
        const QByteArray error = ::setgid(65534) == 0 && ::setuid(65534) == 0
                                     ? loadPicture(path).error.toUtf8()
                                     : QByteArray("cannot become nobody");
        (void)!::write(pipe[1], error.constData(), static_cast<std::size_t>(error.size()));
        ::_exit(0);
    }
    ::close(pipe[1]);
    QByteArray error;
    char chunk[256];
    for (ssize_t got; (got = ::read(pipe[0], chunk, sizeof chunk)) > 0;) {
        error.append(chunk, got);
    }
    ::close(pipe[0]);
    ::waitpid(child, nullptr, 0);
    return QString::fromUtf8(error);
}

TEST(PictureLoader, AFileThatCannotBeReadIsNotCalledMissing) {
    // Qt's reader said "File not found" for a file without read permission, and a file
    // in a folder that may not be searched "does not exist".
    QTemporaryDir dir;
    ASSERT_EQ(::chmod(QFile::encodeName(dir.path()).constData(), 0755), 0);
    QImage image(8, 8, QImage::Format_RGB32);
    image.fill(Qt::green);
    const QString locked = dir.filePath(QStringLiteral("locked.jpg"));
    ASSERT_TRUE(image.save(locked, "JPEG"));
    ASSERT_EQ(::chmod(QFile::encodeName(locked).constData(), 0), 0);
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("closed")));
    const QString inClosed = dir.filePath(QStringLiteral("closed/photo.jpg"));
    ASSERT_TRUE(image.save(inClosed, "JPEG"));
    ASSERT_EQ(::chmod(QFile::encodeName(dir.filePath(QStringLiteral("closed"))).constData(), 0600),
              0);
    const struct {
        QString path;
        const char* error;
    } cases[] = {
        {locked, "The file cannot be read: Permission denied."},
        {inClosed, "The file cannot be reached: Permission denied."},
    };
    for (const auto& item : cases) {
        EXPECT_EQ(errorAsOrdinaryUser(item.path).toStdString(), item.error);
    }
}

TEST(PictureLoader, RefusesAScanBombBeforeDecodingIt) {
    // Thousands of scans make every decoder walk the whole picture again and again; the
    // windows refuse what the image library refuses, before Qt's reader (which decodes
    // it, warning of corrupt data) can spend minutes on it.
    QImage image(64, 64, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    QByteArray progressive;
    QBuffer buffer(&progressive);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setProgressiveScanWrite(true);
    ASSERT_TRUE(writer.write(image));
    const qsizetype secondScan =
        progressive.indexOf(QByteArray("\xFF\xDA", 2), progressive.indexOf("\xFF\xDA") + 2);
    ASSERT_GT(secondScan, 0);
    QByteArray bomb = progressive.left(secondScan);
    for (int i = 0; i < 150; ++i) {
        bomb += QByteArray("\xFF\xDA\x00\x08\x01\x01\x00\x01\x3F\x00", 10);
    }
    bomb += QByteArray("\xFF\xD9", 2);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("bomb.jpg"));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bomb);
    file.close();

    const LoadedPicture loaded = loadPicture(path);
    EXPECT_FALSE(loaded.ok());
    EXPECT_TRUE(loaded.image.isNull());
    EXPECT_TRUE(loaded.error.contains(QStringLiteral("more than 100 scans")))
        << loaded.error.toStdString();
    // The file as it was written, with its few scans, still opens.
    const QString fine = dir.filePath(QStringLiteral("fine.jpg"));
    QFile good(fine);
    ASSERT_TRUE(good.open(QIODevice::WriteOnly));
    good.write(progressive);
    good.close();
    EXPECT_TRUE(loadPicture(fine).ok());
}

}  // namespace
}  // namespace vellora
