#include "image_library.h"

#include <dlfcn.h>

#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <array>
#include <atomic>
#include <mutex>

#include "imaging/imgdll_api.h"
#include "platform/paths.h"
#include "platform/platform.h"

namespace vellora {
namespace {

enum Entry : std::size_t { kInit, kReadJpg, kReadBmp, kCrop, kSave, kLastError, kEntryCount };

constexpr std::array<const char*, kEntryCount> kEntryNames = {
    "ImgDLLStringInitDLL", "ImgDLLReadRGBFromJPG", "ImgDLLReadRGBFromBMP",
    "ImgDLLCropRGB",       "ImgDLLSaveRGBToJPG",   "ImgDLLGetLastError"};

QString modulePath(const QString& directory) {
    return directory + QLatin1Char(kDirectorySeparator) +
           QString::fromLatin1(kImageLibraryFileName);
}

}  // namespace

struct ImageLibrary::Impl {
    QString directory;
    std::mutex mutex;  // guards loading and binding
    void* module = nullptr;
    std::array<std::atomic<void*>, kEntryCount> entries{};

    // Loads the module if need be (under the mutex); throws on failure. Without a
    // folder of its own the library looks in the per-user override folder first, then
    // in the installed folder; the first copy found is the one loaded, and a copy that
    // will not load is reported (error 48) rather than passed over, so the recovery
    // can remove it.
    void load() {
        if (module) {
            return;
        }
        QStringList folders;
        if (!directory.isEmpty()) {
            folders << directory;
        } else {
            folders << GetSystemDir(0) << InstalledModuleDir();
        }
        folders.removeAll(QString());
        if (folders.isEmpty()) {
            throw RuntimeError(ErrorNumber::FileNotFound,
                               "the image library's directory is unknown");
        }
        QString path;
        for (const QString& folder : folders) {
            if (QFileInfo::exists(modulePath(folder))) {
                path = modulePath(folder);
                break;
            }
        }
        if (path.isEmpty()) {
            throw RuntimeError(
                ErrorNumber::FileNotFound,
                "image library not found: " + modulePath(folders.last()).toStdString());
        }
        const QByteArray file = QFile::encodeName(path);
        void* handle = ::dlopen(file.constData(), RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            const char* reason = ::dlerror();
            throw RuntimeError(ErrorNumber::LibraryLoadFailed,
                               "cannot load the image library " + path.toStdString() + ": " +
                                   (reason ? reason : "unknown reason"));
        }
        module = handle;
    }

    // The entry's address, loading the module and binding the entry on first use.
    void* entry(Entry which) {
        if (void* bound = entries[which].load(std::memory_order_acquire)) {
            return bound;
        }
        std::lock_guard lock(mutex);
        if (void* bound = entries[which].load(std::memory_order_relaxed)) {
            return bound;
        }
        load();
        (void)::dlerror();
        void* address = ::dlsym(module, kEntryNames[which]);
        if (!address) {
            throw RuntimeError(ErrorNumber::Other,
                               std::string("the image library lacks ") + kEntryNames[which]);
        }
        entries[which].store(address, std::memory_order_release);
        return address;
    }

    template <typename Function>
    Function* bind(Entry which) {
        return reinterpret_cast<Function*>(entry(which));
    }
};

ImageLibrary::ImageLibrary(QString moduleDirectory) : m_impl(new Impl) {
    m_impl->directory = std::move(moduleDirectory);
}

ImageLibrary::~ImageLibrary() {
    if (m_impl->module) {
        ::dlclose(m_impl->module);
    }
    delete m_impl;
}

std::int32_t ImageLibrary::ImgDLLStringInitDLL(const char* init) {
    return m_impl->bind<decltype(::ImgDLLStringInitDLL)>(kInit)(init);
}

void* ImageLibrary::ImgDLLReadRGBFromJPG(const char* path, std::int32_t* width,
                                         std::int32_t* height) {
    return m_impl->bind<decltype(::ImgDLLReadRGBFromJPG)>(kReadJpg)(path, width, height);
}

void* ImageLibrary::ImgDLLReadRGBFromBMP(const char* path, std::int32_t* width,
                                         std::int32_t* height) {
    return m_impl->bind<decltype(::ImgDLLReadRGBFromBMP)>(kReadBmp)(path, width, height);
}

void* ImageLibrary::ImgDLLCropRGB(void* source, std::int32_t width, std::int32_t height,
                                  std::int32_t left, std::int32_t top, std::int32_t right,
                                  std::int32_t bottom) {
    return m_impl->bind<decltype(::ImgDLLCropRGB)>(kCrop)(source, width, height, left, top, right,
                                                          bottom);
}

std::int32_t ImageLibrary::ImgDLLSaveRGBToJPG(const char* path, void* buffer, std::int32_t width,
                                              std::int32_t height, std::int32_t quality,
                                              std::int32_t flag) {
    return m_impl->bind<decltype(::ImgDLLSaveRGBToJPG)>(kSave)(path, buffer, width, height, quality,
                                                               flag);
}

const char* ImageLibrary::ImgDLLGetLastError() {
    return m_impl->bind<decltype(::ImgDLLGetLastError)>(kLastError)();
}

ImageLibrary& imageLibrary() {
    // Never destroyed: buffers and threads may outlive static destruction, and the
    // module must stay mapped while anything could still call into it.
    static ImageLibrary* library = new ImageLibrary();
    return *library;
}

std::optional<QString> overrideModuleCopy() {
    const QString overrideFolder = GetSystemDir(0);
    if (overrideFolder.isEmpty()) {
        return std::nullopt;
    }
    const QFileInfo copy(modulePath(overrideFolder));
    if (!copy.exists() && !copy.isSymLink()) {
        return std::nullopt;
    }
    // Should the override folder be (or lead to) the installed one, its file is the
    // installed module, never a copy of the user's.
    const QString installed = InstalledModuleDir();
    if (!installed.isEmpty()) {
        const QString installedFolder = QFileInfo(installed).canonicalFilePath();
        const QString copyFolder = QFileInfo(copy.absolutePath()).canonicalFilePath();
        const QString copyTarget = copy.canonicalFilePath();
        if (copyFolder == installedFolder ||
            (!copyTarget.isEmpty() &&
             copyTarget == QFileInfo(modulePath(installed)).canonicalFilePath())) {
            return std::nullopt;
        }
    }
    return copy.absoluteFilePath();
}

bool recoverFromLibraryLoadFailure(const std::function<void(const QString&)>& inform) {
    // The installed module is never removed, however the folders are set up.
    const std::optional<QString> stale = overrideModuleCopy();
    if (!stale) {
        return false;
    }
    QFile::remove(*stale);  // a symbolic link goes, not what it points to
    if (inform) {
        inform(QStringLiteral("Please re-run Vellora, this instance will end."));
    }
    currentPlatform().endProgram();
    return true;
}

}  // namespace vellora
