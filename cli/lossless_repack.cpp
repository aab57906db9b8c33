#include "lossless_repack.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <optional>
#include <span>
#include <system_error>
#include <thread>
#include <vector>

#include <jerror.h>

#include "cli/requantiser.h"
#include "imaging/encoder/scan_script.h"
#include "imaging/exif_metadata.h"
#include "imaging/libjpeg_bridge.h"
#include "imaging/picture_checks.h"

namespace vellora::cli {
namespace {

// Replacement quantisation tables for some of a file's table slots.
using TableSlots = std::array<std::optional<imaging::encoder::QuantTable>, NUM_QUANT_TBLS>;

// The same bounds the picture reader keeps: a picture larger than this is refused
// before its coefficients are allocated, and a file with more scans than any encoder
// writes (a "scan bomb" that keeps the decoder busy for minutes) is refused too.
constexpr std::int64_t kMaxPixels = 200'000'000;
constexpr int kMaxScans = imaging::kMaxJpegScans;
constexpr int kTooManyScansCode = 1000;
const char* const kAddonMessages[] = {"Too many scans: more than %d", nullptr};

struct ScanLimit {
    jpeg_progress_mgr manager{};  // first, so libjpeg's pointer is ours too
};

void checkScanCount(j_common_ptr common) {
    if (!common->is_decompressor) {
        return;
    }
    auto* info = reinterpret_cast<j_decompress_ptr>(common);
    if (info->input_scan_number > kMaxScans) {
        common->err->msg_code = kTooManyScansCode;
        common->err->msg_parm.i[0] = kMaxScans;
        (*common->err->error_exit)(common);
    }
}

struct Marker {
    int code = 0;
    QByteArray data;
};

bool startsWith(const QByteArray& data, const char* prefix, std::size_t length) {
    return static_cast<std::size_t>(data.size()) >= length &&
           std::memcmp(data.constData(), prefix, length) == 0;
}

bool isExif(const Marker& marker) {
    return marker.code == JPEG_APP0 + 1 && startsWith(marker.data, "Exif\0\0", 6);
}
bool isIcc(const Marker& marker) {
    return marker.code == JPEG_APP0 + 2 && startsWith(marker.data, "ICC_PROFILE\0", 12);
}
// The index of the pictures a camera appends after the end of the main one.
bool isMpf(const Marker& marker) {
    return marker.code == JPEG_APP0 + 2 && startsWith(marker.data, "MPF\0", 4);
}
bool isJfif(const Marker& marker) {
    return marker.code == JPEG_APP0 && startsWith(marker.data, "JFIF\0", 5);
}
bool isAdobe(const Marker& marker) {
    return marker.code == JPEG_APP0 + 14 && startsWith(marker.data, "Adobe", 5);
}

// The markers the new file carries, in the input's order. JFIF and Adobe blocks are
// written by libjpeg itself from the copied parameters, so copies would double them.
std::vector<Marker> markersToKeep(const jpeg_decompress_struct& in, const jpeg_compress_struct& out,
                                  const RepackSettings& settings) {
    std::vector<Marker> kept;
    for (jpeg_saved_marker_ptr saved = in.marker_list; saved; saved = saved->next) {
        Marker marker{saved->marker, QByteArray(reinterpret_cast<const char*>(saved->data),
                                                static_cast<qsizetype>(saved->data_length))};
        if ((isJfif(marker) && out.write_JFIF_header) ||
            (isAdobe(marker) && out.write_Adobe_marker)) {
            continue;
        }
        if (isMpf(marker)) {
            // What it indexes comes after the picture's end and is not carried: kept, it
            // would point past the end of the new file.
            continue;
        }
        if (isIcc(marker)) {
            if (!settings.stripIcc) {
                kept.push_back(std::move(marker));
            }
            continue;
        }
        if (settings.stripMetadata && !isJfif(marker) && !isAdobe(marker)) {
            // Without the orientation tag a turned photo would show on its side: keep
            // just that tag.
            if (isExif(marker)) {
                if (const int orientation = exifOrientation(marker.data); orientation != 1) {
                    kept.push_back({JPEG_APP0 + 1, minimalExif(orientation)});
                }
            }
            continue;
        }
        kept.push_back(std::move(marker));
    }
    return kept;
}

RepackResult refused(const QString& message) {
    return {RepackStatus::Refused, {}, message};
}
RepackResult failed(const QString& message) {
    return {RepackStatus::Failed, {}, message};
}

RepackResult readFailure(const jpeg::ErrorBridge& bridge) {
    const QString text = QString::fromStdString(bridge.text());
    if (bridge.failedOnWarning || bridge.manager.msg_code == JERR_INPUT_EOF) {
        return failed(QStringLiteral("file is truncated or corrupt: ") + text);
    }
    switch (bridge.manager.msg_code) {
        case JERR_SOF_UNSUPPORTED:
            return refused(
                QStringLiteral("lossless-process or hierarchical JPEG (%1); --lossless only "
                               "repacks 8-bit DCT JPEGs")
                    .arg(text));
        case JERR_BAD_PRECISION:
            return refused(QStringLiteral("%1; --lossless only repacks 8-bit DCT JPEGs").arg(text));
        case kTooManyScansCode:
            return failed(QStringLiteral("refused: the JPEG has more than %1 scans, far more "
                                         "than any encoder writes (a scan bomb)")
                              .arg(kMaxScans));
        default:
            return failed(QStringLiteral("cannot read the JPEG: ") + text);
    }
}

// libjpeg codes at most ten blocks in one unit of an interleaved scan. Both layouts
// send the DC of every component together, which a file sampled 4x4 (sixteen luma
// blocks a unit) cannot take: such a scan is sent one component at a time, in
// `scans`, which must outlive the compression.
void splitOversizedScans(jpeg_compress_struct* out, std::vector<jpeg_scan_info>& scans) {
    if (out->scan_info == nullptr) {
        return;
    }
    const auto blocks = [out](const jpeg_scan_info& scan) {
        int count = 0;
        for (int k = 0; k < scan.comps_in_scan; ++k) {
            const jpeg_component_info& component = out->comp_info[scan.component_index[k]];
            count += component.h_samp_factor * component.v_samp_factor;
        }
        return count;
    };
    scans.clear();
    for (const jpeg_scan_info& scan :
         std::span(out->scan_info, static_cast<std::size_t>(out->num_scans))) {
        if (scan.comps_in_scan == 1 || blocks(scan) <= C_MAX_BLOCKS_IN_MCU) {
            scans.push_back(scan);
            continue;
        }
        for (int k = 0; k < scan.comps_in_scan; ++k) {
            jpeg_scan_info single = scan;
            single.comps_in_scan = 1;
            single.component_index[0] = scan.component_index[k];
            scans.push_back(single);
        }
    }
    if (scans.size() != static_cast<std::size_t>(out->num_scans)) {  // something was split
        out->scan_info = scans.data();
        out->num_scans = static_cast<int>(scans.size());
    }
}

// One repack with the given scan layout into `bytes`; false with `error` on failure.
bool writeWithLayout(jpeg_decompress_struct* in, jvirt_barray_ptr* coefficients,
                     imaging::encoder::ScanLayout layout, const RepackSettings& settings,
                     const TableSlots& tables, QByteArray& bytes, QString& error) {
    jpeg::Compressor compressor;
    if (!compressor.valid()) {
        error = QStringLiteral("cannot start the JPEG writer");
        return false;
    }
    jpeg::MemoryDestination destination;
    jpeg_compress_struct* out = compressor.info();
    const bool prepared = jpeg::runGuarded(compressor.bridge(), [&] {
        destination.attach(out);
        jpeg_copy_critical_parameters(in, out);
        // libjpeg adds a JFIF block to every YCbCr or grey file and an Adobe block to
        // every CMYK one; a file without them keeps without. A CMYK file given an Adobe
        // block would read inverted (all black) where the input read right.
        if (!in->saw_JFIF_marker) {
            out->write_JFIF_header = FALSE;
        }
        if (!in->saw_Adobe_marker) {
            out->write_Adobe_marker = FALSE;
        }
        for (int slot = 0; slot < NUM_QUANT_TBLS; ++slot) {
            if (tables[slot] && out->quant_tbl_ptrs[slot]) {
                std::copy(tables[slot]->begin(), tables[slot]->end(),
                          out->quant_tbl_ptrs[slot]->quantval);
            }
        }
        out->optimize_coding = TRUE;
        imaging::encoder::applyScanLayout(out, layout);
    });
    if (!prepared) {
        error = QString::fromStdString(compressor.bridge().text());
        return false;
    }
    std::vector<jpeg_scan_info> scans;
    splitOversizedScans(out, scans);
    const std::vector<Marker> markers = markersToKeep(*in, *out, settings);
    const bool written = jpeg::runGuarded(compressor.bridge(), [&] {
        jpeg_write_coefficients(out, coefficients);
        for (const Marker& marker : markers) {
            jpeg_write_marker(out, marker.code,
                              reinterpret_cast<const JOCTET*>(marker.data.constData()),
                              static_cast<unsigned int>(marker.data.size()));
        }
        jpeg_finish_compress(out);
    });
    if (!written) {
        error = QString::fromStdString(compressor.bridge().text());
        return false;
    }
    bytes = QByteArray(reinterpret_cast<const char*>(destination.data()),
                       static_cast<qsizetype>(destination.size()));
    return true;
}

}  // namespace

int exifOrientation(const QByteArray& payload) {
    // The image library's reading, so that the orientation the pixels were turned by
    // and the one this tool keeps or checks are the same on every file.
    return imaging::exifOrientation({reinterpret_cast<const std::uint8_t*>(payload.constData()),
                                     static_cast<std::size_t>(payload.size())});
}

QByteArray minimalExif(int orientation) {
    // Little-endian TIFF with one directory of one entry, and no next directory.
    static const unsigned char kTemplate[] = {
        'E',  'x',  'i', 'f', 0, 0,                    // APP1 EXIF identifier
        'I',  'I',  42,  0,   8, 0, 0, 0,              // header, directory at 8
        1,    0,                                       // one entry
        0x12, 0x01, 3,   0,   1, 0, 0, 0, 0, 0, 0, 0,  // orientation, SHORT, 1, value
        0,    0,    0,   0};                           // no next directory
    QByteArray bytes(reinterpret_cast<const char*>(kTemplate), sizeof kTemplate);
    bytes[6 + 8 + 2 + 8] = static_cast<char>(orientation);
    return bytes;
}

namespace {

// A JPEG's quantised coefficients as stored, with its markers, read under the same
// bounds as the picture reader.
struct StoredCoefficients {
    jpeg::Decompressor decompressor;
    ScanLimit limit;
    jvirt_barray_ptr* coefficients = nullptr;

