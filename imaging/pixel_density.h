#pragma once
// How large a picture's pixels are meant to print. A scan at 300 dpi or a bitmap made
// for a 96 dpi screen says so in its file; a re-encoded copy that dropped it would
// print at another size in layout and photo programs. Kept as a JFIF header states it.

#include <cmath>
#include <cstdint>

namespace vellora::imaging {

// unit 0: x and y give only the pixels' shape (1:1 square); 1: dots per inch; 2: dots
// per centimetre. The default is square pixels of no stated size, what a JPEG encoder
// writes when told nothing.
struct PixelDensity {
    std::uint8_t unit = 0;
    std::uint16_t x = 1;
    std::uint16_t y = 1;

    friend bool operator==(const PixelDensity&, const PixelDensity&) = default;
};

// A JFIF header's density; the default for values a reader could not make sense of
// (an unknown unit, a zero density).
[[nodiscard]] constexpr PixelDensity jfifDensity(int unit, int x, int y) {
    if (unit < 0 || unit > 2 || x <= 0 || y <= 0 || x > 0xFFFF || y > 0xFFFF) {
        return {};
    }
    return {static_cast<std::uint8_t>(unit), static_cast<std::uint16_t>(x),
            static_cast<std::uint16_t>(y)};
}

// A bitmap's pixels per metre in dots per inch, the unit people set: 2835 is 72 dpi,
// 3780 is 96, 11811 is 300. The default when either is not given (0) or makes no sense.
[[nodiscard]] inline PixelDensity bitmapDensity(std::int32_t xPerMetre, std::int32_t yPerMetre) {
    const auto perInch = [](std::int32_t perMetre) {
        return static_cast<int>(std::lround(perMetre * 0.0254));
    };
    if (xPerMetre <= 0 || yPerMetre <= 0) {
        return {};
    }
    return jfifDensity(1, perInch(xPerMetre), perInch(yPerMetre));
}

// The density of the picture turned a quarter: its columns were rows.
[[nodiscard]] constexpr PixelDensity turnedQuarter(PixelDensity density) {
    return {density.unit, density.y, density.x};
}

}  // namespace vellora::imaging
