#pragma once
// The markers before a JPEG's first scan that describe the picture, and the one place
// that decides which of them is its EXIF block. The image library's reader and the
// windows' picture loader both go through here, so every view of a file turns it the
// same way.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string_view>
#include <vector>

#include <jpeglib.h>

namespace vellora::imaging {

inline constexpr int kExifMarker = JPEG_APP0 + 1;
inline constexpr int kIccMarker = JPEG_APP0 + 2;
inline constexpr int kIptcMarker = JPEG_APP0 + 13;
inline constexpr int kCommentMarker = JPEG_COM;

// The headers of an XMP packet's APP1 marker, standard and extended, each with its NUL.
inline constexpr std::string_view kXmpHeader{"http://ns.adobe.com/xap/1.0/\0", 29};
inline constexpr std::string_view kExtendedXmpHeader{"http://ns.adobe.com/xmp/extension/\0", 35};

// The most bytes one marker can carry (its 16-bit length counts itself).
inline constexpr std::size_t kMaxMarkerPayload = 65533;

// A marker carried from the input to the output as it was.
struct CarriedMarker {
    int code = 0;  // kExifMarker (XMP), kIptcMarker or kCommentMarker
    std::vector<std::uint8_t> payload;
};

// Asks libjpeg to keep the markers read below; call before jpeg_read_header.
void saveDescriptiveMarkers(jpeg_decompress_struct* info);

// The first APP1 marker that holds EXIF data ("Exif\0\0"), wherever it stands among
// the other APP1 markers (XMP often comes first), or an empty span.
[[nodiscard]] std::span<const std::uint8_t> exifPayload(const jpeg_decompress_struct& info);

// The comments, XMP packets (standard and extended) and IPTC (APP13) blocks, in the
// order of the file.
[[nodiscard]] std::vector<CarriedMarker> carriedMarkers(const jpeg_decompress_struct& info);

// Photoshop's image resources (APP13) without those that describe the pixels as they were
// read, for pixels re-encoded and perhaps cropped and turned upright: the thumbnails
// (0x0409, 0x040C), which like the EXIF one would show a cut-out what was cut away, and
// Photoshop's own copies of the EXIF block, the XMP packet and the colour profile
// (0x0422, 0x0424, 0x040F), which JPEG keeps in markers of their own and which would
// contradict them (an orientation, a thumbnail, a CMYK profile on RGB pixels).
// On a quarter turn (`quarterTurn`) the resolution across and down (0x03ED) is swapped.
// Resources that run on across several markers are joined to be read and split again
// as they fit; markers without any of these are left byte for byte as they came.
void dropStalePhotoshopResources(std::vector<CarriedMarker>& markers, bool quarterTurn);

// The markers as one byte string for a picture buffer, and back. Each marker is its
// code (1 byte), its payload's length (2 bytes, big-endian) and the payload. Decoding
// stops at the first entry that does not fit.
[[nodiscard]] std::vector<std::uint8_t> packMarkers(const std::vector<CarriedMarker>& markers);
[[nodiscard]] std::vector<CarriedMarker> unpackMarkers(std::span<const std::uint8_t> packed);

// The EXIF orientation (1 to 8) of the JPEG file at `path`: the first EXIF block's
// main-image orientation, read with libexif as the image library reads it. 1 when the
// file has none or cannot be read.
[[nodiscard]] int jpegFileOrientation(const char* path);

}  // namespace vellora::imaging
