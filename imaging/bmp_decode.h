#pragma once
// Windows bitmaps through QtGui's BMP reader, made safe for untrusted files. The image
// library's reader and the windows' picture loader both decode through here, so that a
// file one refuses the other refuses too, and neither shows a pixel the file never gave.
// What Qt's reader lacks:
//   - It stops reading rows at the end of a short file and leaves the rest of its
//     picture as whatever the memory held. We read the few header fields that say how
//     much pixel data must follow and refuse a file that is shorter.
//   - Run-length data may skip pixels (deltas, early end of line); Qt leaves those
//     unwritten too. We hand Qt a picture of the right size and format, already
//     cleared to colour index 0, which it fills in place of allocating its own.
//   - Each side is checked against what a JPEG can hold before anything is
//     allocated: a picture we could never save is refused at once, before Qt spends
//     seconds and gigabytes on it.
//   - Run-length data is walked opcode by opcode first (picture_checks.h): Qt takes
//     a stream cut off inside a run, or one with no end at all, as a whole picture.
//   - Palette pictures whose pixels name colours past the palette come out black in
//     Qt's conversion; they are refused.

#include <QImage>
#include <cstdint>
#include <string>

#include "byte_order.h"

namespace vellora::imaging {

inline constexpr std::int64_t kBmpFileHeaderBytes = 14;
inline constexpr std::uint32_t kBmpRgb = 0, kBmpRle8 = 1, kBmpRle4 = 2, kBmpBitfields = 3;

// The header fields: the four Windows header sizes carry 32-bit sizes, the old 12-byte
// header unsigned 16-bit ones (which Qt's reader takes for signed; decodeCheckedBmp
// refuses the sides where that differs).
struct BmpLayout {
    std::uint32_t pixelOffset = 0;
    std::uint32_t headerSize = 0;
    std::int64_t width = 0;
    std::int64_t height = 0;  // negative: rows stored top-down
    int bitsPerPixel = 0;
    std::uint32_t compression = kBmpRgb;
    std::uint32_t dataSize = 0;
    std::uint32_t coloursUsed = 0;
    std::int32_t xPixelsPerMetre = 0;  // 0: not given (and always so in a 12-byte header)
    std::int32_t yPixelsPerMetre = 0;
    // An ICC profile a version 5 header says is embedded in the file: where, from the
    // file's start, and how long. Size 0: none.
    std::int64_t profileOffset = 0;
    std::int64_t profileSize = 0;
};

// Reads the header of the open bitmap `fd` of `fileSize` bytes into `layout` and checks
// it: a kind Qt decodes and we accept, sides a JPEG can hold. "" or the reason. The
// caller then checks the picture's size against its own memory limit, and only then
// the data with checkBmpData.
[[nodiscard]] std::string readBmpLayout(int fd, std::int64_t fileSize, BmpLayout& layout);

// "" when the file holds all the pixel data and the embedded profile its header
// promises, and run-length data is complete and inside the picture; otherwise why not.
[[nodiscard]] std::string checkBmpData(int fd, std::int64_t fileSize, const BmpLayout& layout);

// Decodes a bitmap that passed both checks with Qt's reader into `image`, in Qt's
// format for it, every pixel one the file gave. "" or the reason.
[[nodiscard]] std::string decodeCheckedBmp(int fd, const BmpLayout& layout, QImage& image);

}  // namespace vellora::imaging
