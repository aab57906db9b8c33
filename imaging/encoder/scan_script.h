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

}  // namespace vellora::imaging::encoder
