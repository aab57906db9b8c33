#include "jpeg_fixtures.h"

namespace vellora::test {
namespace {

void put16(QByteArray& bytes, int value) {
    bytes += static_cast<char>(value & 0xFF);
    bytes += static_cast<char>((value >> 8) & 0xFF);
}

void put32(QByteArray& bytes, quint32 value) {
    put16(bytes, static_cast<int>(value & 0xFFFF));
    put16(bytes, static_cast<int>(value >> 16));
}

struct Entry {
    int tag;
    int type;  // 2 ASCII, 3 SHORT
    quint32 count;
    quint32 value;  // the value itself (fits 4 bytes) or an offset
};

void putDirectory(QByteArray& tiff, const std::vector<Entry>& entries, quint32 next) {
    put16(tiff, static_cast<int>(entries.size()));
    for (const Entry& entry : entries) {
        put16(tiff, entry.tag);
        put16(tiff, entry.type);
        put32(tiff, entry.count);
        put32(tiff, entry.value);
    }
    put32(tiff, next);
}

QByteArray tiffHeader() {
    QByteArray tiff("II");
    put16(tiff, 42);
    put32(tiff, 8);  // IFD 0 right after the header
    return tiff;
}

constexpr quint32 directoryBytes(std::size_t entries) {
    return static_cast<quint32>(2 + entries * 12 + 4);
}

}  // namespace

QByteArray withMarkers(const QByteArray& jpeg, const std::vector<Marker>& markers) {
    QByteArray result = jpeg.left(2);  // SOI
    for (const Marker& marker : markers) {
        const int length = static_cast<int>(marker.payload.size()) + 2;
        result += static_cast<char>(0xFF);
        result += static_cast<char>(marker.code);
        result += static_cast<char>((length >> 8) & 0xFF);
        result += static_cast<char>(length & 0xFF);
        result += marker.payload;
    }
    result += jpeg.mid(2);
    return result;
}

std::vector<Marker> markersOf(const QByteArray& jpeg) {
    std::vector<Marker> markers;
    const auto byte = [&](qsizetype at) { return static_cast<unsigned char>(jpeg.at(at)); };
    qsizetype at = 2;
    while (at + 4 <= jpeg.size() && byte(at) == 0xFF) {
        const int code = byte(at + 1);
        if (code == 0xDA || code == 0xD9) {
            break;  // the first scan, or the end
        }
        const int length = (byte(at + 2) << 8) | byte(at + 3);
        if (length < 2 || at + 2 + length > jpeg.size()) {
            break;
        }
        markers.push_back({code, jpeg.mid(at + 4, length - 2)});
        at += 2 + length;
    }
    return markers;
}

QByteArray exifBlock(int mainOrientation, int thumbnailOrientation) {
    std::vector<Entry> main{{0x010F, 2, 4, 0}};  // Make "Cam", stored in the entry
    if (mainOrientation != 0) {
        main.push_back({0x0112, 3, 1, static_cast<quint32>(mainOrientation)});
    }
    const quint32 mainEnd = 8 + directoryBytes(main.size());
    QByteArray tiff = tiffHeader();
    putDirectory(tiff, main, thumbnailOrientation != 0 ? mainEnd : 0);
    tiff[8 + 2 + 8] = 'C';  // the make's four bytes sit in its value field
    tiff[8 + 2 + 9] = 'a';
    tiff[8 + 2 + 10] = 'm';
    tiff[8 + 2 + 11] = '\0';
    if (thumbnailOrientation != 0) {
        putDirectory(tiff, {{0x0112, 3, 1, static_cast<quint32>(thumbnailOrientation)}}, 0);
    }
    return QByteArray("Exif\0\0", 6) + tiff;
}

QByteArray exifWithSharedText(int sharedBytes) {
    const int tags[] = {0x010E, 0x010F, 0x0110, 0x0131, 0x013B, 0x8298};
    const quint32 textOffset = 8 + directoryBytes(std::size(tags));
    std::vector<Entry> entries;
    for (const int tag : tags) {
        entries.push_back({tag, 2, static_cast<quint32>(sharedBytes), textOffset});
    }
    QByteArray tiff = tiffHeader();
    putDirectory(tiff, entries, 0);
    tiff += QByteArray(sharedBytes - 1, 'x');
    tiff += '\0';
    return QByteArray("Exif\0\0", 6) + tiff;
}

QByteArray xmpPacket(const QByteArray& title) {
    return QByteArray("http://ns.adobe.com/xap/1.0/\0", 29) +
           "<?xpacket begin=\"\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?><x:xmpmeta "
           "xmlns:x=\"adobe:ns:meta/\"><rdf:RDF "
           "xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\"><rdf:Description "
           "xmlns:dc=\"http://purl.org/dc/elements/1.1/\"><dc:title>" +
           title + "</dc:title></rdf:Description></rdf:RDF></x:xmpmeta><?xpacket end=\"w\"?>";
}

QByteArray iptcBlock(const QByteArray& caption) {
    // Photoshop's image resource block 0x0404 holding one IPTC record 2:120 (caption).
    QByteArray record;
    record += '\x1c';
    record += '\x02';
    record += '\x78';
    record += static_cast<char>((caption.size() >> 8) & 0xFF);
    record += static_cast<char>(caption.size() & 0xFF);
    record += caption;
    return QByteArray("Photoshop 3.0\0", 14) + photoshopResources({{0x0404, record}});
}

QByteArray photoshopResources(const std::vector<PhotoshopResource>& resources) {
    QByteArray block;
    for (const PhotoshopResource& resource : resources) {
        block += "8BIM";
        block += static_cast<char>(resource.id >> 8);
        block += static_cast<char>(resource.id & 0xFF);
        block += QByteArray(2, '\0');  // empty name, padded to even
        const qsizetype size = resource.data.size();
        block += static_cast<char>((size >> 24) & 0xFF);
        block += static_cast<char>((size >> 16) & 0xFF);
        block += static_cast<char>((size >> 8) & 0xFF);
        block += static_cast<char>(size & 0xFF);
        block += resource.data;
        if (size % 2 != 0) {
            block += '\0';
        }
    }
    return block;
}

}  // namespace vellora::test
