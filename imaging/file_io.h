#pragma once
// File access for the image library: opening a picture without ever blocking on
// something that is not a regular file, and replacing a file atomically.

#include <cstdint>
#include <span>
#include <string>

#include "platform/unique_fd.h"

namespace vellora::imaging {

struct OpenedFile {
    UniqueFd fd;
    std::int64_t size = 0;
    std::string error;  // empty on success
};

// Opens `path` for reading when it is a regular file. A FIFO, device, socket or
// directory fails at once (it is never opened in a way that could block).
[[nodiscard]] OpenedFile openPictureFile(const char* path);

// Writes `bytes` to `path` through a new file in the same directory that is flushed to
// disk, given the replaced file's owner, group and permissions, and only then given the
// name `path`: an unnamed file (O_TMPFILE) linked into place where the file system has
// them, so that even a killed process leaves nothing behind, else a uniquely named file
// renamed over `path`; the folder is flushed afterwards. On failure the temporary file
// is removed, an existing `path` is left as it was, and the reason is returned; "" on
// success. `ownershipNote` (when given) is set when the owner or permissions could not
// be kept. A `path` that is a symbolic link to a file writes that file and keeps the link.
[[nodiscard]] std::string replaceFileAtomically(const char* path,
                                                std::span<const std::uint8_t> bytes,
                                                std::string* ownershipNote = nullptr);

}  // namespace vellora::imaging
