#include "native_files.h"

#include "platform/tidy_path.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>
#include <vector>

#include "platform/tidy_path.h"

namespace vellora::cli {
namespace {

constexpr char16_t kEscapeBase = 0xDC00;

bool isEscapedByte(char16_t unit) {
    return unit >= 0xDC80 && unit <= 0xDCFF;
}

// The length of the valid UTF-8 sequence at `at` (1..4), or 0 when the byte there
// does not start one. Overlong forms, surrogates and values past U+10FFFF are invalid,
// which keeps the escaping exactly reversible.
int validSequence(const unsigned char* bytes, qsizetype at, qsizetype size, char32_t& value) {
    const unsigned char first = bytes[at];
    if (first < 0x80) {
        value = first;
        return 1;
    }
    int length = 0;
    char32_t minimum = 0;
    if ((first & 0xE0) == 0xC0) {
        length = 2, value = first & 0x1F, minimum = 0x80;
    } else if ((first & 0xF0) == 0xE0) {
        length = 3, value = first & 0x0F, minimum = 0x800;
    } else if ((first & 0xF8) == 0xF0) {
        length = 4, value = first & 0x07, minimum = 0x10000;
    } else {
        return 0;
    }
    if (at + length > size) {
        return 0;
    }
    for (int index = 1; index < length; ++index) {
        const unsigned char next = bytes[at + index];
        if ((next & 0xC0) != 0x80) {
            return 0;
        }
        value = (value << 6) | (next & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        return 0;
    }
    return length;
}

}  // namespace

QByteArray nativePath(const QString& path) {
    QByteArray bytes;
    bytes.reserve(path.size());
    const qsizetype size = path.size();
    for (qsizetype index = 0; index < size; ++index) {
        const char16_t unit = path.at(index).unicode();
        const bool pair = QChar::isHighSurrogate(unit) && index + 1 < size &&
                          QChar::isLowSurrogate(path.at(index + 1).unicode());
        if (pair) {
            bytes += QStringView(path).mid(index, 2).toUtf8();
            ++index;
        } else if (isEscapedByte(unit)) {
            bytes += static_cast<char>(unit - kEscapeBase);
        } else if (unit < 0x80) {
            bytes += static_cast<char>(unit);
        } else {
            bytes += QStringView(path).mid(index, 1).toUtf8();
        }
    }
    return bytes;
}

QString fromNativePath(const QByteArray& bytes) {
    QString path;
    path.reserve(bytes.size());
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.constData());
    const qsizetype size = bytes.size();
    for (qsizetype at = 0; at < size;) {
        char32_t value = 0;
        const int length = validSequence(data, at, size, value);
        if (length == 0) {
            path += QChar(static_cast<char16_t>(kEscapeBase + data[at]));
            ++at;
            continue;
        }
        if (value >= 0x10000) {
            path += QChar(QChar::highSurrogate(value));
            path += QChar(QChar::lowSurrogate(value));
        } else {
            path += QChar(static_cast<char16_t>(value));
        }
        at += length;
    }
    return path;
}

bool hasUndecodableBytes(const QString& path) {
    for (qsizetype index = 0; index < path.size(); ++index) {
        const char16_t unit = path.at(index).unicode();
        if (isEscapedByte(unit) && (index == 0 || !path.at(index - 1).isHighSurrogate())) {
            return true;
        }
    }
    return false;
}

QStringList nativeArguments(int argc, const char* const* argv) {
    QStringList arguments;
    for (int index = 0; index < argc; ++index) {
        arguments.append(fromNativePath(QByteArray(argv[index])));
    }
    return arguments;
}

FileFacts fileFacts(const QString& path) {
    FileFacts facts;
    const QByteArray native = nativePath(path);
    struct stat info {};
    if (::lstat(native.constData(), &info) == 0 && S_ISLNK(info.st_mode)) {
        facts.isLink = true;
    }
    if (::stat(native.constData(), &info) != 0) {
        return facts;
    }
    facts.exists = true;
    facts.isFile = S_ISREG(info.st_mode);
    facts.isFolder = S_ISDIR(info.st_mode);
    facts.device = info.st_dev;
    facts.inode = info.st_ino;
    facts.links = info.st_nlink;
    facts.size = static_cast<std::int64_t>(info.st_size);
    facts.version = fileVersion(info);
    return facts;
}

bool sameUntouchedFile(const FileFacts& earlier, const FileFacts& later) {
    return earlier.exists && later.exists && earlier.version == later.version;
}

QString absolutePath(const QString& path) {
    if (path.startsWith(QLatin1Char('/'))) {
        return tidyPath(path);
    }
    std::unique_ptr<char, decltype(&std::free)> working(::getcwd(nullptr, 0), &std::free);
    const QString folder = working ? fromNativePath(QByteArray(working.get())) : QString();
    return tidyPath(folder + QLatin1Char('/') + path);
}

QString absoluteFolderOf(const QString& path) {
    const QString absolute = absolutePath(path);
    const qsizetype slash = absolute.lastIndexOf(QLatin1Char('/'));
    return slash <= 0 ? QStringLiteral("/") : absolute.left(slash);
}

QString fileNameOf(const QString& path) {
    return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
}

QString withoutUnmadeFolderSteps(const QString& path) {
    if (path.endsWith(QLatin1Char('/'))) {
        return path;  // names a folder: nothing to fold into a file's name
    }
    const bool absolute = path.startsWith(QLatin1Char('/'));
    bool folded = false;
    const QString root = absolute ? QStringLiteral("/") : QString();
    QStringList kept;
    std::vector<bool> exists;  // whether each kept part exists
    for (const QString& part : path.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (part == QLatin1String(".")) {
            continue;
        }
        if (part == QLatin1String("..") && !exists.empty() && !exists.back()) {
            kept.removeLast();
            exists.pop_back();
            folded = true;
            continue;
        }
        const bool above = exists.empty() || exists.back();
        kept.append(part);
        // A link counts as there, even one that leads nowhere: its ".." is the system's.
        const FileFacts facts = fileFacts(root + kept.join(QLatin1Char('/')));
        exists.push_back(above && (part == QLatin1String("..") || facts.exists || facts.isLink));
    }
    if (!folded) {
        return path;  // shown as given
    }
    const QString joined = root + kept.join(QLatin1Char('/'));
    return joined.isEmpty() ? QStringLiteral(".") : joined;
}

QString fileIdentity(const QString& path) {
    const FileFacts facts = fileFacts(path);
    if (facts.exists) {
        return QStringLiteral("%1:%2").arg(facts.device).arg(facts.inode);
    }
    const QString given = absolutePath(path);
    const QString absolute = withoutUnmadeFolderSteps(given);
    if (absolute != given) {
        return fileIdentity(absolute);  // may exist after all: new/../x.jpg is x.jpg
    }
    const qsizetype slash = absolute.lastIndexOf(QLatin1Char('/'));
    const QString folder = absoluteFolderOf(path);
    const FileFacts folderFacts = fileFacts(folder);
    if (!folderFacts.exists) {
        return absolute;
    }
    return QStringLiteral("%1:%2/").arg(folderFacts.device).arg(folderFacts.inode) +
           absolute.mid(slash + 1);
}

QString resolvedPath(const QString& path) {
    const QByteArray native = nativePath(path);
    std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(native.constData(), nullptr),
                                                         &std::free);
    return resolved ? fromNativePath(QByteArray(resolved.get())) : QString();
}

