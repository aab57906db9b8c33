#include "batch_plan.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <algorithm>

#include "cli/native_files.h"
#include "platform/tidy_path.h"

namespace vellora::cli {
namespace {

QString joinPath(const QString& folder, const QString& name) {
    return tidyPath(folder + QLatin1Char('/') + name);
}

// The same string for every name of one file, however it was reached (a second hard
// link, a symbolic link, another spelling of its folder): its device and inode.
QString identity(const QString& path) {
    return fileIdentity(path);
}

struct Candidate {
    QString path;
    QString relativeFolder;
    QString failure;
    QString skip{};  // {}: most candidates are made without one
};

// A name with a picture's extension. The windows go by the last three letters alone;
// here a walk would then take "notes_bmp" for a bitmap and fail the run on it.
bool isPicture(const QString& path) {
    const QString name = QFileInfo(path).fileName().toLower();
    const PictureType type = pictureType(path);
    return (type == PictureType::Jpeg || type == PictureType::Bitmap) &&
           (name.endsWith(QLatin1String(".jpg")) || name.endsWith(QLatin1String(".jpeg")) ||
            name.endsWith(QLatin1String(".jpe")) || name.endsWith(QLatin1String(".bmp")));
}

void scanFolder(const Options& options, const QString& folder, const QString& excluded,
                std::vector<Candidate>& found) {
    // Names are read as the file system's bytes, so a name that is not valid UTF-8 is
    // found and done like any other.
    std::vector<FoundFile> files;
    // Only an out-dir inside this tree holds results a walk could meet again; one above
    // it holds the inputs themselves.
    const QString walked = resolvedPath(folder);
    const bool outDirInside =
        !excluded.isEmpty() && !walked.isEmpty() && excluded.startsWith(walked + QLatin1Char('/'));
    for (FoundFile& file : filesIn(folder, options.recursive)) {
        if (!file.failure.isEmpty()) {
            files.push_back(std::move(file));
            continue;
        }
        if (!isPicture(file.path) || looksLikeEarlierOutput(options, file.path)) {
            continue;
        }
        if (outDirInside && resolvedPath(file.path).startsWith(excluded + QLatin1Char('/'))) {
            continue;  // the results of an earlier run into an out-dir inside this tree
        }
        files.push_back(std::move(file));
    }
    // The order of a folder's entries depends on the file system; a sorted list keeps
    // runs and their reports repeatable.
    std::sort(files.begin(), files.end(),
              [](const FoundFile& a, const FoundFile& b) { return a.path < b.path; });
    for (FoundFile& file : files) {
        // Replaced in place, a link met in a tree would have the file it leads to
        // rewritten wherever that is, outside the tree too.
        QString skip;
        if (options.inPlace && file.link && pictureType(file.path) == PictureType::Jpeg) {
            skip = QStringLiteral(
                "a symbolic link met in a folder; --in-place replaces the file a link "
                "leads to only when the link is named");
        }
        found.push_back({std::move(file.path), std::move(file.relativeFolder),
                         std::move(file.failure), std::move(skip)});
    }
}

// Replacing one name of a file with several hard links gives that name a new file and
// leaves the others with the old picture: the links would silently part ways.
QString splitLinksReason(nlink_t links) {
    const auto others = static_cast<qulonglong>(links - 1);
    return QStringLiteral("has %1 other link%2; replacing it would split them")
        .arg(others)
        .arg(others == 1 ? QString() : QStringLiteral("s"));
}

}  // namespace

QString outputPathFor(const Options& options, const QString& input, const QString& relativeFolder) {
    const QFileInfo info(input);
    const QString folder = info.path();
    const QString base = info.completeBaseName();
    const bool jpeg = pictureType(input) == PictureType::Jpeg;
    const QString jpg = QStringLiteral(".jpg");

    if (options.inPlace) {
        return jpeg ? input : joinPath(folder, base + jpg);
    }
    if (!options.output.isEmpty()) {
        return options.output;
    }
    if (!options.outDir.isEmpty()) {
        const QString suffix = options.suffixGiven ? options.suffix : QString();
        QString name;
        if (jpeg) {
            // Keep the name as it was ("IMG_1.JPEG" stays so), the suffix before the
            // extension.
            const QString extension = info.fileName().mid(base.size());
            name = base + suffix + extension;
        } else {
            name = base + suffix + jpg;
        }
        const QString target =
            relativeFolder.isEmpty() ? options.outDir : joinPath(options.outDir, relativeFolder);
        return joinPath(target, name);
    }
    return joinPath(folder, base + options.suffix + jpg);
}

bool looksLikeEarlierOutput(const Options& options, const QString& path) {
    if (options.inPlace || !options.output.isEmpty() || !options.outDir.isEmpty() ||
        options.suffix.isEmpty()) {
        return false;
    }
    // Results are always NAME + suffix + ".jpg": "logo-vellora.bmp" is a picture of its own.
    return QFileInfo(path).fileName().endsWith(options.suffix + QStringLiteral(".jpg"));
}

BatchPlan planBatch(const Options& options) {
    BatchPlan plan;
    const QString excluded = options.outDir.isEmpty() || !fileFacts(options.outDir).isFolder
                                 ? QString()
                                 : resolvedPath(options.outDir);

    std::vector<Candidate> candidates;
    for (const QString& argument : options.inputs) {
        const FileFacts info = fileFacts(argument);
        // The out-dir holds the results of earlier runs, not inputs: `-d small *` names
        // small/ itself, and walking it would fail every file against its own result.
        if (info.isFolder && !excluded.isEmpty() && resolvedPath(argument) == excluded) {
            candidates.push_back(
                {argument, {}, {}, QStringLiteral("the output folder (-d), not taken as input")});
            continue;
        }
        if (info.isFolder) {
            if (!options.output.isEmpty()) {
                plan.usageError =
                    QStringLiteral("-o takes a single input file, not the folder '%1'")
                        .arg(argument);
                return plan;
            }
            scanFolder(options, argument, excluded, candidates);
        } else if (!info.exists && !info.isLink) {
            candidates.push_back({argument, {}, QStringLiteral("no such file or directory")});
        } else if (!isPicture(argument)) {
            candidates.push_back(
                {argument,
                 {},
                 QStringLiteral("not a JPEG or BMP file (the name must end in .jpg, .jpeg, "
                                ".jpe or .bmp)")});
        } else {
            candidates.push_back({argument, {}, {}});
        }
    }

    // One task per file, however many ways it was named: the first name that can be
    // done does it (a name refused by its extension must not take a file's place), and
    // each later name of it is told as skipped. A refused name of a file done under
    // another is told the same way; of the rest, each file fails once.
    QHash<QString, QString> doneAs;  // input identity -> the name that does it
    for (const Candidate& candidate : candidates) {
        if (const QString id = identity(candidate.path);
            candidate.failure.isEmpty() && candidate.skip.isEmpty() && !doneAs.contains(id)) {
            doneAs.insert(id, candidate.path);
        }
    }
    QSet<QString> inputIds;
    QSet<QString> toldSkips;                            // names skipped so far
    QSet<QString> taken;                                // files whose doing name is planned
    std::vector<std::pair<Candidate, QString>> unique;  // with the input's identity
    for (Candidate& candidate : candidates) {
        const QString id = identity(candidate.path);
        const auto done = doneAs.constFind(id);
        if (done == doneAs.constEnd()) {
            // A file's failure is told once; each name of it skipped (links met in a
            // folder, say) is told.
            if (inputIds.contains(id) &&
                (candidate.skip.isEmpty() || toldSkips.contains(candidate.path))) {
                continue;
            }
            if (!candidate.skip.isEmpty()) {
                toldSkips.insert(candidate.path);
            }
        } else if (*done == candidate.path) {
            if (taken.contains(id)) {
                continue;  // the very name again (named, and found in its folder)
            }
            taken.insert(id);
            // Some candidate of this very name can be done (named, where its folder's
            // walk skipped it): it is.
            candidate.failure.clear();
            candidate.skip.clear();
        } else {
            candidate.failure.clear();
            candidate.skip =
                QStringLiteral("the same file as '%1'; only that name is taken").arg(*done);
        }
        inputIds.insert(id);
        unique.emplace_back(std::move(candidate), id);
    }

    QHash<QString, QString> claimed;  // output identity -> the input writing it
    for (auto& [candidate, inputId] : unique) {
        FileTask task;
        task.input = candidate.path;
        task.type = pictureType(candidate.path);
        const FileFacts found = fileFacts(candidate.path);
        if (found.exists) {
            task.inputDevice = found.device;
            task.inputInode = found.inode;
        }
        task.failure = candidate.failure;
        task.skip = candidate.skip;
        if (task.failure.isEmpty() && task.skip.isEmpty()) {
            // With -d, whose folders are made: "new/../x.jpg" is x.jpg, and every check
            // below, and the write, see that file. Elsewhere no folder is made, and the
            // name stays for the system to judge.
            task.output = outputPathFor(options, candidate.path, candidate.relativeFolder);
            if (!options.outDir.isEmpty()) {
                task.output = withoutUnmadeFolderSteps(task.output);
            }
            if (options.inPlace && task.type == PictureType::Jpeg && found.isLink) {
                // Through a symbolic link: replace the file it points to, keep the link.
                const QString resolved = resolvedPath(candidate.path);
                if (!resolved.isEmpty()) {
                    task.output = resolved;
                }
            }
            const QString outputId = identity(task.output);
            const bool ownInPlace = options.inPlace && outputId == inputId;
            const FileFacts existing = fileFacts(task.output);
            if (outputId == inputId && !ownInPlace) {
                task.failure = QStringLiteral(
                    "the output would replace the input itself (use --in-place "
                    "for that)");
            } else if (!ownInPlace && inputIds.contains(outputId)) {
                task.failure =
                    QStringLiteral("the output '%1' would replace another input").arg(task.output);
            } else if (claimed.contains(outputId)) {
                task.failure = QStringLiteral("the output '%1' is also the output of '%2'")
                                   .arg(task.output, claimed.value(outputId));
            } else if (ownInPlace && existing.links > 1) {
                task.failure = splitLinksReason(existing.links);
            } else if (options.force && existing.isFile && existing.links > 1) {
                // cp would write into the file, under every name; a rename would leave
                // the other names with the old picture while this one reported "ok".
                task.failure = QStringLiteral("the output '%1' ").arg(task.output) +
                               splitLinksReason(existing.links);
            } else if (existing.exists || existing.isLink) {
                if (existing.isFolder) {
                    task.failure = QStringLiteral("the output '%1' is a folder").arg(task.output);
                } else if (existing.exists && !existing.isFile) {
                    // A device, pipe or socket (or a link to one, like /dev/stdout): the
                    // rename at the end would replace the node itself, and as root
                    // -f -o /dev/null would take /dev/null away.
                    task.failure = QStringLiteral(
                                       "the output '%1' is not a regular file (a device, pipe or "
                                       "socket) and is never replaced; -o - writes to stdout")
                                       .arg(task.output);
                } else if (ownInPlace || options.force) {
                    task.replaceOutput = true;
                    if (!ownInPlace && existing.isLink && existing.exists) {
                        // Like cp or a shell's >: write the file the link names and keep
                        // the link, as --in-place does for a linked input.
                        const QString resolved = resolvedPath(task.output);
                        if (!resolved.isEmpty()) {
                            task.output = resolved;
                        }
                    }
                } else {
                    task.failure =
                        QStringLiteral("the output '%1' already exists (use --force to replace it)")
                            .arg(task.output);
                }
            }
            if (task.failure.isEmpty() && options.force && !existing.exists && !existing.isLink) {
                // --force holds for an output that appears while the run works too.
                task.replaceOutput = true;
            }
            task.replacesInput = ownInPlace;
            task.makeFolder = !options.outDir.isEmpty();
            if (task.failure.isEmpty()) {
                claimed.insert(outputId, task.input);
            }
        }
        plan.tasks.push_back(std::move(task));
    }
    return plan;
}

}  // namespace vellora::cli
