#pragma once
// What a name leads to when it is not a regular file, for messages that refuse it.

#include <sys/stat.h>

namespace vellora {

// "a directory", "a pipe", "a device", "a socket", or "not a regular file" for others.
[[nodiscard]] inline const char* fileKind(mode_t mode) {
    if (S_ISDIR(mode)) {
        return "a directory";
    }
    if (S_ISFIFO(mode)) {
        return "a pipe";
    }
    if (S_ISCHR(mode) || S_ISBLK(mode)) {
        return "a device";
    }
    if (S_ISSOCK(mode)) {
        return "a socket";
    }
    return "not a regular file";
}

}  // namespace vellora
