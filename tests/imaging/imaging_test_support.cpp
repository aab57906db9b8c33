#include "imaging_test_support.h"

#include <QFile>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>

#include <libexif/exif-data.h>

#include "imaging/imgdll_api.h"
#include "imaging/libjpeg_bridge.h"
#include "imaging/rgb_buffer.h"
#include "support/test_support.h"

namespace vellora::test {
namespace {

// Tile averages: per tile three channel means.
std::vector<double> tiles(const Picture& picture, int block) {
    std::vector<double> out;
    for (int ty = 0; ty + block <= picture.height; ty += block) {
        for (int tx = 0; tx + block <= picture.width; tx += block) {
            double sum[3] = {0, 0, 0};
            for (int y = ty; y < ty + block; ++y) {
                for (int x = tx; x < tx + block; ++x) {
                    for (int c = 0; c < 3; ++c) {
                        sum[c] += picture.pixel(x, y)[c];
                    }
                }
            }
            for (double value : sum) {
                out.push_back(value / (block * block));
            }
        }
    }
    return out;
}

void requireSameSize(const Picture& a, const Picture& b) {
    if (a.width != b.width || a.height != b.height) {
        throw std::invalid_argument("pictures of different sizes compared");
    }
}

// The saved APP1 and ICC data of a JPEG file.
struct JpegMarkers {
    QByteArray exif;
    QByteArray icc;
};

JpegMarkers markersOf(const QString& path) {
    JpegMarkers result;
    const QByteArray bytes = fileBytes(path);
    jpeg::Decompressor decompressor;
    jpeg_decompress_struct* info = decompressor.info();
    JOCTET* icc = nullptr;
    unsigned iccLength = 0;
    const bool ok = jpeg::runGuarded(decompressor.bridge(), [&] {
        jpeg_mem_src(info, reinterpret_cast<const unsigned char*>(bytes.constData()),
                     static_cast<unsigned long>(bytes.size()));
        jpeg_save_markers(info, JPEG_APP0 + 1, 0xFFFF);
        jpeg_save_markers(info, JPEG_APP0 + 2, 0xFFFF);
        jpeg_read_header(info, TRUE);
        if (!jpeg_read_icc_profile(info, &icc, &iccLength)) {
            icc = nullptr;
        }
    });
    if (!ok) {
        throw std::runtime_error("cannot read the markers of " + path.toStdString() + ": " +
                                 decompressor.bridge().text());
    }
    if (icc) {
        result.icc = QByteArray(reinterpret_cast<const char*>(icc), iccLength);
        std::free(icc);
    }
    for (jpeg_saved_marker_ptr marker = info->marker_list; marker; marker = marker->next) {
        if (marker->marker == JPEG_APP0 + 1 && marker->data_length >= 6 &&
            std::memcmp(marker->data, "Exif\0\0", 6) == 0) {
            result.exif = QByteArray(reinterpret_cast<const char*>(marker->data),
                                     static_cast<qsizetype>(marker->data_length));
            break;
        }
    }
    return result;
}

struct ExifRelease {
    void operator()(ExifData* data) const { exif_data_unref(data); }
};

// The block as written, without libexif's repairs.
std::unique_ptr<ExifData, ExifRelease> parseExif(const QByteArray& block) {
    std::unique_ptr<ExifData, ExifRelease> data(exif_data_new());
    exif_data_unset_option(data.get(), EXIF_DATA_OPTION_FOLLOW_SPECIFICATION);
    exif_data_unset_option(data.get(), EXIF_DATA_OPTION_IGNORE_UNKNOWN_TAGS);
    exif_data_load_data(data.get(), reinterpret_cast<const unsigned char*>(block.constData()),
                        static_cast<unsigned>(block.size()));
    return data;
}

}  // namespace

Picture pictureOf(GlobalBlock& block) {
    Picture picture;
    auto* base = static_cast<const std::uint8_t*>(block.lock());
    if (!base) {
        return picture;
    }
    imaging::RgbBufferHeader header;
    std::memcpy(&header, base, sizeof header);
    picture.width = header.width;
    picture.height = header.height;
    const std::uint8_t* pixels = base + header.headerBytes;
    picture.rgb.assign(pixels, pixels + header.stride * header.height);
    block.unlock();
    return picture;
}

Picture pictureOf(const QImage& image) {
    const QImage rgb = image.convertToFormat(QImage::Format_RGB888);
    Picture picture;
    picture.width = rgb.width();
    picture.height = rgb.height();
    picture.rgb.resize(static_cast<std::size_t>(picture.width) * picture.height * 3);
    for (int y = 0; y < picture.height; ++y) {
        std::memcpy(picture.rgb.data() + static_cast<std::size_t>(y) * picture.width * 3,
                    rgb.constScanLine(y), static_cast<std::size_t>(picture.width) * 3);
    }
    return picture;
}

QImage toQImage(const Picture& picture) {
    QImage image(picture.width, picture.height, QImage::Format_RGB888);
    for (int y = 0; y < picture.height; ++y) {
        std::memcpy(image.scanLine(y), picture.pixel(0, y),
                    static_cast<std::size_t>(picture.width) * 3);
    }
    return image;
}

Picture cut(const Picture& picture, int left, int top, int width, int height) {
    Picture out;
    out.width = width;
    out.height = height;
    out.rgb.resize(static_cast<std::size_t>(width) * height * 3);
    for (int y = 0; y < height; ++y) {
        std::memcpy(out.rgb.data() + static_cast<std::size_t>(y) * width * 3,
                    picture.pixel(left, top + y), static_cast<std::size_t>(width) * 3);
    }
    return out;
}

Picture oriented(const Picture& picture, int orientation) {
    // Written independently of the library: mirror and turn with QImage.
    QImage image = toQImage(picture);
    QTransform turn;
    switch (orientation) {
        case 2:
            image = image.mirrored(true, false);
            break;
        case 3:
            image = image.mirrored(true, true);
            break;
        case 4:
            image = image.mirrored(false, true);
            break;
        case 5:
            image = image.mirrored(true, false).transformed(QTransform().rotate(270));
            break;
        case 6:
            image = image.transformed(QTransform().rotate(90));
            break;
        case 7:
            image = image.mirrored(true, false).transformed(QTransform().rotate(90));
            break;
        case 8:
            image = image.transformed(QTransform().rotate(270));
            break;
        default:
            break;
    }
    return pictureOf(image);
}

double meanAbsDiff(const Picture& a, const Picture& b) {
    requireSameSize(a, b);
    double sum = 0;
    for (std::size_t i = 0; i < a.rgb.size(); ++i) {
        sum += std::abs(int{a.rgb[i]} - int{b.rgb[i]});
    }
    return a.rgb.empty() ? 0.0 : sum / static_cast<double>(a.rgb.size());
}

int maxAbsDiff(const Picture& a, const Picture& b) {
    requireSameSize(a, b);
    int most = 0;
    for (std::size_t i = 0; i < a.rgb.size(); ++i) {
        most = std::max(most, std::abs(int{a.rgb[i]} - int{b.rgb[i]}));
    }
    return most;
}

double blockMeanAbsDiff(const Picture& a, const Picture& b, int block) {
    requireSameSize(a, b);
    const std::vector<double> ta = tiles(a, block);
    const std::vector<double> tb = tiles(b, block);
    double sum = 0;
    for (std::size_t i = 0; i < ta.size(); ++i) {
        sum += std::abs(ta[i] - tb[i]);
    }
    return ta.empty() ? 0.0 : sum / static_cast<double>(ta.size());
}

double blockLumaCorrelation(const Picture& a, const Picture& b, int block) {
    requireSameSize(a, b);
    const std::vector<double> ta = tiles(a, block);
    const std::vector<double> tb = tiles(b, block);
    std::vector<double> la, lb;
    for (std::size_t i = 0; i + 2 < ta.size(); i += 3) {
        la.push_back(0.299 * ta[i] + 0.587 * ta[i + 1] + 0.114 * ta[i + 2]);
        lb.push_back(0.299 * tb[i] + 0.587 * tb[i + 1] + 0.114 * tb[i + 2]);
    }
    const auto n = static_cast<double>(la.size());
    double ma = 0, mb = 0;
    for (std::size_t i = 0; i < la.size(); ++i) {
        ma += la[i] / n;
        mb += lb[i] / n;
    }
    double sab = 0, saa = 0, sbb = 0;
    for (std::size_t i = 0; i < la.size(); ++i) {
        sab += (la[i] - ma) * (lb[i] - mb);
        saa += (la[i] - ma) * (la[i] - ma);
        sbb += (lb[i] - mb) * (lb[i] - mb);
    }
    return saa > 0 && sbb > 0 ? sab / std::sqrt(saa * sbb) : 0.0;
}

double greyFillShare(const Picture& picture, int fromRow) {
    std::size_t grey = 0, total = 0;
    for (int y = std::max(fromRow, 0); y < picture.height; ++y) {
        for (int x = 0; x < picture.width; ++x) {
            const std::uint8_t* p = picture.pixel(x, y);
            grey += p[0] == 128 && p[1] == 128 && p[2] == 128;
            ++total;
        }
    }
    return total ? static_cast<double>(grey) / static_cast<double>(total) : 0.0;
}

GlobalBlock readJpg(const QString& path, int* width, int* height) {
    std::int32_t w = 0, h = 0;
    GlobalBlock block(ImgDLLReadRGBFromJPG(QFile::encodeName(path).constData(), &w, &h));
    if (width) {
        *width = w;
    }
    if (height) {
        *height = h;
    }
    return block;
}

GlobalBlock readBmp(const QString& path, int* width, int* height) {
    std::int32_t w = 0, h = 0;
    GlobalBlock block(ImgDLLReadRGBFromBMP(QFile::encodeName(path).constData(), &w, &h));
    if (width) {
        *width = w;
    }
    if (height) {
        *height = h;
    }
    return block;
}

std::string lastError() {
    return ImgDLLGetLastError();
}

QByteArray fileBytes(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        throw std::runtime_error("cannot read " + path.toStdString());
    }
    return file.readAll();
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(bytes) != bytes.size()) {
        throw std::runtime_error("cannot write " + path.toStdString());
    }
}

