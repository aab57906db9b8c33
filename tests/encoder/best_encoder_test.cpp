// Tests of the tuned encoder (encodeBest): standard output every decoder reads, quality
// that behaves monotonically (the desktop slider and the command line's size search rely
// on it), determinism, odd and tiny sizes, grey pictures and metadata.
#include <gtest/gtest.h>

#include <array>

#include <QImage>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "imaging/encoder/encoder_settings.h"
#include "imaging/jpeg_encoder.h"
#include "imaging/libjpeg_bridge.h"
#include "support/test_support.h"

namespace vellora::imaging {
namespace {

// A picture owned by the test, viewed as a PixelView.
struct TestPicture {
    int width = 0;
    int height = 0;
    int channels = 3;
    std::ptrdiff_t stride = 0;
    std::vector<std::uint8_t> pixels;

    [[nodiscard]] PixelView view() const {
        return PixelView{pixels.data(), width, height, stride, channels};
    }
    [[nodiscard]] std::uint8_t at(int x, int y, int c) const {
        return pixels[static_cast<std::size_t>(y * stride + x * channels + c)];
    }
};

// Smooth colour gradients with a soft diagonal pattern: enough structure to need AC
// coefficients, smooth enough that the decoded error is small.
TestPicture synthetic(int width, int height, int channels, int padding = 0) {
    TestPicture picture{width, height, channels, width * channels + padding, {}};
    picture.pixels.assign(static_cast<std::size_t>(picture.stride) * height, 0xA5);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const double wave = 40.0 * std::sin((x + 2 * y) * 0.15);
            for (int c = 0; c < channels; ++c) {
                // Channels apart by a few levels even at (0, 0): colour, never grey.
                const double base = 60.0 + 7.0 * c +
                                    100.0 *
                                        (c == 0   ? x
                                         : c == 1 ? y
                                                  : x + y) /
                                        std::max(1, width + height);
                picture.pixels[static_cast<std::size_t>(y * picture.stride + x * channels + c)] =
                    static_cast<std::uint8_t>(std::clamp(base + wave, 0.0, 255.0));
            }
        }
    }
    return picture;
}

TestPicture kodak(const char* name, int cropWidth = 0, int cropHeight = 0) {
    QImage image(vellora::test::testData(QString("kodak/") + name));
    EXPECT_FALSE(image.isNull()) << name;
    image = image.convertToFormat(QImage::Format_RGB888);
    if (cropWidth > 0) {
        image = image.copy(0, 0, cropWidth, cropHeight);
    }
    TestPicture picture{image.width(), image.height(), 3, image.width() * 3, {}};
    for (int y = 0; y < image.height(); ++y) {
        const auto* line = image.constScanLine(y);
        picture.pixels.insert(picture.pixels.end(), line, line + image.width() * 3);
    }
    return picture;
}

struct Decoded {
    int width = 0;
    int height = 0;
    int channels = 0;    // of the decoded pixels
    int components = 0;  // in the file
    bool progressive = false;
    bool arithmetic = false;
    std::vector<std::uint8_t> pixels;
    std::vector<std::uint8_t> exif;
    std::vector<std::uint8_t> icc;
    std::string error;
};

