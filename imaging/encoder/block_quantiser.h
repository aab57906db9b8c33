#pragma once
// Quantisation of one 8x8 block of DCT coefficients, with adaptive zeroing.
//
// Plain JPEG encoders round every coefficient to the nearest step. Most of a JPEG file
// is spent on small AC coefficients that round to +-1, and whether the eye misses one
// depends on its surroundings: in busy texture the error is masked, on smooth areas
// and gentle gradients it shows as blotches and banding. So a coefficient is zeroed
// below a threshold that grows with the block's own texture energy, and is kept down
// to plain rounding where the block is smooth. In textured blocks a lone +-1 at the end
// of the block is also dropped when the error it removes is small for the bits it
// costs: a cheap, local form of rate-distortion (trellis) quantisation.

#include <cstddef>
#include <cstdio>

#include <jpeglib.h>

#include "imaging/encoder/encoder_settings.h"
#include "imaging/encoder/quant_tables.h"

namespace vellora::imaging::encoder {

class BlockQuantiser {
public:
    BlockQuantiser(const QuantTable& table, const Settings& settings, bool luma);

    // Quantises `coefficients` (natural order, from forwardDct8x8) into `out`.
    void quantise(const float* coefficients, JCOEF* out) const;

private:
    void trimTail(const float* coefficients, float lambda, JCOEF* out) const;

    float m_inverseStep[64] = {};
    float m_boost[64] = {};  // added to the zero threshold, natural order
    float m_tailLambda = 0.0f;
    float m_adaptiveRounding = 0.0f;
    float m_threshold = 0.5f;
    float m_roundOffset = 0.5f;
    float m_adaptive = 0.0f;
};

}  // namespace vellora::imaging::encoder
