// Large JPEGs are read by two decoders at once: of a single-scan file the second
// skips to the lower half, of a progressive one it decodes the colour scans. The
// picture must be exactly what one decoder makes of the whole file, for every chroma
// layout, with restart markers and when turned upright; and damage in either
// decoder's part still fails the read.
#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "imaging/libjpeg_bridge.h"
#include "imaging_test_support.h"
#include "libjpeg_writer.h"
#include "support/jpeg_fixtures.h"

namespace vellora::test {
namespace {

struct Layout {
    const char* what;
    int width;
    int height;
    int components;
    int hSamp;  // luma sampling factors; chroma 1x1
    int vSamp;
    int restartRows;
    bool progressive = false;
};

QByteArray encodeLayout(const Picture& picture, const Layout& layout) {
    LibjpegLayout written;
    written.components = layout.components;
    written.hSamp = layout.hSamp;
    written.vSamp = layout.vSamp;
    written.restartRows = layout.restartRows;
    written.progressive = layout.progressive;
    written.quality = 80;
    const QByteArray bytes = writeWithLibjpeg(picture.rgb, picture.width, picture.height, written);
    EXPECT_FALSE(bytes.isEmpty()) << layout.what;
    return bytes;
}

// The Kodak picture with colour noise over it: enough colour detail that a
// progressive file's colour scans are worth a decoder of their own.
Picture colourfulPicture(int width, int height) {
    Picture picture = kodakPicture(width, height);
    std::uint32_t state = 12345;
    for (std::uint8_t& value : picture.rgb) {
        state = state * 1664525u + 1013904223u;
        value = static_cast<std::uint8_t>(std::clamp(int(value) + int(state >> 25) - 64, 0, 255));
    }
    return picture;
}

// The whole file through one libjpeg decoder, as RGB.
Picture decodeWhole(const QByteArray& bytes) {
    Picture picture;
    jpeg::Decompressor decompressor;
    jpeg_decompress_struct* info = decompressor.info();
    JSAMPROW row = nullptr;
    const bool ok = jpeg::runGuarded(decompressor.bridge(), [&] {
        jpeg_mem_src(info, reinterpret_cast<const unsigned char*>(bytes.constData()),
                     static_cast<unsigned long>(bytes.size()));
        (void)jpeg_read_header(info, TRUE);
        info->out_color_space = JCS_RGB;
        jpeg_start_decompress(info);
        picture.width = static_cast<int>(info->output_width);
        picture.height = static_cast<int>(info->output_height);
        picture.rgb.resize(static_cast<std::size_t>(picture.width) * picture.height * 3);
        while (info->output_scanline < info->output_height) {
            row = picture.rgb.data() +
                  static_cast<std::size_t>(info->output_scanline) * picture.width * 3;
            jpeg_read_scanlines(info, &row, 1);
        }
        jpeg_finish_decompress(info);
    });
    EXPECT_TRUE(ok) << decompressor.bridge().text();
    return picture;
}

TEST(JpegHalves, EveryLayoutReadsAsOneDecoderReadsIt) {
    // All above half a megapixel, so the library reads each with two decoders.
    const Layout layouts[] = {
        {"4:2:0, odd size", 1023, 777, 3, 2, 2, 0},
        {"4:2:2", 1001, 703, 3, 2, 1, 0},
        {"4:4:0", 777, 1001, 3, 1, 2, 0},
        {"4:4:4, restarts", 960, 641, 3, 1, 1, 2},
        {"4:2:0, restarts", 1100, 650, 3, 2, 2, 1},
        {"grey", 1003, 701, 1, 1, 1, 0},
        {"4:1:1", 1024, 600, 3, 4, 1, 0},
        // Progressive: a second decoder takes the colour scans.
        {"progressive 4:2:0, odd size", 1023, 777, 3, 2, 2, 0, true},
        {"progressive 4:4:4, restarts", 960, 641, 3, 1, 1, 2, true},
        {"progressive 4:2:2", 1001, 703, 3, 2, 1, 0, true},
        {"progressive grey", 1003, 701, 1, 1, 1, 0, true},
    };
    QTemporaryDir dir;
    for (const Layout& layout : layouts) {
        const Picture source = layout.progressive ? colourfulPicture(layout.width, layout.height)
                                                  : kodakPicture(layout.width, layout.height);
        const QByteArray bytes = encodeLayout(source, layout);
        for (const int orientation : {1, 6}) {
            const QString path = dir.filePath(QStringLiteral("halves.jpg"));
            writeFile(path, orientation == 1
                                ? bytes
                                : withMarkers(bytes, {{kApp1, exifBlock(orientation)}}));
            GlobalBlock block = readJpg(path);
            const std::string what =
                std::string(layout.what) + ", orientation " + std::to_string(orientation);
            ASSERT_TRUE(block) << what << ": " << lastError();
            const Picture expected = oriented(decodeWhole(bytes), orientation);
            const Picture actual = pictureOf(block);
            ASSERT_EQ(actual.width, expected.width) << what;
            ASSERT_EQ(actual.height, expected.height) << what;
            EXPECT_EQ(maxAbsDiff(actual, expected), 0) << what;
        }
    }
}

TEST(JpegHalves, DamageInEitherHalfFailsTheRead) {
    const Layout layout{"4:2:0", 1200, 900, 3, 2, 2, 0};
    const QByteArray whole = encodeLayout(kodakPicture(layout.width, layout.height), layout);
    const struct {
        const char* what;
        double keep;  // share of the file kept; negative: drop that many bytes at the end
    } cuts[] = {
        {"upper half cut", 0.3},
        {"lower half cut", 0.8},
        {"no end marker", -2},
    };
    QTemporaryDir dir;
    for (const auto& cut : cuts) {
        const qsizetype keep = cut.keep < 0 ? whole.size() + static_cast<qsizetype>(cut.keep)
                                            : static_cast<qsizetype>(whole.size() * cut.keep);
        const QString path = dir.filePath(QStringLiteral("cut.jpg"));
        writeFile(path, whole.left(keep));
        GlobalBlock block = readJpg(path);
        EXPECT_FALSE(block) << cut.what;
        EXPECT_NE(lastError().find("truncated"), std::string::npos)
            << cut.what << ": " << lastError();
    }
}

TEST(JpegHalves, ProgressiveFileWithoutItsLastScansIsRefused) {
    // A file cut after a scan, its end marker put back: libjpeg would smooth detail in
    // where coefficients never arrived. Refused before either decoder starts, like a
    // file whose scans leave a colour out.
    const Layout layout{"progressive 4:4:4", 1100, 800, 3, 1, 1, 0, true};
    const QByteArray whole = encodeLayout(colourfulPicture(layout.width, layout.height), layout);
    QTemporaryDir dir;
    for (const int dropped : {1, 3}) {
        qsizetype cut = whole.size() - 2;  // the end marker stays
        for (int scan = 0; scan < dropped; ++scan) {
            cut = whole.lastIndexOf("\xFF\xDA", cut - 1);
        }
        const QString path = dir.filePath(QStringLiteral("fewer.jpg"));
        writeFile(path, whole.left(cut) + whole.right(2));
        EXPECT_FALSE(readJpg(path)) << dropped;
        EXPECT_NE(lastError().find("before every detail of the picture has arrived"),
                  std::string::npos)
            << dropped << ": " << lastError();
    }
}

TEST(JpegHalves, DamageInEitherDecodersScansFailsTheRead) {
    // libjpeg's progression: scan 2 is luma AC (the first decoder's), scan 3 colour AC
    // (the second's).
    const Layout layout{"progressive 4:4:4", 1200, 900, 3, 1, 1, 0, true};
    const QByteArray whole = encodeLayout(colourfulPicture(layout.width, layout.height), layout);
    // Where the data of the scan-th scan begins and ends.
    const auto scanData = [&](int scan) {
        qsizetype at = 0;
        for (int seen = 0; seen < scan; ++seen) {
            at = whole.indexOf("\xFF\xDA", at + 1);
        }
        const qsizetype begin = at + 2 +
                                (static_cast<unsigned char>(whole[at + 2]) << 8 |
                                 static_cast<unsigned char>(whole[at + 3]));
        return std::pair{begin, whole.indexOf("\xFF\xDA", begin)};
    };
    const struct {
        const char* what;
        int scan;
        bool cut;  // else garbage inside the scan
        const char* reason;
    } damages[] = {
        {"luma scan cut", 2, true, "truncated"},
        {"colour scan cut", 3, true, "truncated"},
        {"garbage in a luma scan", 2, false, "corrupt"},
        {"garbage in a colour scan", 3, false, "corrupt"},
    };
    QTemporaryDir dir;
    for (const auto& damage : damages) {
        const auto [begin, end] = scanData(damage.scan);
        ASSERT_GT(end, begin + 64) << damage.what;
        QByteArray bytes = whole;
        const qsizetype middle = (begin + end) / 2;
        if (damage.cut) {
            bytes.truncate(middle);
        } else {
            bytes.replace(middle, 16, QByteArray("\xFF\x00", 2).repeated(8));
        }
        const QString path = dir.filePath(QStringLiteral("damaged.jpg"));
        writeFile(path, bytes);
        GlobalBlock block = readJpg(path);
        EXPECT_FALSE(block) << damage.what;
        EXPECT_NE(lastError().find(damage.reason), std::string::npos)
            << damage.what << ": " << lastError();
    }
}

}  // namespace
}  // namespace vellora::test
