#pragma once
// The scratch files a run that was killed (SIGKILL, a crash, power loss) had no chance
// to remove: the run's own ".NAME.PID-N-RANDOM.vellora-tmp" files and the image
// library's temporary files beside them. The next run that writes into the same folder
// removes them, and only those whose process is gone, so two runs at once never take
// each other's files.

#include <QString>
#include <QStringList>
#include <optional>

namespace vellora::cli {

// The process id a scratch file name carries, or nullopt when `name` is not one of
// the names this tool (or the library writing for it) makes.
[[nodiscard]] std::optional<long long> scratchFileOwner(const QString& name);

// Removes, in each folder, the regular files with a scratch name of this user whose
// process no longer runs. Returns how many were removed.
int sweepAbandonedScratchFiles(const QStringList& folders);

// The run's private folders (a picture read from stdin, a result on its way to stdout,
// a dry run's encodes) are made from this template in the system's temporary folder:
// "vellora-cli.PID-XXXXXX", so that a run killed with them in place can be told.
[[nodiscard]] QString privateFolderTemplate();

// Removes, in `root`, the private folders of this user whose process no longer runs,
// with what they hold (a copy of someone's picture). Returns how many were removed.
int sweepAbandonedPrivateFolders(const QString& root);

}  // namespace vellora::cli