// Decodes with libjpeg-turbo (the library's own defaults, as djpeg would); `rgb`: grey
// files come out as RGB too, for comparing with RGB pictures.
Decoded decodeWithLibjpeg(const std::vector<std::uint8_t>& bytes, bool rgb = false) {
    Decoded decoded;
    jpeg::Decompressor decompressor;
    jpeg_decompress_struct* info = decompressor.info();
    JOCTET* icc = nullptr;
    unsigned int iccLength = 0;
    bool ok = jpeg::runGuarded(decompressor.bridge(), [&] {
        jpeg_mem_src(info, bytes.data(), static_cast<unsigned long>(bytes.size()));
        jpeg_save_markers(info, JPEG_APP0 + 1, 0xFFFF);
        jpeg_save_markers(info, JPEG_APP0 + 2, 0xFFFF);
        jpeg_read_header(info, TRUE);
        jpeg_read_icc_profile(info, &icc, &iccLength);
        if (rgb) {
            info->out_color_space = JCS_RGB;
        }
        jpeg_start_decompress(info);
    });
    if (!ok) {
        decoded.error = decompressor.bridge().text();
        return decoded;
    }
    if (icc != nullptr) {
        decoded.icc.assign(icc, icc + iccLength);
        std::free(icc);
    }
    for (jpeg_saved_marker_ptr marker = info->marker_list; marker; marker = marker->next) {
        if (marker->marker == JPEG_APP0 + 1) {
            decoded.exif.assign(marker->data, marker->data + marker->data_length);
        }
    }
    decoded.width = static_cast<int>(info->output_width);
    decoded.height = static_cast<int>(info->output_height);
    decoded.channels = info->output_components;
    decoded.components = info->num_components;
    decoded.progressive = info->progressive_mode != 0;
    decoded.arithmetic = info->arith_code != 0;
    decoded.pixels.resize(static_cast<std::size_t>(decoded.width) * decoded.height *
                          decoded.channels);
    std::uint8_t* base = decoded.pixels.data();
    const int rowBytes = decoded.width * decoded.channels;
    ok = jpeg::runGuarded(decompressor.bridge(), [&] {
        while (info->output_scanline < info->output_height) {
            JSAMPROW row = base + static_cast<std::size_t>(info->output_scanline) * rowBytes;
            jpeg_read_scanlines(info, &row, 1);
        }
        jpeg_finish_decompress(info);
    });
    if (!ok) {
        decoded.error = decompressor.bridge().text();
    }
    return decoded;
}

