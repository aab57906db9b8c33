// Reading a JPEG file into a picture buffer, on libjpeg-turbo.
//
// Every damaged or hostile file fails with a reason instead of coming back half grey:
// libjpeg's corrupt-data warnings are errors here (libjpeg_bridge), the picture's size
// is checked before anything is allocated for it, and the number of scans is capped.
//
// Why at most 100 scans: libjpeg's own progressive script writes 10 scans for a colour
// picture (6 for grey), Photoshop and the camera makers write 3 to 10, and scan
// optimisers such as mozjpeg's stay near 20 even for four-component pictures. Every
// scan of a progressive file makes the decoder walk the whole coefficient buffer, so a
// small file with thousands of nearly empty scans (a "scan bomb") keeps a decoder busy
// for minutes; 100 is five times anything an encoder writes and bounds that work.
// The scans are counted by a walk over the markers before anything is decoded, so a
// scan bomb is refused at once rather than after its first 100 scans; the same walk
// refuses a file whose scans leave a colour component out (libjpeg would show the
// picture grey). The progress monitor below stays as the backstop.

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <system_error>
#include <thread>
#include <vector>

#include <jpeglib.h>
// After jpeglib.h, which they build on; jpegint.h: the entropy decoder and the
// coefficient buffer of a decoder (ColourScans).
#include <jerror.h>
#include <jpegint.h>

#include "exif_metadata.h"
#include "file_io.h"
#include "jpeg_markers.h"
#include "libjpeg_bridge.h"
#include "orientation.h"
#include "picture_checks.h"
#include "picture_readers.h"
#include "rgb_buffer.h"

