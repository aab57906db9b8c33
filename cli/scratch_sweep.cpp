#include "scratch_sweep.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <cerrno>
#include <memory>

#include "cli/native_files.h"
#include "platform/paths.h"
#include "platform/unique_fd.h"

namespace vellora::cli {
namespace {

// ScratchFile's names, and the library's temporary name for saving into one: the
// scratch name behind a dot, then its own ".PID-N-RANDOM.tmp". The library keeps the
// first 100 characters of the name it saves to, which always covers a scratch name.
const QRegularExpression kScratchName(
    QStringLiteral(R"(^\..+\.(\d{1,10})-\d{1,10}-[0-9a-f]{6}\.vellora-tmp$)"));
const QRegularExpression kLibraryTemporary(QStringLiteral(
    R"(^\.\..+\.\d{1,10}-\d{1,10}-[0-9a-f]{6}\.vellora-tmp\.(\d{1,10})-\d{1,10}-[0-9a-f]{8}\.tmp$)"));

bool processRuns(long long pid) {
    if (pid <= 0 || pid == ::getpid()) {
        return true;  // our own, or nonsense: leave it
    }
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH;
}

}  // namespace

std::optional<long long> scratchFileOwner(const QString& name) {
    for (const QRegularExpression* pattern : {&kScratchName, &kLibraryTemporary}) {
        const QRegularExpressionMatch match = pattern->match(name);
        if (match.hasMatch()) {
            return match.captured(1).toLongLong();
        }
    }
    return std::nullopt;
}

int sweepAbandonedScratchFiles(const QStringList& folders) {
    int removed = 0;
    for (const QString& folder : folders) {
        // By the folder's and the names' exact bytes: either may not be UTF-8.
        UniqueFd opened(::open(nativePath(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!opened) {
            continue;
        }
        const std::unique_ptr<DIR, int (*)(DIR*)> listing(::fdopendir(opened.get()), ::closedir);
        if (!listing) {
            continue;
        }
        const int folderDescriptor = opened.release();  // closed with the listing
        while (const dirent* entry = ::readdir(listing.get())) {
            const std::optional<long long> owner = scratchFileOwner(fromNativePath(entry->d_name));
            if (!owner || processRuns(*owner)) {
                continue;
            }
            struct stat info {};
            if (::fstatat(folderDescriptor, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 ||
                !S_ISREG(info.st_mode) || info.st_uid != ::geteuid()) {
                continue;
            }
            if (::unlinkat(folderDescriptor, entry->d_name, 0) == 0) {
                ++removed;
            }
        }
    }
    return removed;
}

bool keepToOwner(const QString& folder) {
    return ::chmod(nativePath(folder).constData(), 0700) == 0;
}

QString privateFolderTemplate() {
    const QString directory = GetWindowsDir();
    if (!directory.isEmpty()) {
        return directory + QStringLiteral("/stream-XXXXXX");
    }
    // Without a private directory, the temporary folder, or /tmp where that is not a
    // folder: Qt's is "" for a TMPDIR that does not exist, which would put a copy of
    // the picture at the file-system root.
    QString temporary = QDir::tempPath();
    if (temporary.isEmpty() || !QFileInfo(temporary).isDir()) {
        temporary = QStringLiteral("/tmp");
    }
    return temporary + QStringLiteral("/vellora-cli-XXXXXX");
}

}  // namespace vellora::cli
