#pragma once
// The luma of a JPEG input, requantised in the DCT domain. Decoding a stored JPEG to
// pixels and encoding it again adds a second round of errors on top of the first: the
// coefficients the decoder used are rounded to 8-bit samples and quantised afresh onto
// a grid that does not line up with the stored one. Requantising the stored
// coefficients instead (level x stored step, onto the new step, with the tuned
// encoder's dead zone and tail trimming) adds error only where the new step is
// coarser, and wherever the stored step is kept the coefficient comes back exactly.
// On photos already saved at a middle quality this keeps a given closeness to the
// input (SSIM, measured on luma) with fewer luma bytes than any re-encode.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include <jpeglib.h>

#include "imaging/encoder/quant_tables.h"

namespace vellora::cli {

// A JPEG input's luma as stored: its size, its quantised blocks (row by row, natural
// order within a block) and their steps. Read once, requantised for every trial.
struct StoredLuma {
    JDIMENSION imageWidth = 0;
    JDIMENSION imageHeight = 0;
    JDIMENSION widthInBlocks = 0;
    JDIMENSION heightInBlocks = 0;
    std::array<std::uint16_t, DCTSIZE2> steps{};
    std::vector<JCOEF> levels;
};

// Whether the file's luma can be requantised: grey or YCbCr, 8-bit.
[[nodiscard]] bool canRequantise(const jpeg_decompress_struct& in);

// Fills `luma` from the first component of `in` (read by jpeg_read_coefficients).
// Runs libjpeg's memory manager: call inside the error bridge.
void readLuma(jpeg_decompress_struct* in, jvirt_barray_ptr blocks, StoredLuma& luma);

// The new luma steps for `quality`: the tuned encoder's luma steps, except that a
// stored step is kept wherever the tuned one is less than kKeepFactor times coarser.
// A step just above the stored one moves nearly every value by up to half a step for
// a small saving; a finer one cannot bring back what the stored step removed. 1.5 gave
// the fewest bytes at SSIM 0.99 on the shared photos as stored (1.0, 2.0 and 3.0 each
// 2 to 4 % more; at 0.98, 2.0 was 2 % smaller than 1.5).
inline constexpr float kKeepFactor = 1.5f;
[[nodiscard]] imaging::encoder::QuantTable requantisedLumaTable(const StoredLuma& luma,
                                                                int quality);

// The quality whose tuned luma steps are, on geometric average, no coarser than
// `table`'s: the quality the rest of the picture (the chroma) is encoded at beside a
// luma requantised onto `table`, so the two keep the balance the encoder gives them.
[[nodiscard]] int equivalentQuality(const imaging::encoder::QuantTable& table);

// Writes `luma` requantised onto `table` (with `quality`'s dead zone) over the first
// component's blocks of `to`, which must be as many. Runs libjpeg's memory manager:
// call inside `to`'s error bridge.
void requantiseInto(const StoredLuma& luma, const imaging::encoder::QuantTable& table, int quality,
                    jpeg_decompress_struct* to, jvirt_barray_ptr blocks);

}  // namespace vellora::cli
