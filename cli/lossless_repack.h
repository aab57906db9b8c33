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

#include "cli/requantiser.h"
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

// The stored planes of the JPEG file held in `input`, for withStoredPicture; Refused
// when it cannot keep its own luma (not a grey or YCbCr 8-bit Huffman JPEG, or stored
// turned), Failed when it cannot be read.
[[nodiscard]] RepackResult readStoredPicture(const QByteArray& input, StoredPicture& picture);

// `encoded` (our encode of the picture `picture` came from, same size, not turned or cut)
// with its luma replaced by the stored luma requantised onto `table` with `quality`'s
// dead zone (see requantiser.h), and its colour planes by the stored ones where both
// are 4:2:0 alike, requantised onto the encode's colour steps with the stored ones kept
// where those are not much coarser; otherwise the colour stays the encode's. The markers
// stay the encode's. Refused when the encode's luma does not line up with the input's.
[[nodiscard]] RepackResult withStoredPicture(const StoredPicture& picture,
                                             const QByteArray& encoded,
                                             const imaging::encoder::QuantTable& table,
                                             int quality);

// The orientation (1..8) in an APP1 EXIF payload starting "Exif\0\0"; 1 when the block
// is malformed or has none.
[[nodiscard]] int exifOrientation(const QByteArray& payload);

// A minimal APP1 EXIF payload holding only the orientation.
[[nodiscard]] QByteArray minimalExif(int orientation);

}  // namespace vellora::cli
