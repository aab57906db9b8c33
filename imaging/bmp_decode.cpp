#include "bmp_decode.h"

#include <QFile>
#include <QImageReader>
#include <algorithm>
#include <array>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "picture_checks.h"

namespace vellora::imaging {
namespace {

constexpr std::uint32_t kCoreHeader = 12;  // OS/2 1.x and Windows 2: 16-bit sizes
constexpr std::uint32_t kV5Header = 124;
// Qt's reader reads the 12-byte header's sides as signed 16-bit numbers.
constexpr std::int64_t kLargestCoreSideForQt = 32767;

std::uint16_t u16(const std::uint8_t* bytes) {
    return static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8);
}

bool hasWindowsLayout(std::uint32_t headerSize) {
    return headerSize == 40 || headerSize == 64 || headerSize == 108 || headerSize == 124;
}

// Reads the header; "" or the reason the file cannot be a usable bitmap.
std::string readLayout(int fd, std::int64_t fileSize, BmpLayout& layout) {
    std::array<std::uint8_t, 54> head{};
    if (fileSize < kBmpFileHeaderBytes + 4 ||
        !readAt(fd, 0, std::span(head).first(kBmpFileHeaderBytes + 4))) {
        return "not a BMP file: the file is too short for a bitmap header";
    }
    if (head[0] != 'B' || head[1] != 'M') {
        return "not a BMP file: it does not start with \"BM\"";
    }
    layout.pixelOffset = littleEndian32(&head[10]);
    layout.headerSize = littleEndian32(&head[14]);
    // Read as any other kind, the fields of a header we do not know would give a
    // nonsense size; Qt's decoder takes no others either.
    if (layout.headerSize != kCoreHeader && !hasWindowsLayout(layout.headerSize)) {
        return "unsupported BMP: a bitmap header of " + std::to_string(layout.headerSize) +
               " bytes (those of 12, 40, 64, 108 and 124 bytes can be read)";
    }
    const std::int64_t needed = hasWindowsLayout(layout.headerSize) ? 54 : 26;
    if (fileSize < needed || !readAt(fd, 0, std::span(head).first(needed))) {
        return "file is truncated or corrupt: the bitmap header is incomplete";
    }
    if (hasWindowsLayout(layout.headerSize)) {
        layout.width = static_cast<std::int32_t>(littleEndian32(&head[18]));
        layout.height = static_cast<std::int32_t>(littleEndian32(&head[22]));
        layout.bitsPerPixel = u16(&head[28]);
        layout.compression = littleEndian32(&head[30]);
        layout.dataSize = littleEndian32(&head[34]);
        layout.coloursUsed = littleEndian32(&head[46]);
        layout.xPixelsPerMetre = static_cast<std::int32_t>(littleEndian32(&head[38]));
        layout.yPixelsPerMetre = static_cast<std::int32_t>(littleEndian32(&head[42]));
    } else {
        // Unsigned: such a bitmap is always stored bottom-up, and may be 65535 pixels tall.
        layout.width = u16(&head[18]);
        layout.height = u16(&head[20]);
        layout.bitsPerPixel = u16(&head[24]);
    }
    if (layout.headerSize == kV5Header) {
        std::array<std::uint8_t, kV5Header - 56> v5{};
        if (!readAt(fd, kBmpFileHeaderBytes + 56, v5)) {
            return "file is truncated or corrupt: the bitmap header is incomplete";
        }
        // The colour space 'MBED' (little-endian), with the profile's place counted from
        // the start of the version 5 header.
        if (std::memcmp(v5.data(), "DEBM", 4) == 0) {
            layout.profileOffset = kBmpFileHeaderBytes + littleEndian32(&v5[112 - 56]);
            layout.profileSize = littleEndian32(&v5[116 - 56]);
        }
    }
    return {};
}

// "" when the header describes a picture Qt's reader can decode and we accept.
std::string checkLayout(const BmpLayout& layout) {
    const int bits = layout.bitsPerPixel;
    if (layout.width <= 0 || layout.height == 0) {
        return "not a usable BMP file: its header gives a size of " + std::to_string(layout.width) +
               " x " + std::to_string(layout.height) + " pixels";
    }
    if (layout.compression > kBmpBitfields) {
        return "unsupported BMP: compression method " + std::to_string(layout.compression) +
               " (embedded JPEG or PNG data, or a vendor extension)";
    }
    if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32) {
        return "unsupported BMP: " + std::to_string(bits) + " bits per pixel";
    }
    if (bits <= 8 && layout.coloursUsed > 256) {
        return "file is corrupt: the bitmap claims a palette of " +
               std::to_string(layout.coloursUsed) + " colours";
    }
    const std::int64_t height = std::llabs(layout.height);
    return checkJpegSides(layout.width, height);
}

