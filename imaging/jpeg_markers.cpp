#include "jpeg_markers.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>

#include "exif_metadata.h"
#include "libjpeg_bridge.h"

namespace vellora::imaging {
namespace {

constexpr std::uint8_t kExifHeader[6] = {'E', 'x', 'i', 'f', 0, 0};
constexpr char kXmpHeader[] = "http://ns.adobe.com/xap/1.0/";                // and its NUL
constexpr char kExtendedXmpHeader[] = "http://ns.adobe.com/xmp/extension/";  // and its NUL

bool startsWith(const jpeg_saved_marker_ptr marker, const void* header, std::size_t size) {
    return marker->data_length >= size && std::memcmp(marker->data, header, size) == 0;
}

bool isXmp(const jpeg_saved_marker_ptr marker) {
    return startsWith(marker, kXmpHeader, sizeof kXmpHeader) ||
           startsWith(marker, kExtendedXmpHeader, sizeof kExtendedXmpHeader);
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

void saveDescriptiveMarkers(jpeg_decompress_struct* info) {
    jpeg_save_markers(info, kExifMarker, 0xFFFF);
    jpeg_save_markers(info, kIptcMarker, 0xFFFF);
    jpeg_save_markers(info, kCommentMarker, 0xFFFF);
}

std::span<const std::uint8_t> exifPayload(const jpeg_decompress_struct& info) {
    for (jpeg_saved_marker_ptr marker = info.marker_list; marker; marker = marker->next) {
        if (marker->marker == kExifMarker && startsWith(marker, kExifHeader, sizeof kExifHeader)) {
            return {marker->data, marker->data_length};
        }
    }
    return {};
}

std::vector<CarriedMarker> carriedMarkers(const jpeg_decompress_struct& info) {
    std::vector<CarriedMarker> markers;
    for (jpeg_saved_marker_ptr marker = info.marker_list; marker; marker = marker->next) {
        const bool carried = (marker->marker == kExifMarker && isXmp(marker)) ||
                             marker->marker == kIptcMarker || marker->marker == kCommentMarker;
        // A marker cut short by a damaged length is left out rather than copied short.
        if (carried && marker->data_length == marker->original_length) {
            markers.push_back({marker->marker, {marker->data, marker->data + marker->data_length}});
        }
    }
    return markers;
}

void markXmpUpright(std::vector<CarriedMarker>& markers) {
    static constexpr char kProperty[] = "tiff:Orientation";
    constexpr std::size_t kPropertySize = sizeof kProperty - 1;
    for (CarriedMarker& marker : markers) {
        std::vector<std::uint8_t>& bytes = marker.payload;
        // The standard packet only: an extended one is checked against its digest.
        if (marker.code != kExifMarker || bytes.size() < sizeof kXmpHeader ||
            std::memcmp(bytes.data(), kXmpHeader, sizeof kXmpHeader) != 0) {
            continue;
        }
        for (std::size_t at = 0; at + kPropertySize < bytes.size(); ++at) {
            if (std::memcmp(bytes.data() + at, kProperty, kPropertySize) != 0) {
                continue;
            }
            // tiff:Orientation="6" (an attribute) or <tiff:Orientation>6< (an element):
            // the digit becomes 1, so the packet keeps its length.
            std::size_t value = at + kPropertySize;
            const auto skipSpace = [&] {
                while (value < bytes.size() && std::isspace(bytes[value])) {
                    ++value;
                }
            };
            skipSpace();
            if (value < bytes.size() && bytes[value] == '=') {
                ++value;
                skipSpace();
                if (value < bytes.size() && (bytes[value] == '"' || bytes[value] == '\'')) {
                    ++value;
                }
            } else if (value < bytes.size() && bytes[value] == '>') {
                ++value;
                skipSpace();
            } else {
                continue;
            }
            if (value < bytes.size() && bytes[value] >= '2' && bytes[value] <= '8' &&
                value + 1 < bytes.size() && !std::isdigit(bytes[value + 1])) {
                bytes[value] = '1';
            }
        }
    }
}

std::vector<std::uint8_t> packMarkers(const std::vector<CarriedMarker>& markers) {
    std::vector<std::uint8_t> packed;
    for (const CarriedMarker& marker : markers) {
        if (marker.payload.size() > kMaxMarkerPayload) {
            continue;
        }
        packed.push_back(static_cast<std::uint8_t>(marker.code));
        packed.push_back(static_cast<std::uint8_t>(marker.payload.size() >> 8));
        packed.push_back(static_cast<std::uint8_t>(marker.payload.size() & 0xFF));
        packed.insert(packed.end(), marker.payload.begin(), marker.payload.end());
    }
    return packed;
}

std::vector<CarriedMarker> unpackMarkers(std::span<const std::uint8_t> packed) {
    std::vector<CarriedMarker> markers;
    std::size_t at = 0;
    while (at + 3 <= packed.size()) {
        const std::size_t length = (std::size_t{packed[at + 1]} << 8) | packed[at + 2];
        if (at + 3 + length > packed.size()) {
            break;
        }
        markers.push_back({packed[at],
                           {packed.begin() + static_cast<std::ptrdiff_t>(at + 3),
                            packed.begin() + static_cast<std::ptrdiff_t>(at + 3 + length)}});
        at += 3 + length;
    }
    return markers;
}

int jpegFileOrientation(const char* path) {
    if (!path || !*path) {
        return 1;
    }
    std::unique_ptr<std::FILE, FileCloser> stream(std::fopen(path, "rb"));
    if (!stream) {
        return 1;
    }
    jpeg::Decompressor decompressor;
    if (!decompressor.valid()) {
        return 1;
    }
    jpeg_decompress_struct* info = decompressor.info();
    std::FILE* input = stream.get();
    if (!jpeg::runGuarded(decompressor.bridge(), [&] {
            jpeg_stdio_src(info, input);
            saveDescriptiveMarkers(info);
            (void)jpeg_read_header(info, TRUE);
        })) {
        return 1;
    }
    return exifOrientation(exifPayload(*info));
}

}  // namespace vellora::imaging
