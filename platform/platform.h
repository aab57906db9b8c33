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
    // The directory the image library module is loaded from (the "System directory").
    virtual std::uint32_t systemDirectory(char* buffer, std::uint32_t size) = 0;
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

}  // namespace vellora
