#include "stdio_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <cerrno>
#include <cstring>

#include "cli/native_files.h"
#include "platform/file_kind.h"
#include "platform/unique_fd.h"

namespace vellora::cli {
namespace {

QString systemError(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

// One read, again when a signal cut it short: the count, 0 at the end, -1 (errno set)
// on an error.
ssize_t readOnce(int fd, char* into, std::size_t size) {
    ssize_t count = 0;
    do {
        count = ::read(fd, into, size);
    } while (count < 0 && errno == EINTR);
    return count;
}

}  // namespace

std::optional<QByteArray> readAllFrom(int fd, std::int64_t limit, QString& error,
                                      QByteArray start) {
    // Appended to in place: joining two copies afterwards held a stream near the limit
    // twice, 2 GiB for one picture.
    QByteArray bytes = std::move(start);
    char chunk[1 << 16];
    for (;;) {
        const ssize_t count = readOnce(fd, chunk, sizeof chunk);
        if (count == 0) {
            return bytes;
        }
        if (count < 0) {
            error = systemError(errno);
            return std::nullopt;
        }
        if (bytes.size() + count > limit) {
            error = QStringLiteral("it holds more than %1 bytes").arg(limit);
            return std::nullopt;
        }
        bytes.append(chunk, static_cast<qsizetype>(count));
    }
}

std::optional<QByteArray> readFirst(int fd, qsizetype count, QString& error) {
    QByteArray bytes(count, '\0');
    qsizetype got = 0;
    while (got < count) {
        const ssize_t read =
            readOnce(fd, bytes.data() + got, static_cast<std::size_t>(count - got));
        if (read == 0) {
            break;
        }
        if (read < 0) {
            error = systemError(errno);
            return std::nullopt;
        }
        got += read;
    }
    bytes.truncate(got);
    return bytes;
}

std::optional<QByteArray> readWholeFile(const QString& path, QString& error) {
    // O_NONBLOCK: opening a pipe must not wait for a writer; the look below refuses it.
    const vellora::UniqueFd file(
        ::open(nativePath(path).constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    struct stat facts {};
    if (file.get() < 0 || ::fstat(file.get(), &facts) != 0) {
        error = systemError(errno);
        return std::nullopt;
    }
    if (!S_ISREG(facts.st_mode)) {
        error = QStringLiteral("it is %1, not a regular file")
                    .arg(QLatin1String(vellora::fileKind(facts.st_mode)));
        return std::nullopt;
    }
    if (facts.st_size > kMaxInMemoryBytes) {
        error = QStringLiteral("it holds %1 bytes, more than the %2 read into memory at once")
                    .arg(static_cast<qint64>(facts.st_size))
                    .arg(kMaxInMemoryBytes);
        return std::nullopt;
    }
    return readAllFrom(file.get(), kMaxInMemoryBytes, error);
}

bool writeAllTo(int fd, const QByteArray& bytes, QString& error) {
    const char* data = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t count = ::write(fd, data, static_cast<std::size_t>(left));
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            error = systemError(errno);
            return false;
        }
        data += count;
        left -= count;
    }
    return true;
}

bool writeFileDurably(const QString& path, const QByteArray& bytes, QString& error) {
    vellora::UniqueFd file(::open(nativePath(path).constData(), O_WRONLY | O_TRUNC | O_CLOEXEC));
    if (file.get() < 0) {
        error = QStringLiteral("cannot open '%1': %2").arg(path, systemError(errno));
        return false;
    }
    QString reason;
    if (!writeAllTo(file.get(), bytes, reason)) {
        error = QStringLiteral("cannot write '%1': %2").arg(path, reason);
        return false;
    }
    if (::fsync(file.get()) != 0 || !file.close()) {
        error = QStringLiteral("cannot write '%1': %2").arg(path, systemError(errno));
        return false;
    }
    return true;
}

PictureType pictureTypeOfContent(const QByteArray& bytes) {
    if (bytes.size() >= 3 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xD8 &&
        static_cast<unsigned char>(bytes[2]) == 0xFF) {
        return PictureType::Jpeg;
    }
    if (bytes.size() >= 2 && bytes[0] == 'B' && bytes[1] == 'M') {
        return PictureType::Bitmap;
    }
    return PictureType::Invalid;
}

std::optional<FileTimes> fileTimes(const QString& path) {
    struct stat info {};
    if (::stat(nativePath(path).constData(), &info) != 0) {
        return std::nullopt;
    }
    return FileTimes{info.st_atim.tv_sec, info.st_atim.tv_nsec, info.st_mtim.tv_sec,
                     info.st_mtim.tv_nsec};
}

bool setFileTimes(const QString& path, const FileTimes& times, QString& error) {
    timespec both[2] = {};
    both[0].tv_sec = static_cast<time_t>(times.accessSeconds);
    both[0].tv_nsec = static_cast<long>(times.accessNanoseconds);
    both[1].tv_sec = static_cast<time_t>(times.modifySeconds);
    both[1].tv_nsec = static_cast<long>(times.modifyNanoseconds);
    if (::utimensat(AT_FDCWD, nativePath(path).constData(), both, 0) != 0) {
        error = QStringLiteral("cannot set the times of '%1': %2").arg(path, systemError(errno));
        return false;
    }
    return true;
}

}  // namespace vellora::cli
