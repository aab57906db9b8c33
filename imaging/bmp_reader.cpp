// Reading a Windows bitmap into a picture buffer: the checks and Qt's decoder of
// bmp_decode.h, under this library's limit on a picture's size, except for plain 24-
// and 32-bit files, which skip Qt's decoder (bmp_direct_reader.h).

#include <QImageReader>
#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "bmp_decode.h"
#include "bmp_direct_reader.h"
#include "file_io.h"
#include "picture_checks.h"
#include "picture_readers.h"
#include "rgb_buffer.h"

namespace vellora::imaging {
namespace {

// Where the pixels of a checked bitmap are, when it can skip Qt's decoder.
bool directLayout(int fd, const BmpLayout& layout, DirectBmpLayout& direct) {
    std::uint32_t masks[4] = {};
    if (layout.headerSize >= 108 && layout.compression == kBmpRgb && layout.bitsPerPixel == 32) {
        std::array<std::uint8_t, 16> bytes{};
        if (!readAt(fd, kBmpFileHeaderBytes + 40, bytes)) {
            return false;
        }
        for (int i = 0; i < 4; ++i) {
            masks[i] = littleEndian32(&bytes[static_cast<std::size_t>(4 * i)]);
        }
    }
    if (!readsDirectly(layout.compression, layout.bitsPerPixel, layout.headerSize, masks)) {
        return false;
    }
    // As Qt does: the pixels follow the header unless the file header points further on.
    direct.dataOffset =
        std::max<std::int64_t>(kBmpFileHeaderBytes + layout.headerSize, layout.pixelOffset);
    direct.width = static_cast<int>(layout.width);
    direct.height = static_cast<int>(std::llabs(layout.height));
    direct.topDown = layout.height < 0;
    direct.bitsPerPixel = layout.bitsPerPixel;
    return true;
}

// The ICC profile a version 5 header says is embedded ("MBED"), when it describes RGB
// data and is whole (checkBmpData refuses a file that ends inside it); otherwise empty. The pixels
// come out as the file stores them, so the profile still describes them, and the JPEG keeps it.
std::vector<std::uint8_t> embeddedProfile(int fd, const BmpLayout& layout) {
    constexpr std::int64_t kMaxProfileBytes = 16 * 1024 * 1024;
    constexpr std::int64_t kSmallestProfile = 132;  // the header and a tag count
    const std::int64_t size = layout.profileSize;
    if (size < kSmallestProfile || size > kMaxProfileBytes) {
        return {};
    }
    std::vector<std::uint8_t> profile(static_cast<std::size_t>(size));
    if (!readAt(fd, layout.profileOffset, profile) || std::memcmp(&profile[16], "RGB ", 4) != 0) {
        return {};
    }
    // The profile's own length, in its first four bytes (big-endian), must fit in the
    // room the header gives it; what follows it there is padding. A longer one is
    // damaged and, as in a JPEG, left out rather than carried cut short.
    const std::int64_t own = bigEndian32(profile.data());
    if (own < kSmallestProfile || own > size) {
        return {};
    }
    profile.resize(static_cast<std::size_t>(own));
    return profile;
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
    if (std::string error = readBmpLayout(file.fd.get(), file.size, layout); !error.empty()) {
        return failed(error);
    }
    // Qt's picture (up to 4 bytes a pixel) exists beside ours while we copy.
    const std::int64_t height = std::llabs(layout.height);
    if (std::string error = checkPictureSize(layout.width, height, layout.width * height * 4);
        !error.empty()) {
        return failed(error);
    }
    if (std::string error = checkBmpData(file.fd.get(), file.size, layout); !error.empty()) {
        return failed(error);
    }
    const std::vector<std::uint8_t> icc = embeddedProfile(file.fd.get(), layout);
    const PixelDensity density = bitmapDensity(layout.xPixelsPerMetre, layout.yPixelsPerMetre);
    if (DirectBmpLayout direct; directLayout(file.fd.get(), layout, direct)) {
        return readBmpDirect(file.fd.get(), direct, icc, density);
    }
    QImage image;
    if (std::string error = decodeCheckedBmp(file.fd.get(), layout, image); !error.empty()) {
        return failed(error);
    }
    image.convertTo(QImage::Format_RGB888);
    if (image.isNull() || image.format() != QImage::Format_RGB888) {
        return failed("out of memory: cannot convert the bitmap to RGB");
    }

    RgbBufferWriter writer(image.width(), image.height(), {}, icc, image.width(), image.height());
    if (!writer.valid()) {
        return failed(writer.error());
    }
    writer.setDensity(density);
    const auto rowBytes = static_cast<std::size_t>(image.width()) * kBytesPerPixel;
    for (int y = 0; y < image.height(); ++y) {
        std::memcpy(writer.pixels() + y * writer.stride(), image.constScanLine(y), rowBytes);
    }
    return succeeded(writer.release(), image.width(), image.height());
}

}  // namespace vellora::imaging