bool makeFolders(const QString& folder, QString& error) {
    // One level at a time, each made ours to write into and pass through whatever the
    // umask takes (0277 made the first new level 0500, and the next could not be made
    // in it), as mkdir -p makes its parents. A folder that was there is left as it is.
    const QByteArray native = nativePath(folder);
    QByteArray prefix = native.startsWith('/') ? QByteArray("/") : QByteArray();
    for (const QByteArray& part : native.split('/')) {
        if (part.isEmpty()) {
            continue;
        }
        prefix +=
            (prefix.isEmpty() || prefix.endsWith('/') ? QByteArray() : QByteArray("/")) + part;
        if (::mkdir(prefix.constData(), 0777) == 0) {
            struct stat made {};
            if (::stat(prefix.constData(), &made) == 0 &&
                (made.st_mode & (S_IWUSR | S_IXUSR)) != (S_IWUSR | S_IXUSR)) {
                (void)::chmod(prefix.constData(), (made.st_mode & 07777) | S_IWUSR | S_IXUSR);
            }
        } else if (errno != EEXIST && error.isEmpty()) {
            // The first refusal is the cause; those below it only say "no such folder".
            error = QString::fromLocal8Bit(std::strerror(errno));
        }
    }
    struct stat facts {};
    const bool found = ::stat(native.constData(), &facts) == 0;
    if (found && S_ISDIR(facts.st_mode)) {
        return true;
    }
    if (error.isEmpty()) {
        // Found but not a folder: errno still holds the mkdir's "File exists".
        error = QString::fromLocal8Bit(std::strerror(found ? ENOTDIR : errno));
    }
    return false;
}

namespace {

// The nearest folder that exists on the way to `folder` (itself, or where making it
// would start), and what it is.
QString nearestExisting(const QString& folder, bool makeFolder, FileFacts& facts) {
    QString existing = folder;
    facts = fileFacts(existing);
    while (!facts.exists && makeFolder && existing != QLatin1String("/")) {
        existing = absoluteFolderOf(existing);
        facts = fileFacts(existing);
    }
    return existing;
}

// nameLengthProblem() for `output` in `folder`, whose nearest existing folder is
// `existing` (described by `facts`).
QString lengthProblem(const QString& output, const QString& folder, const QString& existing,
                      const FileFacts& facts) {
    const long pathconfMax =
        facts.isFolder ? ::pathconf(nativePath(existing).constData(), _PC_NAME_MAX) : -1;
    const qsizetype longestName = pathconfMax > 0 ? pathconfMax : NAME_MAX;
    const QString tooLong = QString::fromLocal8Bit(std::strerror(ENAMETOOLONG));
    for (const QString& part :
         folder.mid(existing.size()).split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (nativePath(part).size() > longestName) {
            return QStringLiteral("cannot create the folder '%1': %2").arg(folder, tooLong);
        }
    }
    // The output's own path: the scratch names beside it are mostly shorter, and one
    // that is not fails when it is made, with this same reason.
    const qsizetype name = nativePath(fileNameOf(output)).size();
    if (name > longestName || nativePath(folder).size() + 1 + name >= PATH_MAX) {
        return QStringLiteral("cannot write '%1': %2").arg(output, tooLong);
    }
    return {};
}

}  // namespace

