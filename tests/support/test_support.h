#pragma once

#include <QString>
#include <QStringList>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace vellora::test {

// A path under the shared test pictures, e.g. testData("kodak/kodim01.png").
[[nodiscard]] QString testData(const QString& relative);

// Whether an unprivileged user (uid 65534, through setpriv) can reach every path in
// `paths` (read, and execute for programs and folders on the way). Tests that drop
// privileges skip when it cannot: a checkout under a private home folder, say.
// Returns an empty string when it can, otherwise the reason.
[[nodiscard]] QString unprivilegedAccessProblem(const QStringList& paths);

// A platform that records instead of acting: the directories are whatever the test
// sets, shell requests and program ends are counted. Installs itself for its lifetime.
class RecordingPlatform : public Platform {
public:
    RecordingPlatform();
    ~RecordingPlatform() override;

    std::string windowsDir;  // what windowsDirectory() reports; empty: failure
    std::string systemDir = VELLORA_MODULE_BUILD_DIR;  // the override folder
    std::string moduleDir = VELLORA_MODULE_BUILD_DIR;  // the installed folder
    std::vector<std::string> shellTargets;
    bool shellOpens = true;  // what shellExecute answers
    int endCount = 0;

    std::uint32_t windowsDirectory(char* buffer, std::uint32_t size) override;
    std::uint32_t systemDirectory(char* buffer, std::uint32_t size) override;
    std::uint32_t moduleDirectory(char* buffer, std::uint32_t size) override;
    bool shellExecute(const QObject* owner, const char* verb, const char* target,
                      const char* parameters, const char* directory, int showCommand) override;
    void endProgram() override;
};

}  // namespace vellora::test