    jpeg_decompress_struct* info() { return decompressor.info(); }
};

// Reads `input` (which must outlive `stored`) into `stored`; a Refused or Failed result
// when it cannot, nullopt when it could.
std::optional<RepackResult> readStored(const QByteArray& input, StoredCoefficients& stored) {
    if (!stored.decompressor.valid()) {
        return failed(QStringLiteral("cannot start the JPEG reader"));
    }
    // The picture reader's checks: libjpeg reads a file whose scans leave a colour out
    // or stop early without a word, and repacking would write the gap as data.
    const imaging::JpegStructure structure =
        imaging::walkJpegStructure({reinterpret_cast<const std::uint8_t*>(input.constData()),
                                    static_cast<std::size_t>(input.size())},
                                   kMaxScans);
    if (std::string flood = imaging::checkJpegFloods(structure, kMaxScans); !flood.empty()) {
        return failed(QString::fromStdString(flood));
    }
    // A whole file whose scans stop short is a kind this mode leaves alone, like the
    // others it does not repack.
    if (std::string refusal = imaging::checkJpegCompleteness(structure); !refusal.empty()) {
        return refused(QString::fromStdString(refusal) + "; --lossless leaves it alone");
    }
    jpeg_decompress_struct* in = stored.info();
    stored.limit.manager.progress_monitor = checkScanCount;
    const bool header = jpeg::runGuarded(stored.decompressor.bridge(), [&] {
        in->err->addon_message_table = kAddonMessages;
        in->err->first_addon_message = kTooManyScansCode;
        in->err->last_addon_message = kTooManyScansCode;
        jpeg_mem_src(in, reinterpret_cast<const unsigned char*>(input.constData()),
                     static_cast<unsigned long>(input.size()));
        jpeg_save_markers(in, JPEG_COM, 0xFFFF);
        for (int app = 0; app < 16; ++app) {
            jpeg_save_markers(in, JPEG_APP0 + app, 0xFFFF);
        }
        jpeg_read_header(in, TRUE);
    });
    if (!header) {
        return readFailure(stored.decompressor.bridge());
    }
    if (in->arith_code) {
        return refused(
            QStringLiteral("arithmetic-coded JPEG: already tighter than Huffman coding "
                           "repacks it; --lossless leaves it alone"));
    }
    if (static_cast<std::int64_t>(in->image_width) * in->image_height > kMaxPixels) {
        return failed(QStringLiteral("picture too large: %1 x %2 pixels exceeds the limit of %3 "
                                     "pixels")
                          .arg(in->image_width)
                          .arg(in->image_height)
                          .arg(kMaxPixels));
    }
    const bool read = jpeg::runGuarded(stored.decompressor.bridge(), [&] {
        in->progress = &stored.limit.manager;
        stored.coefficients = jpeg_read_coefficients(in);
    });
    if (!read || stored.coefficients == nullptr) {
        return readFailure(stored.decompressor.bridge());
    }
    // A table slot defined again between scans leaves a component quantised by a table
    // the file no longer holds at the end: libjpeg cannot write that again, and the
    // kept steps would be read from the wrong table.
    for (int c = 0; c < in->num_components; ++c) {
        const jpeg_component_info& component = in->comp_info[c];
        const JQUANT_TBL* slot = in->quant_tbl_ptrs[component.quant_tbl_no];
        if (component.quant_table == nullptr || slot == nullptr ||
            !std::equal(slot->quantval, slot->quantval + DCTSIZE2,
                        component.quant_table->quantval)) {
            return refused(
                QStringLiteral("a quantisation table is defined again between the "
                               "scans; --lossless cannot repack such a JPEG"));
        }
    }
    return std::nullopt;
}

// One layout's write, as writeSmallest keeps it.
struct LayoutWrite {
    bool ok = false;
    QByteArray bytes;
    QString error;
};

// Writes `in`'s coefficients with our progressive layout and libjpeg's and keeps the
// smaller; `tables` replaces the quantisation tables of the slots it holds.
RepackResult writeSmallest(jpeg_decompress_struct* in, jvirt_barray_ptr* coefficients,
                           const RepackSettings& settings, const TableSlots& tables) {
    // Our layout is made for one-component and YCbCr-like three-component files;
    // libjpeg's own works for every component count. The smaller result wins.
    using imaging::encoder::ScanLayout;
    std::vector<ScanLayout> layouts;
    if (in->num_components == 1 || in->num_components == 3) {
        layouts.push_back(ScanLayout::Tuned);
    }
    layouts.push_back(ScanLayout::LibjpegProgressive);
    std::vector<LayoutWrite> writes(layouts.size());
    const auto write = [&](std::size_t index) noexcept {
        LayoutWrite& result = writes[index];
        try {
            result.ok = writeWithLayout(in, coefficients, layouts[index], settings, tables,
                                        result.bytes, result.error);
        } catch (const std::bad_alloc&) {
            result.error = QStringLiteral("out of memory");
        }
    };
    // The two writes only read the coefficients (every row is defined and in memory
    // once read), each with its own compressor, error handler and output: the second
    // runs beside the first on another thread. Each write codes the whole picture,
    // so this halves the time of the repack's larger part. Without a thread to be had,
    // one after the other.
    std::optional<std::thread> helper;
    if (writes.size() > 1) {
        try {
            helper.emplace(write, std::size_t{1});
        } catch (const std::system_error&) {
            helper.reset();
        }
    }
    write(0);
    if (helper) {
        helper->join();
    } else {
        for (std::size_t index = 1; index < writes.size(); ++index) {
            write(index);
        }
    }
    RepackResult best = failed({});
    for (LayoutWrite& written : writes) {
        if (!written.ok) {
            if (best.status != RepackStatus::Ok) {
                best = failed(QStringLiteral("cannot repack the JPEG: ") + written.error);
            }
            continue;
        }
        if (best.status != RepackStatus::Ok || written.bytes.size() < best.bytes.size()) {
            best = {RepackStatus::Ok, std::move(written.bytes), {}};
        }
    }
    return best;
}

// The EXIF orientation among `in`'s saved markers; 1 when there is none.
int storedOrientation(const jpeg_decompress_struct& in) {
    for (jpeg_saved_marker_ptr saved = in.marker_list; saved; saved = saved->next) {
        const QByteArray data = QByteArray::fromRawData(reinterpret_cast<const char*>(saved->data),
                                                        static_cast<qsizetype>(saved->data_length));
        if (saved->marker == JPEG_APP0 + 1 && startsWith(data, "Exif\0\0", 6)) {
            return exifOrientation(data);
        }
    }
    return 1;
}

}  // namespace

RepackResult repackJpeg(const QByteArray& input, const RepackSettings& settings) {
    StoredCoefficients stored;
    if (const std::optional<RepackResult> problem = readStored(input, stored)) {
        return *problem;
    }
    return writeSmallest(stored.info(), stored.coefficients, settings, {});
}

namespace {

// Why `in` (header read) cannot keep its own luma; empty when it can.
QString lumaRefusal(const jpeg_decompress_struct& in) {
    if (!canRequantise(in)) {
        return QStringLiteral(
            "only grey and YCbCr 8-bit JPEGs with a full-resolution luma keep their luma");
    }
    if (storedOrientation(in) != 1) {
        return QStringLiteral("the picture is stored turned");
    }
    return {};
}

}  // namespace

RepackResult readStoredPicture(const QByteArray& input, StoredPicture& picture) {
    StoredCoefficients original;
    if (const std::optional<RepackResult> problem = readStored(input, original)) {
        return *problem;
    }
    jpeg_decompress_struct* in = original.info();
    if (const QString refusal = lumaRefusal(*in); !refusal.isEmpty()) {
        return refused(refusal);
    }
    if (!jpeg::runGuarded(original.decompressor.bridge(),
                          [&] { readPlanes(in, original.coefficients, picture); })) {
        return failed(QStringLiteral("cannot read the coefficients: ") +
                      QString::fromStdString(original.decompressor.bridge().text()));
    }
    return {RepackStatus::Ok, {}, {}};
}

namespace {

bool linesUp(const jpeg_component_info& component, const StoredPlane& plane) {
    return component.width_in_blocks == plane.widthInBlocks &&
           component.height_in_blocks == plane.heightInBlocks;
}

// The tables for the encode's colour planes when they line up with the stored ones
// (both 4:2:0, the same blocks, and one table per slot), each the encode's own with the
// stored steps kept where it is not much coarser; nullopt when they do not.
std::optional<std::array<imaging::encoder::QuantTable, 2>> colourTables(
    const StoredPicture& picture, const jpeg_decompress_struct& out) {
    // The input's colour was read only when it is 4:2:0 (readPlanes).
    if (picture.planes.size() != 3 || !hasHalfColour(out)) {
        return std::nullopt;
    }
    std::array<imaging::encoder::QuantTable, 2> tables{};
    for (int c = 1; c < 3; ++c) {
        const jpeg_component_info& component = out.comp_info[c];
        const JQUANT_TBL* own = out.quant_tbl_ptrs[component.quant_tbl_no];
        if (!linesUp(component, picture.planes[c]) ||
            component.quant_tbl_no == out.comp_info[0].quant_tbl_no) {
            return std::nullopt;
        }
        imaging::encoder::QuantTable tuned{};
        std::copy(own->quantval, own->quantval + DCTSIZE2, tuned.begin());
        tables[c - 1] = keepStoredSteps(picture.planes[c].steps, tuned, kColourKeepFactor);
    }
    // One slot holds one table: Cb and Cr sharing a slot need the same stored steps.
    if (out.comp_info[1].quant_tbl_no == out.comp_info[2].quant_tbl_no && tables[0] != tables[1]) {
        return std::nullopt;
    }
    return tables;
}

}  // namespace

RepackResult withStoredPicture(const StoredPicture& picture, const QByteArray& encoded,
                               const imaging::encoder::QuantTable& table, int quality) {
    StoredCoefficients ours;
    if (const std::optional<RepackResult> problem = readStored(encoded, ours)) {
        return *problem;
    }
    jpeg_decompress_struct* out = ours.info();
    // The components may differ: a colour input whose pixels are all grey is encoded as
    // grey, and its luma is the whole picture all the same.
    if (picture.planes.empty() || out->image_width != picture.imageWidth ||
        out->image_height != picture.imageHeight ||
        !linesUp(out->comp_info[0], picture.planes.front())) {
        return refused(QStringLiteral("the encode's luma does not line up with the input's"));
    }
    const std::optional<std::array<imaging::encoder::QuantTable, 2>> colour =
        colourTables(picture, *out);
    if (!jpeg::runGuarded(ours.decompressor.bridge(), [&] {
            requantiseInto(picture.planes.front(), table, quality, true, out, 0,
                           ours.coefficients[0]);
            if (colour) {
                for (int c = 1; c < 3; ++c) {
                    requantiseInto(picture.planes[c], (*colour)[c - 1], quality, false, out, c,
                                   ours.coefficients[c]);
                }
            }
        })) {
        return failed(QStringLiteral("cannot move the coefficients across: ") +
                      QString::fromStdString(ours.decompressor.bridge().text()));
    }
    TableSlots tables;
    tables[out->comp_info[0].quant_tbl_no] = table;
    if (colour) {
        tables[out->comp_info[1].quant_tbl_no] = (*colour)[0];
        tables[out->comp_info[2].quant_tbl_no] = (*colour)[1];
    }
    return writeSmallest(out, ours.coefficients, RepackSettings{}, tables);
}

}  // namespace vellora::cli
