// Any bytes through the BMP read entry: a picture whose buffer matches the size
// reported, or a null handle with a reason; never a crash, a leak or a hang. The
// windows' loader never shows a bitmap the entry refuses, nor at another size.

#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "fuzz/read_check.h"
#include "imaging/picture_loader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using vellora::fuzz::require;
    const vellora::fuzz::MemoryFile file(data, size);
    int width = 0, height = 0;
    const bool read = static_cast<bool>(
        vellora::fuzz::readAndCheck(file.path(), /*bitmap=*/true, &width, &height));
    const std::string error = ImgDLLGetLastError();
    // The windows show other kinds of picture too; the comparison is for bitmaps. And the
    // two keep their own limits on a picture's size; past the library's, the windows'
    // answer may differ and costs a gigabyte to find out.
    if (size < 2 || data[0] != 'B' || data[1] != 'M') {
        return 0;
    }
    if (!read && (error.find("too large") != std::string::npos ||
                  error.find("memory") != std::string::npos)) {
        return 0;
    }
    // A run-length bitmap of a hundred bytes may say "the rest is background" for 80
    // megapixels, which the library reads correctly; decoding it a second time under the
    // sanitizers outlasts the fuzzer's time limit and finds nothing the small ones miss.
    constexpr long long kLargestCompared = 16LL * 1000 * 1000;
    if (read && static_cast<long long>(width) * height > kLargestCompared) {
        return 0;
    }
    const vellora::LoadedPicture shown = vellora::loadPicture(QString::fromLocal8Bit(file.path()));
    // Qt's decoder refuses a few bitmaps the library's own reader of plain 24- and 32-bit
    // files takes (four colour planes, say); the window then says so. What it may never
    // do is show a bitmap the library refuses, or at another size.
    require(!shown.ok() || read, "the window shows a bitmap only when the library reads it", error);
    if (shown.ok()) {
        require(shown.image.width() == width && shown.image.height() == height,
                "the window shows the bitmap at the size the library reads");
    }
    return 0;
}
