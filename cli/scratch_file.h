#pragma once
// A uniquely named file that exists only while a result is being made: created empty
// beside the final output (so the last step is a rename within one file system),
// removed on every way out unless it was committed to its final name.

#include <QString>
#include <cstdint>
#include <optional>

#include "cli/native_files.h"

namespace vellora::cli {

class ScratchFile {
public:
    // Creates an empty file ".<stem>.<random>.vellora-tmp" in `folder` with the
    // default permissions of a new file, and none wider for group and others than
    // those of `replaces` where that file exists, else those of `input` (as cp gives a
    // copy its source's), so a private picture's result is private too. The owner can
    // always read and write it. nullopt (and `error` set) when that fails.
    [[nodiscard]] static std::optional<ScratchFile> create(const QString& folder,
                                                           const QString& stem, QString& error,
                                                           const QString& replaces = {},
                                                           const QString& input = {});

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
    // scratch file no longer exists under its own name. With `untouched`, a target that
    // is no longer that file as it was then (another program saved over it meanwhile)
    // fails the call and stays as it is; checked as the very last step before the rename.
    [[nodiscard]] bool commit(const QString& target, bool replace, QString& error,
                              const FileFacts* untouched = nullptr);

    // Removes the file now.
    void discard();

    // After a commit that replaced a file: empty when the new file has the replaced
    // file's owner, group and permissions, otherwise whose it is now and why.
    [[nodiscard]] const QString& ownershipNote() const { return m_ownershipNote; }

private:
    explicit ScratchFile(QString path) : m_path(std::move(path)) {}
    // Gives the scratch file the owner, group and mode of the file at `target` before
    // it replaces it; the folder is flushed after the rename.
    void takeOwnershipOf(const QByteArray& scratch, const QByteArray& target);
    static void makeRenameDurable(const QByteArray& target);

    QString m_path;  // empty once committed or discarded
    QString m_ownershipNote;
};

}  // namespace vellora::cli
