// Turning pixels upright at every pixel size: grey and 32-bit pixels must land where
// the packed RGB ones do, for every orientation.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "imaging/orientation.h"

namespace vellora::imaging {
namespace {

TEST(CopyUpright, EveryPixelSizeLandsWhereRgbDoes) {
    constexpr int kWidth = 70;  // wider than one 64-pixel tile
    constexpr int kHeight = 3;  // 210 pixels: each one's first value is its index
    // Pixel i: RGB (i, i + 1, i + 2) mod 256; the 32-bit pixel carries i / 7 fourth.
    std::vector<std::uint8_t> rgb, grey, wide;
    for (int i = 0; i < kWidth * kHeight; ++i) {
        const auto value = static_cast<std::uint8_t>(i);
        rgb.insert(rgb.end(), {value, static_cast<std::uint8_t>(value + 1),
                               static_cast<std::uint8_t>(value + 2)});
        grey.push_back(value);
        wide.insert(wide.end(),
                    {value, static_cast<std::uint8_t>(value + 1),
                     static_cast<std::uint8_t>(value + 2), static_cast<std::uint8_t>(i / 7)});
    }
    for (int orientation = 1; orientation <= 8; ++orientation) {
        const bool turned = swapsAxes(orientation);
        const int outWidth = turned ? kHeight : kWidth;
        const int pixels = kWidth * kHeight;
        std::vector<std::uint8_t> rgbOut(pixels * 3), greyOut(pixels), wideOut(pixels * 4);
        copyUpright(rgb.data(), kWidth, kHeight, kWidth * 3, orientation, rgbOut.data(),
                    outWidth * 3);
        copyUpright(grey.data(), kWidth, kHeight, kWidth, orientation, greyOut.data(), outWidth, 1);
        copyUpright(wide.data(), kWidth, kHeight, kWidth * 4, orientation, wideOut.data(),
                    outWidth * 4, 4);
        for (int i = 0; i < pixels; ++i) {
            const std::uint8_t source = rgbOut[3 * i];  // which input pixel landed here
            ASSERT_EQ(greyOut[i], source) << "orientation " << orientation << " pixel " << i;
            for (int c = 0; c < 3; ++c) {
                ASSERT_EQ(wideOut[4 * i + c], rgbOut[3 * i + c])
                    << "orientation " << orientation << " pixel " << i;
            }
            ASSERT_EQ(wideOut[4 * i + 3], source / 7) << "orientation " << orientation;
        }
    }
}

}  // namespace
}  // namespace vellora::imaging
