// Files the decoders used to accept or choke on, made here byte by byte: sizes that
// overflowed, run-length streams that stop inside a run or never end, JPEG scans that
// leave a colour out, scan bombs, and bitmaps wider than any JPEG. Each must fail at
// once with a reason; their well-formed neighbours must still read exactly.

#include <gtest/gtest.h>
#include <QByteArray>
#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <vector>

#include "imaging/picture_checks.h"
#include "imaging_test_support.h"
#include "support/test_support.h"

namespace vellora::test {
namespace {

void putLe(QByteArray& bytes, int offset, std::uint32_t value, int size) {
    for (int i = 0; i < size; ++i) {
        bytes[offset + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
    }
}

// The palette of every bitmap here: index i is (40 i, 255 - 40 i, 7 i) mod 256.
std::array<std::uint8_t, 3> paletteColour(int index) {
    return {static_cast<std::uint8_t>(40 * index), static_cast<std::uint8_t>(255 - 40 * index),
            static_cast<std::uint8_t>(7 * index)};
}

// A Windows bitmap with a 40-byte header, a palette of `kColours` colours (16 unless
// given) and `data` as its pixel data; the header's data size is the data's length.
QByteArray bitmap(std::int32_t width, std::int32_t height, int bits, int compression,
                  const QByteArray& data, int kColours = 16) {
    const int offset = 14 + 40 + kColours * 4;
    QByteArray bytes(offset, '\0');
    bytes[0] = 'B';
    bytes[1] = 'M';
    putLe(bytes, 2, static_cast<std::uint32_t>(offset + data.size()), 4);
    putLe(bytes, 10, offset, 4);
    putLe(bytes, 14, 40, 4);
    putLe(bytes, 18, static_cast<std::uint32_t>(width), 4);
    putLe(bytes, 22, static_cast<std::uint32_t>(height), 4);
    putLe(bytes, 26, 1, 2);
    putLe(bytes, 28, static_cast<std::uint32_t>(bits), 2);
    putLe(bytes, 30, static_cast<std::uint32_t>(compression), 4);
    putLe(bytes, 34, static_cast<std::uint32_t>(data.size()), 4);
    putLe(bytes, 46, bits <= 8 ? kColours : 0, 4);
    for (int i = 0; i < kColours; ++i) {
        const auto [r, g, b] = paletteColour(i);
        bytes[54 + 4 * i] = static_cast<char>(b);
        bytes[55 + 4 * i] = static_cast<char>(g);
        bytes[56 + 4 * i] = static_cast<char>(r);
    }
    return bytes + data;
}

QByteArray raw(std::initializer_list<int> values) {
    QByteArray bytes;
    for (int value : values) {
        bytes.append(static_cast<char>(value));
    }
    return bytes;
}

// Reads `bytes` as a bitmap file: refused with a message containing `errorPart`, or
// read without a message when that is nullptr.
void expectReadOrRefused(const QByteArray& bytes, const char* errorPart) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("picture.bmp"));
    writeFile(path, bytes);
    GlobalBlock block = readBmp(path);
    if (errorPart) {
        EXPECT_FALSE(block);
        EXPECT_NE(lastError().find(errorPart), std::string::npos) << lastError();
        return;
    }
    ASSERT_TRUE(block) << lastError();
    EXPECT_EQ(lastError(), "");
}

constexpr int kRle8 = 1;
constexpr int kRle4 = 2;

TEST(BitmapHeaders, AHeaderOfAnotherSizeIsNamedNotMisread) {
    // Version 2 and 3 headers (52, 56 bytes) and others Qt cannot decode were read as
    // the 12-byte kind and refused for a size they do not give.
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("header.bmp"));
    for (const std::uint32_t size : {16U, 52U, 56U, 200U}) {
        QByteArray bytes = bitmap(4, 3, 24, 0, QByteArray(256, '\x40'), 0);
        putLe(bytes, 10, 14 + size, 4);
        putLe(bytes, 14, size, 4);
        writeFile(path, bytes);
        EXPECT_FALSE(readBmp(path));
        EXPECT_NE(lastError().find("a bitmap header of " + std::to_string(size) + " bytes"),
                  std::string::npos)
            << lastError();
    }
}

// ---------------------------------------------------------------------------
// Sizes: refused before any arithmetic on them or any allocation

struct SizeCase {
    const char* name;
    std::int32_t width;
    std::int32_t height;
    int compression;
    const char* errorPart;  // nullptr: reads
};

