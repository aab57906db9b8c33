// The image library's six entries. Every entry catches everything: no exception may
// cross the C boundary, and a failure is a null handle or status 0 with its reason in
// ImgDLLGetLastError on the calling thread.

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "exif_metadata.h"
#include "file_io.h"
#include "imgdll_api.h"
#include "jpeg_encoder.h"
#include "jpeg_markers.h"
#include "picture_readers.h"
#include "rgb_buffer.h"
#include "xmp_packets.h"

namespace vellora::imaging {
namespace {

thread_local std::string t_lastError;

void clearError() {
    t_lastError.clear();
}

void setError(std::string text) noexcept {
    try {
        t_lastError = std::move(text);
    } catch (...) {
        t_lastError.clear();
    }
}

void setCurrentException(const char* entry) noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        setError(std::string(entry) + ": out of memory");
    } catch (const std::exception& error) {
        setError(std::string(entry) + ": " + error.what());
    } catch (...) {
        setError(std::string(entry) + ": unexpected failure");
    }
}

void* readPicture(ReadResult (*reader)(const char*), const char* path, std::int32_t* width,
                  std::int32_t* height) {
    ReadResult result = reader(path);
    if (!result.handle) {
        setError(result.error.empty() ? "cannot read the picture" : result.error);
        return nullptr;
    }
    if (width) {
        *width = result.width;
    }
    if (height) {
        *height = result.height;
    }
    return result.handle;
}

std::string sizeText(std::int64_t width, std::int64_t height) {
    return std::to_string(width) + " x " + std::to_string(height);
}

constexpr std::int32_t kKnownSaveFlags =
    IMGDLL_SAVE_BEST | IMGDLL_SAVE_STRIP_EXIF | IMGDLL_SAVE_STRIP_ICC;

// A file starts with SOI and ends with EOI: the encoder finished it.
bool completeJpeg(const std::vector<std::uint8_t>& bytes) {
    const std::size_t size = bytes.size();
    return size >= 4 && bytes[0] == 0xFF && bytes[1] == 0xD8 && bytes[size - 2] == 0xFF &&
           bytes[size - 1] == 0xD9;
}

// A rewritten EXIF block can outgrow the one marker it must fit in (libexif lays out
// data that the camera's block shared between tags once per tag). It cannot be
// written then: left out, with the reason, which the caller gets as the note of a
// successful save. Empty when the block fits.
std::string exifThatCannotBeCarried(std::vector<std::uint8_t>& exif) {
    if (exif.size() <= kMaxMarkerPayload) {
        return {};
    }
    const std::size_t size = exif.size();
    exif.clear();
    return "saved without the EXIF block: it is " + std::to_string(size) +
           " bytes, more than the " + std::to_string(kMaxMarkerPayload) +
           " one JPEG marker can hold";
}

}  // namespace
}  // namespace vellora::imaging

using namespace vellora::imaging;

