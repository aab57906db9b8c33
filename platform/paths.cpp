#include "paths.h"

#include <array>

#include "platform.h"

namespace vellora {

QString GetWindowsDir() {
    std::array<char, kWindowsDirectoryBufferSize> buffer{};  // all NUL
    (void)currentPlatform().windowsDirectory(buffer.data(), buffer.size());
    // Everything before the first NUL: the call writes nothing when the path does not
    // fit, which leaves the empty string.
    return QString::fromLocal8Bit(buffer.data());
}

QString GetSystemDir(std::int16_t flag) {
    std::array<char, 255> buffer{};
    std::uint32_t count = currentPlatform().systemDirectory(buffer.data(), buffer.size());
    if (count >= buffer.size()) {
        count = 0;  // did not fit: nothing was written
    }
    QString directory = QString::fromLocal8Bit(buffer.data(), static_cast<qsizetype>(count));
    const QChar separator = QLatin1Char(kDirectorySeparator);
    if (flag == -1 && !directory.endsWith(separator)) {
        directory.append(separator);
    } else if (flag == 0 && directory.endsWith(separator)) {
        directory.chop(1);
    }
    return directory;
}

QString InstalledModuleDir() {
    std::array<char, 4096> buffer{};
    const std::uint32_t count = currentPlatform().moduleDirectory(buffer.data(), buffer.size());
    if (count == 0 || count >= buffer.size()) {
        return {};
    }
    QString directory = QString::fromLocal8Bit(buffer.data(), static_cast<qsizetype>(count));
    while (directory.size() > 1 && directory.endsWith(QLatin1Char(kDirectorySeparator))) {
        directory.chop(1);
    }
    return directory;
}

bool ShellOpen(const QObject* form, const QString& target, std::int32_t showCommand) {
    const QByteArray text = target.toLocal8Bit();
    return currentPlatform().shellExecute(form, "Open", text.constData(), "", "", showCommand);
}

QString WorkingFile() {
    const QString directory = GetWindowsDir();
    if (directory.isEmpty()) {
        // No private directory: never fall back to a file at the file-system root.
        return {};
    }
    return directory + QLatin1Char(kDirectorySeparator) + QStringLiteral("winpcdll");
}

}  // namespace vellora
