// Cropping and saving through the image library's entries: round trips, clipping,
// the checks on a caller's pointer and numbers, and saves that fail without leaving
// anything behind.

#include <gtest/gtest.h>
#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <atomic>
#include <climits>
#include <cstring>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

#include "imaging/imgdll_api.h"
#include "imaging/picture_loader.h"
#include "imaging/rgb_buffer.h"
#include "imaging_test_support.h"
#include "support/jpeg_fixtures.h"
#include "support/test_support.h"

namespace vellora::test {
namespace {

QByteArray local(const QString& path) {
    return QFile::encodeName(path);
}

// A library buffer made from a picture: written as a lossless BMP and read back.
GlobalBlock bufferOf(const Picture& picture, const QTemporaryDir& dir) {
    const QString path = dir.filePath(QStringLiteral("source.bmp"));
    if (!toQImage(picture).save(path, "BMP")) {
        throw std::runtime_error("cannot write the test BMP");
    }
    return readBmp(path);
}

// ---------------------------------------------------------------------------
// Round trips: read, crop, save, read back

struct RoundTripCase {
    const char* source;  // BMP (written from a Kodak photo) or a JPEG under bad/
    int left, top, right, bottom;
    int quality;
    int flag;
};

class RoundTrip : public testing::TestWithParam<RoundTripCase> {};

TEST_P(RoundTrip, SavedCutOutMatchesTheSource) {
    const RoundTripCase& item = GetParam();
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const bool bmp = std::strcmp(item.source, "kodak.bmp") == 0;
    int width = 0, height = 0;
    Picture truth;
    GlobalBlock source;
    if (bmp) {
        truth = kodakPicture(300, 200);
        source = bufferOf(truth, dir);
        width = 300, height = 200;
    } else {
        const QString path = testData(QStringLiteral("bad/") + QLatin1String(item.source));
        source = readJpg(path, &width, &height);
        // What Qt's own JPEG reader makes of the file: an independent decoder.
        truth = pictureOf(QImage(path));
    }
    ASSERT_TRUE(source) << lastError();
    ASSERT_EQ(width, truth.width);
    ASSERT_EQ(height, truth.height);
    if (bmp) {
        EXPECT_EQ(maxAbsDiff(pictureOf(source), truth), 0) << "a BMP reads back exactly";
    } else {
        EXPECT_LT(meanAbsDiff(pictureOf(source), truth), 1.5);
    }

    void* pixels = source.lock();
    GlobalBlock cutOut(
        ImgDLLCropRGB(pixels, width, height, item.left, item.top, item.right, item.bottom));
    ASSERT_TRUE(cutOut) << lastError();
    const int cutWidth = item.right - item.left;
    const int cutHeight = item.bottom - item.top;
    const QString saved = dir.filePath(QStringLiteral("out.jpg"));
    ASSERT_EQ(ImgDLLSaveRGBToJPG(local(saved).constData(), cutOut.lock(), cutWidth, cutHeight,
                                 item.quality, item.flag),
              1)
        << lastError();
    EXPECT_EQ(lastError(), "");

    int readWidth = 0, readHeight = 0;
    GlobalBlock back = readJpg(saved, &readWidth, &readHeight);
    ASSERT_TRUE(back) << lastError();
    EXPECT_EQ(readWidth, cutWidth);
    EXPECT_EQ(readHeight, cutHeight);
    const Picture expected = cut(truth, item.left, item.top, cutWidth, cutHeight);
    const Picture actual = pictureOf(back);
    // High qualities keep the picture close; low ones only its coarse form.
    const double tolerance = item.quality >= 90 ? 3.5 : item.quality >= 50 ? 6.0 : 12.0;
    EXPECT_LT(meanAbsDiff(actual, expected), tolerance);
    // Qt decodes our file too: it is a plain, valid JPEG.
    EXPECT_LT(meanAbsDiff(pictureOf(QImage(saved)), actual), 1.5);
}

INSTANTIATE_TEST_SUITE_P(
    Sources, RoundTrip,
    testing::Values(RoundTripCase{"kodak.bmp", 0, 0, 300, 200, 95, 1},  // full copy
                    RoundTripCase{"kodak.bmp", 8, 8, 33, 33, 90, 1},    // 25 x 25
                    RoundTripCase{"kodak.bmp", 100, 37, 299, 200, 60, 0},
                    RoundTripCase{"kodak.bmp", 1, 1, 2, 2, 100, 1},  // one pixel
                    RoundTripCase{"kodak.bmp", 10, 20, 210, 120, 20, 1},
                    RoundTripCase{"jpeg/ljt-testimages/testorig.jpg", 0, 0, 227, 149, 95, 1},
                    RoundTripCase{"jpeg/ljt-testimages/testorig.jpg", 50, 40, 130, 100, 90, 0},
                    RoundTripCase{"jpeg/exif-orientation/Landscape_1.jpg", 600, 300, 1400, 900, 85,
                                  1}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

// ---------------------------------------------------------------------------
// Clipping

struct ClipCase {
    const char* name;
    int left, top, right, bottom;
    int clippedLeft, clippedTop, clippedWidth, clippedHeight;  // width 0: must fail
};

class Clipping : public testing::TestWithParam<ClipCase> {};

TEST_P(Clipping, RectangleIsClippedToThePicture) {
    const ClipCase& item = GetParam();
    QTemporaryDir dir;
    const Picture truth = kodakPicture(64, 40);
    GlobalBlock source = bufferOf(truth, dir);
    ASSERT_TRUE(source);
    GlobalBlock cutOut(
        ImgDLLCropRGB(source.lock(), 64, 40, item.left, item.top, item.right, item.bottom));
    if (item.clippedWidth == 0) {
        EXPECT_FALSE(cutOut);
        EXPECT_NE(lastError().find("does not overlap"), std::string::npos) << lastError();
        return;
    }
    ASSERT_TRUE(cutOut) << lastError();
    const Picture actual = pictureOf(cutOut);
    ASSERT_EQ(actual.width, item.clippedWidth);
    ASSERT_EQ(actual.height, item.clippedHeight);
    EXPECT_EQ(maxAbsDiff(actual, cut(truth, item.clippedLeft, item.clippedTop, item.clippedWidth,
                                     item.clippedHeight)),
              0);

    // Save takes both the unclipped size the caller asked for and the real one, and
    // writes the pixels the cut-out holds either way.
    const QString saved = dir.filePath(QStringLiteral("cut.jpg"));
    std::vector<std::pair<int, int>> sizes{{item.clippedWidth, item.clippedHeight}};
    const std::int64_t askedWidth = std::int64_t{item.right} - item.left;
    const std::int64_t askedHeight = std::int64_t{item.bottom} - item.top;
    if (askedWidth <= INT_MAX && askedHeight <= INT_MAX) {
        sizes.emplace_back(static_cast<int>(askedWidth), static_cast<int>(askedHeight));
    }
    for (const auto& [w, h] : sizes) {
        ASSERT_EQ(ImgDLLSaveRGBToJPG(local(saved).constData(), cutOut.lock(), w, h, 90, 1), 1)
            << w << " x " << h << ": " << lastError();
        cutOut.unlock();
        int readWidth = 0, readHeight = 0;
        GlobalBlock back = readJpg(saved, &readWidth, &readHeight);
        EXPECT_EQ(readWidth, item.clippedWidth);
        EXPECT_EQ(readHeight, item.clippedHeight);
    }
}

INSTANTIATE_TEST_SUITE_P(Edges, Clipping,
                         testing::Values(ClipCase{"inside", 4, 5, 30, 25, 4, 5, 26, 20},
                                         ClipCase{"whole", 0, 0, 64, 40, 0, 0, 64, 40},
                                         ClipCase{"pastLeft", -10, 5, 20, 25, 0, 5, 20, 20},
                                         ClipCase{"pastTop", 4, -7, 30, 10, 4, 0, 26, 10},
                                         ClipCase{"pastRight", 50, 5, 90, 25, 50, 5, 14, 20},
                                         ClipCase{"pastBottom", 4, 30, 30, 55, 4, 30, 26, 10},
                                         ClipCase{"pastEverySide", -5, -5, 100, 100, 0, 0, 64, 40},
                                         ClipCase{"hugeNumbers", INT_MIN, INT_MIN, INT_MAX, INT_MAX,
                                                  0, 0, 64, 40},
                                         ClipCase{"lastPixel", 63, 39, 64, 40, 63, 39, 1, 1},
                                         ClipCase{"wholeLeft", -30, 0, 0, 40, 0, 0, 0, 0},
                                         ClipCase{"wholeRight", 64, 0, 90, 40, 0, 0, 0, 0},
                                         ClipCase{"wholeAbove", 0, -20, 64, -1, 0, 0, 0, 0},
                                         ClipCase{"wholeBelow", 0, 40, 64, 80, 0, 0, 0, 0},
                                         ClipCase{"zeroWidth", 10, 10, 10, 30, 0, 0, 0, 0},
                                         ClipCase{"zeroHeight", 10, 10, 30, 10, 0, 0, 0, 0},
                                         ClipCase{"reversed", 30, 30, 10, 10, 0, 0, 0, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

// A made-up ICC profile of `space` ("RGB " or "GRAY"): a header readers can sort by.
QByteArray profileOf(const char* space) {
    QByteArray profile(132, '\0');
    profile[3] = char(132);  // its size
    std::memcpy(profile.data() + 12, "mntr", 4);
    std::memcpy(profile.data() + 16, space, 4);
    std::memcpy(profile.data() + 20, "XYZ ", 4);
    std::memcpy(profile.data() + 36, "acsp", 4);
    return profile;
}

TEST(Save, AProfileGoesOnlyWithPixelsItDescribes) {
    // A black-and-white photo keeps its grey profile (its tones depend on it) and stays
    // one component; a grey profile in a colour file describes none of its pixels.
    struct Case {
        const char* what;
        QImage::Format format;
        const char* space;
        bool kept;
        int components;
    };
    const Case cases[] = {
        {"grey file, grey profile", QImage::Format_Grayscale8, "GRAY", true, 1},
        {"colour file, RGB profile", QImage::Format_RGB32, "RGB ", true, 3},
        {"colour file, grey profile", QImage::Format_RGB32, "GRAY", false, 3},
    };
    QTemporaryDir dir;
    for (const Case& c : cases) {
        QImage image(48, 32, c.format);
        for (int y = 0; y < 32; ++y) {
            for (int x = 0; x < 48; ++x) {
                image.setPixel(x, y,
                               c.format == QImage::Format_Grayscale8 ? qRgb(x * 5, x * 5, x * 5)
                                                                     : qRgb(x * 5, y * 7, 90));
            }
        }
        QByteArray plain;
        QBuffer buffer(&plain);
        ASSERT_TRUE(buffer.open(QIODevice::WriteOnly));
        ASSERT_TRUE(image.save(&buffer, "JPEG", 95));
        const QByteArray profile = profileOf(c.space);
        const QString source = dir.filePath(QStringLiteral("in.jpg"));
        writeFile(source,
                  withMarkers(plain, {{0xE2, QByteArray("ICC_PROFILE\0\1\1", 14) + profile}}));
        ASSERT_EQ(iccProfileOf(source), profile) << c.what;
        int width = 0, height = 0;
        GlobalBlock block = readJpg(source, &width, &height);
        ASSERT_TRUE(block) << c.what << ": " << lastError();
        for (const int flags : {0, 1}) {  // the stock encoder and ours
            const QString saved = dir.filePath(QStringLiteral("out.jpg"));
            ASSERT_EQ(ImgDLLSaveRGBToJPG(local(saved).constData(), block.lock(), width, height, 80,
                                         flags),
                      1)
                << lastError();
            EXPECT_EQ(iccProfileOf(saved), c.kept ? profile : QByteArray()) << c.what << flags;
            EXPECT_EQ(QImage(saved).format() == QImage::Format_Grayscale8, c.components == 1)
                << c.what << flags;
        }
    }
}

TEST(Save, ABitmapsEmbeddedProfileGoesWithItsPicture) {
    // A version 5 header may embed the profile its pixels are in; one it only names (a
    // linked file) is nothing to carry.
    const QString embedded = testData(QStringLiteral("bad/bmp/bmpsuite-q/rgb24prof.bmp"));
    const QString linked = testData(QStringLiteral("bad/bmp/bmpsuite-q/rgb24lprof.bmp"));
    const QByteArray bytes = fileBytes(embedded);
    ASSERT_GT(bytes.size(), 138);
    const auto u32 = [&](int at) {
        return static_cast<int>(static_cast<std::uint8_t>(bytes[at]) |
                                static_cast<std::uint8_t>(bytes[at + 1]) << 8 |
                                static_cast<std::uint8_t>(bytes[at + 2]) << 16 |
                                static_cast<std::uint8_t>(bytes[at + 3]) << 24);
    };
    const int profileAt = 14 + u32(14 + 112);
    const int profileSize = u32(14 + 116);
    const QByteArray profile = bytes.mid(profileAt, profileSize);
    ASSERT_EQ(profile.mid(16, 4), QByteArray("RGB "));
    ASSERT_EQ(profileAt + profileSize, bytes.size());  // the variants below rely on it
    // The same file with the header giving the profile other room.
    const auto withRoom = [&](int room, const QByteArray& tail) {
        QByteArray variant = bytes + tail;
        for (int i = 0; i < 4; ++i) {
            variant[14 + 116 + i] = static_cast<char>((room >> (8 * i)) & 0xFF);
        }
        return variant;
    };
    QTemporaryDir dir;
    const struct {
        const char* what;
        QByteArray file;
        QByteArray expected;
        const char* refusal;
    } cases[] = {
        {"embedded", bytes, profile, nullptr},
        {"linked", fileBytes(linked), {}, nullptr},
        {"padded after the profile", withRoom(profileSize + 4, QByteArray(4, '\0')), profile,
         nullptr},
        // Carried as given, it would be a profile cut short that viewers misread.
        {"longer than its room", withRoom(profileSize - 100, {}), {}, nullptr},
        // Without its profile the colours would silently be taken for sRGB.
        {"cut off inside the profile", bytes.left(bytes.size() - 100), {}, "colour profile"},
    };
    const QString input = dir.filePath(QStringLiteral("in.bmp"));
    const QString saved = dir.filePath(QStringLiteral("out.jpg"));
    for (const auto& c : cases) {
        writeFile(input, c.file);
        int width = 0, height = 0;
        GlobalBlock block = readBmp(input, &width, &height);
        if (c.refusal != nullptr) {
            EXPECT_FALSE(block) << c.what;
            EXPECT_NE(lastError().find(c.refusal), std::string::npos) << c.what << lastError();
            EXPECT_FALSE(loadPicture(input).ok()) << c.what << ": the window shows it";
            continue;
        }
        ASSERT_TRUE(block) << c.what << lastError();
        ASSERT_EQ(ImgDLLSaveRGBToJPG(local(saved).constData(), block.lock(), width, height, 80, 1),
                  1)
            << lastError();
        EXPECT_EQ(iccProfileOf(saved), c.expected) << c.what;
    }
}

TEST(Crop, CutOutCarriesTheMetadata) {
    QTemporaryDir dir;
    const QString source = testData(QStringLiteral(
        "bad/jpeg/ljt-bug-reproducers/8bit__testorig_rgb_444_floatdct_q100_test3icc.jpg"));
    const QByteArray profile = iccProfileOf(source);
    ASSERT_FALSE(profile.isEmpty());
    int width = 0, height = 0;
    GlobalBlock block = readJpg(source, &width, &height);
    ASSERT_TRUE(block) << lastError();
    GlobalBlock cutOut(ImgDLLCropRGB(block.lock(), width, height, 10, 10, 60, 50));
    block.reset();  // the cut-out must not depend on its source
    ASSERT_TRUE(cutOut) << lastError();
    const QString saved = dir.filePath(QStringLiteral("cut.jpg"));
    ASSERT_EQ(ImgDLLSaveRGBToJPG(local(saved).constData(), cutOut.lock(), 50, 40, 90, 1), 1)
        << lastError();
    EXPECT_EQ(iccProfileOf(saved), profile);

    const QString landscape = testData(QStringLiteral("bad/jpeg/exif-orientation/Landscape_6.jpg"));
    GlobalBlock turned = readJpg(landscape, &width, &height);
    ASSERT_TRUE(turned) << lastError();
    GlobalBlock turnedCut(ImgDLLCropRGB(turned.lock(), width, height, 0, 0, 100, 80));
    ASSERT_TRUE(turnedCut) << lastError();
    ASSERT_EQ(ImgDLLSaveRGBToJPG(local(saved).constData(), turnedCut.lock(), 100, 80, 90, 1), 1);
    EXPECT_EQ(exifOrientationOf(saved), 1);
    EXPECT_FALSE(exifHasThumbnail(saved));

    // The size the camera wrote down follows the picture: kept as it was for the whole
    // picture, the cut-out's for a cut-out.
    const QString photo = testData(QStringLiteral("photos/ColorfulCups.jpg"));
    ASSERT_EQ(exifPixelSizeOf(photo), QSize(2560, 1600));
    GlobalBlock whole = readJpg(photo, &width, &height);
    ASSERT_TRUE(whole) << lastError();
    ASSERT_EQ(ImgDLLSaveRGBToJPG(local(saved).constData(), whole.lock(), width, height, 60, 1), 1);
    EXPECT_EQ(exifPixelSizeOf(saved), QSize(2560, 1600));
    GlobalBlock photoCut(ImgDLLCropRGB(whole.lock(), width, height, 100, 50, 300, 110));
    whole.reset();
    ASSERT_TRUE(photoCut) << lastError();
    ASSERT_EQ(ImgDLLSaveRGBToJPG(local(saved).constData(), photoCut.lock(), 200, 60, 90, 1), 1);
    EXPECT_EQ(exifPixelSizeOf(saved), QSize(200, 60));

    // A camera that writes the sizes as signed numbers (a Nokia's): followed all the same.
    const QString signedSizes = testData(QStringLiteral("photos/BytheWater.jpg"));
    ASSERT_EQ(exifPixelSizeOf(signedSizes), QSize(2560, 1600));
    GlobalBlock nokia = readJpg(signedSizes, &width, &height);
    ASSERT_TRUE(nokia) << lastError();
    GlobalBlock nokiaCut(ImgDLLCropRGB(nokia.lock(), width, height, 10, 20, 90, 60));
    nokia.reset();
    ASSERT_TRUE(nokiaCut) << lastError();
    ASSERT_EQ(ImgDLLSaveRGBToJPG(local(saved).constData(), nokiaCut.lock(), 80, 40, 90, 1), 1);
    EXPECT_EQ(exifPixelSizeOf(saved), QSize(80, 40));
}

// ---------------------------------------------------------------------------
// A caller's pointer and numbers are checked against the buffer

TEST(BufferChecks, CropRefusesWhatIsNotALockedBuffer) {
    QTemporaryDir dir;
    GlobalBlock source = bufferOf(kodakPicture(32, 16), dir);
    auto* pixels = static_cast<std::uint8_t*>(source.lock());
    ASSERT_TRUE(pixels);

    std::uint8_t onStack[4096] = {};
    GlobalBlock foreign(GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, 4096));
    void* foreignPointer = foreign.lock();
    GlobalBlock tiny(GlobalAlloc(GMEM_MOVEABLE, 8));
    void* tinyPointer = tiny.lock();
    // Our header in a block whose size does not match it.
    GlobalBlock forged(GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, 1024));
    void* forgedPointer = forged.lock();
    std::memcpy(forgedPointer, pixels, imaging::kHeaderBytes);

    const struct {
        const char* what;
        void* pointer;
        const char* errorPart;
    } cases[] = {
        {"null", nullptr, "null"},
        {"stack memory", onStack, "not the address of a locked picture buffer"},
        {"inside the buffer", pixels + 48, "not the address of a locked picture buffer"},
        {"another block", foreignPointer, "not a picture buffer"},
        {"a tiny block", tinyPointer, "not a picture buffer"},
        {"a forged header", forgedPointer, "damaged"},
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(item.what);
        EXPECT_EQ(ImgDLLCropRGB(item.pointer, 32, 16, 0, 0, 8, 8), nullptr);
        EXPECT_NE(lastError().find(item.errorPart), std::string::npos) << lastError();
        const QString target = dir.filePath(QStringLiteral("never.jpg"));
        EXPECT_NE(ImgDLLSaveRGBToJPG(local(target).constData(), item.pointer, 32, 16, 90, 1), 1);
        EXPECT_NE(lastError().find(item.errorPart), std::string::npos) << lastError();
        EXPECT_FALSE(QFile::exists(target));
    }

    // A freed buffer's old address is refused too.
    GlobalBlock gone = bufferOf(kodakPicture(8, 8), dir);
    void* stale = gone.lock();
    gone.reset();
    EXPECT_EQ(ImgDLLCropRGB(stale, 8, 8, 0, 0, 4, 4), nullptr);
    EXPECT_FALSE(lastError().empty());
}

TEST(BufferChecks, CropRefusesASizeOtherThanTheBuffers) {
    QTemporaryDir dir;
    GlobalBlock source = bufferOf(kodakPicture(32, 16), dir);
    void* pixels = source.lock();
    for (const auto& [w, h] : {std::pair{33, 16}, std::pair{32, 17}, std::pair{16, 32},
                               std::pair{0, 16}, std::pair{32, -16}, std::pair{INT_MAX, INT_MAX}}) {
        SCOPED_TRACE(std::to_string(w) + " x " + std::to_string(h));
        EXPECT_EQ(ImgDLLCropRGB(pixels, w, h, 0, 0, 8, 8), nullptr);
        EXPECT_NE(lastError().find("the picture is 32 x 16 pixels"), std::string::npos)
            << lastError();
    }
}

TEST(BufferChecks, SaveAcceptsOnlyTheRealOrTheRequestedSize) {
    QTemporaryDir dir;
    GlobalBlock source = bufferOf(kodakPicture(40, 30), dir);
    // Asked for 50 x 20 from (20, 15): the cut-out holds 20 x 15.
    GlobalBlock cutOut(ImgDLLCropRGB(source.lock(), 40, 30, 20, 15, 70, 35));
    ASSERT_TRUE(cutOut) << lastError();
    void* pixels = cutOut.lock();
    const QString target = dir.filePath(QStringLiteral("out.jpg"));
    const struct {
        int width, height;
        bool accepted;
    } cases[] = {
        {20, 15, true},   {50, 20, true},  {20, 20, false}, {50, 15, false},
        {0, 0, false},    {0, 15, false},  {20, 0, false},  {-20, 15, false},
        {20, -15, false}, {21, 15, false}, {40, 30, false}, {INT_MAX, 15, false},
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(std::to_string(item.width) + " x " + std::to_string(item.height));
        QFile::remove(target);
        const int status =
            ImgDLLSaveRGBToJPG(local(target).constData(), pixels, item.width, item.height, 80, 1);
        if (item.accepted) {
            EXPECT_EQ(status, 1) << lastError();
            EXPECT_TRUE(QFile::exists(target));
        } else {
            EXPECT_EQ(status, 0);
            EXPECT_NE(lastError().find("the picture is 20 x 15 (or 50 x 20"), std::string::npos)
                << lastError();
            EXPECT_FALSE(QFile::exists(target));
        }
    }
}

// ---------------------------------------------------------------------------
// Save options

TEST(SaveOptions, QualityOutsideTheRangeIsClamped) {
    QTemporaryDir dir;
    GlobalBlock source = bufferOf(kodakPicture(64, 48), dir);
    void* pixels = source.lock();
    const auto save = [&](int quality) {
        const QString path = dir.filePath(QStringLiteral("q%1.jpg").arg(quality));
        EXPECT_EQ(ImgDLLSaveRGBToJPG(local(path).constData(), pixels, 64, 48, quality, 0), 1)
            << lastError();
        return fileBytes(path);
    };
    const QByteArray lowest = save(1);
    const QByteArray highest = save(100);
    EXPECT_NE(lowest, highest);
    EXPECT_EQ(save(0), lowest);
    EXPECT_EQ(save(-5), lowest);
    EXPECT_EQ(save(INT_MIN), lowest);
    EXPECT_EQ(save(101), highest);
    EXPECT_EQ(save(INT_MAX), highest);
}

TEST(SaveOptions, FlagsChooseEncoderAndMetadata) {
    QTemporaryDir dir;
    const QString source = testData(QStringLiteral(
        "bad/jpeg/ljt-bug-reproducers/8bit__testorig_rgb_444_floatdct_q100_test3icc.jpg"));
    GlobalBlock block = readJpg(source);
    ASSERT_TRUE(block) << lastError();
    // Give the buffer an EXIF block as well: crop a picture read from a tagged file.
    GlobalBlock tagged =
        readJpg(testData(QStringLiteral("bad/jpeg/exif-orientation/Portrait_3.jpg")));
    ASSERT_TRUE(tagged) << lastError();
    void* withIcc = block.lock();
    void* withExif = tagged.lock();

    const struct {
        int flag;
        bool accepted;
        bool keepsExif, keepsIcc;
    } cases[] = {
        {0, true, true, true},
        {IMGDLL_SAVE_BEST, true, true, true},
        {IMGDLL_SAVE_STRIP_EXIF, true, false, true},
        {IMGDLL_SAVE_STRIP_ICC | IMGDLL_SAVE_BEST, true, true, false},
        {IMGDLL_SAVE_STRIP_EXIF | IMGDLL_SAVE_STRIP_ICC, true, false, false},
        {0x8, false, false, false},
        {-1, false, false, false},
    };
    for (const auto& item : cases) {
        SCOPED_TRACE("flag " + std::to_string(item.flag));
        const QString iccFile = dir.filePath(QStringLiteral("icc.jpg"));
        const QString exifFile = dir.filePath(QStringLiteral("exif.jpg"));
        QFile::remove(iccFile);
        QFile::remove(exifFile);
        const int iccStatus =
            ImgDLLSaveRGBToJPG(local(iccFile).constData(), withIcc, 227, 149, 85, item.flag);
        const int exifStatus =
            ImgDLLSaveRGBToJPG(local(exifFile).constData(), withExif, 1200, 1800, 85, item.flag);
        if (!item.accepted) {
            EXPECT_EQ(iccStatus, 0);
            EXPECT_EQ(exifStatus, 0);
            EXPECT_NE(lastError().find("unknown flag bits"), std::string::npos) << lastError();
            EXPECT_FALSE(QFile::exists(iccFile));
            continue;
        }
        ASSERT_EQ(iccStatus, 1) << lastError();
        ASSERT_EQ(exifStatus, 1) << lastError();
        EXPECT_EQ(iccProfileOf(iccFile) == iccProfileOf(source), item.keepsIcc);
        EXPECT_EQ(iccProfileOf(iccFile).isEmpty(), !item.keepsIcc);
        EXPECT_EQ(exifOrientationOf(exifFile), item.keepsExif ? 1 : -1);
        GlobalBlock back = readJpg(iccFile);
        ASSERT_TRUE(back) << lastError();
    }
}

// ---------------------------------------------------------------------------
// Failed saves leave nothing behind

QStringList entriesOf(const QString& folder) {
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
}

TEST(FailedSave, MissingFolderLeavesNothing) {
    QTemporaryDir dir;
    GlobalBlock source = bufferOf(kodakPicture(16, 16), dir);
    const QString target = dir.filePath(QStringLiteral("no/such/folder/out.jpg"));
    EXPECT_NE(ImgDLLSaveRGBToJPG(local(target).constData(), source.lock(), 16, 16, 80, 1), 1);
    EXPECT_NE(lastError().find("cannot create a file in"), std::string::npos) << lastError();
    EXPECT_NE(lastError().find("No such file or directory"), std::string::npos) << lastError();
    EXPECT_EQ(entriesOf(dir.path()), QStringList{QStringLiteral("source.bmp")});
}

TEST(FailedSave, NoFileNameFails) {
    QTemporaryDir dir;
    GlobalBlock source = bufferOf(kodakPicture(16, 16), dir);
    EXPECT_EQ(ImgDLLSaveRGBToJPG(nullptr, source.lock(), 16, 16, 80, 1), 0);
    EXPECT_NE(lastError().find("no file name"), std::string::npos) << lastError();
    EXPECT_EQ(ImgDLLSaveRGBToJPG("", source.lock(), 16, 16, 80, 1), 0);
    EXPECT_NE(lastError().find("no file name"), std::string::npos) << lastError();
}

TEST(Save, NameWithoutAFolderLandsInTheCurrentDirectory) {
    QTemporaryDir dir;
    GlobalBlock source = bufferOf(kodakPicture(16, 16), dir);
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir.path()));
    const int status = ImgDLLSaveRGBToJPG("plain.jpg", source.lock(), 16, 16, 80, 1);
    QDir::setCurrent(previous);
    EXPECT_EQ(status, 1) << lastError();
    EXPECT_EQ(entriesOf(dir.path()),
              (QStringList{QStringLiteral("plain.jpg"), QStringLiteral("source.bmp")}));
}

TEST(Save, ANewFileIsItsOwnersToReadWhateverTheUmask) {
    // Under umask 0477 the windows' working file came out 0200: the pass wrote it, and
    // Save As could not read it back ("There is no compressed picture to save").
    QTemporaryDir dir;
    GlobalBlock source = bufferOf(kodakPicture(16, 16), dir);
    for (const mode_t mask : {mode_t{0477}, mode_t{0777}, mode_t{0022}}) {
        const QString path = dir.filePath(QStringLiteral("new-%1.jpg").arg(mask, 0, 8));
        const mode_t previous = ::umask(mask);
        const int status =
            ImgDLLSaveRGBToJPG(QFile::encodeName(path).constData(), source.lock(), 16, 16, 80, 1);
        ::umask(previous);
        ASSERT_EQ(status, 1) << lastError();
        struct stat facts {};
        ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &facts), 0);
        EXPECT_EQ(facts.st_mode & 0600, 0600u) << std::oct << mask;
        EXPECT_EQ(facts.st_mode & 0077, 0666u & ~mask & 0077u) << std::oct << mask;
    }
}

TEST(Save, ThroughALinkWritesTheLinkedFileAndKeepsTheLink) {
    QTemporaryDir dir;
    GlobalBlock source = bufferOf(kodakPicture(16, 16), dir);
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("library")));
    const QString linked = dir.filePath(QStringLiteral("library/photo.jpg"));
    const QString link = dir.filePath(QStringLiteral("photo.jpg"));
    writeFile(linked, "the old contents");
    ASSERT_TRUE(QFile::link(QStringLiteral("library/photo.jpg"), link));  // relative
    ASSERT_EQ(ImgDLLSaveRGBToJPG(local(link).constData(), source.lock(), 16, 16, 80, 1), 1)
        << lastError();
    EXPECT_EQ(QFileInfo(link).symLinkTarget(), QFileInfo(linked).absoluteFilePath());
    EXPECT_TRUE(fileBytes(linked).startsWith("\xff\xd8"));
    EXPECT_EQ(entriesOf(dir.filePath(QStringLiteral("library"))),
              QStringList{QStringLiteral("photo.jpg")});  // nothing left beside it
}

