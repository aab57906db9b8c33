#pragma once
// The 8x8 forward DCT in floating point. We do our own transform (instead of letting
// libjpeg quantise its integer DCT) because the quantiser needs the exact coefficient
// values: the decision to zero a coefficient or round it down depends on how far it
// lies from the quantisation grid.

namespace vellora::imaging::encoder {

// Transforms one block. `samples` holds 8 rows of 8 level-shifted samples (value - 128),
// `stride` floats apart; `coefficients` receives the 64 results in natural (row-major)
// order, scaled as JPEG defines them (DC = sum / 8).
void forwardDct8x8(const float* samples, int stride, float* coefficients);

}  // namespace vellora::imaging::encoder
