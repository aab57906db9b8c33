#include "platform.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QUrl>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

#include "unique_fd.h"

namespace vellora {
namespace {

std::uint32_t copyToBuffer(const std::string& text, char* buffer, std::uint32_t size) {
    if (text.empty()) {
        return 0;
    }
    const auto length = static_cast<std::uint32_t>(text.size());
    if (buffer == nullptr || size <= length) {
        return length + 1;
    }
    std::memcpy(buffer, text.data(), length);
    buffer[length] = '\0';
    return length;
}

// A private directory is "vellora-" and six random characters. It is made as
// "vellora-making-" with the same six, and takes its name once it holds its lock file;
// it is renamed "vellora-removing-..." before it is emptied. So a directory killed in
// the middle of either step is still known by its name, even empty: an empty
// "vellora-xxxxxx" may be a folder of the user's and is never touched.
constexpr const char* kPrivatePrefix = "vellora-";
constexpr const char* kMakingPrefix = "vellora-making-";
constexpr const char* kRemovingPrefix = "vellora-removing-";
constexpr int kPrivateRandomLength = 6;  // mkdtemp's XXXXXX

// Renames `from` to `to` unless `to` exists (a directory renamed over an empty one
// would replace it).
bool renameNoReplace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return true;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return false;
    }
    // A file system without the flag: look first.
    struct stat facts {};
    return ::lstat(to.c_str(), &facts) != 0 && errno == ENOENT &&
           ::rename(from.c_str(), to.c_str()) == 0;
}

