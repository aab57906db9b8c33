#pragma once
// The EXIF block that travels with a picture: read the orientation, and rewrite the
// block for pixels that have been turned upright (orientation 1, no thumbnail).

#include <cstdint>
#include <span>
#include <vector>

namespace vellora::imaging {

struct UprightExif {
    // The EXIF orientation of the stored pixels, 1 to 8 (1 when absent or invalid).
    int orientation = 1;
    // The rewritten APP1 payload ("Exif\0\0" + TIFF data); empty when the block could
    // not be parsed, so a damaged block is dropped rather than copied.
    std::vector<std::uint8_t> block;
};

// The orientation the block gives the main image, 1 to 8 (1 when absent or invalid).
// `app1` is an APP1 payload starting "Exif\0\0".
[[nodiscard]] int exifOrientation(std::span<const std::uint8_t> app1);

// `app1` is an APP1 payload starting "Exif\0\0", for a picture stored `storedWidth` x
// `storedHeight` pixels: the subject's place in it (SubjectArea, SubjectLocation) is
// turned with the pixels.
[[nodiscard]] UprightExif rewriteExifUpright(std::span<const std::uint8_t> app1, int storedWidth,
                                             int storedHeight);

// The block with the picture's size in it made `width` x `height` (the EXIF pixel
// dimensions, and the main image's width and length where a writer put them), for a
// picture turned or cut since; byte for byte the same when nothing changes or the block
// cannot be parsed.
[[nodiscard]] std::vector<std::uint8_t> exifWithPixelSize(std::span<const std::uint8_t> app1,
                                                          int width, int height);

// The block without the subject's place in the picture (SubjectArea, SubjectLocation),
// for a cut-out whose pixels no longer start where they did; byte for byte the same when
// it has neither or cannot be parsed.
[[nodiscard]] std::vector<std::uint8_t> exifWithoutSubject(std::span<const std::uint8_t> app1);

}  // namespace vellora::imaging
