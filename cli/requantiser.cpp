#include "requantiser.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "imaging/encoder/block_quantiser.h"
#include "imaging/encoder/encoder_settings.h"

namespace vellora::cli {
namespace {

using imaging::encoder::QuantTable;

// Walks the first component's block rows in the chunks libjpeg allows (one iMCU row).
template <typename Visit>
void forEachLumaRow(jpeg_decompress_struct* info, jvirt_barray_ptr blocks, Visit visit) {
    const jpeg_component_info& component = info->comp_info[0];
    const JDIMENSION chunk = static_cast<JDIMENSION>(component.v_samp_factor);
    for (JDIMENSION row = 0; row < component.height_in_blocks; row += chunk) {
        const JDIMENSION rows = std::min(chunk, component.height_in_blocks - row);
        JBLOCKARRAY array = (*info->mem->access_virt_barray)(reinterpret_cast<j_common_ptr>(info),
                                                             blocks, row, rows, TRUE);
        for (JDIMENSION r = 0; r < rows; ++r) {
            visit(row + r, array[r], component.width_in_blocks);
        }
    }
}

}  // namespace

bool canRequantise(const jpeg_decompress_struct& in) {
    if (in.data_precision != 8 || in.quant_tbl_ptrs[in.comp_info[0].quant_tbl_no] == nullptr) {
        return false;
    }
    if (in.num_components == 1) {
        return in.jpeg_color_space == JCS_GRAYSCALE;
    }
    return in.num_components == 3 && in.jpeg_color_space == JCS_YCbCr;
}

QuantTable requantisedLumaTable(const jpeg_decompress_struct& in, int quality) {
    const imaging::encoder::Settings settings = imaging::encoder::settingsFor(quality);
    const QuantTable tuned = imaging::encoder::shapedTable(settings.luma, settings.tableQuality);
    const JQUANT_TBL& stored = *in.quant_tbl_ptrs[in.comp_info[0].quant_tbl_no];
    QuantTable table{};
    for (int k = 0; k < DCTSIZE2; ++k) {
        const float step = static_cast<float>(stored.quantval[k]);
        table[k] =
            static_cast<float>(tuned[k]) < kKeepFactor * step ? stored.quantval[k] : tuned[k];
    }
    return table;
}

namespace {

double meanLogStep(const QuantTable& table) {
    double sum = 0;
    for (const std::uint16_t step : table) {
        sum += std::log(static_cast<double>(step));
    }
    return sum / DCTSIZE2;
}

}  // namespace

int equivalentQuality(const QuantTable& table) {
    const double wanted = meanLogStep(table);
    // The tuned steps shrink as the quality rises: the first quality at or below
    // `wanted` is the answer (100 for a table finer than any).
    int low = 1;
    int high = 100;
    while (low < high) {
        const int middle = low + (high - low) / 2;
        const imaging::encoder::Settings settings = imaging::encoder::settingsFor(middle);
        if (meanLogStep(imaging::encoder::shapedTable(settings.luma, settings.tableQuality)) <=
            wanted) {
            high = middle;
        } else {
            low = middle + 1;
        }
    }
    return low;
}

void requantiseLuma(jpeg_decompress_struct* in, jvirt_barray_ptr blocks, const QuantTable& table,
                    int quality) {
    const UINT16* stored = in->quant_tbl_ptrs[in->comp_info[0].quant_tbl_no]->quantval;
    const imaging::encoder::BlockQuantiser quantiser(table, imaging::encoder::settingsFor(quality),
                                                     true);
    float values[DCTSIZE2];
    forEachLumaRow(in, blocks, [&](JDIMENSION, JBLOCKROW row, JDIMENSION width) {
        for (JDIMENSION column = 0; column < width; ++column) {
            JCOEF* block = row[column];
            for (int k = 0; k < DCTSIZE2; ++k) {
                values[k] = static_cast<float>(block[k]) * static_cast<float>(stored[k]);
            }
            quantiser.quantise(values, block);
        }
    });
}

void copyLumaBlocks(jpeg_decompress_struct* fromInfo, jvirt_barray_ptr from,
                    jpeg_decompress_struct* toInfo, jvirt_barray_ptr to) {
    const jpeg_component_info& target = toInfo->comp_info[0];
    const JDIMENSION chunk = static_cast<JDIMENSION>(target.v_samp_factor);
    forEachLumaRow(fromInfo, from, [&](JDIMENSION row, JBLOCKROW source, JDIMENSION width) {
        // One row at a time on the target side: its iMCU height may differ.
        const JDIMENSION start = row - row % chunk;
        JBLOCKARRAY array = (*toInfo->mem->access_virt_barray)(
            reinterpret_cast<j_common_ptr>(toInfo), to, start,
            std::min(chunk, target.height_in_blocks - start), TRUE);
        std::copy_n(source[0], static_cast<std::size_t>(width) * DCTSIZE2, array[row - start][0]);
    });
}

}  // namespace vellora::cli
