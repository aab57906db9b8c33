// What the image library carries from a JPEG to the file it saves: comments, XMP and
// IPTC in their order (through a crop too), none of them with the strip flag, and an
// EXIF block too large to carry told in the last-error text of a save that succeeds.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QTemporaryDir>

#include "imaging/imgdll_api.h"
#include "imaging_test_support.h"
#include "support/jpeg_fixtures.h"

namespace vellora::test {
namespace {

// The markers of `markers` with one of the codes the library carries besides EXIF.
std::vector<Marker> carried(const std::vector<Marker>& markers) {
    std::vector<Marker> result;
    for (const Marker& marker : markers) {
        const bool exif = marker.code == kApp1 && marker.payload.startsWith("Exif");
        const bool xmp = marker.code == kApp1 && marker.payload.startsWith("http://ns.adobe");
        if (!exif && (xmp || marker.code == kApp13 || marker.code == kComment)) {
            result.push_back(marker);
        }
    }
    return result;
}

bool hasExif(const std::vector<Marker>& markers) {
    for (const Marker& marker : markers) {
        if (marker.code == kApp1 && marker.payload.startsWith("Exif")) {
            return true;
        }
    }
    return false;
}

class Metadata : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_dir.isValid()); }

    QString writeJpegWith(const std::vector<Marker>& markers) {
        const QString path = m_dir.filePath(QStringLiteral("in.jpg"));
        writeFile(path, withMarkers(encodeTestJpeg(kodakPicture(96, 64), 90), markers));
        return path;
    }

    // Reads `input`, cuts it when asked, saves with `flag`; the saved file's markers.
    std::vector<Marker> roundTrip(const QString& input, int flag, bool crop,
                                  std::string* note = nullptr) {
        int width = 0;
        int height = 0;
        GlobalBlock picture = readJpg(input, &width, &height);
        EXPECT_TRUE(picture) << lastError();
        void* pixels = picture.lock();
        GlobalBlock cut;
        if (crop) {
            cut = GlobalBlock(ImgDLLCropRGB(pixels, width, height, 8, 8, 40, 40));
            EXPECT_TRUE(cut) << lastError();
            pixels = cut.lock();
            width = height = 32;
        }
        const QString output = m_dir.filePath(QStringLiteral("out.jpg"));
        const QByteArray native = QFile::encodeName(output);
        EXPECT_EQ(ImgDLLSaveRGBToJPG(native.constData(), pixels, width, height, 80, flag), 1)
            << lastError();
        if (note) {
            *note = lastError();
        }
        return markersOf(fileBytes(output));
    }

    QTemporaryDir m_dir;
};

TEST_F(Metadata, CommentsXmpAndIptcTravelInTheirOrder) {
    const std::vector<Marker> written{
        {kComment, "first comment"},
        {kApp1, xmpPacket("Harbour at dawn")},
        {kApp1, exifBlock(1)},
        {kApp13, iptcBlock("A caption")},
        {kComment, "(c) 2026 A. Photographer"},
    };
    const QString input = writeJpegWith(written);
    for (const bool crop : {false, true}) {
        for (const int flag : {0, static_cast<int>(IMGDLL_SAVE_BEST)}) {
            const std::vector<Marker> saved = roundTrip(input, flag, crop);
            EXPECT_EQ(carried(saved), carried(written)) << "crop " << crop << " flag " << flag;
            EXPECT_TRUE(hasExif(saved));
        }
    }
}

TEST_F(Metadata, XmpOrientationFollowsThePixelsTurnedUpright) {
    // The pixels of an EXIF orientation 6 file are turned on reading: an XMP packet that
    // still said 6 would have viewers that read it turn them again. Unturned pixels keep
    // their packet as it was.
    const QByteArray header("http://ns.adobe.com/xap/1.0/\0", 29);
    const struct {
        const char* what;
        QByteArray packet;
        QByteArray upright;
    } forms[] = {
        {"attribute", "<rdf:Description tiff:Orientation=\"6\" tiff:Make=\"Cam\"/>",
         "<rdf:Description tiff:Orientation=\"1\" tiff:Make=\"Cam\"/>"},
        {"element", "<tiff:Orientation> 8 </tiff:Orientation><tiff:X>6</tiff:X>",
         "<tiff:Orientation> 1 </tiff:Orientation><tiff:X>6</tiff:X>"},
        {"spaced, single quotes", "tiff:Orientation = '6'", "tiff:Orientation = '1'"},
        {"not a digit of its own", "tiff:Orientation=\"60\"", "tiff:Orientation=\"60\""},
    };
    for (const auto& form : forms) {
        for (const int orientation : {1, 6}) {
            const QString input =
                writeJpegWith({{kApp1, header + form.packet}, {kApp1, exifBlock(orientation)}});
            const std::vector<Marker> saved = carried(roundTrip(input, 0, false));
            ASSERT_EQ(saved.size(), 1U) << form.what;
            EXPECT_EQ(saved[0].payload, header + (orientation == 1 ? form.packet : form.upright))
                << form.what << " " << orientation;
        }
    }
}

TEST_F(Metadata, StripDropsExifCommentsXmpAndIptc) {
    const QString input = writeJpegWith({{kApp1, xmpPacket("t")},
                                         {kApp1, exifBlock(1)},
                                         {kApp13, iptcBlock("c")},
                                         {kComment, "c"}});
    for (const bool crop : {false, true}) {
        const std::vector<Marker> saved =
            roundTrip(input, IMGDLL_SAVE_BEST | IMGDLL_SAVE_STRIP_EXIF, crop);
        EXPECT_TRUE(carried(saved).empty());
        EXPECT_FALSE(hasExif(saved));
    }
}

TEST_F(Metadata, AnExifBlockTooLargeToCarryIsToldNotDroppedSilently) {
    // 12000 bytes on disk; rewritten with each of six tags' text of its own, 72000.
    const QString input = writeJpegWith({{kApp1, exifWithSharedText(12000)}, {kComment, "kept"}});
    std::string note;
    const std::vector<Marker> saved = roundTrip(input, IMGDLL_SAVE_BEST, false, &note);
    EXPECT_FALSE(hasExif(saved));
    EXPECT_NE(note.find("without the EXIF block"), std::string::npos) << note;
    EXPECT_NE(note.find("65533"), std::string::npos) << note;
    EXPECT_EQ(carried(saved), (std::vector<Marker>{{kComment, "kept"}}));

    // A block that fits leaves no note.
    const QString small = writeJpegWith({{kApp1, exifWithSharedText(2000)}});
    const std::vector<Marker> fine = roundTrip(small, IMGDLL_SAVE_BEST, false, &note);
    EXPECT_TRUE(hasExif(fine));
    EXPECT_EQ(note, "");
}

TEST_F(Metadata, ASaveOverAFileKeepsItsOwnerGroupAndMode) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "giving a file to another user needs root";
    }
    const QString input = writeJpegWith({});
    const QString output = m_dir.filePath(QStringLiteral("out.jpg"));
    writeFile(output, "an older picture");
    const QByteArray native = QFile::encodeName(output);
    ASSERT_EQ(::chown(native.constData(), 65534, 65534), 0);
    ASSERT_EQ(::chmod(native.constData(), 0640), 0);
    std::string note;
    (void)roundTrip(input, IMGDLL_SAVE_BEST, false, &note);
    struct stat info {};
    ASSERT_EQ(::stat(native.constData(), &info), 0);
    EXPECT_EQ(info.st_uid, 65534u);
    EXPECT_EQ(info.st_gid, 65534u);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    EXPECT_EQ(note, "");
}

}  // namespace
}  // namespace vellora::test
