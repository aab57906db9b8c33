// Reading pictures through the image library's entries: every JPEG and BMP kind comes
// back as the right picture, upright; everything damaged or hostile fails at once
// with a reason.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <QDir>
#include <QDirIterator>
#include <QTemporaryDir>
#include <chrono>
#include <future>

#include <libexif/exif-data.h>

#include "imaging/imgdll_api.h"
#include "imaging/picture_loader.h"
#include "imaging_test_support.h"
#include "libjpeg_writer.h"
#include "support/test_support.h"

namespace vellora::test {
namespace {

QString bad(const QString& relative) {
    return testData(QStringLiteral("bad/") + relative);
}

// ---------------------------------------------------------------------------
// EXIF orientation

struct OrientationCase {
    const char* family;  // Landscape or Portrait
    int orientation;     // 0: no orientation tag
};

class ExifOrientationSet : public testing::TestWithParam<OrientationCase> {};

TEST_P(ExifOrientationSet, ComesBackUprightLikeOrientationOne) {
    const auto [family, orientation] = GetParam();
    const QString name = QStringLiteral("jpeg/exif-orientation/%1_%2.jpg");
    int width = 0, height = 0, refWidth = 0, refHeight = 0;
    GlobalBlock reference =
        readJpg(bad(name.arg(QLatin1String(family)).arg(1)), &refWidth, &refHeight);
    GlobalBlock block =
        readJpg(bad(name.arg(QLatin1String(family)).arg(orientation)), &width, &height);
    ASSERT_TRUE(reference && block) << lastError();
    EXPECT_EQ(width, refWidth);
    EXPECT_EQ(height, refHeight);
    const Picture expected = pictureOf(reference);
    const Picture actual = pictureOf(block);
    ASSERT_EQ(actual.width, width);
    ASSERT_EQ(actual.height, height);
    // The files differ only by JPEG re-encoding (about 2 to 4 per value); a picture
    // left mirrored or turned differs by 40 and more.
    EXPECT_LT(meanAbsDiff(actual, expected), 6.0);
}

std::vector<OrientationCase> orientationCases() {
    std::vector<OrientationCase> cases;
    for (const char* family : {"Landscape", "Portrait"}) {
        for (int orientation = 0; orientation <= 8; ++orientation) {
            cases.push_back({family, orientation});
        }
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(AllOrientations, ExifOrientationSet, testing::ValuesIn(orientationCases()),
                         [](const auto& info) {
                             return std::string(info.param.family) + "_" +
                                    std::to_string(info.param.orientation);
                         });

// An EXIF block with `orientation` and a thumbnail, written by libexif.
QByteArray exifBlock(int orientation, ExifByteOrder order, const QByteArray& thumbnail) {
    ExifData* data = exif_data_new();
    exif_data_unset_option(data, EXIF_DATA_OPTION_FOLLOW_SPECIFICATION);
    exif_data_set_byte_order(data, order);
    ExifEntry* entry = exif_entry_new();
    exif_content_add_entry(data->ifd[EXIF_IFD_0], entry);
    exif_entry_initialize(entry, EXIF_TAG_ORIENTATION);
    exif_set_short(entry->data, order, static_cast<ExifShort>(orientation));
    exif_entry_unref(entry);
    if (!thumbnail.isEmpty()) {
        data->data =
            static_cast<unsigned char*>(std::malloc(static_cast<size_t>(thumbnail.size())));
        std::memcpy(data->data, thumbnail.constData(), static_cast<size_t>(thumbnail.size()));
        data->size = static_cast<unsigned>(thumbnail.size());
    }
    return takeExifBlock(data);
}

struct SyntheticCase {
    int orientation;
    ExifByteOrder order;
};

class SyntheticOrientation : public testing::TestWithParam<SyntheticCase> {};

TEST_P(SyntheticOrientation, PixelsTurnedAndBlockRewritten) {
    const auto [orientation, order] = GetParam();
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const Picture stored = kodakPicture(96, 64);
    const QByteArray thumbnail = encodeTestJpeg(kodakPicture(16, 16), 50);
    const QString source = dir.filePath(QStringLiteral("tagged.jpg"));
    writeFile(source, encodeTestJpeg(stored, 95, {}, exifBlock(orientation, order, thumbnail)));
    ASSERT_EQ(exifOrientationOf(source), orientation);
    ASSERT_TRUE(exifHasThumbnail(source));

    int width = 0, height = 0;
    GlobalBlock block = readJpg(source, &width, &height);
    ASSERT_TRUE(block) << lastError();
    const Picture expected = oriented(stored, orientation);
    EXPECT_EQ(width, expected.width);
    EXPECT_EQ(height, expected.height);
    EXPECT_LT(meanAbsDiff(pictureOf(block), expected), 3.0);

    // Saved, the pixels are upright already: the file must say orientation 1, and the
    // thumbnail of the unturned picture is gone.
    const QString saved = dir.filePath(QStringLiteral("saved.jpg"));
    EXPECT_EQ(ImgDLLSaveRGBToJPG(QFile::encodeName(saved).constData(), block.lock(), width, height,
                                 90, 0),
              1)
        << lastError();
    block.unlock();
    EXPECT_EQ(exifOrientationOf(saved), 1);
    EXPECT_FALSE(exifHasThumbnail(saved));
    GlobalBlock again = readJpg(saved, &width, &height);
    ASSERT_TRUE(again) << lastError();
    EXPECT_EQ(width, expected.width);
    EXPECT_LT(meanAbsDiff(pictureOf(again), expected), 4.0);
}

std::vector<SyntheticCase> syntheticCases() {
    std::vector<SyntheticCase> cases;
    for (ExifByteOrder order : {EXIF_BYTE_ORDER_INTEL, EXIF_BYTE_ORDER_MOTOROLA}) {
        for (int orientation = 1; orientation <= 8; ++orientation) {
            cases.push_back({orientation, order});
        }
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(BothByteOrders, SyntheticOrientation, testing::ValuesIn(syntheticCases()),
                         [](const auto& info) {
                             return std::string(info.param.order == EXIF_BYTE_ORDER_INTEL
                                                    ? "Intel"
                                                    : "Motorola") +
                                    "_" + std::to_string(info.param.orientation);
                         });

TEST(ExifBlock, OutOfRangeOrientationLeavesPixelsAsStored) {
    QTemporaryDir dir;
    const Picture stored = kodakPicture(40, 24);
    const QString source = dir.filePath(QStringLiteral("odd.jpg"));
    writeFile(source, encodeTestJpeg(stored, 95, {}, exifBlock(9, EXIF_BYTE_ORDER_INTEL, {})));
    int width = 0, height = 0;
    GlobalBlock block = readJpg(source, &width, &height);
    ASSERT_TRUE(block) << lastError();
    EXPECT_EQ(width, 40);
    EXPECT_EQ(height, 24);
    EXPECT_LT(meanAbsDiff(pictureOf(block), stored), 3.0);
}

TEST(ExifBlock, DamagedBlockIsDroppedNotFatal) {
    QTemporaryDir dir;
    const Picture stored = kodakPicture(40, 24);
    const QString source = dir.filePath(QStringLiteral("damaged.jpg"));
    const QByteArray garbage = QByteArray("Exif\0\0", 6) + QByteArray(50, '\xAB');
    writeFile(source, encodeTestJpeg(stored, 95, {}, garbage));
    GlobalBlock block = readJpg(source);
    ASSERT_TRUE(block) << lastError();
    const QString saved = dir.filePath(QStringLiteral("saved.jpg"));
    ASSERT_EQ(ImgDLLSaveRGBToJPG(QFile::encodeName(saved).constData(), block.lock(), 40, 24, 90, 0),
              1);
    block.unlock();
    EXPECT_EQ(exifOrientationOf(saved), -1) << "a block that cannot be parsed is not copied";
}

// ---------------------------------------------------------------------------
// JPEG kinds: libjpeg-turbo's reference picture re-encoded every way

struct VariantCase {
    const char* file;
    int orientation;   // how the variant was turned, as an EXIF orientation would say
    double tolerance;  // mean difference of 4 x 4 tile averages
};

class JpegVariants : public testing::TestWithParam<VariantCase> {};

TEST_P(JpegVariants, DecodeToTheReferencePicture) {
    const VariantCase& variant = GetParam();
    GlobalBlock reference = readJpg(bad(QStringLiteral("jpeg/ljt-testimages/testorig.jpg")));
    GlobalBlock block = readJpg(bad(QStringLiteral("jpeg/") + QLatin1String(variant.file)));
    ASSERT_TRUE(reference && block) << lastError();
    const Picture expected = oriented(pictureOf(reference), variant.orientation);
    const Picture actual = pictureOf(block);
    ASSERT_EQ(actual.width, expected.width);
    ASSERT_EQ(actual.height, expected.height);
    EXPECT_LT(blockMeanAbsDiff(actual, expected, 4), variant.tolerance);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, JpegVariants,
    testing::Values(
        VariantCase{"ljt-testimages/testimgari.jpg", 1, 1.0},  // arithmetic coding
        VariantCase{"ljt-bug-reproducers/8bit__testorig_rgb_444_floatdct_q100_test3icc.jpg", 1,
                    1.0},  // RGB (Adobe transform 0), 4:4:4
        VariantCase{"ljt-bug-reproducers/8bit__testorig_rot180_cmyk_411_q50_opt_rst1B_test1icc.jpg",
                    3, 5.0},  // CMYK, Adobe inverted, 4:1:1, restart markers
        VariantCase{"ljt-bug-reproducers/8bit__testorig_rot270_420_fastdct_q75_prog_rst100.jpg", 8,
                    4.0},  // progressive, 4:2:0
        VariantCase{"ljt-bug-reproducers/8bit__testorig_rot90_441_q25_scan_script.jpg", 6,
                    7.0},  // 4:4:1, custom scan script
        VariantCase{"ljt-bug-reproducers/8bit__testorig_transpose_440_q90_ari_rst1.jpg", 5,
                    3.0},  // 4:4:0, arithmetic, restarts
        VariantCase{"ljt-bug-reproducers/8bit__testorig_transverse_422_q95_prog_ari.jpg", 7,
                    3.0},  // 4:2:2 progressive arithmetic
        VariantCase{"ljt-bug-reproducers/8bit__testorig_vflip_410_q10_baseline.jpg", 4,
                    10.0}),  // 4:1:0
    [](const auto& info) { return "case" + std::to_string(info.index); });

class SameAsQtsDecoder : public testing::TestWithParam<const char*> {};

TEST_P(SameAsQtsDecoder, PixelsMatch) {
    // Qt's JPEG reader runs the same libjpeg-turbo with its usual settings: a file
    // without EXIF orientation must come out the same, whatever its kind.
    const QString path = bad(QStringLiteral("jpeg/") + QLatin1String(GetParam()));
    GlobalBlock block = readJpg(path);
    ASSERT_TRUE(block) << lastError();
    const QImage image(path);
    ASSERT_FALSE(image.isNull());
    EXPECT_LE(maxAbsDiff(pictureOf(block), pictureOf(image)), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, SameAsQtsDecoder,
    testing::Values("ljt-testimages/testorig.jpg", "ljt-testimages/testimgari.jpg",
                    "ljt-bug-reproducers/8bit__testorig_hflip_2x4_q1_rst16.jpg",
                    "ljt-bug-reproducers/8bit__testorig_grayscale_q80_rst8.jpg",
                    "ljt-bug-reproducers/8bit__testorig_rot270_420_fastdct_q75_prog_rst100.jpg",
                    "ljt-bug-reproducers/8bit__testorig_rot90_441_q25_scan_script.jpg",
                    "ljt-bug-reproducers/8bit__testorig_transpose_440_q90_ari_rst1.jpg",
                    "ljt-bug-reproducers/8bit__testorig_transverse_422_q95_prog_ari.jpg",
                    "ljt-bug-reproducers/8bit__testorig_vflip_410_q10_baseline.jpg",
                    "ljt-bug-reproducers/8bit__2x2_410.jpg",
                    "ljt-bug-reproducers/8bit__1x1_444.jpg"),
    [](const auto& info) { return "case" + std::to_string(info.index); });

TEST(JpegKinds, GreyscaleIsExpandedToEqualChannels) {
    GlobalBlock grey = readJpg(
        bad(QStringLiteral("jpeg/ljt-bug-reproducers/8bit__testorig_grayscale_q80_rst8.jpg")));
    GlobalBlock colour = readJpg(bad(QStringLiteral("jpeg/ljt-testimages/testorig.jpg")));
    ASSERT_TRUE(grey && colour) << lastError();
    const Picture picture = pictureOf(grey);
    for (std::size_t i = 0; i + 2 < picture.rgb.size(); i += 3) {
        ASSERT_EQ(picture.rgb[i], picture.rgb[i + 1]);
        ASSERT_EQ(picture.rgb[i], picture.rgb[i + 2]);
    }
    EXPECT_GT(blockLumaCorrelation(picture, pictureOf(colour), 4), 0.98);
}

TEST(JpegKinds, CmykIccProfileIsNotCarriedIntoRgb) {
    QTemporaryDir dir;
    const QString source = bad(QStringLiteral(
        "jpeg/ljt-bug-reproducers/8bit__testorig_rot180_cmyk_411_q50_opt_rst1B_test1icc.jpg"));
    ASSERT_FALSE(iccProfileOf(source).isEmpty());
    int width = 0, height = 0;
    GlobalBlock block = readJpg(source, &width, &height);
    ASSERT_TRUE(block) << lastError();
    const QString saved = dir.filePath(QStringLiteral("rgb.jpg"));
    ASSERT_EQ(ImgDLLSaveRGBToJPG(QFile::encodeName(saved).constData(), block.lock(), width, height,
                                 80, 0),
              1);
    block.unlock();
    EXPECT_TRUE(iccProfileOf(saved).isEmpty());
}

// The Original window and the compression read a CMYK file alike, with or without
// Adobe's inverted inks (the window showed a file of plain ink amounts as its
// negative), and both give the colours the inks stand for.
TEST(JpegKinds, CmykIsShownAsTheCompressionReadsIt) {
    QTemporaryDir dir;
    const int width = 48;
    const int height = 32;
    const std::vector<std::uint8_t> rgb = kodakPicture(width, height).rgb;
    for (const bool adobe : {true, false}) {
        for (const bool progressive : {false, true}) {
            SCOPED_TRACE(testing::Message() << "Adobe " << adobe << " progressive " << progressive);
            LibjpegLayout layout;
            layout.components = 4;
            layout.adobeMarker = adobe;
            layout.progressive = progressive;
            layout.quality = 95;
            const QString path = dir.filePath(QStringLiteral("cmyk.jpg"));
            writeFile(path, writeWithLibjpeg(rgb, width, height, layout));
            int readWidth = 0, readHeight = 0;
            GlobalBlock read = readJpg(path, &readWidth, &readHeight);
            ASSERT_TRUE(read) << lastError();
            const LoadedPicture shown = loadPicture(path);
            ASSERT_TRUE(shown.ok()) << shown.error.toStdString();
            const Picture fromLibrary = pictureOf(read);
            EXPECT_EQ(maxAbsDiff(pictureOf(shown.image), fromLibrary), 0);
            EXPECT_LT(meanAbsDiff(fromLibrary, Picture{width, height, rgb}), 3.0);
        }
    }
}

// ---------------------------------------------------------------------------
// Scan and pixel limits

// A valid progressive script with `refinedCoefficients` luminance coefficients sent
// in two steps (successive approximation) and the rest in one band.
std::vector<ScanStep> progressiveScript(int refinedCoefficients) {
    std::vector<ScanStep> script{{-1, 0, 0, 0, 0}};
    for (int k = 1; k <= refinedCoefficients; ++k) {
        script.push_back({0, k, k, 0, 1});
        script.push_back({0, k, k, 1, 0});
    }
    if (refinedCoefficients < 63) {
        script.push_back({0, refinedCoefficients + 1, 63, 0, 0});
    }
    script.push_back({1, 1, 63, 0, 0});
    script.push_back({2, 1, 63, 0, 0});
    return script;
}

TEST(ScanLimit, ManyScansStillDecode) {
    QTemporaryDir dir;
    const Picture picture = kodakPicture(64, 48);
    const std::vector<ScanStep> script = progressiveScript(48);  // 100 scans
    ASSERT_EQ(script.size(), 100u);
    const QString path = dir.filePath(QStringLiteral("many.jpg"));
    writeFile(path, encodeTestJpeg(picture, 90, script));
    GlobalBlock block = readJpg(path);
    ASSERT_TRUE(block) << lastError();
    EXPECT_LT(meanAbsDiff(pictureOf(block), picture), 4.0);
}

TEST(ScanLimit, MoreScansThanTheCapAreRefused) {
    QTemporaryDir dir;
    const std::vector<ScanStep> script = progressiveScript(49);  // 102 scans
    ASSERT_EQ(script.size(), 102u);
    const QString path = dir.filePath(QStringLiteral("bomb.jpg"));
    writeFile(path, encodeTestJpeg(kodakPicture(64, 48), 90, script));
    GlobalBlock block = readJpg(path);
    EXPECT_FALSE(block);
    EXPECT_NE(lastError().find("more than 100 scans"), std::string::npos) << lastError();
}

// A small baseline JPEG whose frame header claims another size.
QByteArray withFrameSize(QByteArray jpeg, int width, int height) {
    const qsizetype sof = jpeg.indexOf(QByteArray("\xFF\xC0", 2));
    if (sof < 0) {
        throw std::runtime_error("no SOF0 marker");
    }
    jpeg[sof + 5] = static_cast<char>(height >> 8);
    jpeg[sof + 6] = static_cast<char>(height & 0xFF);
    jpeg[sof + 7] = static_cast<char>(width >> 8);
    jpeg[sof + 8] = static_cast<char>(width & 0xFF);
    return jpeg;
}

TEST(PixelLimit, HugeJpegIsRefusedBeforeDecoding) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("huge.jpg"));
    writeFile(path, withFrameSize(encodeTestJpeg(kodakPicture(16, 16), 80), 40000, 40000));
    GlobalBlock block = readJpg(path);
    EXPECT_FALSE(block);
    EXPECT_NE(lastError().find("picture too large: 40000 x 40000 pixels exceeds the limit of "
                               "200000000 pixels"),
              std::string::npos)
        << lastError();
}

TEST(PixelLimit, LargeButAllowedJpegFailsOnlyForItsMissingData) {
    // 12000 x 9000 is a 108-megapixel photo: within the limit, so the file is decoded
    // and fails because the tiny file lacks the data, not because of its size.
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("large.jpg"));
    writeFile(path, withFrameSize(encodeTestJpeg(kodakPicture(16, 16), 80), 12000, 9000));
    GlobalBlock block = readJpg(path);
    EXPECT_FALSE(block);
    EXPECT_NE(lastError().find("truncated or corrupt"), std::string::npos) << lastError();
}

TEST(PixelLimit, HugeBmpIsRefusedBeforeDecoding) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("huge.bmp"));
    ASSERT_TRUE(toQImage(kodakPicture(16, 16)).save(path, "BMP"));
    QByteArray bytes = fileBytes(path);
    const auto putInt = [&](int offset, std::int32_t value) {
        for (int i = 0; i < 4; ++i) {
            bytes[offset + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
        }
    };
    putInt(18, 16000);
    putInt(22, 16000);
    writeFile(path, bytes);
    GlobalBlock block = readBmp(path);
    EXPECT_FALSE(block);
    EXPECT_NE(lastError().find("picture too large: 16000 x 16000"), std::string::npos)
        << lastError();
}

// ---------------------------------------------------------------------------
// BMP kinds

enum class BmpKind {
    Exact,       // 24/32-bit: the same values
    FiveBits,    // 16-bit: channels quantised to 5 or 6 bits
    Palette256,  // 256 colours: close everywhere
    FewColours,  // 16 or 2 colours, or grey: the same picture in other colours
    OtherSize    // drawn at another size or with non-square pixels
};

struct BmpCase {
    const char* file;
    BmpKind kind;
};

class BmpSuiteGood : public testing::TestWithParam<BmpCase> {};

TEST_P(BmpSuiteGood, DecodesToTheSamePicture) {
    const BmpCase& item = GetParam();
    GlobalBlock reference = readBmp(bad(QStringLiteral("bmp/bmpsuite-g/rgb24.bmp")));
    int width = 0, height = 0;
    GlobalBlock block =
        readBmp(bad(QStringLiteral("bmp/bmpsuite-g/") + QLatin1String(item.file)), &width, &height);
    ASSERT_TRUE(reference && block) << lastError();
    const Picture expected = pictureOf(reference);
    const Picture actual = pictureOf(block);
    ASSERT_EQ(actual.width, width);
    ASSERT_EQ(actual.height, height);
    if (item.kind == BmpKind::OtherSize) {
        const QImage scaled = toQImage(expected).scaled(width, height, Qt::IgnoreAspectRatio,
                                                        Qt::SmoothTransformation);
        const double upright = blockLumaCorrelation(actual, pictureOf(scaled), 4);
        const double flipped =
            blockLumaCorrelation(actual, pictureOf(scaled.mirrored(false, true)), 4);
        const double mirrored =
            blockLumaCorrelation(actual, pictureOf(scaled.mirrored(true, false)), 4);
        // Drawn anew at this size, so only close; upside down or mirrored it is far off.
        EXPECT_GT(upright, 0.85);
        EXPECT_GT(upright, flipped + 0.3);
        EXPECT_GT(upright, mirrored + 0.3);
        return;
    }
    ASSERT_EQ(width, 127);
    ASSERT_EQ(height, 64);
    switch (item.kind) {
        case BmpKind::Exact:
            EXPECT_EQ(maxAbsDiff(actual, expected), 0);
            break;
        case BmpKind::FiveBits:
            EXPECT_LE(maxAbsDiff(actual, expected), 10);
            break;
        case BmpKind::Palette256:
            EXPECT_LT(blockMeanAbsDiff(actual, expected, 4), 4.0);
            break;
        case BmpKind::FewColours:
            EXPECT_GT(blockLumaCorrelation(actual, expected, 8), 0.88);
            break;
        case BmpKind::OtherSize:
            break;
    }
}

INSTANTIATE_TEST_SUITE_P(
    EveryKind, BmpSuiteGood,
    testing::Values(
        BmpCase{"pal1.bmp", BmpKind::FewColours}, BmpCase{"pal1bg.bmp", BmpKind::FewColours},
        BmpCase{"pal1wb.bmp", BmpKind::FewColours}, BmpCase{"pal4.bmp", BmpKind::FewColours},
        BmpCase{"pal4gs.bmp", BmpKind::FewColours}, BmpCase{"pal4rle.bmp", BmpKind::FewColours},
        BmpCase{"pal8-0.bmp", BmpKind::Palette256}, BmpCase{"pal8.bmp", BmpKind::Palette256},
        BmpCase{"pal8gs.bmp", BmpKind::FewColours},
        BmpCase{"pal8nonsquare.bmp", BmpKind::OtherSize},
        BmpCase{"pal8os2.bmp", BmpKind::Palette256}, BmpCase{"pal8rle.bmp", BmpKind::Palette256},
        BmpCase{"pal8topdown.bmp", BmpKind::Palette256}, BmpCase{"pal8v4.bmp", BmpKind::Palette256},
        BmpCase{"pal8v5.bmp", BmpKind::Palette256}, BmpCase{"pal8w124.bmp", BmpKind::OtherSize},
        BmpCase{"pal8w125.bmp", BmpKind::OtherSize}, BmpCase{"pal8w126.bmp", BmpKind::OtherSize},
        BmpCase{"rgb16-565.bmp", BmpKind::FiveBits}, BmpCase{"rgb16-565pal.bmp", BmpKind::FiveBits},
        BmpCase{"rgb16.bmp", BmpKind::FiveBits}, BmpCase{"rgb16bfdef.bmp", BmpKind::FiveBits},
        BmpCase{"rgb24.bmp", BmpKind::Exact}, BmpCase{"rgb24pal.bmp", BmpKind::Exact},
        BmpCase{"rgb32.bmp", BmpKind::Exact}, BmpCase{"rgb32bf.bmp", BmpKind::Exact},
        BmpCase{"rgb32bfdef.bmp", BmpKind::Exact}),
    [](const auto& info) {
        std::string name = info.param.file;
        name = name.substr(0, name.find('.'));
        for (char& c : name) {
            if (c == '-') {
                c = '_';
            }
        }
        return name;
    });

TEST(BmpSuite, EveryGoodFileIsCovered) {
    // The table above names every file in the folder, so a new kind cannot slip by.
    const QStringList files =
        QDir(bad(QStringLiteral("bmp/bmpsuite-g"))).entryList({QStringLiteral("*.bmp")});
    EXPECT_EQ(files.size(), 27);
}

TEST(BmpSuite, SkippedRunLengthPixelsAreDefined) {
    // Deltas and early line ends leave pixels unwritten; they must come out the same
    // on every read, not as leftover memory.
    const QString path = bad(QStringLiteral("bmp/bmpsuite-q/pal8rletrns.bmp"));
    GlobalBlock first = readBmp(path);
    std::vector<GlobalBlock> noise;
    for (int i = 0; i < 4; ++i) {
        noise.push_back(readBmp(bad(QStringLiteral("bmp/bmpsuite-g/rgb32.bmp"))));
    }
    noise.clear();
    GlobalBlock second = readBmp(path);
    ASSERT_TRUE(first && second) << lastError();
    EXPECT_EQ(maxAbsDiff(pictureOf(first), pictureOf(second)), 0);
}

// ---------------------------------------------------------------------------
// The bad corpus: a correct picture or a clean failure, never a crash or a hang

struct CorpusFolder {
    const char* folder;
    bool jpeg;
};

class BadCorpus : public testing::TestWithParam<CorpusFolder> {};

TEST_P(BadCorpus, EveryFileDecodesOrFailsWithAReason) {
    const CorpusFolder& folder = GetParam();
    QDirIterator files(bad(QLatin1String(folder.folder)), QDir::Files,
                       QDirIterator::Subdirectories);
    int count = 0;
    while (files.hasNext()) {
        const QString path = files.next();
        SCOPED_TRACE(path.toStdString());
        ++count;
        int width = -1, height = -1;
        GlobalBlock block =
            folder.jpeg ? readJpg(path, &width, &height) : readBmp(path, &width, &height);
        if (!block) {
            EXPECT_FALSE(lastError().empty());
            continue;
        }
        EXPECT_EQ(lastError(), "");
        ASSERT_GT(width, 0);
        ASSERT_GT(height, 0);
        const Picture picture = pictureOf(block);
        ASSERT_EQ(picture.width, width);
        ASSERT_EQ(picture.height, height);
        // libjpeg fills what it could not decode with mid-grey; a picture whose lower
        // half is mostly that grey was accepted half-decoded.
        if (width * height >= 64) {
            EXPECT_LT(greyFillShare(picture, height / 2), 0.5);
        }
        // The other reader refuses the same file cleanly.
        GlobalBlock other = folder.jpeg ? readBmp(path) : readJpg(path);
        if (!other) {
            EXPECT_FALSE(lastError().empty());
        }
    }
    EXPECT_GT(count, 0);
}

INSTANTIATE_TEST_SUITE_P(AllFolders, BadCorpus,
                         testing::Values(CorpusFolder{"jpeg/ljt-bug-reproducers", true},
                                         CorpusFolder{"jpeg/ljt-afl-jpeg-edges", true},
                                         CorpusFolder{"jpeg/ljt-afl-jpeg-turbo-edges", true},
                                         CorpusFolder{"jpeg/ljt-lossless", true},
                                         CorpusFolder{"jpeg/ljt-testimages", true},
                                         CorpusFolder{"jpeg/exif-orientation", true},
                                         CorpusFolder{"bmp/bmpsuite-b", false},
                                         CorpusFolder{"bmp/bmpsuite-q", false},
                                         CorpusFolder{"bmp/bmpsuite-g", false},
                                         CorpusFolder{"bmp/ljt-afl-bmp-edges", false},
                                         CorpusFolder{"bmp/ljt-cve-2018-14498", false},
                                         CorpusFolder{"bmp/ljt-testimages", false}),
                         [](const auto& info) {
                             std::string name = info.param.folder;
                             for (char& c : name) {
                                 if (!std::isalnum(static_cast<unsigned char>(c))) {
                                     c = '_';
                                 }
                             }
                             return name;
                         });

struct Expectation {
    const char* file;
    bool jpeg;
    const char* errorPart;  // nullptr: must decode
};

class CorpusExpectations : public testing::TestWithParam<Expectation> {};

TEST_P(CorpusExpectations, FileHasTheKnownOutcome) {
    const Expectation& expected = GetParam();
    const QString path = bad(QLatin1String(expected.file));
    GlobalBlock block = expected.jpeg ? readJpg(path) : readBmp(path);
    if (!expected.errorPart) {
        EXPECT_TRUE(block) << lastError();
        return;
    }
    EXPECT_FALSE(block);
    EXPECT_NE(lastError().find(expected.errorPart), std::string::npos) << lastError();
}

INSTANTIATE_TEST_SUITE_P(
    Known, CorpusExpectations,
    testing::Values(
        Expectation{"jpeg/ljt-testimages/monkey12.jpg", true, "precision 12"},
        Expectation{
            "jpeg/ljt-bug-reproducers/12bit__random12_99x92_ifast_rgb_420_Q90_80_70_smooth50.jpg",
            true, "only 8-bit JPEGs"},
        Expectation{"jpeg/ljt-lossless/random8_100x91_lossless_psv5_pt2.jpg", true,
                    "lossless and hierarchical JPEGs cannot be read"},
        Expectation{"jpeg/ljt-bug-reproducers/8bit__8x8_420_tables.jpg", true, "no image"},
        Expectation{"jpeg/ljt-bug-reproducers/8bit__1x1_420.jpg", true, nullptr},
        Expectation{"jpeg/ljt-bug-reproducers/8bit__2x2_410.jpg", true, nullptr},
        Expectation{"jpeg/ljt-bug-reproducers/mozilla_1050342__jpeg-image-000.jpg", true,
                    "file is truncated or corrupt"},
        Expectation{"jpeg/ljt-afl-jpeg-edges/afl-jpeg-edge-000180.jpg", true,
                    "file is truncated or corrupt: Premature end of JPEG file"},
        Expectation{"bmp/bmpsuite-b/shortfile.bmp", false, "file is truncated"},
        Expectation{"bmp/bmpsuite-b/reallybig.bmp", false, "picture too large"},
        Expectation{"bmp/bmpsuite-b/badbitcount.bmp", false, "bits per pixel"},
        Expectation{"bmp/bmpsuite-q/rgb24jpeg.bmp", false, "compression"},
        Expectation{"bmp/bmpsuite-q/rgba64.bmp", false, "64 bits per pixel"},
        Expectation{"bmp/ljt-testimages/vgl_6548_0026a.bmp", false, nullptr},
        Expectation{"bmp/bmpsuite-g/rgb24.bmp", true, "not a JPEG file"},
        Expectation{"jpeg/ljt-testimages/testorig.jpg", false, "not a BMP file"}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

// ---------------------------------------------------------------------------
// Truncated files

struct CutCase {
    const char* file;
    bool jpeg;
    double keep;  // share of the file kept; negative: drop that many bytes at the end
};

class TruncatedFiles : public testing::TestWithParam<CutCase> {};

TEST_P(TruncatedFiles, FailInsteadOfComingBackPartlyFilled) {
    const CutCase& item = GetParam();
    const QByteArray whole = fileBytes(bad(QLatin1String(item.file)));
    const qsizetype keep = item.keep < 0 ? whole.size() + static_cast<qsizetype>(item.keep)
                                         : static_cast<qsizetype>(whole.size() * item.keep);
    QTemporaryDir dir;
    const QString path =
        dir.filePath(item.jpeg ? QStringLiteral("cut.jpg") : QStringLiteral("cut.bmp"));
    writeFile(path, whole.left(keep));
    GlobalBlock block = item.jpeg ? readJpg(path) : readBmp(path);
    EXPECT_FALSE(block);
    EXPECT_NE(lastError().find("truncated"), std::string::npos) << lastError();
}

INSTANTIATE_TEST_SUITE_P(
    Cuts, TruncatedFiles,
    testing::Values(
        CutCase{"jpeg/ljt-testimages/testorig.jpg", true, 0.5},
        CutCase{"jpeg/ljt-testimages/testorig.jpg", true, 0.95},
        CutCase{"jpeg/ljt-testimages/testorig.jpg", true, -2},  // no end marker
        CutCase{"jpeg/ljt-testimages/testimgari.jpg", true, 0.7},
        CutCase{"jpeg/ljt-bug-reproducers/8bit__testorig_rot270_420_fastdct_q75_prog_rst100.jpg",
                true, 0.8},  // progressive: the last scans missing
        CutCase{"jpeg/exif-orientation/Landscape_6.jpg", true, 0.6},
        CutCase{"bmp/bmpsuite-g/rgb24.bmp", false, 0.5},
        CutCase{"bmp/bmpsuite-g/rgb24.bmp", false, -1},
        CutCase{"bmp/bmpsuite-g/pal1.bmp", false, 0.9},
        CutCase{"bmp/bmpsuite-g/pal8rle.bmp", false, 0.6},
        CutCase{"bmp/bmpsuite-g/rgb16-565.bmp", false, 0.99}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

// ---------------------------------------------------------------------------
// Things that are not pictures at all

TEST(NotAPicture, MissingAndEmptyFilesFail) {
    QTemporaryDir dir;
    GlobalBlock missing = readJpg(dir.filePath(QStringLiteral("none.jpg")));
    EXPECT_FALSE(missing);
    EXPECT_NE(lastError().find("No such file or directory"), std::string::npos) << lastError();
    const QString empty = dir.filePath(QStringLiteral("empty.jpg"));
    writeFile(empty, {});
    EXPECT_FALSE(readJpg(empty));
    EXPECT_NE(lastError().find("empty"), std::string::npos) << lastError();
    EXPECT_FALSE(readBmp(empty));
    EXPECT_NE(lastError().find("not a BMP file"), std::string::npos) << lastError();
    EXPECT_FALSE(ImgDLLReadRGBFromJPG(nullptr, nullptr, nullptr));
    EXPECT_FALSE(lastError().empty());
}

struct SpecialFile {
    const char* name;
    bool jpeg;
};

class NonRegularFiles : public testing::TestWithParam<SpecialFile> {};

TEST_P(NonRegularFiles, FailAtOnceWithoutBlocking) {
    QTemporaryDir dir;
    const QString fifo = dir.filePath(QStringLiteral("pipe.jpg"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QString folder = dir.filePath(QStringLiteral("folder.bmp"));
    ASSERT_TRUE(QDir().mkdir(folder));
    const std::string name = GetParam().name;
    const QString path = name == "fifo"     ? fifo
                         : name == "folder" ? folder
                                            : QStringLiteral("/dev/zero");
    const bool jpeg = GetParam().jpeg;

    auto reading = std::async(std::launch::async, [&] {
        GlobalBlock block = jpeg ? readJpg(path) : readBmp(path);
        return std::make_pair(static_cast<bool>(block), lastError());
    });
    // Only a guard against hanging the whole run: a blocked read is let go by a writer.
    if (reading.wait_for(std::chrono::seconds(20)) == std::future_status::timeout) {
        const int writer = ::open(QFile::encodeName(fifo).constData(), O_WRONLY | O_NONBLOCK);
        if (writer >= 0) {
            ::close(writer);
        }
        reading.wait();
        FAIL() << "reading " << path.toStdString() << " blocked";
    }
    const auto [decoded, error] = reading.get();
    EXPECT_FALSE(decoded);
    EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(Kinds, NonRegularFiles,
                         testing::Values(SpecialFile{"fifo", true}, SpecialFile{"fifo", false},
                                         SpecialFile{"device", true}, SpecialFile{"device", false},
                                         SpecialFile{"folder", false}),
                         [](const auto& info) {
                             return std::string(info.param.name) +
                                    (info.param.jpeg ? "_jpeg" : "_bmp");
                         });

}  // namespace
}  // namespace vellora::test