QByteArray encodeTestJpeg(const Picture& picture, int quality, const std::vector<ScanStep>& script,
                          const QByteArray& app1) {
    std::vector<jpeg_scan_info> scans;
    for (const ScanStep& step : script) {
        jpeg_scan_info scan{};
        if (step.component < 0) {
            scan.comps_in_scan = 3;
            scan.component_index[0] = 0;
            scan.component_index[1] = 1;
            scan.component_index[2] = 2;
        } else {
            scan.comps_in_scan = 1;
            scan.component_index[0] = step.component;
        }
        scan.Ss = step.ss;
        scan.Se = step.se;
        scan.Ah = step.ah;
        scan.Al = step.al;
        scans.push_back(scan);
    }
    jpeg::Compressor compressor;
    jpeg::MemoryDestination destination;
    jpeg_compress_struct* info = compressor.info();
    const bool ok = jpeg::runGuarded(compressor.bridge(), [&] {
        destination.attach(info);
        info->image_width = static_cast<JDIMENSION>(picture.width);
        info->image_height = static_cast<JDIMENSION>(picture.height);
        info->input_components = 3;
        info->in_color_space = JCS_RGB;
        jpeg_set_defaults(info);
        jpeg_set_quality(info, quality, TRUE);
        if (!scans.empty()) {
            info->scan_info = scans.data();
            info->num_scans = static_cast<int>(scans.size());
        }
        jpeg_start_compress(info, TRUE);
        if (!app1.isEmpty()) {
            jpeg_write_marker(info, JPEG_APP0 + 1,
                              reinterpret_cast<const JOCTET*>(app1.constData()),
                              static_cast<unsigned>(app1.size()));
        }
        while (info->next_scanline < info->image_height) {
            auto* row =
                const_cast<JSAMPLE*>(picture.pixel(0, static_cast<int>(info->next_scanline)));
            jpeg_write_scanlines(info, &row, 1);
        }
        jpeg_finish_compress(info);
    });
    if (!ok) {
        throw std::runtime_error("test JPEG encoding failed: " + compressor.bridge().text());
    }
    return QByteArray(reinterpret_cast<const char*>(destination.data()),
                      static_cast<qsizetype>(destination.size()));
}

