#pragma once
// A uniquely named file that exists only while a result is being made: created empty
// beside the final output (so the last step is a rename within one file system),
// removed on every way out unless it was committed to its final name.

#include <QString>
#include <cstdint>
#include <optional>

namespace vellora::cli {

class ScratchFile {
public:
    // Creates an empty file ".<stem>.<random>.vellora-tmp" in `folder` with the
    // default permissions of a new file. nullopt (and `error` set) when that fails.
    [[nodiscard]] static std::optional<ScratchFile> create(const QString& folder,
                                                           const QString& stem, QString& error);

    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;
    ScratchFile(ScratchFile&& other) noexcept;
    ScratchFile& operator=(ScratchFile&& other) noexcept;
    ~ScratchFile();

    [[nodiscard]] const QString& path() const { return m_path; }
    // The file's size now; -1 when it cannot be read.
    [[nodiscard]] std::int64_t size() const;

    // Renames the file to `target`. With `replace` an existing target is replaced
    // (and its permissions carried over); without, an existing target makes the call
    // fail and stay untouched, decided atomically by the file system. On success the
    // scratch file no longer exists under its own name.
    [[nodiscard]] bool commit(const QString& target, bool replace, QString& error);

    // Removes the file now.
    void discard();

private:
    explicit ScratchFile(QString path) : m_path(std::move(path)) {}
    QString m_path;  // empty once committed or discarded
};

}  // namespace vellora::cli
