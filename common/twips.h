#pragma once
// Twips: the unit the windows' coordinates are kept in. 1440 twips make an inch, so a
// logical pixel is 1440 / dpi twips (15 at 96 dots per inch).

#include <QRect>

namespace vellora {

// The screen's twips per logical pixel, read afresh on every call (the screen may
// change while the program runs). 15 when there is no screen.
[[nodiscard]] float TwipsPerPixelX();
[[nodiscard]] float TwipsPerPixelY();

// Twips to whole logical pixels (nearest, halves to even) and back.
[[nodiscard]] int twipsToPixelsX(double twips);
[[nodiscard]] int twipsToPixelsY(double twips);
[[nodiscard]] float pixelsToTwipsX(int pixels);
[[nodiscard]] float pixelsToTwipsY(int pixels);

// A rectangle given in twips (a control's design place), in whole logical pixels.
[[nodiscard]] QRect twipsRect(float left, float top, float width, float height);

}  // namespace vellora
