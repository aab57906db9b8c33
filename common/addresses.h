#pragma once
// The addresses the Help command and the about window's links open. A web address
// configured at build time wins; otherwise the help page installed with the program.

#include <QString>

namespace vellora {

[[nodiscard]] QString helpPageAddress();
[[nodiscard]] QString homePageAddress();
[[nodiscard]] QString productPageAddress();

// The installed help page as a file URL (next to the executable's ../share).
[[nodiscard]] QString installedHelpPage();

}  // namespace vellora
