#pragma once
// Pictures of every JPEG kind the lossless repack must handle, a decoder that gives the
// exact pixels libjpeg-turbo makes of a file, and a plain SSIM written the slow, direct
// way (every window summed in full) to check the tool's own against.

#include <QByteArray>
#include <QImage>
#include <QString>
#include <optional>
#include <vector>

namespace vellora::test {

struct JpegKind {
    const char* name;
    bool grey = false;
    int lumaH = 2;  // luma sampling factors (chroma 1x1): 1x1 = 4:4:4, 2x1 = 4:2:2, 2x2 = 4:2:0
    int lumaV = 2;
    int chromaH = 1;  // colour sampling factors: above the luma's, the luma is the coarser
    int chromaV = 1;
    bool progressive = false;
    int restartRows = 0;  // a restart marker every N MCU rows
    bool exif = false;    // an EXIF block with orientation 6
    bool icc = false;     // a (made-up, well-formed) ICC profile in two APP2 blocks
    bool comment = false;
    int crTableScale = 0;  // percent: Cr gets its own table, Cb's scaled; 0: Cr shares Cb's
    bool scanPerComponent = false;  // sequential, one whole scan for each component
};

// The kinds: baseline 4:2:0, progressive, grey, 4:4:4, 4:2:2, restart markers, EXIF
// and ICC, Cr with a table of its own, a comment.
[[nodiscard]] std::vector<JpegKind> jpegKinds();

// `image` (RGB888) written by libjpeg-turbo as that kind at `quality`; empty on failure.
[[nodiscard]] QByteArray encodeKind(const QImage& image, const JpegKind& kind, int quality = 90);

// `image` as a valid JPEG of one scan per component, all three quantised through table
// slot 0, which is defined again with the colour's steps just before the colour's
// scans: the luma's table is no longer in the file at its end.
[[nodiscard]] QByteArray withTableDefinedAgain(const QImage& image);

// What libjpeg-turbo decodes the file to (RGB for colour, one byte per pixel for grey),
// with the size; nullopt when it cannot be decoded.
struct DecodedPixels {
    int width = 0;
    int height = 0;
    int components = 0;
    QByteArray samples;
    friend bool operator==(const DecodedPixels&, const DecodedPixels&) = default;
};
[[nodiscard]] std::optional<DecodedPixels> decodeWithLibjpeg(const QByteArray& jpeg);

// Mean SSIM on BT.601 luma, 11x11 Gaussian window (sigma 1.5), valid windows only,
// computed directly per window in double precision. For small pictures: slow.
[[nodiscard]] double directSsim(const QImage& a, const QImage& b);

// Multi-scale SSIM over `scales` scales the same direct way: the contrast-structure
// mean at each finer scale and the SSIM at the coarsest, each scale the 2 x 2 means of
// the one before, with the five standard weights (the first `scales` of them, scaled to
// sum to one).
[[nodiscard]] double directMultiScaleSsim(const QImage& a, const QImage& b, int scales);

}  // namespace vellora::test
