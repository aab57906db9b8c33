#include "imaging/encoder/forward_dct.h"

#include <array>
#include <cmath>
#include <numbers>

namespace vellora::imaging::encoder {
namespace {

// basis[u][x] = C(u)/2 * cos((2x + 1) u pi / 16), C(0) = 1/sqrt(2), else 1. Applying it
// to rows and then to columns is the JPEG DCT. A plain matrix product is used on purpose:
// the compiler vectorises it well and it is exact to float precision.
struct Basis {
    std::array<std::array<float, 8>, 8> value{};
    std::array<std::array<float, 8>, 8> transposed{};  // transposed[x][u] = value[u][x]
    Basis() {
        for (int u = 0; u < 8; ++u) {
            const double scale = (u == 0 ? std::numbers::sqrt2 / 2.0 : 1.0) / 2.0;
            for (int x = 0; x < 8; ++x) {
                value[u][x] = static_cast<float>(
                    scale * std::cos((2.0 * x + 1.0) * u * std::numbers::pi / 16.0));
                transposed[x][u] = value[u][x];
            }
        }
    }
};

const Basis& basis() {
    static const Basis instance;
    return instance;
}

}  // namespace

void forwardDct8x8(const float* samples, int stride, float* coefficients) {
    const auto& m = basis().value;
    const auto& mt = basis().transposed;
    // Rows: temp[y][u] = sum_x samples[y][x] * m[u][x], accumulated over x so that the
    // inner loop runs over u (contiguous, vectorisable).
    float temp[8][8];
    for (int y = 0; y < 8; ++y) {
        const float* row = samples + y * stride;
        float acc[8] = {};
        for (int x = 0; x < 8; ++x) {
            const float sample = row[x];
            for (int u = 0; u < 8; ++u) {
                acc[u] += sample * mt[x][u];
            }
        }
        for (int u = 0; u < 8; ++u) {
            temp[y][u] = acc[u];
        }
    }
    // Columns: out[v][u] = sum_y m[v][y] * temp[y][u], accumulated row by row so that
    // the inner loop runs over u (contiguous, vectorisable).
    for (int v = 0; v < 8; ++v) {
        float out[8] = {};
        for (int y = 0; y < 8; ++y) {
            const float weight = m[v][y];
            for (int u = 0; u < 8; ++u) {
                out[u] += weight * temp[y][u];
            }
        }
        for (int u = 0; u < 8; ++u) {
            coefficients[v * 8 + u] = out[u];
        }
    }
}

}  // namespace vellora::imaging::encoder
