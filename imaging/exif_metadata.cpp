#include "exif_metadata.h"

#include <libexif/exif-data.h>
#include <libexif/exif-mem.h>
#include <libexif/exif-utils.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <memory>
#include <optional>
#include <string_view>

#include "imaging/orientation.h"

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

struct LoadedExif {
    std::unique_ptr<ExifMem, MemRelease> mem;
    std::unique_ptr<ExifData, DataRelease> data;
    int orientation = 1;
};

// Parses an APP1 EXIF payload; `data` is null when nothing usable is in it. Everything
// that reads an orientation goes through here, so all agree on every file.
LoadedExif loadExif(std::span<const std::uint8_t> app1) {
    LoadedExif loaded;
    if (app1.empty() || app1.size() > 0xFFFF) {
        return loaded;
    }
    loaded.mem.reset(exif_mem_new_default());
    if (!loaded.mem) {
        return loaded;
    }
    loaded.data.reset(exif_data_new_mem(loaded.mem.get()));
    ExifData* data = loaded.data.get();
    if (!data) {
        return loaded;
    }
    // Keep the block as the camera wrote it: no invented mandatory tags, no dropped
    // unknown tags, maker notes left alone.
    exif_data_unset_option(data, EXIF_DATA_OPTION_FOLLOW_SPECIFICATION);
    exif_data_unset_option(data, EXIF_DATA_OPTION_IGNORE_UNKNOWN_TAGS);
    exif_data_set_option(data, EXIF_DATA_OPTION_DONT_CHANGE_MAKER_NOTE);
    exif_data_load_data(data, app1.data(), static_cast<unsigned>(app1.size()));
    // The main directory may hold nothing but the links to the camera's, GPS and
    // interoperability directories, which libexif keeps as those directories and not
    // as entries: the block is usable as long as any of them holds something.
    const bool usable =
        std::any_of(std::begin(data->ifd), std::end(data->ifd), [data](const ExifContent* content) {
            return content && content != data->ifd[EXIF_IFD_1] && content->count > 0;
        });
    if (!data->ifd[EXIF_IFD_0] || !usable) {
        loaded.data.reset();  // nothing usable in it
        return loaded;
    }
    // Only the main image's directory says how the picture is stored; an orientation
    // in the thumbnail's directory (IFD 1) describes the thumbnail alone.
    if (ExifEntry* entry = orientationEntry(data)) {
        const ExifShort value = exif_get_short(entry->data, exif_data_get_byte_order(data));
        if (value >= 1 && value <= 8) {
            loaded.orientation = value;
        }
    }
    return loaded;
}

// Where a block's maker note lies, from the start of its TIFF header.
struct MakerNotePlace {
    std::size_t offset = 0;
    std::size_t size = 0;
};

constexpr std::size_t kTiffStart = 6;  // after "Exif\0\0"

std::optional<MakerNotePlace> makerNotePlace(std::span<const std::uint8_t> block,
                                             ExifByteOrder order) {
    if (block.size() < kTiffStart + 8) {
        return std::nullopt;
    }
    const std::span<const std::uint8_t> tiff = block.subspan(kTiffStart);
    // The count and value (or offset) of `tag` in the directory at `ifd`.
    const auto find = [&](std::size_t ifd, ExifTag tag) -> std::optional<MakerNotePlace> {
        if (ifd + 2 > tiff.size()) {
            return std::nullopt;
        }
        const std::size_t count = exif_get_short(tiff.data() + ifd, order);
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t at = ifd + 2 + 12 * i;
            if (at + 12 > tiff.size()) {
                return std::nullopt;
            }
            if (exif_get_short(tiff.data() + at, order) == tag) {
                return MakerNotePlace{exif_get_long(tiff.data() + at + 8, order),
                                      exif_get_long(tiff.data() + at + 4, order)};
            }
        }
        return std::nullopt;
    };
    const std::optional<MakerNotePlace> camera =
        find(exif_get_long(tiff.data() + 4, order), EXIF_TAG_EXIF_IFD_POINTER);
    std::optional<MakerNotePlace> note =
        camera ? find(camera->offset, EXIF_TAG_MAKER_NOTE) : std::nullopt;
    if (!note || note->size <= 4 || note->offset > tiff.size() ||
        note->size > tiff.size() - note->offset) {
        return std::nullopt;
    }
    return note;
}

