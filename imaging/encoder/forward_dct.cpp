#include "imaging/encoder/forward_dct.h"

#include <array>
#include <cmath>
#include <numbers>

namespace vellora::imaging::encoder {
namespace {

// The Arai-Agui-Nakajima factorisation of the 8-point DCT (5 multiplications), run on
// eight independent lanes at once so that the compiler turns each line into one or two
// SIMD instructions: the first pass transforms the eight columns side by side, the
// second the eight rows (after a transpose). Its outputs are scaled by
// 8 * s(u) * s(v), s(0) = 1, s(k) = sqrt(2) cos(k pi / 16); `descale` removes that.
using Lanes = float[8];

void aan8(Lanes* d) {
    for (int i = 0; i < 8; ++i) {
        const float tmp0 = d[0][i] + d[7][i];
        const float tmp7 = d[0][i] - d[7][i];
        const float tmp1 = d[1][i] + d[6][i];
        const float tmp6 = d[1][i] - d[6][i];
        const float tmp2 = d[2][i] + d[5][i];
        const float tmp5 = d[2][i] - d[5][i];
        const float tmp3 = d[3][i] + d[4][i];
        const float tmp4 = d[3][i] - d[4][i];

        // Even part.
        const float tmp10 = tmp0 + tmp3;
        const float tmp13 = tmp0 - tmp3;
        const float tmp11 = tmp1 + tmp2;
        const float tmp12 = tmp1 - tmp2;
        d[0][i] = tmp10 + tmp11;
        d[4][i] = tmp10 - tmp11;
        const float z1 = (tmp12 + tmp13) * 0.707106781f;
        d[2][i] = tmp13 + z1;
        d[6][i] = tmp13 - z1;

        // Odd part.
        const float odd10 = tmp4 + tmp5;
        const float odd11 = tmp5 + tmp6;
        const float odd12 = tmp6 + tmp7;
        const float z5 = (odd10 - odd12) * 0.382683433f;
        const float z2 = 0.541196100f * odd10 + z5;
        const float z4 = 1.306562965f * odd12 + z5;
        const float z3 = odd11 * 0.707106781f;
        const float z11 = tmp7 + z3;
        const float z13 = tmp7 - z3;
        d[5][i] = z13 + z2;
        d[3][i] = z13 - z2;
        d[1][i] = z11 + z4;
        d[7][i] = z11 - z4;
    }
}

struct Descale {
    std::array<float, 64> value{};  // natural order: [v * 8 + u]
    Descale() {
        double s[8];
        s[0] = 1.0;
        for (int k = 1; k < 8; ++k) {
            s[k] = std::numbers::sqrt2 * std::cos(k * std::numbers::pi / 16.0);
        }
        for (int v = 0; v < 8; ++v) {
            for (int u = 0; u < 8; ++u) {
                value[v * 8 + u] = static_cast<float>(1.0 / (8.0 * s[u] * s[v]));
            }
        }
    }
};

const Descale kDescale;

}  // namespace

void forwardDct8x8(const float* samples, int stride, float* coefficients) {
    // Columns: lane x, element y.
    Lanes columns[8];
    for (int y = 0; y < 8; ++y) {
        for (int x = 0; x < 8; ++x) {
            columns[y][x] = samples[y * stride + x];
        }
    }
    aan8(columns);  // columns[v][x]: vertical frequency v of column x
    // Rows: lane v, element x.
    Lanes rows[8];
    for (int x = 0; x < 8; ++x) {
        for (int v = 0; v < 8; ++v) {
            rows[x][v] = columns[v][x];
        }
    }
    aan8(rows);  // rows[u][v]
    for (int v = 0; v < 8; ++v) {
        for (int u = 0; u < 8; ++u) {
            coefficients[v * 8 + u] = rows[u][v] * kDescale.value[v * 8 + u];
        }
    }
}

}  // namespace vellora::imaging::encoder
