// Any bytes through the command line's coefficient paths: the lossless repack and the
// stored-coefficient requantisation --target-ssim uses. A repack must decode to exactly the
// input's pixels; a stored-coefficient result must decode at the input's size; anything
// refused or failed says why.

#include <QByteArray>
#include <QImage>
#include <cstdint>

#include "cli/lossless_repack.h"
#include "cli/requantiser.h"
#include "fuzz/fuzz_support.h"
#include "imaging/jpeg_encoder.h"

namespace {

using vellora::fuzz::require;
namespace cli = vellora::cli;

void checkRepack(const QByteArray& input, const QImage& decoded) {
    const cli::RepackResult repacked = cli::repackJpeg(input, {});
    if (repacked.status != cli::RepackStatus::Ok) {
        require(!repacked.message.isEmpty(), "a repack that is not made says why");
        return;
    }
    require(!decoded.isNull(), "a repacked input decodes");
    const QImage again = QImage::fromData(repacked.bytes, "JPEG");
    require(again == decoded, "a repack decodes to the input's pixels");
}

void checkStoredPicture(const QByteArray& input, const QImage& decoded) {
    cli::StoredPicture stored;
    const cli::RepackResult read = cli::readStoredPicture(input, stored);
    if (read.status != cli::RepackStatus::Ok) {
        require(!read.message.isEmpty(), "stored coefficients that are not read say why");
        return;
    }
    if (decoded.isNull()) {
        return;  // the encode needs the pixels; Qt refusing them is the reader's concern
    }
    const QImage rgb = decoded.convertToFormat(QImage::Format_RGB888);
    const vellora::imaging::PixelView view{rgb.constBits(), rgb.width(), rgb.height(),
                                           rgb.bytesPerLine(), 3};
    constexpr int kQuality = 70;
    const vellora::imaging::EncodedJpeg encoded = vellora::imaging::encodeBest(view, kQuality, {});
    require(encoded.ok(), "the pixels encode", encoded.error);
    const QByteArray encodedBytes(reinterpret_cast<const char*>(encoded.bytes.data()),
                                  static_cast<qsizetype>(encoded.bytes.size()));
    const cli::RepackResult moved = cli::withStoredPicture(
        stored, encodedBytes, cli::requantisedLumaTable(stored, kQuality), kQuality);
    if (moved.status != cli::RepackStatus::Ok) {
        require(!moved.message.isEmpty(), "a stored-coefficient result that is not made says why");
        return;
    }
    const QImage result = QImage::fromData(moved.bytes, "JPEG");
    require(!result.isNull() && result.size() == decoded.size(),
            "a stored-coefficient result decodes at the input's size");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray input(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const QImage decoded = QImage::fromData(input, "JPEG");
    checkRepack(input, decoded);
    checkStoredPicture(input, decoded);
    return 0;
}
