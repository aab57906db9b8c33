// Any bytes through the JPEG read entry: a picture whose buffer matches the size
// reported, or a null handle with a reason; never a crash, a leak or a hang. And a
// picture the entry reads (with two decoders where it is large) must be what one
// libjpeg decoder makes of the whole file.

#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "fuzz/read_check.h"
#include "imaging/libjpeg_bridge.h"

namespace {

// The file through one libjpeg decoder as RGB rows (empty for CMYK, which the read
// entry converts itself); nothing when the decoder refuses it.
std::optional<std::vector<std::uint8_t>> decodeWhole(const std::uint8_t* data, std::size_t size,
                                                     int& width, int& height) {
    std::vector<std::uint8_t> rgb;
    vellora::jpeg::Decompressor decompressor;
    jpeg_decompress_struct* info = decompressor.info();
    const bool ok = vellora::jpeg::runGuarded(decompressor.bridge(), [&] {
        jpeg_mem_src(info, data, static_cast<unsigned long>(size));
        (void)jpeg_read_header(info, TRUE);
        if (info->jpeg_color_space == JCS_CMYK || info->jpeg_color_space == JCS_YCCK) {
            return;
        }
        info->out_color_space = JCS_RGB;
        jpeg_start_decompress(info);
        width = static_cast<int>(info->output_width);
        height = static_cast<int>(info->output_height);
        rgb.resize(static_cast<std::size_t>(width) * height * 3);
        while (info->output_scanline < info->output_height) {
            JSAMPROW row = rgb.data() + std::size_t{info->output_scanline} * width * 3;
            (void)jpeg_read_scanlines(info, &row, 1);
        }
        jpeg_finish_decompress(info);
    });
    if (!ok) {
        return std::nullopt;
    }
    return rgb;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const vellora::fuzz::MemoryFile file(data, size);
    int width = 0;
    int height = 0;
    vellora::GlobalBlock block =
        vellora::fuzz::readAndCheck(file.path(), /*bitmap=*/false, &width, &height);
    // An APP1 block may carry an orientation the entry applies: left to the tests.
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    if (!block || bytes.find("\xFF\xE1") != std::string_view::npos) {
        return 0;
    }
    int wholeWidth = 0;
    int wholeHeight = 0;
    const auto whole = decodeWhole(data, size, wholeWidth, wholeHeight);
    vellora::fuzz::require(whole.has_value(), "a file the entry reads, one decoder reads");
    if (whole->empty()) {
        return 0;  // CMYK
    }
    vellora::fuzz::require(wholeWidth == width && wholeHeight == height,
                           "the size is one decoder's");
    const auto* pixels =
        static_cast<const std::uint8_t*>(block.lock()) + vellora::imaging::kHeaderBytes;
    vellora::fuzz::require(std::memcmp(pixels, whole->data(), whole->size()) == 0,
                           "the pixels are one decoder's");
    block.unlock();
    return 0;
}
