// The deringing of clipped highlights: on blocks where white meets the picture the
// decoded block comes closer to the source; it never gets further; blocks without such
// an edge quantise as before; and the block's mean stays inside the range, so the DC
// coefficients stay where 8-bit JPEG keeps them.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>

#include "imaging/encoder/block_quantiser.h"
#include "imaging/encoder/deringing.h"
#include "imaging/encoder/encoder_settings.h"
#include "imaging/encoder/forward_dct.h"
#include "imaging/encoder/quant_tables.h"

namespace vellora::imaging::encoder {
namespace {

using Block = std::array<float, 64>;

// Level-shifted samples from a function of (x, y) giving 0..255 source values.
Block blockOf(const std::function<float(int, int)>& source) {
    Block block{};
    for (int y = 0; y < 8; ++y) {
        for (int x = 0; x < 8; ++x) {
            block[static_cast<std::size_t>(y * 8 + x)] = source(x, y) - 128.0f;
        }
    }
    return block;
}

struct DeringCase {
    const char* name;
    int quality;
    std::function<float(int, int)> source;
    bool clippedEdge;  // some samples at 255, some not
    bool gains;        // whether the decoded error must fall clearly
};

class DeringingRules : public ::testing::TestWithParam<DeringCase> {};

TEST_P(DeringingRules, DecodedErrorFallsAndTheMeanStaysInRange) {
    const DeringCase& param = GetParam();
    const Settings settings = settingsFor(param.quality);
    const QuantTable table = shapedTable(settings.luma, settings.tableQuality);
    const BlockQuantiser quantiser(table, settings, true);
    const Deringer deringer(table, settings.deringLimit, 0.0f);
    const Block source = blockOf(param.source);
    ASSERT_EQ(Deringer::hasClippedEdge(source.data(), 8), param.clippedEdge);

    float coefficients[64];
    forwardDct8x8(source.data(), 8, coefficients);
    JCOEF plain[64];
    quantiser.quantise(coefficients, plain);
    JCOEF deringed[64];
    deringer.quantise(source.data(), quantiser, deringed);

    const float before = deringer.decodedError(source.data(), plain);
    const float after = deringer.decodedError(source.data(), deringed);
    EXPECT_LE(after, before);
    if (param.gains) {
        EXPECT_LT(after, 0.9f * before) << before;
    }
    if (!param.clippedEdge) {
        EXPECT_TRUE(std::equal(plain, plain + 64, deringed));
    }
    // The block's mean stays a sample value: DC = 8 x mean, on the DC step's grid.
    const float mean = static_cast<float>(deringed[0]) * static_cast<float>(table[0]) / 8.0f;
    EXPECT_LE(mean, 127.0f + static_cast<float>(table[0]) / 16.0f);
    EXPECT_GE(mean, -128.0f - static_cast<float>(table[0]) / 16.0f);
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, DeringingRules,
    ::testing::Values(
        DeringCase{"DarkStrokeOnWhite", 75,
                   [](int x, int) { return x == 3 || x == 4 ? 30.0f : 255.0f; }, true, true},
        DeringCase{"WhitePageBesideGrey", 50, [](int x, int) { return x < 5 ? 255.0f : 90.0f; },
                   true, true},
        DeringCase{"WhiteTextOnGrey", 60,
                   [](int x, int y) { return y == 2 || (x == 5 && y > 2) ? 255.0f : 70.0f; }, true,
                   true},
        DeringCase{"BlackFrameIsLeftAlone", 75, [](int x, int) { return x < 3 ? 0.0f : 120.0f; },
                   false, false},
        DeringCase{"HighlightInTexture", 85,
                   [](int x, int y) {
                       return (x - 3) * (x - 3) + (y - 4) * (y - 4) < 5
                                  ? 255.0f
                                  : 150.0f + 30.0f * static_cast<float>((x * 7 + y * 3) % 5);
                   },
                   true, false},
        DeringCase{"WhiteAndBlackStripesAtFullQuality", 100,
                   [](int x, int) { return x % 4 == 0   ? 255.0f
                                           : x % 4 == 2 ? 0.0f
                                                        : 128.0f; },
                   true, false},
        DeringCase{"NothingClipped", 75, [](int x, int y) { return 20.0f + 25.0f * x + y; }, false,
                   false},
        DeringCase{"AllWhite", 75, [](int, int) { return 255.0f; }, false, false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vellora::imaging::encoder
