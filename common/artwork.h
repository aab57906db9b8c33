#pragma once
// Vellora's own pictures, drawn in code so they stay crisp and need no image files:
// the 16 x 16 toolbar buttons, the 32 x 32 window icon and the 150 x 50 logo.

#include <QIcon>
#include <QPixmap>

namespace vellora::artwork {

[[nodiscard]] QPixmap openFolder();  // an open yellow folder
[[nodiscard]] QPixmap floppyDisk();  // a floppy disk
[[nodiscard]] QPixmap helpBook();    // a tilted purple book with a yellow question mark
[[nodiscard]] QPixmap cropTool();    // two interlocking right angles
[[nodiscard]] QIcon windowIcon();    // 32 x 32, a small, compressed photo
[[nodiscard]] QPixmap logo();        // 150 x 50, the maker's logo

}  // namespace vellora::artwork