QString nameLengthProblem(const QString& output) {
    const QString folder = absoluteFolderOf(output);
    FileFacts facts;
    const QString existing = nearestExisting(folder, true, facts);
    return lengthProblem(output, folder, existing, facts);
}

QString writeProblem(const QString& output, bool makeFolder) {
    const QString folder = absoluteFolderOf(output);
    FileFacts facts;
    const QString existing = nearestExisting(folder, makeFolder, facts);
    const QByteArray native = nativePath(existing);
    const auto cannotCreateIn = [&](int error) {
        return QStringLiteral("cannot create a file in '%1': %2")
            .arg(folder, QString::fromLocal8Bit(std::strerror(error)));
    };
    // With the reason the run's own mkdir would give.
    const auto cannotMake = [&](int error) {
        return QStringLiteral("cannot create the folder '%1': %2")
            .arg(folder, QString::fromLocal8Bit(std::strerror(error)));
    };
    const int missing = facts.exists ? ENOTDIR : ENOENT;
    if ((existing != folder || makeFolder) && !facts.isFolder) {
        return cannotMake(missing);
    }
    if (!facts.isFolder) {
        // As the run's open finds it: a link loop is not a missing folder.
        struct stat target {};
        const bool loop =
            !facts.exists && ::stat(native.constData(), &target) != 0 && errno == ELOOP;
        return cannotCreateIn(loop ? ELOOP : missing);
    }
    if (::access(native.constData(), W_OK | X_OK) != 0) {
        return existing != folder ? cannotMake(errno) : cannotCreateIn(errno);
    }
    // A name on the way that is a link to nothing: the run's mkdir finds it taken, and
    // the folder is never made.
    for (QString at = folder; at.size() > existing.size(); at = absoluteFolderOf(at)) {
        struct stat link {};
        if (::lstat(nativePath(at).constData(), &link) == 0) {
            struct stat target {};
            // What stat says of it is what the run's mkdir is left with.
            return cannotMake(::stat(nativePath(at).constData(), &target) == 0 ? ENOENT : errno);
        }
    }
    // Reached with the folder there, or to be made from `existing`: the walk above is
    // the one the length check needs.
    return lengthProblem(output, folder, existing, facts);
}

std::vector<FoundFile> filesIn(const QString& folder, bool recursive) {
    namespace fs = std::filesystem;
    std::vector<FoundFile> found;
    // Found names are spelt as the folder was given, tidied ("photos/" gives
    // "photos/a.jpg", "." gives "./a.jpg").
    QString prefix = tidyPath(folder);
    if (!prefix.endsWith(QLatin1Char('/'))) {
        prefix += QLatin1Char('/');
    }
    // One folder at a time, so that one that cannot be read is told, not passed over:
    // a run that silently left out a folder would look complete.
    std::vector<QString> pending{QString()};  // relative to `folder`
    while (!pending.empty()) {
        const QString relative = std::move(pending.back());
        pending.pop_back();
        const QString shown = relative.isEmpty() ? folder : prefix + relative;
        std::error_code error;
        fs::directory_iterator walk(fs::path(nativePath(shown).toStdString()), error);
        const fs::directory_iterator end;
        for (; !error && walk != end; walk.increment(error)) {
            const fs::directory_entry& entry = *walk;
            const std::string name = entry.path().filename().native();
            const QString decoded = fromNativePath(QByteArray(name.c_str()));
            const bool hidden = !name.empty() && name[0] == '.';
            std::error_code look;
            if (entry.is_directory(look)) {
                if (recursive && !hidden && !entry.is_symlink(look)) {
                    pending.push_back(relative.isEmpty() ? decoded
                                                         : relative + QLatin1Char('/') + decoded);
                }
                continue;
            }
            if (hidden || !entry.is_regular_file(look)) {
                continue;
            }
            FoundFile file;
            file.link = entry.is_symlink(look);
            file.relativeFolder = relative;
            file.path =
                prefix + (relative.isEmpty() ? QString() : relative + QLatin1Char('/')) + decoded;
            found.push_back(std::move(file));
        }
        if (error) {
            found.push_back({shown, relative,
                             QStringLiteral("cannot read the folder: %1")
                                 .arg(QString::fromLocal8Bit(error.message().c_str())),
                             false});
        }
    }
    return found;
}

}  // namespace vellora::cli
