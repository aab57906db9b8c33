#include "ssim.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "imaging/libjpeg_bridge.h"

namespace vellora::cli {
namespace {

constexpr int kWindow = 11;
constexpr double kSigma = 1.5;
constexpr double kC1 = (0.01 * 255) * (0.01 * 255);
constexpr double kC2 = (0.03 * 255) * (0.03 * 255);

std::array<float, kWindow> gaussianWeights() {
    std::array<float, kWindow> weights{};
    double sum = 0;
    for (int i = 0; i < kWindow; ++i) {
        const double distance = i - kWindow / 2;
        const double weight = std::exp(-distance * distance / (2 * kSigma * kSigma));
        weights[static_cast<std::size_t>(i)] = static_cast<float>(weight);
        sum += weight;
    }
    for (float& weight : weights) {
        weight = static_cast<float>(weight / sum);
    }
    return weights;
}

void lumaRow(const std::uint8_t* rgb, int width, float* out) {
    for (int x = 0; x < width; ++x) {
        out[x] = 0.299f * rgb[3 * x] + 0.587f * rgb[3 * x + 1] + 0.114f * rgb[3 * x + 2];
    }
}

// The means over the window positions of SSIM and of its contrast-structure part alone
// (SSIM without the luminance term), which the multi-scale measure takes from the finer
// scales.
struct SsimTerms {
    double ssim = 0;
    double contrastStructure = 0;
};

double contrastStructureOf(double varianceX, double varianceY, double covariance) {
    return (2 * covariance + kC2) / (varianceX + varianceY + kC2);
}

double luminanceOf(double meanX, double meanY) {
    return (2 * meanX * meanY + kC1) / (meanX * meanX + meanY * meanY + kC1);
}

// A picture smaller than the window: one window over all of it, equal weights.
SsimTerms wholePictureSsim(const LumaPlane& a, const LumaPlane& b) {
    const std::size_t count = a.values.size();
    double sumX = 0, sumY = 0;
    for (std::size_t i = 0; i < count; ++i) {
        sumX += a.values[i];
        sumY += b.values[i];
    }
    const double meanX = sumX / count, meanY = sumY / count;
    double xx = 0, yy = 0, xy = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const double dx = a.values[i] - meanX, dy = b.values[i] - meanY;
        xx += dx * dx;
        yy += dy * dy;
        xy += dx * dy;
    }
    const double contrastStructure = contrastStructureOf(xx / count, yy / count, xy / count);
    return {luminanceOf(meanX, meanY) * contrastStructure, contrastStructure};
}

}  // namespace

LumaPlane lumaFromRgb(const std::uint8_t* rgb, int width, int height, std::ptrdiff_t stride) {
    LumaPlane plane;
    plane.width = width;
    plane.height = height;
    plane.values.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    for (int y = 0; y < height; ++y) {
        lumaRow(rgb + y * stride, width, plane.values.data() + static_cast<std::size_t>(y) * width);
    }
    return plane;
}

std::optional<LumaPlane> decodeJpegLuma(const QByteArray& jpeg, QString& error) {
    jpeg::Decompressor decompressor;
    if (!decompressor.valid()) {
        error = QStringLiteral("cannot start the JPEG reader");
        return std::nullopt;
    }
    jpeg_decompress_struct* info = decompressor.info();
    const bool started = jpeg::runGuarded(decompressor.bridge(), [&] {
        jpeg_mem_src(info, reinterpret_cast<const unsigned char*>(jpeg.constData()),
                     static_cast<unsigned long>(jpeg.size()));
        jpeg_read_header(info, TRUE);
        info->out_color_space = JCS_RGB;
        jpeg_start_decompress(info);
    });
    if (!started) {
        error = QStringLiteral("cannot decode the result: ") +
                QString::fromStdString(decompressor.bridge().text());
        return std::nullopt;
    }
    LumaPlane plane;
    plane.width = static_cast<int>(info->output_width);
    plane.height = static_cast<int>(info->output_height);
    plane.values.resize(static_cast<std::size_t>(plane.width) * plane.height);
    std::vector<std::uint8_t> row(static_cast<std::size_t>(plane.width) * 3);
    JSAMPROW rows[1] = {row.data()};
    float* out = plane.values.data();
    const int width = plane.width;
    const bool decoded = jpeg::runGuarded(decompressor.bridge(), [&] {
        while (info->output_scanline < info->output_height) {
            const JDIMENSION y = info->output_scanline;
            if (jpeg_read_scanlines(info, rows, 1) != 1) {
                break;
            }
            lumaRow(rows[0], width, out + static_cast<std::size_t>(y) * width);
        }
        jpeg_finish_decompress(info);
    });
    if (!decoded || info->output_scanline < info->output_height) {
        error = QStringLiteral("cannot decode the result: ") +
                QString::fromStdString(decompressor.bridge().text());
        return std::nullopt;
    }
    return plane;
}

