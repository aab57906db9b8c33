#include "orientation.h"

#include <algorithm>
#include <cstring>

namespace vellora::imaging {

namespace {

// The walk over the output in tiles, for one pixel size (a constant, so that the
// per-pixel copy is a few moves).
template <int kPixel>
void walkTiles(const std::uint8_t* source, std::ptrdiff_t origin, std::ptrdiff_t stepX,
               std::ptrdiff_t stepY, int outWidth, int outHeight, std::uint8_t* target,
               std::ptrdiff_t targetStride) {
    // Tiles keep both the rows read and the rows written in the cache when the walk
    // through the source runs down its columns.
    constexpr int kTile = 64;
    for (int tileY = 0; tileY < outHeight; tileY += kTile) {
        const int endY = std::min(tileY + kTile, outHeight);
        for (int tileX = 0; tileX < outWidth; tileX += kTile) {
            const int endX = std::min(tileX + kTile, outWidth);
            for (int y = tileY; y < endY; ++y) {
                std::uint8_t* out = target + y * targetStride + tileX * kPixel;
                const std::uint8_t* in = source + origin + y * stepY + tileX * stepX;
                for (int x = tileX; x < endX; ++x) {
                    std::memcpy(out, in, kPixel);
                    out += kPixel;
                    in += stepX;
                }
            }
        }
    }
}

}  // namespace

void copyUpright(const std::uint8_t* source, int width, int height, std::ptrdiff_t sourceStride,
                 int orientation, std::uint8_t* target, std::ptrdiff_t targetStride,
                 int pixelBytes) {
    const std::ptrdiff_t pixel = pixelBytes;
    const std::ptrdiff_t lastColumn = static_cast<std::ptrdiff_t>(width - 1) * pixel;
    const std::ptrdiff_t lastRow = static_cast<std::ptrdiff_t>(height - 1) * sourceStride;

    // Output pixel (x, y) comes from source + origin + x * stepX + y * stepY.
    std::ptrdiff_t origin = 0;
    std::ptrdiff_t stepX = pixel;
    std::ptrdiff_t stepY = sourceStride;
    switch (orientation) {
        case 2:  // mirrored left to right
            origin = lastColumn, stepX = -pixel, stepY = sourceStride;
            break;
        case 3:  // turned half a circle
            origin = lastRow + lastColumn, stepX = -pixel, stepY = -sourceStride;
            break;
        case 4:  // mirrored top to bottom
            origin = lastRow, stepX = pixel, stepY = -sourceStride;
            break;
        case 5:  // mirrored along the main diagonal
            origin = 0, stepX = sourceStride, stepY = pixel;
            break;
        case 6:  // stored a quarter turn anticlockwise: turn clockwise
            origin = lastRow, stepX = -sourceStride, stepY = pixel;
            break;
        case 7:  // mirrored along the other diagonal
            origin = lastRow + lastColumn, stepX = -sourceStride, stepY = -pixel;
            break;
        case 8:  // stored a quarter turn clockwise: turn anticlockwise
            origin = lastColumn, stepX = sourceStride, stepY = -pixel;
            break;
        default:
            for (int y = 0; y < height; ++y) {
                std::memcpy(target + y * targetStride, source + y * sourceStride,
                            static_cast<std::size_t>(width) * pixel);
            }
            return;
    }

    const int outWidth = swapsAxes(orientation) ? height : width;
    const int outHeight = swapsAxes(orientation) ? width : height;
    switch (pixelBytes) {
        case 1:
            walkTiles<1>(source, origin, stepX, stepY, outWidth, outHeight, target, targetStride);
            break;
        case 4:
            walkTiles<4>(source, origin, stepX, stepY, outWidth, outHeight, target, targetStride);
            break;
        default:
            walkTiles<3>(source, origin, stepX, stepY, outWidth, outHeight, target, targetStride);
            break;
    }
}

}  // namespace vellora::imaging
