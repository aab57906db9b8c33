#pragma once
// The program's side of the image library module (imgdll.so): the module is loaded on
// the first call of any entry, from the per-user override folder GetSystemDir(0) when
// a copy is there, otherwise from the installed folder InstalledModuleDir(); each
// entry is bound by name on its own first call. Safe to call from several threads.

#include <QString>
#include <cstdint>
#include <functional>
#include <optional>

#include "platform/runtime_error.h"

namespace vellora {

// The module's file name inside the module directory.
inline constexpr const char* kImageLibraryFileName = "imgdll.so";

class ImageLibrary {
public:
    // moduleDirectory empty: GetSystemDir(0), then InstalledModuleDir(), read at the
    // first call.
    explicit ImageLibrary(QString moduleDirectory = {});
    ~ImageLibrary();
    ImageLibrary(const ImageLibrary&) = delete;
    ImageLibrary& operator=(const ImageLibrary&) = delete;

    // Each entry throws RuntimeError: ErrorNumber::FileNotFound when the module file is
    // missing, ErrorNumber::LibraryLoadFailed (48) when it exists but will not load,
    // ErrorNumber::Other when the module lacks the entry.
    std::int32_t ImgDLLStringInitDLL(const char* init);
    void* ImgDLLReadRGBFromJPG(const char* path, std::int32_t* width, std::int32_t* height);
    void* ImgDLLReadRGBFromBMP(const char* path, std::int32_t* width, std::int32_t* height);
    void* ImgDLLCropRGB(void* source, std::int32_t width, std::int32_t height, std::int32_t left,
                        std::int32_t top, std::int32_t right, std::int32_t bottom);
    std::int32_t ImgDLLSaveRGBToJPG(const char* path, void* buffer, std::int32_t width,
                                    std::int32_t height, std::int32_t quality, std::int32_t flag);
    const char* ImgDLLGetLastError();

private:
    struct Impl;
    Impl* m_impl;
};

// The program's one image library, loaded at its first call.
[[nodiscard]] ImageLibrary& imageLibrary();

// The per-user copy of the module in the override folder, which the loader takes before
// the installed one; nullopt when there is none, or when the override folder is (or
// leads to) the installed module's.
[[nodiscard]] std::optional<QString> overrideModuleCopy();

// The recovery for a module that exists but will not load: when the override folder
// holds a copy (GetSystemDir(0) + "/" + kImageLibraryFileName), that copy is the stale
// one: delete it, let `inform` tell the user "Please re-run Vellora, this instance will
// end." and end the program at once; returns true then, and the next start loads the
// installed module. Returns false (and does nothing) when there is no such copy; the
// installed module is never deleted, even when the override folder leads to it.
bool recoverFromLibraryLoadFailure(const std::function<void(const QString&)>& inform);

}  // namespace vellora