// Where Qt starts reading the pixel data: at the file header's offset, unless that
// points back into the header or palette Qt has read already.
std::int64_t pixelDataStart(const BmpLayout& layout) {
    const int bits = layout.bitsPerPixel;
    std::int64_t colours = 0;
    if (bits <= 8) {
        colours = layout.coloursUsed != 0 ? layout.coloursUsed : (1 << bits);
    }
    const std::int64_t paletteEntry = layout.headerSize == kCoreHeader ? 3 : 4;
    const std::int64_t masks =
        layout.headerSize < 108 && layout.compression == kBmpBitfields ? 12 : 0;
    const std::int64_t afterPalette =
        kBmpFileHeaderBytes + layout.headerSize + masks + colours * paletteEntry;
    return std::max<std::int64_t>(afterPalette, layout.pixelOffset);
}

// "" when the file holds all the pixel data its header promises.
std::string checkLength(const BmpLayout& layout, std::int64_t fileSize) {
    const int bits = layout.bitsPerPixel;
    const std::int64_t rows = std::llabs(layout.height);
    const std::int64_t dataStart = pixelDataStart(layout);

    std::int64_t dataBytes = 0;
    if (layout.compression == kBmpRle4 || layout.compression == kBmpRle8) {
        if (layout.dataSize == 0) {
            return "file is corrupt: a run-length compressed BMP must give the size of its "
                   "data";
        }
        dataBytes = layout.dataSize;
    } else {
        const std::int64_t rowBytes = (layout.width * bits + 31) / 32 * 4;
        dataBytes = rowBytes * rows;
    }
    if (dataStart + dataBytes > fileSize) {
        return "file is truncated or corrupt: the bitmap needs " +
               std::to_string(dataStart + dataBytes) + " bytes but the file has only " +
               std::to_string(fileSize);
    }
    // A profile cut off with the file's end: without it the colours would be read as
    // sRGB, changed without a word.
    if (layout.profileSize > 0 && layout.profileOffset + layout.profileSize > fileSize) {
        return "file is truncated or corrupt: the bitmap's colour profile needs " +
               std::to_string(layout.profileOffset + layout.profileSize) +
               " bytes but the file has only " + std::to_string(fileSize);
    }
    return {};
}

// "" when run-length data (if any) describes every pixel it claims, within the data
// size the header gives: Qt's decoder would fill the pixels of a run cut short from
// uninitialised memory and take a stream without an end as a whole picture.
std::string checkRunLength(const BmpLayout& layout, int fd) {
    if (layout.compression != kBmpRle4 && layout.compression != kBmpRle8) {
        return {};
    }
    const int bits = layout.compression == kBmpRle8 ? 8 : 4;
    if (layout.bitsPerPixel != bits) {
        return "file is corrupt: run-length compression for " + std::to_string(bits) +
               "-bit pixels in a " + std::to_string(layout.bitsPerPixel) + "-bit bitmap";
    }
    return checkRunLengthFile(fd, pixelDataStart(layout), layout.dataSize, layout.width,
                              std::llabs(layout.height), bits);
}

