#pragma once
// Turning stored pixels upright for their EXIF orientation (1 to 8).

#include <cstddef>
#include <cstdint>

namespace vellora::imaging {

// Orientations 5 to 8 turn the picture a quarter, so width and height swap.
[[nodiscard]] constexpr bool swapsAxes(int orientation) {
    return orientation >= 5 && orientation <= 8;
}

// Copies the picture `source` (width x height, `sourceStride` bytes a row, packed
// pixels of `pixelBytes` bytes: 3 for RGB, 1 for grey, 4 for 32-bit pixels) into
// `target`, pixels of the same size, as it is meant to be seen: target is width x height
// for orientations 1 to 4 and height x width for 5 to 8, `targetStride` bytes a row.
// Orientations outside 1..8 copy unchanged.
void copyUpright(const std::uint8_t* source, int width, int height, std::ptrdiff_t sourceStride,
                 int orientation, std::uint8_t* target, std::ptrdiff_t targetStride,
                 int pixelBytes = 3);

}  // namespace vellora::imaging
