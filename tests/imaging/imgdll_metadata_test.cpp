// What the image library carries from a JPEG to the file it saves: comments, XMP and
// IPTC in their order (through a crop too), none of them with the strip flag, and an
// EXIF block too large to carry told in the last-error text of a save that succeeds.

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>

#include <sys/stat.h>
#include <unistd.h>

#include <libexif/exif-data.h>

#include <QCryptographicHash>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>

#include "imaging/imgdll_api.h"
#include "imaging_test_support.h"
#include "libjpeg_writer.h"
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

TEST_F(Metadata, PhotoshopThumbnailsAndCopiesAreLeftOutAndTheOtherResourcesKept) {
    // Photoshop keeps a thumbnail of the whole picture among its resources: a cut-out
    // that carried it would show what was cut away. Its copies of the EXIF block, XMP
    // and profile would contradict the picture's own.
    const QByteArray header("Photoshop 3.0\0", 14);
    const auto markers = [&header](const QByteArray& resources, qsizetype split) {
        std::vector<Marker> result;
        for (qsizetype from = 0; from < resources.size(); from += split) {
            result.push_back({kApp13, header + resources.mid(from, split)});
        }
        return result;
    };
    const PhotoshopResource iptc{0x0404, iptcBlock("Caption").mid(14 + 12)};
    const PhotoshopResource resolution{0x03ED, QByteArray(16, '\x01')};
    const PhotoshopResource thumbnail{0x040C, QByteArray(5001, '\xAB')};
    const PhotoshopResource oldThumbnail{0x0409, QByteArray(300, '\xCD')};
    const PhotoshopResource bigThumbnail{0x040C, QByteArray(100000, '\xEF')};
    const struct {
        const char* what;
        std::vector<Marker> written;
        std::vector<Marker> kept;
    } cases[] = {
        {"one block", markers(photoshopResources({iptc, thumbnail, resolution}), 65000),
         markers(photoshopResources({iptc, resolution}), 65000)},
        {"both kinds, odd sizes, no last padding",
         markers(photoshopResources({oldThumbnail, iptc, thumbnail}).chopped(1), 65000),
         markers(photoshopResources({iptc}), 65000)},
        {"a thumbnail running on across three markers",
         markers(photoshopResources({iptc, bigThumbnail, resolution}), 40000),
         markers(photoshopResources({iptc, resolution}), 65000)},
        {"a thumbnail alone", markers(photoshopResources({thumbnail}), 65000), {}},
        {"copies of the EXIF block, XMP and the profile",
         markers(photoshopResources({{0x0422, exifBlock(6)},
                                     iptc,
                                     {0x0424, xmpPacket("t")},
                                     {0x040F, QByteArray(500, 'p')}}),
                 65000),
         markers(photoshopResources({iptc}), 65000)},
        {"no thumbnail: as it came", markers(photoshopResources({iptc, resolution, iptc}), 30),
         markers(photoshopResources({iptc, resolution, iptc}), 30)},
        {"unreadable after the thumbnail: kept as it was",
         markers(photoshopResources({thumbnail}) + "junk", 65000), markers("junk", 65000)},
    };
    for (const auto& item : cases) {
        std::vector<Marker> written = item.written;
        written.insert(written.begin(), {kComment, "before"});
        written.push_back({kComment, "after"});
        std::vector<Marker> kept = item.kept;
        kept.insert(kept.begin(), {kComment, "before"});
        kept.push_back({kComment, "after"});
        const QString input = writeJpegWith(written);
        for (const bool crop : {false, true}) {
            EXPECT_EQ(carried(roundTrip(input, IMGDLL_SAVE_BEST, crop)), kept)
                << item.what << ", crop " << crop;
        }
    }
}

