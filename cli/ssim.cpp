#include "ssim.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>

#include "imaging/libjpeg_bridge.h"

namespace vellora::cli {
namespace {

constexpr int kWindow = 11;
constexpr double kSigma = 1.5;
constexpr double kC1 = (0.01 * 255) * (0.01 * 255);
constexpr double kC2 = (0.03 * 255) * (0.03 * 255);

// The window's weights along a side of `side` pixels: the full 11 where they fit; on a
// narrower side the middle of the same Gaussian, as many taps as fit (an odd number, so
// the window keeps a centre), summing to one.
std::vector<double> gaussianWeights(int side) {
    const int taps = side >= kWindow ? kWindow : std::max(1, side - (side + 1) % 2);
    std::vector<double> weights(static_cast<std::size_t>(taps));
    double sum = 0;
    for (int i = 0; i < taps; ++i) {
        const double distance = i - taps / 2;
        const double weight = std::exp(-distance * distance / (2 * kSigma * kSigma));
        weights[static_cast<std::size_t>(i)] = weight;
        sum += weight;
    }
    for (double& weight : weights) {
        weight /= sum;  // in double: weights a hair off 1 in sum bias E[x^2] - E[x]^2
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

namespace {

// A JPEG decoded to RGB (like the picture reader) and handed out as luma, a row at a
// time.
class LumaDecoder {
public:
    bool start(const QByteArray& jpeg, QString& error) {
        if (!m_decompressor.valid()) {
            error = QStringLiteral("cannot start the JPEG reader");
            return false;
        }
        jpeg_decompress_struct* info = m_decompressor.info();
        const bool started = jpeg::runGuarded(m_decompressor.bridge(), [&] {
            jpeg_mem_src(info, reinterpret_cast<const unsigned char*>(jpeg.constData()),
                         static_cast<unsigned long>(jpeg.size()));
            jpeg_read_header(info, TRUE);
            info->out_color_space = JCS_RGB;
            jpeg_start_decompress(info);
        });
        if (!started) {
            error = failure();
            return false;
        }
        m_row.resize(static_cast<std::size_t>(info->output_width) * 3);
        return true;
    }

    [[nodiscard]] int width() { return static_cast<int>(m_decompressor.info()->output_width); }
    [[nodiscard]] int height() { return static_cast<int>(m_decompressor.info()->output_height); }

    // The next row's luma into `out`; false when the data runs out or is damaged.
    bool next(float* out) {
        jpeg_decompress_struct* info = m_decompressor.info();
        JSAMPROW rows[1] = {m_row.data()};
        JDIMENSION read = 0;
        if (!jpeg::runGuarded(m_decompressor.bridge(),
                              [&] { read = jpeg_read_scanlines(info, rows, 1); }) ||
            read != 1) {
            return false;
        }
        lumaRow(m_row.data(), width(), out);
        return true;
    }

    // After the last row: the rest of the data read, the end marker checked.
    bool finish() {
        jpeg_decompress_struct* info = m_decompressor.info();
        return jpeg::runGuarded(m_decompressor.bridge(), [&] { jpeg_finish_decompress(info); });
    }

    [[nodiscard]] QString failure() {
        return QStringLiteral("cannot decode the result: ") +
               QString::fromStdString(m_decompressor.bridge().text());
    }

private:
    jpeg::Decompressor m_decompressor;
    std::vector<std::uint8_t> m_row;
};

// One picture's luma rows, top to bottom: fills the row and says whether it could.
using RowSource = std::function<bool(float* row)>;

RowSource rowsOf(const LumaPlane& plane) {
    return [&plane, y = 0](float* out) mutable {
        const float* row = plane.values.data() + static_cast<std::size_t>(y++) * plane.width;
        std::copy(row, row + plane.width, out);
        return true;
    };
}

RowSource rowsOf(const RgbPicture& picture) {
    return [&picture, y = 0](float* out) mutable {
        lumaRow(picture.rgb + static_cast<std::ptrdiff_t>(y++) * picture.stride, picture.width,
                out);
        return true;
    };
}

bool comparable(const LumaPlane& a, const LumaPlane& b) {
    return a.width == b.width && a.height == b.height && !a.values.empty() &&
           a.values.size() == b.values.size();
}

// Reads `height` rows of `width` from `next` into a plane.
std::optional<LumaPlane> gathered(int width, int height, const RowSource& next) {
    LumaPlane plane;
    plane.width = width;
    plane.height = height;
    plane.values.resize(static_cast<std::size_t>(width) * height);
    for (int y = 0; y < height; ++y) {
        if (!next(plane.values.data() + static_cast<std::size_t>(y) * width)) {
            return std::nullopt;
        }
    }
    return plane;
}

// Half the size, each value the mean of a 2 x 2 square (an odd last row or column is
// dropped): one output row from two input rows.
void halvedRow(const float* top, const float* bottom, int halfWidth, float* out) {
    for (int x = 0; x < halfWidth; ++x) {
        out[x] = 0.25f * (top[2 * x] + top[2 * x + 1] + bottom[2 * x] + bottom[2 * x + 1]);
    }
}

// The SSIM terms of two pictures of `width` x `height`, whose rows come from `nextX`
// and `nextY`, one row at a time: only the window's rows are held, never a whole
// picture. With `halves`, the two pictures' 2 x 2 means (the next scale of the
// multi-scale measure) are made on the way; they are only asked for where the next
// scale still holds the window, so never for a picture smaller than it. nullopt when
// a row cannot be had.
std::optional<SsimTerms> ssimTerms(int width, int height, const RowSource& nextX,
                                   const RowSource& nextY,
                                   std::array<LumaPlane, 2>* halves = nullptr) {
    // A strip thinner than the window still has local structure to compare: the window
    // narrows to it on that side.
    const std::vector<double> across = gaussianWeights(width);
    const std::vector<double> down = gaussianWeights(height);
    const int windowWidth = static_cast<int>(across.size());
    const int windowHeight = static_cast<int>(down.size());
    const int outWidth = width - windowWidth + 1;
    const int outHeight = height - windowHeight + 1;
    const auto columns = static_cast<std::size_t>(outWidth);

    // The horizontal pass of the five local sums (x, y, x^2, y^2, xy) for the last
    // windowHeight rows, in a ring; the vertical pass then makes one output row.
    constexpr int kSums = 5;
    // In double: the variances are differences of nearly equal sums (E[x^2] - E[x]^2,
    // about 62,500 each on a bright area), and in float a flat picture's SSIM read up to
    // 6.5e-5 off, enough to call a target met that is not.
    std::vector<double> ring(static_cast<std::size_t>(windowHeight) * kSums * columns);
    auto slot = [&](int row, int sum) {
        return ring.data() + (static_cast<std::size_t>(row % windowHeight) * kSums + sum) * columns;
    };
    // The current row of each picture, and the one above it for the halving.
    std::vector<float> rows(static_cast<std::size_t>(width) * 4);
    auto rowOf = [&](int picture, int y) {
        return rows.data() + static_cast<std::size_t>(picture * 2 + y % 2) * width;
    };
    if (halves) {
        for (LumaPlane& half : *halves) {
            half.width = width / 2;
            half.height = height / 2;
            half.values.resize(static_cast<std::size_t>(half.width) * half.height);
        }
    }
    std::vector<double> products(static_cast<std::size_t>(width) * 3);
    std::array<std::vector<double>, kSums> vertical;
    for (auto& line : vertical) {
        line.resize(columns);
    }

    double total = 0;
    double totalContrastStructure = 0;
    for (int y = 0; y < height; ++y) {
        float* x0 = rowOf(0, y);
        float* y0 = rowOf(1, y);
        if (!nextX(x0) || !nextY(y0)) {
            return std::nullopt;
        }
        if (halves && y % 2 == 1 && y / 2 < (*halves)[0].height) {
            for (int picture = 0; picture < 2; ++picture) {
                LumaPlane& half = (*halves)[static_cast<std::size_t>(picture)];
                halvedRow(rowOf(picture, y - 1), rowOf(picture, y), half.width,
                          half.values.data() + static_cast<std::size_t>(y / 2) * half.width);
            }
        }
        double* xx = products.data();
        double* yy = xx + width;
        double* xy = yy + width;
        for (int i = 0; i < width; ++i) {
            xx[i] = static_cast<double>(x0[i]) * x0[i];
            yy[i] = static_cast<double>(y0[i]) * y0[i];
            xy[i] = static_cast<double>(x0[i]) * y0[i];
        }
        const auto horizontal = [&](const auto* source, double* out) {
            std::fill(out, out + columns, 0.0);
            for (int k = 0; k < windowWidth; ++k) {
                const double weight = across[static_cast<std::size_t>(k)];
                const auto* shifted = source + k;
                for (std::size_t c = 0; c < columns; ++c) {
                    out[c] += weight * shifted[c];
                }
            }
        };
        horizontal(x0, slot(y, 0));
        horizontal(y0, slot(y, 1));
        horizontal(xx, slot(y, 2));
        horizontal(yy, slot(y, 3));
        horizontal(xy, slot(y, 4));
        if (y < windowHeight - 1) {
            continue;
        }
        for (int sum = 0; sum < kSums; ++sum) {
            double* line = vertical[static_cast<std::size_t>(sum)].data();
            std::fill(line, line + columns, 0.0);
            for (int k = 0; k < windowHeight; ++k) {
                const double weight = down[static_cast<std::size_t>(k)];
                const double* in = slot(y - windowHeight + 1 + k, sum);
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
    return SsimTerms{total / positions, totalContrastStructure / positions};
}

// Multi-scale SSIM of two pictures whose full-size rows come from `nextX` and `nextY`;
// the coarser scales are made on the way and held (a quarter of a picture and less).
std::optional<double> multiScaleFrom(int width, int height, const RowSource& nextX,
                                     const RowSource& nextY) {
    // Wang, Simoncelli and Bovik's weights for five scales, finest first.
    static constexpr std::array<double, 5> kWeights = {0.0448, 0.2856, 0.3001, 0.2363, 0.1333};
    // A scale narrower than the window adds nothing new: stop there and share the
    // weights of the scales left out among those measured, in proportion.
    int scales = 1;
    for (int side = std::min(width, height); scales < 5 && side / 2 >= kWindow; side /= 2) {
        ++scales;
    }
    double weightSum = 0;
    for (int i = 0; i < scales; ++i) {
        weightSum += kWeights[static_cast<std::size_t>(i)];
    }
    std::array<LumaPlane, 2> current;
    double product = 1;
    for (int i = 0; i < scales; ++i) {
        std::array<LumaPlane, 2> next;
        std::array<LumaPlane, 2>* halves = i + 1 < scales ? &next : nullptr;
        const std::optional<SsimTerms> terms =
            i == 0 ? ssimTerms(width, height, nextX, nextY, halves)
                   : ssimTerms(current[0].width, current[0].height, rowsOf(current[0]),
                               rowsOf(current[1]), halves);
        if (!terms) {
            return std::nullopt;
        }
        // The coarsest scale brings the luminance term too. A negative mean (an
        // inverted picture) counts as no similarity at all.
        const double term = i + 1 == scales ? terms->ssim : terms->contrastStructure;
        product *= std::pow(std::max(term, 0.0), kWeights[static_cast<std::size_t>(i)] / weightSum);
        current = std::move(next);
    }
    return product;
}

// SSIM or multi-scale SSIM from two row sources.
std::optional<double> ssimFrom(int width, int height, const RowSource& nextX,
                               const RowSource& nextY, bool multiScale) {
    if (multiScale) {
        return multiScaleFrom(width, height, nextX, nextY);
    }
    const std::optional<SsimTerms> terms = ssimTerms(width, height, nextX, nextY);
    return terms ? std::optional<double>(terms->ssim) : std::nullopt;
}

}  // namespace

std::optional<LumaPlane> decodeJpegLuma(const QByteArray& jpeg, QString& error) {
    LumaDecoder decoder;
    if (!decoder.start(jpeg, error)) {
        return std::nullopt;
    }
    std::optional<LumaPlane> plane = gathered(decoder.width(), decoder.height(),
                                              [&decoder](float* row) { return decoder.next(row); });
    if (!plane || !decoder.finish()) {
        error = decoder.failure();
        return std::nullopt;
    }
    return plane;
}

std::optional<double> meanSsim(const LumaPlane& a, const LumaPlane& b) {
    if (!comparable(a, b)) {
        return std::nullopt;
    }
    return ssimFrom(a.width, a.height, rowsOf(a), rowsOf(b), false);
}

std::optional<double> multiScaleSsim(const LumaPlane& a, const LumaPlane& b) {
    if (!comparable(a, b)) {
        return std::nullopt;
    }
    return ssimFrom(a.width, a.height, rowsOf(a), rowsOf(b), true);
}

std::optional<double> jpegSsim(const RgbPicture& reference, const QByteArray& jpeg, bool multiScale,
                               QString& error) {
    LumaDecoder decoder;
    if (!decoder.start(jpeg, error)) {
        return std::nullopt;
    }
    if (decoder.width() != reference.width || decoder.height() != reference.height) {
        error = QStringLiteral("the result's size differs from the picture's");
        return std::nullopt;
    }
    const std::optional<double> ssim = ssimFrom(
        reference.width, reference.height, rowsOf(reference),
        [&decoder](float* row) { return decoder.next(row); }, multiScale);
    if (!ssim || !decoder.finish()) {
        error = decoder.failure();
        return std::nullopt;
    }
    return ssim;
}

}  // namespace vellora::cli
