// Read, crop, save and read again, with the rectangle, quality and save flags taken
// from the input's first bytes and the picture from the rest. Whatever the numbers,
// a crop that overlaps the picture yields the clipped cut-out, it saves, and the
// saved file reads back at the cut-out's size; a crop that does not overlap fails
// with a reason.

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/fuzz_support.h"
#include "fuzz/read_check.h"

namespace {

constexpr std::size_t kParameterBytes = 11;

std::int32_t signed16(const std::uint8_t* bytes) {
    return static_cast<std::int16_t>(bytes[0] | bytes[1] << 8);
}

// A private folder for the saved files under $TMPDIR, made once per process and
// removed with it when the process ends normally (scripts/fuzz.sh removes the rest).
class OutputFolder {
public:
    OutputFolder() {
        const char* tmpdir = std::getenv("TMPDIR");
        const char* base = tmpdir && *tmpdir ? tmpdir : "/tmp";
        m_path = std::string(base) + "/vellora-fuzz-XXXXXX";
        if (!::mkdtemp(m_path.data())) {
            std::perror("mkdtemp");
            std::abort();
        }
    }
    ~OutputFolder() {
        (void)::unlink(file().c_str());
        (void)::rmdir(m_path.c_str());
    }
    OutputFolder(const OutputFolder&) = delete;
    OutputFolder& operator=(const OutputFolder&) = delete;

    [[nodiscard]] std::string file() const { return m_path + "/out.jpg"; }

private:
    std::string m_path;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using vellora::fuzz::require;
    if (size < kParameterBytes) {
        return 0;
    }
    const bool bitmap = (data[0] & 1) != 0;
    const std::int32_t flags = (data[0] >> 1) & 7;  // every defined save flag
    // -10 .. 245: the library clamps qualities outside 1..100.
    const std::int32_t quality = static_cast<std::int32_t>(data[1]) - 10;
    const std::int32_t left = signed16(data + 2);
    const std::int32_t top = signed16(data + 4);
    const std::int32_t right = left + signed16(data + 6);
    const std::int32_t bottom = top + signed16(data + 8);
    const bool sourceFlag = (data[10] & 1) != 0;  // save the whole picture instead

    const vellora::fuzz::MemoryFile file(data + kParameterBytes, size - kParameterBytes);
    int width = 0, height = 0;
    vellora::GlobalBlock picture =
        vellora::fuzz::readAndCheck(file.path(), bitmap, &width, &height);
    if (!picture) {
        return 0;
    }
    void* source = picture.lock();
    require(source != nullptr, "the picture locks");

    vellora::GlobalBlock cut;
    void* pixels = source;
    std::int32_t saveWidth = width, saveHeight = height;
    int expectedWidth = width, expectedHeight = height;
    if (!sourceFlag) {
        cut = vellora::GlobalBlock(ImgDLLCropRGB(source, width, height, left, top, right, bottom));
        const std::int64_t clippedWidth =
            std::min<std::int64_t>(right, width) - std::max<std::int64_t>(left, 0);
        const std::int64_t clippedHeight =
            std::min<std::int64_t>(bottom, height) - std::max<std::int64_t>(top, 0);
        const bool overlaps = right > left && bottom > top && clippedWidth > 0 && clippedHeight > 0;
        if (!overlaps) {
            require(!cut, "a crop outside the picture fails");
            require(*ImgDLLGetLastError() != '\0', "a failed crop gives a reason");
            return 0;
        }
        require(static_cast<bool>(cut), "a crop that overlaps the picture succeeds",
                ImgDLLGetLastError());
        pixels = cut.lock();
        require(pixels != nullptr, "the cut-out locks");
        saveWidth = right - left;  // the save takes the size the crop was asked for
        saveHeight = bottom - top;
        expectedWidth = static_cast<int>(clippedWidth);
        expectedHeight = static_cast<int>(clippedHeight);
    }

    static const OutputFolder folder;
    const std::string output = folder.file();
    const std::int32_t saved =
        ImgDLLSaveRGBToJPG(output.c_str(), pixels, saveWidth, saveHeight, quality, flags);
    require(saved == 1, "a valid picture saves", ImgDLLGetLastError());
    int readWidth = 0, readHeight = 0;
    vellora::GlobalBlock back =
        vellora::fuzz::readAndCheck(output.c_str(), /*bitmap=*/false, &readWidth, &readHeight);
    require(static_cast<bool>(back), "the saved file reads back", ImgDLLGetLastError());
    require(readWidth == expectedWidth && readHeight == expectedHeight,
            "the saved file has the cut-out's size",
            std::to_string(readWidth) + "x" + std::to_string(readHeight) + " not " +
                std::to_string(expectedWidth) + "x" + std::to_string(expectedHeight));
    return 0;
}
