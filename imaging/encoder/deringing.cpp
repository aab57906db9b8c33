#include "imaging/encoder/deringing.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "imaging/encoder/forward_dct.h"

namespace vellora::imaging::encoder {
namespace {

// A level-shifted sample at the top of the range: a source value of 255 within half a
// level, which the decoder gives back as 255 from anything above.
constexpr float kTop = 126.5f;

// The highest block sum that keeps the block's mean inside the range: the DC
// coefficient, and the difference between neighbouring blocks' DCs, then stay where
// 8-bit JPEG keeps them (a baseline DC difference must fit in 11 bits).
constexpr float kHighestSum = 127.0f * 64;

// Rounds of reconstruct, move, quantise after each start point.
constexpr int kRounds = 2;

// Pulls lifted samples back evenly until the block's mean is inside the range.
void keepMeanInRange(const float* block, float* moved) {
    float sum = 0;
    float lifted = 0;
    for (int n = 0; n < 64; ++n) {
        sum += moved[n];
        lifted += moved[n] - block[n];
    }
    if (sum <= kHighestSum || lifted <= 0.0f) {
        return;
    }
    const float keep = std::max(0.0f, 1.0f - (sum - kHighestSum) / lifted);
    for (int n = 0; n < 64; ++n) {
        moved[n] = block[n] + keep * (moved[n] - block[n]);
    }
}

}  // namespace

Deringer::Deringer(const QuantTable& table, float limit, float lambda) : m_limit(limit) {
    for (int k = 0; k < 64; ++k) {
        const int u = k % 8;
        const int v = k / 8;
        const double cu = u == 0 ? std::numbers::sqrt2 / 2 : 1.0;
        const double cv = v == 0 ? std::numbers::sqrt2 / 2 : 1.0;
        for (int n = 0; n < 64; ++n) {
            const int x = n % 8;
            const int y = n / 8;
            m_basis[static_cast<std::size_t>(k * 64 + n)] = static_cast<float>(
                0.25 * cu * cv * std::cos((2 * x + 1) * u * std::numbers::pi / 16) *
                std::cos((2 * y + 1) * v * std::numbers::pi / 16));
        }
        const auto step = static_cast<float>(table[static_cast<std::size_t>(k)]);
        m_step[static_cast<std::size_t>(k)] = step;
        m_rateWeight[static_cast<std::size_t>(k)] = k == 0 ? 0.0f : lambda * step * step;
    }
}

bool Deringer::hasClippedEdge(const float* samples, int stride) {
    // Runs on every luma block: the lightest and darkest samples first, eight lanes
    // side by side so that it vectorises, and almost every block stops there.
    float highest[8];
    float lowest[8];
    std::copy(samples, samples + 8, highest);
    std::copy(samples, samples + 8, lowest);
    for (int y = 1; y < 8; ++y) {
        const float* row = samples + static_cast<std::ptrdiff_t>(y) * stride;
        for (int x = 0; x < 8; ++x) {
            highest[x] = std::max(highest[x], row[x]);
            lowest[x] = std::min(lowest[x], row[x]);
        }
    }
    return *std::max_element(highest, highest + 8) >= kTop &&
           *std::min_element(lowest, lowest + 8) < kTop;
}

void Deringer::reconstruct(const JCOEF* levels, float* samples) const {
    std::fill(samples, samples + 64, 0.0f);
    for (int k = 0; k < 64; ++k) {
        if (levels[k] == 0) {
            continue;
        }
        const float value = static_cast<float>(levels[k]) * m_step[static_cast<std::size_t>(k)];
        const float* pattern = m_basis.data() + static_cast<std::ptrdiff_t>(k) * 64;
        for (int n = 0; n < 64; ++n) {
            samples[n] += value * pattern[n];
        }
    }
}

float Deringer::rate(const JCOEF* levels) const {
    float cost = 0;
    for (int k = 0; k < 64; ++k) {
        cost += levels[k] != 0 ? m_rateWeight[static_cast<std::size_t>(k)] : 0.0f;
    }
    return cost;
}

float Deringer::decodedError(const float* block, const JCOEF* levels) const {
    float decoded[64];
    return decodedError(block, levels, decoded);
}

float Deringer::decodedError(const float* block, const JCOEF* levels, float* decoded) const {
    reconstruct(levels, decoded);
    float error = 0;
    for (int n = 0; n < 64; ++n) {
        const float difference = std::clamp(decoded[n], -128.0f, 127.0f) - block[n];
        error += difference * difference;
    }
    return error;
}

void Deringer::quantise(const float* block, const BlockQuantiser& quantiser, JCOEF* out) const {
    float coefficients[64];
    forwardDct8x8(block, 8, coefficients);
    quantiser.quantise(coefficients, out);
    float plainDecoded[64];
    float best = decodedError(block, out, plainDecoded) + rate(out);

    // How far into the white each clipped sample lies, as a share of the ramp: half
    // next to a sample that is not clipped (its 8 neighbours), whole further in, 0 for
    // the samples that are not clipped.
    float ramp[64] = {};
    for (int n = 0; n < 64; ++n) {
        if (block[n] < kTop) {
            continue;
        }
        const int x = n % 8;
        const int y = n / 8;
        bool edge = false;
        for (int ny = std::max(0, y - 1); ny <= std::min(7, y + 1); ++ny) {
            for (int nx = std::max(0, x - 1); nx <= std::min(7, x + 1); ++nx) {
                edge |= block[ny * 8 + nx] < kTop;
            }
        }
        ramp[n] = edge ? 0.5f : 1.0f;
    }

    float moved[64];
    JCOEF levels[64];
    float decoded[64];  // `levels` decoded, kept from the last cost for the next round
    const auto tryMoved = [&] {
        keepMeanInRange(block, moved);
        forwardDct8x8(moved, 8, coefficients);
        quantiser.quantise(coefficients, levels);
        const float cost = decodedError(block, levels, decoded) + rate(levels);
        if (cost < best) {
            best = cost;
            std::copy(levels, levels + 64, out);
        }
    };
    // Start points: the clipped samples lifted along a ramp from the edge (the rise of
    // the edge carried on past the range), by none, half or all of the limit; each
    // refined by moving every clipped sample by what its reconstruction misses.
    for (const float lift : {0.0f, 0.5f, 1.0f}) {
        for (int n = 0; n < 64; ++n) {
            moved[n] = block[n] + lift * m_limit * ramp[n];
        }
        if (lift > 0.0f) {
            tryMoved();
        } else {
            std::copy(out, out + 64, levels);
            std::copy(plainDecoded, plainDecoded + 64, decoded);
        }
        for (int round = 0; round < kRounds; ++round) {
            for (int n = 0; n < 64; ++n) {
                if (block[n] >= kTop) {
                    moved[n] =
                        std::clamp(moved[n] + block[n] - decoded[n], block[n], block[n] + m_limit);
                }
            }
            tryMoved();
        }
    }
}

}  // namespace vellora::imaging::encoder
