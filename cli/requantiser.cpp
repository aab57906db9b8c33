#include "requantiser.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "imaging/encoder/block_quantiser.h"
#include "imaging/encoder/encoder_settings.h"

namespace vellora::cli {
namespace {

using imaging::encoder::QuantTable;

// Walks one component's block rows in the chunks libjpeg allows (one iMCU row).
template <typename Visit>
void forEachBlockRow(jpeg_decompress_struct* info, int index, jvirt_barray_ptr blocks,
                     bool writable, Visit visit) {
    const jpeg_component_info& component = info->comp_info[index];
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

void readPlane(jpeg_decompress_struct* in, int index, jvirt_barray_ptr blocks, StoredPlane& plane) {
    const jpeg_component_info& component = in->comp_info[index];
    plane.widthInBlocks = component.width_in_blocks;
    plane.heightInBlocks = component.height_in_blocks;
    const UINT16* steps = in->quant_tbl_ptrs[component.quant_tbl_no]->quantval;
    std::copy(steps, steps + DCTSIZE2, plane.steps.begin());
    plane.levels.clear();
    plane.levels.reserve(static_cast<std::size_t>(plane.widthInBlocks) * plane.heightInBlocks *
                         DCTSIZE2);
    forEachBlockRow(in, index, blocks, false, [&](JDIMENSION, JBLOCKROW row, JDIMENSION width) {
        // Block by block: the row's blocks are contiguous, but walking one block's
        // array past its 64 coefficients is out of bounds all the same.
        for (JDIMENSION column = 0; column < width; ++column) {
            plane.levels.insert(plane.levels.end(), row[column], row[column] + DCTSIZE2);
        }
    });
}

}  // namespace

bool canRequantise(const jpeg_decompress_struct& in) {
    if (in.data_precision != 8 || in.quant_tbl_ptrs[in.comp_info[0].quant_tbl_no] == nullptr) {
        return false;
    }
    if (in.num_components == 1) {
        return in.jpeg_color_space == JCS_GRAYSCALE;
    }
    // The luma at full resolution: one stored at half of the colour's (a file may
    // sample its colour more finely than its luma) has as many blocks as ours only on
    // a picture 8 pixels across, and would be taken for it there.
    return in.num_components == 3 && in.jpeg_color_space == JCS_YCbCr &&
           in.comp_info[0].h_samp_factor == in.max_h_samp_factor &&
           in.comp_info[0].v_samp_factor == in.max_v_samp_factor;
}

bool hasHalfColour(const jpeg_decompress_struct& in) {
    if (in.num_components != 3 || in.jpeg_color_space != JCS_YCbCr ||
        in.comp_info[0].h_samp_factor != 2 || in.comp_info[0].v_samp_factor != 2) {
        return false;
    }
    for (int c = 1; c < 3; ++c) {
        const jpeg_component_info& component = in.comp_info[c];
        if (component.h_samp_factor != 1 || component.v_samp_factor != 1 ||
            in.quant_tbl_ptrs[component.quant_tbl_no] == nullptr) {
            return false;
        }
    }
    return true;
}

void readPlanes(jpeg_decompress_struct* in, jvirt_barray_ptr* blocks, StoredPicture& picture) {
    picture.imageWidth = in->image_width;
    picture.imageHeight = in->image_height;
    // The colour only where an encode can line up with it: reading it otherwise would
    // cost memory (twice the luma's for 4:4:4) for nothing.
    picture.planes.resize(hasHalfColour(*in) ? 3 : 1);
    for (std::size_t c = 0; c < picture.planes.size(); ++c) {
        readPlane(in, static_cast<int>(c), blocks[c], picture.planes[c]);
    }
}

QuantTable keepStoredSteps(const std::array<std::uint16_t, DCTSIZE2>& stored,
                           const QuantTable& tuned, float factor) {
    QuantTable table{};
    for (int k = 0; k < DCTSIZE2; ++k) {
        const float step = static_cast<float>(stored[k]);
        table[k] = static_cast<float>(tuned[k]) < factor * step ? stored[k] : tuned[k];
    }
    return table;
}

QuantTable requantisedLumaTable(const StoredPicture& picture, int quality) {
    const imaging::encoder::Settings settings = imaging::encoder::settingsFor(quality);
    return keepStoredSteps(picture.planes.front().steps,
                           imaging::encoder::shapedTable(settings.luma, settings.tableQuality),
                           kKeepFactor);
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

void requantiseInto(const StoredPlane& plane, const QuantTable& table, int quality, bool luma,
                    jpeg_decompress_struct* to, int component, jvirt_barray_ptr blocks) {
    const imaging::encoder::BlockQuantiser quantiser(table, imaging::encoder::settingsFor(quality),
                                                     luma);
    float values[DCTSIZE2];
    forEachBlockRow(
        to, component, blocks, true, [&](JDIMENSION y, JBLOCKROW row, JDIMENSION width) {
            const JCOEF* stored = plane.levels.data() + std::size_t{y} * width * DCTSIZE2;
            for (JDIMENSION column = 0; column < width; ++column, stored += DCTSIZE2) {
                for (int k = 0; k < DCTSIZE2; ++k) {
                    values[k] = static_cast<float>(stored[k]) * static_cast<float>(plane.steps[k]);
                }
                quantiser.quantise(values, row[column]);
                // A kept step keeps its levels: the dead zone and the tail trimming
                // are for steps made coarser, and dropping a stored +-1 under the
                // same step only adds error.
                for (int k = 0; k < DCTSIZE2; ++k) {
                    if (table[static_cast<std::size_t>(k)] ==
                        plane.steps[static_cast<std::size_t>(k)]) {
                        row[column][k] = stored[k];
                    }
                }
            }
        });
}

}  // namespace vellora::cli
