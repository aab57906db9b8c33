#include "jpeg_markers.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "byte_order.h"
#include "exif_metadata.h"
#include "libjpeg_bridge.h"

namespace vellora::imaging {
namespace {

constexpr std::uint8_t kExifHeader[6] = {'E', 'x', 'i', 'f', 0, 0};

constexpr char kPhotoshopHeader[] = "Photoshop 3.0";  // and its NUL

bool isPhotoshop(const CarriedMarker& marker) {
    return marker.code == kIptcMarker && marker.payload.size() >= sizeof kPhotoshopHeader &&
           std::memcmp(marker.payload.data(), kPhotoshopHeader, sizeof kPhotoshopHeader) == 0;
}

// The signatures Photoshop and its peers give image resources.
bool isResourceSignature(const std::uint8_t* bytes) {
    for (const char* signature : {"8BIM", "PHUT", "AgHg", "DCSR", "MeSa"}) {
        if (std::memcmp(bytes, signature, 4) == 0) {
            return true;
        }
    }
    return false;
}

bool startsWith(const jpeg_saved_marker_ptr marker, const void* header, std::size_t size) {
    return marker->data_length >= size && std::memcmp(marker->data, header, size) == 0;
}

bool isXmp(const jpeg_saved_marker_ptr marker) {
    return startsWith(marker, kXmpHeader.data(), kXmpHeader.size()) ||
           startsWith(marker, kExtendedXmpHeader.data(), kExtendedXmpHeader.size());
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

void dropStalePhotoshopResources(std::vector<CarriedMarker>& markers, bool quarterTurn) {
    constexpr std::size_t kHeaderSize = sizeof kPhotoshopHeader;
    std::vector<std::uint8_t> joined;
    std::size_t first = markers.size();
    for (std::size_t i = 0; i < markers.size(); ++i) {
        if (isPhotoshop(markers[i])) {
            first = std::min(first, i);
            joined.insert(joined.end(), markers[i].payload.begin() + kHeaderSize,
                          markers[i].payload.end());
        }
    }

    // Each resource: signature (4), id (2), name (a length byte and the name, padded to an
    // even count), data size (4), data (padded to even).
    std::vector<std::uint8_t> kept;
    bool changed = false;
    std::size_t at = 0;
    while (at + 12 <= joined.size() && isResourceSignature(joined.data() + at)) {
        const std::uint8_t* resource = joined.data() + at;
        const unsigned id = (unsigned{resource[4]} << 8) | resource[5];
        const std::size_t sizeAt = at + 6 + ((std::size_t{resource[6]} + 2) & ~std::size_t{1});
        if (sizeAt + 4 > joined.size()) {
            break;
        }
        const std::size_t size = bigEndian32(&joined[sizeAt]);
        const std::size_t dataEnd = sizeAt + 4 + size;
        if (dataEnd > joined.size()) {
            break;
        }
        // The last resource's padding byte is sometimes left out.
        const std::size_t end = std::min(dataEnd + (size & 1), joined.size());
        if (id == 0x0409 || id == 0x040C || id == 0x0422 || id == 0x0424 || id == 0x040F) {
            changed = true;
        } else {
            const std::size_t from = kept.size();
            kept.insert(kept.end(), joined.begin() + static_cast<std::ptrdiff_t>(at),
                        joined.begin() + static_cast<std::ptrdiff_t>(end));
            // The resolution across (4 bytes, then its unit and the width's unit, 2 each)
            // and down (the same): swapped with the pixels, as the JFIF and EXIF ones are.
            constexpr std::size_t kResolutionHalf = 8;
            if (id == 0x03ED && quarterTurn && size >= 2 * kResolutionHalf) {
                const auto data =
                    kept.begin() + static_cast<std::ptrdiff_t>(from + (sizeAt + 4 - at));
                std::swap_ranges(data, data + kResolutionHalf, data + kResolutionHalf);
                changed = true;
            }
        }
        at = end;
    }
    if (!changed) {
        return;
    }
    // What could not be read goes on as it was.
    kept.insert(kept.end(), joined.begin() + static_cast<std::ptrdiff_t>(at), joined.end());

    std::vector<CarriedMarker> rebuilt;
    for (std::size_t i = 0; i < markers.size(); ++i) {
        if (i == first) {
            constexpr std::size_t kRoom = kMaxMarkerPayload - kHeaderSize;
            for (std::size_t from = 0; from < kept.size(); from += kRoom) {
                const std::size_t to = std::min(kept.size(), from + kRoom);
                CarriedMarker part{kIptcMarker, {kPhotoshopHeader, kPhotoshopHeader + kHeaderSize}};
                part.payload.insert(part.payload.end(),
                                    kept.begin() + static_cast<std::ptrdiff_t>(from),
                                    kept.begin() + static_cast<std::ptrdiff_t>(to));
                rebuilt.push_back(std::move(part));
            }
        } else if (!isPhotoshop(markers[i])) {
            rebuilt.push_back(std::move(markers[i]));
        }
    }
    markers = std::move(rebuilt);
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
