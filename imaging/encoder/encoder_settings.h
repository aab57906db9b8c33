#pragma once
// The choices the tuned encoder makes for one quality setting. `settingsFor` holds the
// tuned defaults; the benchmark driver may override single fields to measure what each
// technique buys.

#include <cstdint>
#include <string>

#include "imaging/jpeg_encoder.h"

namespace vellora::imaging::encoder {

// A quantisation table as a smooth function of spatial frequency: the step at
// frequency (u, v) is dc for (0, 0) and otherwise
//   base * (1 + slope * r^power),  r = |(u, v)| / |(7, 7)|.
// Steps are for quality 50 and scale with quality like libjpeg's tables.
struct TableShape {
    float dc = 16.0f;
    float base = 16.0f;
    float slope = 6.0f;
    float power = 1.5f;
};

enum class ScanLayout {
    Sequential,          // one interleaved baseline scan (optimised Huffman tables)
    LibjpegProgressive,  // libjpeg's jpeg_simple_progression layout
    Tuned,               // our progressive layout (see scan_script.cpp)
};

struct Settings {
    int quality = 75;  // the user's number, 1..100
    // Where the tables sit on libjpeg's quality scale (see calibratedTableQuality).
    float tableQuality = 75.0f;
    // 4:2:0 chroma below `subsampleBelowQuality`, full resolution chroma from there on.
    bool subsampleChroma = true;
    // Pre-compensation of the decoder's chroma upsampling blur (0: plain 2x2 mean).
    float chromaSharpening = 0.0f;
    // Shapes of the quantisation tables (see quant_tables.h); scaled by quality.
    TableShape luma{};
    TableShape chroma{};
    bool annexTables = false;  // the example tables of the JPEG standard instead (reference)
    // A coefficient whose magnitude in quantiser steps lies below this threshold is
    // zeroed (0.5 is plain rounding). Scaled per block by adaptive quantisation.
    float zeroThreshold = 0.5f;
    // How much texture raises the zero threshold (0 disables adaptive quantisation).
    float adaptiveStrength = 0.0f;
    // Extra zero threshold at the highest frequency (grows linearly along the zig-zag).
    float highFrequencyBoost = 0.0f;
    // Trailing +-1 coefficients are dropped while the added squared error (in squared
    // steps) stays below tailLambda times the bits they cost (0 disables).
    float tailLambda = 0.0f;
    // Rounding offset for non-zero levels: level = floor(v + roundOffset), lowered by
    // adaptiveRounding in fully textured blocks.
    float roundOffset = 0.5f;
    float adaptiveRounding = 0.0f;
    // Deringing of clipped highlights (deringing.h): how far above 255 luma samples at
    // 255 may be lifted, in grey levels (0: off), and the rate weight of its choice.
    float deringLimit = 0.0f;
    float deringLambda = 0.0f;
    ScanLayout scans = ScanLayout::Tuned;
    // Threads for the transform (colour conversion, DCT, quantisation); 0: one per core
    // for pictures large enough to pay. The output never depends on it.
    int threads = 0;
};

// The quality on libjpeg's table scale that our encoder uses for the user's quality
// `quality` (1..100, clamped). The calibration behind it: at every quality from 30 to 95
// our files at q are at least as good as libjpeg-turbo's `cjpeg -quality q` by both SSIM
// and butteraugli (means over the Kodak set and over a set of photos, each, and for at
// least three pictures in four of each on its own) and smaller. Our tables, dead zone
// and trimming lose more per step at low qualities and less at high ones than the
// example tables do, so the same number needs finer steps below about 85 and allows
// slightly coarser ones above. One table of anchor points, linear in
// between, strictly increasing; 1 and 100 map to themselves (the smallest file and the
// near-lossless one). bench/encoder/calibrate.py measures it, bench/encoder/run.sh
// prints the comparison per quality.
[[nodiscard]] float calibratedTableQuality(int quality);

// The tuned defaults for quality 1..100 (clamped).
[[nodiscard]] Settings settingsFor(int quality);

// Applies "name=value" overrides (benchmark experiments); returns an error text, empty
// when every override was understood.
[[nodiscard]] std::string applyOverride(Settings& settings, const std::string& assignment);

// Whether the tuned encoder writes this RGB picture as one grey component: when every
// pixel is grey, unless an ICC profile for colour comes along. The two empty colour
// planes of a grey photo still cost about 1 %, and a grey file tells viewers and
// recompressors what it holds.
[[nodiscard]] bool writesGrey(const PixelView& picture, const JpegMetadata& metadata);

// Encodes with explicit settings; encodeBest(picture, q, metadata) is
// encodeWithSettings(picture, settingsFor(q), metadata).
[[nodiscard]] EncodedJpeg encodeWithSettings(const PixelView& picture, const Settings& settings,
                                             const JpegMetadata& metadata);

}  // namespace vellora::imaging::encoder
