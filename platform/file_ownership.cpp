#include "file_ownership.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <vector>

#include "unique_fd.h"

namespace vellora {
namespace {

std::atomic<ReplaceStepObserver> g_observer{nullptr};

std::string systemError(int error) {
    char buffer[256] = {};
    return ::strerror_r(error, buffer, sizeof buffer);
}

std::string userName(uid_t owner) {
    std::vector<char> buffer(4096);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(owner, &entry, buffer.data(), buffer.size(), &found) == 0 && found) {
        return found->pw_name;
    }
    return std::to_string(owner);
}

std::string groupName(gid_t group) {
    std::vector<char> buffer(4096);
    struct group entry {};
    struct group* found = nullptr;
    if (::getgrgid_r(group, &entry, buffer.data(), buffer.size(), &found) == 0 && found) {
        return found->gr_name;
    }
    return std::to_string(group);
}

constexpr const char* kAccessList = "system.posix_acl_access";

// The names of `path`'s extended attributes; empty when it has none or the file
// system keeps none.
std::vector<std::string> attributeNames(const char* path) {
    std::vector<char> list;
    for (int attempt = 0; attempt < 4; ++attempt) {  // the list may grow between calls
        const ssize_t size = ::listxattr(path, nullptr, 0);
        if (size <= 0) {
            return {};
        }
        list.resize(static_cast<std::size_t>(size));
        const ssize_t got = ::listxattr(path, list.data(), list.size());
        if (got >= 0) {
            list.resize(static_cast<std::size_t>(got));
            break;
        }
        if (errno != ERANGE) {
            return {};
        }
        list.clear();
    }
    std::vector<std::string> names;
    for (std::size_t start = 0; start < list.size();) {
        const std::size_t end = std::find(list.begin() + start, list.end(), '\0') - list.begin();
        if (end > start) {
            names.emplace_back(list.data() + start, end - start);
        }
        start = end + 1;
    }
    return names;
}

// Copies one attribute; "" when done (or when it vanished meanwhile), else the reason.
std::string copyAttribute(const char* from, const std::string& name, int to) {
    std::vector<char> value;
    for (int attempt = 0; attempt < 4; ++attempt) {
        const ssize_t size = ::getxattr(from, name.c_str(), nullptr, 0);
        if (size < 0) {
            return errno == ENODATA ? std::string() : systemError(errno);
        }
        value.resize(static_cast<std::size_t>(size));
        const ssize_t got = ::getxattr(from, name.c_str(), value.data(), value.size());
        if (got >= 0) {
            value.resize(static_cast<std::size_t>(got));
            return ::fsetxattr(to, name.c_str(), value.data(), value.size(), 0) == 0
                       ? std::string()
                       : systemError(errno);
        }
        if (errno != ERANGE) {
            return errno == ENODATA ? std::string() : systemError(errno);
        }
    }
    return systemError(ERANGE);
}

std::string modeText(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

}  // namespace

std::string ownerText(uid_t owner, gid_t group) {
    return userName(owner) + ":" + groupName(group);
}

KeptOwnership keepOwnership(int fd, const char* previousPath, const struct stat& previous) {
    KeptOwnership kept;
    struct stat now {};
    if (::fstat(fd, &now) != 0) {
        kept.ownerKept = kept.modeKept = kept.attributesKept = false;
        kept.note = "cannot look at the new file: " + systemError(errno);
        return kept;
    }
    const std::vector<std::string> names = attributeNames(previousPath);
    std::string attributeFailures;
    std::string inheritedList;  // a default list the new file took and could not drop
    const auto copy = [&](const std::string& name) {
        const std::string failure = copyAttribute(previousPath, name, fd);
        // A security label is the system's to give (the folder's label is right for
        // a new file there); only what the user set is missed.
        if (!failure.empty() && name.rfind("security.", 0) != 0) {
            attributeFailures +=
                (attributeFailures.empty() ? "" : ", ") + name + " (" + failure + ")";
        }
    };
    for (const std::string& name : names) {
        if (name != kAccessList) {
            noteReplaceStep("xattr");
            copy(name);
        }
    }
    std::string ownerFailure;
    if (now.st_uid != previous.st_uid || now.st_gid != previous.st_gid) {
        noteReplaceStep("fchown");
        if (::fchown(fd, previous.st_uid, previous.st_gid) != 0) {
            const int error = errno;
            // Without privilege the group alone may still be ours to give (a group
            // the user belongs to).
            if (now.st_gid != previous.st_gid) {
                // Best effort: the owner failure below is what gets told.
                (void)!::fchown(fd, static_cast<uid_t>(-1), previous.st_gid);
            }
            ownerFailure = systemError(error);
        }
    }
    noteReplaceStep("fchmod");
    const bool modeSet = ::fchmod(fd, previous.st_mode & 07777) == 0;
    const int modeError = errno;
    if (std::find(names.begin(), names.end(), kAccessList) != names.end()) {
        noteReplaceStep("acl");
        copy(kAccessList);
    } else if (::fremovexattr(fd, kAccessList) != 0 && errno != ENODATA && errno != ENOTSUP) {
        // The new file may have taken its folder's default list, which the replaced
        // file did not have (or no longer had): a private picture would come back
        // readable by whoever that list names.
        inheritedList =
            "now with its folder's default access list, which the replaced file "
            "did not have (" +
            systemError(errno) + ")";
    }
    kept.attributesKept = attributeFailures.empty() && inheritedList.empty();

    if (::fstat(fd, &now) == 0) {
        kept.ownerKept = now.st_uid == previous.st_uid && now.st_gid == previous.st_gid;
        kept.modeKept = (now.st_mode & 07777) == (previous.st_mode & 07777);
    } else {
        kept.ownerKept = ownerFailure.empty();
        kept.modeKept = modeSet;
    }
    if (!kept.ownerKept) {
        kept.note = "now owned by " + ownerText(now.st_uid, now.st_gid) + ", not " +
                    ownerText(previous.st_uid, previous.st_gid);
        if (!ownerFailure.empty()) {
            kept.note += " (" + ownerFailure + ")";
        }
    }
    if (!kept.modeKept) {
        if (!kept.note.empty()) {
            kept.note += "; ";
        }
        kept.note +=
            "permissions now " + modeText(now.st_mode) + ", not " + modeText(previous.st_mode);
        if (!modeSet) {
            kept.note += " (" + systemError(modeError) + ")";
        }
    }
    if (!kept.attributesKept) {
        if (!kept.note.empty()) {
            kept.note += "; ";
        }
        if (!attributeFailures.empty()) {
            kept.note += "now without its extended attributes " + attributeFailures;
        }
        if (!inheritedList.empty()) {
            kept.note += (attributeFailures.empty() ? "" : "; ") + inheritedList;
        }
    }
    return kept;
}

void letOwnerReadAndWrite(int fd) {
    struct stat made {};
    if (::fstat(fd, &made) == 0 && (made.st_mode & (S_IRUSR | S_IWUSR)) != (S_IRUSR | S_IWUSR)) {
        (void)::fchmod(fd, (made.st_mode & 07777) | S_IRUSR | S_IWUSR);
    }
}

std::string syncFolderOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
    if (folder.empty()) {
        folder = "/";
    }
    noteReplaceStep("fsync-folder");
    const UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd) {
        return "cannot open the folder '" + folder + "': " + systemError(errno);
    }
    std::string failure;
    if (::fsync(fd.get()) != 0 && errno != EINVAL) {  // EINVAL: a file system without it
        failure = "cannot flush the folder '" + folder + "' to disk: " + systemError(errno);
    }
    return failure;
}

void setReplaceStepObserver(ReplaceStepObserver observer) {
    g_observer.store(observer);
}

void noteReplaceStep(const char* step) {
    if (const ReplaceStepObserver observer = g_observer.load()) {
        observer(step);
    }
}

}  // namespace vellora