TEST_F(Metadata, XmpThumbnailsAreLeftOutOfTheStandardAndTheExtendedPacket) {
    // Like the EXIF one, they show the whole picture as it was. A large one sits in the
    // extended packet, whose digest names it in the standard one: both get the new one.
    const QByteArray header("http://ns.adobe.com/xap/1.0/\0", 29);
    const QByteArray ns = "xmlns:xmp=\"http://ns.adobe.com/xap/1.0/\"";
    const auto extended = [&ns](bool thumbnails) {
        return "<x:xmpmeta><rdf:Description " + ns + ">" +
               (thumbnails ? "<xmp:Thumbnails>" + QByteArray(70000, 'A') + "</xmp:Thumbnails>"
                           : QByteArray()) +
               "<photoshop:History>h</photoshop:History></rdf:Description></x:xmpmeta>";
    };
    const auto digest = [](const QByteArray& text) {
        return QCryptographicHash::hash(text, QCryptographicHash::Md5).toHex().toUpper();
    };
    const auto standard = [&](bool thumbnails) {
        return Marker{kApp1, header + "<rdf:Description " + ns + " xmpNote:HasExtendedXMP=\"" +
                                 digest(extended(thumbnails)) + "\">" +
                                 (thumbnails ? "<xmp:Thumbnails>s</xmp:Thumbnails>" : "") +
                                 "<xmp:Rating>3</xmp:Rating></rdf:Description>"};
    };
    const auto parts = [&](bool thumbnails, qsizetype split) {
        const QByteArray text = extended(thumbnails);
        std::vector<Marker> result;
        for (qsizetype from = 0; from < text.size(); from += split) {
            QByteArray part = QByteArray("http://ns.adobe.com/xmp/extension/\0", 35) + digest(text);
            for (const qsizetype value : {text.size(), from}) {
                for (const int shift : {24, 16, 8, 0}) {
                    part += static_cast<char>((value >> shift) & 0xFF);
                }
            }
            result.push_back({kApp1, part + text.mid(from, split)});
        }
        return result;
    };
    const auto file = [&](bool thumbnails, qsizetype split) {
        std::vector<Marker> markers{standard(thumbnails)};
        for (const Marker& part : parts(thumbnails, split)) {
            markers.push_back(part);
        }
        markers.push_back({kComment, "after"});
        return markers;
    };
    const QString input = writeJpegWith(file(true, 40000));
    for (const bool crop : {false, true}) {
        EXPECT_EQ(carried(roundTrip(input, 0, crop)), file(false, 65000)) << "crop " << crop;
    }
    // A part sent twice still joins into the packet, which loses its thumbnail too.
    std::vector<Marker> twice = file(true, 40000);
    twice.insert(twice.begin() + 2, twice[1]);
    EXPECT_EQ(carried(roundTrip(writeJpegWith(twice), 0, false)), file(false, 65000));
    // Parts that disagree on the packet's length leave it as it is.
    std::vector<Marker> disagree = twice;
    disagree[2].payload[35 + 32 + 3] = static_cast<char>(disagree[2].payload[35 + 32 + 3] ^ 1);
    const std::vector<Marker> kept = carried(roundTrip(writeJpegWith(disagree), 0, false));
    ASSERT_EQ(kept.size(), disagree.size());
    EXPECT_TRUE(std::equal(kept.begin() + 1, kept.end(), disagree.begin() + 1));
}