class BitmapSizes : public testing::TestWithParam<SizeCase> {};

TEST_P(BitmapSizes, OnlyWhatAJpegCanHoldIsRead) {
    const SizeCase& item = GetParam();
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("size.bmp"));
    // A run-length bitmap that ends at once (legal: all background) keeps the file
    // tiny whatever its size; an uncompressed one is just the 54-byte header.
    const QByteArray bytes = item.compression == kRle8
                                 ? bitmap(item.width, item.height, 8, kRle8, raw({0, 1}))
                                 : bitmap(item.width, item.height, 24, 0, {}).left(54);
    writeFile(path, bytes);
    int width = 0, height = 0;
    GlobalBlock block = readBmp(path, &width, &height);
    if (!item.errorPart) {
        ASSERT_TRUE(block) << lastError();
        EXPECT_EQ(width, item.width);
        EXPECT_EQ(height, std::abs(item.height));
        return;
    }
    EXPECT_FALSE(block);
    EXPECT_NE(lastError().find(item.errorPart), std::string::npos) << lastError();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BitmapSizes,
    testing::Values(
        // 2^31 - 1 each way: the product of the sides overflowed 64 bits before.
        SizeCase{"HeaderNearTwoToThe31", 0x7FFFFFFF, 0x7FFFFFFF, 0,
                 "a JPEG holds at most 65500 pixels a side"},
        SizeCase{"TopDownMostNegativeHeight", 0x7FFFFFFF, std::numeric_limits<std::int32_t>::min(),
                 0, "a JPEG holds at most 65500 pixels a side"},
        // 135 megapixels in a few bytes: took seconds and 800 MB before it failed.
        SizeCase{"WideRunLengthStrip", 16842879, 8, kRle8,
                 "16842879 x 8 pixels; a JPEG holds at most 65500 pixels a side"},
        SizeCase{"TallRunLengthStrip", 2, 65501, kRle8, "a JPEG holds at most 65500"},
        SizeCase{"WidestJpegSide", 65500, 2, kRle8, nullptr},
        SizeCase{"TallestJpegSide", 3, 65500, kRle8, nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Run-length streams

struct RunLengthCase {
    const char* name;
    int bits;  // 8: RLE8, 4: RLE4
    QByteArray data;
    const char* errorPart;  // nullptr: reads
};

class RunLengthStreams : public testing::TestWithParam<RunLengthCase> {};

// Every stream is for a 6 x 3 picture.
TEST_P(RunLengthStreams, EveryClaimedPixelIsInTheFile) {
    const RunLengthCase& item = GetParam();
    expectReadOrRefused(bitmap(6, 3, item.bits, item.bits == 8 ? kRle8 : kRle4, item.data),
                        item.errorPart);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RunLengthStreams,
    testing::Values(
        RunLengthCase{"Rle8Complete", 8, raw({6, 1, 0, 0, 6, 2, 0, 0, 6, 3, 0, 1}), nullptr},
        RunLengthCase{"Rle8LastLineEndedNoEndOfBitmap", 8,
                      raw({6, 1, 0, 0, 6, 2, 0, 0, 6, 3, 0, 0}), nullptr},
        RunLengthCase{"Rle8EarlyEndOfBitmap", 8, raw({2, 1, 0, 1}), nullptr},
        RunLengthCase{"Rle8JumpThenEnd", 8, raw({0, 2, 3, 1, 3, 5, 0, 1}), nullptr},
        RunLengthCase{"Rle8AbsoluteRunPadded", 8, raw({0, 3, 1, 2, 3, 0, 0, 1}), nullptr},
        // The run's value byte is missing: Qt filled it from an uninitialised variable.
        RunLengthCase{"Rle8RunWithoutItsValue", 8, raw({6, 1, 0, 0, 6}), "ends inside a run"},
        RunLengthCase{"Rle8AbsoluteRunCutShort", 8, raw({0, 5, 1, 2}),
                      "ends inside a run of stored pixels"},
        RunLengthCase{"Rle8AbsoluteRunWithoutPadding", 8, raw({0, 3, 1, 2, 3}),
                      "ends inside a run of stored pixels"},
        // No end of line, no end of bitmap: was a whole picture, mostly colour 0.
        RunLengthCase{"Rle8NoMarkersAtAll", 8, raw({3, 1, 3, 2}), "stops before the end"},
        RunLengthCase{"Rle8StopsAfterFirstLine", 8, raw({6, 1, 0, 0}), "stops before the end"},
        RunLengthCase{"Rle8JumpCutShort", 8, raw({0, 2, 1}), "ends inside a jump"},
        RunLengthCase{"Rle8JumpBelowThePicture", 8, raw({0, 2, 0, 3, 0, 1}),
                      "jumps outside the picture"},
        RunLengthCase{"Rle8RunPastTheLine", 8, raw({7, 1, 0, 1}), "runs past the end of line 1"},
        RunLengthCase{"Rle4Complete", 4, raw({6, 0x12, 0, 0, 6, 0x34, 0, 0, 6, 0x56, 0, 1}),
                      nullptr},
        RunLengthCase{"Rle4AbsoluteOddRun", 4, raw({0, 3, 0x12, 0x30, 0, 1}), nullptr},
        RunLengthCase{"Rle4RunWithoutItsValue", 4, raw({6, 0x12, 0, 0, 4}), "ends inside a run"},
        RunLengthCase{"Rle4AbsoluteRunCutShort", 4, raw({0, 5, 0x12}),
                      "ends inside a run of stored pixels"},
        RunLengthCase{"Rle4NoMarkersAtAll", 4, raw({2, 0x11, 4, 0x22}), "stops before the end"}),
    [](const auto& info) { return std::string(info.param.name); });

// Pixels naming a colour past the palette: the conversion made them black.
struct PaletteCase {
    const char* name;
    int bits;
    int compression;
    int colours;
    QByteArray data;        // a 6 x 2 picture
    const char* errorPart;  // nullptr: reads
};

class PaletteIndices : public testing::TestWithParam<PaletteCase> {};

TEST_P(PaletteIndices, EveryPixelNamesAPaletteColour) {
    const PaletteCase& item = GetParam();
    expectReadOrRefused(bitmap(6, 2, item.bits, item.compression, item.data, item.colours),
                        item.errorPart);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PaletteIndices,
    testing::Values(PaletteCase{"EightBitWithin", 8, 0, 16,
                                raw({0, 1, 2, 3, 4, 15, 0, 0, 5, 6, 7, 8, 9, 10, 0, 0}), nullptr},
                    PaletteCase{"EightBitPast", 8, 0, 16,
                                raw({0, 1, 2, 3, 4, 15, 0, 0, 5, 6, 16, 8, 9, 10, 0, 0}),
                                "pixel at 2, 0 (from the top) names colour 16 of a palette of 16"},
                    PaletteCase{"FourBitPast", 4, 0, 3,
                                raw({0x01, 0x22, 0x10, 0, 0x01, 0x23, 0x10, 0}),
                                "names colour 3 of a palette of 3"},
                    PaletteCase{"FourBitWithin", 4, 0, 3,
                                raw({0x01, 0x22, 0x10, 0, 0x01, 0x22, 0x10, 0}), nullptr},
                    PaletteCase{"OneBitOneColour", 1, 0, 1, raw({0x20, 0, 0, 0, 0x00, 0, 0, 0}),
                                "pixel at 2, 1 (from the top) names colour 1 of a palette of 1"},
                    PaletteCase{"Rle8RunPast", 8, kRle8, 16, raw({6, 1, 0, 0, 6, 200, 0, 1}),
                                "names colour 200 of a palette of 16"},
                    PaletteCase{"Rle8StoredPast", 8, kRle8, 16,
                                raw({6, 1, 0, 0, 0, 4, 1, 2, 17, 3, 2, 3, 0, 1}),
                                "names colour 17"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RunLengthStreams, CompressionForOtherPixelSizeIsRefused) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("mismatch.bmp"));
    writeFile(path, bitmap(6, 3, 4, kRle8, raw({0, 1})));
    GlobalBlock block = readBmp(path);
    EXPECT_FALSE(block);
    EXPECT_NE(lastError().find("run-length compression for 8-bit pixels in a 4-bit bitmap"),
              std::string::npos)
        << lastError();
}

TEST(RunLengthPixels, DescribedPixelsAndBackgroundComeOutExactly) {
    // Line 1 (bottom): 2 x colour 1, 3 stored pixels 2 3 4, then end of line; line 2:
    // a jump of 4 right, 2 x colour 5; then end of bitmap: line 3 is background.
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("pixels.bmp"));
    writeFile(path,
              bitmap(6, 3, 8, kRle8, raw({2, 1, 0, 3, 2, 3, 4, 0, 0, 0, 0, 2, 4, 0, 2, 5, 0, 1})));
    GlobalBlock block = readBmp(path);
    ASSERT_TRUE(block) << lastError();
    const Picture picture = pictureOf(block);
    const int expected[3][6] = {{0, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 5, 5}, {1, 1, 2, 3, 4, 0}};
    for (int y = 0; y < 3; ++y) {
        for (int x = 0; x < 6; ++x) {
            const auto colour = paletteColour(expected[y][x]);
            const std::uint8_t* pixel = picture.pixel(x, y);
            EXPECT_EQ((std::array<std::uint8_t, 3>{pixel[0], pixel[1], pixel[2]}), colour)
                << "pixel " << x << "," << y;
        }
    }
}

// ---------------------------------------------------------------------------
// JPEG scans

// A sequential JPEG with one scan per component (Y, then Cb, then Cr).
QByteArray threeScanJpeg() {
    return encodeTestJpeg(kodakPicture(48, 32), 90,
                          {{0, 0, 63, 0, 0}, {1, 0, 63, 0, 0}, {2, 0, 63, 0, 0}});
}

qsizetype nthScan(const QByteArray& jpeg, int n) {
    qsizetype at = -1;
    for (int i = 0; i < n; ++i) {
        at = jpeg.indexOf(QByteArray("\xFF\xDA", 2), at + 1);
        if (at < 0) {
            throw std::runtime_error("too few scans");
        }
    }
    return at;
}

// The bytes of the colour components' AC scans, which decide whether a progressive
// file's colour scans get a decoder of their own: counted from the scans' data, never
// from a luma or DC scan, and none in a baseline or grey file.
TEST(JpegScans, TheStructureWalkCountsTheColourAcBytes) {
    const Picture picture = kodakPicture(256, 192);
    const std::vector<ScanStep> colourScans = {
        {-1, 0, 0, 0, 0}, {0, 1, 63, 0, 0}, {1, 1, 63, 0, 0}, {2, 1, 63, 0, 0}};
    const std::vector<ScanStep> lumaOnly = {{-1, 0, 0, 0, 0}, {0, 1, 63, 0, 0}};
    // The data of the n-th scan: after its one-component header, up to the next marker
    // (inside scan data 0xFF is followed only by 0x00 or a restart code).
    const auto dataOf = [](const QByteArray& jpeg, int n) {
        const qsizetype begin = nthScan(jpeg, n) + 10;
        qsizetype end = jpeg.size();
        for (const char* marker : {"\xFF\xC4", "\xFF\xDA", "\xFF\xD9"}) {
            const qsizetype at = jpeg.indexOf(QByteArray(marker, 2), begin);
            end = at >= 0 ? std::min(end, at) : end;
        }
        return static_cast<std::int64_t>(end - begin);
    };
    const QByteArray progressive = encodeTestJpeg(picture, 90, colourScans);
    const struct {
        const char* what;
        QByteArray jpeg;
        std::int64_t expected;
    } cases[] = {
        {"colour AC scans", progressive, dataOf(progressive, 3) + dataOf(progressive, 4)},
        {"luma AC only", encodeTestJpeg(picture, 90, lumaOnly), 0},
        {"baseline", encodeTestJpeg(picture, 90), 0},
    };
    for (const auto& c : cases) {
        const imaging::JpegStructure structure =
            imaging::walkJpegStructure({reinterpret_cast<const std::uint8_t*>(c.jpeg.constData()),
                                        static_cast<std::size_t>(c.jpeg.size())},
                                       imaging::kMaxJpegScans);
        EXPECT_EQ(structure.colourAcBytes, c.expected) << c.what;
    }
    EXPECT_GT(dataOf(progressive, 3), 100);
}

TEST(JpegScans, SequentialScansOfEveryComponentRead) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("three.jpg"));
    writeFile(path, threeScanJpeg());
    GlobalBlock block = readJpg(path);
    ASSERT_TRUE(block) << lastError();
    EXPECT_LT(meanAbsDiff(pictureOf(block), kodakPicture(48, 32)), 4.0);
}

