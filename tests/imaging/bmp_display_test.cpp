// The windows and the compression read a bitmap alike: the picture window shows a file
// only when the compression can read it, and then the very pixels the compression
// starts from; a short or broken file is refused, never shown with leftover memory.
#include <gtest/gtest.h>

#include <QDirIterator>
#include <QTemporaryDir>
#include <array>
#include <cstdint>
#include <vector>

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

// A 4 x 2 bitmap of 16 or 32 bits a pixel, every pixel `pixel`, with a header of
// `headerSize` bytes (12: the old 16-bit sizes) and, for bit fields, the three masks
// after it.
QByteArray maskedBitmap(int bits, const std::vector<std::uint32_t>& masks, std::uint32_t pixel,
                        int headerSize = 40) {
    const auto put = [](QByteArray& bytes, std::uint32_t value, int size) {
        for (int i = 0; i < size; ++i) {
            bytes += static_cast<char>((value >> (8 * i)) & 0xFF);
        }
    };
    const int offset = 14 + headerSize + 4 * static_cast<int>(masks.size());
    const int rowBytes = (4 * bits + 31) / 32 * 4;
    QByteArray bytes("BM");
    put(bytes, static_cast<std::uint32_t>(offset + 2 * rowBytes), 4);
    put(bytes, 0, 4);
    put(bytes, static_cast<std::uint32_t>(offset), 4);
    if (headerSize == 12) {
        for (const std::uint32_t value : {12U, 4U, 2U, 1U, static_cast<std::uint32_t>(bits)}) {
            put(bytes, value, value == 12U ? 4 : 2);
        }
    } else {
        for (const std::uint32_t value :
             {static_cast<std::uint32_t>(headerSize), 4U, 2U,
              1U | static_cast<std::uint32_t>(bits) << 16, masks.empty() ? 0U : 3U,
              static_cast<std::uint32_t>(2 * rowBytes), 2835U, 2835U, 0U, 0U}) {
            put(bytes, value, 4);
        }
        bytes += QByteArray(headerSize - 40, '\0');
    }
    for (const std::uint32_t mask : masks) {
        put(bytes, mask, 4);
    }
    for (int i = 0; i < 8; ++i) {
        put(bytes, pixel, bits / 8);
    }
    return bytes;
}

TEST(BitmapDisplay, ColourMasksScaleToTheFullRange) {
    // Qt 6.4 scales a channel by 256 / (its largest value + 1): white came out 248 in a
    // plain 16-bit file, 128 with one-bit channels and black with ten-bit ones.
    const struct {
        const char* what;
        int bits;
        std::vector<std::uint32_t> masks;  // none: the standard ones
        std::uint32_t pixel;
        std::array<int, 3> rgb;  // {-1, ...}: refused
        int headerSize = 40;
    } cases[] = {
        {"5-5-5 white", 16, {}, 0x7FFF, {255, 255, 255}},
        {"5-5-5 mid", 16, {}, 16 << 10 | 8 << 5 | 1, {132, 66, 8}},
        {"5-6-5 red", 16, {0xF800, 0x07E0, 0x001F}, 0xF800, {255, 0, 0}},
        {"4-4-4 white", 16, {0xF00, 0xF0, 0xF}, 0xFFF, {255, 255, 255}},
        {"1-1-1 white", 16, {4, 2, 1}, 7, {255, 255, 255}},
        {"10-10-10 white", 32, {0x3FF00000, 0xFFC00, 0x3FF}, 0x3FFFFFFF, {255, 255, 255}},
        {"10-10-10 half",
         32,
         {0x3FF00000, 0xFFC00, 0x3FF},
         512U << 20 | 512U << 10 | 512U,
         {128, 128, 128}},
        {"a mask with a gap", 32, {0xF0F00000, 0xFF00, 0xFF}, 0, {-1, 0, 0}},
        {"an empty mask", 16, {0, 0x3E0, 0x1F}, 0, {-1, 0, 0}},
        {"masks that overlap", 16, {0x7C00, 0x7FE0, 0x1F}, 0, {-1, 0, 0}},
        {"5-5-5 white, 12-byte header", 16, {}, 0x7FFF, {255, 255, 255}, 12},
        {"5-5-5 white, 64-byte header", 16, {}, 0x7FFF, {255, 255, 255}, 64},
        {"10-10-10 white, 64-byte header",
         32,
         {0x3FF00000, 0xFFC00, 0x3FF},
         0x3FFFFFFF,
         {255, 255, 255},
         64},
    };
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("masks.bmp"));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        writeFile(path, maskedBitmap(c.bits, c.masks, c.pixel, c.headerSize));
        GlobalBlock read = readBmp(path);
        if (c.rgb[0] < 0) {
            EXPECT_FALSE(read);
            EXPECT_NE(lastError().find("colour masks"), std::string::npos) << lastError();
        } else {
            ASSERT_TRUE(read) << lastError();
            const Picture picture = pictureOf(read);
            EXPECT_EQ((std::array<int, 3>{picture.pixel(3, 1)[0], picture.pixel(3, 1)[1],
                                          picture.pixel(3, 1)[2]}),
                      c.rgb);
        }
        expectShownAsRead(path);
    }
}

}  // namespace
}  // namespace vellora::test