TEST(FailedSave, TargetThatIsAFolderSurvives) {
    QTemporaryDir dir;
    GlobalBlock source = bufferOf(kodakPicture(16, 16), dir);
    const QString target = dir.filePath(QStringLiteral("folder.jpg"));
    ASSERT_TRUE(QDir().mkdir(target));
    EXPECT_NE(ImgDLLSaveRGBToJPG(local(target).constData(), source.lock(), 16, 16, 80, 1), 1);
    EXPECT_NE(lastError().find("directory"), std::string::npos) << lastError();
    EXPECT_TRUE(QFileInfo(target).isDir());
    EXPECT_EQ(entriesOf(dir.path()).size(), 2);  // source.bmp and the folder
}

TEST(FailedSave, TargetThatIsAPipeSurvives) {
    QTemporaryDir dir;
    GlobalBlock source = bufferOf(kodakPicture(16, 16), dir);
    const QString pipe = dir.filePath(QStringLiteral("pipe.jpg"));
    const QString link = dir.filePath(QStringLiteral("link.jpg"));
    ASSERT_EQ(::mkfifo(local(pipe).constData(), 0600), 0);
    ASSERT_TRUE(QFile::link(pipe, link));
    for (const QString& target : {pipe, link}) {
        EXPECT_NE(ImgDLLSaveRGBToJPG(local(target).constData(), source.lock(), 16, 16, 80, 1), 1);
        EXPECT_NE(lastError().find("not a regular file"), std::string::npos) << lastError();
    }
    struct stat status {};
    ASSERT_EQ(::stat(local(pipe).constData(), &status), 0);
    EXPECT_TRUE(S_ISFIFO(status.st_mode));
    ASSERT_EQ(::lstat(local(link).constData(), &status), 0);
    EXPECT_TRUE(S_ISLNK(status.st_mode));
    // source.bmp, the pipe and the link: no temporary file left beside them.
    EXPECT_EQ(QDir(dir.path())
                  .entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot)
                  .size(),
              3);
}

