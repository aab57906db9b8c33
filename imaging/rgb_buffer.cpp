#include "rgb_buffer.h"

#include <unistd.h>

#include <cstring>
#include <limits>

namespace vellora::imaging {
namespace {

constexpr std::int64_t kMaxBlockBytes = std::numeric_limits<std::int64_t>::max() / 4;

// Bytes of a buffer with these parts, or -1 when the sum does not fit.
std::int64_t bufferBytes(std::int64_t width, std::int64_t height, std::uint64_t exifBytes,
                         std::uint64_t iccBytes) {
    if (width <= 0 || height <= 0 || width > kMaxBlockBytes / kBytesPerPixel) {
        return -1;
    }
    const std::int64_t stride = width * kBytesPerPixel;
    if (height > (kMaxBlockBytes - static_cast<std::int64_t>(kHeaderBytes)) / stride) {
        return -1;
    }
    const std::int64_t pixels = stride * height;
    const std::uint64_t metadata = exifBytes + iccBytes;
    if (metadata > static_cast<std::uint64_t>(kMaxBlockBytes) - kHeaderBytes -
                       static_cast<std::uint64_t>(pixels)) {
        return -1;
    }
    return static_cast<std::int64_t>(kHeaderBytes) + pixels + static_cast<std::int64_t>(metadata);
}

std::int64_t physicalMemoryBytes() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0) {
        return std::numeric_limits<std::int64_t>::max();  // unknown: only the pixel limit
    }
    return static_cast<std::int64_t>(pages) * pageSize;
}

}  // namespace

// Why 200 million pixels: the largest cameras sold today make 100-megapixel (11648 x
// 8736) and 150-megapixel (14204 x 10652) photos, and stitched panoramas go beyond;
// all of these must open. At 3 bytes a pixel the limit keeps one buffer under 600 MB,
// so the crop pass, which holds the source and the cut-out, stays within reach of an
// ordinary desktop, and a forged header cannot make us reserve gigabytes. libjpeg
// allows 65500 pixels a side (4.3 gigapixels); Qt 6's BMP reader has no side limit of
// its own, so the readers also refuse sides a JPEG cannot hold (picture_checks.h).
std::string checkPictureSize(std::int64_t width, std::int64_t height, std::int64_t extraBytes) {
    if (width <= 0 || height <= 0) {
        return "the picture has no pixels (" + std::to_string(width) + " x " +
               std::to_string(height) + ")";
    }
    if (width > kMaxPixels / height || width * height > kMaxPixels) {
        return "picture too large: " + std::to_string(width) + " x " + std::to_string(height) +
               " pixels exceeds the limit of " + std::to_string(kMaxPixels) + " pixels";
    }
    const std::int64_t needed = width * height * kBytesPerPixel + extraBytes;
    // More than half the machine's memory for one picture would push everything else
    // out; refuse before allocating rather than fail (or swap) half-way.
    const std::int64_t available = physicalMemoryBytes() / 2;
    if (needed > available) {
        return "not enough memory: a " + std::to_string(width) + " x " + std::to_string(height) +
               " picture needs " + std::to_string(needed / (1024 * 1024)) +
               " MB, more than half of this machine's memory";
    }
    return {};
}

