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

// Where the run's private folders (a picture read from stdin, a result on its way to
// stdout, a dry run's encodes) are made, as a QTemporaryDir template: inside this
// process's private directory, which the platform keeps locked while the process runs
// and which the next start of vellora-cli or Vellora removes once its process is gone,
// however it ended.
[[nodiscard]] QString privateFolderTemplate();

// Makes `folder` (a private folder just made) its owner's alone to use, whatever the
// umask took from the owner (0277 left it unwritable); false when that fails.
bool keepToOwner(const QString& folder);

}  // namespace vellora::cli
