#include "scratch_file.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <random>
#include <set>
#include <utility>

#include "cli/native_files.h"
#include "platform/file_ownership.h"
#include "platform/unique_fd.h"

namespace vellora::cli {
namespace {

QString systemError(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

// An advisory lock on the folder a replaced file is in, held until destroyed. Two runs
// over one folder (a cron job that overlaps itself) each hold it from their last look
// at the file they replace to their rename, a few milliseconds: the second then sees
// the first's result as the change it is, where between a look and a rename of their
// own both could pass. The folder, not the picture: a script may well run the tool
// under `flock photo.jpg ...`, and the lock must never stand in its way.
class ReplaceLock {
public:
    explicit ReplaceLock(const QByteArray& folder)
        : m_fd(folder.isEmpty()
                   ? -1
                   : ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK)) {
        if (!m_fd) {
            return;  // no folder to lock: the look alone, as without locks
        }
        // Others hold it for milliseconds. Should another program hold it longer (a
        // wrapper's `flock FOLDER vellora-cli ...`), the replace goes on after five
        // seconds with the look alone rather than wait for ever; no sooner, since a run
        // held up on a loaded machine is still running. Once that happened in a folder,
        // later replaces there wait one second: still far longer than another run holds
        // it, so two runs never both go by their looks, but not five seconds a file.
        const int attempts = waitedInVain(folder, false) ? 100 : 500;
        for (int attempt = 0; attempt < attempts; ++attempt) {
            if (::flock(m_fd.get(), LOCK_EX | LOCK_NB) == 0 ||
                (errno != EWOULDBLOCK && errno != EINTR)) {
                return;
            }
            ::usleep(10'000);
        }
        (void)waitedInVain(folder, true);
    }

private:
    // Whether a replace in `folder` already waited for its lock in vain; `note` records
    // that one did.
    static bool waitedInVain(const QByteArray& folder, bool note) {
        static std::mutex mutex;
        static std::set<QByteArray> folders;
        const std::lock_guard lock(mutex);
        if (note) {
            folders.insert(folder);
        }
        return folders.count(folder) > 0;
    }

    vellora::UniqueFd m_fd;  // the lock goes with the descriptor
};

QString randomPart() {
    static std::atomic<unsigned> counter{0};
    thread_local std::mt19937 random{std::random_device{}()};
    return QStringLiteral("%1-%2-%3")
        .arg(::getpid())
        .arg(counter.fetch_add(1))
        .arg(random() & 0xffffffu, 6, 16, QLatin1Char('0'));
}

}  // namespace

std::optional<ScratchFile> ScratchFile::create(const QString& folder, const QString& stem,
                                               QString& error, const QString& replaces,
                                               const QString& input) {
    // Names stay short whatever the output's length; the ".vellora-tmp" ending keeps
    // them out of any picture scan. At most 48 bytes of the stem (not characters: a
    // Japanese one takes three) keep the whole name within the 100 bytes the library
    // copies into its own temporary name, so that name still shows whose it is
    // (scratch_sweep.h) should the run be killed.
    QString shortStem = stem.left(48);
    while (nativePath(shortStem).size() > 48) {
        shortStem.chop(shortStem.size() > 1 && shortStem.back().isLowSurrogate() &&
                               shortStem[shortStem.size() - 2].isHighSurrogate()
                           ? 2
                           : 1);
    }
    const auto regularFileMode = [](const QString& path) -> std::optional<mode_t> {
        struct stat facts {};
        if (path.isEmpty() || ::stat(nativePath(path).constData(), &facts) != 0 ||
            !S_ISREG(facts.st_mode)) {
            return std::nullopt;
        }
        return facts.st_mode;
    };
    mode_t mode = 0666;
    std::optional<mode_t> model = regularFileMode(replaces);
    if (!model) {
        model = regularFileMode(input);
    }
    if (model) {
        mode &= *model;
    }
    // The run writes the file after making it (and a result of a read-only picture is
    // written all the same); a replaced file's own mode comes at the rename.
    mode |= S_IRUSR | S_IWUSR;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QString path = folder + QStringLiteral("/.") + shortStem + QLatin1Char('.') +
                             randomPart() + QStringLiteral(".vellora-tmp");
        const QByteArray native = nativePath(path);
        // 0666 less the umask: the permissions any new file gets; the library's save
        // keeps them when it replaces this file with the picture. A copy of a private
        // picture on its way to replacing it stays as private while it waits (and
        // should the run be killed): the replaced file's own mode comes at the rename.
        if (const vellora::UniqueFd fd(
                ::open(native.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
            fd) {
            // The run reads and replaces this file by name, and the user must be able
            // to read the result, whatever the umask.
            letOwnerReadAndWrite(fd.get());
            return ScratchFile(path);
        }
        if (errno != EEXIST) {
            error =
                QStringLiteral("cannot create a file in '%1': %2").arg(folder, systemError(errno));
            return std::nullopt;
        }
    }
    error = QStringLiteral("cannot create a file in '%1': no free name").arg(folder);
    return std::nullopt;
}

ScratchFile::ScratchFile(ScratchFile&& other) noexcept
    : m_path(std::exchange(other.m_path, QString())),
      m_ownershipNote(std::exchange(other.m_ownershipNote, QString())) {}

ScratchFile& ScratchFile::operator=(ScratchFile&& other) noexcept {
    if (this != &other) {
        discard();
        m_path = std::exchange(other.m_path, QString());
        m_ownershipNote = std::exchange(other.m_ownershipNote, QString());
    }
    return *this;
}

ScratchFile::~ScratchFile() {
    discard();
}

std::int64_t ScratchFile::size() const {
    struct stat info {};
    if (m_path.isEmpty() || ::stat(nativePath(m_path).constData(), &info) != 0) {
        return -1;
    }
    return static_cast<std::int64_t>(info.st_size);
}

void ScratchFile::discard() {
    if (!m_path.isEmpty()) {
        (void)::unlink(nativePath(m_path).constData());
        m_path.clear();
    }
}

bool ScratchFile::commit(const QString& target, bool replace, QString& error,
                         const FileFacts* untouched) {
    if (m_path.isEmpty()) {
        error = QStringLiteral("nothing to write");
        return false;
    }
    const QByteArray from = nativePath(m_path);
    const QByteArray to = nativePath(target);
    if (replace) {
        // Whatever the plan saw, a device, pipe or socket that took the name since is
        // never replaced (as root, -f -o /dev/null would take /dev/null away).
        if (struct stat now{};
            ::lstat(to.constData(), &now) == 0 && !S_ISREG(now.st_mode) && !S_ISLNK(now.st_mode)) {
            error = QStringLiteral("the output '%1' is not a regular file and is never replaced")
                        .arg(target);
            return false;
        }
        takeOwnershipOf(from, to);
        const ReplaceLock lock(untouched ? nativePath(absoluteFolderOf(target)) : QByteArray());
        if (untouched && !sameUntouchedFile(*untouched, fileFacts(target))) {
            // Someone saved a new version (an editor, a sync client) while this one was
            // being made: replacing it would throw their picture away.
            error = QStringLiteral("changed while it was being compressed; left as it is");
            return false;
        }
        if (::rename(from.constData(), to.constData()) != 0) {
            error = QStringLiteral("cannot write '%1': %2").arg(target, systemError(errno));
            return false;
        }
        m_path.clear();
        makeRenameDurable(to);
        return true;
    }
    // Never replace: the file system decides, so a file that appeared since the plan
    // looked is still safe.
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0) {
        m_path.clear();
        makeRenameDurable(to);
        return true;
    }
    if (errno == EEXIST) {
        error = QStringLiteral("the output '%1' already exists (use --force to replace it)")
                    .arg(target);
        return false;
    }
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) {
        error = QStringLiteral("cannot write '%1': %2").arg(target, systemError(errno));
        return false;
    }
    // A file system without the atomic no-replace rename: a hard link fails just as
    // safely on an existing name.
    if (::link(from.constData(), to.constData()) == 0) {
        discard();
        makeRenameDurable(to);
        return true;
    }
    if (errno == EEXIST) {
        error = QStringLiteral("the output '%1' already exists (use --force to replace it)")
                    .arg(target);
        return false;
    }
    error = QStringLiteral("cannot write '%1': %2").arg(target, systemError(errno));
    return false;
}

void ScratchFile::takeOwnershipOf(const QByteArray& scratch, const QByteArray& target) {
    m_ownershipNote.clear();
    struct stat existing {};
    if (::stat(target.constData(), &existing) != 0 || !S_ISREG(existing.st_mode)) {
        return;  // nothing is replaced: the new file is simply the user's
    }
    // The replaced file's owner, group and readers keep their access: an in-place run
    // as root must not hand a user's picture to root, nor make a private one readable.
    const vellora::UniqueFd fd(::open(scratch.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) {
        m_ownershipNote = QStringLiteral(
                              "the replaced file's owner and permissions were not "
                              "kept: %1")
                              .arg(systemError(errno));
        return;
    }
    const KeptOwnership kept = keepOwnership(fd.get(), target.constData(), existing);
    if (!kept.complete()) {
        m_ownershipNote = QString::fromStdString(kept.note);
    }
}

void ScratchFile::makeRenameDurable(const QByteArray& target) {
    noteReplaceStep("rename");
    // The file itself was flushed before the rename; without the folder, a power loss
    // could still bring back the old picture or the hidden scratch name.
    (void)syncFolderOf(target.toStdString());
}

}  // namespace vellora::cli
