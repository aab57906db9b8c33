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

#include <cstddef>
#include <cstdio>

#include <jpeglib.h>

#include "imaging/encoder/quant_tables.h"

namespace vellora::cli {

// Whether the file's luma can be requantised: grey or YCbCr, 8-bit.
[[nodiscard]] bool canRequantise(const jpeg_decompress_struct& in);

// The new luma steps for `quality`: the tuned encoder's luma steps, except that a
// stored step is kept wherever the tuned one is less than kKeepFactor times coarser.
// A step just above the stored one moves nearly every value by up to half a step for
// a small saving; a finer one cannot bring back what the stored step removed. 1.5 gave
// the fewest bytes at SSIM 0.99 on the shared photos as stored (1.0, 2.0 and 3.0 each
// 2 to 4 % more; at 0.98, 2.0 was 2 % smaller than 1.5).
inline constexpr float kKeepFactor = 1.5f;
[[nodiscard]] imaging::encoder::QuantTable requantisedLumaTable(const jpeg_decompress_struct& in,
                                                                int quality);

// The quality whose tuned luma steps are, on geometric average, no coarser than
// `table`'s: the quality the rest of the picture (the chroma) is encoded at beside a
// luma requantised onto `table`, so the two keep the balance the encoder gives them.
[[nodiscard]] int equivalentQuality(const imaging::encoder::QuantTable& table);

// Requantises every block of the first component, `blocks` (read by
// jpeg_read_coefficients), from its stored steps onto `table`. Runs libjpeg's memory
// manager: call inside the error bridge.
void requantiseLuma(jpeg_decompress_struct* in, jvirt_barray_ptr blocks,
                    const imaging::encoder::QuantTable& table, int quality);

// Copies the first component's blocks of `from` into `to` (same size in blocks). Runs
// libjpeg's memory manager: call inside the error bridges of both.
void copyLumaBlocks(jpeg_decompress_struct* fromInfo, jvirt_barray_ptr from,
                    jpeg_decompress_struct* toInfo, jvirt_barray_ptr to);

}  // namespace vellora::cli
