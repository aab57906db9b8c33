// Any bytes through the BMP read entry: a picture whose buffer matches the size
// reported, or a null handle with a reason; never a crash, a leak or a hang.

#include <cstdint>

#include "fuzz/fuzz_support.h"
#include "fuzz/read_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const vellora::fuzz::MemoryFile file(data, size);
    vellora::fuzz::readAndCheck(file.path(), /*bitmap=*/true);
    return 0;
}