TEST_F(Metadata, AFullStandardPacketStillNamesTheExtendedOneItsNewDigest) {
    // The extended packet gets the picture's size and so a new digest; the standard one
    // cannot grow by the size's longer figures, but must still name that digest, or
    // readers ignore the extended packet altogether.
    const QByteArray extended =
        "<rdf:Description xmlns:exif=\"http://ns.adobe.com/exif/1.0/\" "
        "exif:PixelXDimension=\"9\"/>";
    const auto digest = [](const QByteArray& text) {
        return QCryptographicHash::hash(text, QCryptographicHash::Md5).toHex().toUpper();
    };
    const QByteArray header("http://ns.adobe.com/xap/1.0/\0", 29);
    const auto standard = [&](const QByteArray& guid) {
        QByteArray packet = header +
                            "<rdf:Description xmlns:tiff=\"http://ns.adobe.com/tiff/1.0/\" "
                            "tiff:ImageWidth=\"9\" xmpNote:HasExtendedXMP=\"" +
                            guid + "\"/>";
        return packet + QByteArray(65533 - packet.size(), ' ');  // full: no room to grow
    };
    QByteArray part = QByteArray("http://ns.adobe.com/xmp/extension/\0", 35) + digest(extended);
    part += QByteArray::fromHex(QByteArray::number(extended.size(), 16).rightJustified(8, '0'));
    part += QByteArray(4, '\0') + extended;
    const QString input = writeJpegWith({{kApp1, standard(digest(extended))}, {kApp1, part}});
    const std::vector<Marker> saved = carried(roundTrip(input, 0, false));
    ASSERT_EQ(saved.size(), 2U);
    const QByteArray wider = QByteArray(extended).replace("\"9\"", "\"96\"");
    EXPECT_EQ(saved[0].payload, standard(digest(wider)));
    EXPECT_TRUE(saved[1].payload.endsWith(wider));
    EXPECT_EQ(saved[1].payload.mid(35, 32), digest(wider));
}

TEST_F(Metadata, ACutOutLeavesOutTheAreasNamedInThePictureAndGivesItsOwnSize) {
    // Faces and names at places a crop may have cut away, and where the subject is: kept
    // for the whole picture, left out of a cut-out.
    ExifData* data = exif_data_new();
    exif_data_set_byte_order(data, EXIF_BYTE_ORDER_INTEL);
    ExifEntry* entry = exif_entry_new();
    entry->tag = EXIF_TAG_SUBJECT_AREA;
    entry->format = EXIF_FORMAT_SHORT;
    entry->components = 2;
    entry->size = 4;
    entry->data = static_cast<unsigned char*>(std::calloc(1, 4));
    exif_content_add_entry(data->ifd[EXIF_IFD_EXIF], entry);
    exif_entry_unref(entry);
    const QByteArray exif = takeExifBlock(data);
    const auto hasSubject = [](const std::vector<Marker>& markers) {
        for (const Marker& marker : markers) {
            if (marker.code == kApp1 && marker.payload.startsWith("Exif")) {
                ExifData* saved = exif_data_new_from_data(
                    reinterpret_cast<const unsigned char*>(marker.payload.constData()),
                    static_cast<unsigned>(marker.payload.size()));
                const bool found =
                    exif_content_get_entry(saved->ifd[EXIF_IFD_EXIF], EXIF_TAG_SUBJECT_AREA);
                exif_data_unref(saved);
                return found;
            }
        }
        return false;
    };
    const QByteArray header("http://ns.adobe.com/xap/1.0/\0", 29);
    const QByteArray open =
        "<rdf:Description xmlns:mwg-rs=\"http://www.metadataworkinggroup.com/schemas/regions/\" "
        "xmlns:MP=\"http://ns.microsoft.com/photo/1.2/\" "
        "xmlns:acdsee-rs=\"http://ns.acdsee.com/regions/\" "
        "xmlns:tiff=\"http://ns.adobe.com/tiff/1.0/\">";
    const QByteArray named =
        "<mwg-rs:Regions rdf:parseType=\"Resource\"><mwg-rs:RegionList>"
        "Alice</mwg-rs:RegionList></mwg-rs:Regions><MP:RegionInfo>Bob"
        "</MP:RegionInfo><acdsee-rs:Regions>Carol</acdsee-rs:Regions>";
    const auto rest = [](int width) {
        return "<tiff:ImageWidth>" + QByteArray::number(width) +
               "</tiff:ImageWidth></rdf:Description>";
    };
    const QString input = writeJpegWith({{kApp1, header + open + named + rest(96)}, {kApp1, exif}});
    for (const bool crop : {false, true}) {
        const std::vector<Marker> saved = roundTrip(input, 0, crop);
        // The size given in XMP follows the cut, as the EXIF one does.
        const QByteArray xmp = header + open + (crop ? QByteArray() : named) + rest(crop ? 32 : 96);
        EXPECT_EQ(carried(saved), (std::vector<Marker>{{kApp1, xmp}})) << "crop " << crop;
        EXPECT_EQ(hasSubject(saved), !crop) << "crop " << crop;
    }
}