namespace vellora::imaging {
namespace {

// Our own libjpeg message, reported through the same error path as libjpeg's.
constexpr int kTooManyScansCode = 1000;
const char* const kAddonMessages[] = {"Too many scans: more than %d", nullptr};

// Which scans of a progressive file a decoder decodes when two share the file (see
// ColourScans below); it skips over the bytes of the others.
enum class ScanRole { All, AllButColourAc, OnlyColourAc };

struct ScanLimit {
    jpeg_progress_mgr manager{};  // first, so libjpeg's pointer is ours too
    int maxScans = kMaxJpegScans;
    ScanRole role = ScanRole::All;
    int assignedScan = 0;                       // the last scan given its role
    const std::atomic<bool>* cancel = nullptr;  // set: stop with an error
    void* owner = nullptr;                      // what the memory hooks work for
};

// An AC scan of a colour component: it holds nothing of the luma or of any DC, and
// its refinements read only what the AC scans of the same component left.
bool isColourAcScan(const jpeg_decompress_struct& info) {
    if (info.Ss == 0) {
        return false;
    }
    for (int i = 0; i < info.comps_in_scan; ++i) {
        if (info.cur_comp_info[i]->component_index == 0) {
            return false;
        }
    }
    return true;
}

// Stands in for a skipped scan's Huffman decoding: on the first call it moves the
// source to the next marker that is not a restart marker (where libjpeg's decoder
// would stop), and leaves every block as it is.
boolean skipScanData(j_decompress_ptr info, JBLOCKROW*) {
    if (info->unread_marker != 0) {
        return TRUE;  // already at the end of the scan's data
    }
    jpeg_source_mgr* source = info->src;
    bool afterFF = false;
    for (;;) {
        if (source->bytes_in_buffer == 0 && !(*source->fill_input_buffer)(info)) {
            ERREXIT(info, JERR_CANT_SUSPEND);
        }
        const JOCTET byte = *source->next_input_byte++;
        --source->bytes_in_buffer;
        if (!afterFF) {
            afterFF = byte == 0xFF;
        } else if (byte != 0xFF) {  // 0xFF 0xFF...: fill bytes before a marker
            afterFF = false;
            if (byte != 0 && (byte < JPEG_RST0 || byte > JPEG_RST0 + 7)) {
                info->unread_marker = byte;
                return TRUE;
            }
        }
    }
}

// Called before every step of the input: bounds the number of scans, and gives each
// new scan its decoder or its skip.
void checkScanCount(j_common_ptr common) {
    if (!common->is_decompressor) {
        return;
    }
    auto* info = reinterpret_cast<j_decompress_ptr>(common);
    auto* limit = reinterpret_cast<ScanLimit*>(common->progress);
    if (info->input_scan_number > limit->maxScans) {
        common->err->msg_code = kTooManyScansCode;
        common->err->msg_parm.i[0] = limit->maxScans;
        (*common->err->error_exit)(common);
    }
    if (limit->cancel != nullptr && limit->cancel->load()) {
        ERREXIT(common, JERR_INPUT_EOF);  // the other decoder failed; its reason counts
    }
    if (limit->role != ScanRole::All && info->input_scan_number != limit->assignedScan) {
        // A new scan: its SOS has been read and its decoder set up, not yet run.
        limit->assignedScan = info->input_scan_number;
        if (isColourAcScan(*info) != (limit->role == ScanRole::OnlyColourAc)) {
            info->entropy->decode_mcu = skipScanData;
        }
    }
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
struct FreeDeleter {
    void operator()(void* memory) const { std::free(memory); }
};

std::string lowerFirst(std::string text) {
    if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z') {
        text[0] = static_cast<char>(text[0] - 'A' + 'a');
    }
    return text;
}

std::string describeFailure(const jpeg::ErrorBridge& bridge) {
    const int code = bridge.manager.msg_code;
    const std::string text = bridge.text();
    if (bridge.failedOnWarning || code == JERR_INPUT_EOF) {
        return "file is truncated or corrupt: " + text;
    }
    switch (code) {
        case JERR_NO_SOI:
            return lowerFirst(text);  // "not a JPEG file: starts with 0x.. 0x.."
        case JERR_INPUT_EMPTY:
            return "not a JPEG file: the file is empty";
        case JERR_BAD_PRECISION:
            return "unsupported JPEG: " + text + " (only 8-bit JPEGs can be read)";
        case JERR_SOF_UNSUPPORTED:
            return "unsupported JPEG: " + text +
                   " (lossless and hierarchical JPEGs cannot be read)";
        case JERR_OUT_OF_MEMORY:
            return "out of memory while decoding the JPEG: " + text;
        case kTooManyScansCode:
            return "refused: the JPEG has more than " + std::to_string(kMaxJpegScans) +
                   " scans, far more than any encoder writes (a scan bomb)";
        default:
            return "cannot decode the JPEG: " + text;
    }
}

// The whole-picture coefficient buffer libjpeg keeps for a file of several scans.
std::int64_t coefficientBufferBytes(const jpeg_decompress_struct& info) {
    if (!info.progressive_mode && info.comps_in_scan >= info.num_components) {
        return 0;  // one interleaved scan: decoded row by row
    }
    std::int64_t bytes = 0;
    for (int index = 0; index < info.num_components; ++index) {
        const jpeg_component_info& component = info.comp_info[index];
        const auto roundUp = [](std::int64_t value, std::int64_t multiple) {
            return multiple > 0 ? (value + multiple - 1) / multiple * multiple : value;
        };
        bytes += roundUp(component.width_in_blocks, component.h_samp_factor) *
                 roundUp(component.height_in_blocks, component.v_samp_factor) *
                 static_cast<std::int64_t>(sizeof(JBLOCK));
    }
    return bytes;
}

// An ICC profile fits the RGB pixels we hand out only when it describes RGB data;
// a CMYK or grey profile would make every later reader show wrong colours.
bool isRgbProfile(const JOCTET* profile, unsigned length) {
    return profile && length >= 128 && std::memcmp(profile + 16, "RGB ", 4) == 0;
}

// Adobe writes CMYK inverted (255 means no ink); other writers store ink amounts.
void cmykToRgb(const JSAMPLE* cmyk, std::uint8_t* rgb, JDIMENSION width, bool inverted) {
    for (JDIMENSION x = 0; x < width; ++x, cmyk += 4, rgb += 3) {
        unsigned c = cmyk[0], m = cmyk[1], y = cmyk[2], k = cmyk[3];
        if (!inverted) {
            c = 255 - c, m = 255 - m, y = 255 - y, k = 255 - k;
        }
        rgb[0] = static_cast<std::uint8_t>((c * k + 127) / 255);
        rgb[1] = static_cast<std::uint8_t>((m * k + 127) / 255);
        rgb[2] = static_cast<std::uint8_t>((y * k + 127) / 255);
    }
}

// A second reader of the file already open for the first: it reads through pread at
// its own offset, so the two never move each other's position. At the end of the file
// it does what libjpeg's own file source does: warn (an error here) and end the data.
struct PositionalSource {
    jpeg_source_mgr manager{};  // first: libjpeg's pointer to it points here too
    int fd = -1;
    off_t offset = 0;
    std::vector<JOCTET> buffer = std::vector<JOCTET>(64 * 1024);

