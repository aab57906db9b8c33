#pragma once
// SSIM (structural similarity) of two pictures' luma, the measure behind
// --target-ssim. It compares local means, contrasts and the correlation of the two
// pictures in a sliding 11x11 Gaussian window (sigma 1.5), with the usual constants
// C1 = (0.01 * 255)^2 and C2 = (0.03 * 255)^2, at full resolution and over every window
// position that lies wholly inside the picture; the result is the mean over those
// positions. 1 means identical; on photos, JPEG results at 0.98 and above are hard to
// tell from the original at normal viewing size, 0.95 shows softening on close looks.
// On a picture narrower or lower than the window, the window narrows to it on that side
// (the middle taps of the same Gaussian): a strip still compares local structure.

#include <QByteArray>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace vellora::cli {

// Luma (BT.601: 0.299 R + 0.587 G + 0.114 B, 0..255) of a picture, row by row.
struct LumaPlane {
    int width = 0;
    int height = 0;
    std::vector<float> values;
};

// From packed 8-bit RGB rows `stride` bytes apart.
[[nodiscard]] LumaPlane lumaFromRgb(const std::uint8_t* rgb, int width, int height,
                                    std::ptrdiff_t stride);

// A picture as packed 8-bit RGB rows `stride` bytes apart, not owned.
struct RgbPicture {
    const std::uint8_t* rgb = nullptr;
    int width = 0;
    int height = 0;
    std::ptrdiff_t stride = 0;
};

// Decodes a JPEG file's bytes (through libjpeg-turbo, to RGB like the picture reader)
// into luma; nullopt with `error` set when the bytes cannot be decoded.
[[nodiscard]] std::optional<LumaPlane> decodeJpegLuma(const QByteArray& jpeg, QString& error);

// The mean SSIM of two planes of the same size; nullopt when the sizes differ or a
// plane is empty.
[[nodiscard]] std::optional<double> meanSsim(const LumaPlane& reference, const LumaPlane& other);

// Multi-scale SSIM (Wang, Simoncelli and Bovik, 2003): the contrast-structure part of
// SSIM at full, half, quarter and eighth size and the whole SSIM at a sixteenth (each
// halving a 2 x 2 mean), weighted 0.0448, 0.2856, 0.3001, 0.2363, 0.1333. It weighs the
// coarser structure a viewer sees from a distance more than single-scale SSIM does, and
// fine-grain noise less. A picture too small for five scales uses as many as hold the
// window, with the weights shared among them. Same nullopt cases as meanSsim.
[[nodiscard]] std::optional<double> multiScaleSsim(const LumaPlane& reference,
                                                   const LumaPlane& other);

// The SSIM (multiScale: multi-scale SSIM) of a JPEG file's decoded luma against a
// picture's, the same value as meanSsim (multiScaleSsim) of their planes. Both are
// taken a row at a time as the JPEG decodes, so neither picture's luma is held whole
// (as floats, 800 MB on a 100-megapixel photo; the multi-scale measure holds the
// quarter-size planes). nullopt with `error` set when the bytes cannot be decoded or
// the sizes differ.
[[nodiscard]] std::optional<double> jpegSsim(const RgbPicture& reference, const QByteArray& jpeg,
                                             bool multiScale, QString& error);

}  // namespace vellora::cli
