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
#include <array>
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

#include <jerror.h>

#include "cmyk.h"
#include "exif_metadata.h"
#include "file_io.h"
#include "jpeg_colour_scans.h"
#include "jpeg_markers.h"
#include "libjpeg_bridge.h"
#include "orientation.h"
#include "picture_checks.h"
#include "picture_readers.h"
#include "pixel_density.h"
#include "rgb_buffer.h"
#include "xmp_packets.h"

namespace vellora::imaging {
namespace {

// Our own libjpeg message, reported through the same error path as libjpeg's.
constexpr int kTooManyScansCode = 1000;
const char* const kAddonMessages[] = {"Too many scans: more than %d", nullptr};

struct ScanLimit {
    jpeg_progress_mgr manager{};  // first, so libjpeg's pointer is ours too
    int maxScans = kMaxJpegScans;
};

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
    if (std::string kind = bridge.unsupportedKind(); !kind.empty()) {
        return kind;
    }
    switch (code) {
        case JERR_NO_SOI:
            return lowerFirst(text);  // "not a JPEG file: starts with 0x.. 0x.."
        case JERR_INPUT_EMPTY:
            return "not a JPEG file: the file is empty";
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

// An ICC profile fits the pixels we hand out when it describes RGB data, or grey data
// from a grey file (its pixels come out grey, and are written grey again with it); a
// CMYK profile would make every later reader show wrong colours.
bool fitsPixels(const JOCTET* profile, unsigned length, bool greyFile) {
    if (!profile || length < 128) {
        return false;
    }
    return std::memcmp(profile + 16, "RGB ", 4) == 0 ||
           (greyFile && std::memcmp(profile + 16, "GRAY", 4) == 0);
}

void cmykRowToRgb(const JSAMPLE* cmyk, std::uint8_t* rgb, JDIMENSION width, bool inverted) {
    for (JDIMENSION x = 0; x < width; ++x, cmyk += 4, rgb += 3) {
        const std::array<std::uint8_t, 3> pixel =
            cmykToRgb(cmyk[0], cmyk[1], cmyk[2], cmyk[3], inverted);
        rgb[0] = pixel[0], rgb[1] = pixel[1], rgb[2] = pixel[2];
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

}  // namespace

ReadResult readJpegFile(const char* path) {
    OpenedFile file = openPictureFile(path);
    if (!file.error.empty()) {
        return failed(file.error);
    }
    if (file.size == 0) {
        return failed("not a JPEG file: the file is empty");
    }
    const JpegStructure structure = walkJpegFile(file.fd.get(), kMaxJpegScans);
    if (std::string refusal = checkJpegStructure(structure, kMaxJpegScans); !refusal.empty()) {
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
    if (iccRead && fitsPixels(iccData, iccLength, info->jpeg_color_space == JCS_GRAYSCALE)) {
        icc = {iccData, iccLength};
    }

    const UprightExif exif =
        rewriteExifUpright(exifPayload(*info), static_cast<int>(info->image_width),
                           static_cast<int>(info->image_height));
    const int orientation = exif.orientation;
    std::vector<CarriedMarker> carried = carriedMarkers(*info);
    dropStalePhotoshopResources(carried, swapsAxes(orientation));
    dropXmpProperties(carried, kXmpThumbnails);
    if (orientation != 1) {
        editXmp(carried, [&orientation](std::string& text) {
            const bool upright = setXmpUpright(text);
            return (swapsAxes(orientation) && swapXmpResolution(text)) || upright;
        });
    }
    const std::vector<std::uint8_t> markers = packMarkers(carried);

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
    const PixelDensity density =
        info->saw_JFIF_marker ? jfifDensity(info->density_unit, info->X_density, info->Y_density)
                              : PixelDensity{};
    writer.setDensity(turned ? turnedQuarter(density) : density);

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
    // colour scans (jpeg_colour_scans.h), then this one makes every row.
    JDIMENSION stopRow = info->output_height;
    LowerHalf lower;
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
        ~Joiner() {
            if (thread.joinable()) {
                thread.join();
            }
        }
    } joiner{helper};

    if (!cmyk && std::thread::hardware_concurrency() >= 2 &&
        sharesColourScans(*info, kSplitPixels, structure.colourAcBytes)) {
        if (!jpeg::runGuarded(bridge, [&] {
                info->buffered_image = TRUE;
                jpeg_start_decompress(info);
            })) {
            return failed(describeFailure(bridge));
        }
        PositionalSource source;
        source.fd = ::fileno(input);
        ColourScanDecoder colour;
        switch (readAllScans(
            decompressor, colour, [&](j_decompress_ptr second) { source.attach(second); },
            checkScanCount)) {
            case SharedRead::FirstFailed:
                return failed(describeFailure(bridge));
            case SharedRead::SecondFailed:
                return failed(describeFailure(colour.bridge()));
            case SharedRead::Done:
                break;
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
                    cmykRowToRgb(rows[r], target + (y + r) * targetStride, info->output_width,
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