    void attach(jpeg_decompress_struct* info) {
        manager.init_source = [](j_decompress_ptr) {};
        manager.fill_input_buffer = fill;
        manager.skip_input_data = skip;
        manager.resync_to_restart = jpeg_resync_to_restart;
        manager.term_source = [](j_decompress_ptr) {};
        info->src = &manager;
    }
    static boolean fill(j_decompress_ptr info) {
        auto* self = reinterpret_cast<PositionalSource*>(info->src);
        ssize_t got = 0;
        do {
            got = ::pread(self->fd, self->buffer.data(), self->buffer.size(), self->offset);
        } while (got < 0 && errno == EINTR);
        if (got < 0) {
            ERREXIT(info, JERR_FILE_READ);
        }
        if (got == 0) {
            WARNMS(info, JWRN_JPEG_EOF);
            self->buffer[0] = 0xFF;
            self->buffer[1] = JPEG_EOI;
            got = 2;
        }
        self->offset += got;
        self->manager.next_input_byte = self->buffer.data();
        self->manager.bytes_in_buffer = static_cast<std::size_t>(got);
        return TRUE;
    }
    static void skip(j_decompress_ptr info, long count) {
        auto* self = reinterpret_cast<PositionalSource*>(info->src);
        while (count > static_cast<long>(self->manager.bytes_in_buffer)) {
            count -= static_cast<long>(self->manager.bytes_in_buffer);
            (void)fill(info);
        }
        if (count > 0) {
            self->manager.next_input_byte += count;
            self->manager.bytes_in_buffer -= static_cast<std::size_t>(count);
        }
    }
};

// Below this many pixels a second decoder costs more than it saves.
constexpr std::int64_t kSplitPixels = 512 * 1024;

// Where a second decoder starts on the lower half of a picture (on a whole iMCU row,
// so that both see the same neighbouring rows for chroma upsampling), or 0 for one
// decoder. Only single-scan files: a decoder that skips rows still decodes their
// Huffman data, which is cheap next to the inverse DCT and colour conversion it saves,
// but a progressive file must be read whole before any row comes out.
JDIMENSION lowerHalfStart(const jpeg_decompress_struct& info) {
    const bool oneScan = !info.progressive_mode && info.comps_in_scan >= info.num_components;
    if (!oneScan || std::int64_t{info.output_width} * info.output_height < kSplitPixels ||
        std::thread::hardware_concurrency() < 2) {
        return 0;
    }
    const auto group = static_cast<JDIMENSION>(info.max_v_samp_factor * DCTSIZE);
    return info.output_height / 2 / group * group;
}

// The second decoder: rows [first, height) of the same file into `target`.
struct LowerHalf {
    jpeg::Decompressor decompressor;
    PositionalSource source;
    ScanLimit scanLimit;
    bool ok = false;

