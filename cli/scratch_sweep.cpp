#include "scratch_sweep.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <cerrno>

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
        const QDir directory(folder);
        const QStringList names =
            directory.entryList({QStringLiteral(".*.vellora-tmp"), QStringLiteral("..*.tmp")},
                                QDir::Files | QDir::Hidden | QDir::System);
        for (const QString& name : names) {
            const std::optional<long long> owner = scratchFileOwner(name);
            if (!owner || processRuns(*owner)) {
                continue;
            }
            const QByteArray path = QFile::encodeName(directory.filePath(name));
            struct stat info {};
            if (::lstat(path.constData(), &info) != 0 || !S_ISREG(info.st_mode) ||
                info.st_uid != ::geteuid()) {
                continue;
            }
            if (::unlink(path.constData()) == 0) {
                ++removed;
            }
        }
    }
    return removed;
}

}  // namespace vellora::cli
