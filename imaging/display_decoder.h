#pragma once
// Decoding a JPEG for the windows without Qt's generic reader: libjpeg-turbo writes
// straight into the picture's own buffer (no row copies, no conversion pass), and a
// second core decodes the lower half of the picture at the same time (of a progressive
// file with heavy colour scans: those scans). The pixels, the format, the resolution
// and the colour space come out as Qt's reader makes them; but CMYK comes out as the
// image library reads it (Qt takes every CMYK file for Adobe's inverted inks, and
// showed a file of plain ink amounts as its negative of what gets saved).

#include <string>

#include <QByteArray>
#include <QImage>

namespace vellora::imaging {

struct JpegStructure;

// The picture in `bytes` as Qt's JPEG reader would give it (Format_RGB32 for colour,
// Format_Grayscale8 for grey; resolution, colour space and comments). A null image when the file is
// one this decoder leaves to Qt: not an 8-bit JPEG with one grey, three YCbCr or four
// CMYK or YCCK components, damaged in any way (Qt then decides how to show it, as before), or
// larger than the windows' allocation limit (kPictureAllocationLimitMB, which Qt's reader refuses
// too). `threads`: 0 picks by the picture's size and the machine; 1 or 2 force it. `walked`: the
// file's marker walk (picture_checks.h) when the caller has made it already; otherwise a
// progressive colour file is walked here.
[[nodiscard]] QImage decodeJpegForDisplay(const QByteArray& bytes, int threads = 0,
                                          const JpegStructure* walked = nullptr);

// "" when libjpeg-turbo decodes the whole of `bytes` without a warning of damaged data;
// otherwise "file is truncated or corrupt: " and its warning, or the reason a kind it
// cannot decode is refused (as the image library refuses such a file). Other errors
// that stop libjpeg altogether are not judged here.
[[nodiscard]] std::string jpegDamage(const QByteArray& bytes);

// As jpegDamage, and libjpeg's reason for any other error too: for a file Qt's reader
// cannot read either, whose own reason would be "Unable to read image data".
[[nodiscard]] std::string jpegRefusal(const QByteArray& bytes);

}  // namespace vellora::imaging