RgbBufferWriter::RgbBufferWriter(int width, int height, std::span<const std::uint8_t> exif,
                                 std::span<const std::uint8_t> icc, std::int64_t requestedWidth,
                                 std::int64_t requestedHeight,
                                 std::span<const std::uint8_t> markers) {
    const std::int64_t total =
        bufferBytes(width, height, exif.size(), std::uint64_t{icc.size()} + markers.size());
    if (total < 0 || exif.size() > std::numeric_limits<std::uint32_t>::max() ||
        icc.size() > std::numeric_limits<std::uint32_t>::max() ||
        markers.size() > std::numeric_limits<std::uint32_t>::max()) {
        m_error = "picture too large: " + std::to_string(width) + " x " + std::to_string(height);
        return;
    }
    m_block = OwnedBlock(GlobalAlloc(GMEM_MOVEABLE, static_cast<std::size_t>(total)));
    if (!m_block) {
        m_error = "out of memory: cannot allocate " + std::to_string(total / (1024 * 1024)) +
                  " MB for a " + std::to_string(width) + " x " + std::to_string(height) +
                  " picture";
        return;
    }
    m_base = static_cast<std::uint8_t*>(GlobalLock(m_block.handle()));
    if (!m_base) {
        m_error = "cannot lock a new picture buffer";
        m_block.reset();
        return;
    }
    m_stride = static_cast<std::ptrdiff_t>(width) * kBytesPerPixel;

    RgbBufferHeader header;
    header.headerBytes = static_cast<std::uint32_t>(kHeaderBytes);
    header.width = width;
    header.height = height;
    header.stride = m_stride;
    header.requestedWidth = requestedWidth;
    header.requestedHeight = requestedHeight;
    header.exifBytes = static_cast<std::uint32_t>(exif.size());
    header.iccBytes = static_cast<std::uint32_t>(icc.size());
    header.markerBytes = static_cast<std::uint32_t>(markers.size());
    std::memcpy(m_base, &header, sizeof header);

    std::uint8_t* metadata = pixels() + m_stride * height;
    if (!exif.empty()) {
        std::memcpy(metadata, exif.data(), exif.size());
    }
    if (!icc.empty()) {
        std::memcpy(metadata + exif.size(), icc.data(), icc.size());
    }
    if (!markers.empty()) {
        std::memcpy(metadata + exif.size() + icc.size(), markers.data(), markers.size());
    }
}

RgbBufferWriter::~RgbBufferWriter() {
    if (m_base) {
        GlobalUnlock(m_block.handle());
    }
}

void RgbBufferWriter::setDensity(PixelDensity density) {
    if (!m_base) {
        return;
    }
    RgbBufferHeader header;
    std::memcpy(&header, m_base, sizeof header);
    header.densityUnit = density.unit;
    header.densityX = density.x;
    header.densityY = density.y;
    std::memcpy(m_base, &header, sizeof header);
}

HGLOBAL RgbBufferWriter::release() {
    if (m_base) {
        GlobalUnlock(m_block.handle());
        m_base = nullptr;
    }
    return m_block.release();
}

RgbBufferView::RgbBufferView(const void* pointer) {
    if (!pointer) {
        m_error = "the picture buffer pointer is null";
        return;
    }
    HGLOBAL handle = GlobalHandle(pointer);
    if (!handle) {
        m_error = "the pointer is not the address of a locked picture buffer";
        return;
    }
    const std::size_t size = GlobalSize(handle);
    if (size < kHeaderBytes) {
        m_error = "the memory block is not a picture buffer (too small)";
        return;
    }
    std::memcpy(&m_header, pointer, sizeof m_header);
    if (m_header.magic != kRgbBufferMagic || m_header.headerBytes != kHeaderBytes) {
        m_error = "the memory block is not a picture buffer of this library";
        return;
    }
    const std::int64_t expected =
        bufferBytes(m_header.width, m_header.height, m_header.exifBytes,
                    std::uint64_t{m_header.iccBytes} + m_header.markerBytes);
    if (expected < 0 || m_header.stride != std::int64_t{m_header.width} * kBytesPerPixel ||
        static_cast<std::uint64_t>(expected) != size || m_header.requestedWidth <= 0 ||
        m_header.requestedHeight <= 0) {
        m_error = "the picture buffer is damaged: its header does not match its size";
        return;
    }
    m_base = static_cast<const std::uint8_t*>(pointer);
}

std::span<const std::uint8_t> RgbBufferView::exif() const {
    const std::uint8_t* start = pixels() + m_header.stride * m_header.height;
    return {start, m_header.exifBytes};
}

std::span<const std::uint8_t> RgbBufferView::icc() const {
    const std::uint8_t* start = pixels() + m_header.stride * m_header.height + m_header.exifBytes;
    return {start, m_header.iccBytes};
}

std::span<const std::uint8_t> RgbBufferView::markers() const {
    const std::uint8_t* start =
        pixels() + m_header.stride * m_header.height + m_header.exifBytes + m_header.iccBytes;
    return {start, m_header.markerBytes};
}

}  // namespace vellora::imaging
