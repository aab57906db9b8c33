#pragma once
// CMYK to RGB as both the image library's reader and the windows' decoder do it, so a
// CMYK JPEG looks the same in the Original window as in the file saved from it.

#include <array>
#include <cstdint>

namespace vellora::imaging {

// One pixel's ink amounts as libjpeg hands them out. Adobe writes CMYK inverted (255
// means no ink; its files carry an Adobe marker); other writers store ink amounts.
[[nodiscard]] inline std::array<std::uint8_t, 3> cmykToRgb(unsigned c, unsigned m, unsigned y,
                                                           unsigned k, bool inverted) {
    if (!inverted) {
        c = 255 - c, m = 255 - m, y = 255 - y, k = 255 - k;
    }
    return {static_cast<std::uint8_t>((c * k + 127) / 255),
            static_cast<std::uint8_t>((m * k + 127) / 255),
            static_cast<std::uint8_t>((y * k + 127) / 255)};
}

}  // namespace vellora::imaging