    void decode(int fd, JDIMENSION first, JDIMENSION width, JDIMENSION height, std::uint8_t* target,
                std::ptrdiff_t stride) {
        if (!decompressor.valid()) {
            return;
        }
        jpeg::ErrorBridge& bridge = decompressor.bridge();
        bridge.manager.addon_message_table = kAddonMessages;
        bridge.manager.first_addon_message = kTooManyScansCode;
        bridge.manager.last_addon_message = kTooManyScansCode;
        scanLimit.manager.progress_monitor = checkScanCount;
        source.fd = fd;
        jpeg_decompress_struct* info = decompressor.info();
        constexpr JDIMENSION kRowsPerCall = 16;
        JSAMPROW rows[kRowsPerCall] = {};
        // Nothing with a destructor inside: a libjpeg failure jumps out.
        ok = jpeg::runGuarded(bridge, [&] {
            source.attach(info);
            info->progress = &scanLimit.manager;
            (void)jpeg_read_header(info, TRUE);
            info->out_color_space = JCS_RGB;
            jpeg_start_decompress(info);
            if (info->output_width != width || info->output_height != height ||
                info->output_components != 3) {
                ERREXIT(info, JERR_IMAGE_TOO_BIG);  // not the file the first decoder read
            }
            if (jpeg_skip_scanlines(info, first) != first) {
                ERREXIT(info, JERR_INPUT_EOF);
            }
            while (info->output_scanline < info->output_height) {
                const JDIMENSION y = info->output_scanline;
                const JDIMENSION wanted = std::min(kRowsPerCall, info->output_height - y);
                for (JDIMENSION r = 0; r < wanted; ++r) {
                    rows[r] = target + (y + r) * stride;
                }
                if (jpeg_read_scanlines(info, rows, wanted) == 0) {
                    ERREXIT(info, JERR_INPUT_EOF);
                }
            }
            jpeg_finish_decompress(info);
        });
    }
};

// A large progressive colour picture, Huffman coded: whether a second decoder takes its
// colour AC scans (see ColourScans).
bool splitsColourScans(const jpeg_decompress_struct& info) {
    return info.progressive_mode && !info.arith_code && info.num_components == 3 &&
           info.jpeg_color_space != JCS_CMYK && info.jpeg_color_space != JCS_YCCK &&
           std::int64_t{info.output_width} * info.output_height >= kSplitPixels &&
           std::thread::hardware_concurrency() >= 2;
}

// A progressive file is read whole before its first row comes out, and for a large
// photo most of that time is Huffman decoding, one scan after the other. The colour
// components' AC scans (often 40 % of the bytes) share nothing with the others, so a
// second decoder decodes them, straight into the first decoder's coefficient buffer,
// while the first skips their bytes and decodes the DC and luma scans. Each decoder
// checks every scan it decodes, so damage anywhere still fails the read; the first then
// makes the rows from the whole buffer as it always does. (Its record of which
// coefficient bits have arrived, which decides the smoothing of an incomplete file, is
// kept when a scan starts, so it covers the skipped scans too.)
struct ColourScans {
    jpeg::Decompressor decompressor;
    PositionalSource source;
    ScanLimit scanLimit;
    JBLOCKARRAY rows[MAX_COMPONENTS] = {};  // the first decoder's buffer, every block row
    JDIMENSION rowCount[MAX_COMPONENTS] = {};
    JDIMENSION rowWidth[MAX_COMPONENTS] = {};
    jvirt_barray_ptr own[MAX_COMPONENTS] = {};  // this decoder's arrays, one block each
    int requested = 0;
    // The first decoder's picture, taken before this one starts: the file must agree.
    JDIMENSION imageWidth = 0;
    JDIMENSION imageHeight = 0;
    int components = 0;
    int sampling[MAX_COMPONENTS][2] = {};
    jvirt_barray_ptr (*request)(j_common_ptr, int, boolean, JDIMENSION, JDIMENSION,
                                JDIMENSION) = nullptr;
    bool ok = false;

    static ColourScans& of(j_common_ptr common) {
        return *static_cast<ColourScans*>(reinterpret_cast<ScanLimit*>(common->progress)->owner);
    }
    // This decoder's own coefficient arrays would be a second whole-picture buffer: it
    // gets one block per component instead, and writes into the first decoder's.
    static jvirt_barray_ptr requestTiny(j_common_ptr common, int pool, boolean preZero,
                                        JDIMENSION width, JDIMENSION height, JDIMENSION) {
        ColourScans& self = of(common);
        const int c = self.requested;
        if (c >= MAX_COMPONENTS || width != self.rowWidth[c] || height != self.rowCount[c]) {
            ERREXIT(common, JERR_BAD_VIRTUAL_ACCESS);  // not laid out as the first one's
        }
        self.own[c] = self.request(common, pool, preZero, 1, 1, 1);
        self.requested = c + 1;
        return self.own[c];
    }
    static JBLOCKARRAY accessShared(j_common_ptr common, jvirt_barray_ptr array,
                                    JDIMENSION startRow, JDIMENSION count, boolean) {
        ColourScans& self = of(common);
        for (int c = 0; c < self.requested; ++c) {
            if (array == self.own[c] && startRow + count <= self.rowCount[c]) {
                return self.rows[c] + startRow;
            }
        }
        ERREXIT(common, JERR_BAD_VIRTUAL_ACCESS);
        return nullptr;
    }

