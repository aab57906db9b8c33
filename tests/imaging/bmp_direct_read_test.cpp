// Uncompressed 24- and 32-bit bitmaps skip Qt's decoder (bmp_direct_reader.cpp). Files
// written here byte by byte, in every layout that path takes or hands back to Qt, must
// come back exactly as the pixels that were written, and exactly as Qt decodes them.
#include <gtest/gtest.h>

#include <QByteArray>
#include <QImage>
#include <QTemporaryDir>
#include <cstdint>

#include "imaging/picture_loader.h"
#include "imaging_test_support.h"

namespace vellora::test {
namespace {

struct DirectCase {
    const char* name;
    int width;
    int height;
    int bits;             // 24 or 32
    bool topDown;         // negative height in the header
    int headerSize;       // 12, 40 or 124
    int gap;              // bytes between the header and the pixels (pixel offset beyond it)
    std::uint32_t alpha;  // alpha mask of a 124-byte header with BI_BITFIELDS-free masks
};

void put16(QByteArray& bytes, int at, std::uint32_t value) {
    bytes[at] = static_cast<char>(value & 0xFF);
    bytes[at + 1] = static_cast<char>((value >> 8) & 0xFF);
}
void put32(QByteArray& bytes, int at, std::uint32_t value) {
    put16(bytes, at, value & 0xFFFF);
    put16(bytes, at + 2, value >> 16);
}

// An uncompressed bitmap of `picture` in the case's layout; padding and the unused
// fourth byte are filled with junk that must not show.
QByteArray bitmapOf(const Picture& picture, const DirectCase& c) {
    const int rowBytes = (picture.width * c.bits + 31) / 32 * 4;
    const int dataOffset = 14 + c.headerSize + c.gap;
    QByteArray bytes(dataOffset + rowBytes * picture.height, '\x5A');
    bytes[0] = 'B';
    bytes[1] = 'M';
    put32(bytes, 2, static_cast<std::uint32_t>(bytes.size()));
    put32(bytes, 6, 0);
    put32(bytes, 10, static_cast<std::uint32_t>(dataOffset));
    put32(bytes, 14, static_cast<std::uint32_t>(c.headerSize));
    if (c.headerSize == 12) {
        put16(bytes, 18, static_cast<std::uint32_t>(picture.width));
        put16(bytes, 20, static_cast<std::uint32_t>(picture.height));
        put16(bytes, 22, 1);
        put16(bytes, 24, static_cast<std::uint32_t>(c.bits));
    } else {
        const std::int32_t height = c.topDown ? -picture.height : picture.height;
        put32(bytes, 18, static_cast<std::uint32_t>(picture.width));
        put32(bytes, 22, static_cast<std::uint32_t>(height));
        put16(bytes, 26, 1);
        put16(bytes, 28, static_cast<std::uint32_t>(c.bits));
        for (int at = 30; at < 14 + c.headerSize; at += 4) {
            put32(bytes, at, 0);  // BI_RGB, sizes, resolution, colours, masks
        }
        if (c.headerSize >= 108) {
            put32(bytes, 54, 0x00FF0000u);
            put32(bytes, 58, 0x0000FF00u);
            put32(bytes, 62, 0x000000FFu);
            put32(bytes, 66, c.alpha);
            put32(bytes, 70, 0x73524742u);  // sRGB
        }
    }
    for (int y = 0; y < picture.height; ++y) {
        const int stored = c.topDown ? y : picture.height - 1 - y;
        char* row = bytes.data() + dataOffset + stored * rowBytes;
        for (int x = 0; x < picture.width; ++x) {
            const std::uint8_t* rgb = picture.pixel(x, y);
            char* out = row + x * (c.bits / 8);
            out[0] = static_cast<char>(rgb[2]);
            out[1] = static_cast<char>(rgb[1]);
            out[2] = static_cast<char>(rgb[0]);
            if (c.bits == 32) {
                out[3] = static_cast<char>(0xFF);
            }
        }
    }
    return bytes;
}

class DirectBmp : public testing::TestWithParam<DirectCase> {};

TEST_P(DirectBmp, ReadsExactlyThePixelsWritten) {
    const DirectCase& c = GetParam();
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("picture.bmp"));
    const Picture picture = kodakPicture(c.width, c.height);
    writeFile(path, bitmapOf(picture, c));