extern "C" {

IMGDLL_API int32_t ImgDLLStringInitDLL(const char* /*init*/) {
    try {
        clearError();
        raiseQtAllocationLimit();
    } catch (...) {
        setCurrentException("ImgDLLStringInitDLL");
    }
    return 1;
}

IMGDLL_API void* ImgDLLReadRGBFromJPG(const char* path, int32_t* width, int32_t* height) {
    try {
        clearError();
        return readPicture(readJpegFile, path, width, height);
    } catch (...) {
        setCurrentException("ImgDLLReadRGBFromJPG");
        return nullptr;
    }
}

IMGDLL_API void* ImgDLLReadRGBFromBMP(const char* path, int32_t* width, int32_t* height) {
    try {
        clearError();
        return readPicture(readBmpFile, path, width, height);
    } catch (...) {
        setCurrentException("ImgDLLReadRGBFromBMP");
        return nullptr;
    }
}

IMGDLL_API void* ImgDLLCropRGB(void* source, int32_t width, int32_t height, int32_t left,
                               int32_t top, int32_t right, int32_t bottom) {
    try {
        clearError();
        const RgbBufferView view(source);
        if (!view.valid()) {
            setError("cannot crop: " + view.error());
            return nullptr;
        }
        const RgbBufferHeader& header = view.header();
        if (width != header.width || height != header.height) {
            setError("cannot crop: the picture is " + sizeText(header.width, header.height) +
                     " pixels, not " + sizeText(width, height));
            return nullptr;
        }
        // 64-bit arithmetic: the caller's numbers may be anything a 32-bit int holds.
        const std::int64_t requestedWidth = std::int64_t{right} - left;
        const std::int64_t requestedHeight = std::int64_t{bottom} - top;
        const std::int64_t clippedLeft = std::max<std::int64_t>(left, 0);
        const std::int64_t clippedTop = std::max<std::int64_t>(top, 0);
        const std::int64_t clippedRight = std::min<std::int64_t>(right, header.width);
        const std::int64_t clippedBottom = std::min<std::int64_t>(bottom, header.height);
        if (requestedWidth <= 0 || requestedHeight <= 0 || clippedRight <= clippedLeft ||
            clippedBottom <= clippedTop) {
            setError("cannot crop: the rectangle from (" + std::to_string(left) + ", " +
                     std::to_string(top) + ") to (" + std::to_string(right) + ", " +
                     std::to_string(bottom) + ") does not overlap the " +
                     sizeText(header.width, header.height) + " picture");
            return nullptr;
        }
        const int cutWidth = static_cast<int>(clippedRight - clippedLeft);
        const int cutHeight = static_cast<int>(clippedBottom - clippedTop);
        // Where the subject and the named areas (faces) are no longer holds for a cut-out:
        // left as they were, they would name people or things at places cut away.
        const bool cut = cutWidth != header.width || cutHeight != header.height;
        std::vector<std::uint8_t> exif(view.exif().begin(), view.exif().end());
        std::vector<std::uint8_t> markers(view.markers().begin(), view.markers().end());
        if (cut) {
            exif = exifWithoutSubject(exif);
            std::vector<CarriedMarker> carried = unpackMarkers(markers);
            dropXmpProperties(carried, kXmpRegions);
            markers = packMarkers(carried);
        }
        RgbBufferWriter writer(cutWidth, cutHeight, exif, view.icc(), requestedWidth,
                               requestedHeight, markers);
        if (!writer.valid()) {
            setError("cannot crop: " + writer.error());
            return nullptr;
        }
        writer.setDensity(view.density());
        const auto rowBytes = static_cast<std::size_t>(cutWidth) * kBytesPerPixel;
        for (int y = 0; y < cutHeight; ++y) {
            const std::uint8_t* from =
                view.pixels() + (clippedTop + y) * header.stride + clippedLeft * kBytesPerPixel;
            std::memcpy(writer.pixels() + y * writer.stride(), from, rowBytes);
        }
        return writer.release();
    } catch (...) {
        setCurrentException("ImgDLLCropRGB");
        return nullptr;
    }
}

IMGDLL_API int32_t ImgDLLSaveRGBToJPG(const char* path, void* buffer, int32_t width, int32_t height,
                                      int32_t quality, int32_t flag) {
    try {
        clearError();
        if (!path || !*path) {
            setError("cannot save: no file name given");
            return 0;
        }
        const RgbBufferView view(buffer);
        if (!view.valid()) {
            setError("cannot save: " + view.error());
            return 0;
        }
        const RgbBufferHeader& header = view.header();
        const bool realSize = width == header.width && height == header.height;
        const bool requestedSize =
            width == header.requestedWidth && height == header.requestedHeight;
        if (!realSize && !requestedSize) {
            std::string expected = sizeText(header.width, header.height);
            if (header.requestedWidth != header.width || header.requestedHeight != header.height) {
                expected += " (or " + sizeText(header.requestedWidth, header.requestedHeight) +
                            " as the crop was asked for)";
            }
            setError("cannot save: the picture is " + expected + " pixels, not " +
                     sizeText(width, height));
            return 0;
        }
        if ((flag & ~kKnownSaveFlags) != 0) {
            setError("cannot save: unknown flag bits in " + std::to_string(flag));
            return 0;
        }

        PixelView pixels;
        pixels.pixels = view.pixels();
        pixels.width = header.width;
        pixels.height = header.height;
        pixels.stride = static_cast<std::ptrdiff_t>(header.stride);
        pixels.channels = kBytesPerPixel;
        JpegMetadata metadata;
        metadata.density = view.density();  // how large it prints: not descriptive, kept
        std::string note;
        if ((flag & IMGDLL_SAVE_STRIP_EXIF) == 0) {
            // A turned or cut picture no longer has the size the camera wrote down.
            metadata.exif = exifWithPixelSize(view.exif(), header.width, header.height);
            metadata.markers = unpackMarkers(view.markers());
            // As in the EXIF block: a size a viewer would show for a picture turned or cut.
            editXmp(metadata.markers, [&header](std::string& text) {
                return setXmpPixelSize(text, header.width, header.height);
            });
            note = exifThatCannotBeCarried(metadata.exif);
        }
        if ((flag & IMGDLL_SAVE_STRIP_ICC) == 0) {
            metadata.icc.assign(view.icc().begin(), view.icc().end());
        }
        const EncoderKind kind =
            (flag & IMGDLL_SAVE_BEST) != 0 ? EncoderKind::Best : EncoderKind::Standard;
        const EncodedJpeg encoded = encodeJpeg(pixels, std::clamp(quality, 1, 100), kind, metadata);
        if (!encoded.ok() || !completeJpeg(encoded.bytes)) {
            setError("cannot save: " + (encoded.error.empty()
                                            ? std::string("the encoder produced no complete file")
                                            : encoded.error));
            return 0;
        }
        std::string ownership;
        if (std::string error = replaceFileAtomically(path, encoded.bytes, &ownership);
            !error.empty()) {
            setError(error);
            return 0;
        }
        if (!ownership.empty()) {
            note += (note.empty() ? "" : "; ") + ("'" + std::string(path) + "' is " + ownership);
        }
        // Saved; what could not come along is told, not dropped in silence.
        setError(std::move(note));
        return 1;
    } catch (...) {
        setCurrentException("ImgDLLSaveRGBToJPG");
        return 0;
    }
}

IMGDLL_API const char* ImgDLLGetLastError(void) {
    return t_lastError.c_str();
}

}  // extern "C"