// Peak signal-to-noise ratio of a decoded picture (same channel count) against the source.
double psnr(const TestPicture& source, const Decoded& decoded) {
    double sum = 0.0;
    for (int y = 0; y < source.height; ++y) {
        for (int x = 0; x < source.width; ++x) {
            for (int c = 0; c < source.channels; ++c) {
                const double d = double(source.at(x, y, c)) -
                                 decoded.pixels[static_cast<std::size_t>(
                                     (y * decoded.width + x) * decoded.channels + c)];
                sum += d * d;
            }
        }
    }
    const double mse = sum / (double(source.width) * source.height * source.channels);
    return mse <= 1e-12 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

EncodedJpeg encode(const TestPicture& picture, int quality, const JpegMetadata& metadata = {}) {
    return encodeBest(picture.view(), quality, metadata);
}

TEST(BestEncoder, FileSizeNeverShrinksAsQualityRises) {
    // Every step of the slider and of the command line's search for a target size.
    const TestPicture picture = kodak("kodim23.png", 200, 136);
    std::size_t previous = 0;
    for (int quality = 1; quality <= 100; ++quality) {
        const EncodedJpeg encoded = encode(picture, quality);
        ASSERT_TRUE(encoded.ok()) << encoded.error;
        EXPECT_GE(encoded.bytes.size(), previous) << "quality " << quality;
        previous = encoded.bytes.size();
    }
}

TEST(BestEncoder, HardEdgesOfSaturatedColoursEncodeAtEveryQuality) {
    // Opposite colours meeting on a macroblock edge: the sharpened half-size colour
    // overshoots the sample range, and at the finest colour steps two neighbouring
    // blocks' DC values lay further apart than a JPEG can code ("DCT coefficient out
    // of range" from 97 to 99).
    const std::array<std::uint8_t, 3> pairs[][2] = {
        {{0, 0, 255}, {255, 255, 0}}, {{255, 0, 0}, {0, 255, 255}}, {{0, 255, 0}, {255, 0, 255}}};
    for (const auto& pair : pairs) {
        TestPicture picture{32, 16, 3, 32 * 3, {}};
        for (int y = 0; y < 16; ++y) {
            for (int x = 0; x < 32; ++x) {
                const auto& colour = pair[x < 16 ? 0 : 1];
                picture.pixels.insert(picture.pixels.end(), colour.begin(), colour.end());
            }
        }
        for (int quality = 90; quality <= 100; ++quality) {
            const EncodedJpeg encoded = encode(picture, quality);
            ASSERT_TRUE(encoded.ok())
                << int(pair[0][0]) << "," << int(pair[0][1]) << "," << int(pair[0][2]) << " at "
                << quality << ": " << encoded.error;
            const Decoded decoded = decodeWithLibjpeg(encoded.bytes);
            EXPECT_TRUE(decoded.error.empty()) << decoded.error;
            // Half-size colour smears a hard colour edge: cjpeg -sample 2x2 gives 23.7 dB.
            EXPECT_GT(psnr(picture, decoded), 22.0) << quality;
        }
    }
}

TEST(BestEncoder, ASaturatedSquareOnTheBlockGridKeepsItsColour) {
    // A 16x16 square on the macroblock grid is one colour block with an edge on each
    // side: the sharpened colour overshot on all four, lifted the block's DC past
    // +-1023 at the finest DC step (quality 97 on), and the clamp shifted the whole
    // block: blue 255 came back as 226, flat inside included.
    const std::array<std::uint8_t, 3> pairs[][2] = {
        {{0, 0, 255}, {255, 255, 0}}, {{255, 0, 0}, {0, 255, 255}}, {{0, 255, 0}, {255, 0, 255}}};
    for (const auto& [square, around] : pairs) {
        TestPicture picture{48, 48, 3, 48 * 3, {}};
        for (int y = 0; y < 48; ++y) {
            for (int x = 0; x < 48; ++x) {
                const bool inside = x >= 16 && x < 32 && y >= 16 && y < 32;
                const auto& colour = inside ? square : around;
                picture.pixels.insert(picture.pixels.end(), colour.begin(), colour.end());
            }
        }
        for (int quality = 90; quality <= 99; ++quality) {
            const Decoded decoded = decodeWithLibjpeg(encode(picture, quality).bytes);
            ASSERT_TRUE(decoded.error.empty()) << decoded.error;
            int worst = 0;  // inside the square, clear of the edge's half-size blur
            for (int y = 20; y < 28; ++y) {
                for (int x = 20; x < 28; ++x) {
                    for (int c = 0; c < 3; ++c) {
                        const std::size_t at = static_cast<std::size_t>((y * 48 + x) * 3 + c);
                        worst = std::max(worst, std::abs(int(decoded.pixels[at]) - int(square[c])));
                    }
                }
            }
            EXPECT_LE(worst, 6) << int(square[0]) << "," << int(square[1]) << "," << int(square[2])
                                << " at " << quality;
        }
    }
}

TEST(BestEncoder, LadderGivesBiggerFilesAndSmallerErrors) {
    const TestPicture picture = kodak("kodim03.png");
    std::size_t previousSize = 0;
    double previousPsnr = 0.0;
    for (const int quality : {1, 10, 25, 40, 55, 70, 80, 90, 95, 100}) {
        const EncodedJpeg encoded = encode(picture, quality);
        ASSERT_TRUE(encoded.ok()) << encoded.error;
        const Decoded decoded = decodeWithLibjpeg(encoded.bytes);
        ASSERT_TRUE(decoded.error.empty()) << decoded.error;
        const double quality_psnr = psnr(picture, decoded);
        EXPECT_GT(encoded.bytes.size(), previousSize) << "quality " << quality;
        EXPECT_GT(quality_psnr, previousPsnr) << "quality " << quality;
        previousSize = encoded.bytes.size();
        previousPsnr = quality_psnr;
    }
}

struct FidelityCase {
    int quality;
    double minimumPsnr;  // decoded against the source, dB
};

class BestEncoderFidelity : public testing::TestWithParam<FidelityCase> {};

TEST_P(BestEncoderFidelity, DecodesInLibjpegAndQtCloseToTheSource) {
    const TestPicture picture = kodak("kodim05.png");
    const EncodedJpeg encoded = encode(picture, GetParam().quality);
    ASSERT_TRUE(encoded.ok()) << encoded.error;

    const Decoded decoded = decodeWithLibjpeg(encoded.bytes);
    ASSERT_TRUE(decoded.error.empty()) << decoded.error;
    EXPECT_EQ(decoded.width, picture.width);
    EXPECT_EQ(decoded.height, picture.height);
    EXPECT_EQ(decoded.channels, 3);
    EXPECT_FALSE(decoded.arithmetic);
    EXPECT_GE(psnr(picture, decoded), GetParam().minimumPsnr);

    QImage qt =
        QImage::fromData(encoded.bytes.data(), static_cast<int>(encoded.bytes.size()), "JPEG");
    ASSERT_FALSE(qt.isNull());
    qt = qt.convertToFormat(QImage::Format_RGB888);
    ASSERT_EQ(qt.width(), picture.width);
    ASSERT_EQ(qt.height(), picture.height);
    Decoded fromQt;
    fromQt.width = qt.width();
    fromQt.height = qt.height();
    fromQt.channels = 3;
    for (int y = 0; y < qt.height(); ++y) {
        fromQt.pixels.insert(fromQt.pixels.end(), qt.constScanLine(y),
                             qt.constScanLine(y) + qt.width() * 3);
    }
    EXPECT_GE(psnr(picture, fromQt), GetParam().minimumPsnr);
}

INSTANTIATE_TEST_SUITE_P(Qualities, BestEncoderFidelity,
                         testing::Values(FidelityCase{1, 16.0}, FidelityCase{30, 24.0},
                                         FidelityCase{75, 28.0}, FidelityCase{90, 32.0},
                                         FidelityCase{100, 42.0}));

TEST(BestEncoder, SameInputGivesIdenticalBytes) {
    const TestPicture picture = kodak("kodim13.png", 320, 240);
    const EncodedJpeg first = encode(picture, 75);
    const EncodedJpeg second = encode(picture, 75);
    ASSERT_TRUE(first.ok());
    EXPECT_EQ(first.bytes, second.bytes);
}

TEST(BestEncoder, QualityOutsideTheRangeIsClamped) {
    const TestPicture picture = synthetic(40, 30, 3);
    EXPECT_EQ(encode(picture, 0).bytes, encode(picture, 1).bytes);
    EXPECT_EQ(encode(picture, -20).bytes, encode(picture, 1).bytes);
    EXPECT_EQ(encode(picture, 150).bytes, encode(picture, 100).bytes);
}

struct SizeCase {
    int width;
    int height;
    int channels;
    int quality;
};

class BestEncoderSizes : public testing::TestWithParam<SizeCase> {};

TEST_P(BestEncoderSizes, EncodesAndDecodesEveryShape) {
    const SizeCase& size = GetParam();
    const TestPicture picture = synthetic(size.width, size.height, size.channels);
    const EncodedJpeg encoded = encode(picture, size.quality);
    ASSERT_TRUE(encoded.ok()) << encoded.error;
    const Decoded decoded = decodeWithLibjpeg(encoded.bytes);
    ASSERT_TRUE(decoded.error.empty()) << decoded.error;
    EXPECT_EQ(decoded.width, size.width);
    EXPECT_EQ(decoded.height, size.height);
    EXPECT_EQ(decoded.channels, size.channels);
    const double minimum = size.quality >= 90 ? 30.0 : size.quality >= 40 ? 22.0 : 15.0;
    EXPECT_GE(psnr(picture, decoded), minimum);
}

INSTANTIATE_TEST_SUITE_P(Shapes, BestEncoderSizes,
                         testing::Values(SizeCase{1, 1, 3, 75}, SizeCase{1, 1, 1, 75},
                                         SizeCase{7, 9, 3, 75}, SizeCase{7, 9, 1, 100},
                                         SizeCase{1, 57, 3, 75}, SizeCase{57, 1, 3, 75},
                                         SizeCase{1, 33, 1, 50}, SizeCase{33, 1, 1, 50},
                                         SizeCase{17, 15, 3, 95}, SizeCase{255, 129, 3, 40},
                                         SizeCase{129, 255, 1, 90}, SizeCase{16, 16, 3, 1},
                                         SizeCase{31, 17, 3, 100}));

TEST(BestEncoder, RowPaddingIsIgnored) {
    // Same pixels, rows padded with junk: the padding must never reach the file.
    const TestPicture tight = synthetic(45, 23, 3);
    const TestPicture padded = synthetic(45, 23, 3, 13);
    EXPECT_EQ(encode(tight, 80).bytes, encode(padded, 80).bytes);
}

TEST(BestEncoder, GreyPictureStaysGrey) {
    const TestPicture grey = synthetic(120, 90, 1);
    const EncodedJpeg encoded = encode(grey, 85);
    ASSERT_TRUE(encoded.ok()) << encoded.error;
    const Decoded decoded = decodeWithLibjpeg(encoded.bytes);
    ASSERT_TRUE(decoded.error.empty()) << decoded.error;
    EXPECT_EQ(decoded.channels, 1);
    EXPECT_GE(psnr(grey, decoded), 35.0);
}

TEST(BestEncoder, MetadataIsWrittenBack) {
    JpegMetadata metadata;
    const std::string exifText = std::string("Exif\0\0", 6) + "MM\0*\0\0\0\x08 some tiff";
    metadata.exif.assign(exifText.begin(), exifText.end());
    for (int i = 0; i < 70000; ++i) {  // a profile spanning two APP2 markers
        metadata.icc.push_back(static_cast<std::uint8_t>(i * 7));
    }
    const TestPicture picture = synthetic(64, 48, 3);
    const EncodedJpeg encoded = encode(picture, 75, metadata);
    ASSERT_TRUE(encoded.ok()) << encoded.error;
    const Decoded decoded = decodeWithLibjpeg(encoded.bytes);
    ASSERT_TRUE(decoded.error.empty()) << decoded.error;
    EXPECT_EQ(decoded.exif, metadata.exif);
    EXPECT_EQ(decoded.icc, metadata.icc);

    const Decoded without = decodeWithLibjpeg(encode(picture, 75).bytes);
    EXPECT_TRUE(without.exif.empty());
    EXPECT_TRUE(without.icc.empty());
}

TEST(BestEncoder, RejectsInvalidPictures) {
    const TestPicture picture = synthetic(8, 8, 3);
    struct Bad {
        const char* what;
        PixelView view;
    };
    const Bad cases[] = {
        {"no pixels", {nullptr, 8, 8, 24, 3}},
        {"zero width", {picture.pixels.data(), 0, 8, 24, 3}},
        {"negative height", {picture.pixels.data(), 8, -1, 24, 3}},
        {"two channels", {picture.pixels.data(), 8, 8, 24, 2}},
        {"stride too small", {picture.pixels.data(), 8, 8, 20, 3}},
        {"too wide for JPEG", {picture.pixels.data(), 70000, 1, 210000, 3}},
    };
    for (const Bad& bad : cases) {
        const EncodedJpeg encoded = encodeBest(bad.view, 75, {});
        EXPECT_FALSE(encoded.ok()) << bad.what;
        EXPECT_FALSE(encoded.error.empty()) << bad.what;
        EXPECT_TRUE(encoded.bytes.empty()) << bad.what;
    }
}

TEST(BestEncoder, BeatsTheStandardEncoderOnSize) {
    // Not a benchmark (bench/encoder measures quality at equal size); a guard that the
    // tuned path is really in use and not silently the plain one.
    const TestPicture picture = kodak("kodim23.png");
    const auto best = encodeBest(picture.view(), 75, {});
    const auto standard = encodeStandard(picture.view(), 75, {});
    ASSERT_TRUE(best.ok() && standard.ok());
    EXPECT_LT(best.bytes.size(), standard.bytes.size());
}

// Dark strokes on a white page, like text: every stroke meets clipped white.
TestPicture strokesOnWhite(int size) {
    TestPicture picture{size, size, 3, size * 3, {}};
    picture.pixels.assign(static_cast<std::size_t>(picture.stride) * size, 255);
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            const bool stroke = (y % 23 > 4 && y % 23 < 19 && (x % 11 == 3 || x % 11 == 4)) ||
                                (y % 23 == 11 && x % 11 < 8);
            if (stroke) {
                for (int c = 0; c < 3; ++c) {
                    picture.pixels[static_cast<std::size_t>(y * picture.stride + x * 3 + c)] = 40;
                }
            }
        }
    }
    return picture;
}