TEST_F(Metadata, TheXmpAndPhotoshopResolutionsTurnWithThePixels) {
    // As the JFIF and EXIF ones do: else the file gives the print two shapes.
    const auto resolution = [](int across, int down) {
        QByteArray info;
        for (const int dpi : {across, down}) {
            info += QByteArray::fromHex(QByteArray::number(dpi << 16, 16).rightJustified(8, '0'));
            info += QByteArray::fromHex("00010001");  // per inch; inches
        }
        return info;
    };
    const QByteArray photoshop = "Photoshop 3.0" + QByteArray(1, '\0');
    const QByteArray xmp = QByteArray("http://ns.adobe.com/xap/1.0/\0", 29) +
                           "<rdf:Description xmlns:tiff=\"http://ns.adobe.com/tiff/1.0/\" ";
    const auto markers = [&](int across, int down) {
        return std::vector<Marker>{
            {kApp1, xmp + "tiff:XResolution=\"" + QByteArray::number(across) +
                        "/1\" tiff:YResolution=\"" + QByteArray::number(down) + "/1\"/>"},
            {kApp13, photoshop + photoshopResources({{0x03ED, resolution(across, down)}})},
        };
    };
    for (const int orientation : {1, 3, 6, 8}) {
        std::vector<Marker> written = markers(300, 150);
        written.push_back({kApp1, exifBlock(orientation)});
        const QString input = writeJpegWith(written);
        const bool quarter = orientation >= 5;
        EXPECT_EQ(carried(roundTrip(input, 0, false)),
                  quarter ? markers(150, 300) : markers(300, 150))
            << "orientation " << orientation;
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

// A little-endian EXIF block whose main directory holds one link only: to a directory
// (tag `link`) that holds one ASCII entry `tag` of `text`.
QByteArray linkOnlyExif(std::uint16_t link, std::uint16_t tag, const QByteArray& text) {
    QByteArray tiff("II*\0", 4);
    const auto put16 = [&tiff](std::uint16_t value) {
        tiff.append(static_cast<char>(value & 0xFF)).append(static_cast<char>(value >> 8));
    };
    const auto put32 = [&put16](std::uint32_t value) {
        put16(static_cast<std::uint16_t>(value & 0xFFFF));
        put16(static_cast<std::uint16_t>(value >> 16));
    };
    put32(8);  // the main directory
    put16(1), put16(link), put16(4), put32(1), put32(26), put32(0);
    put16(1), put16(tag), put16(2), put32(static_cast<std::uint32_t>(text.size() + 1)), put32(44),
        put32(0);
    tiff.append(text).append('\0');
    return QByteArray("Exif\0\0", 6) + tiff;
}

TEST_F(Metadata, ABlockWhoseMainDirectoryOnlyLinksIsKept) {
    // Before, such a block counted as empty and was left out without a word: the date
    // a photo was taken, or where, lost on every save.
    const struct {
        const char* what;
        QByteArray block;
        QByteArray kept;
    } blocks[] = {
        {"camera directory (date taken)", linkOnlyExif(0x8769, 0x9003, "2021:05:06 07:08:09"),
         "2021:05:06 07:08:09"},
        {"GPS directory (date stamp)", linkOnlyExif(0x8825, 0x001D, "2020:01:02"), "2020:01:02"},
    };
    for (const auto& item : blocks) {
        const QString input = writeJpegWith({{kApp1, item.block}});
        bool found = false;
        for (const Marker& marker : roundTrip(input, 0, false)) {
            found = found || (marker.code == kApp1 && marker.payload.startsWith("Exif") &&
                              marker.payload.contains(item.kept));
        }
        EXPECT_TRUE(found) << item.what;
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

// The JFIF header's unit and densities of a saved file; {-1, -1, -1} when it has none.
std::array<int, 3> jfifDensityOf(const QByteArray& jpeg) {
    const std::vector<Marker> markers = markersOf(jpeg);
    if (markers.empty() || markers[0].code != 0xE0 || markers[0].payload.size() < 12 ||
        !markers[0].payload.startsWith(QByteArray("JFIF\0", 5))) {
        return {-1, -1, -1};
    }
    const auto byte = [&](int at) { return static_cast<unsigned char>(markers[0].payload[at]); };
    return {byte(7), byte(8) << 8 | byte(9), byte(10) << 8 | byte(11)};
}

TEST_F(Metadata, TheExifResolutionTurnsWithThePixels) {
    // Turned a quarter, a 300 x 150 dpi picture prints at 150 x 300: the JFIF density
    // said so while the EXIF block beside it kept 300 x 150.
    const auto exifWith = [](int orientation) {
        ExifData* data = exif_data_new();
        exif_data_set_byte_order(data, EXIF_BYTE_ORDER_INTEL);
        const auto add = [&](ExifTag tag) {
            ExifEntry* entry = exif_entry_new();
            exif_content_add_entry(data->ifd[EXIF_IFD_0], entry);
            exif_entry_initialize(entry, tag);
            exif_entry_unref(entry);
            return entry;
        };
        exif_set_short(add(EXIF_TAG_ORIENTATION)->data, EXIF_BYTE_ORDER_INTEL,
                       static_cast<ExifShort>(orientation));
        exif_set_rational(add(EXIF_TAG_X_RESOLUTION)->data, EXIF_BYTE_ORDER_INTEL, {300, 1});
        exif_set_rational(add(EXIF_TAG_Y_RESOLUTION)->data, EXIF_BYTE_ORDER_INTEL, {150, 1});
        return takeExifBlock(data);
    };
    const auto resolutionOf = [](const std::vector<Marker>& markers) {
        std::array<ExifLong, 2> dpi{};
        for (const Marker& marker : markers) {
            if (marker.code != kApp1 || !marker.payload.startsWith("Exif")) {
                continue;
            }
            ExifData* data = exif_data_new_from_data(
                reinterpret_cast<const unsigned char*>(marker.payload.constData()),
                static_cast<unsigned>(marker.payload.size()));
            const ExifByteOrder order = exif_data_get_byte_order(data);
            for (std::size_t i = 0; i < 2; ++i) {
                if (ExifEntry* entry = exif_content_get_entry(
                        data->ifd[EXIF_IFD_0],
                        i == 0 ? EXIF_TAG_X_RESOLUTION : EXIF_TAG_Y_RESOLUTION)) {
                    dpi[i] = exif_get_rational(entry->data, order).numerator;
                }
            }
            exif_data_unref(data);
        }
        return dpi;
    };
    const struct {
        int orientation;
        std::array<ExifLong, 2> saved;
    } cases[] = {{1, {300, 150}}, {3, {300, 150}}, {6, {150, 300}}, {8, {150, 300}}};
    for (const auto& c : cases) {
        const QString input = writeJpegWith({{kApp1, exifWith(c.orientation)}});
        for (const bool crop : {false, true}) {
            EXPECT_EQ(resolutionOf(roundTrip(input, 0, crop)), c.saved)
                << "orientation " << c.orientation << (crop ? ", cut" : "");
        }
    }
}

TEST_F(Metadata, ThePixelDensityTravels) {
    // A 300 dpi scan saved smaller must still print at its size: the density goes into
    // the saved file's JFIF header, turned with the pixels, kept through a crop and by
    // both encoders. A bitmap's pixels per metre become dots per inch.
    const Picture picture = kodakPicture(48, 32);
    const struct {
        const char* what;
        bool bmp;
        int unit, x, y;   // JFIF density, or (unit 0) a bitmap's pixels per metre x, y
        int orientation;  // JPEG: the EXIF orientation; bitmap: its bits per pixel
        std::array<int, 3> saved;
    } cases[] = {
        {"dots per inch", false, 1, 300, 150, 1, {1, 300, 150}},
        {"turned upright", false, 1, 300, 150, 6, {1, 150, 300}},
        {"dots per cm", false, 2, 118, 118, 1, {2, 118, 118}},
        {"an aspect ratio only", false, 0, 2, 1, 8, {0, 1, 2}},
        {"an unknown unit", false, 3, 300, 300, 1, {0, 1, 1}},
        {"a zero density", false, 1, 0, 72, 1, {0, 1, 1}},
        {"24-bit bitmap", true, 0, 11811, 5906, 24, {1, 300, 150}},
        {"paletted bitmap", true, 0, 3780, 2835, 8, {1, 96, 72}},
        {"bitmap with none", true, 0, 0, 0, 24, {0, 1, 1}},
    };
    const QString output = m_dir.filePath(QStringLiteral("out.jpg"));
    const QByteArray native = QFile::encodeName(output);
    for (const auto& c : cases) {
        const QString input = m_dir.filePath(QLatin1String(c.bmp ? "in.bmp" : "in.jpg"));
        if (c.bmp) {
            QImage image = toQImage(picture);
            if (c.orientation == 8) {  // through Qt's decoder, not the direct reader
                image = image.convertToFormat(QImage::Format_Indexed8);
            }
            image.setDotsPerMeterX(c.x);
            image.setDotsPerMeterY(c.y);
            ASSERT_TRUE(image.save(input, "BMP")) << c.what;
            if (c.x == 0) {  // Qt writes its 96 dpi default then: say none
                QByteArray bytes = fileBytes(input);
                bytes.replace(38, 8, QByteArray(8, '\0'));
                writeFile(input, bytes);
            }
        } else {
            LibjpegLayout layout;
            layout.densityUnit = c.unit;
            layout.xDensity = c.x;
            layout.yDensity = c.y;
            const QByteArray jpeg =
                writeWithLibjpeg(picture.rgb, picture.width, picture.height, layout);
            ASSERT_FALSE(jpeg.isEmpty()) << c.what;
            // The EXIF block after the JFIF header, where cameras put it.
            const QByteArray jfif = jpeg.left(2 + 2 + 16);
            writeFile(input, jfif +
                                 withMarkers(QByteArray("\xFF\xD8", 2),
                                             {{kApp1, exifBlock(c.orientation)}})
                                     .mid(2) +
                                 jpeg.mid(jfif.size()));
        }
        int width = 0;
        int height = 0;
        GlobalBlock read =
            c.bmp ? readBmp(input, &width, &height) : readJpg(input, &width, &height);
        ASSERT_TRUE(read) << c.what << ": " << lastError();
        for (const bool crop : {false, true}) {
            for (const int flag :
                 {0, static_cast<int>(IMGDLL_SAVE_BEST | IMGDLL_SAVE_STRIP_EXIF)}) {
                void* pixels = read.lock();
                GlobalBlock cut;
                int savedWidth = width;
                int savedHeight = height;
                if (crop) {
                    cut = GlobalBlock(ImgDLLCropRGB(pixels, width, height, 4, 4, 20, 20));
                    ASSERT_TRUE(cut) << lastError();
                    pixels = cut.lock();
                    savedWidth = savedHeight = 16;
                }
                ASSERT_EQ(ImgDLLSaveRGBToJPG(native.constData(), pixels, savedWidth, savedHeight,
                                             80, flag),
                          1)
                    << c.what << ": " << lastError();
                EXPECT_EQ(jfifDensityOf(fileBytes(output)), c.saved)
                    << c.what << (crop ? ", cut" : "") << ", flag " << flag;
                read.unlock();
            }
        }
    }
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
