// Reading a Windows bitmap into a picture buffer. The decoding is QtGui's BMP reader
// (format forced to BMP, never guessed from the content); this file adds what that
// reader lacks for untrusted files:
//   - Qt stops reading rows at the end of a short file and leaves the rest of its
//     picture as whatever the memory held. We read the few header fields that say how
//     much pixel data must follow and refuse a file that is shorter.
//   - Run-length data may skip pixels (deltas, early end of line); Qt leaves those
//     unwritten too. We hand Qt a picture of the right size and format, already
//     cleared to colour index 0, which it fills in place of allocating its own.
//   - The picture's size is checked against our limit before anything is allocated,
//     and so is each side against what a JPEG can hold: a picture we could never
//     save is refused at once, before Qt spends seconds and gigabytes on it.
//   - Run-length data is walked opcode by opcode first (picture_checks.h): Qt takes
//     a stream cut off inside a run, or one with no end at all, as a whole picture.

#include <QFile>
#include <QImage>
#include <QImageReader>
#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "bmp_direct_reader.h"
#include "file_io.h"
#include "picture_checks.h"
#include "picture_readers.h"
#include "rgb_buffer.h"

namespace vellora::imaging {
namespace {

constexpr std::int64_t kFileHeaderBytes = 14;
constexpr std::uint32_t kCoreHeader = 12;  // OS/2 1.x and Windows 2: 16-bit sizes
constexpr std::uint32_t kRgb = 0, kRle8 = 1, kRle4 = 2, kBitfields = 3;

std::uint32_t u32(const std::uint8_t* bytes) {
    return std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 | std::uint32_t{bytes[2]} << 16 |
           std::uint32_t{bytes[3]} << 24;
}
std::uint16_t u16(const std::uint8_t* bytes) {
    return static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8);
}

// The header fields as Qt's reader interprets them: the four header sizes it knows
// carry 32-bit sizes; it reads every other size as the old 16-bit layout.
struct BmpLayout {
    std::uint32_t pixelOffset = 0;
    std::uint32_t headerSize = 0;
    std::int64_t width = 0;
    std::int64_t height = 0;  // negative: rows stored top-down
    int bitsPerPixel = 0;
    std::uint32_t compression = kRgb;
    std::uint32_t dataSize = 0;
    std::uint32_t coloursUsed = 0;
};

bool hasWindowsLayout(std::uint32_t headerSize) {
    return headerSize == 40 || headerSize == 64 || headerSize == 108 || headerSize == 124;
}

// Reads the header; "" or the reason the file cannot be a usable bitmap.
std::string readLayout(int fd, std::int64_t fileSize, BmpLayout& layout) {
    std::array<std::uint8_t, 54> head{};
    if (fileSize < kFileHeaderBytes + 4 ||
        !readAt(fd, 0, std::span(head).first(kFileHeaderBytes + 4))) {
        return "not a BMP file: the file is too short for a bitmap header";
    }
    if (head[0] != 'B' || head[1] != 'M') {
        return "not a BMP file: it does not start with \"BM\"";
    }
    layout.pixelOffset = u32(&head[10]);
    layout.headerSize = u32(&head[14]);
    const std::int64_t needed = hasWindowsLayout(layout.headerSize) ? 54 : 26;
    if (fileSize < needed || !readAt(fd, 0, std::span(head).first(needed))) {
        return "file is truncated or corrupt: the bitmap header is incomplete";
    }
    if (hasWindowsLayout(layout.headerSize)) {
        layout.width = static_cast<std::int32_t>(u32(&head[18]));
        layout.height = static_cast<std::int32_t>(u32(&head[22]));
        layout.bitsPerPixel = u16(&head[28]);
        layout.compression = u32(&head[30]);
        layout.dataSize = u32(&head[34]);
        layout.coloursUsed = u32(&head[46]);
    } else {
        layout.width = static_cast<std::int16_t>(u16(&head[18]));
        layout.height = static_cast<std::int16_t>(u16(&head[20]));
        layout.bitsPerPixel = u16(&head[24]);
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
    if (layout.compression > kBitfields) {
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
    // First, so that the sizes below cannot overflow (a 32-bit side each).
    if (std::string error = checkJpegSides(layout.width, height); !error.empty()) {
        return error;
    }
    // Qt's picture (up to 4 bytes a pixel) exists beside ours while we copy.
    return checkPictureSize(layout.width, height, layout.width * height * 4);
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
    const std::int64_t masks = layout.headerSize < 108 && layout.compression == kBitfields ? 12 : 0;
    const std::int64_t afterPalette =
        kFileHeaderBytes + layout.headerSize + masks + colours * paletteEntry;
    return std::max<std::int64_t>(afterPalette, layout.pixelOffset);
}

// "" when the file holds all the pixel data its header promises.
std::string checkLength(const BmpLayout& layout, std::int64_t fileSize) {
    const int bits = layout.bitsPerPixel;
    const std::int64_t rows = std::llabs(layout.height);
    const std::int64_t dataStart = pixelDataStart(layout);

    std::int64_t dataBytes = 0;
    if (layout.compression == kRle4 || layout.compression == kRle8) {
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
    return {};
}

// "" when run-length data (if any) describes every pixel it claims, within the data
// size the header gives: Qt's decoder would fill the pixels of a run cut short from
// uninitialised memory and take a stream without an end as a whole picture.
std::string checkRunLength(const BmpLayout& layout, int fd) {
    if (layout.compression != kRle4 && layout.compression != kRle8) {
        return {};
    }
    const int bits = layout.compression == kRle8 ? 8 : 4;
    if (layout.bitsPerPixel != bits) {
        return "file is corrupt: run-length compression for " + std::to_string(bits) +
               "-bit pixels in a " + std::to_string(layout.bitsPerPixel) + "-bit bitmap";
    }
    return checkRunLengthFile(fd, pixelDataStart(layout), layout.dataSize, layout.width,
                              std::llabs(layout.height), bits);
}

// Where the pixels of a checked bitmap are, when it can skip Qt's decoder.
bool directLayout(int fd, const BmpLayout& layout, DirectBmpLayout& direct) {
    std::uint32_t masks[4] = {};
    if (layout.headerSize >= 108 && layout.compression == kRgb && layout.bitsPerPixel == 32) {
        std::array<std::uint8_t, 16> bytes{};
        if (!readAt(fd, kFileHeaderBytes + 40, bytes)) {
            return false;
        }
        for (int i = 0; i < 4; ++i) {
            masks[i] = u32(&bytes[static_cast<std::size_t>(4 * i)]);
        }
    }
    if (!readsDirectly(layout.compression, layout.bitsPerPixel, layout.headerSize, masks)) {
        return false;
    }
    // As Qt does: the pixels follow the header unless the file header points further on.
    direct.dataOffset =
        std::max<std::int64_t>(kFileHeaderBytes + layout.headerSize, layout.pixelOffset);
    direct.width = static_cast<int>(layout.width);
    direct.height = static_cast<int>(std::llabs(layout.height));
    direct.topDown = layout.height < 0;
    direct.bitsPerPixel = layout.bitsPerPixel;
    return true;
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

}  // namespace

void raiseQtAllocationLimit() {
    static std::once_flag once;
    std::call_once(once, [] {
        // Qt counts at least 4 bytes a pixel; allow our largest picture plus slack.
        constexpr int kNeededMegabytes = static_cast<int>(kMaxPixels * 4 / (1024 * 1024)) + 64;
        const int current = QImageReader::allocationLimit();
        if (current != 0 && current < kNeededMegabytes) {
            QImageReader::setAllocationLimit(kNeededMegabytes);
        }
    });
}

ReadResult readBmpFile(const char* path) {
    raiseQtAllocationLimit();
    OpenedFile file = openPictureFile(path);
    if (!file.error.empty()) {
        return failed(file.error);
    }
    BmpLayout layout;
    if (std::string error = readLayout(file.fd.get(), file.size, layout); !error.empty()) {
        return failed(error);
    }
    if (std::string error = checkLayout(layout); !error.empty()) {
        return failed(error);
    }
    if (std::string error = checkLength(layout, file.size); !error.empty()) {
        return failed(error);
    }
    if (std::string error = checkRunLength(layout, file.fd.get()); !error.empty()) {
        return failed(error);
    }
    if (DirectBmpLayout direct; directLayout(file.fd.get(), layout, direct)) {
        return readBmpDirect(file.fd.get(), direct);
    }
    const std::int64_t width = layout.width;
    const std::int64_t height = std::llabs(layout.height);

    QFile device;
    if (!device.open(file.fd.get(), QIODevice::ReadOnly, QFileDevice::DontCloseHandle)) {
        return failed("cannot read the file: " + device.errorString().toStdString());
    }
    QImageReader reader(&device, QByteArrayLiteral("bmp"));
    reader.setDecideFormatFromContent(false);
    reader.setFormat(QByteArrayLiteral("bmp"));

    QImage image;
    const QImage::Format format = reader.imageFormat();
    if (format != QImage::Format_Invalid) {
        image = QImage(static_cast<int>(width), static_cast<int>(height), format);
        if (image.isNull()) {
            return failed("out of memory: cannot allocate a " + std::to_string(width) + " x " +
                          std::to_string(height) + " picture");
        }
        image.fill(0u);
    }
    if (!reader.read(&image) || image.isNull()) {
        return failed("cannot decode the BMP: " + reader.errorString().toStdString());
    }
    if (image.width() != width || image.height() != height) {
        return failed("cannot decode the BMP: the decoder made a " + std::to_string(image.width()) +
                      " x " + std::to_string(image.height()) + " picture from a " +
                      std::to_string(width) + " x " + std::to_string(height) + " header");
    }
    if (std::string error = checkPaletteIndices(image); !error.empty()) {
        return failed(error);
    }
    image.convertTo(QImage::Format_RGB888);
    if (image.isNull() || image.format() != QImage::Format_RGB888) {
        return failed("out of memory: cannot convert the bitmap to RGB");
    }

    RgbBufferWriter writer(image.width(), image.height(), {}, {}, image.width(), image.height());
    if (!writer.valid()) {
        return failed(writer.error());
    }
    const auto rowBytes = static_cast<std::size_t>(image.width()) * kBytesPerPixel;
    for (int y = 0; y < image.height(); ++y) {
        std::memcpy(writer.pixels() + y * writer.stride(), image.constScanLine(y), rowBytes);
    }
    return succeeded(writer.release(), image.width(), image.height());
}

}  // namespace vellora::imaging
