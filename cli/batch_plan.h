#pragma once
// Turns the command line into the list of files to work on: folders expanded, every
// input paired with its output, and every output that must not be written (an input,
// an existing file without --force, a file another input also writes) refused up
// front with its reason. Touches the file system only to look.

#include <sys/types.h>

#include <QString>
#include <vector>

#include "cli/options.h"
#include "passes/pass_support.h"

namespace vellora::cli {

struct FileTask {
    QString input;   // as given on the command line or found in a folder
    QString output;  // where the result goes
    PictureType type = PictureType::Invalid;
    // The output may replace an existing file (--force, or --in-place on its own input).
    bool replaceOutput = false;
    // The output is the input itself (--in-place on a JPEG).
    bool replacesInput = false;
    // The output's folder may be made (it lies below -d's folder).
    bool makeFolder = false;
    // Non-empty: the file fails with this reason without being read.
    QString failure;
    // Non-empty: the file is skipped with this reason without being read (another name
    // of it is done).
    QString skip;
    // The file the plan found under `input` (inode 0: none): a name that leads to another
    // file when its turn comes (a folder on its path swapped for a link) is not done.
    dev_t inputDevice = 0;
    ino_t inputInode = 0;
};

struct BatchPlan {
    std::vector<FileTask> tasks;
    QString usageError;  // non-empty: the command line cannot be carried out at all
};

// Where one input's result goes. `relativeFolder` is the folder of the input below the
// DIR argument it was found in ("" for files named on the command line and for files
// directly inside a DIR argument). Pure: no file-system access.
[[nodiscard]] QString outputPathFor(const Options& options, const QString& input,
                                    const QString& relativeFolder);

// True when `path` (a file found in a folder) looks like a result of an earlier run
// beside its input (its base name ends with the suffix), so a second run over the same
// folder does not shrink the results again.
[[nodiscard]] bool looksLikeEarlierOutput(const Options& options, const QString& path);

[[nodiscard]] BatchPlan planBatch(const Options& options);

}  // namespace vellora::cli
