#pragma once
// One read through the library's entries, with the promises every read keeps: a
// handle comes with its size and an empty error, a failure with a reason.

#include <cstring>
#include <string>

#include "fuzz/fuzz_support.h"
#include "imaging/imgdll_api.h"
#include "imaging/rgb_buffer.h"
#include "platform/global_block.h"

namespace vellora::fuzz {

// Reads `path`; returns the picture (empty block on failure) and its size.
inline GlobalBlock readAndCheck(const char* path, bool bitmap, int* widthOut = nullptr,
                                int* heightOut = nullptr) {
    std::int32_t width = -1, height = -1;
    GlobalBlock block(bitmap ? ImgDLLReadRGBFromBMP(path, &width, &height)
                             : ImgDLLReadRGBFromJPG(path, &width, &height));
    const std::string error = ImgDLLGetLastError();
    if (!block) {
        require(!error.empty(), "a failed read gives a reason");
        return block;
    }
    require(error.empty(), "a successful read leaves no error", error);
    require(width > 0 && height > 0, "a picture has pixels");
    void* pointer = block.lock();
    require(pointer != nullptr, "the picture's block locks");
    imaging::RgbBufferHeader header;
    std::memcpy(&header, pointer, sizeof header);
    require(header.width == width && header.height == height, "the buffer has the reported size");
    // Read every pixel: a buffer shorter than its header claims is an overflow the
    // address sanitizer reports.
    const auto* pixels = static_cast<const unsigned char*>(pointer) + imaging::kHeaderBytes;
    unsigned sum = 0;
    const std::size_t bytes = static_cast<std::size_t>(width) * height * 3;
    for (std::size_t i = 0; i < bytes; ++i) {
        sum += pixels[i];
    }
    volatile unsigned sink = sum;
    (void)sink;
    block.unlock();
    if (widthOut) {
        *widthOut = width;
    }
    if (heightOut) {
        *heightOut = height;
    }
    return block;
}

}  // namespace vellora::fuzz
