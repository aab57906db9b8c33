#include "round_two_support.h"

#include <algorithm>
#include <utility>

#include <cmath>
#include <cstring>

#include "imaging/libjpeg_bridge.h"

namespace vellora::test {

std::vector<JpegKind> jpegKinds() {
    std::vector<JpegKind> kinds;
    kinds.push_back({"baseline 4:2:0"});
    JpegKind progressive{"progressive"};
    progressive.progressive = true;
    kinds.push_back(progressive);
    JpegKind grey{"grey"};
    grey.grey = true;
    kinds.push_back(grey);
    JpegKind full{"4:4:4"};
    full.lumaH = full.lumaV = 1;
    kinds.push_back(full);
    JpegKind half{"4:2:2"};
    half.lumaH = 2;
    half.lumaV = 1;
    kinds.push_back(half);
    JpegKind restarts{"restart markers"};
    restarts.restartRows = 1;
    kinds.push_back(restarts);
    JpegKind exif{"EXIF"};
    exif.exif = true;
    kinds.push_back(exif);
    JpegKind icc{"ICC"};
    icc.icc = true;
    kinds.push_back(icc);
    JpegKind threeTables{"three tables"};
    threeTables.crTableScale = 150;
    kinds.push_back(threeTables);
    JpegKind everything{"progressive 4:4:4 with EXIF, ICC, comment and restarts"};
    everything.progressive = true;
    everything.lumaH = everything.lumaV = 1;
    everything.exif = everything.icc = everything.comment = true;
    everything.restartRows = 2;
    kinds.push_back(everything);
    // Sixteen luma blocks a unit: too many for an interleaved scan, so such a file comes
    // with a scan per component (cjpeg -scans), and its DC cannot be sent interleaved.
    JpegKind wide{"4x4 luma, a scan per component"};
    wide.lumaH = wide.lumaV = 4;
    wide.scanPerComponent = true;
    kinds.push_back(wide);
    return kinds;
}

namespace {

QByteArray exifWithOrientation6() {
    static const unsigned char kBlock[] = {
        'E',  'x',  'i', 'f', 0, 0, 'M', 'M', 0,   42,  0,   0, 0,    8,    0, 2,  // two entries
        0x01, 0x0F, 0,   2,   0, 0, 0,   4,   'C', 'a', 'm', 0, 0x01, 0x12, 0, 3,
        0,    0,    0,   1,   0, 6, 0,   0,   0,   0,   0,   0};
    return QByteArray(reinterpret_cast<const char*>(kBlock), sizeof kBlock);
}

QByteArray iccChunk(int index, int count, const QByteArray& part) {
    QByteArray chunk("ICC_PROFILE", 12);  // with its NUL
    chunk.append(char(index)).append(char(count)).append(part);
    return chunk;
}

}  // namespace

QByteArray encodeKind(const QImage& source, const JpegKind& kind, int quality) {
    const QImage image = source.convertToFormat(QImage::Format_RGB888);
    jpeg::Compressor compressor;
    jpeg::MemoryDestination destination;
    if (!compressor.valid()) {
        return {};
    }
    jpeg_compress_struct* info = compressor.info();
    std::vector<unsigned char> row(static_cast<std::size_t>(image.width()) * 3);
    QByteArray profile(3000, '\0');
    for (int i = 0; i < profile.size(); ++i) {
        profile[i] = static_cast<char>(i * 7);
    }
    const QByteArray exif = exifWithOrientation6();
    const QByteArray first = iccChunk(1, 2, profile.left(1500));
    const QByteArray second = iccChunk(2, 2, profile.mid(1500));
    const bool ok = jpeg::runGuarded(compressor.bridge(), [&] {
        destination.attach(info);
        info->image_width = static_cast<JDIMENSION>(image.width());
        info->image_height = static_cast<JDIMENSION>(image.height());
        info->input_components = 3;
        info->in_color_space = JCS_RGB;
        jpeg_set_defaults(info);
        if (kind.grey) {
            jpeg_set_colorspace(info, JCS_GRAYSCALE);
        } else {
            info->comp_info[0].h_samp_factor = kind.lumaH;
            info->comp_info[0].v_samp_factor = kind.lumaV;
            for (int c = 1; c < 3; ++c) {
                info->comp_info[c].h_samp_factor = kind.chromaH;
                info->comp_info[c].v_samp_factor = kind.chromaV;
            }
        }
        jpeg_set_quality(info, quality, TRUE);
        if (kind.crTableScale > 0 && !kind.grey) {
            const JQUANT_TBL* cb = info->quant_tbl_ptrs[info->comp_info[1].quant_tbl_no];
            unsigned int steps[DCTSIZE2];
            std::copy(cb->quantval, cb->quantval + DCTSIZE2, steps);
            jpeg_add_quant_table(info, 2, steps, kind.crTableScale, TRUE);
            info->comp_info[2].quant_tbl_no = 2;
        }
        info->restart_in_rows = kind.restartRows;
        if (kind.progressive) {
            jpeg_simple_progression(info);
        }
        static const jpeg_scan_info kOnePerComponent[] = {{1, {0, 0, 0, 0}, 0, 63, 0, 0},
                                                          {1, {1, 0, 0, 0}, 0, 63, 0, 0},
                                                          {1, {2, 0, 0, 0}, 0, 63, 0, 0}};
        if (kind.scanPerComponent) {
            info->scan_info = kOnePerComponent;
            info->num_scans = 3;
        }
        jpeg_start_compress(info, TRUE);
        if (kind.exif) {
            jpeg_write_marker(info, JPEG_APP0 + 1,
                              reinterpret_cast<const JOCTET*>(exif.constData()),
                              static_cast<unsigned>(exif.size()));
        }
        if (kind.icc) {
            jpeg_write_marker(info, JPEG_APP0 + 2,
                              reinterpret_cast<const JOCTET*>(first.constData()),
                              static_cast<unsigned>(first.size()));
            jpeg_write_marker(info, JPEG_APP0 + 2,
                              reinterpret_cast<const JOCTET*>(second.constData()),
                              static_cast<unsigned>(second.size()));
        }
        if (kind.comment) {
            static const char kText[] = "made for the repack test";
            jpeg_write_marker(info, JPEG_COM, reinterpret_cast<const JOCTET*>(kText),
                              sizeof kText - 1);
        }
        while (info->next_scanline < info->image_height) {
            std::memcpy(row.data(), image.constScanLine(static_cast<int>(info->next_scanline)),
                        row.size());
            JSAMPROW rows[1] = {row.data()};
            jpeg_write_scanlines(info, rows, 1);
        }
        jpeg_finish_compress(info);
    });
    if (!ok) {
        return {};
    }
    return QByteArray(reinterpret_cast<const char*>(destination.data()),
                      static_cast<qsizetype>(destination.size()));
}

std::optional<DecodedPixels> decodeWithLibjpeg(const QByteArray& jpeg) {
    jpeg::Decompressor decompressor;
    if (!decompressor.valid()) {
        return std::nullopt;
    }
    jpeg_decompress_struct* info = decompressor.info();
    DecodedPixels pixels;
    const bool started = jpeg::runGuarded(decompressor.bridge(), [&] {
        jpeg_mem_src(info, reinterpret_cast<const unsigned char*>(jpeg.constData()),
                     static_cast<unsigned long>(jpeg.size()));
        jpeg_read_header(info, TRUE);
        jpeg_start_decompress(info);
    });
    if (!started) {
        return std::nullopt;
    }
    pixels.width = static_cast<int>(info->output_width);
    pixels.height = static_cast<int>(info->output_height);
    pixels.components = info->output_components;
    const qsizetype stride = static_cast<qsizetype>(pixels.width) * pixels.components;
    pixels.samples.resize(stride * pixels.height);
    auto* base = reinterpret_cast<unsigned char*>(pixels.samples.data());
    const bool decoded = jpeg::runGuarded(decompressor.bridge(), [&] {
        while (info->output_scanline < info->output_height) {
            JSAMPROW rows[1] = {base + stride * info->output_scanline};
            jpeg_read_scanlines(info, rows, 1);
        }
        jpeg_finish_decompress(info);
    });
    if (!decoded) {
        return std::nullopt;
    }
    return pixels;
}

namespace {

struct Plane {
    int width = 0;
    int height = 0;
    std::vector<double> values;
    double at(int x, int y) const { return values[static_cast<std::size_t>(y) * width + x]; }
};

Plane lumaPlane(const QImage& image) {
    const QImage rgb = image.convertToFormat(QImage::Format_RGB888);
    Plane plane{rgb.width(), rgb.height(), {}};
    for (int y = 0; y < rgb.height(); ++y) {
        const uchar* p = rgb.constScanLine(y);
        for (int x = 0; x < rgb.width(); ++x, p += 3) {
            plane.values.push_back(0.299 * p[0] + 0.587 * p[1] + 0.114 * p[2]);
        }
    }
    return plane;
}

// The means over every 11 x 11 window of SSIM and of its contrast-structure part.
std::pair<double, double> directTerms(const Plane& a, const Plane& b) {
    double weights[11][11];
    double sum = 0;
    for (int i = 0; i < 11; ++i) {
        for (int j = 0; j < 11; ++j) {
            weights[i][j] = std::exp(-((i - 5) * (i - 5) + (j - 5) * (j - 5)) / (2 * 1.5 * 1.5));
            sum += weights[i][j];
        }
    }
    const double c1 = std::pow(0.01 * 255, 2), c2 = std::pow(0.03 * 255, 2);
    double total = 0, totalCs = 0;
    int windows = 0;
    for (int y = 0; y + 11 <= a.height; ++y) {
        for (int x = 0; x + 11 <= a.width; ++x) {
            double mx = 0, my = 0;
            for (int i = 0; i < 11; ++i) {
                for (int j = 0; j < 11; ++j) {
                    mx += weights[i][j] / sum * a.at(x + j, y + i);
                    my += weights[i][j] / sum * b.at(x + j, y + i);
                }
            }
            double vx = 0, vy = 0, cov = 0;
            for (int i = 0; i < 11; ++i) {
                for (int j = 0; j < 11; ++j) {
                    const double dx = a.at(x + j, y + i) - mx;
                    const double dy = b.at(x + j, y + i) - my;
                    vx += weights[i][j] / sum * dx * dx;
                    vy += weights[i][j] / sum * dy * dy;
                    cov += weights[i][j] / sum * dx * dy;
                }
            }
            const double cs = (2 * cov + c2) / (vx + vy + c2);
            totalCs += cs;
            total += (2 * mx * my + c1) / (mx * mx + my * my + c1) * cs;
            ++windows;
        }
    }
    return windows > 0 ? std::pair{total / windows, totalCs / windows} : std::pair{0.0, 0.0};
}

Plane halvedPlane(const Plane& plane) {
    Plane half{plane.width / 2, plane.height / 2, {}};
    for (int y = 0; y < half.height; ++y) {
        for (int x = 0; x < half.width; ++x) {
            half.values.push_back((plane.at(2 * x, 2 * y) + plane.at(2 * x + 1, 2 * y) +
                                   plane.at(2 * x, 2 * y + 1) + plane.at(2 * x + 1, 2 * y + 1)) /
                                  4);
        }
    }
    return half;
}

}  // namespace

double directSsim(const QImage& first, const QImage& second) {
    return directTerms(lumaPlane(first), lumaPlane(second)).first;
}

double directMultiScaleSsim(const QImage& first, const QImage& second, int scales) {
    const double weights[5] = {0.0448, 0.2856, 0.3001, 0.2363, 0.1333};
    double weightSum = 0;
    for (int i = 0; i < scales; ++i) {
        weightSum += weights[i];
    }
    Plane a = lumaPlane(first);
    Plane b = lumaPlane(second);
    double product = 1;
    for (int i = 0; i < scales; ++i) {
        const auto [ssim, cs] = directTerms(a, b);
        product *= std::pow(std::max(i + 1 == scales ? ssim : cs, 0.0), weights[i] / weightSum);
        a = halvedPlane(a);
        b = halvedPlane(b);
    }
    return product;
}

QByteArray withTableDefinedAgain(const QImage& image) {
    JpegKind kind{"one scan per component"};
    kind.scanPerComponent = true;
    QByteArray jpeg = encodeKind(image, kind);
    const auto length = [&](qsizetype at) {
        return (static_cast<unsigned char>(jpeg[at + 2]) << 8) |
               static_cast<unsigned char>(jpeg[at + 3]);
    };
    // The colour's table (libjpeg writes one per marker), moved to slot 0.
    QByteArray colourTable;
    for (qsizetype at = jpeg.indexOf("\xFF\xDB"); at > 0; at = jpeg.indexOf("\xFF\xDB", at + 2)) {
        if ((jpeg[at + 4] & 0x0F) == 1) {
            colourTable = jpeg.mid(at, 2 + length(at));
            colourTable[4] = static_cast<char>(colourTable[4] & 0xF0);
        }
    }
    const qsizetype frame = jpeg.indexOf("\xFF\xC0");
    const qsizetype firstScan = jpeg.indexOf("\xFF\xDA");
    const qsizetype secondScan = jpeg.indexOf("\xFF\xDA", firstScan + 2);
    if (colourTable.isEmpty() || frame < 0 || secondScan < 0) {
        return {};
    }
    for (int component = 1; component < 3; ++component) {
        jpeg[frame + 10 + 3 * component + 2] = 0;
    }
    return jpeg.insert(secondScan, colourTable);
}

}  // namespace vellora::test