    int width = 0, height = 0;
    GlobalBlock block = readBmp(path, &width, &height);
    ASSERT_TRUE(block) << lastError();
    ASSERT_EQ(width, c.width);
    ASSERT_EQ(height, c.height);
    const Picture read = pictureOf(block);
    EXPECT_EQ(maxAbsDiff(read, picture), 0);

    // Qt's decoder, which every other bitmap kind goes through, agrees.
    QImage qt(path, "BMP");
    ASSERT_FALSE(qt.isNull());
    EXPECT_EQ(maxAbsDiff(read, pictureOf(qt)), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, DirectBmp,
    testing::Values(
        // Row padding of 0..3 bytes, both row orders, both depths.
        DirectCase{"w1", 1, 3, 24, false, 40, 0, 0}, DirectCase{"w2", 2, 5, 24, false, 40, 0, 0},
        DirectCase{"w3", 3, 4, 24, true, 40, 0, 0}, DirectCase{"w4", 4, 2, 24, false, 40, 0, 0},
        DirectCase{"odd", 333, 211, 24, false, 40, 0, 0},
        DirectCase{"oddTop", 333, 211, 24, true, 40, 0, 0},
        DirectCase{"bits32", 77, 61, 32, false, 40, 0, 0},
        DirectCase{"bits32Top", 77, 61, 32, true, 40, 0, 0},
        // The old 12-byte header, a gap before the pixels, a version 5 header.
        DirectCase{"core", 45, 31, 24, false, 12, 0, 0},
        DirectCase{"gap", 45, 31, 24, false, 40, 37, 0},
        DirectCase{"v5", 45, 31, 32, false, 124, 0, 0},
        // A version 5 header with an alpha channel stays with Qt's decoder.
        DirectCase{"v5alpha", 45, 31, 32, false, 124, 0, 0xFF000000u},
        // Taller than one read chunk, so rows cross chunk borders.
        DirectCase{"chunks", 760, 500, 24, false, 40, 0, 0}),
    [](const testing::TestParamInfo<DirectCase>& info) { return std::string(info.param.name); });

TEST(DirectBmp, AnOldHeadersSidesAreUnsigned) {
    // The 12-byte header gives its sides as unsigned 16-bit numbers: 33000 rows are rows
    // stored bottom-up, not 32536 stored top-down.
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString tall = dir.filePath(QStringLiteral("tall.bmp"));
    const DirectCase c{"tall", 2, 33000, 24, false, 12, 0, 0};
    const Picture picture = kodakPicture(c.width, c.height);
    writeFile(tall, bitmapOf(picture, c));
    int width = 0, height = 0;
    GlobalBlock block = readBmp(tall, &width, &height);
    ASSERT_TRUE(block) << lastError();
    ASSERT_EQ(height, c.height);
    EXPECT_EQ(maxAbsDiff(pictureOf(block), picture), 0);
    // The window shows what the compression reads, though Qt's reader would not.
    const LoadedPicture shown = loadPicture(tall);
    ASSERT_TRUE(shown.ok()) << shown.error.toStdString();
    EXPECT_EQ(maxAbsDiff(pictureOf(shown.image), picture), 0);

    // Qt's decoder takes them for signed; what would go through it is refused with why.
    const QString wide = dir.filePath(QStringLiteral("wide.bmp"));
    QByteArray bytes(14 + 12 + 6 + 40000 / 8, '\x0F');
    bytes[0] = 'B';
    bytes[1] = 'M';
    put32(bytes, 2, static_cast<std::uint32_t>(bytes.size()));
    put32(bytes, 6, 0);
    put32(bytes, 10, 14 + 12 + 6);
    put32(bytes, 14, 12);
    put16(bytes, 18, 40000);
    put16(bytes, 20, 1);
    put16(bytes, 22, 1);
    put16(bytes, 24, 1);
    writeFile(wide, bytes);
    EXPECT_FALSE(readBmp(wide));
    EXPECT_NE(lastError().find("12-byte header over 32767 pixels"), std::string::npos)
        << lastError();
}

TEST(DirectBmp, ShortPixelDataIsRefused) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("short.bmp"));
    const DirectCase c{"short", 64, 48, 24, false, 40, 0, 0};
    QByteArray bytes = bitmapOf(kodakPicture(c.width, c.height), c);
    bytes.chop(1);
    writeFile(path, bytes);
    GlobalBlock block = readBmp(path);
    EXPECT_FALSE(block);
    EXPECT_NE(lastError().find("truncated"), std::string::npos) << lastError();
}

}  // namespace
}  // namespace vellora::test