// "" when every pixel of a decoded palette picture names a palette entry. Qt's reader
// keeps the indices it reads and the conversion to RGB makes black of those past the
// palette: colours the file never gave.
std::string checkPaletteIndices(const QImage& image) {
    const bool mono =
        image.format() == QImage::Format_Mono || image.format() == QImage::Format_MonoLSB;
    if (!mono && image.format() != QImage::Format_Indexed8) {
        return {};
    }
    const int colours = image.colorCount();
    if (mono && colours >= 2) {
        return {};
    }
    for (int y = 0; y < image.height(); ++y) {
        const uchar* row = image.constScanLine(y);
        for (int x = 0; x < image.width(); ++x) {
            int index = 0;
            if (image.format() == QImage::Format_Mono) {
                index = (row[x / 8] >> (7 - x % 8)) & 1;
            } else if (image.format() == QImage::Format_MonoLSB) {
                index = (row[x / 8] >> (x % 8)) & 1;
            } else {
                index = row[x];
            }
            if (index >= colours) {
                return "file is corrupt: the pixel at " + std::to_string(x) + ", " +
                       std::to_string(y) + " (from the top) names colour " + std::to_string(index) +
                       " of a palette of " + std::to_string(colours);
            }
        }
    }
    return {};
}

// 16- and 32-bit bitmaps are decoded here, whatever their header: Qt 6.4's reader
// scales a channel by 256 / (its largest value + 1), so white comes out 248 in 5-5-5,
// 128 with one-bit channels and black with channels wider than eight bits.
// So are 24-bit ones with the 12-byte header and a side Qt's reader would take for a
// negative number (the compression reads them without Qt).
bool decodesMasks(const BmpLayout& layout) {
    if (layout.bitsPerPixel == 24 && layout.headerSize == kCoreHeader) {
        return layout.width > kLargestCoreSideForQt || layout.height > kLargestCoreSideForQt;
    }
    return (layout.bitsPerPixel == 16 || layout.bitsPerPixel == 32) &&
           (layout.compression == kBmpRgb || layout.compression == kBmpBitfields);
}

// Where the colour masks of a bit-field bitmap are: inside the header from version 4
// on, right after it before (as pixelDataStart counts them).
std::int64_t masksStart(const BmpLayout& layout) {
    return kBmpFileHeaderBytes + (layout.headerSize >= 108 ? 40 : layout.headerSize);
}

// Where a channel's bits lie in a pixel; bits 0 for a mask that is empty or not one
// run of bits side by side.
struct Channel {
    int shift = 0;
    int bits = 0;
};

Channel channelOf(std::uint32_t mask) {
    if (mask == 0) {
        return {};
    }
    const int shift = std::countr_zero(mask);
    const std::uint32_t run = mask >> shift;
    if ((run & (run + 1)) != 0) {
        return {};
    }
    return {shift, std::popcount(run)};
}

// A channel's value on the 0..255 scale: a wider channel keeps its top eight bits, a
// narrower one repeats its bits, so that its largest value is 255 and 0 stays 0.
std::uint8_t eightBits(std::uint32_t value, int bits) {
    if (bits >= 8) {
        return static_cast<std::uint8_t>(value >> (bits - 8));
    }
    std::uint32_t out = 0;
    int filled = 0;
    while (filled < 8) {
        out = (out << bits) | value;
        filled += bits;
    }
    return static_cast<std::uint8_t>(out >> (filled - 8));
}

