#include "imaging/encoder/block_quantiser.h"

#include <algorithm>
#include <cmath>

namespace vellora::imaging::encoder {

BlockQuantiser::BlockQuantiser(const QuantTable& table, const Settings& settings, bool luma)
    : m_threshold(settings.zeroThreshold),
      m_roundOffset(settings.roundOffset),
      m_adaptive(luma ? settings.adaptiveStrength : 0.0f) {
    for (int k = 0; k < 64; ++k) {
        m_inverseStep[k] = 1.0f / static_cast<float>(table[k]);
    }
}

void BlockQuantiser::quantise(const float* coefficients, JCOEF* out) const {
    // DC: plain rounding, always; its error shows as blocking.
    const float dc = std::nearbyint(coefficients[0] * m_inverseStep[0]);
    out[0] = static_cast<JCOEF>(std::clamp(dc, -2047.0f, 2047.0f));

    float threshold = m_threshold;
    if (m_adaptive > 0.0f) {
        // Texture energy: the standard deviation of the block's samples (Parseval).
        float energy = 0.0f;
        for (int k = 1; k < 64; ++k) {
            energy += coefficients[k] * coefficients[k];
        }
        const float deviation = std::sqrt(energy) / 8.0f;
        const float masking = std::log2(1.0f + deviation / 8.0f);
        threshold *= std::clamp(1.0f + m_adaptive * (masking - 1.0f), 0.7f, 3.0f);
    }
    for (int k = 1; k < 64; ++k) {
        const float value = coefficients[k] * m_inverseStep[k];
        const float magnitude = std::fabs(value);
        if (magnitude < threshold) {
            out[k] = 0;
            continue;
        }
        const float level = std::max(1.0f, std::floor(magnitude + m_roundOffset));
        const float clamped = std::min(level, 1023.0f);
        out[k] = static_cast<JCOEF>(value < 0.0f ? -clamped : clamped);
    }
}

}  // namespace vellora::imaging::encoder