struct MissingComponentCase {
    const char* name;
    int scansKept;
};

class JpegMissingComponents : public testing::TestWithParam<MissingComponentCase> {};

TEST_P(JpegMissingComponents, AreRefusedNotShownGrey) {
    // The luma scan alone (or luma and blue) and then the end marker: libjpeg used to
    // return a grey (or wrongly coloured) picture without a warning.
    const QByteArray whole = threeScanJpeg();
    const QByteArray cut =
        whole.left(nthScan(whole, GetParam().scansKept + 1)) + QByteArray("\xFF\xD9", 2);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("cut.jpg"));
    writeFile(path, cut);
    GlobalBlock block = readJpg(path);
    EXPECT_FALSE(block);
    const std::string expected = "its scans hold only " + std::to_string(GetParam().scansKept) +
                                 " of its 3 colour components";
    EXPECT_NE(lastError().find(expected), std::string::npos) << lastError();
}

INSTANTIATE_TEST_SUITE_P(Cases, JpegMissingComponents,
                         testing::Values(MissingComponentCase{"LumaOnly", 1},
                                         MissingComponentCase{"LumaAndBlue", 2}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(JpegScans, OnlyAProgressionThatBringsEveryCoefficientIsRead) {
    // A progressive file may legally stop early, but none is written so: it is a cut
    // file with its end marker put back, whose missing detail libjpeg would smooth in.
    const Picture picture = kodakPicture(48, 32);
    const std::vector<ScanStep> colourAc = {{1, 1, 63, 0, 0}, {2, 1, 63, 0, 0}};
    const auto script = [&](std::vector<ScanStep> steps) {
        steps.insert(steps.end(), colourAc.begin(), colourAc.end());
        return steps;
    };
    const struct {
        const char* what;
        std::vector<ScanStep> scans;
        bool read;
    } cases[] = {
        {"every band in full", script({{-1, 0, 0, 0, 0}, {0, 1, 63, 0, 0}}), true},
        {"bands split, bits refined",
         script({{-1, 0, 0, 0, 1},
                 {0, 1, 5, 0, 2},
                 {0, 6, 63, 0, 2},
                 {0, 1, 63, 2, 1},
                 {-1, 0, 0, 1, 0},
                 {0, 1, 63, 1, 0}}),
         true},
        {"the averages only", {{-1, 0, 0, 0, 0}}, false},
        {"luma detail missing", script({{-1, 0, 0, 0, 0}}), false},
        {"a band missing", script({{-1, 0, 0, 0, 0}, {0, 1, 5, 0, 0}}), false},
        {"last bits never sent", script({{-1, 0, 0, 0, 0}, {0, 1, 63, 0, 1}}), false},
        {"the averages' last bit never sent", script({{-1, 0, 0, 0, 1}, {0, 1, 63, 0, 0}}), false},
    };
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("progression.jpg"));
    for (const auto& c : cases) {
        const QByteArray jpeg = encodeTestJpeg(picture, 90, c.scans);
        ASSERT_FALSE(jpeg.isEmpty()) << c.what;
        writeFile(path, jpeg);
        GlobalBlock block = readJpg(path);
        EXPECT_EQ(static_cast<bool>(block), c.read) << c.what << ": " << lastError();
        if (!c.read) {
            EXPECT_NE(lastError().find("before every detail of the picture has arrived"),
                      std::string::npos)
                << c.what << ": " << lastError();
        }
    }
}

TEST(JpegScans, AComponentWithAnotherOnesIdIsMissing) {
    // Scans name components by id, and libjpeg decodes the first with that id: a third
    // component that repeats the first's id never gets its scan, and was made up.
    QByteArray jpeg = threeScanJpeg();
    const qsizetype frame = jpeg.indexOf(QByteArray("\xFF\xC0", 2));
    ASSERT_GT(frame, 0);
    jpeg[frame + 10 + 2 * 3] = jpeg[frame + 10];  // the third id is the first's
    jpeg = jpeg.left(nthScan(jpeg, 3)) + QByteArray("\xFF\xD9", 2);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("same-id.jpg"));
    writeFile(path, jpeg);
    EXPECT_FALSE(readJpg(path));
    EXPECT_NE(lastError().find("only 2 of its 3 colour components"), std::string::npos)
        << lastError();
}