TEST(BestEncoder, DeringingKeepsWhitePagesWhite) {
    const TestPicture picture = strokesOnWhite(256);
    for (const int quality : {40, 75, 90}) {
        encoder::Settings settings = encoder::settingsFor(quality);
        ASSERT_GT(settings.deringLimit, 0.0f);
        const EncodedJpeg deringed = encoder::encodeWithSettings(picture.view(), settings, {});
        settings.deringLimit = 0.0f;
        const EncodedJpeg plain = encoder::encodeWithSettings(picture.view(), settings, {});
        ASSERT_TRUE(deringed.ok() && plain.ok());
        const Decoded withDeringing = decodeWithLibjpeg(deringed.bytes, true);
        const Decoded without = decodeWithLibjpeg(plain.bytes, true);
        ASSERT_TRUE(withDeringing.error.empty() && without.error.empty());
        // Squared error on the white page and on the strokes, separately.
        const auto errors = [&](const Decoded& decoded) {
            std::pair<double, double> sums{0, 0};
            for (std::size_t i = 0; i < picture.pixels.size(); ++i) {
                const double d = double(picture.pixels[i]) - decoded.pixels[i];
                (picture.pixels[i] == 255 ? sums.first : sums.second) += d * d;
            }
            return sums;
        };
        const auto [pageWith, strokesWith] = errors(withDeringing);
        const auto [pageWithout, strokesWithout] = errors(without);
        // A third of the page's error at most, and less error overall, for at most 5 %
        // more bytes (measured: 4 to 50 times less on the page, 1 to 4 % more bytes).
        EXPECT_LT(pageWith, pageWithout / 3) << "quality " << quality;
        EXPECT_LT(pageWith + strokesWith, 0.8 * (pageWithout + strokesWithout))
            << "quality " << quality;
        EXPECT_LT(deringed.bytes.size(), plain.bytes.size() * 105 / 100) << "quality " << quality;
    }
}

