// The tuned encoder behind the save entry's "best" flag.
//
// libjpeg-turbo stays our bit-stream writer (Huffman optimisation, progressive scans,
// markers), but we do everything before entropy coding ourselves: colour conversion,
// chroma downsampling, the DCT and, above all, quantisation. We then hand the quantised
// coefficients to jpeg_write_coefficients. Owning the quantiser is what lets us spend
// bits where the eye sees them (see block_quantiser.h) while the file stays a plain
// JPEG that every decoder reads.
//
// Memory: the picture is converted and transformed one MCU row at a time; only the
// quantised coefficients of the whole picture are kept (libjpeg needs them all for
// optimised progressive coding, exactly as its own progressive encoder does).
#include <sys/mman.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include <jpeglib.h>
// After jpeglib.h, which it builds on: the coefficient controller's row step (ScanShare).
#include <jerror.h>
#include <jpegint.h>

#include "imaging/encoder/block_quantiser.h"
#include "imaging/encoder/deringing.h"
#include "imaging/encoder/encoder_settings.h"
#include "imaging/encoder/forward_dct.h"
#include "imaging/encoder/quant_tables.h"
#include "imaging/encoder/scan_script.h"
#include "imaging/jpeg_encoder.h"
#include "imaging/libjpeg_bridge.h"

namespace vellora::imaging {
namespace encoder {
namespace {

// Sizes of the picture in MCUs and of each component's coefficient array.
struct Geometry {
    int components = 3;
    int hSamp[3] = {1, 1, 1};
    int vSamp[3] = {1, 1, 1};
    int mcuWidth = 8;   // pixels
    int mcuHeight = 8;  // pixels
    JDIMENSION mcusWide = 0;
    JDIMENSION mcusHigh = 0;
    JDIMENSION blocksWide[3] = {};  // coefficient array width: whole MCUs
    JDIMENSION blocksHigh[3] = {};

    // `grey`: one component whatever the picture's channels (see writesGrey).
    Geometry(const PixelView& picture, bool subsample, bool grey) {
        components = grey ? 1 : picture.channels;
        if (components == 3 && subsample) {
            hSamp[0] = vSamp[0] = 2;
        }
        mcuWidth = 8 * hSamp[0];
        mcuHeight = 8 * vSamp[0];
        mcusWide = static_cast<JDIMENSION>((picture.width + mcuWidth - 1) / mcuWidth);
        mcusHigh = static_cast<JDIMENSION>((picture.height + mcuHeight - 1) / mcuHeight);
        for (int c = 0; c < components; ++c) {
            blocksWide[c] = mcusWide * static_cast<JDIMENSION>(hSamp[c]);
            blocksHigh[c] = mcusHigh * static_cast<JDIMENSION>(vSamp[c]);
        }
    }
    [[nodiscard]] bool subsampled() const { return hSamp[0] == 2; }
    [[nodiscard]] int paddedWidth() const { return static_cast<int>(mcusWide) * mcuWidth; }
};

// Float planes for one MCU row: full-resolution Y (and Cb, Cr), level-shifted by -128,
// edge pixels replicated into the padding; plus the downsampled chroma when
// subsampling. When subsampling, the full-resolution planes carry kHalo extra rows
// above and below (one extra half-resolution row each side) for the chroma filter.
// Allocated once, before any libjpeg call (a libjpeg error jumps over destructors, so
// nothing inside the guarded steps owns memory).
constexpr int kHalo = 2;

struct StripBuffers {
    int stride = 0;  // floats per full-resolution row
    int halo = 0;    // extra full-resolution rows above and below the MCU row
    std::vector<float> planes[3];
    int chromaStride = 0;
    std::vector<float> wide[2];    // downsampled Cb, Cr with one halo row each side
    std::vector<float> chroma[2];  // the 8 rows handed to the DCT