    // Takes the first decoder's coefficient buffer (started in buffered-image mode, no
    // scan decoded yet): defines every row now, so that neither decoder's later access
    // zeroes rows the other has written. Runs the first decoder's memory manager: call
    // inside its error bridge.
    void share(jpeg_decompress_struct* first) {
        auto* common = reinterpret_cast<j_common_ptr>(first);
        imageWidth = first->image_width;
        imageHeight = first->image_height;
        components = first->num_components;
        for (int c = 0; c < first->num_components; ++c) {
            const jpeg_component_info& component = first->comp_info[c];
            sampling[c][0] = component.h_samp_factor;
            sampling[c][1] = component.v_samp_factor;
            const auto group = static_cast<JDIMENSION>(component.v_samp_factor);
            rowCount[c] = (component.height_in_blocks + group - 1) / group * group;
            rowWidth[c] = (component.width_in_blocks + component.h_samp_factor - 1) /
                          component.h_samp_factor * component.h_samp_factor;
            jvirt_barray_ptr array = first->coef->coef_arrays[c];
            for (JDIMENSION row = 0; row < rowCount[c]; row += group) {
                (void)(*first->mem->access_virt_barray)(common, array, row, group, TRUE);
            }
            // Every row is in memory (libjpeg-turbo has no backing store), one pointer
            // array from the first row on.
            rows[c] = (*first->mem->access_virt_barray)(common, array, 0, group, TRUE);
        }
    }

