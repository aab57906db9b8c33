#pragma once
// The program's only wrappers of the platform's directory and shell calls.

#include <QString>
#include <cstdint>

class QObject;

namespace vellora {

// The private directory of this running instance, as the platform reports it into a
// 145-character buffer; "" when the call fails or the path does not fit.
[[nodiscard]] QString GetWindowsDir();

// The per-user override folder for the image library module, searched before the
// installed one, read into a 255-character buffer. flag -1: make sure it ends with the
// separator; flag 0: make sure it does not; any other flag: as reported.
[[nodiscard]] QString GetSystemDir(std::int16_t flag);

// The folder the image library module is installed in (no trailing separator); ""
// when unknown.
[[nodiscard]] QString InstalledModuleDir();

// Opens a document path or web address with the desktop; false when nothing took it
// (no program to open it with, or no such file). Callers that can say so should.
bool ShellOpen(const QObject* form, const QString& target, std::int32_t showCommand);

// The working file: the re-encoded picture of the last pass, inside GetWindowsDir();
// "" when there is no private directory.
[[nodiscard]] QString WorkingFile();

// The separator the directory helpers put at the end of a directory name.
inline constexpr char kDirectorySeparator = '/';

}  // namespace vellora
