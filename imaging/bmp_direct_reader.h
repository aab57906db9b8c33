#pragma once
// The direct path for the most common bitmaps: uncompressed 24- and 32-bit pixels. The
// general reader (bmp_reader.cpp) checks the header and the file's length first and then
// hands such files here; every other kind stays on Qt's decoder.

#include <cstdint>
#include <span>

#include "picture_readers.h"
#include "pixel_density.h"

namespace vellora::imaging {

// Where the pixels of an uncompressed bitmap are and how they are laid out.
struct DirectBmpLayout {
    std::int64_t dataOffset = 0;  // first byte of the first stored row
    int width = 0;
    int height = 0;         // rows, always positive
    bool topDown = false;   // the first stored row is the top one
    int bitsPerPixel = 24;  // 24 (B, G, R) or 32 (B, G, R, unused)
};

// True when a bitmap with this header can take the direct path: no compression, 24 bits
// a pixel, or 32 bits with the standard channel order and no alpha channel (`masks`: the
// red, green, blue and alpha masks a version 4 or 5 header carries, zeros otherwise).
[[nodiscard]] bool readsDirectly(std::uint32_t compression, int bitsPerPixel,
                                 std::uint32_t headerSize, const std::uint32_t masks[4]);

// Reads the pixels in one pass over the file: rows in bounded chunks, each row turned
// from B, G, R(, X) into R, G, B and put where it belongs in the upright picture. The
// caller has checked the size against the limits and the file's length. `icc`: the
// colour profile the file carries, `density` its pixels' density, for the buffer.
[[nodiscard]] ReadResult readBmpDirect(int fd, const DirectBmpLayout& layout,
                                       std::span<const std::uint8_t> icc = {},
                                       PixelDensity density = {});

}  // namespace vellora::imaging