    explicit StripBuffers(const Geometry& g) {
        stride = g.paddedWidth();
        halo = g.subsampled() ? kHalo : 0;
        for (int c = 0; c < g.components; ++c) {
            planes[c].assign(static_cast<std::size_t>(stride) * (g.mcuHeight + 2 * halo), 0.0f);
        }
        if (g.subsampled()) {
            chromaStride = stride / 2;
            for (int c = 0; c < 2; ++c) {
                wide[c].assign(static_cast<std::size_t>(chromaStride) * (8 + 2), 0.0f);
                chroma[c].assign(static_cast<std::size_t>(chromaStride) * 8, 0.0f);
            }
        }
    }
};

// Downsamples one chroma plane 2x2. The 2x2 mean is what a decoder that replicates
// samples wants, but libjpeg-turbo (and so most viewers) upsamples with a triangle
// filter, which blurs: seen from the half-resolution grid it reconstructs roughly
// [1/8 3/4 1/8] of the samples in each direction. `sharpen` pre-compensates part of
// that blur ([-s/8, 1 + s/4, -s/8] per direction), so edges between colours come back
// closer to the original.
constexpr float kChromaLimit = 127.5f;  // a centred colour sample's largest size

void downsampleChroma(const float* full, int fullStride, int halfRows, float* wide, float* out,
                      int halfStride, float sharpen) {
    for (int y = 0; y < halfRows; ++y) {
        const float* top = full + static_cast<std::size_t>(2 * y) * fullStride;
        const float* bottom = top + fullStride;
        float* row = wide + static_cast<std::size_t>(y) * halfStride;
        for (int x = 0; x < halfStride; ++x) {
            row[x] = 0.25f * (top[2 * x] + top[2 * x + 1] + bottom[2 * x] + bottom[2 * x + 1]);
        }
        if (sharpen > 0.0f) {
            float left = row[0];
            for (int x = 0; x < halfStride; ++x) {
                const float centre = row[x];
                const float right = row[std::min(x + 1, halfStride - 1)];
                row[x] = centre + sharpen * (0.25f * centre - 0.125f * (left + right));
                left = centre;
            }
        }
    }
    // Rows 1..halfRows-2 of `wide` are the output; rows 0 and halfRows-1 are halo.
    for (int y = 1; y < halfRows - 1; ++y) {
        const float* above = wide + static_cast<std::size_t>(y - 1) * halfStride;
        const float* centre = above + halfStride;
        const float* below = centre + halfStride;
        float* row = out + static_cast<std::size_t>(y - 1) * halfStride;
        for (int x = 0; x < halfStride; ++x) {
            // Kept within the samples' range: at the edge of a saturated area the
            // overshoot would lift a block's mean past what its DC can hold (+-1023 at
            // DC step 1, from quality 97), and the clamped DC shifted the colour of the
            // whole block, flat inside included. The decoder clips there anyway.
            row[x] = std::clamp(
                centre[x] + sharpen * (0.25f * centre[x] - 0.125f * (above[x] + below[x])),
                -kChromaLimit, kChromaLimit);
        }
    }
}

// One row of RGB pixels to JFIF YCbCr (luma centred on 0). Restrict: the source bytes
// could alias the planes for all the compiler knows, which keeps it from vectorising.
[[gnu::always_inline]] inline void convertRgbRowBody(const std::uint8_t* __restrict source,
                                                     int width, float* __restrict luma,
                                                     float* __restrict cb, float* __restrict cr) {
    for (int x = 0; x < width; ++x) {
        const float r = source[3 * x];
        const float g = source[3 * x + 1];
        const float b = source[3 * x + 2];
        luma[x] = 0.299f * r + 0.587f * g + 0.114f * b - 128.0f;
        cb[x] = -0.168736f * r - 0.331264f * g + 0.5f * b;
        cr[x] = 0.5f * r - 0.418688f * g - 0.081312f * b;
    }
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
// The three-byte pixels defeat the baseline (SSE2) vectoriser, which leaves the
// conversion scalar; with AVX2 the same loop runs about three times as fast. Same
// operations in the same order (AVX2 brings no fused multiply-add), so the same floats
// on every machine.
[[gnu::target("avx2")]] void convertRgbRowAvx2(const std::uint8_t* source, int width, float* luma,
                                               float* cb, float* cr) {
    convertRgbRowBody(source, width, luma, cb, cr);
}

void convertRgbRow(const std::uint8_t* source, int width, float* luma, float* cb, float* cr) {
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx2) {
        convertRgbRowAvx2(source, width, luma, cb, cr);
    } else {
        convertRgbRowBody(source, width, luma, cb, cr);
    }
}
#else
void convertRgbRow(const std::uint8_t* source, int width, float* luma, float* cb, float* cr) {
    convertRgbRowBody(source, width, luma, cb, cr);
}
#endif

// Converts the picture rows of MCU row `mcuRow` into the strip planes (JFIF YCbCr,
// full float precision: no rounding to 8 bits between conversion and DCT).
void convertStrip(const PixelView& picture, const Geometry& g, int mcuRow, float sharpen,
                  StripBuffers& strip) {
    const int width = picture.width;
    const int padded = strip.stride;
    for (int y = -strip.halo; y < g.mcuHeight + strip.halo; ++y) {
        const int sourceY = std::clamp(mcuRow * g.mcuHeight + y, 0, picture.height - 1);
        const std::uint8_t* __restrict source = picture.pixels + sourceY * picture.stride;
        const std::size_t offset = static_cast<std::size_t>(y + strip.halo) * padded;
        if (g.components == 1) {
            // Grey pixels, or grey written from RGB ones: any channel is the grey level.
            const int step = picture.channels;
            float* grey = strip.planes[0].data() + offset;
            for (int x = 0; x < width; ++x) {
                grey[x] = static_cast<float>(source[x * step]) - 128.0f;
            }
            std::fill(grey + width, grey + padded, grey[width - 1]);
            continue;
        }
        float* lumaRow = strip.planes[0].data() + offset;
        float* cbRow = strip.planes[1].data() + offset;
        float* crRow = strip.planes[2].data() + offset;
        convertRgbRow(source, width, lumaRow, cbRow, crRow);
        std::fill(lumaRow + width, lumaRow + padded, lumaRow[width - 1]);
        std::fill(cbRow + width, cbRow + padded, cbRow[width - 1]);
        std::fill(crRow + width, crRow + padded, crRow[width - 1]);
    }
    if (g.subsampled()) {
        for (int c = 0; c < 2; ++c) {
            downsampleChroma(strip.planes[c + 1].data(), padded, 8 + 2, strip.wide[c].data(),
                             strip.chroma[c].data(), strip.chromaStride, sharpen);
        }
    }
}

// Whether every pixel of an RGB picture is grey. Stops at the first coloured pixel, so a
// colour photo costs next to nothing; a grey one costs one read of the pixels.
bool allGrey(const PixelView& picture) {
    for (int y = 0; y < picture.height; ++y) {
        const std::uint8_t* row = picture.pixels + y * picture.stride;
        unsigned differs = 0;
        for (int x = 0; x < 3 * picture.width; x += 3) {
            differs |= static_cast<unsigned>(row[x] ^ row[x + 1]) | (row[x + 1] ^ row[x + 2]);
        }
        if (differs != 0) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool writesGrey(const PixelView& picture, const JpegMetadata& metadata) {
    if (picture.channels != 3) {
        return false;
    }
    // A profile must match the file's components: only a grey one goes along.
    if (!metadata.icc.empty() && !isGreyProfile(metadata.icc)) {
        return false;
    }
    return allGrey(picture);
}

namespace {

// Everything the transform needs, gathered so the steps themselves own nothing.
struct Job {
    const PixelView* picture = nullptr;
    const Settings* settings = nullptr;
    const Geometry* geometry = nullptr;
    const BlockQuantiser* quantisers[3] = {};
    const Deringer* deringer = nullptr;  // luma (or grey) only; null: off
    JBLOCKARRAY blocks[3] = {};          // every block row of each component's coefficient array
};

// Transforms and quantises one MCU row of every component into the coefficient arrays.
void encodeMcuRow(const Job& job, StripBuffers& strip, int mcuRow) {
    const Geometry& g = *job.geometry;
    convertStrip(*job.picture, g, mcuRow, job.settings->chromaSharpening, strip);
    float coefficients[64];
    for (int c = 0; c < g.components; ++c) {
        const bool fromHalf = g.subsampled() && c > 0;
        const float* plane =
            fromHalf ? strip.chroma[c - 1].data()
                     : strip.planes[c].data() + static_cast<std::size_t>(strip.halo) * strip.stride;
        const int stride = fromHalf ? strip.chromaStride : strip.stride;
        JBLOCKARRAY rows = job.blocks[c] + static_cast<std::ptrdiff_t>(mcuRow) * g.vSamp[c];
        for (int by = 0; by < g.vSamp[c]; ++by) {
            const float* blockRow = plane + static_cast<std::ptrdiff_t>(by) * 8 * stride;
            for (JDIMENSION bx = 0; bx < g.blocksWide[c]; ++bx) {
                const float* samples = blockRow + bx * 8;
                if (c == 0 && job.deringer && Deringer::hasClippedEdge(samples, stride)) {
                    float block[64];
                    for (int y = 0; y < 8; ++y) {
                        std::copy_n(samples + static_cast<std::ptrdiff_t>(y) * stride, 8,
                                    block + y * 8);
                    }
                    job.deringer->quantise(block, *job.quantisers[c], rows[by][bx]);
                } else {
                    forwardDct8x8(samples, stride, coefficients);
                    job.quantisers[c]->quantise(coefficients, rows[by][bx]);
                }
            }
        }
    }
}

// libjpeg-turbo allocates each coefficient array as one block and hands it over
// untouched. Offered for transparent huge pages before the first write, it is mapped in
// a few dozen faults instead of one per 4 KiB page (over ten thousand for a
// 15-megapixel picture). Only advice: nothing changes where huge pages are off.
void adviseHugePages(JBLOCKARRAY rows, JDIMENSION count, JDIMENSION blocksWide) {
    constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;
    const auto first = reinterpret_cast<std::uintptr_t>(rows[0]);
    const auto end = reinterpret_cast<std::uintptr_t>(rows[count - 1] + blocksWide);
    if (end < first || end - first != std::uintptr_t{count} * blocksWide * sizeof(JBLOCK)) {
        return;  // not one contiguous block
    }
    const std::uintptr_t begin = (first + kHuge - 1) & ~(kHuge - 1);
    const std::uintptr_t stop = end & ~(kHuge - 1);
    if (stop > begin) {
        (void)::madvise(reinterpret_cast<void*>(begin), stop - begin, MADV_HUGEPAGE);
    }
}

// Below this many pixels a second thread costs more than it saves.
constexpr std::int64_t kParallelPixels = 256 * 1024;

// How many bands of MCU rows to transform at once: one per core, at most a few, and
// only for pictures large enough to pay for the threads.
int bandCount(const PixelView& picture, const Geometry& g, int threads) {
    if (threads > 0) {
        return static_cast<int>(std::min<unsigned>(static_cast<unsigned>(threads), g.mcusHigh));
    }
    if (static_cast<std::int64_t>(picture.width) * picture.height < kParallelPixels) {
        return 1;
    }
    const unsigned cores = std::thread::hardware_concurrency();
    return static_cast<int>(std::clamp<unsigned>(cores, 1u, std::min(4u, g.mcusHigh)));
}

// Colour conversion, DCT and quantisation of every MCU row. Each band of rows works on
// its own strip buffers and writes its own block rows, and the rows are independent
// (the chroma filter reads picture rows, not neighbouring results), so the bands need
// no locking and the result does not depend on how many there are. Pure computation:
// no libjpeg calls, so nothing here can jump.
void transformAll(const Job& job, std::vector<StripBuffers>& strips) {
    const int rows = static_cast<int>(job.geometry->mcusHigh);
    const int bands = static_cast<int>(strips.size());
    auto band = [&](int index) {
        const int first = rows * index / bands;
        const int last = rows * (index + 1) / bands;
        for (int row = first; row < last; ++row) {
            encodeMcuRow(job, strips[static_cast<std::size_t>(index)], row);
        }
    };
    std::vector<std::thread> helpers;
    int started = 1;
    try {
        helpers.reserve(static_cast<std::size_t>(bands - 1));
        for (; started < bands; ++started) {
            helpers.emplace_back(band, started);
        }
    } catch (const std::exception&) {
        // No thread to be had: this thread does the remaining bands itself.
    }
    band(0);
    for (int index = started; index < bands; ++index) {
        band(index);
    }
    for (std::thread& helper : helpers) {
        helper.join();
    }
}

// Two compressors share the entropy coding of a picture: each runs the whole scan
// layout, but codes MCU rows only in the scans it owns (in the others' passes its row
// step does nothing, so they cost next to nothing), and notes where its own scans
// begin and end in its output. The first one stops as soon as its scans are written.
// Every progressive scan is coded on its own (its own optimised Huffman tables, its own
// bit buffer, padded to a whole byte), so its bytes do not depend on what the other
// scans held; the file is the first compressor's output up to its last scan followed
// by the second's from its first scan on, byte for byte what one compressor writes.
constexpr int kStopCode = 1001;  // not a libjpeg message: the first compressor is done

struct ScanShare {
    jpeg_progress_mgr progress{};  // first: libjpeg's progress pointer points here too
    const jpeg::MemoryDestination* output = nullptr;  // its fill level tells scans apart
    int firstScan = 0;  // the scans this compressor owns: [firstScan, endScan)
    int endScan = 0;
    bool stopAtEnd = false;
    int scan = -1;  // the scan being coded
    std::size_t scanStart = 0;
    std::size_t scanEnd = 0;
    jvirt_barray_ptr arrays[3] = {};
    JBLOCKARRAY rows[3] = {};
    boolean (*codeRow)(j_compress_ptr, JSAMPIMAGE) = nullptr;  // libjpeg's own row step
};

boolean skipRow(j_compress_ptr, JSAMPIMAGE) {
    return TRUE;
}

// Called before every MCU row of every pass. With optimised tables each scan takes two
// passes, statistics then output (the shared layouts have no DC refinement scan, the
// one kind libjpeg codes in a single pass), and the output of the scan before is
// complete when the statistics pass of the next one begins.
void followScans(j_common_ptr common) {
    auto* share = reinterpret_cast<ScanShare*>(common->progress);
    const int scan = share->progress.completed_passes / 2;
    if (scan == share->scan) {
        return;
    }
    share->scan = scan;
    auto* info = reinterpret_cast<j_compress_ptr>(common);
    if (!share->codeRow) {
        share->codeRow = info->coef->compress_data;
    }
    const bool owned = scan >= share->firstScan && scan < share->endScan;
    info->coef->compress_data = owned ? share->codeRow : skipRow;
    if (scan == share->firstScan) {
        share->scanStart = share->output->size();
    }
    if (scan == share->endScan) {
        share->scanEnd = share->output->size();
        if (share->stopAtEnd) {
            common->err->msg_code = kStopCode;
            (*common->err->error_exit)(common);
        }
    }
}

// Both compressors read the first one's coefficient arrays (the second has none of
// its own): the transformed rows, straight from the row pointers taken at the start.
JBLOCKARRAY shareRows(j_common_ptr common, jvirt_barray_ptr array, JDIMENSION startRow, JDIMENSION,
                      boolean) {
    auto* share = reinterpret_cast<ScanShare*>(common->progress);
    for (int c = 0; c < 3; ++c) {
        if (array != nullptr && array == share->arrays[c]) {
            return share->rows[c] + startRow;
        }
    }
    ERREXIT(common, JERR_BAD_VIRTUAL_ACCESS);
    return nullptr;
}

// Everything but the coefficient arrays, the same for both compressors.
void configure(jpeg_compress_struct* info, const PixelView& picture, const Geometry& geometry,
               const QuantTable& lumaTable, const QuantTable& chromaTable, ScanLayout scans) {
    info->image_width = static_cast<JDIMENSION>(picture.width);
    info->image_height = static_cast<JDIMENSION>(picture.height);
    info->input_components = geometry.components;
    info->in_color_space = geometry.components == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(info);
    unsigned int steps[64];
    for (int table = 0; table < (geometry.components == 3 ? 2 : 1); ++table) {
        const QuantTable& source = table == 0 ? lumaTable : chromaTable;
        std::copy(source.begin(), source.end(), steps);
        jpeg_add_quant_table(info, table, steps, 100, TRUE);
    }
    for (int c = 0; c < geometry.components; ++c) {
        jpeg_component_info* component = &info->comp_info[c];
        component->h_samp_factor = geometry.hSamp[c];
        component->v_samp_factor = geometry.vSamp[c];
        component->quant_tbl_no = c == 0 ? 0 : 1;
    }
    info->optimize_coding = TRUE;
    applyScanLayout(info, scans);
}

// Entropy codes the transformed picture with two compressors on two threads (see
// ScanShare). `first` is set up, its arrays realised and filled; scans from `split`
// on go to a helper thread. Without a thread to be had, `first` codes everything.
EncodedJpeg writeShared(jpeg::Compressor& first, jpeg::MemoryDestination& firstOutput,
                        jvirt_barray_ptr* arrays, const Job& job, const PixelView& picture,
                        const QuantTable& lumaTable, const QuantTable& chromaTable,
                        const JpegMetadata& metadata, int split) {
    const Geometry& geometry = *job.geometry;
    jpeg_compress_struct* info = first.info();
    const int scans = info->num_scans;

    ScanShare firstShare;
    ScanShare secondShare;
    for (ScanShare* share : {&firstShare, &secondShare}) {
        share->progress.progress_monitor = followScans;
        std::copy(arrays, arrays + 3, share->arrays);
        std::copy(job.blocks, job.blocks + 3, share->rows);
    }
    firstShare.output = &firstOutput;
    firstShare.endScan = scans;

    jpeg::Compressor second;
    jpeg::MemoryDestination secondOutput;
    secondShare.output = &secondOutput;
    secondShare.firstScan = split;
    secondShare.endScan = scans;
    bool secondOk = false;
    std::thread helper;
    if (second.valid()) {
        try {
            helper = std::thread([&] {
                jpeg_compress_struct* other = second.info();
                secondOk = jpeg::runGuarded(second.bridge(), [&] {
                    secondOutput.attach(other);
                    configure(other, picture, geometry, lumaTable, chromaTable,
                              job.settings->scans);
                    other->progress = &secondShare.progress;
                    other->mem->access_virt_barray = shareRows;
                    jpeg_write_coefficients(other, arrays);
                    jpeg_finish_compress(other);
                });
            });
            firstShare.endScan = split;
            firstShare.stopAtEnd = true;
        } catch (const std::system_error&) {
            // No thread to be had: the first compressor codes every scan.
        }
    }
    const bool firstOk = jpeg::runGuarded(first.bridge(), [&] {
        info->progress = &firstShare.progress;
        info->mem->access_virt_barray = shareRows;
        jpeg_write_coefficients(info, arrays);
        writeMetadataMarkers(info, metadata);
        jpeg_finish_compress(info);
    });
    if (helper.joinable()) {
        helper.join();
    }

    EncodedJpeg result;
    if (!firstShare.stopAtEnd) {
        if (!firstOk) {
            result.error = "JPEG encoding failed: " + first.bridge().text();
            return result;
        }
        result.bytes.assign(firstOutput.data(), firstOutput.data() + firstOutput.size());
        return result;
    }
    const bool firstDone = !firstOk && first.bridge().manager.msg_code == kStopCode;
    if (!firstDone || !secondOk) {
        result.error =
            "JPEG encoding failed: " + (firstDone ? second.bridge().text() : first.bridge().text());
        return result;
    }
    result.bytes.reserve(firstShare.scanEnd + secondOutput.size() - secondShare.scanStart);
    result.bytes.assign(firstOutput.data(), firstOutput.data() + firstShare.scanEnd);
    result.bytes.insert(result.bytes.end(), secondOutput.data() + secondShare.scanStart,
                        secondOutput.data() + secondOutput.size());
    return result;
}

}  // namespace

float calibratedTableQuality(int quality) {
    struct Anchor {
        float user;
        float table;
    };
    // Measured with bench/encoder/calibrate.py --share 0.75 on the full benchmark corpus
    // (24 Kodak pictures, 11 photos at 1280x800; table qualities every 1 or 2 from 62 to 95,
    // since single pictures are far from linear between wider grid points): the lowest
    // table quality at which
    //  - our mean SSIM and mean butteraugli beat cjpeg's at the user's quality in both
    //    corpora with a 6 % margin on 1 - SSIM and on butteraugli, and
    //  - at least three pictures in four of each corpus are, each on its own, at least
    //    as good as cjpeg's by both measures,
    // rounded up to a tenth. Means alone let a few pictures with large gains carry the
    // rest: with means only, at 80 just 1 photo in 11 was as good as cjpeg's by both.
    // Files at these points are 1 to 15 % smaller than cjpeg's. Keep strictly
    // increasing.
    // 55 and 65 were added after a run at the qualities between the first anchors:
    // interpolated, 65 left only 6 of the 11 photos as good as cjpeg's on their own.
    // 90 and 95 were raised after a check on 15 photos the benchmark never used
    // (bench/encoder/extra-photos.sh): at 89.7 their mean butteraugli was 2 % worse
    // than cjpeg's at 90, at 93.8 only 0.8 % better. Smooth colour gradients (dusk
    // skies) need the chroma DC step of 3 that the table reaches at 90.0: that step
    // alone, at 89.7, took two of them from 2.38 and 2.18 to 1.89 and 1.76 for 0.5 %
    // more bytes. 94.2 gives 5 % on butteraugli there. Those photos' means lead at every
    // quality from 85 to 95; the shared corpora's files stay 4 to 12 % smaller than
    // cjpeg's at 90 and 95.
    static constexpr Anchor kAnchors[] = {
        {1.0f, 1.0f},   {30.0f, 44.0f}, {40.0f, 54.1f}, {50.0f, 63.1f},
        {55.0f, 65.5f}, {60.0f, 67.7f}, {65.0f, 72.3f}, {70.0f, 75.2f},
        {80.0f, 82.3f}, {90.0f, 90.0f}, {95.0f, 94.2f}, {100.0f, 100.0f},
    };
    const float q = static_cast<float>(std::clamp(quality, 1, 100));
    for (std::size_t i = 1; i < std::size(kAnchors); ++i) {
        if (q <= kAnchors[i].user) {
            const Anchor& low = kAnchors[i - 1];
            const Anchor& high = kAnchors[i];
            const float t = (q - low.user) / (high.user - low.user);
            return low.table + t * (high.table - low.table);
        }
    }
    return 100.0f;
}

Settings settingsFor(int quality) {
    Settings settings;
    settings.quality = std::clamp(quality, 1, 100);
    settings.tableQuality = calibratedTableQuality(settings.quality);
    // 4:2:0 throughout: at equal file size it wins by both metrics at every quality
    // we measured (30..95; 4:4:4 from 90 on cost 5 % SSIM BD-rate and 5 % butteraugli
    // on the quick set). Only the top setting keeps full chroma, for users who want
    // the most faithful file whatever its size.
    settings.subsampleChroma = settings.quality < 100;
    // Tables (steps at quality 50, scaled like libjpeg's): luma rises linearly with
    // frequency from 15 next to DC to 60 at (7, 7); the example tables start at 11..16
    // but climb to 121 with irregular bumps. Fine low-frequency steps keep gradients and
    // skies free of blocks (butteraugli's worst spots); the flatter high end keeps
    // texture (SSIM). Chroma rises from 22 next to DC to 102 at (7, 7): a little coarser
    // than the example table at the seven lowest frequencies (22 against 18 beside DC),
    // much finer than its flat 99 everywhere else: with 4:2:0 every chroma coefficient
    // covers twice the distance, and colour edges are where butteraugli finds the plain
    // encoder's largest errors. Shapes picked by BD-rate on the benchmark
    // (bench/encoder), one parameter at a time.
    settings.luma = TableShape{16.0f, 10.0f, 5.0f, 1.0f};
    settings.chroma = TableShape{17.0f, 17.0f, 5.0f, 1.2f};
    // Adaptive dead zone (block_quantiser.h): plain rounding on smooth blocks, up to
    // 0.8 steps in blocks whose deviation reaches 40 grey levels.
    settings.zeroThreshold = 0.8f;
    settings.adaptiveStrength = 40.0f;
    // Non-zero levels round slightly down: the coefficients are Laplacian, so the
    // values just above a half step are rarer than the ones below and the step up
    // costs more bits than the error it removes.
    settings.roundOffset = 0.45f;
    // Lone trailing +-1s in textured blocks are dropped when their error is small for
    // the bits they cost (a cheap stand-in for trellis quantisation; off on smooth
    // blocks, where it cost butteraugli points).
    settings.tailLambda = 0.1f;
    settings.chromaSharpening = 1.0f;
    // Deringing of blocks where white meets the picture (deringing.h): butteraugli
    // BD-rate 0.3 points better over the benchmark (6 on its picture with the most
    // white edges), SSIM unchanged.
    settings.deringLimit = 32.0f;
    settings.deringLambda = 0.25f;
    settings.scans = ScanLayout::Tuned;
    return settings;
}

std::string applyOverride(Settings& settings, const std::string& assignment) {
    const auto equals = assignment.find('=');
    if (equals == std::string::npos) {
        return "expected name=value: " + assignment;
    }
    const std::string name = assignment.substr(0, equals);
    const std::string text = assignment.substr(equals + 1);
    char* end = nullptr;
    const float value = std::strtof(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0') {
        return "not a number: " + assignment;
    }
    struct Field {
        const char* name;
        float* target;
    };
    const Field fields[] = {
        {"luma.dc", &settings.luma.dc},           {"luma.base", &settings.luma.base},
        {"luma.slope", &settings.luma.slope},     {"luma.power", &settings.luma.power},
        {"chroma.dc", &settings.chroma.dc},       {"chroma.base", &settings.chroma.base},
        {"chroma.slope", &settings.chroma.slope}, {"chroma.power", &settings.chroma.power},
        {"zero", &settings.zeroThreshold},        {"aq", &settings.adaptiveStrength},
        {"round", &settings.roundOffset},         {"around", &settings.adaptiveRounding},
        {"hf", &settings.highFrequencyBoost},     {"tail", &settings.tailLambda},
        {"sharpen", &settings.chromaSharpening},  {"table", &settings.tableQuality},
        {"dering", &settings.deringLimit},        {"dlambda", &settings.deringLambda},
    };
    for (const Field& field : fields) {
        if (name == field.name) {
            *field.target = value;
            return {};
        }
    }
    if (name == "subsample") {
        settings.subsampleChroma = value != 0.0f;
    } else if (name == "annex") {
        settings.annexTables = value != 0.0f;
    } else if (name == "threads") {
        settings.threads = std::clamp(static_cast<int>(value), 0, 64);
    } else if (name == "scans") {
        settings.scans = static_cast<ScanLayout>(std::clamp(static_cast<int>(value), 0, 2));
    } else {
        return "unknown setting: " + name;
    }
    return {};
}

EncodedJpeg encodeWithSettings(const PixelView& picture, const Settings& settings,
                               const JpegMetadata& metadata) {
    EncodedJpeg result;
    result.error = encodingProblem(picture);
    if (!result.error.empty()) {
        return result;
    }
    const float quality = std::clamp(settings.tableQuality, 1.0f, 100.0f);
    const Geometry geometry(picture, settings.subsampleChroma, writesGrey(picture, metadata));
    std::vector<StripBuffers> strips;
    const int bands = bandCount(picture, geometry, settings.threads);
    strips.reserve(static_cast<std::size_t>(bands));
    for (int band = 0; band < bands; ++band) {
        strips.emplace_back(geometry);
    }

    const QuantTable lumaTable =
        settings.annexTables ? annexTable(false, quality) : shapedTable(settings.luma, quality);
    const QuantTable chromaTable =
        settings.annexTables ? annexTable(true, quality) : shapedTable(settings.chroma, quality);
    const BlockQuantiser lumaQuantiser(lumaTable, settings, true);
    const BlockQuantiser chromaQuantiser(chromaTable, settings, false);

    Job job;
    job.picture = &picture;
    job.settings = &settings;
    job.geometry = &geometry;
    job.quantisers[0] = &lumaQuantiser;
    job.quantisers[1] = job.quantisers[2] = &chromaQuantiser;
    std::optional<Deringer> deringer;
    if (settings.deringLimit > 0.0f) {
        job.deringer = &deringer.emplace(lumaTable, settings.deringLimit, settings.deringLambda);
    }
    jvirt_barray_ptr arrays[3] = {};

    // Two compressors share the entropy coding when the transform runs in bands too.
    const int split = bands > 1 ? sharedScanSplit(settings.scans, geometry.components) : 0;

    jpeg::Compressor compressor;
    if (!compressor.valid()) {
        result.error = "cannot start the JPEG encoder: " + compressor.bridge().text();
        return result;
    }
    jpeg::MemoryDestination destination;  // when shared: the first compressor's part
    jpeg_compress_struct* info = compressor.info();
    auto* common = reinterpret_cast<j_common_ptr>(info);
    bool ok = jpeg::runGuarded(compressor.bridge(), [&] {
        destination.attach(info);
        configure(info, picture, geometry, lumaTable, chromaTable, settings.scans);
        setJfifDensity(info, metadata.density);  // the file's header is this compressor's
        for (int c = 0; c < geometry.components; ++c) {
            // The whole array at once (libjpeg-turbo keeps it in memory anyway, as its
            // own progressive encoder does); not cleared, every block is written below.
            arrays[c] = (*info->mem->request_virt_barray)(
                common, JPOOL_IMAGE, FALSE, geometry.blocksWide[c], geometry.blocksHigh[c],
                geometry.blocksHigh[c]);
        }
        (*info->mem->realize_virt_arrays)(common);
        for (int c = 0; c < geometry.components; ++c) {
            job.blocks[c] = (*info->mem->access_virt_barray)(common, arrays[c], 0,
                                                             geometry.blocksHigh[c], TRUE);
            adviseHugePages(job.blocks[c], geometry.blocksHigh[c], geometry.blocksWide[c]);
        }
    });
    if (ok) {
        transformAll(job, strips);
        if (split > 0) {
            return writeShared(compressor, destination, arrays, job, picture, lumaTable,
                               chromaTable, metadata, split);
        }
        ok = jpeg::runGuarded(compressor.bridge(), [&] {
            jpeg_write_coefficients(info, arrays);
            writeMetadataMarkers(info, metadata);
            jpeg_finish_compress(info);
        });
    }
    return encodedResult(ok, compressor, destination);
}

}  // namespace encoder

EncodedJpeg encodeBest(const PixelView& picture, int quality, const JpegMetadata& metadata) {
    return encoder::encodeWithSettings(picture, encoder::settingsFor(quality), metadata);
}

}  // namespace vellora::imaging