    void decode(int fd, const std::atomic<bool>& cancel) {
        if (!decompressor.valid()) {
            return;
        }
        jpeg::ErrorBridge& bridge = decompressor.bridge();
        bridge.manager.addon_message_table = kAddonMessages;
        bridge.manager.first_addon_message = kTooManyScansCode;
        bridge.manager.last_addon_message = kTooManyScansCode;
        scanLimit.manager.progress_monitor = checkScanCount;
        scanLimit.role = ScanRole::OnlyColourAc;
        scanLimit.cancel = &cancel;
        scanLimit.owner = this;
        source.fd = fd;
        jpeg_decompress_struct* info = decompressor.info();
        ok = jpeg::runGuarded(bridge, [&] {
            source.attach(info);
            info->progress = &scanLimit.manager;
            (void)jpeg_read_header(info, TRUE);
            bool same = info->progressive_mode && info->num_components == components &&
                        info->image_width == imageWidth && info->image_height == imageHeight;
            for (int c = 0; same && c < info->num_components; ++c) {
                same = info->comp_info[c].h_samp_factor == sampling[c][0] &&
                       info->comp_info[c].v_samp_factor == sampling[c][1];
            }
            if (!same) {
                ERREXIT(info, JERR_IMAGE_TOO_BIG);  // not the file the first decoder read
            }
            request = info->mem->request_virt_barray;
            info->mem->request_virt_barray = requestTiny;
            info->mem->access_virt_barray = accessShared;
            (void)jpeg_read_coefficients(info);
            jpeg_finish_decompress(info);
        });
    }
};

}  // namespace

ReadResult readJpegFile(const char* path) {
    OpenedFile file = openPictureFile(path);
    if (!file.error.empty()) {
        return failed(file.error);
    }
    if (file.size == 0) {
        return failed("not a JPEG file: the file is empty");
    }
    if (std::string refusal =
            checkJpegStructure(walkJpegFile(file.fd.get(), kMaxJpegScans), kMaxJpegScans);
        !refusal.empty()) {
        return failed(refusal);
    }
    std::unique_ptr<std::FILE, FileCloser> stream(::fdopen(file.fd.get(), "rb"));
    if (!stream) {
        return failed("cannot read the file: out of memory");
    }
    (void)file.fd.release();  // the stream owns it now

    jpeg::Decompressor decompressor;
    if (!decompressor.valid()) {
        return failed("cannot start the JPEG decoder: " + decompressor.bridge().text());
    }
    jpeg::ErrorBridge& bridge = decompressor.bridge();
    bridge.manager.addon_message_table = kAddonMessages;
    bridge.manager.first_addon_message = kTooManyScansCode;
    bridge.manager.last_addon_message = kTooManyScansCode;
    ScanLimit scanLimit;
    scanLimit.manager.progress_monitor = checkScanCount;

    jpeg_decompress_struct* info = decompressor.info();
    std::FILE* input = stream.get();
    if (!jpeg::runGuarded(bridge, [&] {
            jpeg_stdio_src(info, input);
            saveDescriptiveMarkers(info);
            jpeg_save_markers(info, kIccMarker, 0xFFFF);
            info->progress = &scanLimit.manager;
            (void)jpeg_read_header(info, TRUE);
        })) {
        return failed(describeFailure(bridge));
    }

    // A damaged profile is left out, not a reason to refuse the picture.
    JOCTET* iccData = nullptr;
    unsigned iccLength = 0;
    bridge.warningsAreErrors = false;
    const bool iccRead = jpeg::runGuarded(bridge, [&] {
        if (!jpeg_read_icc_profile(info, &iccData, &iccLength)) {
            iccData = nullptr;
            iccLength = 0;
        }
    });
    bridge.warningsAreErrors = true;
    std::unique_ptr<JOCTET, FreeDeleter> iccOwner(iccData);
    std::span<const std::uint8_t> icc;
    if (iccRead && isRgbProfile(iccData, iccLength)) {
        icc = {iccData, iccLength};
    }

    const UprightExif exif = rewriteExifUpright(exifPayload(*info));
    const int orientation = exif.orientation;
    const std::vector<std::uint8_t> markers = packMarkers(carriedMarkers(*info));

    const bool cmyk = info->jpeg_color_space == JCS_CMYK || info->jpeg_color_space == JCS_YCCK;
    const bool adobeInverted = info->saw_Adobe_marker;
    if (!jpeg::runGuarded(bridge, [&] {
            info->out_color_space = cmyk ? JCS_CMYK : JCS_RGB;
            jpeg_calc_output_dimensions(info);
        })) {
        return failed(describeFailure(bridge));
    }
    const int expectedComponents = cmyk ? 4 : 3;
    if (info->out_color_components != expectedComponents) {
        return failed("unsupported JPEG: " + std::to_string(info->num_components) +
                      " colour components");
    }

    // Refuse before allocating: the output buffer, an upright copy and libjpeg's own
    // coefficient buffer must all fit.
    const std::int64_t width = info->output_width;
    const std::int64_t height = info->output_height;
    std::int64_t extraBytes = coefficientBufferBytes(*info);
    if (orientation != 1) {
        extraBytes += width * height * kBytesPerPixel;
    }
    if (std::string refusal = checkPictureSize(width, height, extraBytes); !refusal.empty()) {
        return failed(refusal);
    }

    const bool turned = swapsAxes(orientation);
    const int finalWidth = static_cast<int>(turned ? height : width);
    const int finalHeight = static_cast<int>(turned ? width : height);
    RgbBufferWriter writer(finalWidth, finalHeight, exif.block, icc, finalWidth, finalHeight,
                           markers);
    if (!writer.valid()) {
        return failed(writer.error());
    }

    std::uint8_t* target = writer.pixels();
    std::ptrdiff_t targetStride = writer.stride();
    std::unique_ptr<std::uint8_t[]> stored;
    if (orientation != 1) {
        stored.reset(new (std::nothrow)
                         std::uint8_t[static_cast<std::size_t>(width * height * kBytesPerPixel)]);
        if (!stored) {
            return failed("out of memory: cannot turn a " + std::to_string(width) + " x " +
                          std::to_string(height) + " picture upright");
        }
        target = stored.get();
        targetStride = static_cast<std::ptrdiff_t>(width) * kBytesPerPixel;
    }
    // CMYK comes through a small buffer of rows (converted to RGB below); RGB goes
    // straight into the picture, several rows a call so that libjpeg hands over whole
    // row groups without buffering them itself.
    constexpr JDIMENSION kRowsPerCall = 16;
    std::vector<JSAMPLE> cmykRows(cmyk ? static_cast<std::size_t>(width) * 4 * kRowsPerCall : 0);
    JSAMPROW rows[kRowsPerCall] = {};

    // A large single-scan RGB picture: a second decoder on the second core does the
    // lower half at the same time. A large progressive one: a second decoder does the
    // colour scans.
    JDIMENSION stopRow = info->output_height;
    LowerHalf lower;
    ColourScans colour;
    std::atomic<bool> cancel{false};
    std::thread helper;
    if (const JDIMENSION split = cmyk ? 0 : lowerHalfStart(*info); split > 0) {
        try {
            helper = std::thread([&, split] {
                lower.decode(::fileno(input), split, static_cast<JDIMENSION>(width),
                             static_cast<JDIMENSION>(height), target, targetStride);
            });
            stopRow = split;
        } catch (const std::system_error&) {
            // No thread to be had: this decoder reads every row.
        }
    }
    struct Joiner {
        std::thread& thread;
        std::atomic<bool>& cancel;
        ~Joiner() {
            if (thread.joinable()) {
                cancel = true;  // leaving early: the helper's work is not wanted
                thread.join();
            }
        }
    } joiner{helper, cancel};

    if (!cmyk && splitsColourScans(*info)) {
        // The whole input first, the colour scans on the helper; then the rows.
        if (!jpeg::runGuarded(bridge, [&] {
                info->buffered_image = TRUE;
                jpeg_start_decompress(info);
                colour.share(info);
            })) {
            return failed(describeFailure(bridge));
        }
        try {
            helper = std::thread([&] { colour.decode(::fileno(input), cancel); });
            scanLimit.role = ScanRole::AllButColourAc;
        } catch (const std::system_error&) {
            // No thread to be had: this decoder decodes every scan.
        }
        if (!jpeg::runGuarded(bridge, [&] {
                int status = JPEG_SUSPENDED;
                while (status != JPEG_REACHED_EOI) {
                    checkScanCount(reinterpret_cast<j_common_ptr>(info));
                    status = jpeg_consume_input(info);
                    if (status == JPEG_SUSPENDED) {
                        ERREXIT(info, JERR_INPUT_EOF);  // a suspending source; never ours
                    }
                }
            })) {
            return failed(describeFailure(bridge));
        }
        if (helper.joinable()) {
            helper.join();
            if (!colour.ok) {
                return failed(describeFailure(colour.decompressor.bridge()));
            }
        }
    }

    // Nothing with a destructor lives inside the guarded step: a failure jumps out.
    if (!jpeg::runGuarded(bridge, [&] {
            if (info->buffered_image) {
                jpeg_start_output(info, info->input_scan_number);
            } else {
                jpeg_start_decompress(info);
            }
            while (info->output_scanline < stopRow) {
                const JDIMENSION y = info->output_scanline;
                const JDIMENSION wanted = std::min(kRowsPerCall, stopRow - y);
                for (JDIMENSION r = 0; r < wanted; ++r) {
                    rows[r] = cmyk ? cmykRows.data() + static_cast<std::size_t>(r) * width * 4
                                   : target + (y + r) * targetStride;
                }
                const JDIMENSION got = jpeg_read_scanlines(info, rows, wanted);
                if (got == 0) {
                    ERREXIT(info, JERR_INPUT_EOF);  // a suspending source; never ours
                }
                for (JDIMENSION r = 0; cmyk && r < got; ++r) {
                    cmykToRgb(rows[r], target + (y + r) * targetStride, info->output_width,
                              adobeInverted);
                }
            }
            if (info->buffered_image) {
                jpeg_finish_output(info);
            }
            if (stopRow == info->output_height) {
                jpeg_finish_decompress(info);  // the lower half's decoder reads to the end
            }
        })) {
        return failed(describeFailure(bridge));
    }
    if (helper.joinable()) {
        helper.join();
        if (!lower.ok) {
            return failed(describeFailure(lower.decompressor.bridge()));
        }
    }

    if (orientation != 1) {
        copyUpright(stored.get(), static_cast<int>(width), static_cast<int>(height),
                    static_cast<std::ptrdiff_t>(width) * kBytesPerPixel, orientation,
                    writer.pixels(), writer.stride());
    }

    return succeeded(writer.release(), finalWidth, finalHeight);
}

}  // namespace vellora::imaging
