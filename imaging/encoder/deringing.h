#pragma once
// Deringing of clipped highlights.
//
// Where white paper, a blown sky or a light source meets the picture, a block holds a
// step up to the top of the range. Quantised, the step rings: the decoded block ripples
// on both sides, and on the white side the ripples show as grey smudges on a flat,
// bright area, where the eye sees them best. But a decoder clips every sample to
// 0..255, so a pixel at 255 decodes the same from any value above it: those samples are
// free to move up. Moving them up where the decoded block dips below white lifts the
// dip out of view, clipped away by the decoder.
//
// We find those values with the quantiser in the loop: from a few start points (the
// block as it is, and the clipped samples lifted along a ramp away from the edge),
// quantise, reconstruct as the decoder will, and move each clipped sample by what its
// reconstruction misses, kept between the source and a limit above it. Of all the
// quantised blocks tried, the one with the least decoded error (clipped like a
// decoder's) plus a rate term wins, the untouched block included.
//
// Only the top of the range: at the bottom, ringing in near-black barely shows, and
// deringing crushed shadows cost bytes on the benchmark for no gain by either measure.

#include <array>
#include <cstddef>
#include <cstdio>

#include <jpeglib.h>

#include "imaging/encoder/block_quantiser.h"
#include "imaging/encoder/quant_tables.h"

namespace vellora::imaging::encoder {

class Deringer {
public:
    // `table` is the component's quantisation table (what the decoder multiplies by);
    // `limit` the most a sample may move above 255, in grey levels; `lambda` weighs
    // each non-zero coefficient as lambda x its step squared against the squared error.
    Deringer(const QuantTable& table, float limit, float lambda);

    // Whether a block of level-shifted samples (value - 128, 8 rows `stride` floats
    // apart) has some samples at 255 and some not: only then is there anything to gain.
    [[nodiscard]] static bool hasClippedEdge(const float* samples, int stride);

    // Transforms and quantises `block` (64 level-shifted samples, row-major) with
    // `quantiser` into `out`, choosing the clipped samples' values as described above.
    void quantise(const float* block, const BlockQuantiser& quantiser, JCOEF* out) const;

    // The squared error of `levels` decoded (and clipped to the range) against `block`.
    [[nodiscard]] float decodedError(const float* block, const JCOEF* levels) const;

private:
    // The same, leaving the decoded samples (before clipping) in `decoded`.
    float decodedError(const float* block, const JCOEF* levels, float* decoded) const;

    void reconstruct(const JCOEF* levels, float* samples) const;
    [[nodiscard]] float rate(const JCOEF* levels) const;

    std::array<float, 64 * 64> m_basis{};  // [k * 64 + n]: coefficient k's pattern at sample n
    std::array<float, 64> m_step{};
    std::array<float, 64> m_rateWeight{};
    float m_limit = 0.0f;
};

}  // namespace vellora::imaging::encoder