QByteArray iccProfileOf(const QString& path) {
    return markersOf(path).icc;
}

QByteArray takeExifBlock(ExifData* data) {
    unsigned char* saved = nullptr;
    unsigned size = 0;
    exif_data_save_data(data, &saved, &size);
    QByteArray block(reinterpret_cast<const char*>(saved), static_cast<qsizetype>(size));
    std::free(saved);
    exif_data_unref(data);
    return block;
}

int exifOrientationOf(const QString& path) {
    const QByteArray block = markersOf(path).exif;
    if (block.isEmpty()) {
        return -1;
    }
    auto data = parseExif(block);
    ExifEntry* entry = exif_content_get_entry(data->ifd[EXIF_IFD_0], EXIF_TAG_ORIENTATION);
    if (!entry || !entry->data || entry->size < 2) {
        return 0;
    }
    return exif_get_short(entry->data, exif_data_get_byte_order(data.get()));
}

QSize exifPixelSizeOf(const QString& path) {
    const QByteArray block = markersOf(path).exif;
    if (block.isEmpty()) {
        return {};
    }
    auto data = parseExif(block);
    const auto value = [&](ExifTag tag) {
        ExifEntry* entry = exif_content_get_entry(data->ifd[EXIF_IFD_EXIF], tag);
        if (!entry || !entry->data) {
            return -1;
        }
        const ExifByteOrder order = exif_data_get_byte_order(data.get());
        switch (entry->format) {
            case EXIF_FORMAT_LONG:
                return static_cast<int>(exif_get_long(entry->data, order));
            case EXIF_FORMAT_SLONG:
                return static_cast<int>(exif_get_slong(entry->data, order));
            case EXIF_FORMAT_SSHORT:
                return static_cast<int>(exif_get_sshort(entry->data, order));
            default:
                return static_cast<int>(exif_get_short(entry->data, order));
        }
    };
    return {value(EXIF_TAG_PIXEL_X_DIMENSION), value(EXIF_TAG_PIXEL_Y_DIMENSION)};
}

bool exifHasThumbnail(const QString& path) {
    const QByteArray block = markersOf(path).exif;
    if (block.isEmpty()) {
        return false;
    }
    auto data = parseExif(block);
    return data->data != nullptr || data->size != 0 ||
           (data->ifd[EXIF_IFD_1] && data->ifd[EXIF_IFD_1]->count != 0);
}

Picture kodakPicture(int width, int height) {
    const QImage image(testData(QStringLiteral("kodak/kodim23.png")));
    if (image.isNull()) {
        throw std::runtime_error("kodak/kodim23.png is missing");
    }
    return pictureOf(image.copy(0, 0, width, height));
}

}  // namespace vellora::test