// A profile header naming its colour space (bytes 16..19), enough for the encoder's
// decision; the rest of a real profile does not matter to it.
std::vector<std::uint8_t> profileFor(const char* space) {
    std::vector<std::uint8_t> profile(128, 0);
    std::copy_n(space, 4, profile.begin() + 16);
    return profile;
}

TEST(BestEncoder, GreyPicturesAreWrittenAsOneComponent) {
    const TestPicture grey = synthetic(61, 37, 1);
    TestPicture rgb{grey.width, grey.height, 3, grey.width * 3, {}};
    for (const std::uint8_t level : grey.pixels) {
        rgb.pixels.insert(rgb.pixels.end(), 3, level);
    }
    TestPicture oneColoured = rgb;
    oneColoured.pixels.back() ^= 1;  // the very last pixel: the scan must reach it
    struct Case {
        const char* what;
        const TestPicture* picture;
        std::vector<std::uint8_t> icc;
        int components;
    };
    const Case cases[] = {
        {"grey pixels", &rgb, {}, 1},
        {"grey pixels and a grey profile", &rgb, profileFor("GRAY"), 1},
        {"grey pixels and an RGB profile", &rgb, profileFor("RGB "), 3},
        {"a cut profile", &rgb, std::vector<std::uint8_t>(10, 0), 3},
        {"one coloured pixel", &oneColoured, {}, 3},
    };
    const EncodedJpeg fromGrey = encode(grey, 75);
    for (const Case& c : cases) {
        JpegMetadata metadata;
        metadata.icc = c.icc;
        const EncodedJpeg encoded =
            encoder::encodeWithSettings(c.picture->view(), encoder::settingsFor(75), metadata);
        const Decoded decoded = decodeWithLibjpeg(encoded.bytes);
        ASSERT_TRUE(decoded.error.empty()) << c.what << ": " << decoded.error;
        EXPECT_EQ(decoded.channels, c.components) << c.what;
        EXPECT_EQ(decoded.icc, c.icc) << c.what;
        if (c.components == 1 && c.icc.empty()) {
            // Exactly the file the same levels make as a one-channel picture.
            EXPECT_EQ(encoded.bytes, fromGrey.bytes) << c.what;
        }
    }
}

