#pragma once
// JPEG files with the markers a careful user's pictures carry: EXIF blocks laid out by
// hand (so that orientation can sit where Qt and libexif disagree), XMP, IPTC and
// comments placed in a chosen order, and a look at the markers a file holds.

#include <cstdint>

#include <QByteArray>
#include <QString>
#include <utility>
#include <vector>

namespace vellora::test {

inline constexpr int kApp1 = 0xE1;
inline constexpr int kApp13 = 0xED;
inline constexpr int kComment = 0xFE;

struct Marker {
    int code = 0;
    QByteArray payload;
    bool operator==(const Marker&) const = default;
};

// `jpeg` (a complete JPEG file) with `markers` placed right after its start marker, in
// the order given.
[[nodiscard]] QByteArray withMarkers(const QByteArray& jpeg, const std::vector<Marker>& markers);

// The markers between the start marker and the first scan, in file order.
[[nodiscard]] std::vector<Marker> markersOf(const QByteArray& jpeg);

// An APP1 EXIF payload (little-endian TIFF): a camera make in the main image's
// directory (IFD 0), the orientation `mainOrientation` there when it is not 0, and a
// thumbnail directory (IFD 1) holding only `thumbnailOrientation` when that is not 0.
[[nodiscard]] QByteArray exifBlock(int mainOrientation, int thumbnailOrientation = 0);

// An APP1 EXIF payload of about `sharedBytes` bytes whose text tags (description, make,
// model, software, artist, copyright) all point at one shared string of that length:
// valid, and six times as large once rewritten with every tag's data of its own.
[[nodiscard]] QByteArray exifWithSharedText(int sharedBytes);

// Typical XMP and IPTC payloads.
[[nodiscard]] QByteArray xmpPacket(const QByteArray& title);
[[nodiscard]] QByteArray iptcBlock(const QByteArray& caption);
// Photoshop's image resources (id and data, each "8BIM" with an empty name), without the
// APP13 header, as they run on across markers.
struct PhotoshopResource {
    std::uint16_t id = 0;
    QByteArray data;
};
[[nodiscard]] QByteArray photoshopResources(const std::vector<PhotoshopResource>& resources);

}  // namespace vellora::test