TEST(FailedSave, ExistingTargetSurvivesRefusedArguments) {
    QTemporaryDir dir;
    GlobalBlock source = bufferOf(kodakPicture(16, 16), dir);
    const QString target = dir.filePath(QStringLiteral("keep.jpg"));
    writeFile(target, "the old contents");
    EXPECT_EQ(ImgDLLSaveRGBToJPG(local(target).constData(), source.lock(), 17, 16, 80, 1), 0);
    EXPECT_EQ(fileBytes(target), QByteArray("the old contents"));
    EXPECT_EQ(entriesOf(dir.path()).size(), 2);
}

TEST(FailedSave, SuccessfulSaveReplacesTargetAndKeepsItsPermissions) {
    QTemporaryDir dir;
    GlobalBlock source = bufferOf(kodakPicture(16, 16), dir);
    const QString target = dir.filePath(QStringLiteral("replace.jpg"));
    writeFile(target, "the old contents");
    ASSERT_TRUE(QFile::setPermissions(
        target, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup));
    ASSERT_EQ(ImgDLLSaveRGBToJPG(local(target).constData(), source.lock(), 16, 16, 80, 1), 1);
    EXPECT_TRUE(fileBytes(target).startsWith("\xFF\xD8"));
    struct stat status {};
    ASSERT_EQ(::stat(local(target).constData(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640u);
    EXPECT_EQ(entriesOf(dir.path()).size(), 2) << "no temporary file left";
}

// The save is run by a small helper program as an unprivileged user: as root every
// folder is writable, so only another user can meet a folder it may not write.
class UnwritableFolder : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        // The unprivileged user must reach the folder, but not write to it.
        ASSERT_TRUE(QFile::setPermissions(
            m_dir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
                              QFileDevice::ReadOther | QFileDevice::ExeOther |
                              QFileDevice::ReadGroup | QFileDevice::ExeGroup));
        m_locked = m_dir.filePath(QStringLiteral("locked"));
        ASSERT_TRUE(QDir().mkdir(m_locked));
        writeFile(m_locked + QStringLiteral("/existing.jpg"), "the old contents");
        ASSERT_TRUE(QFile::setPermissions(
            m_locked, QFileDevice::ReadOwner | QFileDevice::ExeOwner | QFileDevice::ReadGroup |
                          QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::ExeOther));
    }

    void TearDown() override {
        QFile::setPermissions(
            m_locked, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }

    // Runs the helper; returns its exit code and fills `output`.
    int runHelper(const QString& target, QString& output) {
        const QString helper = QStringLiteral(VELLORA_BIN_DIR "/imaging_save_helper");
        const QString source = testData(QStringLiteral("bad/jpeg/ljt-testimages/testorig.jpg"));
        QProcess process;
        process.setProcessChannelMode(QProcess::MergedChannels);
        if (::geteuid() == 0) {
            const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
            if (!vellora::test::unprivilegedAccessProblem({helper, source, m_dir.path()})
                     .isEmpty()) {
                return -2;  // no setpriv, or the build or test data is out of reach
            }
            process.start(setpriv,
                          {QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                           QStringLiteral("--clear-groups"), helper, source, target});
        } else {
            process.start(helper, {source, target});
        }
        if (!process.waitForFinished(120000)) {
            process.kill();
            return -1;
        }
        output = QString::fromLocal8Bit(process.readAll());
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }

    QTemporaryDir m_dir;
    QString m_locked;
};

TEST_F(UnwritableFolder, NewFileIsNotCreatedAndNothingIsLeft) {
    QString output;
    const int code = runHelper(m_locked + QStringLiteral("/new.jpg"), output);
    if (code == -2) {
        GTEST_SKIP()
            << "cannot run as an unprivileged user here (no setpriv, or files out of reach)";
    }
    EXPECT_EQ(code, 1) << output.toStdString();  // 1: the save returned a status other than 1
    EXPECT_TRUE(output.contains(QStringLiteral("Permission denied"))) << output.toStdString();
    EXPECT_EQ(entriesOf(m_locked), QStringList{QStringLiteral("existing.jpg")});
}

TEST_F(UnwritableFolder, ExistingFileSurvives) {
    QString output;
    const QString existing = m_locked + QStringLiteral("/existing.jpg");
    const int code = runHelper(existing, output);
    if (code == -2) {
        GTEST_SKIP()
            << "cannot run as an unprivileged user here (no setpriv, or files out of reach)";
    }
    EXPECT_EQ(code, 1) << output.toStdString();
    EXPECT_EQ(fileBytes(existing), QByteArray("the old contents"));
    EXPECT_EQ(entriesOf(m_locked), QStringList{QStringLiteral("existing.jpg")});
}

TEST_F(UnwritableFolder, HelperSavesWhereItMayWrite) {
    // The same helper, as the same user, succeeds in a folder it may write: the two
    // failures above are the folder's doing, not the helper's.
    const QString open = m_dir.filePath(QStringLiteral("open"));
    ASSERT_TRUE(QDir().mkdir(open));
    ASSERT_TRUE(QFile::setPermissions(open, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                                QFileDevice::WriteOther | QFileDevice::ExeOther));
    QString output;
    const int code = runHelper(open + QStringLiteral("/new.jpg"), output);
    if (code == -2) {
        GTEST_SKIP()
            << "cannot run as an unprivileged user here (no setpriv, or files out of reach)";
    }
    EXPECT_EQ(code, 0) << output.toStdString();
    EXPECT_EQ(entriesOf(open), QStringList{QStringLiteral("new.jpg")});
}

// ---------------------------------------------------------------------------
// Threads

TEST(Threads, ConcurrentReadsCropsAndSavesAgree) {
    QTemporaryDir dir;
    const QString jpeg = testData(QStringLiteral("bad/jpeg/exif-orientation/Portrait_6.jpg"));
    const QString bmp = testData(QStringLiteral("bad/bmp/bmpsuite-g/pal8rle.bmp"));
    GlobalBlock jpegReference = readJpg(jpeg);
    GlobalBlock bmpReference = readBmp(bmp);
    ASSERT_TRUE(jpegReference && bmpReference);
    const Picture jpegTruth = pictureOf(jpegReference);
    const Picture bmpTruth = pictureOf(bmpReference);

    constexpr int kThreads = 6;
    constexpr int kRounds = 4;
    std::atomic<int> failures{0};
    std::vector<std::string> errors(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round) {
                const bool useJpeg = (t + round) % 2 == 0;
                GlobalBlock block = useJpeg ? readJpg(jpeg) : readBmp(bmp);
                const Picture& truth = useJpeg ? jpegTruth : bmpTruth;
                if (!block || maxAbsDiff(pictureOf(block), truth) != 0) {
                    ++failures;
                    continue;
                }
                // A failure on this thread must not show on the others.
                if (ImgDLLCropRGB(block.lock(), truth.width, truth.height, -9, -9, -1, -1)) {
                    ++failures;
                }
                errors[t] = lastError();
                GlobalBlock cutOut(
                    ImgDLLCropRGB(block.lock(), truth.width, truth.height, 10, 10, 90, 60));
                const QString target = dir.filePath(QStringLiteral("t%1_%2.jpg").arg(t).arg(round));
                if (!cutOut ||
                    ImgDLLSaveRGBToJPG(local(target).constData(), cutOut.lock(), 80, 50, 85,
                                       IMGDLL_SAVE_BEST) != 1 ||
                    !lastError().empty()) {
                    ++failures;
                }
                GlobalBlock back = readJpg(target);
                if (!back || blockMeanAbsDiff(pictureOf(back), cut(truth, 10, 10, 80, 50), 4) > 4) {
                    ++failures;
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures.load(), 0);
    for (const std::string& error : errors) {
        EXPECT_NE(error.find("does not overlap"), std::string::npos) << error;
    }
    EXPECT_EQ(entriesOf(dir.path()).size(), static_cast<qsizetype>(kThreads * kRounds));
}

TEST(Init, ReturnsOneAndClearsTheLastError) {
    EXPECT_EQ(ImgDLLReadRGBFromJPG("/no/such/file.jpg", nullptr, nullptr), nullptr);
    EXPECT_FALSE(lastError().empty());
    EXPECT_EQ(ImgDLLStringInitDLL("Vellora"), 1);
    EXPECT_EQ(ImgDLLStringInitDLL(nullptr), 1);
    EXPECT_EQ(lastError(), "");
}

}  // namespace
}  // namespace vellora::test
