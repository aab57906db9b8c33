#pragma once
// Progressive scan layouts for the tuned encoder.

#include <cstddef>
#include <cstdio>

#include <jpeglib.h>

#include "imaging/encoder/encoder_settings.h"

namespace vellora::imaging::encoder {

// Sets info's scan layout (after jpeg_set_defaults, before jpeg_write_coefficients).
// The scan tables are static: libjpeg keeps the pointer until the end of compression.
void applyScanLayout(jpeg_compress_struct* info, ScanLayout layout);

// Where two compressors share the entropy coding of one picture: the second encodes
// the scans from this index on, the first the ones before it (every scan is coded on
// its own, with its own Huffman tables). 0 when the layout is not shared.
[[nodiscard]] int sharedScanSplit(ScanLayout layout, int components);

}  // namespace vellora::imaging::encoder
