// The windows and the compression read a bitmap alike: the picture window shows a file
// only when the compression can read it, and then the very pixels the compression
// starts from; a short or broken file is refused, never shown with leftover memory.
#include <gtest/gtest.h>

#include <QDirIterator>
#include <QTemporaryDir>

#include "imaging/picture_loader.h"
#include "imaging_test_support.h"
#include "support/test_support.h"

namespace vellora::test {
namespace {

QString bad(const QString& relative) {
    return testData(QStringLiteral("bad/") + relative);
}

void expectShownAsRead(const QString& path) {
    SCOPED_TRACE(path.toStdString());
    const LoadedPicture shown = loadPicture(path);
    GlobalBlock read = readBmp(path);
    ASSERT_EQ(shown.ok(), static_cast<bool>(read))
        << "window: " << shown.error.toStdString() << "; library: " << lastError();
    if (!read) {
        EXPECT_TRUE(shown.image.isNull());
        return;
    }
    const Picture fromLibrary = pictureOf(read);
    const Picture inWindow = pictureOf(shown.image);
    ASSERT_EQ(inWindow.width, fromLibrary.width);
    ASSERT_EQ(inWindow.height, fromLibrary.height);
    EXPECT_EQ(maxAbsDiff(inWindow, fromLibrary), 0);
}

TEST(BitmapDisplay, EveryCorpusBitmapIsShownAsTheCompressionReadsIt) {
    int count = 0;
    for (const char* folder : {"bmp/bmpsuite-b", "bmp/bmpsuite-g", "bmp/bmpsuite-q",
                               "bmp/ljt-afl-bmp-edges", "bmp/ljt-cve-2018-14498"}) {
        QDirIterator files(bad(QLatin1String(folder)), {QStringLiteral("*.bmp")}, QDir::Files);
        while (files.hasNext()) {
            expectShownAsRead(files.next());
            ++count;
        }
    }
    EXPECT_GT(count, 50);
}

TEST(BitmapDisplay, ShortFilesAreRefusedNotShownWithLeftoverMemory) {
    struct Cut {
        const char* file;
        double keep;  // share of the file kept
    };
    QTemporaryDir dir;
    for (const Cut& c :
         {Cut{"bmp/bmpsuite-g/rgb24.bmp", 0.5}, Cut{"bmp/bmpsuite-g/rgb32.bmp", 0.8},
          Cut{"bmp/bmpsuite-g/pal8.bmp", 0.7}, Cut{"bmp/bmpsuite-g/pal8rle.bmp", 0.6},
          Cut{"bmp/bmpsuite-g/rgb16-565.bmp", 0.99}}) {
        const QByteArray whole = fileBytes(bad(QLatin1String(c.file)));
        const QString path = dir.filePath(QStringLiteral("cut.bmp"));
        writeFile(path, whole.left(static_cast<qsizetype>(whole.size() * c.keep)));
        const LoadedPicture shown = loadPicture(path);
        EXPECT_FALSE(shown.ok()) << c.file;
        EXPECT_TRUE(shown.error.contains(QLatin1String("truncated"))) << shown.error.toStdString();
        EXPECT_TRUE(shown.image.isNull()) << c.file;
    }
}

}  // namespace
}  // namespace vellora::test
