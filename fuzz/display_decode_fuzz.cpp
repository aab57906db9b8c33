// Any bytes through the windows' own JPEG decoder, on one core and on two. Whenever it
// gives a picture, Qt's reader must give the same one (format and pixels; for CMYK,
// which Qt always takes for Adobe's inverted inks, the size), and the two thread counts
// must agree; anything it declines is Qt's to show, as before.

#include <QByteArray>
#include <QImage>
#include <QImageReader>
#include <cstdint>

#include "fuzz/fuzz_support.h"
#include "imaging/display_decoder.h"
#include "imaging/picture_checks.h"
#include "imaging/picture_loader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray bytes =
        QByteArray::fromRawData(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    // The windows open pictures with the loader's allocation limit; Qt compares under it.
    QImageReader::setAllocationLimit(vellora::kPictureAllocationLimitMB);
    const QImage one = vellora::imaging::decodeJpegForDisplay(bytes, 1);
    const QImage two = vellora::imaging::decodeJpegForDisplay(bytes, 2);
    vellora::fuzz::require(one.isNull() == two.isNull(), "one and two threads decline alike");
    if (one.isNull()) {
        return 0;
    }
    vellora::fuzz::require(one == two, "one and two threads give the same picture");
    const QImage qt = QImage::fromData(bytes, "JPEG");
    vellora::fuzz::require(!qt.isNull(), "a picture we decode, Qt decodes too");
    const bool inks =
        vellora::imaging::walkJpegStructure({data, size}, vellora::imaging::kMaxJpegScans)
            .frameComponents == 4;
    if (inks) {
        vellora::fuzz::require(qt.size() == one.size(), "the size is Qt's");
        return 0;
    }
    vellora::fuzz::require(qt.format() == one.format(), "the format is Qt's");
    vellora::fuzz::require(qt == one, "the pixels are Qt's");
    return 0;
}