namespace {

bool comparable(const LumaPlane& a, const LumaPlane& b) {
    return a.width == b.width && a.height == b.height && !a.values.empty() &&
           a.values.size() == b.values.size();
}

SsimTerms ssimTerms(const LumaPlane& a, const LumaPlane& b) {
    if (a.width < kWindow || a.height < kWindow) {
        return wholePictureSsim(a, b);
    }
    static const std::array<float, kWindow> weights = gaussianWeights();
    const int outWidth = a.width - kWindow + 1;
    const int outHeight = a.height - kWindow + 1;
    const auto columns = static_cast<std::size_t>(outWidth);

    // The horizontal pass of the five local sums (x, y, x^2, y^2, xy) for the last
    // kWindow rows, in a ring; the vertical pass then makes one output row.
    constexpr int kSums = 5;
    std::vector<float> ring(static_cast<std::size_t>(kWindow) * kSums * columns);
    auto slot = [&](int row, int sum) {
        return ring.data() + (static_cast<std::size_t>(row % kWindow) * kSums + sum) * columns;
    };
    std::vector<float> products(static_cast<std::size_t>(a.width) * 3);
    std::array<std::vector<double>, kSums> vertical;
    for (auto& line : vertical) {
        line.resize(columns);
    }

    double total = 0;
    double totalContrastStructure = 0;
    for (int y = 0; y < a.height; ++y) {
        const float* x0 = a.values.data() + static_cast<std::size_t>(y) * a.width;
        const float* y0 = b.values.data() + static_cast<std::size_t>(y) * b.width;
        float* xx = products.data();
        float* yy = xx + a.width;
        float* xy = yy + a.width;
        for (int i = 0; i < a.width; ++i) {
            xx[i] = x0[i] * x0[i];
            yy[i] = y0[i] * y0[i];
            xy[i] = x0[i] * y0[i];
        }
        const float* sources[kSums] = {x0, y0, xx, yy, xy};
        for (int sum = 0; sum < kSums; ++sum) {
            float* out = slot(y, sum);
            std::fill(out, out + columns, 0.0f);
            const float* source = sources[sum];
            for (int k = 0; k < kWindow; ++k) {
                const float weight = weights[static_cast<std::size_t>(k)];
                const float* shifted = source + k;
                for (std::size_t c = 0; c < columns; ++c) {
                    out[c] += weight * shifted[c];
                }
            }
        }
        if (y < kWindow - 1) {
            continue;
        }
        for (int sum = 0; sum < kSums; ++sum) {
            double* line = vertical[static_cast<std::size_t>(sum)].data();
            std::fill(line, line + columns, 0.0);
            for (int k = 0; k < kWindow; ++k) {
                const double weight = weights[static_cast<std::size_t>(k)];
                const float* in = slot(y - kWindow + 1 + k, sum);
                for (std::size_t c = 0; c < columns; ++c) {
                    line[c] += weight * in[c];
                }
            }
        }
        double rowTotal = 0;
        double rowContrastStructure = 0;
        for (std::size_t c = 0; c < columns; ++c) {
            const double meanX = vertical[0][c], meanY = vertical[1][c];
            const double varianceX = vertical[2][c] - meanX * meanX;
            const double varianceY = vertical[3][c] - meanY * meanY;
            const double covariance = vertical[4][c] - meanX * meanY;
            const double contrastStructure = contrastStructureOf(varianceX, varianceY, covariance);
            rowContrastStructure += contrastStructure;
            rowTotal += luminanceOf(meanX, meanY) * contrastStructure;
        }
        total += rowTotal;
        totalContrastStructure += rowContrastStructure;
    }
    const double positions = static_cast<double>(columns) * outHeight;
    return {total / positions, totalContrastStructure / positions};
}

// Half the size, each value the mean of a 2 x 2 square (an odd last row or column is
// dropped).
LumaPlane halved(const LumaPlane& plane) {
    LumaPlane half;
    half.width = plane.width / 2;
    half.height = plane.height / 2;
    half.values.resize(static_cast<std::size_t>(half.width) * half.height);
    for (int y = 0; y < half.height; ++y) {
        const float* top = plane.values.data() + static_cast<std::size_t>(2 * y) * plane.width;
        const float* bottom = top + plane.width;
        float* out = half.values.data() + static_cast<std::size_t>(y) * half.width;
        for (int x = 0; x < half.width; ++x) {
            out[x] = 0.25f * (top[2 * x] + top[2 * x + 1] + bottom[2 * x] + bottom[2 * x + 1]);
        }
    }
    return half;
}

}  // namespace

std::optional<double> meanSsim(const LumaPlane& a, const LumaPlane& b) {
    if (!comparable(a, b)) {
        return std::nullopt;
    }
    return ssimTerms(a, b).ssim;
}

std::optional<double> multiScaleSsim(const LumaPlane& a, const LumaPlane& b) {
    if (!comparable(a, b)) {
        return std::nullopt;
    }
    // Wang, Simoncelli and Bovik's weights for five scales, finest first.
    static constexpr std::array<double, 5> kWeights = {0.0448, 0.2856, 0.3001, 0.2363, 0.1333};
    // A scale narrower than the window adds nothing new: stop there and share the
    // weights of the scales left out among those measured, in proportion.
    int scales = 1;
    for (int side = std::min(a.width, a.height); scales < 5 && side / 2 >= kWindow; side /= 2) {
        ++scales;
    }
    double weightSum = 0;
    for (int i = 0; i < scales; ++i) {
        weightSum += kWeights[static_cast<std::size_t>(i)];
    }
    LumaPlane x = a;
    LumaPlane y = b;
    double product = 1;
    for (int i = 0; i < scales; ++i) {
        const SsimTerms terms = ssimTerms(x, y);
        // The coarsest scale brings the luminance term too. A negative mean (an
        // inverted picture) counts as no similarity at all.
        const double term = i + 1 == scales ? terms.ssim : terms.contrastStructure;
        product *= std::pow(std::max(term, 0.0), kWeights[static_cast<std::size_t>(i)] / weightSum);
        if (i + 1 < scales) {
            x = halved(x);
            y = halved(y);
        }
    }
    return product;
}

}  // namespace vellora::cli