TEST(JpegScans, ScanBombIsRefusedBeforeAnyScanIsDecoded) {
    // 150 empty scan headers after a real first scan's tables. Decoding the first
    // empty scan fails as corrupt data, so only a count made before decoding can
    // name the scan bomb.
    const QByteArray progressive =
        encodeTestJpeg(kodakPicture(32, 32), 80,
                       {{-1, 0, 0, 0, 0}, {0, 1, 63, 0, 0}, {1, 1, 63, 0, 0}, {2, 1, 63, 0, 0}});
    const qsizetype firstScan = nthScan(progressive, 1);
    const QByteArray acScanHeader = raw({0xFF, 0xDA, 0, 8, 1, 1, 0, 1, 63, 0});
    QByteArray bomb = progressive.left(firstScan);
    for (int i = 0; i < 150; ++i) {
        bomb += acScanHeader;
    }
    bomb += QByteArray("\xFF\xD9", 2);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("bomb.jpg"));
    writeFile(path, bomb);
    GlobalBlock block = readJpg(path);
    EXPECT_FALSE(block);
    EXPECT_NE(lastError().find("more than 100 scans"), std::string::npos) << lastError();
}

TEST(JpegMarkers, AFloodIsRefusedBeforeAnyDecoderReadsIt) {
    // libjpeg walks its list of saved blocks for each new one: a hundred thousand
    // empty ones held a reader for minutes. As many as any writer makes still read.
    // Also behind what libjpeg reads on past: a block whose length is under 2, stray
    // bytes where a marker belongs.
    const QByteArray jpeg = encodeTestJpeg(kodakPicture(16, 16), 80);
    QTemporaryDir dir;
    // (Stray bytes are refused anyway, as damage, once libjpeg warns of them.)
    for (const QByteArray& before : {QByteArray(), raw({0xFF, 0xFE, 0, 0}), raw({0, 0x12})}) {
        const bool stray = before.startsWith('\0');
        for (const int count : {imaging::kMaxJpegMarkers - 10, imaging::kMaxJpegMarkers + 1}) {
            const QString path = dir.filePath(QStringLiteral("flood.jpg"));
            writeFile(path, jpeg.left(2) + before + raw({0xFF, 0xE1, 0, 2}).repeated(count) +
                                jpeg.mid(2));
            GlobalBlock block = readJpg(path);
            EXPECT_EQ(static_cast<bool>(block), count < imaging::kMaxJpegMarkers - 1 && !stray)
                << count << " " << before.toHex().toStdString() << lastError();
            if (count > imaging::kMaxJpegMarkers) {
                EXPECT_NE(lastError().find("more than 5000 markers"), std::string::npos)
                    << lastError();
            }
        }
    }
}

