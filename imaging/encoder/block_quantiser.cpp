#include "imaging/encoder/block_quantiser.h"

#include <algorithm>
#include <cmath>

namespace vellora::imaging::encoder {

BlockQuantiser::BlockQuantiser(const QuantTable& table, const Settings& settings, bool luma)
    : m_threshold(luma ? settings.zeroThreshold : 0.5f),
      m_roundOffset(settings.roundOffset),
      m_adaptive(luma ? settings.adaptiveStrength : 0.0f) {
    for (int k = 0; k < 64; ++k) {
        m_inverseStep[k] = 1.0f / static_cast<float>(table[k]);
    }
}

void BlockQuantiser::quantise(const float* coefficients, JCOEF* out) const {
    float threshold = m_threshold;
    if (m_adaptive > 0.0f) {
        // Texture energy: the standard deviation of the block's samples (Parseval).
        // Smooth blocks keep plain rounding; the threshold rises to its full value
        // as the deviation reaches m_adaptive grey levels.
        // (Eight partial sums: a single float sum cannot be vectorised.)
        float partial[8] = {};
        for (int row = 0; row < 8; ++row) {
            for (int i = 0; i < 8; ++i) {
                partial[i] += coefficients[row * 8 + i] * coefficients[row * 8 + i];
            }
        }
        float energy = -coefficients[0] * coefficients[0];
        for (const float sum : partial) {
            energy += sum;
        }
        energy = std::max(energy, 0.0f);
        const float deviation = std::sqrt(energy) / 8.0f;
        const float texture = std::min(1.0f, deviation / m_adaptive);
        threshold = 0.5f + (m_threshold - 0.5f) * texture;
    }
    // Branch-free so that the loop vectorises: levels are truncations of
    // magnitude + offset (non-negative, so truncation is floor), at least 1 once the
    // magnitude passes the threshold, and within the 10 bits baseline AC allows.
    for (int k = 0; k < 64; ++k) {
        const float value = coefficients[k] * m_inverseStep[k];
        const float magnitude = std::fabs(value);
        int level = static_cast<int>(std::min(magnitude + m_roundOffset, 1023.0f));
        level = level < 1 ? 1 : level;
        level = magnitude < threshold ? 0 : level;
        out[k] = static_cast<JCOEF>(value < 0.0f ? -level : level);
    }
    // DC (overwriting the loop's result): plain rounding, always; its error shows as blocking.
    const float dc = std::nearbyint(coefficients[0] * m_inverseStep[0]);
    out[0] = static_cast<JCOEF>(std::clamp(dc, -2047.0f, 2047.0f));
}

}  // namespace vellora::imaging::encoder
