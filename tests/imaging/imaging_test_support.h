#pragma once
// Helpers shared by the image library's tests: pictures copied out of library buffers,
// comparisons with a tolerance, and small JPEG and BMP files made on the spot.

#include <libexif/exif-data.h>

#include <QImage>
#include <QSize>
#include <QString>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/global_block.h"

namespace vellora::test {

// A packed RGB picture, 3 bytes a pixel, top row first.
struct Picture {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgb;

    [[nodiscard]] bool empty() const { return width == 0 || height == 0; }
    [[nodiscard]] const std::uint8_t* pixel(int x, int y) const {
        return rgb.data() + (static_cast<std::size_t>(y) * width + x) * 3;
    }
};

// The pixels of a library buffer (locked and unlocked again here).
[[nodiscard]] Picture pictureOf(GlobalBlock& block);
// A picture of Qt's image (converted to RGB).
[[nodiscard]] Picture pictureOf(const QImage& image);
[[nodiscard]] QImage toQImage(const Picture& picture);

// The rectangle [left, left + width) x [top, top + height) of a picture.
[[nodiscard]] Picture cut(const Picture& picture, int left, int top, int width, int height);
// The picture turned as EXIF orientation `orientation` turns stored pixels upright.
[[nodiscard]] Picture oriented(const Picture& picture, int orientation);

// Mean absolute difference per channel value (0..255); sizes must match.
[[nodiscard]] double meanAbsDiff(const Picture& a, const Picture& b);
// Largest difference of any channel value.
[[nodiscard]] int maxAbsDiff(const Picture& a, const Picture& b);
// Mean absolute difference of the averages of block x block tiles (dithered or
// heavily compressed pictures compare by their tiles).
[[nodiscard]] double blockMeanAbsDiff(const Picture& a, const Picture& b, int block);
// Correlation of the tiles' luminance: pictures in other colours or dithered.
[[nodiscard]] double blockLumaCorrelation(const Picture& a, const Picture& b, int block);
// Share of pixels (0..1) that are exactly the grey libjpeg fills missing data with.
[[nodiscard]] double greyFillShare(const Picture& picture, int fromRow);

// Library calls wrapped for tests: the block owns the buffer.
[[nodiscard]] GlobalBlock readJpg(const QString& path, int* width = nullptr, int* height = nullptr);
[[nodiscard]] GlobalBlock readBmp(const QString& path, int* width = nullptr, int* height = nullptr);
[[nodiscard]] std::string lastError();

// Reads a whole file / writes one.
[[nodiscard]] QByteArray fileBytes(const QString& path);
void writeFile(const QString& path, const QByteArray& bytes);

// A JPEG made with libjpeg from `picture`: quality, optional custom progressive scan
// script (component index, Ss, Se, Ah, Al per scan), optional APP1 payload.
struct ScanStep {
    int component;  // -1: all components (DC scans only)
    int ss, se, ah, al;
};
[[nodiscard]] QByteArray encodeTestJpeg(const Picture& picture, int quality,
                                        const std::vector<ScanStep>& script = {},
                                        const QByteArray& app1 = {});

// The ICC profile stored in a JPEG file (empty when none).
[[nodiscard]] QByteArray iccProfileOf(const QString& path);
// The EXIF orientation tag of a JPEG file's APP1 block: 0 when the tag is absent,
// -1 when the file has no EXIF block.
[[nodiscard]] int exifOrientationOf(const QString& path);

// The APP1 payload libexif writes for `data`, which this call releases.
[[nodiscard]] QByteArray takeExifBlock(ExifData* data);
// Whether the JPEG file's EXIF block carries a thumbnail or a second directory.
[[nodiscard]] bool exifHasThumbnail(const QString& path);
// The EXIF pixel dimensions of the file's main image; -1 for one that is missing, an
// invalid size when the file has no EXIF block.
[[nodiscard]] QSize exifPixelSizeOf(const QString& path);

// A colourful test picture with detail (one of the Kodak photos, cut to size).
[[nodiscard]] Picture kodakPicture(int width, int height);

}  // namespace vellora::test