// ---------------------------------------------------------------------------
// The same faults as files among the fuzz regressions (the replay checks only that
// nothing crashes; here each must be refused for its reason, and at once)

struct KeptInput {
    const char* file;
    const char* errorPart;
};

class KeptFaultInputs : public testing::TestWithParam<KeptInput> {};

TEST_P(KeptFaultInputs, AreRefusedForTheirReason) {
    const QString path =
        QStringLiteral(VELLORA_FUZZ_REGRESSIONS "/") + QString::fromLatin1(GetParam().file);
    ASSERT_TRUE(QFile::exists(path)) << path.toStdString();
    GlobalBlock block = path.endsWith(QLatin1String(".bmp")) ? readBmp(path) : readJpg(path);
    EXPECT_FALSE(block);
    EXPECT_NE(lastError().find(GetParam().errorPart), std::string::npos) << lastError();
}

INSTANTIATE_TEST_SUITE_P(
    Files, KeptFaultInputs,
    testing::Values(KeptInput{"bmp_read/fault1-sides-near-2-31.bmp", "at most 65500 pixels a side"},
                    KeptInput{"bmp_read/fault2-rle8-run-without-value.bmp", "ends inside a run"},
                    KeptInput{"bmp_read/fault2-rle8-absolute-run-cut.bmp", "stored pixels"},
                    KeptInput{"bmp_read/fault2-rle8-no-markers.bmp", "stops before the end"},
                    KeptInput{"bmp_read/fault2-rle4-run-without-value.bmp", "ends inside a run"},
                    KeptInput{"jpeg_read/fault3-luma-scan-only.jpg", "only 1 of its 3 colour"},
                    KeptInput{"jpeg_read/fault4-scan-bomb.jpg", "more than 100 scans"},
                    KeptInput{"jpeg_read/fault4-scan-bomb-14000.jpg", "more than 100 scans"},
                    KeptInput{"bmp_read/fault5-wide-rle-strip.bmp", "16842879 x 8 pixels"}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

}  // namespace
}  // namespace vellora::test
