#include "imaging/encoder/block_quantiser.h"

#include <algorithm>
#include <cmath>

namespace vellora::imaging::encoder {
namespace {

// Zig-zag position -> natural (row-major) index.
constexpr int kZigzag[64] = {0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
                             12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
                             35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
                             58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

// Rough cost in bits of coding a +-1 after `run` zeros: the Huffman code of the
// (run, size 1) symbol in typical optimised tables, plus the sign bit.
float costOfOne(int run) {
    return 3.0f + static_cast<float>(std::min(run, 15)) * 0.7f +
           5.0f * static_cast<float>(run / 16);
}

}  // namespace

BlockQuantiser::BlockQuantiser(const QuantTable& table, const Settings& settings, bool luma)
    : m_threshold(luma ? settings.zeroThreshold : 0.5f),
      m_roundOffset(settings.roundOffset),
      m_adaptive(luma ? settings.adaptiveStrength : 0.0f) {
    for (int k = 0; k < 64; ++k) {
        m_inverseStep[k] = 1.0f / static_cast<float>(table[k]);
    }
    if (luma) {
        m_tailLambda = settings.tailLambda;
        m_adaptiveRounding = settings.adaptiveRounding;
        for (int z = 1; z < 64; ++z) {
            m_boost[kZigzag[z]] = settings.highFrequencyBoost * static_cast<float>(z) / 63.0f;
        }
    }
}

void BlockQuantiser::quantise(const float* coefficients, JCOEF* out) const {
    float threshold = m_threshold;
    float roundOffset = m_roundOffset;
    float tailLambda = m_tailLambda;
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
        roundOffset -= m_adaptiveRounding * texture;
        tailLambda *= texture;
    }
    // Branch-free so that the loop vectorises: levels are truncations of
    // magnitude + offset (non-negative, so truncation is floor), at least 1 once the
    // magnitude passes the threshold, and within the 10 bits baseline AC allows.
    for (int k = 0; k < 64; ++k) {
        const float value = coefficients[k] * m_inverseStep[k];
        const float magnitude = std::fabs(value);
        int level = static_cast<int>(std::min(magnitude + roundOffset, 1023.0f));
        level = level < 1 ? 1 : level;
        level = magnitude < threshold + m_boost[k] ? 0 : level;
        out[k] = static_cast<JCOEF>(value < 0.0f ? -level : level);
    }
    if (tailLambda > 0.0f) {
        trimTail(coefficients, tailLambda, out);
    }
    // DC (overwriting the loop's result): plain rounding, always; its error shows as blocking.
    // Within +-1023, as an 8-bit JPEG's DC is, so that the difference of two neighbours
    // stays below the 2048 the coder takes: sharpened colour overshoots the sample range
    // at hard edges of saturated colours, and at step 1 such a difference did not fit.
    const float dc = std::nearbyint(coefficients[0] * m_inverseStep[0]);
    out[0] = static_cast<JCOEF>(std::clamp(dc, -1023.0f, 1023.0f));
}

void BlockQuantiser::trimTail(const float* coefficients, float lambda, JCOEF* out) const {
    // Walk back from the last non-zero coefficient: a lone +-1 at the end of a block
    // costs a whole (run, size) code and usually sits in the high frequencies where its
    // error is least visible; dropping it also lengthens the block's end-of-band run.
    int last = 63;
    while (last > 0 && out[kZigzag[last]] == 0) {
        --last;
    }
    while (last > 0) {
        const int index = kZigzag[last];
        if (out[index] != 1 && out[index] != -1) {
            break;
        }
        int previous = last - 1;
        while (previous > 0 && out[kZigzag[previous]] == 0) {
            --previous;
        }
        const float magnitude = std::fabs(coefficients[index] * m_inverseStep[index]);
        const float addedError = 2.0f * magnitude - 1.0f;  // (m)^2 - (m - 1)^2
        if (addedError >= lambda * costOfOne(last - previous - 1)) {
            break;
        }
        out[index] = 0;
        last = previous;
    }
}

}  // namespace vellora::imaging::encoder
