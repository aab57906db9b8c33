#pragma once
// The program's command line: `vellora [--help | --version] [FILE]`. File managers start
// it through the desktop entry with the picture to open.

#include <QString>
#include <QStringList>
#include <QUrl>
#include <optional>

namespace vellora {

struct CommandLine {
    // The picture to open once the window shows, as a full path.
    std::optional<QString> file;
    // Set when the program should print `output` and end with this status instead of
    // starting (help, version, a usage error).
    std::optional<int> exitCode;
    QString output;
};

// The file a file: address names on this machine (no host, or "localhost"), or "" for
// any other address: another host's file is a share the program cannot reach by that
// name.
[[nodiscard]] QString localFileOf(const QUrl& url);

// `arguments` as QCoreApplication::arguments() gives them, the program's name first.
// A relative name is taken from `workingDirectory`; a file: address is accepted too.
[[nodiscard]] CommandLine parseCommandLine(const QStringList& arguments,
                                           const QString& workingDirectory);

}  // namespace vellora
