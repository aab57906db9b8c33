#pragma once
// Two decoders on one progressive JPEG: the second decodes the colour scans.
//
// A progressive file is read whole before its first row comes out, and for a large
// photo most of that time is Huffman decoding, one scan after the other. The colour
// components' AC scans (often 40 % of the bytes) share nothing with the others: each
// holds one component's AC coefficients, and its refinements read only what earlier
// AC scans of the same component left. So a second decoder decodes them, straight
// into the first decoder's coefficient buffer, while the first skips their bytes and
// decodes the DC and luma scans. Each decoder checks every scan it decodes, so damage
// anywhere still fails the read; the first then makes the rows from the whole buffer
// as it always does. (Its record of which coefficient bits have arrived, which decides
// the smoothing of an incomplete file, is kept when a scan starts, so it covers the
// skipped scans too.)

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>

#include <jpeglib.h>

#include "libjpeg_bridge.h"

namespace vellora::imaging {

// Whether a decoder that has read a file's header and worked out its output size
// should share the file so: a progressive, Huffman-coded picture of three components
// and at least `minPixels`, whose colour AC scans hold `colourAcBytes` (see
// JpegStructure), at least 0.04 bytes a pixel. Below that the second decoder has too
// little to do to pay for the set-up (it and the whole buffer defined before any scan).
// Measured on 14.7-megapixel progressive files, whole read: a photo with 0.12 bytes a
// pixel of colour AC data 0.19 s instead of 0.24; re-encodes of it by cjpeg (0.002 to
// 0.03) and by us (under 0.01) as fast as one decoder or up to 15 % slower.
[[nodiscard]] bool sharesColourScans(const jpeg_decompress_struct& info, std::int64_t minPixels,
                                     std::int64_t colourAcBytes);

// The second decoder.
class ColourScanDecoder {
public:
    [[nodiscard]] jpeg::ErrorBridge& bridge() { return m_decompressor.bridge(); }
    [[nodiscard]] bool ok() const { return m_ok; }

    // The steps readAllScans takes. Takes the first decoder's coefficient buffer and
    // defines every row of it, so that neither decoder's later access zeroes rows the
    // other has written; runs the first decoder's memory manager, so inside its bridge.
    void share(jpeg_decompress_struct* first);
    // Decodes the colour AC scans of the file `attach` gives this decoder into that
    // buffer, on the calling thread; stops (failing) once `cancel` is set.
    void decode(const std::function<void(j_decompress_ptr)>& attach,
                const std::atomic<bool>& cancel);

private:
    static jvirt_barray_ptr requestTiny(j_common_ptr common, int pool, boolean preZero,
                                        JDIMENSION width, JDIMENSION height, JDIMENSION);
    static JBLOCKARRAY accessShared(j_common_ptr common, jvirt_barray_ptr array,
                                    JDIMENSION startRow, JDIMENSION count, boolean);
    static void beforeStep(j_common_ptr common);

    struct Progress {
        jpeg_progress_mgr manager{};  // first: libjpeg's pointer to it points here too
        ColourScanDecoder* self = nullptr;
    };
    jpeg::Decompressor m_decompressor;
    Progress m_progress;
    const std::atomic<bool>* m_cancel = nullptr;
    int m_scan = 0;  // the last scan given its decoder or its skip
    bool m_ok = false;
    // The first decoder's picture and buffer, taken before this one starts.
    JDIMENSION m_width = 0;
    JDIMENSION m_height = 0;
    int m_components = 0;
    int m_sampling[MAX_COMPONENTS][2] = {};
    JBLOCKARRAY m_rows[MAX_COMPONENTS] = {};  // every block row of each component
    JDIMENSION m_rowCount[MAX_COMPONENTS] = {};
    JDIMENSION m_rowWidth[MAX_COMPONENTS] = {};
    // This decoder's own arrays: one block each (its blocks are the first one's).
    jvirt_barray_ptr m_own[MAX_COMPONENTS] = {};
    int m_requested = 0;
    jvirt_barray_ptr (*m_request)(j_common_ptr, int, boolean, JDIMENSION, JDIMENSION,
                                  JDIMENSION) = nullptr;
};

enum class SharedRead { Done, FirstFailed, SecondFailed };

// Reads the whole input of `first`, started with jpeg_start_decompress in buffered-image
// mode and no scan decoded yet, with `second` decoding the colour scans on a thread of
// its own (`attach` gives it its own source of the same file; without a thread to be
// had, `first` decodes every scan; `attach` runs inside libjpeg's error bridge, so it
// must hold nothing with a destructor). `beforeStep` runs before each input step of `first`
// (the caller's own checks; it may fail through libjpeg's error exit). Returns which
// decoder failed, if one did; the output pass is the caller's (jpeg_start_output).
[[nodiscard]] SharedRead readAllScans(jpeg::Decompressor& first, ColourScanDecoder& second,
                                      const std::function<void(j_decompress_ptr)>& attach,
                                      void (*beforeStep)(j_common_ptr) = nullptr);

}  // namespace vellora::imaging
