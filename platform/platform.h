#pragma once
// The stand-ins for the operating-system calls the program makes: the two system
// directories, opening a document or address with the desktop, and ending the
// process at once. The program reaches them through currentPlatform(); tests install
// their own Platform to record or steer what happens.

#include <cstdint>

#include "globalmem.h"

class QObject;

namespace vellora {

class Platform {
public:
    virtual ~Platform() = default;

    // Both directory calls follow the kernel's buffer rule: when the text and its
    // terminating NUL fit into `size` characters, copy them and return the length
    // without the NUL; otherwise write nothing and return the size needed. 0 means
    // failure.

    // The private directory of this running instance (the "Windows directory"),
    // made on first use and removed when the program ends.
    virtual std::uint32_t windowsDirectory(char* buffer, std::uint32_t size) = 0;
    // The per-user override folder for the image library module (the "System
    // directory"): the loader looks for the module here before the installed folder,
    // so a copy placed here wins; a copy here that will not load is the stale copy the
    // library-load recovery deletes.
    virtual std::uint32_t systemDirectory(char* buffer, std::uint32_t size) = 0;
    // The folder the image library module is installed in, beside the program. Nothing
    // in the program ever deletes from it.
    virtual std::uint32_t moduleDirectory(char* buffer, std::uint32_t size) = 0;
    // Opens a document path or web address with the desktop's handler. The owner
    // and show command are accepted for symmetry with the desktop call; the result
    // says whether the desktop accepted the request.
    virtual bool shellExecute(const QObject* owner, const char* verb, const char* target,
                              const char* parameters, const char* directory, int showCommand) = 0;
    // Ends the program at once: no window gets to run its close handling.
    virtual void endProgram() = 0;
};

// The platform in use: the real one unless a test installed another.
[[nodiscard]] VELLORA_PLATFORM_API Platform& currentPlatform();
// Installs `platform` (not owned) as the platform in use; null puts the real one back.
VELLORA_PLATFORM_API void installPlatform(Platform* platform);

// Removes this instance's private directory now (the real platform does this on every
// end of the program; exposed so an orderly shutdown can do it before exiting).
VELLORA_PLATFORM_API void removePrivateDirectory();

// Removes the private directories that instances which ended without cleaning up
// (killed, crashed, power lost) left in the temporary folder, and makes this
// instance's own. Each private directory holds a lock file its instance keeps locked
// while it runs, so a directory is removed only when no running instance holds it;
// another user's directories and anything without that lock are never touched. Call
// once at start.
VELLORA_PLATFORM_API void preparePrivateDirectory();

// Puts /dev/null on any of descriptors 0, 1 and 2 the program was started without,
// opened the wrong way round (stdin for writing, stdout and stderr for reading), so
// that every use of a missing stream fails as it would have. Without this, the first
// files the program opens take those numbers, and report text lands in pictures or a
// picture in a lock file. Call first thing in main, before any file or Qt object.
VELLORA_PLATFORM_API void guardStandardStreams();

// The size of the buffer the program reads the private directory's path into; a
// longer path reads as "", so the directory is made where its path fits.
inline constexpr std::uint32_t kWindowsDirectoryBufferSize = 145;

// The name of the lock file inside every private directory.
inline constexpr const char* kInstanceLockName = "instance.lock";

}  // namespace vellora
