#pragma once
// The crop rectangle's mouse rules, free of widgets: fm_com's three handlers (Form_Load,
// pic_photo_MouseDown, pic_photo_MouseMove) as plain functions from state to state. The
// window converts its mouse events to twips, calls these, and applies what comes back:
// the new shared crop state, the rectangle's geometry and visibility, the application
// pointer shape and the texts of status panels 2 and 3.
//
// Everything runs in twips. Values the rectangle control holds are single-precision,
// the stored copy and the grab offsets are 32-bit integers (so pictures wider or taller
// than 32767 twips work to their far edges), and every conversion from a single to one
// of those integers rounds to the nearest integer with halves going to the even one.

#include <QString>
#include <cstdint>
#include <optional>

#include "common/screen_pointer.h"
#include "common/shared_state.h"

namespace vellora {

// Mask of held mouse buttons as the handlers receive it.
inline constexpr int kLeftButton = 1;
inline constexpr int kRightButton = 2;
inline constexpr int kMiddleButton = 4;

// sh_crop's geometry and visibility, in twips of pic_photo's client area.
struct CropGeometry {
    float Left = 0.0F;
    float Top = 0.0F;
    float Width = 0.0F;
    float Height = 0.0F;
    bool Visible = false;

    friend bool operator==(const CropGeometry&, const CropGeometry&) = default;
};

// The picture box's size in twips (its picture's size) and the screen's twips per pixel.
struct PictureMetrics {
    float ScaleWidth = 0.0F;
    float ScaleHeight = 0.0F;
    float TwipsPerPixelX = 15.0F;
    float TwipsPerPixelY = 15.0F;
};

// One mouse event over pic_photo: held buttons (kLeftButton | ...) and the position in
// twips; during a held button the position may be negative or beyond the picture.
struct PointerEvent {
    int Button = 0;
    float X = 0.0F;
    float Y = 0.0F;
};

// What one handler call leaves behind. Fields the call did not write are empty.
struct CropOutcome {
    CropState state;                  // the shared crop state after the call
    CropGeometry geometry;            // sh_crop after the call
    bool hiddenAndShown = false;      // the call hid the rectangle and showed it again
    std::optional<int> MousePointer;  // pointer shape to set (a PointerShape value)
    std::optional<QString> panel2;    // new text of status panel 2
    std::optional<QString> panel3;    // new text of status panel 3
};

class CropInteraction {
public:
    // Form_Load: take the stored copy of the rectangle's geometry.
    [[nodiscard]] static CropOutcome formLoad(const CropState& state, const CropGeometry& shape);

    // pic_photo_MouseDown: with the left button alone, take the geometry and, when the
    // press lies inside the rectangle (edges included), the grab offsets.
    [[nodiscard]] static CropOutcome mouseDown(const CropState& state, const CropGeometry& shape,
                                               const PointerEvent& event);

    // pic_photo_MouseMove: panels 2 and 3 from the stored copy, then the hover
    // classification (no button) or the drag step (left button alone). A hidden
    // rectangle only clears the two panels.
    [[nodiscard]] static CropOutcome mouseMove(const CropState& state, const CropGeometry& shape,
                                               const PictureMetrics& picture,
                                               const PointerEvent& event);
};

// A single converted to a 32-bit integer: nearest, halves to the even neighbour, whatever
// the floating-point rounding mode. Values beyond the range clamp to its ends; NaN gives 0.
[[nodiscard]] std::int32_t roundToInt32(double value);

// A single-precision number in its shortest default text form: no leading blank, no digit
// grouping, at most seven significant digits with trailing zeros dropped, a minus sign
// "-" when negative, and decimalPoint as the separator. Magnitudes from 1E+07 up and
// below 1E-04 are written with an exponent, "1.5E+07", "1E-05". The one-argument form
// uses the user's separator, QLocale().decimalPoint().
[[nodiscard]] QString singleText(float value, const QString& decimalPoint);
[[nodiscard]] QString singleText(float value);

}  // namespace vellora