// The stock encoder writes colour for RGB, grey pixels too, except where a grey profile
// comes along: it must match the file.
TEST(StandardEncoder, AGreyProfileMakesAGreyFile) {
    const TestPicture grey = synthetic(61, 37, 1);
    TestPicture rgb{grey.width, grey.height, 3, grey.width * 3, {}};
    for (const std::uint8_t level : grey.pixels) {
        rgb.pixels.insert(rgb.pixels.end(), 3, level);
    }
    const struct {
        const char* what;
        std::vector<std::uint8_t> icc;
        int components;
    } cases[] = {
        {"no profile", {}, 3},
        {"an RGB profile", profileFor("RGB "), 3},
        {"a grey profile", profileFor("GRAY"), 1},
    };
    for (const auto& c : cases) {
        JpegMetadata metadata;
        metadata.icc = c.icc;
        const Decoded decoded =
            decodeWithLibjpeg(imaging::encodeStandard(rgb.view(), 75, metadata).bytes, true);
        ASSERT_TRUE(decoded.error.empty()) << c.what << ": " << decoded.error;
        EXPECT_EQ(decoded.components, c.components) << c.what;
        EXPECT_EQ(decoded.icc, c.icc) << c.what;
        EXPECT_GE(psnr(rgb, decoded), 30.0) << c.what;
    }
}

