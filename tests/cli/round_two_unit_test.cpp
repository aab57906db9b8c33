// The pieces behind --lossless, --target-ssim, --min-saving, -p, -n and "-": the
// option rules, the coefficient repack on every kind of JPEG, the SSIM measure and its
// quality search.

#include <gtest/gtest.h>

#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <algorithm>
#include <cmath>
#include <random>

#include <unistd.h>

#include "cli/lossless_repack.h"
#include "cli/options.h"
#include "cli/ssim.h"
#include "cli/ssim_search.h"
#include "cli/stdio_io.h"
#include "cli_test_support.h"
#include "round_two_support.h"
#include "support/jpeg_fixtures.h"
#include "support/test_support.h"

namespace vellora::cli {
namespace {

using test::photo;
using test::testData;

ParseResult parse(QStringList arguments) {
    arguments.prepend(QStringLiteral("vellora-cli"));
    return parseArguments(arguments, 2);
}

struct OptionCase {
    const char* what;
    QStringList arguments;
    bool accepted;
};

class RoundTwoOptionsTest : public testing::TestWithParam<OptionCase> {};

TEST_P(RoundTwoOptionsTest, AcceptsOrRefuses) {
    const OptionCase& c = GetParam();
    const ParseResult result = parse(c.arguments);
    EXPECT_EQ(result.action, c.accepted ? ParseAction::Run : ParseAction::UsageError)
        << c.what << ": " << result.error.toStdString();
    if (!c.accepted) {
        EXPECT_FALSE(result.error.isEmpty()) << c.what;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rules, RoundTwoOptionsTest,
    testing::Values(
        OptionCase{"ssim target", {"--target-ssim", "0.985", "a.jpg"}, true},
        OptionCase{"ssim target with leading dot", {"--target-ssim", ".99", "a.jpg"}, true},
        OptionCase{"ssim 0", {"--target-ssim", "0", "a.jpg"}, false},
        OptionCase{"ssim 1", {"--target-ssim", "1", "a.jpg"}, false},
        OptionCase{"ssim above 1", {"--target-ssim", "1.5", "a.jpg"}, false},
        OptionCase{"ssim negative", {"--target-ssim", "-0.5", "a.jpg"}, false},
        OptionCase{"ssim not a number", {"--target-ssim", "high", "a.jpg"}, false},
        OptionCase{"ssim with exponent", {"--target-ssim", "9e-1", "a.jpg"}, false},
        // As a script prints a computed float: every digit it gives.
        OptionCase{"ssim of 16 decimals", {"--target-ssim", "0.8999999999999999", "a.jpg"}, true},
        OptionCase{"ssim with leading zeros", {"--target-ssim", "0000000.9", "a.jpg"}, true},
        OptionCase{
            "min saving of 17 decimals", {"--min-saving", "0.30000000000000004", "a.jpg"}, true},
        OptionCase{
            "ssim of 100 digits", {"--target-ssim", "0." + QString(99, u'9'), "a.jpg"}, false},
        OptionCase{"ssim with -q", {"--target-ssim", "0.98", "-q", "50", "a.jpg"}, false},
        OptionCase{"ssim with -s", {"--target-ssim", "0.98", "-s", "10K", "a.jpg"}, false},
        OptionCase{"multi-scale ssim", {"--target-ssim", "0.995", "--ms-ssim", "a.jpg"}, true},
        OptionCase{"multi-scale without a target", {"--ms-ssim", "a.jpg"}, false},
        OptionCase{"min saving whole", {"--min-saving", "5", "a.jpg"}, true},
        OptionCase{"min saving fraction", {"--min-saving", "2.5", "a.jpg"}, true},
        OptionCase{"min saving 0", {"--min-saving", "0", "a.jpg"}, true},
        OptionCase{"min saving 100", {"--min-saving", "100", "a.jpg"}, false},
        OptionCase{"min saving with percent sign", {"--min-saving", "5%", "a.jpg"}, false},
        OptionCase{"lossless", {"--lossless", "a.jpg"}, true},
        OptionCase{"lossless with -q for BMPs", {"--lossless", "-q", "80", "a.jpg"}, true},
        OptionCase{"lossless with crop", {"--lossless", "--crop", "0,0,8,8", "a.jpg"}, false},
        OptionCase{"short -p and -n together", {"-pn", "a.jpg"}, true},
        OptionCase{"stdin alone", {"-"}, true},
        OptionCase{"stdin to a file", {"-", "-o", "out.jpg"}, true},
        OptionCase{"stdin among files", {"-", "a.jpg"}, false},
        OptionCase{"stdin with -d", {"-", "-d", "out"}, false},
        OptionCase{"stdin in place", {"--in-place", "-"}, false},
        OptionCase{"stdin with a suffix", {"--suffix", "-x", "-"}, false}));

TEST(RoundTwoOptionsTest, SetsTheNewFields) {
    const ParseResult result =
        parse({"--lossless", "-p", "-n", "--min-saving", "7.5", "--target-ssim", "0.97", "x.jpg"});
    ASSERT_EQ(result.action, ParseAction::Run) << result.error.toStdString();
    const Options& options = result.options;
    EXPECT_TRUE(options.lossless);
    EXPECT_TRUE(options.preserveTimes);
    EXPECT_TRUE(options.dryRun);
    EXPECT_FALSE(options.stdio);
    ASSERT_TRUE(options.minSaving);
    EXPECT_DOUBLE_EQ(*options.minSaving, 7.5);
    ASSERT_TRUE(options.targetSsim);
    EXPECT_DOUBLE_EQ(*options.targetSsim, 0.97);
    EXPECT_TRUE(parse({"-"}).options.stdio);
}

TEST(RoundTwoOptionsTest, HelpShowsEveryNewOptionWithAnExample) {
    const QString help = helpText();
    for (const char* option : {"--lossless", "--target-ssim", "--preserve-times", "--min-saving",
                               "--dry-run", "-p,", "-n,"}) {
        EXPECT_TRUE(help.contains(QLatin1String(option))) << option;
    }
    for (const char* example : {"vellora-cli --lossless", "vellora-cli --target-ssim",
                                "vellora-cli --min-saving", "vellora-cli -n", "- <a.jpg"}) {
        EXPECT_TRUE(help.contains(QLatin1String(example))) << example;
    }
}

// ---- the lossless repack ---------------------------------------------------------

class RepackKindTest : public testing::TestWithParam<test::JpegKind> {};

TEST_P(RepackKindTest, KeepsEveryPixelAndIsNeverLarger) {
    const test::JpegKind kind = GetParam();
    // An odd size: partial blocks and MCUs at the right and bottom edges.
    const QByteArray input = test::encodeKind(photo(203, 141, 3), kind);
    ASSERT_FALSE(input.isEmpty()) << kind.name;
    const RepackResult repacked = repackJpeg(input, {});
    ASSERT_EQ(repacked.status, RepackStatus::Ok)
        << kind.name << ": " << repacked.message.toStdString();
    const auto before = test::decodeWithLibjpeg(input);
    const auto after = test::decodeWithLibjpeg(repacked.bytes);
    ASSERT_TRUE(before && after) << kind.name;
    EXPECT_TRUE(*before == *after) << kind.name << ": the pixels changed";
    EXPECT_LE(repacked.bytes.size(), input.size()) << kind.name;
}

TEST_P(RepackKindTest, KeepsTheMarkersAndDropsThemWhenAsked) {
    const test::JpegKind kind = GetParam();
    const QByteArray input = test::encodeKind(photo(64, 48, 5), kind);
    QTemporaryDir dir;
    const QString in = dir.filePath(QStringLiteral("in.jpg"));
    const QString kept = dir.filePath(QStringLiteral("kept.jpg"));
    const QString stripped = dir.filePath(QStringLiteral("stripped.jpg"));
    ASSERT_TRUE(test::writeBytes(in, input));
    ASSERT_TRUE(test::writeBytes(kept, repackJpeg(input, {}).bytes));
    ASSERT_TRUE(test::writeBytes(stripped, repackJpeg(input, {true, true}).bytes));
    const test::JpegMarkers original = test::readJpegMarkers(in);
    const test::JpegMarkers all = test::readJpegMarkers(kept);
    const test::JpegMarkers none = test::readJpegMarkers(stripped);
    ASSERT_TRUE(original.valid && all.valid && none.valid);
    EXPECT_EQ(all.exifBlocks, original.exifBlocks) << kind.name;
    EXPECT_EQ(all.iccBlocks, original.iccBlocks) << kind.name;
    EXPECT_EQ(all.comments, original.comments) << kind.name;
    EXPECT_EQ(none.iccBlocks, 0) << kind.name;
    EXPECT_EQ(none.comments, 0) << kind.name;
    // The made-up EXIF block has a camera make and orientation 6: stripping keeps
    // a block with the orientation alone, so the photo still shows upright.
    EXPECT_EQ(none.exifBlocks, original.exifBlocks) << kind.name;
    if (original.exifBlocks > 0) {
        const QByteArray strippedBytes = test::readBytes(stripped);
        EXPECT_FALSE(strippedBytes.contains("Cam")) << kind.name;
        EXPECT_EQ(exifOrientation(minimalExif(6)), 6);
        EXPECT_TRUE(strippedBytes.contains(minimalExif(6)));
    }
}

INSTANTIATE_TEST_SUITE_P(EveryKind, RepackKindTest, testing::ValuesIn(test::jpegKinds()),
                         [](const testing::TestParamInfo<test::JpegKind>& info) {
                             std::string name = info.param.name;
                             for (char& c : name) {
                                 if (!std::isalnum(static_cast<unsigned char>(c))) {
                                     c = '_';
                                 }
                             }
                             return name;
                         });

// The shared photos and pictures: real encoders' files, EXIF orientation examples.
TEST(RepackTest, SharedJpegsKeepTheirPixels) {
    QStringList files = {QStringLiteral("bad/jpeg/ljt-testimages/testorig.jpg"),
                         QStringLiteral("photos/Kite.jpg"),
                         QStringLiteral("bad/jpeg/exif-orientation/Landscape_6.jpg"),
                         QStringLiteral("bad/jpeg/exif-orientation/Portrait_3.jpg")};
    for (const QString& file : files) {
        const QByteArray input = test::readBytes(testData(file));
        ASSERT_FALSE(input.isEmpty()) << file.toStdString();
        const RepackResult repacked = repackJpeg(input, {});
        ASSERT_EQ(repacked.status, RepackStatus::Ok) << file.toStdString();
        const auto before = test::decodeWithLibjpeg(input);
        const auto after = test::decodeWithLibjpeg(repacked.bytes);
        ASSERT_TRUE(before && after);
        EXPECT_TRUE(*before == *after) << file.toStdString();
        EXPECT_LE(repacked.bytes.size(), input.size()) << file.toStdString();
    }
}

// A progressive file whose scans stop after the first, its end marker in place: libjpeg
// reads it without a word, and a repack would write the missing detail as zeros.
QByteArray firstScanOnly() {
    const QByteArray progressive =
        test::encodeKind(photo(96, 64, 2), {.name = "progressive", .progressive = true});
    const qsizetype second = progressive.indexOf("\xFF\xDA", progressive.indexOf("\xFF\xDA") + 2);
    return second > 0 ? progressive.left(second) + QByteArray("\xFF\xD9", 2) : QByteArray();
}

TEST(RepackTest, RefusedKindsSayWhy) {
    struct Case {
        const char* what;
        QByteArray input;
        const char* reason;
    };
    const auto file = [](const char* name) { return test::readBytes(testData(name)); };
    const Case cases[] = {
        {"arithmetic", file("bad/jpeg/ljt-testimages/testimgari.jpg"), "arithmetic"},
        {"12-bit", file("bad/jpeg/ljt-testimages/monkey12.jpg"), "8-bit"},
        {"lossless process", file("bad/jpeg/ljt-lossless/random8_100x91_lossless_psv5_pt2.jpg"),
         "lossless-process"},
        // libjpeg cannot write the luma's table again: it is no longer in the file.
        {"a table defined again", test::withTableDefinedAgain(photo(64, 48, 3)), "defined again"},
        {"scans that stop short", firstScanOnly(), "every detail"},
    };
    for (const Case& c : cases) {
        ASSERT_FALSE(c.input.isEmpty()) << c.what;
        const RepackResult repacked = repackJpeg(c.input, {});
        EXPECT_EQ(repacked.status, RepackStatus::Refused) << c.what;
        EXPECT_TRUE(repacked.message.contains(QLatin1String(c.reason)))
            << c.what << ": " << repacked.message.toStdString();
        EXPECT_TRUE(repacked.bytes.isEmpty());
    }
}

TEST(RepackTest, DamagedInputFailsInsteadOfMakingUpData) {
    const QByteArray input = test::encodeKind(photo(96, 64, 2), test::jpegKinds().front());
    // A hostile file whose coefficients only go out of range once the output buffer has
    // grown: the writer's error must leave one owner of the buffer (it was freed twice).
    const QByteArray late =
        test::readBytes(QStringLiteral(VELLORA_FUZZ_REGRESSIONS) +
                        "/lossless/out-of-range-coefficient-late-in-the-file.jpg");
    ASSERT_FALSE(late.isEmpty());
    // Damage (a stray byte) in a file whose scans also stop short: libjpeg's to judge.
    QByteArray strayAndShort = firstScanOnly();
    strayAndShort.insert(strayAndShort.indexOf("\xFF\xDB"), '\0');
    for (const QByteArray& damaged :
         {input.left(input.size() / 2), QByteArray("\xFF\xD8\xFF"), QByteArray("not a picture"),
          QByteArray(), late, strayAndShort}) {
        const RepackResult repacked = repackJpeg(damaged, {});
        EXPECT_EQ(repacked.status, RepackStatus::Failed) << damaged.size();
        EXPECT_FALSE(repacked.message.isEmpty());
    }
}

TEST(RepackTest, KeepsTheAdobeBlockOrItsAbsence) {
    // Readers take a CMYK file with an Adobe block for inverted CMYK: one the repack gave
    // a block it never had read back all black.
    const QByteArray withBlock = test::readBytes(testData(
        "bad/jpeg/ljt-bug-reproducers/8bit__testorig_rot180_cmyk_411_q50_opt_rst1B_test1icc.jpg"));
    const qsizetype adobe = withBlock.indexOf("\xFF\xEE");
    ASSERT_GT(adobe, 0);
    const int length = (static_cast<unsigned char>(withBlock[adobe + 2]) << 8) |
                       static_cast<unsigned char>(withBlock[adobe + 3]);
    const QByteArray withoutBlock = QByteArray(withBlock).remove(adobe, 2 + length);
    const auto adobeBlocks = [](const QByteArray& jpeg) {
        const std::vector<test::Marker> markers = test::markersOf(jpeg);
        return std::count_if(markers.begin(), markers.end(), [](const test::Marker& marker) {
            return marker.code == 0xEE && marker.payload.startsWith("Adobe");
        });
    };
    ASSERT_EQ(adobeBlocks(withBlock), 1);
    ASSERT_EQ(adobeBlocks(withoutBlock), 0);
    for (const QByteArray& input : {withBlock, withoutBlock}) {
        const RepackResult repacked = repackJpeg(input, {});
        ASSERT_EQ(repacked.status, RepackStatus::Ok) << repacked.message.toStdString();
        EXPECT_EQ(adobeBlocks(repacked.bytes), adobeBlocks(input));
    }
}

TEST(RepackTest, LeavesOutTheIndexOfPreviewsItDoesNotCarry) {
    // An MPF index points at previews after the picture's end, which are not carried:
    // kept, it would point past the end of the new file. Other APP2 blocks stay.
    const QByteArray jpeg = test::encodeKind(photo(64, 48, 5), test::jpegKinds().front());
    const test::Marker mpf{0xE2, QByteArray("MPF\0MM\0\x2A\0\0\0\x08", 12)};
    const test::Marker flashPix{0xE2, QByteArray("FPXR\0\x01", 6)};
    const RepackResult repacked = repackJpeg(test::withMarkers(jpeg, {mpf, flashPix}), {});
    ASSERT_EQ(repacked.status, RepackStatus::Ok) << repacked.message.toStdString();
    const std::vector<test::Marker> markers = test::markersOf(repacked.bytes);
    EXPECT_EQ(std::count(markers.begin(), markers.end(), mpf), 0);
    EXPECT_EQ(std::count(markers.begin(), markers.end(), flashPix), 1);
}

TEST(RepackTest, ReadsOrientationFromBothByteOrders) {
    EXPECT_EQ(exifOrientation(minimalExif(8)), 8);
    QByteArray bigEndian(
        "Exif\0\0MM\0\x2a\0\0\0\x08\0\x01\x01\x12\0\x03\0\0\0\x01\0\x03\0\0\0\0\0\0", 32);
    EXPECT_EQ(exifOrientation(bigEndian), 3);
    EXPECT_EQ(exifOrientation(bigEndian.left(20)), 1);  // cut inside the entry
    EXPECT_EQ(exifOrientation(QByteArray("Exif\0\0XX", 8)), 1);
    // Two values where one is usual: the reader turns the pixels by the first, so the
    // stored coefficients (--target-ssim) and --strip's kept tag must read it too.
    QByteArray twoValues(
        "Exif\0\0II\x2a\0\x08\0\0\0\x01\0\x12\x01\x03\0\x02\0\0\0\x06\0\x06\0\0\0\0\0", 32);
    EXPECT_EQ(exifOrientation(twoValues), 6);
}

// ---- SSIM ----------------------------------------------------------------------

LumaPlane planeOf(const QImage& image) {
    const QImage rgb = image.convertToFormat(QImage::Format_RGB888);
    return lumaFromRgb(rgb.constBits(), rgb.width(), rgb.height(), rgb.bytesPerLine());
}

QImage withNoise(const QImage& image, int amplitude, unsigned seed) {
    QImage noisy = image.convertToFormat(QImage::Format_RGB888);
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> noise(-amplitude, amplitude);
    for (int y = 0; y < noisy.height(); ++y) {
        uchar* row = noisy.scanLine(y);
        for (int x = 0; x < noisy.width() * 3; ++x) {
            row[x] = static_cast<uchar>(std::clamp(row[x] + noise(random), 0, 255));
        }
    }
    return noisy;
}

TEST(SsimTest, AgreesWithTheDirectDefinition) {
    // A bright, nearly flat picture too: its variances are small differences of sums
    // near 62,500, which in float read the SSIM up to 6.5e-5 off, enough to call a
    // target met that was not.
    QImage bright(64, 48, QImage::Format_RGB888);
    bright.fill(QColor(250, 250, 250));
    for (const QImage& base : {photo(48, 37, 7), withNoise(bright, 2, 5)}) {
        for (int amplitude : {0, 1, 3, 12, 40}) {
            const QImage other = withNoise(base, amplitude, 11u + amplitude);
            const std::optional<double> fast = meanSsim(planeOf(base), planeOf(other));
            ASSERT_TRUE(fast);
            EXPECT_NEAR(*fast, test::directSsim(base, other), 2e-6) << amplitude;
        }
    }
}

// Sizes for one, two, three and all five scales (a scale must hold the 11 x 11 window).
TEST(SsimTest, MultiScaleAgreesWithTheDirectDefinition) {
    struct Case {
        int width;
        int height;
        int scales;
    };
    for (const Case& size :
         {Case{15, 13, 1}, Case{30, 23, 2}, Case{47, 64, 3}, Case{180, 177, 5}}) {
        const QImage original = photo(size.width, size.height, 5);
        for (int amplitude : {0, 6, 30}) {
            const QImage other = withNoise(original, amplitude, 7u + amplitude);
            const std::optional<double> fast = multiScaleSsim(planeOf(original), planeOf(other));
            ASSERT_TRUE(fast);
            EXPECT_NEAR(*fast, test::directMultiScaleSsim(original, other, size.scales), 2e-6)
                << size.width << "x" << size.height << " noise " << amplitude;
        }
    }
    EXPECT_FALSE(multiScaleSsim(planeOf(photo(40, 30)), planeOf(photo(30, 40))));
}

TEST(SsimTest, FallsWithDamageAndIsOneForTheSamePicture) {
    const QImage original = photo(120, 80, 9);
    EXPECT_NEAR(*meanSsim(planeOf(original), planeOf(original)), 1.0, 1e-9);
    double previous = 1.0;
    for (int amplitude : {2, 8, 24, 64}) {
        const double ssim =
            *meanSsim(planeOf(original), planeOf(withNoise(original, amplitude, 3)));
        EXPECT_LT(ssim, previous) << amplitude;
        previous = ssim;
    }
}

TEST(SsimTest, FlatPicturesFollowTheLuminanceTerm) {
    // Constant pictures: no contrast, so SSIM is (2xy + C1) / (x^2 + y^2 + C1).
    QImage dark(30, 20, QImage::Format_RGB888);
    QImage light(30, 20, QImage::Format_RGB888);
    dark.fill(QColor(100, 100, 100));
    light.fill(QColor(140, 140, 140));
    const double c1 = std::pow(0.01 * 255, 2);
    const double expected = (2 * 100.0 * 140.0 + c1) / (100.0 * 100.0 + 140.0 * 140.0 + c1);
    EXPECT_NEAR(*meanSsim(planeOf(dark), planeOf(light)), expected, 1e-4);
    // Smaller than the window: a window cut to the picture, same formula.
    EXPECT_NEAR(*meanSsim(planeOf(dark.copy(0, 0, 6, 5)), planeOf(light.copy(0, 0, 6, 5))),
                expected, 1e-4);
}

TEST(SsimTest, AStripThinnerThanTheWindowIsComparedLocally) {
    // As one window over the whole strip, a strip 10 pixels high scored noise that the
    // same strip 11 high scores far lower, and --target-ssim squeezed such strips to
    // quality 4. The window narrows to the strip instead: one row more changes little.
    const QImage original = photo(200, 200, 4);
    const QImage noisy = withNoise(original, 40, 5);
    const auto ssimOf = [&](int width, int height) {
        return *meanSsim(planeOf(original.copy(0, 0, width, height)),
                         planeOf(noisy.copy(0, 0, width, height)));
    };
    for (const auto& [strip, reference] :
         {std::pair{QSize(200, 10), QSize(200, 11)}, std::pair{QSize(200, 9), QSize(200, 11)},
          std::pair{QSize(10, 200), QSize(11, 200)}, std::pair{QSize(6, 200), QSize(11, 200)}}) {
        const double whole = ssimOf(reference.width(), reference.height());
        EXPECT_LT(whole, 0.8);
        EXPECT_NEAR(ssimOf(strip.width(), strip.height()), whole, 0.1)
            << strip.width() << "x" << strip.height();
    }
    EXPECT_LT(ssimOf(1, 200), 0.8);  // one column: a 1 x 11 window
}

TEST(SsimTest, RefusesPlanesOfDifferentSizes) {
    EXPECT_EQ(meanSsim(planeOf(photo(40, 30)), planeOf(photo(41, 30))), std::nullopt);
    EXPECT_EQ(meanSsim(LumaPlane{}, LumaPlane{}), std::nullopt);
}

TEST(SsimTest, DecodesAJpegToTheSameLumaAsTheReferenceDecoder) {
    const QByteArray jpeg = test::encodeKind(photo(50, 40, 4), test::jpegKinds().front());
    QString error;
    const std::optional<LumaPlane> plane = decodeJpegLuma(jpeg, error);
    ASSERT_TRUE(plane) << error.toStdString();
    const auto pixels = test::decodeWithLibjpeg(jpeg);
    ASSERT_TRUE(pixels);
    const QImage image(reinterpret_cast<const uchar*>(pixels->samples.constData()), pixels->width,
                       pixels->height, pixels->width * 3, QImage::Format_RGB888);
    EXPECT_NEAR(*meanSsim(*plane, planeOf(image)), 1.0, 1e-9);
    EXPECT_FALSE(decodeJpegLuma(jpeg.left(jpeg.size() / 2), error));
    EXPECT_FALSE(error.isEmpty());
}

// The search's measure: a JPEG decoded a row at a time against RGB rows with padding
// (odd widths), at sizes for no window, two, three and five scales, beside the direct
// definition on the decoded pixels.
TEST(SsimTest, StreamedFromTheDecoderAgreesWithTheDirectDefinition) {
    struct Case {
        int width;
        int height;
        int scales;
    };
    for (const Case& size : {Case{6, 5, 0}, Case{30, 23, 2}, Case{47, 64, 3}, Case{181, 177, 5}}) {
        const QImage original =
            photo(size.width, size.height, 8).convertToFormat(QImage::Format_RGB888);
        const RgbPicture reference{original.constBits(), original.width(), original.height(),
                                   original.bytesPerLine()};
        for (const test::JpegKind& kind : {test::jpegKinds()[0], test::jpegKinds()[1]}) {
            const QByteArray jpeg = test::encodeKind(original, kind);
            const auto pixels = test::decodeWithLibjpeg(jpeg);
            ASSERT_TRUE(pixels);
            const QImage decoded(reinterpret_cast<const uchar*>(pixels->samples.constData()),
                                 pixels->width, pixels->height, pixels->width * 3,
                                 QImage::Format_RGB888);
            QString error;
            const std::optional<double> single = jpegSsim(reference, jpeg, false, error);
            const std::optional<double> multi = jpegSsim(reference, jpeg, true, error);
            ASSERT_TRUE(single && multi) << error.toStdString();
            // The same values as from whole planes (a picture smaller than the window
            // has no direct definition to compare with).
            EXPECT_DOUBLE_EQ(*single, *meanSsim(planeOf(original), planeOf(decoded)));
            EXPECT_DOUBLE_EQ(*multi, *multiScaleSsim(planeOf(original), planeOf(decoded)));
            if (size.scales > 0) {
                EXPECT_NEAR(*single, test::directSsim(original, decoded), 1e-4) << size.width;
                EXPECT_NEAR(*multi, test::directMultiScaleSsim(original, decoded, size.scales),
                            1e-4)
                    << size.width;
            }
        }
    }
}

TEST(SsimTest, StreamedRefusesDamagedOrMismatchedResults) {
    const QImage original = photo(40, 30, 2).convertToFormat(QImage::Format_RGB888);
    const QByteArray jpeg = test::encodeKind(original, test::jpegKinds().front());
    const RgbPicture reference{original.constBits(), original.width(), original.height(),
                               original.bytesPerLine()};
    const RgbPicture narrower{original.constBits(), original.width() - 1, original.height(),
                              original.bytesPerLine()};
    struct Case {
        const char* name;
        RgbPicture picture;
        QByteArray bytes;
    };
    for (const Case& bad : {Case{"cut in half", reference, jpeg.left(jpeg.size() / 2)},
                            Case{"not a JPEG", reference, QByteArray(200, 'x')},
                            Case{"other size", narrower, jpeg}}) {
        QString error;
        EXPECT_EQ(jpegSsim(bad.picture, bad.bytes, false, error), std::nullopt) << bad.name;
        EXPECT_FALSE(error.isEmpty()) << bad.name;
    }
}

// The parameter is the lowest quality that reaches the target (101: none does).
class SsimSearchTest : public testing::TestWithParam<int> {};

TEST_P(SsimSearchTest, FindsTheLowestQualityWithinTheBudget) {
    const int lowestReaching = GetParam();
    std::vector<int> tried;
    const SsimSearch search = findLowestQuality([&](int quality) {
        tried.push_back(quality);
        return quality >= lowestReaching ? SsimTrial::Reaches : SsimTrial::Misses;
    });
    EXPECT_EQ(search.best, lowestReaching > 100 ? 0 : lowestReaching);
    EXPECT_FALSE(search.failed);
    EXPECT_LE(search.encodes, 8);
    EXPECT_EQ(search.encodes, static_cast<int>(tried.size()));
    if (lowestReaching > 100) {
        // "not reached" must rest on a trial of quality 100.
        EXPECT_NE(std::find(tried.begin(), tried.end(), 100), tried.end());
    } else {
        EXPECT_NE(std::find(tried.begin(), tried.end(), lowestReaching), tried.end());
    }
}

INSTANTIATE_TEST_SUITE_P(EveryBoundary, SsimSearchTest, testing::Range(1, 102));

TEST(SsimSearchTest, StopsAtAFailedTrial) {
    int trials = 0;
    const SsimSearch search = findLowestQuality([&](int) {
        ++trials;
        return SsimTrial::Failed;
    });
    EXPECT_TRUE(search.failed);
    EXPECT_EQ(trials, 1);
}

// ---- stream helpers --------------------------------------------------------------

TEST(StdioTest, TellsPicturesByTheirFirstBytes) {
    EXPECT_EQ(pictureTypeOfContent(QByteArray("\xFF\xD8\xFF\xE0", 4)), PictureType::Jpeg);
    EXPECT_EQ(pictureTypeOfContent(QByteArray("BM\x36\0", 4)), PictureType::Bitmap);
    EXPECT_EQ(pictureTypeOfContent(QByteArray("\xFF\xD8", 2)), PictureType::Invalid);
    EXPECT_EQ(pictureTypeOfContent(QByteArray("GIF89a")), PictureType::Invalid);
    EXPECT_EQ(pictureTypeOfContent(QByteArray()), PictureType::Invalid);
}

TEST(StdioTest, TheLimitCountsWhatWasReadBefore) {
    // A picture on stdin has its first bytes read to tell its kind; the limit is on the
    // whole, not on the rest.
    for (const auto& [sent, ok] : {std::pair{7, true}, {8, false}}) {
        int ends[2] = {};
        ASSERT_EQ(::pipe(ends), 0);
        ASSERT_EQ(::write(ends[1], "abcdefgh", static_cast<std::size_t>(sent)), sent);
        ::close(ends[1]);
        QString error;
        const std::optional<QByteArray> read = readAllFrom(ends[0], 10, error, "123");
        ::close(ends[0]);
        EXPECT_EQ(read.has_value(), ok) << sent;
        if (read) {
            EXPECT_EQ(*read, QByteArray("123abcdefgh").left(3 + sent));
        }
        if (!ok) {
            EXPECT_EQ(error, QStringLiteral("it holds more than 10 bytes"));
        }
    }
}

}  // namespace
}  // namespace vellora::cli