// libexif copies a maker note's bytes as they are, but lays the block out anew, so the
// note may move. Canon's, Sony's and Panasonic's notes are directories whose values lie
// at offsets counted from the TIFF header, like the block's own: moved by `delta`
// bytes without them, every value beyond four bytes would be read from the wrong place
// (a lens, a shutter count, an owner's name). Other makers count from the note itself,
// and lose nothing.
void moveMakerNoteOffsets(std::span<std::uint8_t> note, ExifByteOrder order, std::int64_t delta,
                          bool canon) {
    const auto startsWith = [&](std::string_view header) {
        return note.size() >= header.size() &&
               std::equal(header.begin(), header.end(), note.begin());
    };
    using namespace std::string_view_literals;
    std::size_t directory = 0;
    if (startsWith("SONY DSC \0\0\0"sv) || startsWith("SONY CAM \0\0\0"sv) ||
        startsWith("Panasonic\0\0\0"sv)) {
        directory = 12;
    } else if (!canon) {
        return;
    }
    if (directory + 2 > note.size()) {
        return;
    }
    const std::size_t count = exif_get_short(note.data() + directory, order);
    if (directory + 2 + 12 * count > note.size()) {
        return;  // not the directory it should be: leave it as it came
    }
    for (std::size_t i = 0; i < count; ++i) {
        std::uint8_t* const entry = note.data() + directory + 2 + 12 * i;
        const auto format = static_cast<ExifFormat>(exif_get_short(entry + 2, order));
        const std::uint64_t bytes =
            std::uint64_t{exif_format_get_size(format)} * exif_get_long(entry + 4, order);
        const std::int64_t moved = std::int64_t{exif_get_long(entry + 8, order)} + delta;
        if (bytes > 4 && moved >= 0 && moved <= 0xFFFFFFFF) {
            exif_set_long(entry + 8, order, static_cast<ExifLong>(moved));
        }
    }
}

bool madeByCanon(ExifData* data) {
    ExifEntry* make = exif_content_get_entry(data->ifd[EXIF_IFD_0], EXIF_TAG_MAKE);
    constexpr std::string_view kCanon = "Canon";
    return make && make->data && make->size >= kCanon.size() &&
           std::equal(kCanon.begin(), kCanon.end(), make->data);
}

// The block as libexif writes it again, its maker note's offsets moved with it;
// `fallback` when it writes nothing usable.
std::vector<std::uint8_t> savedBlock(const LoadedExif& loaded,
                                     std::span<const std::uint8_t> original,
                                     std::vector<std::uint8_t> fallback) {
    unsigned char* saved = nullptr;
    unsigned int savedSize = 0;
    exif_data_save_data(loaded.data.get(), &saved, &savedSize);
    std::vector<std::uint8_t> result = saved && savedSize > 6
                                           ? std::vector<std::uint8_t>(saved, saved + savedSize)
                                           : std::move(fallback);
    if (saved) {
        exif_mem_free(loaded.mem.get(), saved);
    }
    const ExifByteOrder order = exif_data_get_byte_order(loaded.data.get());
    const std::optional<MakerNotePlace> before = makerNotePlace(original, order);
    const std::optional<MakerNotePlace> after = makerNotePlace(result, order);
    if (before && after && before->size == after->size && before->offset != after->offset) {
        moveMakerNoteOffsets(
            std::span(result).subspan(kTiffStart + after->offset, after->size), order,
            static_cast<std::int64_t>(after->offset) - static_cast<std::int64_t>(before->offset),
            madeByCanon(loaded.data.get()));
    }
    return result;
}

}  // namespace

int exifOrientation(std::span<const std::uint8_t> app1) {
    return loadExif(app1).orientation;
}

namespace {

// The subject's place (SubjectArea: a point, a circle or a rectangle by its centre;
// SubjectLocation: a point) moved to where turning the picture upright puts its pixels.
void turnSubject(ExifData* data, int orientation, int width, int height) {
    ExifContent* const camera = data->ifd[EXIF_IFD_EXIF];
    if (!camera || orientation < 2 || orientation > 8 || width < 1 || height < 1) {
        return;
    }
    const ExifByteOrder order = exif_data_get_byte_order(data);
    for (const ExifTag tag : {EXIF_TAG_SUBJECT_AREA, EXIF_TAG_SUBJECT_LOCATION}) {
        ExifEntry* entry = exif_content_get_entry(camera, tag);
        if (!entry || !entry->data || entry->format != EXIF_FORMAT_SHORT || entry->components < 2 ||
            entry->size < 2 * entry->components) {
            continue;
        }
        const auto at = [&](unsigned i) { return entry->data + 2 * i; };
        const int x = exif_get_short(at(0), order);
        const int y = exif_get_short(at(1), order);
        // Where the stored pixel (x, y) lands, by the orientation's mirror and turn.
        const bool mirrorX =
            orientation == 2 || orientation == 3 || orientation == 7 || orientation == 8;
        const bool mirrorY =
            orientation == 3 || orientation == 4 || orientation == 6 || orientation == 7;
        const int across = mirrorX ? width - 1 - x : x;
        const int down = mirrorY ? height - 1 - y : y;
        const bool swapped = swapsAxes(orientation);
        const int newX = swapped ? down : across;
        const int newY = swapped ? across : down;
        if (newX < 0 || newY < 0 || newX > 0xFFFF || newY > 0xFFFF) {
            continue;  // a place outside the picture: left as the camera wrote it
        }
        exif_set_short(at(0), order, static_cast<ExifShort>(newX));
        exif_set_short(at(1), order, static_cast<ExifShort>(newY));
        if (swapped && tag == EXIF_TAG_SUBJECT_AREA && entry->components == 4) {
            const ExifShort areaWidth = exif_get_short(at(2), order);
            exif_set_short(at(2), order, exif_get_short(at(3), order));
            exif_set_short(at(3), order, areaWidth);
        }
    }
}

}  // namespace

