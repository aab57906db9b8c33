#pragma once
// The steps around renaming a new file over an old one that keep what the user had:
// the old file's owner, group and permission bits go to the new file before the
// rename, and the folder is flushed after it so the rename survives a power loss.
// Every step reports itself to an observer, so tests can check the order in which a
// caller takes them.

#include <sys/stat.h>

#include <string>

#include "globalmem.h"

namespace vellora {

struct KeptOwnership {
    bool ownerKept = true;  // owner and group
    bool modeKept = true;   // permission bits
    // Empty when everything was kept; otherwise whose the file is now and why, e.g.
    // "now owned by root:root, not nobody:nogroup (Operation not permitted)".
    std::string note;
    [[nodiscard]] bool complete() const { return ownerKept && modeKept; }
};

// Gives the open file `fd` the owner, group and permission bits of `previous` (the
// file about to be replaced). Changing the owner needs privilege; when the process
// lacks it the file stays the caller's and the note says so. The owner goes first:
// a change of owner clears the set-user-ID bits that the mode then restores.
[[nodiscard]] VELLORA_PLATFORM_API KeptOwnership keepOwnership(int fd, const struct stat& previous);

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
