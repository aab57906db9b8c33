#include "display_decoder.h"

#include <sys/mman.h>

#include <QColorSpace>
#include <QList>
#include <QPair>
#include <QString>
#include <QtEndian>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <thread>

#include <jerror.h>

#include "imaging/cmyk.h"
#include "imaging/jpeg_colour_scans.h"
#include "imaging/libjpeg_bridge.h"
#include "imaging/picture_checks.h"
#include "imaging/picture_loader.h"

namespace vellora::imaging {
namespace {

// Format_RGB32 is 0xffRRGGBB in native byte order: B, G, R, 0xff in memory on a
// little-endian machine. libjpeg-turbo fills the X byte with 0xff.
constexpr J_COLOR_SPACE kRgb32Space = Q_BYTE_ORDER == Q_LITTLE_ENDIAN ? JCS_EXT_BGRX : JCS_EXT_XRGB;

// Below this many pixels a second decoder costs more than it saves. Above the second
// limit one decoder does it all: for a progressive file each half's decoder holds the
// whole picture's coefficients (3 bytes a pixel with 4:2:0), and a second copy would
// make the display decode the peak of a compression pass on the largest photos.
// (Sharing the colour scans keeps one buffer: no limit.)
constexpr std::int64_t kSplitPixels = 512 * 1024;
constexpr std::int64_t kSplitMaxPixels = 40'000'000;

struct Layout {
    bool colour = false;
    bool cmyk = false;           // four inks, turned into RGB in place after decoding
    bool adobeInverted = false;  // cmykToRgb's `inverted`
    JDIMENSION width = 0;
    JDIMENSION height = 0;
    JDIMENSION rowGroup = 0;   // rows of one iMCU row
    bool sharesScans = false;  // a second decoder may take the colour scans instead
    int densityUnit = 0;
    int densityX = 0;
    int densityY = 0;
    QByteArray icc;
    QList<QPair<QString, QString>> texts;
};

void attachSource(jpeg_decompress_struct* info, const QByteArray& bytes) {
    jpeg_mem_src(info, reinterpret_cast<const unsigned char*>(bytes.constData()),
                 static_cast<unsigned long>(bytes.size()));
}

// The ICC profile as Qt's reader gathers it: the APP2 "ICC_PROFILE" chunks joined in
// file order.
QByteArray iccProfile(const jpeg_decompress_struct& info) {
    static constexpr char kTag[] = "ICC_PROFILE";  // with its NUL: 12 bytes
    constexpr unsigned kChunkHeader = 14;          // tag, sequence number, chunk count
    QByteArray profile;
    for (jpeg_saved_marker_ptr marker = info.marker_list; marker; marker = marker->next) {
        if (marker->marker == JPEG_APP0 + 2 && marker->data_length > 128 + 4 + kChunkHeader &&
            std::memcmp(marker->data, kTag, sizeof kTag) == 0) {
            profile.append(reinterpret_cast<const char*>(marker->data) + kChunkHeader,
                           static_cast<qsizetype>(marker->data_length - kChunkHeader));
        }
    }
    return profile;
}

// The comments as Qt's reader turns them into text keys: "key: value" when the text
// has ": " before any other blank, otherwise the whole text under "Description".
QList<QPair<QString, QString>> commentTexts(const jpeg_decompress_struct& info) {
    QList<QPair<QString, QString>> texts;
    for (jpeg_saved_marker_ptr marker = info.marker_list; marker; marker = marker->next) {
        if (marker->marker != JPEG_COM) {
            continue;
        }
        const QString text = QString::fromUtf8(reinterpret_cast<const char*>(marker->data),
                                               static_cast<qsizetype>(marker->data_length));
        const qsizetype colon = text.indexOf(QLatin1String(": "));
        if (colon == -1 || text.indexOf(QLatin1Char(' ')) < colon) {
            texts.append({QStringLiteral("Description"), text});
        } else {
            texts.append({text.left(colon), text.mid(colon + 2)});
        }
    }
    return texts;
}

// What libjpeg hands out: Format_RGB32's bytes, grey, or the four inks (as wide as
// Format_RGB32's pixels, so they are turned into RGB where they lie).
J_COLOR_SPACE outputSpace(const Layout& layout) {
    if (layout.cmyk) {
        return JCS_CMYK;
    }
    return layout.colour ? kRgb32Space : JCS_GRAYSCALE;
}

// Turns the four inks of every pixel into the Format_RGB32 pixel in their place.
void inksToRgb(QImage& image, bool inverted) {
    for (int y = 0; y < image.height(); ++y) {
        auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
        const uchar* inks = image.constScanLine(y);
        for (int x = 0; x < image.width(); ++x, inks += 4) {
            const std::array<std::uint8_t, 3> rgb =
                cmykToRgb(inks[0], inks[1], inks[2], inks[3], inverted);
            row[x] = qRgb(rgb[0], rgb[1], rgb[2]);
        }
    }
}

// Reads the header; false when the file is damaged or of a kind left to Qt.
bool readLayout(const QByteArray& bytes, const JpegStructure* walked, Layout& layout) {
    jpeg::Decompressor decompressor;
    if (!decompressor.valid()) {
        return false;
    }
    jpeg_decompress_struct* info = decompressor.info();
    bool supported = false;
    const bool read = jpeg::runGuarded(decompressor.bridge(), [&] {
        attachSource(info, bytes);
        jpeg_save_markers(info, JPEG_APP0 + 2, 0xFFFF);
        jpeg_save_markers(info, JPEG_COM, 0xFFFF);
        (void)jpeg_read_header(info, TRUE);
        const bool cmyk = info->num_components == 4 && (info->jpeg_color_space == JCS_CMYK ||
                                                        info->jpeg_color_space == JCS_YCCK);
        supported =
            info->data_precision == 8 &&
            ((info->num_components == 3 && info->jpeg_color_space == JCS_YCbCr) ||
             (info->num_components == 1 && info->jpeg_color_space == JCS_GRAYSCALE) || cmyk);
        if (supported) {
            layout.colour = info->num_components != 1;
            layout.cmyk = cmyk;
            layout.adobeInverted = info->saw_Adobe_marker;
            info->out_color_space = outputSpace(layout);
            jpeg_calc_output_dimensions(info);
        }
    });
    if (!read || !supported) {
        return false;
    }
    layout.width = info->output_width;
    layout.height = info->output_height;
    layout.rowGroup = static_cast<JDIMENSION>(info->max_v_samp_factor * DCTSIZE);
    // Only a progressive colour file can share its colour scans, and how much they hold
    // takes a walk over the markers (unless the caller made one).
    std::int64_t colourAcBytes = 0;
    if (info->progressive_mode && layout.colour && !layout.cmyk) {
        colourAcBytes =
            walked ? walked->colourAcBytes
                   : walkJpegStructure({reinterpret_cast<const std::uint8_t*>(bytes.constData()),
                                        static_cast<std::size_t>(bytes.size())},
                                       kMaxJpegScans)
                         .colourAcBytes;
    }
    layout.sharesScans = !layout.cmyk && sharesColourScans(*info, 0, colourAcBytes);
    layout.densityUnit = info->density_unit;
    layout.densityX = info->X_density;
    layout.densityY = info->Y_density;
    // A CMYK profile describes the inks, not the RGB shown (nor saved: the image
    // library drops it too).
    layout.icc = layout.cmyk ? QByteArray() : iccProfile(*info);
    layout.texts = commentTexts(*info);
    return true;
}

// Starts `info` on `bytes` with the output the layout was read for (in buffered-image
// mode when asked: the caller then absorbs the input itself). Runs libjpeg: call inside
// the decoder's error bridge.
void startDecoder(jpeg_decompress_struct* info, const QByteArray& bytes, const Layout& layout,
                  bool buffered) {
    attachSource(info, bytes);
    (void)jpeg_read_header(info, TRUE);
    info->out_color_space = outputSpace(layout);
    info->buffered_image = buffered ? TRUE : FALSE;
    jpeg_start_decompress(info);
    if (info->output_width != layout.width || info->output_height != layout.height) {
        ERREXIT(info, JERR_IMAGE_TOO_BIG);
    }
}

// Reads the output rows from the current one up to `last` into `pixels`, several a
// call. Runs libjpeg: call inside the decoder's error bridge (it owns nothing).
void readRowsInto(jpeg_decompress_struct* info, uchar* pixels, qsizetype stride, JDIMENSION last) {
    constexpr JDIMENSION kRowsPerCall = 16;
    JSAMPROW rows[kRowsPerCall] = {};
    while (info->output_scanline < last) {
        const JDIMENSION y = info->output_scanline;
        const JDIMENSION wanted = std::min(kRowsPerCall, last - y);
        for (JDIMENSION r = 0; r < wanted; ++r) {
            rows[r] = pixels + static_cast<qsizetype>(y + r) * stride;
        }
        if (jpeg_read_scanlines(info, rows, wanted) == 0) {
            ERREXIT(info, JERR_INPUT_EOF);
        }
    }
}

// Decodes picture rows [first, last) into `pixels`. A decoder that starts below the
// top skips the rows above (libjpeg still reads their compressed data, but does no
// inverse DCT, upsampling or colour conversion for them). Any damage fails it.
bool decodeRows(const QByteArray& bytes, const Layout& layout, uchar* pixels, qsizetype stride,
                JDIMENSION first, JDIMENSION last) {
    jpeg::Decompressor decompressor;
    if (!decompressor.valid()) {
        return false;
    }
    jpeg_decompress_struct* info = decompressor.info();
    // Nothing with a destructor inside: a libjpeg failure jumps out.
    return jpeg::runGuarded(decompressor.bridge(), [&] {
        startDecoder(info, bytes, layout, false);
        if (first > 0 && jpeg_skip_scanlines(info, first) != first) {
            ERREXIT(info, JERR_INPUT_EOF);
        }
        readRowsInto(info, pixels, stride, last);
        if (last == info->output_height) {
            jpeg_finish_decompress(info);  // reads to the end: damage there fails too
        }
    });
}

// Decodes the whole picture of a progressive colour file with a second decoder taking
// its colour scans (jpeg_colour_scans.h). Any damage fails it.
bool decodeSharingScans(const QByteArray& bytes, const Layout& layout, uchar* pixels,
                        qsizetype stride) {
    jpeg::Decompressor decompressor;
    if (!decompressor.valid()) {
        return false;
    }
    jpeg_decompress_struct* info = decompressor.info();
    if (!jpeg::runGuarded(decompressor.bridge(),
                          [&] { startDecoder(info, bytes, layout, true); })) {
        return false;
    }
    ColourScanDecoder colour;
    if (readAllScans(decompressor, colour, [&](j_decompress_ptr second) {
            attachSource(second, bytes);
        }) != SharedRead::Done) {
        return false;
    }
    return jpeg::runGuarded(decompressor.bridge(), [&] {
        jpeg_start_output(info, info->input_scan_number);
        readRowsInto(info, pixels, stride, info->output_height);
        jpeg_finish_output(info);
        jpeg_finish_decompress(info);
    });
}

// Whether a second decoder takes the colour scans rather than the lower half: for
// progressive files whose colour scans are heavy (see sharesColourScans), large enough
// to pay, or when two threads are asked for. Two halves would each decode every scan;
// for a file with little colour data they are still the faster way, as they split the
// inverse DCT too (our own quality-41 output of Volna: 0.034 s in halves, 0.043 s
// sharing). One coefficient buffer between the two: no upper size limit.
bool sharesScans(const Layout& layout, int threads) {
    if (!layout.sharesScans || threads == 1) {
        return false;
    }
    return threads > 1 || (std::int64_t{layout.width} * layout.height >= kSplitPixels &&
                           std::thread::hardware_concurrency() >= 2);
}

// Where the second decoder starts: half-way down, on a whole iMCU row, so that both
// decoders see the same neighbouring rows for chroma upsampling.
JDIMENSION splitRow(const Layout& layout, int threads) {
    if (threads == 1 || layout.rowGroup == 0) {
        return 0;
    }
    const std::int64_t pixels = std::int64_t{layout.width} * layout.height;
    if (threads == 0 && (pixels < kSplitPixels || pixels > kSplitMaxPixels ||
                         std::thread::hardware_concurrency() < 2)) {
        return 0;
    }
    const JDIMENSION split = layout.height / 2 / layout.rowGroup * layout.rowGroup;
    return split > 0 && split < layout.height ? split : 0;
}

// Large pictures are written once from top to bottom; in 4 KiB pages each page costs
// the kernel a fault on first touch (fifteen thousand for a 15-megapixel picture), in
// 2 MiB pages a few dozen. So their buffer is aligned to 2 MiB and offered for
// transparent huge pages (only advice: nothing changes where they are switched off).
constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kHugeBuffer = std::size_t{8} << 20;

void freeAligned(void* memory) {
    std::free(memory);
}

QImage newPicture(int width, int height, QImage::Format format) {
    const int depth = format == QImage::Format_RGB32 ? 4 : 1;
    const qsizetype stride = (static_cast<qsizetype>(width) * depth + 3) / 4 * 4;  // as Qt's
    const auto bytes = static_cast<std::size_t>(stride) * static_cast<std::size_t>(height);
    if (bytes < kHugeBuffer) {
        return QImage(width, height, format);
    }
    const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    void* memory = std::aligned_alloc(kHugePage, rounded);
    if (!memory) {
        return {};
    }
    (void)::madvise(memory, rounded, MADV_HUGEPAGE);
    QImage image(static_cast<uchar*>(memory), width, height, stride, format, freeAligned, memory);
    if (image.isNull()) {
        std::free(memory);  // refused: the image never took it over
    }
    return image;
}

}  // namespace

QImage decodeJpegForDisplay(const QByteArray& bytes, int threads, const JpegStructure* walked) {
    Layout layout;
    if (!readLayout(bytes, walked, layout) || layout.width > INT32_MAX ||
        layout.height > INT32_MAX) {
        return {};
    }
    // The windows' limit, as Qt's reader applies it: a few hundred bytes may declare a
    // picture of gigabytes, which is refused before anything is allocated.
    const std::int64_t depth = layout.colour ? 4 : 1;
    if (std::int64_t{layout.width} * layout.height * depth >
        std::int64_t{kPictureAllocationLimitMB} * 1024 * 1024) {
        return {};
    }
    QImage image = newPicture(static_cast<int>(layout.width), static_cast<int>(layout.height),
                              layout.colour ? QImage::Format_RGB32 : QImage::Format_Grayscale8);
    if (image.isNull()) {
        return {};
    }
    uchar* pixels = image.bits();
    const qsizetype stride = image.bytesPerLine();

    const bool shared = sharesScans(layout, threads);
    const JDIMENSION split = shared ? 0 : splitRow(layout, threads);
    bool lowerOk = false;
    bool upperOk = false;
    if (shared) {
        upperOk = lowerOk = decodeSharingScans(bytes, layout, pixels, stride);
    } else if (split > 0) {
        std::thread lower;
        try {
            lower = std::thread(
                [&] { lowerOk = decodeRows(bytes, layout, pixels, stride, split, layout.height); });
        } catch (const std::system_error&) {
            // No thread to be had: one decoder does it all below.
        }
        if (lower.joinable()) {
            upperOk = decodeRows(bytes, layout, pixels, stride, 0, split);
            lower.join();
        }
    }
    if (!(upperOk && lowerOk) &&
        !decodeRows(bytes, layout, pixels, stride, 0, static_cast<JDIMENSION>(layout.height))) {
        return {};
    }

    if (layout.cmyk) {
        inksToRgb(image, layout.adobeInverted);
    }

    // Resolution and colour space as Qt's reader sets them.
    if (layout.densityUnit == 1) {
        image.setDotsPerMeterX(int(100. * layout.densityX / 2.54));
        image.setDotsPerMeterY(int(100. * layout.densityY / 2.54));
    } else if (layout.densityUnit == 2) {
        image.setDotsPerMeterX(int(100. * layout.densityX));
        image.setDotsPerMeterY(int(100. * layout.densityY));
    }
    if (!layout.icc.isEmpty()) {
        image.setColorSpace(QColorSpace::fromIccProfile(layout.icc));
    }
    for (const auto& [key, value] : layout.texts) {
        image.setText(key, value);
    }
    return image;
}

namespace {

// Why libjpeg-turbo does not decode the whole of `bytes`, or "": damaged data and the
// kinds it cannot decode always, any other error when `everyError`.
std::string judgeJpeg(const QByteArray& bytes, bool everyError) {
    jpeg::Decompressor decompressor;
    if (!decompressor.valid()) {
        return {};
    }
    jpeg_decompress_struct* info = decompressor.info();
    // Nothing with a destructor inside: a libjpeg failure jumps out. The row comes from
    // libjpeg's own pool, which the decompressor releases.
    const bool whole = jpeg::runGuarded(decompressor.bridge(), [&] {
        attachSource(info, bytes);
        (void)jpeg_read_header(info, TRUE);
        jpeg_start_decompress(info);
        JSAMPARRAY row = (*info->mem->alloc_sarray)(
            reinterpret_cast<j_common_ptr>(info), JPOOL_IMAGE,
            info->output_width * static_cast<JDIMENSION>(info->output_components), 1);
        while (info->output_scanline < info->output_height) {
            if (jpeg_read_scanlines(info, row, 1) == 0) {
                ERREXIT(info, JERR_INPUT_EOF);
            }
        }
        jpeg_finish_decompress(info);
    });
    const jpeg::ErrorBridge& bridge = decompressor.bridge();
    if (whole) {
        return {};
    }
    if (bridge.failedOnWarning || bridge.manager.msg_code == JERR_INPUT_EOF) {
        return "file is truncated or corrupt: " + bridge.text();
    }
    // Qt's reader refuses these too, but says only "Unable to read image data".
    if (std::string kind = bridge.unsupportedKind(); !kind.empty() || !everyError) {
        return kind;
    }
    return "cannot decode the JPEG: " + bridge.text();
}

}  // namespace

std::string jpegDamage(const QByteArray& bytes) {
    return judgeJpeg(bytes, false);
}

std::string jpegRefusal(const QByteArray& bytes) {
    return judgeJpeg(bytes, true);
}

}  // namespace vellora::imaging
