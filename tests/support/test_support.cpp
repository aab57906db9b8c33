#include "test_support.h"

#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <cstring>

namespace vellora::test {
namespace {

std::uint32_t copyOut(const std::string& text, char* buffer, std::uint32_t size) {
    if (text.empty()) {
        return 0;
    }
    const auto length = static_cast<std::uint32_t>(text.size());
    if (size <= length) {
        return length + 1;
    }
    std::memcpy(buffer, text.c_str(), length + 1);
    return length;
}

}  // namespace

QString unprivilegedAccessProblem(const QStringList& paths) {
    const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
    if (setpriv.isEmpty()) {
        return QStringLiteral("setpriv is not installed");
    }
    for (const QString& path : paths) {
        const bool program = QFileInfo(path).isExecutable();
        QProcess probe;
        probe.start(setpriv, {QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                              QStringLiteral("--clear-groups"), QStringLiteral("test"),
                              program ? QStringLiteral("-x") : QStringLiteral("-r"), path});
        if (!probe.waitForFinished(30000) || probe.exitStatus() != QProcess::NormalExit ||
            probe.exitCode() != 0) {
            return QStringLiteral("an unprivileged user cannot reach ") + path;
        }
    }
    return {};
}

QString testData(const QString& relative) {
    return QStringLiteral(VELLORA_TESTDATA_DIR "/") + relative;
}

RecordingPlatform::RecordingPlatform() {
    installPlatform(this);
}

RecordingPlatform::~RecordingPlatform() {
    installPlatform(nullptr);
}

std::uint32_t RecordingPlatform::windowsDirectory(char* buffer, std::uint32_t size) {
    return copyOut(windowsDir, buffer, size);
}

std::uint32_t RecordingPlatform::systemDirectory(char* buffer, std::uint32_t size) {
    return copyOut(systemDir, buffer, size);
}

std::uint32_t RecordingPlatform::moduleDirectory(char* buffer, std::uint32_t size) {
    return copyOut(moduleDir, buffer, size);
}

bool RecordingPlatform::shellExecute(const QObject*, const char*, const char* target, const char*,
                                     const char*, int) {
    shellTargets.emplace_back(target ? target : "");
    return shellOpens;
}

void RecordingPlatform::endProgram() {
    ++endCount;
}

}  // namespace vellora::test