UprightExif rewriteExifUpright(std::span<const std::uint8_t> app1, int storedWidth,
                               int storedHeight) {
    UprightExif result;
    LoadedExif loaded = loadExif(app1);
    if (!loaded.data) {
        return result;
    }
    ExifData* const data = loaded.data.get();
    ExifMem* const mem = loaded.mem.get();
    result.orientation = loaded.orientation;
    if (ExifEntry* entry = orientationEntry(data)) {
        // The pixels are turned upright on reading, so the block must say so.
        exif_set_short(entry->data, exif_data_get_byte_order(data), 1);
    }
    if (swapsAxes(loaded.orientation)) {
        // A quarter turn swaps the dots per inch across and down, as the JFIF density
        // beside it is swapped: the two would give the print different shapes.
        ExifContent* const main = data->ifd[EXIF_IFD_0];
        ExifEntry* const x = main ? exif_content_get_entry(main, EXIF_TAG_X_RESOLUTION) : nullptr;
        ExifEntry* const y = main ? exif_content_get_entry(main, EXIF_TAG_Y_RESOLUTION) : nullptr;
        if (x && y && x->data && y->data && x->format == y->format && x->size == y->size) {
            std::swap_ranges(x->data, x->data + x->size, y->data);
        }
    }
    turnSubject(data, loaded.orientation, storedWidth, storedHeight);

    // The thumbnail shows the picture as it was before cropping and re-encoding; drop
    // it and the directory that describes it.
    if (data->data) {
        exif_mem_free(mem, data->data);
        data->data = nullptr;
        data->size = 0;
    }
    if (ExifContent* thumbnail = data->ifd[EXIF_IFD_1]) {
        while (thumbnail->count > 0) {
            exif_content_remove_entry(thumbnail, thumbnail->entries[0]);
        }
    }

    result.block = savedBlock(loaded, app1, {});
    return result;
}

std::vector<std::uint8_t> exifWithPixelSize(std::span<const std::uint8_t> app1, int width,
                                            int height) {
    std::vector<std::uint8_t> unchanged(app1.begin(), app1.end());
    LoadedExif loaded = loadExif(app1);
    if (!loaded.data) {
        return unchanged;
    }
    ExifData* const data = loaded.data.get();
    const ExifByteOrder order = exif_data_get_byte_order(data);
    bool changed = false;
    const auto setSize = [&](ExifContent* content, ExifTag tag, int value) {
        ExifEntry* entry = content ? exif_content_get_entry(content, tag) : nullptr;
        if (!entry || !entry->data || entry->components != 1) {
            return;
        }
        if (entry->format == EXIF_FORMAT_SHORT && entry->size >= 2 && value <= 0xFFFF) {
            changed |= exif_get_short(entry->data, order) != value;
            exif_set_short(entry->data, order, static_cast<ExifShort>(value));
        } else if (entry->format == EXIF_FORMAT_LONG && entry->size >= 4) {
            changed |= exif_get_long(entry->data, order) != static_cast<ExifLong>(value);
            exif_set_long(entry->data, order, static_cast<ExifLong>(value));
        } else if (entry->format == EXIF_FORMAT_SLONG && entry->size >= 4) {
            // Signed, as some cameras write them (Nokia's among them).
            changed |= exif_get_slong(entry->data, order) != value;
            exif_set_slong(entry->data, order, static_cast<ExifSLong>(value));
        } else if (entry->format == EXIF_FORMAT_SSHORT && entry->size >= 2 && value <= 0x7FFF) {
            changed |= exif_get_sshort(entry->data, order) != value;
            exif_set_sshort(entry->data, order, static_cast<ExifSShort>(value));
        }
    };
    setSize(data->ifd[EXIF_IFD_EXIF], EXIF_TAG_PIXEL_X_DIMENSION, width);
    setSize(data->ifd[EXIF_IFD_EXIF], EXIF_TAG_PIXEL_Y_DIMENSION, height);
    setSize(data->ifd[EXIF_IFD_0], EXIF_TAG_IMAGE_WIDTH, width);
    setSize(data->ifd[EXIF_IFD_0], EXIF_TAG_IMAGE_LENGTH, height);
    if (!changed) {
        return unchanged;  // byte for byte as it came
    }
    return savedBlock(loaded, app1, std::move(unchanged));
}

std::vector<std::uint8_t> exifWithoutSubject(std::span<const std::uint8_t> app1) {
    std::vector<std::uint8_t> unchanged(app1.begin(), app1.end());
    LoadedExif loaded = loadExif(app1);
    ExifContent* const camera = loaded.data ? loaded.data->ifd[EXIF_IFD_EXIF] : nullptr;
    if (!camera) {
        return unchanged;
    }
    bool changed = false;
    for (const ExifTag tag : {EXIF_TAG_SUBJECT_AREA, EXIF_TAG_SUBJECT_LOCATION}) {
        if (ExifEntry* entry = exif_content_get_entry(camera, tag)) {
            exif_content_remove_entry(camera, entry);
            changed = true;
        }
    }
    return changed ? savedBlock(loaded, app1, std::move(unchanged)) : unchanged;
}

}  // namespace vellora::imaging
