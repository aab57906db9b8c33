#pragma once
// Encoding an RGB or grey picture as a JPEG file image in memory. Two encoders sit
// behind one call: the plain libjpeg-turbo one (optimised Huffman tables, progressive
// scans) and our tuned one (the save entry's "best" flag).

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <jpeglib.h>

#include "jpeg_markers.h"
#include "pixel_density.h"

namespace vellora::jpeg {
class Compressor;
class MemoryDestination;
}  // namespace vellora::jpeg

namespace vellora::imaging {

// Pixels to encode: rows of `width` pixels, `channels` bytes each (3: R, G, B; 1: grey),
// `stride` bytes apart.
struct PixelView {
    const std::uint8_t* pixels = nullptr;
    int width = 0;
    int height = 0;
    std::ptrdiff_t stride = 0;
    int channels = 3;
};

// Metadata written back into the file. `exif` is the APP1 payload, starting with
// "Exif\0\0"; `icc` is the whole colour profile; empty means none. `markers` are the
// other markers carried as they were (comments, XMP, IPTC), written in their order.
// `density` goes into the JFIF header.
struct JpegMetadata {
    std::vector<std::uint8_t> exif;
    std::vector<std::uint8_t> icc;
    std::vector<CarriedMarker> markers;
    PixelDensity density;
};

enum class EncoderKind { Standard, Best };

struct EncodedJpeg {
    std::vector<std::uint8_t> bytes;
    std::string error;  // empty on success
    [[nodiscard]] bool ok() const { return error.empty() && !bytes.empty(); }
};

// Quality 1 (smallest) to 100 (best); values outside are clamped.
[[nodiscard]] EncodedJpeg encodeJpeg(const PixelView& picture, int quality, EncoderKind kind,
                                     const JpegMetadata& metadata);

[[nodiscard]] EncodedJpeg encodeStandard(const PixelView& picture, int quality,
                                         const JpegMetadata& metadata);
[[nodiscard]] EncodedJpeg encodeBest(const PixelView& picture, int quality,
                                     const JpegMetadata& metadata);

// Whether an ICC profile is for grey pictures (colour space "GRAY" at byte 16). A
// profile must match the file's components: an RGB one on a one-component file, or a
// grey one on a three-component file, is malformed, and colour-managed viewers may drop
// or refuse it.
[[nodiscard]] bool isGreyProfile(const std::vector<std::uint8_t>& icc);

// Why `picture` cannot be encoded as a JPEG (no pixels, an empty or too large size,
// channels other than 1 or 3, a stride shorter than a row); empty when it can.
[[nodiscard]] std::string encodingProblem(const PixelView& picture);

// The outcome of a guarded encoding run: the finished file image when `ok`, otherwise
// libjpeg's reason.
[[nodiscard]] EncodedJpeg encodedResult(bool ok, jpeg::Compressor& compressor,
                                        const jpeg::MemoryDestination& destination);

// Sets the density the JFIF header will give; call after jpeg_set_defaults.
void setJfifDensity(jpeg_compress_struct* info, const PixelDensity& density);

// Writes the EXIF (APP1) marker, the carried markers and the ICC (APP2) markers; call between
// jpeg_start_compress (or jpeg_write_coefficients) and the first scan, inside a guarded step.
void writeMetadataMarkers(jpeg_compress_struct* info, const JpegMetadata& metadata);

}  // namespace vellora::imaging
