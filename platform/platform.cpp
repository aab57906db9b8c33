#include "platform.h"

#include <QDesktopServices>
#include <QDir>
#include <QTemporaryDir>
#include <QUrl>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>

namespace vellora {
namespace {

std::uint32_t copyToBuffer(const std::string& text, char* buffer, std::uint32_t size) {
    if (text.empty()) {
        return 0;
    }
    const auto length = static_cast<std::uint32_t>(text.size());
    if (buffer == nullptr || size <= length) {
        return length + 1;
    }
    std::memcpy(buffer, text.data(), length);
    buffer[length] = '\0';
    return length;
}

class PrivateDirectory {
public:
    static PrivateDirectory& instance() {
        static PrivateDirectory directory;
        return directory;
    }

    std::string path() {
        std::lock_guard lock(m_mutex);
        if (!m_directory) {
            m_directory = std::make_unique<QTemporaryDir>(QDir::tempPath() +
                                                          QStringLiteral("/vellora-XXXXXX"));
            if (!m_directory->isValid()) {
                m_directory.reset();
                return {};
            }
        }
        return QDir::toNativeSeparators(m_directory->path()).toStdString();
    }

    void remove() {
        std::lock_guard lock(m_mutex);
        m_directory.reset();  // QTemporaryDir removes the directory and what it holds
    }

private:
    std::mutex m_mutex;
    std::unique_ptr<QTemporaryDir> m_directory;
};

std::string moduleDirectory() {
    std::error_code error;
    const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) {
        return {};
    }
    auto directory = executable.parent_path().parent_path() / VELLORA_MODULE_SUBDIR;
    auto canonical = std::filesystem::weakly_canonical(directory, error);
    return error ? directory.string() : canonical.string();
}

class SystemPlatform final : public Platform {
public:
    std::uint32_t windowsDirectory(char* buffer, std::uint32_t size) override {
        return copyToBuffer(PrivateDirectory::instance().path(), buffer, size);
    }

    std::uint32_t systemDirectory(char* buffer, std::uint32_t size) override {
        return copyToBuffer(moduleDirectory(), buffer, size);
    }

    bool shellExecute(const QObject*, const char*, const char* target, const char*, const char*,
                      int) override {
        if (target == nullptr || *target == '\0') {
            return false;
        }
        return QDesktopServices::openUrl(QUrl::fromUserInput(QString::fromLocal8Bit(target)));
    }

    void endProgram() override {
        std::fflush(nullptr);
        PrivateDirectory::instance().remove();
        std::_Exit(0);
    }
};

SystemPlatform& systemPlatform() {
    static SystemPlatform platform;
    return platform;
}

Platform* g_installed = nullptr;

}  // namespace

Platform& currentPlatform() {
    return g_installed ? *g_installed : systemPlatform();
}

void installPlatform(Platform* platform) {
    g_installed = platform;
}

void removePrivateDirectory() {
    PrivateDirectory::instance().remove();
}

}  // namespace vellora
