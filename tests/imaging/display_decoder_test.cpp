// The windows' direct JPEG decoder: whatever it decodes must come out exactly as Qt's
// reader shows it (pixels, format, resolution, colour space, comments), whether one
// decoder or two halves do the work; what it cannot match it leaves to Qt.
#include <gtest/gtest.h>

#include <QBuffer>
#include <QColorSpace>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QImageReader>
#include <QImageWriter>
#include <QTemporaryDir>
#include <QtEndian>
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "imaging/display_decoder.h"
#include "imaging/libjpeg_bridge.h"
#include "imaging/picture_checks.h"
#include "imaging/picture_loader.h"
#include "libjpeg_writer.h"
#include "support/jpeg_fixtures.h"
#include "support/test_support.h"

namespace vellora {
namespace {

QImage readWithQt(const QByteArray& bytes) {
    QBuffer buffer;
    buffer.setData(bytes);
    QImageReader reader(&buffer, "jpeg");
    reader.setAutoTransform(false);
    QImageReader::setAllocationLimit(kPictureAllocationLimitMB);
    return reader.read();
}

// Everything of the two pictures a window or a later save could see.
void expectSameAsQt(const QImage& ours, const QImage& qt, const std::string& what) {
    ASSERT_FALSE(qt.isNull()) << what << ": decoded here, but Qt cannot read it";
    EXPECT_EQ(ours.format(), qt.format()) << what;
    EXPECT_EQ(ours.size(), qt.size()) << what;
    EXPECT_EQ(ours.dotsPerMeterX(), qt.dotsPerMeterX()) << what;
    EXPECT_EQ(ours.dotsPerMeterY(), qt.dotsPerMeterY()) << what;
    EXPECT_EQ(ours.colorSpace(), qt.colorSpace()) << what;
    EXPECT_EQ(ours.textKeys().join(u',').toStdString(), qt.textKeys().join(u',').toStdString())
        << what;
    for (const QString& key : qt.textKeys()) {
        EXPECT_EQ(ours.text(key).toStdString(), qt.text(key).toStdString())
            << what << " text " << key.toStdString();
    }
    EXPECT_TRUE(ours == qt) << what << ": the pixels differ";
}

// Whether the file's frame holds four components (CMYK or YCCK): the one kind decoded
// here that does not follow Qt's reader (see RealFilesMatchQtOrAreLeftToIt).
bool fourComponents(const QByteArray& bytes) {
    return imaging::walkJpegStructure({reinterpret_cast<const std::uint8_t*>(bytes.constData()),
                                       static_cast<std::size_t>(bytes.size())},
                                      imaging::kMaxJpegScans)
               .frameComponents == 4;
}

// The largest difference of any channel of two pictures of the same size and format.
int maxChannelDifference(const QImage& a, const QImage& b) {
    int largest = 0;
    for (int y = 0; y < a.height(); ++y) {
        for (qsizetype i = 0; i < a.bytesPerLine(); ++i) {
            largest = std::max(largest, std::abs(a.constScanLine(y)[i] - b.constScanLine(y)[i]));
        }
    }
    return largest;
}

struct Generated {
    const char* what;
    int width;
    int height;
    int components;
    int hSamp;  // luma sampling factors; chroma 1x1
    int vSamp;
    bool progressive;
    int restartRows;
    int densityUnit;
};

// A picture with detail everywhere (colour edges and a gradient), written by
// libjpeg with the given layout.
QByteArray generated(const Generated& g) {
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(g.width) * g.height * 3);
    for (int y = 0; y < g.height; ++y) {
        for (int x = 0; x < g.width; ++x) {
            std::uint8_t* p = &pixels[(static_cast<std::size_t>(y) * g.width + x) * 3];
            p[0] = static_cast<std::uint8_t>((x * 7 + y * 3) & 0xFF);
            p[1] = static_cast<std::uint8_t>(((x / 5 + y / 3) % 2) * 200 + 20);
            p[2] = static_cast<std::uint8_t>((x * y) % 251);
        }
    }
    test::LibjpegLayout layout;
    layout.components = g.components;
    layout.hSamp = g.hSamp;
    layout.vSamp = g.vSamp;
    layout.restartRows = g.restartRows;
    layout.progressive = g.progressive;
    layout.densityUnit = g.densityUnit;
    layout.xDensity = 300;
    layout.yDensity = 150;
    const QByteArray bytes = test::writeWithLibjpeg(pixels, g.width, g.height, layout);
    EXPECT_FALSE(bytes.isEmpty()) << g.what;
    return bytes;
}

QByteArray fileBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

TEST(DisplayDecoder, GeneratedLayoutsComeOutAsQtShowsThem) {
    const Generated cases[] = {
        {"4:2:0 odd size", 1023, 777, 3, 2, 2, false, 0, 0},
        {"4:2:0 progressive", 1001, 703, 3, 2, 2, true, 0, 1},
        {"4:4:4 with restarts", 640, 481, 3, 1, 1, false, 3, 2},
        {"4:2:2", 777, 555, 3, 2, 1, false, 0, 0},
        {"4:4:0 progressive", 555, 777, 3, 1, 2, true, 0, 1},
        {"4:4:4 progressive with restarts", 640, 481, 3, 1, 1, true, 2, 2},
        {"grey", 999, 613, 1, 1, 1, false, 0, 0},
        {"grey progressive", 613, 999, 1, 1, 1, true, 0, 2},
        {"one row group", 64, 16, 3, 2, 2, false, 0, 0},
        {"one pixel", 1, 1, 3, 2, 2, false, 0, 0},
    };
    for (const Generated& g : cases) {
        const QByteArray bytes = generated(g);
        const QImage qt = readWithQt(bytes);
        for (int threads : {1, 2}) {
            const QImage ours = imaging::decodeJpegForDisplay(bytes, threads);
            const std::string what = std::string(g.what) + ", threads " + std::to_string(threads);
            ASSERT_FALSE(ours.isNull()) << what << ": left to Qt";
            expectSameAsQt(ours, qt, what);
        }
    }
}

TEST(DisplayDecoder, CommentsAndProfilesComeAlong) {
    const Generated plain{"plain", 300, 200, 3, 2, 2, false, 0, 0};
    QByteArray icc;
    {
        QImage withProfile(8, 8, QImage::Format_RGB32);
        withProfile.fill(Qt::gray);
        withProfile.setColorSpace(QColorSpace(QColorSpace::DisplayP3));
        QBuffer buffer;
        buffer.open(QIODevice::WriteOnly);
        ASSERT_TRUE(withProfile.save(&buffer, "JPEG"));
        icc = buffer.data();
    }
    // The profile's APP2 markers, taken from a file Qt wrote.
    std::vector<test::Marker> profileMarkers;
    for (const test::Marker& marker : test::markersOf(icc)) {
        if (marker.code == 0xE2) {
            profileMarkers.push_back(marker);
        }
    }
    ASSERT_FALSE(profileMarkers.empty());
    std::vector<test::Marker> comments = {
        {test::kComment, "Title: a shell on the beach"},
        {test::kComment, "no key here: the whole text is the description"},
        {test::kComment, "Author: two  spaces\nand a new line"},
    };
    std::vector<test::Marker> both = comments;
    both.insert(both.end(), profileMarkers.begin(), profileMarkers.end());
    const struct {
        const char* what;
        std::vector<test::Marker> markers;
    } cases[] = {{"comments", comments}, {"profile", profileMarkers}, {"both", both}};
    for (const auto& c : cases) {
        const QByteArray bytes = test::withMarkers(generated(plain), c.markers);
        const QImage qt = readWithQt(bytes);
        const QImage ours = imaging::decodeJpegForDisplay(bytes, 1);
        ASSERT_FALSE(ours.isNull()) << c.what;
        expectSameAsQt(ours, qt, c.what);
    }
}

// Real photos (progressive and baseline, with EXIF, comments and resolutions) and the
// whole damaged corpus: every file decoded here matches Qt's picture exactly, the
// photos are all decoded here, and damaged files are left to Qt.
TEST(DisplayDecoder, RealFilesMatchQtOrAreLeftToIt) {
    const struct {
        const char* folder;
        bool allDecodedHere;
    } folders[] = {{"photos", true}, {"bad/jpeg", false}};
    int decodedHere = 0;
    int leftToQt = 0;
    int cmyk = 0;
    for (const auto& folder : folders) {
        QDirIterator files(test::testData(QString::fromLatin1(folder.folder)),
                           {QStringLiteral("*.jpg")}, QDir::Files, QDirIterator::Subdirectories);
        while (files.hasNext()) {
            const QString path = files.next();
            const QByteArray bytes = fileBytes(path);
            // Shell and Volna are large; two of the nine 2560 x 1600 photos suffice.
            if (bytes.size() > 1'500'000) {
                continue;
            }
            const QImage ours = imaging::decodeJpegForDisplay(bytes, 2);
            const std::string what = path.toStdString();
            if (ours.isNull()) {
                EXPECT_FALSE(folder.allDecodedHere) << what << ": left to Qt";
                ++leftToQt;
                continue;
            }
            ++decodedHere;
            if (fourComponents(bytes)) {
                // CMYK is turned into RGB as the image library does it: Qt's reader takes
                // every file for Adobe's inverted inks and truncates where we round; it
                // keeps the inks' colour profile, which describes no RGB.
                const QImage qt = readWithQt(bytes);
                ASSERT_EQ(ours.size(), qt.size()) << what;
                EXPECT_LE(maxChannelDifference(ours, qt.convertToFormat(ours.format())), 1) << what;
                ++cmyk;
                continue;
            }
            expectSameAsQt(ours, readWithQt(bytes), what);
        }
    }
    EXPECT_GT(decodedHere, 9);
    EXPECT_GT(leftToQt, 20);  // damaged, 12-bit, arithmetic-coded...
    EXPECT_GT(cmyk, 0);
}

// An arithmetic-coded scan may stop short: the rest of the picture then decodes, legally,
// as if its data were zeros. So a few hundred bytes can stand for any size; above the
// windows' allocation limit the decoder must refuse before allocating or decoding.
TEST(DisplayDecoder, ClaimedSizesOverTheLimitAreRefused) {
    const std::vector<std::uint8_t> pixels(16 * 16 * 3, 90);
    test::LibjpegLayout layout;
    layout.arithmetic = true;
    const QByteArray small = test::writeWithLibjpeg(pixels, 16, 16, layout);
    ASSERT_FALSE(small.isEmpty());
    const qsizetype frame = small.indexOf("\xFF\xC9");
    ASSERT_GT(frame, 0);
    struct Case {
        int side;
        bool shown;
    };
    // 16000 x 16000 in 4-byte pixels is just under 1024 MB; 16400 a side is over.
    for (const Case& c : {Case{300, true}, Case{16400, false}}) {
        QByteArray claimed = small;
        qToBigEndian(static_cast<quint16>(c.side), claimed.data() + frame + 5);
        qToBigEndian(static_cast<quint16>(c.side), claimed.data() + frame + 7);
        const QImage ours = imaging::decodeJpegForDisplay(claimed, 1);
        EXPECT_EQ(!ours.isNull(), c.shown) << c.side;
        if (c.shown) {
            EXPECT_EQ(ours.size(), QSize(c.side, c.side));
        }
    }
}

TEST(DisplayDecoder, TheLoaderShowsWhatQtShows) {
    // The working file has no extension; the loader still decodes it directly.
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("winpcdll"));
    const QByteArray bytes = test::withMarkers(generated({"plain", 900, 700, 3, 2, 2, true, 0, 1}),
                                               {{test::kComment, "Note: kept"}});
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
    file.close();
    const LoadedPicture loaded = loadPicture(path);
    ASSERT_TRUE(loaded.ok()) << loaded.error.toStdString();
    expectSameAsQt(loaded.image, readWithQt(bytes), "working file");
}

}  // namespace
}  // namespace vellora
