#pragma once
// --lossless: a JPEG made smaller without touching a pixel. The quantised DCT
// coefficients are read as they are stored and written again with Huffman tables
// optimised for them and a progressive scan layout; the decoder then reproduces the
// input's pixels exactly. Markers are copied (or dropped for --strip / --strip-icc);
// EXIF orientation stays a tag because the pixels are not turned.

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <optional>

#include "imaging/encoder/quant_tables.h"

namespace vellora::cli {

struct RepackSettings {
    // Drop EXIF, XMP, IPTC, comments and other application blocks. A non-default EXIF
    // orientation survives as a minimal EXIF block, so the picture still shows upright.
    bool stripMetadata = false;
    bool stripIcc = false;  // drop the ICC colour profile
};

enum class RepackStatus {
    Ok,
    Refused,  // a kind of JPEG this mode does not repack (a skip, not a failure)
    Failed,   // unreadable or damaged input
};

struct RepackResult {
    RepackStatus status = RepackStatus::Failed;
    QByteArray bytes;  // the new file, for Ok
    QString message;   // why, for Refused and Failed
};

// Repacks the JPEG file held in `input`. Tries our progressive layout and libjpeg's
// and keeps the smaller, so the result is never larger than libjpeg's own repack.
[[nodiscard]] RepackResult repackJpeg(const QByteArray& input, const RepackSettings& settings);

// The luma steps a JPEG input keeps under `quality` (see requantisedLumaTable);
// nullopt when its luma cannot be kept: not a grey or YCbCr 8-bit Huffman JPEG, stored
// turned, or unreadable.
[[nodiscard]] std::optional<imaging::encoder::QuantTable> storedLumaTable(const QByteArray& input,
                                                                          int quality);

// `encoded` (our encode of the picture `input` holds, same size, not turned or cut)
// with its luma replaced by the input's own luma coefficients requantised onto `table`
// with `quality`'s dead zone (see requantiser.h); the chroma and the markers stay the
// encode's. Refused when the input's luma cannot be kept or does not line up.
[[nodiscard]] RepackResult withStoredLuma(const QByteArray& input, const QByteArray& encoded,
                                          const imaging::encoder::QuantTable& table, int quality);

// The orientation (1..8) in an APP1 EXIF payload starting "Exif\0\0"; nullopt when the
// block is malformed or has no orientation.
[[nodiscard]] std::optional<int> exifOrientation(const QByteArray& payload);

// A minimal APP1 EXIF payload holding only the orientation.
[[nodiscard]] QByteArray minimalExif(int orientation);

}  // namespace vellora::cli