TEST(BestEncoder, ParallelBandsGiveTheSameBytesAsOneThread) {
    // Large enough for the automatic split; every band count must agree byte for byte
    // (a band that read or wrote a neighbour's rows would show here).
    const TestPicture picture = kodak("kodim21.png");
    for (const int quality : {30, 75, 100}) {
        encoder::Settings settings = encoder::settingsFor(quality);
        settings.threads = 1;
        const EncodedJpeg single = encoder::encodeWithSettings(picture.view(), settings, {});
        ASSERT_TRUE(single.ok()) << single.error;
        for (const int threads : {0, 2, 3, 7}) {
            settings.threads = threads;
            EXPECT_EQ(encoder::encodeWithSettings(picture.view(), settings, {}).bytes, single.bytes)
                << "quality " << quality << ", " << threads << " threads";
        }
    }
}

TEST(BestEncoder, SharedEntropyCodingGivesTheSameBytesAsOneCompressor) {
    // With two threads two compressors code the scans and their outputs are joined; one
    // thread codes them all in one. The files must agree byte for byte, metadata (which
    // only the first compressor writes) and the last byte of every scan included.
    JpegMetadata metadata;
    const std::string exifText = std::string("Exif\0\0", 6) + "MM\0*\0\0\0\x08 some tiff";
    metadata.exif.assign(exifText.begin(), exifText.end());
    metadata.icc.assign(3000, 0x5A);
    metadata.markers.push_back({0xFE, {'h', 'i'}});
    const TestPicture colour = kodak("kodim05.png");
    const TestPicture odd = kodak("kodim13.png", 757, 509);
    const TestPicture grey = synthetic(701, 523, 1, 3);
    const struct {
        const char* what;
        const TestPicture* picture;
        int quality;
        bool withMetadata;
    } cases[] = {
        {"colour 4:2:0", &colour, 41, false},
        {"colour, metadata", &colour, 75, true},
        {"colour 4:4:4", &colour, 100, true},
        {"odd size", &odd, 30, true},
        {"grey", &grey, 60, false},
        {"grey, metadata", &grey, 95, true},
        {"grey, lowest quality", &grey, 1, true},
    };
    for (const auto& c : cases) {
        encoder::Settings settings = encoder::settingsFor(c.quality);
        const JpegMetadata& carried = c.withMetadata ? metadata : JpegMetadata{};
        settings.threads = 1;
        const EncodedJpeg single =
            encoder::encodeWithSettings(c.picture->view(), settings, carried);
        ASSERT_TRUE(single.ok()) << c.what << ": " << single.error;
        settings.threads = 2;
        const EncodedJpeg shared =
            encoder::encodeWithSettings(c.picture->view(), settings, carried);
        ASSERT_TRUE(shared.ok()) << c.what << ": " << shared.error;
        EXPECT_EQ(shared.bytes, single.bytes) << c.what;
    }
}

TEST(BestEncoder, CalibratedQualityRisesStrictlyFromOneToHundred) {
    // The slider and the command line's size search need a strictly rising scale, and
    // the ends keep their meaning: 1 the smallest file, 100 the finest steps.
    EXPECT_FLOAT_EQ(encoder::calibratedTableQuality(1), 1.0f);
    EXPECT_FLOAT_EQ(encoder::calibratedTableQuality(100), 100.0f);
    for (int quality = 1; quality < 100; ++quality) {
        EXPECT_LT(encoder::calibratedTableQuality(quality),
                  encoder::calibratedTableQuality(quality + 1))
            << "quality " << quality;
    }
}

}  // namespace
}  // namespace vellora::imaging
