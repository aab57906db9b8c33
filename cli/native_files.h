#pragma once
// File names as the file system gives them. Linux names are bytes, not text: a name
// need not be valid UTF-8, and a lossy decoding would lose the file. Names travel
// through the tool as QStrings in which every byte that is not part of valid UTF-8 is
// kept as the lone surrogate U+DC80 + byte (the "surrogate escape" Python uses too),
// so decoding and encoding give back exactly the bytes the file system gave. Every
// look at the file system goes through the helpers here, never through QFileInfo,
// which would encode such a name lossily.

#include <sys/types.h>

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <vector>

#include "platform/file_ownership.h"

namespace vellora::cli {

// The name's bytes for the operating system.
[[nodiscard]] QByteArray nativePath(const QString& path);
// The name as a QString, undecodable bytes escaped as above (exactly reversible).
[[nodiscard]] QString fromNativePath(const QByteArray& bytes);
// True when `path` holds escaped bytes, so it cannot be shown exactly as text.
[[nodiscard]] bool hasUndecodableBytes(const QString& path);

// The program's arguments (without argv[0] dropped), decoded as file names are.
[[nodiscard]] QStringList nativeArguments(int argc, const char* const* argv);

// What stat() says about a name (following symbolic links, or not).
struct FileFacts {
    bool exists = false;
    bool isFile = false;
    bool isFolder = false;
    bool isLink = false;  // the name itself is a symbolic link
    dev_t device = 0;
    ino_t inode = 0;
    nlink_t links = 0;
    std::int64_t size = -1;
    FileVersion version;  // when it exists
};
[[nodiscard]] FileFacts fileFacts(const QString& path);

// Whether `later` is the file `earlier` describes, untouched since: the same file, the
// same size, neither its contents nor anything else about it changed.
[[nodiscard]] bool sameUntouchedFile(const FileFacts& earlier, const FileFacts& later);

// One key for every name of one file: its device and inode when it exists; otherwise
// the device and inode of its folder and its own name, so two names of a file still
// to be written compare equal too. Empty when not even the folder exists (then the
// cleaned absolute path stands in).
[[nodiscard]] QString fileIdentity(const QString& path);

// `path` made absolute against the working folder and tidied (tidy_path.h), by string
// alone (QFileInfo would pass the name through a lossy encoding).
[[nodiscard]] QString absolutePath(const QString& path);
// The folder part of absolutePath(path): what holds the file.
[[nodiscard]] QString absoluteFolderOf(const QString& path);

// The last part of `path`: the file's own name.
[[nodiscard]] QString fileNameOf(const QString& path);

// `path` (relative or absolute) with every ".." that follows a folder not made yet
// taken out with that folder: it will be made as a real folder, so its ".." is the one
// before it. After a folder that exists (a link to one included) ".." stays for the
// system to resolve, a dangling link's too. "new/../x.jpg" is "x.jpg" while "new" is
// not there; "link/../x.jpg" is left as it is, and so is a path with nothing to fold
// (as given, "./" and all) or one ending in "/". An output below -d's folder is
// checked, and written, under this spelling.
[[nodiscard]] QString withoutUnmadeFolderSteps(const QString& path);

// The path with every symbolic link and "." / ".." resolved; empty when it does not
// exist.
[[nodiscard]] QString resolvedPath(const QString& path);

// Makes `folder` and every missing folder above it; false (with the system's reason in
// `error`) when that fails.
bool makeFolders(const QString& folder, QString& error);

// Why a name this long cannot be written at `output`, or "": a folder still to be made,
// or the file's name, longer than its file system takes, or the output's path longer
// than the system takes. Told before anything is made, so a run that would fail there
// leaves no folders behind.
[[nodiscard]] QString nameLengthProblem(const QString& output);

// Why a file could not be written at `output` (its folder made first when
// `makeFolder`), found without changing anything, in the words the write would fail
// with; empty when nothing stands in the way that can be seen beforehand.
[[nodiscard]] QString writeProblem(const QString& output, bool makeFolder);

// The regular files (or links to them) in `folder`, below it too when `recursive`,
// hidden names (and hidden folders) left out and folder links not followed. Each comes
// with its folder relative to `folder` ("" directly inside). A folder that cannot be
// read (`folder` itself too) comes as an entry of its own with `failure` saying why.
struct FoundFile {
    QString path;
    QString relativeFolder;
    QString failure;
    bool link = false;  // a symbolic link to a file
};
[[nodiscard]] std::vector<FoundFile> filesIn(const QString& folder, bool recursive);

}  // namespace vellora::cli
