// Uncompressed 24- and 32-bit bitmaps, read straight into the picture buffer.
//
// Qt's reader builds a QImage of its own (4 bytes a pixel), which we then convert to
// RGB and copy: three passes over a picture that may hold hundreds of megabytes. Here
// the stored rows come in through a small buffer that stays in the cache, and each is
// written once, channels swapped, into its upright place in the final buffer. The
// buffer is not cleared first: every byte of it is written.

#include "bmp_direct_reader.h"

#include <algorithm>
#include <memory>
#include <new>

#include "file_io.h"
#include "picture_checks.h"
#include "rgb_buffer.h"

namespace vellora::imaging {
namespace {

constexpr std::uint32_t kRgb = 0;
constexpr std::uint32_t kV4Header = 108;
// Enough rows to amortise the read calls, small enough to stay in the cache.
constexpr std::size_t kChunkBytes = 512 * 1024;

void swapRow24(const std::uint8_t* source, std::uint8_t* target, int width) {
    for (int x = 0; x < width; ++x, source += 3, target += 3) {
        const std::uint8_t blue = source[0];
        const std::uint8_t green = source[1];
        const std::uint8_t red = source[2];
        target[0] = red;
        target[1] = green;
        target[2] = blue;
    }
}

void swapRow32(const std::uint8_t* source, std::uint8_t* target, int width) {
    for (int x = 0; x < width; ++x, source += 4, target += 3) {
        target[0] = source[2];
        target[1] = source[1];
        target[2] = source[0];
    }
}

}  // namespace

bool readsDirectly(std::uint32_t compression, int bitsPerPixel, std::uint32_t headerSize,
                   const std::uint32_t masks[4]) {
    if (compression != kRgb) {
        return false;
    }
    if (bitsPerPixel == 24) {
        return true;
    }
    if (bitsPerPixel != 32) {
        return false;
    }
    if (headerSize < kV4Header) {
        return true;  // no masks in the header: the fourth byte is unused
    }
    // A version 4 or 5 header may name an alpha channel or an unusual channel order;
    // those stay with Qt's decoder, which honours them.
    const bool standard =
        (masks[0] == 0 && masks[1] == 0 && masks[2] == 0) ||
        (masks[0] == 0x00FF0000u && masks[1] == 0x0000FF00u && masks[2] == 0x000000FFu);
    return standard && masks[3] == 0;
}

ReadResult readBmpDirect(int fd, const DirectBmpLayout& layout, std::span<const std::uint8_t> icc,
                         PixelDensity density) {
    const int width = layout.width;
    const int height = layout.height;
    const int bytesPerPixel = layout.bitsPerPixel / 8;
    const auto storedRow = static_cast<std::size_t>(
        (static_cast<std::int64_t>(width) * layout.bitsPerPixel + 31) / 32 * 4);
    const std::size_t rowsPerChunk =
        std::clamp<std::size_t>(kChunkBytes / storedRow, 1, static_cast<std::size_t>(height));
    std::unique_ptr<std::uint8_t[]> chunk(new (std::nothrow)
                                              std::uint8_t[storedRow * rowsPerChunk]);
    if (!chunk) {
        return failed("out of memory: cannot allocate a row buffer for the bitmap");
    }
    RgbBufferWriter writer(width, height, {}, icc, width, height);
    if (!writer.valid()) {
        return failed(writer.error());
    }
    writer.setDensity(density);
    std::int64_t offset = layout.dataOffset;
    for (int first = 0; first < height;) {
        const int rows = static_cast<int>(
            std::min<std::int64_t>(static_cast<std::int64_t>(rowsPerChunk), height - first));
        const std::size_t bytes = storedRow * static_cast<std::size_t>(rows);
        if (!readAt(fd, offset, std::span(chunk.get(), bytes))) {
            return failed("file is truncated or corrupt: cannot read the bitmap's pixels");
        }
        for (int r = 0; r < rows; ++r) {
            const int stored = first + r;
            const int y = layout.topDown ? stored : height - 1 - stored;
            const std::uint8_t* source = chunk.get() + static_cast<std::size_t>(r) * storedRow;
            std::uint8_t* target = writer.pixels() + y * writer.stride();
            if (bytesPerPixel == 3) {
                swapRow24(source, target, width);
            } else {
                swapRow32(source, target, width);
            }
        }
        offset += static_cast<std::int64_t>(bytes);
        first += rows;
    }
    return succeeded(writer.release(), width, height);
}

}  // namespace vellora::imaging
