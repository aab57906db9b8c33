#include "file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>

#include "platform/file_kind.h"
#include "platform/file_ownership.h"

namespace vellora::imaging {
namespace {

std::string systemError(int error) {
    char buffer[256] = {};
    // The GNU strerror_r returns the text (which may or may not be in `buffer`).
    return ::strerror_r(error, buffer, sizeof buffer);
}

std::string quoted(const std::string& path) {
    return "'" + path + "'";
}

bool writeAll(int fd, const std::uint8_t* data, std::size_t size, int& error) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            error = errno;
            return false;
        }
        if (written == 0) {
            error = EIO;
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

// A name no other writer picks: process, a per-process counter and a random part.
std::string temporaryName(const std::string& directory, const std::string& base) {
    static std::atomic<unsigned> counter{0};
    thread_local std::mt19937_64 random{std::random_device{}()};
    char suffix[64];
    std::snprintf(suffix, sizeof suffix, ".%ld-%u-%08llx.tmp", static_cast<long>(::getpid()),
                  counter.fetch_add(1), static_cast<unsigned long long>(random() & 0xffffffffu));
    // Short enough for any file system's name limit, whatever the target's length.
    return directory + "/." + base.substr(0, 100) + suffix;
}

// Gives the unnamed file `fd` the name `name`; 0 or the errno of the failure. Without
// the capability AT_EMPTY_PATH needs, through /proc (ENOENT then means neither works).
int linkUnnamed(int fd, const std::string& name) {
    if (::linkat(fd, "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH) == 0) {
        return 0;
    }
    if (errno == EEXIST) {
        return EEXIST;
    }
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    return ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0 ? 0
                                                                                            : errno;
}

// Readies the new file `fd` that will take `path`'s place: it gets the replaced file's
// (`existing`) owner, group, permissions and attributes, what the process may not give
// back told in `ownershipNote` and the file written all the same; a file new to `path`
// is its owner's to read and write (read back by name: the windows' working file).
void takeOver(int fd, const char* path, const struct stat* existing, std::string* ownershipNote) {
    if (!existing) {
        letOwnerReadAndWrite(fd);
        return;
    }
    const KeptOwnership kept = keepOwnership(fd, path, *existing);
    if (ownershipNote && !kept.complete()) {
        *ownershipNote = kept.note;
    }
}

// The unnamed route: the data goes into a file without a name (O_TMPFILE), which gets
// one only once it is complete and on disk. A process killed half-way, even by SIGKILL,
// leaves nothing behind. Returns false, having changed nothing, when the file system
// cannot make such a file or name it afterwards; otherwise true with `failure` empty on
// success or the reason.
bool replaceThroughUnnamedFile(const std::string& directory, const std::string& base,
                               const char* path, std::span<const std::uint8_t> bytes,
                               const struct stat* existing, std::string* ownershipNote,
                               std::string& failure) {
    const std::string target(path);
    UniqueFd fd(::open(directory.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666));
    if (!fd) {
        return false;  // not supported here (or not allowed: the named route says why)
    }
    takeOver(fd.get(), path, existing, ownershipNote);
    int error = 0;
    if (!writeAll(fd.get(), bytes.data(), bytes.size(), error)) {
        failure = "cannot write " + quoted(target) + ": " + systemError(error);
        return true;  // the unnamed file goes with its descriptor
    }
    if (::fsync(fd.get()) != 0) {
        failure = "cannot flush " + quoted(target) + " to disk: " + systemError(errno);
        return true;
    }
    // A new file is named at once, atomically; one that exists is replaced through a
    // temporary name, which exists only between the link and the rename.
    if (!existing) {
        error = linkUnnamed(fd.get(), target);
        if (error == 0) {
            noteReplaceStep("rename");  // the step that gives the file its name
            return true;
        }
        if (error == ENOENT && ::access("/proc/self/fd", F_OK) != 0) {
            return false;  // cannot name it at all
        }
        if (error != EEXIST) {
            failure = "cannot write " + quoted(target) + ": " + systemError(error);
            return true;
        }
    }
    std::string temporary;
    for (int attempt = 0; attempt < 100; ++attempt) {
        temporary = temporaryName(directory, base);
        error = linkUnnamed(fd.get(), temporary);
        if (error != EEXIST) {
            break;
        }
    }
    if (error == ENOENT && ::access("/proc/self/fd", F_OK) != 0) {
        return false;
    }
    if (error != 0) {
        failure = "cannot create a file in " + quoted(directory) + ": " + systemError(error);
        return true;
    }
    if (::rename(temporary.c_str(), path) != 0) {
        failure = "cannot replace " + quoted(target) + ": " + systemError(errno);
        ::unlink(temporary.c_str());
        return true;
    }
    noteReplaceStep("rename");
    return true;
}

}  // namespace

OpenedFile openPictureFile(const char* path) {
    OpenedFile result;
    if (!path || !*path) {
        result.error = "no file name given";
        return result;
    }
    // Look before opening: opening a FIFO or a device can block or have side effects.
    struct stat before {};
    if (::stat(path, &before) != 0) {
        result.error = "cannot open " + quoted(path) + ": " + systemError(errno);
        return result;
    }
    if (!S_ISREG(before.st_mode)) {
        result.error = "cannot read " + quoted(path) + ": it is " + fileKind(before.st_mode) +
                       ", not a regular file";
        return result;
    }
    // O_NONBLOCK: should the name have been swapped for a FIFO since the look, the
    // open still returns at once and the check below refuses it.
    UniqueFd fd(::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!fd) {
        result.error = "cannot open " + quoted(path) + ": " + systemError(errno);
        return result;
    }
    struct stat opened {};
    if (::fstat(fd.get(), &opened) != 0) {
        result.error = "cannot read " + quoted(path) + ": " + systemError(errno);
        return result;
    }
    if (!S_ISREG(opened.st_mode)) {
        result.error = "cannot read " + quoted(path) + ": it is " + fileKind(opened.st_mode) +
                       ", not a regular file";
        return result;
    }
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags >= 0) {
        (void)::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
    }
    result.size = static_cast<std::int64_t>(opened.st_size);
    result.fd = std::move(fd);
    return result;
}

std::string replaceFileAtomically(const char* path, std::span<const std::uint8_t> bytes,
                                  std::string* ownershipNote) {
    if (!path || !*path) {
        return "no file name given";
    }
    std::string target(path);
    struct stat named {};
    if (::lstat(path, &named) == 0 && S_ISLNK(named.st_mode)) {
        // Write the file a link names and keep the link, as cp or a shell's > would:
        // the new file is made beside the linked one, so the rename stays on its disk.
        // A dangling link is replaced as a name of its own.
        if (std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path, nullptr),
                                                                 &std::free);
            resolved) {
            target = resolved.get();
        }
    }
    path = target.c_str();
    const std::size_t slash = target.find_last_of('/');
    std::string directory = slash == std::string::npos ? "." : target.substr(0, slash);
    if (directory.empty()) {
        directory = "/";
    }
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    if (base.empty()) {
        return "cannot write " + quoted(target) + ": the name is a directory";
    }

    struct stat existing {};
    const bool targetExists = ::stat(path, &existing) == 0;
    if (targetExists && S_ISDIR(existing.st_mode)) {
        return "cannot write " + quoted(target) + ": it is a directory";
    }
    if (targetExists && !S_ISREG(existing.st_mode)) {
        // A device, pipe or socket (or a link to one): the rename would replace the
        // node itself, and a root user saving to /dev/null would take it away.
        return "cannot write " + quoted(target) +
               ": it is not a regular file (a device, pipe or socket)";
    }

    std::string unnamedFailure;
    if (replaceThroughUnnamedFile(directory, base, path, bytes, targetExists ? &existing : nullptr,
                                  ownershipNote, unnamedFailure)) {
        if (unnamedFailure.empty()) {
            (void)syncFolderOf(target);  // make the new name durable
        }
        return unnamedFailure;
    }

    // The named route, where the file system has no unnamed files: a uniquely named
    // temporary file beside the target, removed on every failure.
    std::string temporary;
    UniqueFd fd;
    for (int attempt = 0; attempt < 100 && !fd; ++attempt) {
        temporary = temporaryName(directory, base);
        // 0666 less the umask, like any new file; an existing target's mode is kept.
        fd = UniqueFd(
            ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666));
        if (!fd && errno != EEXIST) {
            return "cannot create a file in " + quoted(directory) + ": " + systemError(errno);
        }
    }
    if (!fd) {
        return "cannot create a file in " + quoted(directory) + ": no free temporary name";
    }

    int error = 0;
    std::string failure;
    takeOver(fd.get(), path, targetExists ? &existing : nullptr, ownershipNote);
    if (!writeAll(fd.get(), bytes.data(), bytes.size(), error)) {
        failure = "cannot write " + quoted(temporary) + ": " + systemError(error);
    } else if (::fsync(fd.get()) != 0) {
        failure = "cannot flush " + quoted(temporary) + " to disk: " + systemError(errno);
    } else if (!fd.close()) {
        failure = "cannot write " + quoted(temporary) + ": " + systemError(errno);
    } else if (::rename(temporary.c_str(), path) != 0) {
        failure = "cannot replace " + quoted(target) + ": " + systemError(errno);
    } else {
        noteReplaceStep("rename");
    }
    if (!failure.empty()) {
        fd.reset();  // close before removing
        ::unlink(temporary.c_str());
        return failure;
    }
    // Make the rename itself durable; a failure here no longer endangers the file.
    (void)syncFolderOf(target);
    return {};
}

}  // namespace vellora::imaging