std::string decodeMaskedBmp(int fd, const BmpLayout& layout, QImage& image) {
    // The masks for plain 16-bit (5-5-5) and 24- or 32-bit pixels.
    std::array<std::uint32_t, 3> masks = layout.bitsPerPixel == 16
                                             ? std::array<std::uint32_t, 3>{0x7C00, 0x03E0, 0x001F}
                                             : std::array<std::uint32_t, 3>{0xFF0000, 0xFF00, 0xFF};
    if (layout.compression == kBmpBitfields) {
        std::array<std::uint8_t, 12> bytes{};
        if (!readAt(fd, masksStart(layout), bytes)) {
            return "file is truncated or corrupt: the bitmap's colour masks are missing";
        }
        for (std::size_t i = 0; i < 3; ++i) {
            masks[i] = littleEndian32(&bytes[4 * i]);
        }
    }
    std::array<Channel, 3> channels;
    for (std::size_t i = 0; i < 3; ++i) {
        channels[i] = channelOf(masks[i]);
        const bool overlaps = (masks[i] & masks[(i + 1) % 3]) != 0;
        if (channels[i].bits == 0 || overlaps ||
            (layout.bitsPerPixel == 16 && (masks[i] >> 16) != 0)) {
            return "file is corrupt: the bitmap's colour masks (" + std::to_string(masks[0]) +
                   ", " + std::to_string(masks[1]) + ", " + std::to_string(masks[2]) +
                   ") do not each name a run of bits of their own";
        }
    }
    const int width = static_cast<int>(layout.width);
    const int height = static_cast<int>(std::llabs(layout.height));
    image = QImage(width, height, QImage::Format_RGB888);
    if (image.isNull()) {
        return "out of memory: cannot allocate a " + std::to_string(width) + " x " +
               std::to_string(height) + " picture";
    }
    const int bytesPerPixel = layout.bitsPerPixel / 8;
    const auto stored =
        static_cast<std::size_t>((std::int64_t{width} * layout.bitsPerPixel + 31) / 32 * 4);
    std::vector<std::uint8_t> row(stored);
    const std::int64_t start = pixelDataStart(layout);
    for (int y = 0; y < height; ++y) {
        if (!readAt(fd, start + static_cast<std::int64_t>(y) * static_cast<std::int64_t>(stored),
                    row)) {
            image = QImage();
            return "file is truncated or corrupt: a row of the bitmap cannot be read";
        }
        uchar* out = image.scanLine(layout.height < 0 ? y : height - 1 - y);
        for (int x = 0; x < width; ++x) {
            const std::uint8_t* in = &row[static_cast<std::size_t>(x) * bytesPerPixel];
            const std::uint32_t pixel = bytesPerPixel == 2   ? u16(in)
                                        : bytesPerPixel == 3 ? u16(in) | std::uint32_t{in[2]} << 16
                                                             : littleEndian32(in);
            for (std::size_t c = 0; c < 3; ++c) {
                out[3 * x + static_cast<int>(c)] =
                    eightBits((pixel & masks[c]) >> channels[c].shift, channels[c].bits);
            }
        }
    }
    return {};
}

}  // namespace

std::string readBmpLayout(int fd, std::int64_t fileSize, BmpLayout& layout) {
    std::string error = readLayout(fd, fileSize, layout);
    return error.empty() ? checkLayout(layout) : error;
}

std::string checkBmpData(int fd, std::int64_t fileSize, const BmpLayout& layout) {
    std::string error = checkLength(layout, fileSize);
    return error.empty() ? checkRunLength(layout, fd) : error;
}

std::string decodeCheckedBmp(int fd, const BmpLayout& layout, QImage& image) {
    if (decodesMasks(layout)) {
        return decodeMaskedBmp(fd, layout, image);
    }
    const std::int64_t width = layout.width;
    const std::int64_t height = std::llabs(layout.height);
    if (layout.headerSize == kCoreHeader &&
        (width > kLargestCoreSideForQt || height > kLargestCoreSideForQt)) {
        return "unsupported BMP: a bitmap with a 12-byte header over " +
               std::to_string(kLargestCoreSideForQt) + " pixels wide or high (" +
               std::to_string(width) + " x " + std::to_string(height) + ")";
    }
    QFile device;
    if (!device.open(fd, QIODevice::ReadOnly, QFileDevice::DontCloseHandle) || !device.seek(0)) {
        return "cannot read the file: " + device.errorString().toStdString();
    }
    QImageReader reader(&device, QByteArrayLiteral("bmp"));
    reader.setDecideFormatFromContent(false);
    reader.setFormat(QByteArrayLiteral("bmp"));

    image = QImage();
    const QImage::Format format = reader.imageFormat();
    if (format != QImage::Format_Invalid) {
        image = QImage(static_cast<int>(width), static_cast<int>(height), format);
        if (image.isNull()) {
            return "out of memory: cannot allocate a " + std::to_string(width) + " x " +
                   std::to_string(height) + " picture";
        }
        image.fill(0u);
    }
    if (!reader.read(&image) || image.isNull()) {
        image = QImage();
        return "cannot decode the BMP: " + reader.errorString().toStdString();
    }
    if (image.width() != width || image.height() != height) {
        const std::string made =
            std::to_string(image.width()) + " x " + std::to_string(image.height());
        image = QImage();
        return "cannot decode the BMP: the decoder made a " + made + " picture from a " +
               std::to_string(width) + " x " + std::to_string(height) + " header";
    }
    if (std::string error = checkPaletteIndices(image); !error.empty()) {
        image = QImage();
        return error;
    }
    return {};
}

}  // namespace vellora::imaging
