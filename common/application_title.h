#pragma once
// The application's title: the main window's caption, the title every message box
// carries, and the name the about window shows.

#include <QString>

namespace vellora {

inline const QString kApplicationTitle = QStringLiteral("Vellora");

}  // namespace vellora
