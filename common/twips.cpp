#include "twips.h"

#include <QGuiApplication>
#include <QScreen>
#include <cmath>

namespace vellora {
namespace {

constexpr float kTwipsPerInch = 1440.0F;
constexpr float kDefaultTwipsPerPixel = 15.0F;

float twipsPerPixel(bool horizontal) {
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (screen == nullptr) {
        return kDefaultTwipsPerPixel;
    }
    const double dpi = horizontal ? screen->logicalDotsPerInchX() : screen->logicalDotsPerInchY();
    if (!(dpi > 0.0)) {
        return kDefaultTwipsPerPixel;
    }
    return kTwipsPerInch / static_cast<float>(dpi);
}

}  // namespace

float TwipsPerPixelX() {
    return twipsPerPixel(true);
}

float TwipsPerPixelY() {
    return twipsPerPixel(false);
}

int twipsToPixelsX(double twips) {
    return static_cast<int>(std::nearbyint(twips / TwipsPerPixelX()));
}

int twipsToPixelsY(double twips) {
    return static_cast<int>(std::nearbyint(twips / TwipsPerPixelY()));
}

float pixelsToTwipsX(int pixels) {
    return static_cast<float>(pixels) * TwipsPerPixelX();
}

float pixelsToTwipsY(int pixels) {
    return static_cast<float>(pixels) * TwipsPerPixelY();
}

QRect twipsRect(float left, float top, float width, float height) {
    return {twipsToPixelsX(left), twipsToPixelsY(top), twipsToPixelsX(width),
            twipsToPixelsY(height)};
}

}  // namespace vellora
