#include "jpeg_colour_scans.h"

#include <system_error>
#include <thread>

// After jpeglib.h, which they build on; jpegint.h: a decoder's entropy decoder and
// coefficient buffer.
#include <jerror.h>
#include <jpegint.h>

namespace vellora::imaging {
namespace {

// An AC scan of a colour component: it holds nothing of the luma or of any DC.
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

// Call before every input step: when a new scan has started (its SOS read and its
// decoder set up, not yet run), a scan that is not this decoder's is skipped.
void assignScan(j_decompress_ptr info, bool colourAc, int& lastScan) {
    if (info->input_scan_number == lastScan) {
        return;
    }
    lastScan = info->input_scan_number;
    if (isColourAcScan(*info) != colourAc) {
        info->entropy->decode_mcu = skipScanData;
    }
}

}  // namespace

bool sharesColourScans(const jpeg_decompress_struct& info, std::int64_t minPixels,
                       std::int64_t colourAcBytes) {
    const std::int64_t pixels = std::int64_t{info.output_width} * info.output_height;
    return info.progressive_mode && !info.arith_code && info.num_components == 3 &&
           info.jpeg_color_space != JCS_CMYK && info.jpeg_color_space != JCS_YCCK &&
           pixels >= minPixels && colourAcBytes * 100 >= pixels * 4;
}

jvirt_barray_ptr ColourScanDecoder::requestTiny(j_common_ptr common, int pool, boolean preZero,
                                                JDIMENSION width, JDIMENSION height, JDIMENSION) {
    ColourScanDecoder& self = *reinterpret_cast<Progress*>(common->progress)->self;
    const int c = self.m_requested;
    if (c >= self.m_components || width != self.m_rowWidth[c] || height != self.m_rowCount[c]) {
        ERREXIT(common, JERR_BAD_VIRTUAL_ACCESS);  // not laid out as the first one's
    }
    self.m_own[c] = self.m_request(common, pool, preZero, 1, 1, 1);
    self.m_requested = c + 1;
    return self.m_own[c];
}

JBLOCKARRAY ColourScanDecoder::accessShared(j_common_ptr common, jvirt_barray_ptr array,
                                            JDIMENSION startRow, JDIMENSION count, boolean) {
    ColourScanDecoder& self = *reinterpret_cast<Progress*>(common->progress)->self;
    for (int c = 0; c < self.m_requested; ++c) {
        if (array == self.m_own[c] && startRow + count <= self.m_rowCount[c]) {
            return self.m_rows[c] + startRow;
        }
    }
    ERREXIT(common, JERR_BAD_VIRTUAL_ACCESS);
    return nullptr;
}

void ColourScanDecoder::beforeStep(j_common_ptr common) {
    ColourScanDecoder& self = *reinterpret_cast<Progress*>(common->progress)->self;
    if (self.m_cancel->load()) {
        ERREXIT(common, JERR_INPUT_EOF);  // the first decoder failed; its reason counts
    }
    assignScan(reinterpret_cast<j_decompress_ptr>(common), true, self.m_scan);
}

void ColourScanDecoder::share(jpeg_decompress_struct* first) {
    auto* common = reinterpret_cast<j_common_ptr>(first);
    m_width = first->image_width;
    m_height = first->image_height;
    m_components = first->num_components;
    for (int c = 0; c < first->num_components; ++c) {
        const jpeg_component_info& component = first->comp_info[c];
        m_sampling[c][0] = component.h_samp_factor;
        m_sampling[c][1] = component.v_samp_factor;
        const auto group = static_cast<JDIMENSION>(component.v_samp_factor);
        const auto across = static_cast<JDIMENSION>(component.h_samp_factor);
        m_rowCount[c] = (component.height_in_blocks + group - 1) / group * group;
        m_rowWidth[c] = (component.width_in_blocks + across - 1) / across * across;
        jvirt_barray_ptr array = first->coef->coef_arrays[c];
        for (JDIMENSION row = 0; row < m_rowCount[c]; row += group) {
            (void)(*first->mem->access_virt_barray)(common, array, row, group, TRUE);
        }
        // Every row is in memory (libjpeg-turbo has no backing store), one pointer array
        // from the first row on.
        m_rows[c] = (*first->mem->access_virt_barray)(common, array, 0, group, TRUE);
    }
}

void ColourScanDecoder::decode(const std::function<void(j_decompress_ptr)>& attach,
                               const std::atomic<bool>& cancel) {
    if (!m_decompressor.valid()) {
        return;
    }
    m_cancel = &cancel;
    m_progress.manager.progress_monitor = beforeStep;
    m_progress.self = this;
    jpeg_decompress_struct* info = m_decompressor.info();
    m_ok = jpeg::runGuarded(m_decompressor.bridge(), [&] {
        attach(info);
        info->progress = &m_progress.manager;
        (void)jpeg_read_header(info, TRUE);
        bool same = info->progressive_mode && info->num_components == m_components &&
                    info->image_width == m_width && info->image_height == m_height;
        for (int c = 0; same && c < info->num_components; ++c) {
            same = info->comp_info[c].h_samp_factor == m_sampling[c][0] &&
                   info->comp_info[c].v_samp_factor == m_sampling[c][1];
        }
        if (!same) {
            ERREXIT(info, JERR_IMAGE_TOO_BIG);  // not the file the first decoder read
        }
        m_request = info->mem->request_virt_barray;
        info->mem->request_virt_barray = requestTiny;
        info->mem->access_virt_barray = accessShared;
        (void)jpeg_read_coefficients(info);
        jpeg_finish_decompress(info);
    });
}

SharedRead readAllScans(jpeg::Decompressor& first, ColourScanDecoder& second,
                        const std::function<void(j_decompress_ptr)>& attach,
                        void (*beforeStep)(j_common_ptr)) {
    jpeg_decompress_struct* info = first.info();
    if (!jpeg::runGuarded(first.bridge(), [&] { second.share(info); })) {
        return SharedRead::FirstFailed;
    }
    std::atomic<bool> cancel{false};
    std::thread helper;
    try {
        helper = std::thread([&] { second.decode(attach, cancel); });
    } catch (const std::system_error&) {
        // No thread to be had: the first decoder decodes every scan.
    }
    const bool shared = helper.joinable();
    int lastScan = 0;
    const bool read = jpeg::runGuarded(first.bridge(), [&] {
        int status = JPEG_SUSPENDED;
        while (status != JPEG_REACHED_EOI) {
            if (beforeStep != nullptr) {
                beforeStep(reinterpret_cast<j_common_ptr>(info));
            }
            if (shared) {
                assignScan(info, false, lastScan);
            }
            status = jpeg_consume_input(info);
            if (status == JPEG_SUSPENDED) {
                ERREXIT(info, JERR_INPUT_EOF);  // a suspending source; never ours
            }
        }
    });
    if (!read) {
        cancel = true;  // the helper's work is not wanted
    }
    if (shared) {
        helper.join();
    }
    if (!read) {
        return SharedRead::FirstFailed;
    }
    return !shared || second.ok() ? SharedRead::Done : SharedRead::SecondFailed;
}

}  // namespace vellora::imaging
