#pragma once
// A JPEG input's coefficients, requantised in the DCT domain. Decoding a stored JPEG to
// pixels and encoding it again adds a second round of errors on top of the first: the
// coefficients the decoder used are rounded to 8-bit samples (and the colour is
// upsampled and downsampled again) and quantised afresh onto a grid that does not line
// up with the stored one. Requantising the stored coefficients instead (level x stored
// step, onto the new step, with the tuned encoder's dead zone and tail trimming) adds
// error only where the new step is coarser, and wherever the stored step is kept the
// coefficient comes back exactly. On photos already saved at a middle quality this
// keeps a given closeness to the input (SSIM, measured on luma) with fewer luma bytes
// than any re-encode; a 4:2:0 input's colour keeps its own coefficients the same way.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include <jpeglib.h>

#include "imaging/encoder/quant_tables.h"

namespace vellora::cli {

// One component of a JPEG input as stored: its blocks (row by row, natural order within
// a block) and their steps.
struct StoredPlane {
    JDIMENSION widthInBlocks = 0;
    JDIMENSION heightInBlocks = 0;
    std::array<std::uint16_t, DCTSIZE2> steps{};
    std::vector<JCOEF> levels;
};

// A JPEG input's size and stored planes: the luma first, then, for a YCbCr input whose
// colour is subsampled 2x2 (the layout the tuned encoder writes below quality 100), the
// two colour planes. Read once, requantised for every trial.
struct StoredPicture {
    JDIMENSION imageWidth = 0;
    JDIMENSION imageHeight = 0;
    std::vector<StoredPlane> planes;
};

// Whether the file's luma can be requantised: grey or YCbCr, 8-bit, the luma at full
// resolution (no colour component sampled more finely).
[[nodiscard]] bool canRequantise(const jpeg_decompress_struct& in);

// Whether `in` is YCbCr with its colour subsampled 2x2 (4:2:0) and every table present:
// the only layout whose colour planes an encode of ours can line up with.
[[nodiscard]] bool hasHalfColour(const jpeg_decompress_struct& in);

// Fills `picture` from `in` (read by jpeg_read_coefficients). Runs libjpeg's memory
// manager: call inside the error bridge.
void readPlanes(jpeg_decompress_struct* in, jvirt_barray_ptr* blocks, StoredPicture& picture);

// The new luma steps for `quality`: the tuned encoder's luma steps, except that a
// stored step is kept wherever the tuned one is less than kKeepFactor times coarser.
// A step just above the stored one moves nearly every value by up to half a step for
// a small saving; a finer one cannot bring back what the stored step removed. 1.5 gave
// the fewest bytes at SSIM 0.99 on the shared photos as stored (1.0, 2.0 and 3.0 each
// 2 to 4 % more; at 0.98, 2.0 was 2 % smaller than 1.5).
inline constexpr float kKeepFactor = 1.5f;
[[nodiscard]] imaging::encoder::QuantTable requantisedLumaTable(const StoredPicture& picture,
                                                                int quality);

// The same rule for a 4:2:0 input's colour, beside the encode's colour steps, with a
// wider margin. Twice the stored step is the worst new step there is: every odd level
// lands halfway and moves by half the new step. On colour, which luma SSIM does not
// see, that showed: at SSIM 0.99 a photo stored at quality 90 reached butteraugli 3.0
// with its lowest colour frequencies requantised from steps 3..5 to 6..10, and 1.7 with
// every stored colour step kept. With 2.5, on the shared 4:2:0 photos at 0.98 and
// 0.99, the kept colour costs 0.4 to 4 % more bytes than re-encoding it from the
// decoded pixels did, and butteraugli falls from 3.1..3.4 to 1.3..2.1 where the colour
// was the worst of the picture (it never rose by more than 0.03).
inline constexpr float kColourKeepFactor = 2.5f;

// `tuned` with each step that is less than `factor` times `stored`'s replaced by the
// stored one.
[[nodiscard]] imaging::encoder::QuantTable keepStoredSteps(
    const std::array<std::uint16_t, DCTSIZE2>& stored, const imaging::encoder::QuantTable& tuned,
    float factor);

// The quality whose tuned luma steps are, on geometric average, no coarser than
// `table`'s: the quality the rest of the picture (the chroma) is encoded at beside a
// luma requantised onto `table`, so the two keep the balance the encoder gives them.
[[nodiscard]] int equivalentQuality(const imaging::encoder::QuantTable& table);

// Writes `plane` requantised onto `table` (with `quality`'s dead zone, the luma's or
// the colour's as `luma` says) over component `component`'s blocks of `to`, which must
// be as many. Runs libjpeg's memory manager: call inside `to`'s error bridge.
void requantiseInto(const StoredPlane& plane, const imaging::encoder::QuantTable& table,
                    int quality, bool luma, jpeg_decompress_struct* to, int component,
                    jvirt_barray_ptr blocks);

}  // namespace vellora::cli