// Whether `path` names the file open as `fd` (not one unlinked and replaced since).
bool namesOpenFile(const std::string& path, int fd) {
    struct stat opened {};
    struct stat named {};
    return fd >= 0 && ::fstat(fd, &opened) == 0 && ::lstat(path.c_str(), &named) == 0 &&
           opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

// A private directory's lock file, open and locked for as long as this object lives.
// The kernel drops the lock when the process ends in any way, SIGKILL included, which
// is how a later start tells a live instance's directory from a dead one's.
//
// Whoever takes a lock file's lock first decides what happens to its directory: the
// instance that made it, or a later start clearing up. So the lock file is made under a
// scratch name, locked, and only then renamed into place; and an instance that finds
// its scratch lock already taken gives the directory up. A start that finds a
// directory with a lock file nobody holds, under either name, removes it.
class InstanceLock {
public:
    bool create(const std::string& folder) {
        const std::string scratch = folder + "/" + kInstanceLockName + ".new";
        m_fd.reset(
            ::open(scratch.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
        if (!m_fd) {
            return false;
        }
        // 0600 whatever the umask: a later start must be able to open it to tell a live
        // instance's directory from a dead one's.
        (void)::fchmod(m_fd.get(), 0600);
        if (::flock(m_fd.get(), LOCK_EX | LOCK_NB) != 0) {
            release();  // a start took it first and is removing the directory
            return false;
        }
        const std::string pid = std::to_string(::getpid()) + "\n";
        (void)!::write(m_fd.get(), pid.data(), pid.size());  // for people looking; the lock decides
        if (::rename(scratch.c_str(), (folder + "/" + kInstanceLockName).c_str()) != 0) {
            release();
            return false;
        }
        return true;
    }

    void release() { m_fd.reset(); }

    // A new lock file in `folder`, whose own was removed under it (see makeLocked). It is
    // made and locked under a name no clean-up looks at, and only then given the lock
    // file's name, while the old lock is still held: at no moment can another start's
    // clean-up take the folder for an abandoned one.
    bool replace(const std::string& folder) {
        const std::string scratch = folder + "/" + kInstanceLockName + ".replace";
        (void)::unlink(scratch.c_str());
        UniqueFd fd(
            ::open(scratch.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
        if (!fd || ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
            (void)::unlink(scratch.c_str());
            return false;
        }
        (void)::fchmod(fd.get(), 0600);
        const std::string pid = std::to_string(::getpid()) + "\n";
        (void)!::write(fd.get(), pid.data(), pid.size());
        if (::rename(scratch.c_str(), (folder + "/" + kInstanceLockName).c_str()) != 0) {
            (void)::unlink(scratch.c_str());
            return false;
        }
        m_fd = std::move(fd);  // the old lock goes only now
        return true;
    }

    // Whether `path` still names the file this lock holds.
    [[nodiscard]] bool namedAt(const std::string& path) const {
        return m_fd && namesOpenFile(path, m_fd.get());
    }

private:
    UniqueFd m_fd;  // the lock goes with the descriptor
};

// The lock file `path`, open and locked by us, when it exists and nobody holds it.
UniqueFd takeLock(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (fd && ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        fd.reset();
    }
    // Taken only while it is still the file at that name: one opened before its instance
    // let go of it and unlinked it says nothing of the folder now.
    if (fd && !namesOpenFile(path, fd.get())) {
        fd.reset();
    }
    return fd;
}

// Removes the private directory `folder` with its lock file `lock` last: a process
// killed on the way leaves the lock file, unlocked, and the next start finishes the job.
// (Qt's and the standard library's removals go in listing order, lock file first as
// likely as not, and a directory without one is never taken for ours.)
void removeLockLast(const std::string& folder, const std::string& lock) {
    namespace fs = std::filesystem;
    std::error_code error;
    std::vector<fs::path> entries;
    for (fs::directory_iterator entry(folder, error), end; !error && entry != end;
         entry.increment(error)) {
        if (entry->path() != lock) {
            entries.push_back(entry->path());
        }
    }
    bool cleared = !error;
    for (const fs::path& entry : entries) {
        fs::remove_all(entry, error);  // symbolic links inside are not followed
        cleared = cleared && !error;
    }
    if (cleared) {
        (void)::unlink(lock.c_str());
        (void)::rmdir(folder.c_str());
    }
}

// Removes the private directory `folder` (by its path; its lock file is `lock`, held
// by the caller): renamed "vellora-removing-..." first, so that a kill in the middle
// leaves a name the next start clears whatever is left in it; in place, lock file
// last, should the rename fail.
void removeDirectory(const std::string& folder, const std::string& lock) {
    const std::size_t slash = folder.rfind('/');
    const std::string removing = folder.substr(0, slash + 1) + kRemovingPrefix +
                                 folder.substr(folder.size() - kPrivateRandomLength);
    if (renameNoReplace(folder, removing)) {
        std::error_code error;
        std::filesystem::remove_all(removing, error);  // symbolic links inside are not followed
        return;
    }
    removeLockLast(folder, lock);
}

// Whether `folder` is a real directory of this user's.
bool ownDirectory(const std::string& folder) {
    struct stat info {};
    return ::lstat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
           info.st_uid == ::getuid();
}

// Removes `folder` when it is a private directory whose instance has gone: ours (same
// user), a real directory, and holding a lock file (under either name) that nobody
// holds. A "vellora-making-..." one goes also when empty: its instance was killed
// before it made a lock file, or it makes another once this one is gone.
void removeIfAbandoned(const std::string& folder, bool making) {
    if (!ownDirectory(folder)) {
        return;
    }
    const std::string lock = folder + "/" + kInstanceLockName;
    for (const std::string& name : {lock, lock + ".new"}) {
        if (::access(name.c_str(), F_OK) != 0) {
            continue;
        }
        // Held while the directory goes: its instance, if it still runs, cannot take it.
        if (const UniqueFd taken = takeLock(name)) {
            removeDirectory(folder, name);
        }
        return;
    }
    if (making) {
        (void)::rmdir(folder.c_str());  // only when empty: a lock file may come meanwhile
    }
}

void removeAbandonedDirectories(const QString& temporaryFolder) {
    const QDir folder(temporaryFolder);
    const QString random(kPrivateRandomLength, QLatin1Char('?'));
    const auto each = [&](const char* prefix, const auto& remove) {
        for (const QString& name :
             folder.entryList({QString::fromLatin1(prefix) + random},
                              QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot | QDir::System)) {
            remove(QFile::encodeName(folder.filePath(name)).toStdString());
        }
    };
    each(kPrivatePrefix, [](const std::string& path) { removeIfAbandoned(path, false); });
    each(kMakingPrefix, [](const std::string& path) { removeIfAbandoned(path, true); });
    // Only ever named so by whoever held its lock, to remove it.
    each(kRemovingPrefix, [](const std::string& path) {
        if (ownDirectory(path)) {
            std::error_code error;
            std::filesystem::remove_all(path, error);
        }
    });
}

// Where private directories are made: the temporary folder, unless Qt gives none (TMPDIR
// names a folder that does not exist: the directory would land at the file-system root),
// one so deep that a private directory's path would not fit the program's buffer, or
// one this user cannot make folders in (a file, /proc). Then /tmp, so that the picture
// can still be compressed.
QString privateDirectoryParent() {
    const QString temporary = QDir::tempPath();
    const QByteArray native = QFile::encodeName(temporary);
    const auto length = native.size() + 1 + static_cast<qsizetype>(std::strlen(kPrivatePrefix)) +
                        kPrivateRandomLength;
    struct stat facts {};
    if (temporary.isEmpty() || length >= static_cast<qsizetype>(kWindowsDirectoryBufferSize) ||
        ::stat(native.constData(), &facts) != 0 || !S_ISDIR(facts.st_mode) ||
        ::access(native.constData(), W_OK | X_OK) != 0) {
        return QStringLiteral("/tmp");
    }
    return temporary;
}

class PrivateDirectory {
public:
    static PrivateDirectory& instance() {
        static PrivateDirectory directory;
        return directory;
    }

    ~PrivateDirectory() { remove(); }

    std::string path() {
        std::lock_guard lock(m_mutex);
        return makeLocked();
    }

    void prepare() {
        std::lock_guard lock(m_mutex);
        if (!m_path.empty()) {
            return;
        }
        const QString parent = privateDirectoryParent();
        removeAbandonedDirectories(parent);
        // Made in /tmp instead (see makeLocked): killed runs left theirs there too.
        if (!makeLocked().empty() && parent != QLatin1String("/tmp") &&
            m_path.rfind("/tmp/", 0) == 0 && m_path.find('/', 5) == std::string::npos) {
            removeAbandonedDirectories(QStringLiteral("/tmp"));
        }
    }

    void remove() {
        std::lock_guard lock(m_mutex);
        // Not a folder made under the name since ours was removed: that is another's.
        if (!m_path.empty() && isOurs()) {
            removeDirectory(m_path, m_path + "/" + kInstanceLockName);
        }
        m_path.clear();
        m_lock.release();  // only now: until then a later start must leave it alone
    }

private:
    std::string makeLocked() {
        if (!m_path.empty() && !m_lock.namedAt(m_path + "/" + kInstanceLockName)) {
            // Removed under us, most likely by a cleaner of the temporary folder. The
            // folder itself gone: every pass would fail to write its result for as long
            // as the program runs, so a new one is made, and nothing now under the old
            // name (another's, perhaps) is touched. Only its lock file gone (an age-based
            // cleaner takes the oldest file): the folder is still ours and holds the
            // picture Save As may yet copy, so it stays in use with a new lock file, so
            // that a later start still clears it should this instance be killed. Should
            // that fail, it stays in use without one (no other start touches it then)
            // and this instance removes it at its end.
            if (!isOurs()) {
                m_lock.release();
                m_path.clear();
            } else {
                (void)m_lock.replace(m_path);
            }
        }
        if (m_path.empty()) {
            // In the chosen parent, else in /tmp: a parent the checks cannot judge (root
            // may write anywhere, but makes no folder in /proc) still leaves a place.
            const QString parent = privateDirectoryParent();
            const bool made = makeIn(parent) ||
                              (parent != QLatin1String("/tmp") && makeIn(QStringLiteral("/tmp")));
            if (!made) {
                return {};
            }
        }
        return m_path;
    }

    // Whether the folder at m_path is the one this instance made.
    [[nodiscard]] bool isOurs() const {
        struct stat now {};
        return ::lstat(m_path.c_str(), &now) == 0 && S_ISDIR(now.st_mode) &&
               now.st_dev == m_device && now.st_ino == m_inode;
    }

    bool makeIn(const QString& parent) {
        const std::string folder = QFile::encodeName(parent).toStdString() + "/";
        // A start clearing up may take a directory's scratch lock before its instance
        // does (see InstanceLock), or a name may be taken; then another one is made.
        constexpr int kAttempts = 4;
        for (int attempt = 0; attempt < kAttempts; ++attempt) {
            std::string making = folder + kMakingPrefix + std::string(kPrivateRandomLength, 'X');
            if (::mkdtemp(making.data()) == nullptr) {
                return false;
            }
            const std::string made =
                folder + kPrivatePrefix + making.substr(making.size() - kPrivateRandomLength);
            // Its owner's to use whatever the umask says (0277 left it unwritable).
            if (::chmod(making.c_str(), 0700) == 0 && m_lock.create(making)) {
                if (renameNoReplace(making, made)) {
                    struct stat folder {};
                    (void)::lstat(made.c_str(), &folder);
                    m_path = made;
                    m_device = folder.st_dev;
                    m_inode = folder.st_ino;
                    return true;
                }
                removeLockLast(making, making + "/" + kInstanceLockName);
                m_lock.release();
            }
            // Otherwise a start clearing up took it, and removes it.
        }
        return false;
    }

    std::mutex m_mutex;
    std::string m_path;  // empty until made, and once removed
    dev_t m_device = 0;  // the folder made, to know it from another made under its name
    ino_t m_inode = 0;
    InstanceLock m_lock;
};

// The per-user override folder: $XDG_DATA_HOME/vellora/modules, or
// ~/.local/share/vellora/modules when that is not set (an absolute path only).
std::string overrideDirectory() {
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    if (dataHome && dataHome[0] == '/') {
        return std::string(dataHome) + "/vellora/modules";
    }
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/') {
        return std::string(home) + "/.local/share/vellora/modules";
    }
    return {};
}

std::string installedModuleDirectory() {
    std::error_code error;
    const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) {
        return {};
    }
    auto directory = executable.parent_path().parent_path() / VELLORA_MODULE_SUBDIR;
    auto canonical = std::filesystem::weakly_canonical(directory, error);
    return error ? directory.string() : canonical.string();
}

class SystemPlatform final : public Platform {
public:
    std::uint32_t windowsDirectory(char* buffer, std::uint32_t size) override {
        return copyToBuffer(PrivateDirectory::instance().path(), buffer, size);
    }

    std::uint32_t systemDirectory(char* buffer, std::uint32_t size) override {
        return copyToBuffer(overrideDirectory(), buffer, size);
    }

    std::uint32_t moduleDirectory(char* buffer, std::uint32_t size) override {
        return copyToBuffer(installedModuleDirectory(), buffer, size);
    }

    bool shellExecute(const QObject*, const char*, const char* target, const char*, const char*,
                      int) override {
        if (target == nullptr || *target == '\0') {
            return false;
        }
        return QDesktopServices::openUrl(QUrl::fromUserInput(QString::fromLocal8Bit(target)));
    }

    void endProgram() override {
        std::fflush(nullptr);
        PrivateDirectory::instance().remove();
        std::_Exit(0);
    }
};

SystemPlatform& systemPlatform() {
    static SystemPlatform platform;
    return platform;
}

Platform* g_installed = nullptr;

}  // namespace

Platform& currentPlatform() {
    return g_installed ? *g_installed : systemPlatform();
}

void installPlatform(Platform* platform) {
    g_installed = platform;
}

void removePrivateDirectory() {
    PrivateDirectory::instance().remove();
}

void preparePrivateDirectory() {
    PrivateDirectory::instance().prepare();
}

void guardStandardStreams() {
    for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
            continue;
        }
        // open() takes the lowest free number, which is this one: the lower ones are
        // open by now.
        const int opened = ::open("/dev/null", fd == STDIN_FILENO ? O_WRONLY : O_RDONLY);
        if (opened != fd && opened >= 0) {
            ::close(opened);
        }
    }
}

}  // namespace vellora
