#include "exif_metadata.h"

#include <libexif/exif-data.h>
#include <libexif/exif-mem.h>
#include <libexif/exif-utils.h>

#include <memory>

namespace vellora::imaging {
namespace {

struct MemRelease {
    void operator()(ExifMem* mem) const { exif_mem_unref(mem); }
};
struct DataRelease {
    void operator()(ExifData* data) const { exif_data_unref(data); }
};

// The orientation entry of the main image (IFD 0), when it is a usable SHORT.
ExifEntry* orientationEntry(ExifData* data) {
    ExifEntry* entry = exif_content_get_entry(data->ifd[EXIF_IFD_0], EXIF_TAG_ORIENTATION);
    if (!entry || entry->format != EXIF_FORMAT_SHORT || entry->components < 1 || !entry->data ||
        entry->size < 2) {
        return nullptr;
    }
    return entry;
}

}  // namespace

UprightExif rewriteExifUpright(std::span<const std::uint8_t> app1) {
    UprightExif result;
    if (app1.empty() || app1.size() > 0xFFFF) {
        return result;
    }
    std::unique_ptr<ExifMem, MemRelease> mem(exif_mem_new_default());
    if (!mem) {
        return result;
    }
    std::unique_ptr<ExifData, DataRelease> data(exif_data_new_mem(mem.get()));
    if (!data) {
        return result;
    }
    // Keep the block as the camera wrote it: no invented mandatory tags, no dropped
    // unknown tags, maker notes left alone.
    exif_data_unset_option(data.get(), EXIF_DATA_OPTION_FOLLOW_SPECIFICATION);
    exif_data_unset_option(data.get(), EXIF_DATA_OPTION_IGNORE_UNKNOWN_TAGS);
    exif_data_set_option(data.get(), EXIF_DATA_OPTION_DONT_CHANGE_MAKER_NOTE);
    exif_data_load_data(data.get(), app1.data(), static_cast<unsigned>(app1.size()));
    if (!data->ifd[EXIF_IFD_0] || data->ifd[EXIF_IFD_0]->count == 0) {
        return result;  // nothing usable in it
    }

    const ExifByteOrder order = exif_data_get_byte_order(data.get());
    if (ExifEntry* entry = orientationEntry(data.get())) {
        const ExifShort value = exif_get_short(entry->data, order);
        if (value >= 1 && value <= 8) {
            result.orientation = value;
        }
        // The pixels are turned upright on reading, so the block must say so.
        exif_set_short(entry->data, order, 1);
    }

    // The thumbnail shows the picture as it was before cropping and re-encoding; drop
    // it and the directory that describes it.
    if (data->data) {
        exif_mem_free(mem.get(), data->data);
        data->data = nullptr;
        data->size = 0;
    }
    if (ExifContent* thumbnail = data->ifd[EXIF_IFD_1]) {
        while (thumbnail->count > 0) {
            exif_content_remove_entry(thumbnail, thumbnail->entries[0]);
        }
    }

    unsigned char* saved = nullptr;
    unsigned int savedSize = 0;
    exif_data_save_data(data.get(), &saved, &savedSize);
    if (saved && savedSize > 6) {
        result.block.assign(saved, saved + savedSize);
    }
    if (saved) {
        exif_mem_free(mem.get(), saved);
    }
    return result;
}

}  // namespace vellora::imaging
