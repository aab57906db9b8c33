#pragma once
// The steps around renaming a new file over an old one that keep what the user had:
// the old file's owner, group, permission bits, access control list and other extended
// attributes go to the new file before the rename, and the folder is flushed after it so the rename
// survives a power loss. Every step reports itself to an observer, so tests can check the order in
// which a caller takes them.

#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "globalmem.h"

namespace vellora {

struct KeptOwnership {
    bool ownerKept = true;       // owner and group
    bool modeKept = true;        // permission bits
    bool attributesKept = true;  // extended attributes, the access control list among them
    // Empty when everything was kept; otherwise whose the file is now and why, e.g.
    // "now owned by root:root, not nobody:nogroup (Operation not permitted)".
    std::string note;
    [[nodiscard]] bool complete() const { return ownerKept && modeKept && attributesKept; }
};

// Gives the open file `fd` the owner, group, permission bits and extended attributes
// of the file at `previousPath`, about to be replaced, whose facts are `previous`.
// Changing the owner needs privilege; when the process lacks it the file stays the
// caller's and the note says so. The order matters: the plain attributes go first,
// while the new file is still the caller's to change; then the owner, whose change
// clears the set-user-ID bits; then the mode; and the access control list last, since
// a mode change rewrites its mask. Without the list, a file whose list gave one
// user write access would come back with that access handed to its whole group (the
// group bits of a file with a list are the list's mask).
[[nodiscard]] VELLORA_PLATFORM_API KeptOwnership keepOwnership(int fd, const char* previousPath,
                                                               const struct stat& previous);

// Gives the open file `fd`, one the caller just made, read and write access for its
// owner if the umask took either (0477, 0777): the program reads back and replaces its
// own files by name. Group and other bits are left as the umask made them.
VELLORA_PLATFORM_API void letOwnerReadAndWrite(int fd);

// One version of a file, to tell before replacing it whether it is still the one that
// was read: a save through a new file changes the inode, one in place the size or the
// times (the change time moves with any change at all, permissions included).
struct FileVersion {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t size = 0;
    std::int64_t modifiedNs = 0;  // nanoseconds since the epoch
    std::int64_t changedNs = 0;
    mode_t mode = 0;  // kind and permissions (a change to them moves the change time)
    bool operator==(const FileVersion&) const = default;
};
[[nodiscard]] inline FileVersion fileVersion(const struct stat& info) {
    constexpr std::int64_t kNsPerSecond = 1'000'000'000;
    return {info.st_dev,
            info.st_ino,
            info.st_size,
            static_cast<std::int64_t>(info.st_mtim.tv_sec) * kNsPerSecond + info.st_mtim.tv_nsec,
            static_cast<std::int64_t>(info.st_ctim.tv_sec) * kNsPerSecond + info.st_ctim.tv_nsec,
            info.st_mode};
}

// Flushes the folder that holds `path` to disk, making a rename or a new name in it
// durable. "" on success, otherwise the reason.
[[nodiscard]] VELLORA_PLATFORM_API std::string syncFolderOf(const std::string& path);

// "user:group" for the ids, by name where the system knows them, by number otherwise.
[[nodiscard]] VELLORA_PLATFORM_API std::string ownerText(uid_t owner, gid_t group);

// The seam: every step of a replacement ("fchown", "fchmod", "rename", "fsync-folder")
// is reported to the observer, when one is set. Callers that rename themselves report
// "rename" through noteReplaceStep. Null removes the observer.
using ReplaceStepObserver = void (*)(const char* step);
VELLORA_PLATFORM_API void setReplaceStepObserver(ReplaceStepObserver observer);
VELLORA_PLATFORM_API void noteReplaceStep(const char* step);

}  // namespace vellora
