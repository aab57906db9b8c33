// The EXIF block rewritten for a picture turned upright or cut: a maker note keeps
// pointing at its own values when the block is laid out anew (Canon's and Sony's count
// their offsets from the TIFF header, like the block's own), and the subject's place
// turns with the pixels.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "imaging/exif_metadata.h"

namespace vellora::imaging {
namespace {

using Bytes = std::vector<std::uint8_t>;

void put16(Bytes& bytes, std::uint32_t value) {
    bytes.push_back(value & 0xFF);
    bytes.push_back((value >> 8) & 0xFF);
}
void put32(Bytes& bytes, std::uint32_t value) {
    put16(bytes, value & 0xFFFF);
    put16(bytes, value >> 16);
}
void putEntry(Bytes& bytes, std::uint32_t tag, std::uint32_t type, std::uint32_t count,
              std::uint32_t value) {
    put16(bytes, tag);
    put16(bytes, type);
    put32(bytes, count);
    put32(bytes, value);
}
std::uint32_t get(const Bytes& bytes, std::size_t at, int size) {
    std::uint32_t value = 0;
    for (int i = size - 1; i >= 0; --i) {
        value = value << 8 | bytes.at(at + static_cast<std::size_t>(i));
    }
    return value;
}

const std::string kOwner("Owner Name Here", 16);  // with its terminating zero

// A little-endian block: the make, a subject area (which a crop removes, moving what
// follows) and a maker note of one directory whose owner's name lies after it, at an
// offset counted from the TIFF header.
Bytes block(const std::string& make, const std::string& noteHeader) {
    Bytes tiff{'I', 'I', 42, 0};
    put32(tiff, 8);
    const std::uint32_t makeAt = 38, cameraAt = makeAt + 6, areaAt = cameraAt + 30,
                        noteAt = areaAt + 8;
    const auto header = static_cast<std::uint32_t>(noteHeader.size());
    const std::uint32_t noteSize = header + 18 + static_cast<std::uint32_t>(kOwner.size());
    put16(tiff, 2);
    putEntry(tiff, 0x010F, 2, 6, makeAt);
    putEntry(tiff, 0x8769, 4, 1, cameraAt);
    put32(tiff, 0);
    tiff.insert(tiff.end(), make.begin(), make.end());
    tiff.resize(cameraAt, 0);
    put16(tiff, 2);
    putEntry(tiff, 0x9214, 3, 4, areaAt);
    putEntry(tiff, 0x927C, 7, noteSize, noteAt);
    put32(tiff, 0);
    for (std::uint32_t value : {10, 20, 30, 40}) {
        put16(tiff, value);
    }
    tiff.insert(tiff.end(), noteHeader.begin(), noteHeader.end());
    put16(tiff, 1);
    putEntry(tiff, 0x0009, 2, static_cast<std::uint32_t>(kOwner.size()), noteAt + header + 18);
    put32(tiff, 0);
    tiff.insert(tiff.end(), kOwner.begin(), kOwner.end());
    Bytes app1{'E', 'x', 'i', 'f', 0, 0};
    app1.insert(app1.end(), tiff.begin(), tiff.end());
    return app1;
}

// The SHORT values of `tag` in the camera directory, read where the entry says.
std::vector<std::uint32_t> shortsOf(const Bytes& app1, std::uint32_t tag) {
    const Bytes tiff(app1.begin() + 6, app1.end());
    const std::size_t ifd0 = get(tiff, 4, 4);
    std::size_t camera = 0;
    for (std::uint32_t i = 0; i < get(tiff, ifd0, 2); ++i) {
        if (get(tiff, ifd0 + 2 + 12 * i, 2) == 0x8769) {
            camera = get(tiff, ifd0 + 2 + 12 * i + 8, 4);
        }
    }
    for (std::uint32_t i = 0; camera != 0 && i < get(tiff, camera, 2); ++i) {
        const std::size_t entry = camera + 2 + 12 * i;
        if (get(tiff, entry, 2) == tag) {
            const std::uint32_t count = get(tiff, entry + 4, 4);
            const std::size_t values = count > 2 ? get(tiff, entry + 8, 4) : entry + 8;
            std::vector<std::uint32_t> result;
            for (std::uint32_t v = 0; v < count; ++v) {
                result.push_back(get(tiff, values + 2 * v, 2));
            }
            return result;
        }
    }
    return {};
}

TEST(ExifUpright, TheSubjectsPlaceTurnsWithThePixels) {
    // A 64 x 48 stored picture, its subject an 8 x 6 area around (40, 10).
    const std::vector<std::uint32_t> expected[9] = {
        {},
        {40, 10, 8, 6},
        {23, 10, 8, 6},
        {23, 37, 8, 6},
        {40, 37, 8, 6},
        {10, 40, 6, 8},
        {37, 40, 6, 8},
        {37, 23, 6, 8},
        {10, 23, 6, 8},
    };
    for (int orientation = 1; orientation <= 8; ++orientation) {
        Bytes tiff{'I', 'I', 42, 0};
        put32(tiff, 8);
        put16(tiff, 2);
        putEntry(tiff, 0x0112, 3, 1, static_cast<std::uint32_t>(orientation));
        putEntry(tiff, 0x8769, 4, 1, 38);
        put32(tiff, 0);
        put16(tiff, 2);
        putEntry(tiff, 0x9214, 3, 4, 68);
        putEntry(tiff, 0xA214, 3, 2, 40 | 10 << 16);
        put32(tiff, 0);
        for (std::uint32_t value : {40, 10, 8, 6}) {
            put16(tiff, value);
        }
        Bytes app1{'E', 'x', 'i', 'f', 0, 0};
        app1.insert(app1.end(), tiff.begin(), tiff.end());
        const Bytes upright = rewriteExifUpright(app1, 64, 48).block;
        const std::vector<std::uint32_t>& area = expected[orientation];
        EXPECT_EQ(shortsOf(upright, 0x9214), area) << orientation;
        EXPECT_EQ(shortsOf(upright, 0xA214),
                  std::vector<std::uint32_t>(area.begin(), area.begin() + 2))
            << orientation;
    }
}

// The value of the maker note's first entry, read where its offset says.
std::string ownerOf(const Bytes& app1, std::size_t noteHeader) {
    const Bytes tiff(app1.begin() + 6, app1.end());
    const auto entry = [&](std::size_t directory, std::uint32_t tag) -> std::size_t {
        const std::uint32_t count = get(tiff, directory, 2);
        for (std::uint32_t i = 0; i < count; ++i) {
            if (get(tiff, directory + 2 + 12 * i, 2) == tag) {
                return directory + 2 + 12 * i;
            }
        }
        return 0;
    };
    const std::size_t camera = get(tiff, entry(get(tiff, 4, 4), 0x8769) + 8, 4);
    const std::size_t note = get(tiff, entry(camera, 0x927C) + 8, 4);
    const std::size_t owner = get(tiff, note + noteHeader + 2 + 8, 4);
    if (owner + kOwner.size() > tiff.size()) {
        return {};
    }
    return std::string(tiff.begin() + static_cast<std::ptrdiff_t>(owner),
                       tiff.begin() + static_cast<std::ptrdiff_t>(owner + kOwner.size()));
}

TEST(ExifMakerNote, KeepsPointingAtItsValuesWhenTheBlockIsLaidOutAnew) {
    const struct {
        const char* what;
        std::string make;
        std::string header;
    } cases[] = {
        {"Canon", std::string("Canon", 6), ""},
        {"Sony", std::string("SONY\0", 6), std::string("SONY DSC \0\0\0", 12)},
        {"Panasonic", std::string("Pana\0", 6), std::string("Panasonic\0\0\0", 12)},
    };
    for (const auto& c : cases) {
        const Bytes app1 = block(c.make, c.header);
        ASSERT_EQ(ownerOf(app1, c.header.size()), kOwner) << c.what;
        // The subject area goes, and the maker note moves up by its entry and values.
        const Bytes cut = exifWithoutSubject(app1);
        ASSERT_LT(cut.size(), app1.size()) << c.what;
        EXPECT_EQ(ownerOf(cut, c.header.size()), kOwner) << c.what;
        EXPECT_EQ(ownerOf(rewriteExifUpright(cut, 64, 48).block, c.header.size()), kOwner)
            << c.what;
    }
}

}  // namespace
}  // namespace vellora::imaging
