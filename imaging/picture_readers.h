#pragma once
// The two readers behind the library's read entries. Each returns a new picture
// buffer (rgb_buffer.h) with the pixels upright, or the reason it could not.

#include <string>
#include <utility>

#include "platform/globalmem.h"

namespace vellora::imaging {

struct ReadResult {
    HGLOBAL handle = nullptr;  // null on failure
    int width = 0;
    int height = 0;
    std::string error;
};

[[nodiscard]] inline ReadResult failed(std::string error) {
    ReadResult result;
    result.error = std::move(error);
    return result;
}

[[nodiscard]] inline ReadResult succeeded(HGLOBAL handle, int width, int height) {
    ReadResult result;
    result.handle = handle;
    result.width = width;
    result.height = height;
    return result;
}

[[nodiscard]] ReadResult readJpegFile(const char* path);
[[nodiscard]] ReadResult readBmpFile(const char* path);

// Lets Qt's readers allocate pictures as large as this library accepts. Called once
// before the first BMP read (Qt's limit is process-wide).
void raiseQtAllocationLimit();

}  // namespace vellora::imaging
