#include "imaging/encoder/quant_tables.h"

#include <algorithm>
#include <cmath>

namespace vellora::imaging::encoder {
namespace {

// libjpeg's quality scaling: 50 keeps the table, lower qualities divide, higher
// qualities multiply towards all ones. What a user's quality number maps to on this
// scale is decided by the calibration in settingsFor (best_encoder.cpp); fractions
// are allowed so that the calibration is not limited to whole steps.
double qualityScale(float quality) {
    const double q = std::clamp(static_cast<double>(quality), 1.0, 100.0);
    if (q < 50.0) {
        // Whole qualities divide like libjpeg's integers, so the example tables at a
        // whole quality are exactly cjpeg's.
        return q == std::floor(q) ? std::floor(5000.0 / q) : 5000.0 / q;
    }
    return 200.0 - q * 2.0;
}

std::uint16_t scaledStep(double step, double scale) {
    const double scaled = std::floor((step * scale + 50.0) / 100.0);
    return static_cast<std::uint16_t>(std::clamp(scaled, 1.0, 255.0));
}

constexpr std::array<std::uint16_t, 64> kAnnexLuma = {
    16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,
    14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,
    18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,
    49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99};
constexpr std::array<std::uint16_t, 64> kAnnexChroma = {
    17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99, 24, 26, 56, 99, 99, 99,
    99, 99, 47, 66, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99};

}  // namespace

QuantTable shapedTable(const TableShape& shape, float quality) {
    const double scale = qualityScale(quality);
    const double maxRadius = std::sqrt(98.0);
    QuantTable table{};
    for (int v = 0; v < 8; ++v) {
        for (int u = 0; u < 8; ++u) {
            const double r = std::sqrt(double(u * u + v * v)) / maxRadius;
            const double step = (u == 0 && v == 0)
                                    ? shape.dc
                                    : shape.base * (1.0 + shape.slope * std::pow(r, shape.power));
            table[v * 8 + u] = scaledStep(step, scale);
        }
    }
    return table;
}

QuantTable annexTable(bool chroma, float quality) {
    const double scale = qualityScale(quality);
    QuantTable table{};
    const auto& base = chroma ? kAnnexChroma : kAnnexLuma;
    for (int i = 0; i < 64; ++i) {
        table[i] = scaledStep(base[i], scale);
    }
    return table;
}

}  // namespace vellora::imaging::encoder
