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
void forEachLumaRow(jpeg_decompress_struct* info, jvirt_barray_ptr blocks, bool writable,
                    Visit visit) {
    const jpeg_component_info& component = info->comp_info[0];
    const JDIMENSION chunk = static_cast<JDIMENSION>(component.v_samp_factor);
    for (JDIMENSION row = 0; row < component.height_in_blocks; row += chunk) {
        const JDIMENSION rows = std::min(chunk, component.height_in_blocks - row);
        JBLOCKARRAY array = (*info->mem->access_virt_barray)(
            reinterpret_cast<j_common_ptr>(info), blocks, row, rows, writable ? TRUE : FALSE);
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

void readLuma(jpeg_decompress_struct* in, jvirt_barray_ptr blocks, StoredLuma& luma) {
    const jpeg_component_info& component = in->comp_info[0];
    luma.imageWidth = in->image_width;
    luma.imageHeight = in->image_height;
    luma.widthInBlocks = component.width_in_blocks;
    luma.heightInBlocks = component.height_in_blocks;
    const UINT16* steps = in->quant_tbl_ptrs[component.quant_tbl_no]->quantval;
    std::copy(steps, steps + DCTSIZE2, luma.steps.begin());
    luma.levels.clear();
    luma.levels.reserve(static_cast<std::size_t>(luma.widthInBlocks) * luma.heightInBlocks *
                        DCTSIZE2);
    forEachLumaRow(in, blocks, false, [&](JDIMENSION, JBLOCKROW row, JDIMENSION width) {
        // Block by block: the row's blocks are contiguous, but walking one block's
        // array past its 64 coefficients is out of bounds all the same.
        for (JDIMENSION column = 0; column < width; ++column) {
            luma.levels.insert(luma.levels.end(), row[column], row[column] + DCTSIZE2);
        }
    });
}

QuantTable requantisedLumaTable(const StoredLuma& luma, int quality) {
    const imaging::encoder::Settings settings = imaging::encoder::settingsFor(quality);
    const QuantTable tuned = imaging::encoder::shapedTable(settings.luma, settings.tableQuality);
    QuantTable table{};
    for (int k = 0; k < DCTSIZE2; ++k) {
        const float step = static_cast<float>(luma.steps[k]);
        table[k] = static_cast<float>(tuned[k]) < kKeepFactor * step ? luma.steps[k] : tuned[k];
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

void requantiseInto(const StoredLuma& luma, const QuantTable& table, int quality,
                    jpeg_decompress_struct* to, jvirt_barray_ptr blocks) {
    const imaging::encoder::BlockQuantiser quantiser(table, imaging::encoder::settingsFor(quality),
                                                     true);
    float values[DCTSIZE2];
    forEachLumaRow(to, blocks, true, [&](JDIMENSION y, JBLOCKROW row, JDIMENSION width) {
        const JCOEF* stored = luma.levels.data() + std::size_t{y} * width * DCTSIZE2;
        for (JDIMENSION column = 0; column < width; ++column, stored += DCTSIZE2) {
            for (int k = 0; k < DCTSIZE2; ++k) {
                values[k] = static_cast<float>(stored[k]) * static_cast<float>(luma.steps[k]);
            }
            quantiser.quantise(values, row[column]);
        }
    });
}

}  // namespace vellora::cli
