// The windows' picture loader: format by content, EXIF orientation, size limit.
#include <gtest/gtest.h>

#include <QBuffer>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>

#include "imaging/picture_loader.h"
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

TEST(PictureLoader, RefusesWhatItCannotShow) {
    QTemporaryDir dir;
    // A JPEG whose header claims 40000 x 40000 pixels: refused before decoding.
    QImage image(16, 16, QImage::Format_RGB32);
    image.fill(Qt::blue);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    ASSERT_TRUE(image.save(&buffer, "JPEG"));
    const qsizetype sof = bytes.indexOf(QByteArray("\xFF\xC0", 2));
    ASSERT_GT(sof, 0);
    bytes[sof + 5] = char(0x9C);  // height 40000
    bytes[sof + 6] = char(0x40);
    bytes[sof + 7] = char(0x9C);  // width 40000
    bytes[sof + 8] = char(0x40);
    const QString huge = dir.filePath(QStringLiteral("huge.jpg"));
    QFile file(huge);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
    file.close();

    const struct {
        const char* what;
        QString path;
    } cases[] = {
        {"too big", huge},
        {"missing", dir.filePath(QStringLiteral("missing.jpg"))},
        {"a folder", dir.path()},
        {"not a picture", QStringLiteral(VELLORA_TESTDATA_DIR "/README.md")},
    };
    for (const auto& c : cases) {
        const LoadedPicture loaded = loadPicture(c.path);
        EXPECT_FALSE(loaded.ok()) << c.what;
        EXPECT_FALSE(loaded.error.isEmpty()) << c.what;
        EXPECT_TRUE(loaded.image.isNull()) << c.what;
    }
}

}  // namespace
}  // namespace vellora
