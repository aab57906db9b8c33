#include "test_support.h"

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

bool RecordingPlatform::shellExecute(const QObject*, const char*, const char* target, const char*,
                                     const char*, int) {
    shellTargets.emplace_back(target ? target : "");
    return true;
}

void RecordingPlatform::endProgram() {
    ++endCount;
}

}  // namespace vellora::test
