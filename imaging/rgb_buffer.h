#pragma once
// The layout of the picture buffers the image library hands out. Each buffer is one
// movable memory block (globalmem.h) laid out as:
//
//   offset 0                       RgbBufferHeader (kHeaderBytes bytes)
//   kHeaderBytes                   pixels: `height` rows of `width` pixels, top row
//                                  first, 3 bytes per pixel (R, G, B), rows packed
//                                  (stride == width * 3, no padding)
//   + stride * height              the EXIF block (exifBytes bytes, APP1 payload
//                                  starting "Exif\0\0", orientation 1, no thumbnail)
//   + exifBytes                    the ICC colour profile (iccBytes bytes: RGB, or
//                                  grey from a grey file)
//   + iccBytes                     the other carried markers (markerBytes bytes:
//                                  comments, XMP, IPTC, packed as in jpeg_markers.h)
//
// The header also carries the pixels' density (pixel_density.h), for the saved file's
// JFIF header.
//
// The block's size is exactly the sum of these parts; together with the magic that is
// how crop and save recognise a buffer of ours behind the pointer a caller passes. The
// header records the size a crop was asked for before clipping, so that save accepts
// the caller's unclipped numbers for a cut-out that was clipped to the picture.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>

#include "pixel_density.h"
#include "platform/globalmem.h"

namespace vellora::imaging {

inline constexpr std::uint32_t kRgbBufferMagic = 0x42475256;  // "VRGB" in memory

struct RgbBufferHeader {
    std::uint32_t magic = kRgbBufferMagic;
    std::uint32_t headerBytes = 0;  // sizeof(RgbBufferHeader): the pixels' offset
    std::int32_t width = 0;         // pixels the buffer holds
    std::int32_t height = 0;
    std::int64_t stride = 0;          // bytes from one row to the next (width * 3)
    std::int64_t requestedWidth = 0;  // the crop's unclipped size; width for reads
    std::int64_t requestedHeight = 0;
    std::uint32_t exifBytes = 0;
    std::uint32_t iccBytes = 0;
    std::uint32_t markerBytes = 0;
    std::uint16_t densityX = 1;  // PixelDensity
    std::uint16_t densityY = 1;
    std::uint8_t densityUnit = 0;
    std::uint8_t unused[7] = {};
};

inline constexpr std::size_t kHeaderBytes = sizeof(RgbBufferHeader);
inline constexpr int kBytesPerPixel = 3;

// A block this library allocated and has not handed out yet: freed unless released.
class OwnedBlock {
public:
    OwnedBlock() = default;
    explicit OwnedBlock(HGLOBAL handle) : m_handle(handle) {}
    OwnedBlock(const OwnedBlock&) = delete;
    OwnedBlock& operator=(const OwnedBlock&) = delete;
    OwnedBlock(OwnedBlock&& other) noexcept : m_handle(std::exchange(other.m_handle, nullptr)) {}
    OwnedBlock& operator=(OwnedBlock&& other) noexcept {
        if (this != &other) {
            reset();
            m_handle = std::exchange(other.m_handle, nullptr);
        }
        return *this;
    }
    ~OwnedBlock() { reset(); }

    [[nodiscard]] HGLOBAL handle() const { return m_handle; }
    [[nodiscard]] explicit operator bool() const { return m_handle != nullptr; }
    // Hands the block to the caller; this owner forgets it.
    [[nodiscard]] HGLOBAL release() { return std::exchange(m_handle, nullptr); }
    void reset() {
        if (m_handle) {
            GlobalFree(m_handle);
            m_handle = nullptr;
        }
    }

private:
    HGLOBAL m_handle = nullptr;
};

// A new buffer being filled: the block, locked for writing, unlocked by release().
class RgbBufferWriter {
public:
    // Allocates a buffer for width x height pixels with room for the metadata, and
    // writes its header. Fails (valid() false, error() says why) when memory is short.
    RgbBufferWriter(int width, int height, std::span<const std::uint8_t> exif,
                    std::span<const std::uint8_t> icc, std::int64_t requestedWidth,
                    std::int64_t requestedHeight, std::span<const std::uint8_t> markers = {});
    ~RgbBufferWriter();
    RgbBufferWriter(const RgbBufferWriter&) = delete;
    RgbBufferWriter& operator=(const RgbBufferWriter&) = delete;

    [[nodiscard]] bool valid() const { return m_base != nullptr; }
    [[nodiscard]] const std::string& error() const { return m_error; }
    [[nodiscard]] std::uint8_t* pixels() const { return m_base + kHeaderBytes; }
    [[nodiscard]] std::ptrdiff_t stride() const { return m_stride; }
    void setDensity(PixelDensity density);
    // Unlocks the block and hands its handle to the caller.
    [[nodiscard]] HGLOBAL release();

private:
    OwnedBlock m_block;
    std::uint8_t* m_base = nullptr;
    std::ptrdiff_t m_stride = 0;
    std::string m_error;
};

// A caller's buffer, checked: the pointer is the start of a live block, the block
// carries our header, and the header agrees with the block's size.
class RgbBufferView {
public:
    // Fails (valid() false, error() says why) for anything else.
    explicit RgbBufferView(const void* pointer);

    [[nodiscard]] bool valid() const { return m_base != nullptr; }
    [[nodiscard]] const std::string& error() const { return m_error; }
    [[nodiscard]] const RgbBufferHeader& header() const { return m_header; }
    [[nodiscard]] const std::uint8_t* pixels() const { return m_base + kHeaderBytes; }
    [[nodiscard]] std::span<const std::uint8_t> exif() const;
    [[nodiscard]] std::span<const std::uint8_t> icc() const;
    [[nodiscard]] PixelDensity density() const {
        return {m_header.densityUnit, m_header.densityX, m_header.densityY};
    }
    [[nodiscard]] std::span<const std::uint8_t> markers() const;

private:
    const std::uint8_t* m_base = nullptr;
    RgbBufferHeader m_header;
    std::string m_error;
};

// The largest picture the library reads or makes, in pixels (see rgb_buffer.cpp).
inline constexpr std::int64_t kMaxPixels = 200'000'000;

// "" when a width x height picture is within the pixel limit and `extraBytes` more
// besides its buffer fit the machine's memory; otherwise the reason it is refused.
[[nodiscard]] std::string checkPictureSize(std::int64_t width, std::int64_t height,
                                           std::int64_t extraBytes = 0);

}  // namespace vellora::imaging
