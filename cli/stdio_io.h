#pragma once
// Whole-file reads and writes on descriptors for the "-" mode (a picture in on stdin,
// the result out on stdout) and for results made in memory.

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <optional>

#include "passes/pass_support.h"

namespace vellora::cli {

// The most a picture read whole into memory (from stdin, or for a lossless repack or
// an SSIM search) may hold: far above any picture the encoder takes.
inline constexpr std::int64_t kMaxInMemoryBytes = std::int64_t{1} << 30;

// `start` and everything readable from `fd` up to its end; nullopt with `error` set
// (the reason, to follow "cannot read ...: ") on a read error or when that is more than
// `limit` bytes.
[[nodiscard]] std::optional<QByteArray> readAllFrom(int fd, std::int64_t limit, QString& error,
                                                    QByteArray start = {});

// The whole file at `path`, opened by its exact bytes (the name need not be UTF-8).
// Only a regular file of at most kMaxInMemoryBytes: the name may lead to a pipe that
// never ends or to /dev/zero, and a file padded to gigabytes must not take that much
// memory. nullopt with `error` set (the reason, to follow "cannot read the file: ").
[[nodiscard]] std::optional<QByteArray> readWholeFile(const QString& path, QString& error);

// The first `count` bytes from `fd` (fewer only at its end); nullopt with `error` set
// on a read error.
[[nodiscard]] std::optional<QByteArray> readFirst(int fd, qsizetype count, QString& error);

// Writes all of `bytes` to `fd`, retrying short writes; false with `error` set.
[[nodiscard]] bool writeAllTo(int fd, const QByteArray& bytes, QString& error);

// Replaces the contents of the existing file `path` with `bytes` and flushes them to
// disk; false with `error` set.
[[nodiscard]] bool writeFileDurably(const QString& path, const QByteArray& bytes, QString& error);

// The kind of picture the bytes hold, by their first bytes: JPEG (FF D8 FF) or BMP
// ("BM"); Invalid otherwise.
[[nodiscard]] PictureType pictureTypeOfContent(const QByteArray& bytes);

// Gives `target` the access and modification times (to the nanosecond) of `source`,
// as read before `source` may have been replaced. False with `error` set.
struct FileTimes {
    std::int64_t accessSeconds = 0;
    std::int64_t accessNanoseconds = 0;
    std::int64_t modifySeconds = 0;
    std::int64_t modifyNanoseconds = 0;
};
[[nodiscard]] std::optional<FileTimes> fileTimes(const QString& path);
[[nodiscard]] bool setFileTimes(const QString& path, const FileTimes& times, QString& error);

}  // namespace vellora::cli
