#pragma once
// The crop pass: reads the opened picture again, cuts out the crop rectangle (twips
// converted to pixels) and writes the cut-out into the working file at the slider's
// quality. It changes nothing on screen but captions and messages.

#include <QString>

#include "common/shared_state.h"
#include "passes/pass_library.h"
#include "passes/pass_support.h"

namespace vellora {

// What the crop pass reads and touches. Any call may raise a run-time error; the crop
// pass has no trap of its own, so such an error ends it and reaches the caller.
class CropView {
public:
    virtual ~CropView() = default;
    virtual void message(MessageIcon icon, const QString& text) = 0;
    virtual void setMainCaption(const QString& caption) = 0;
    virtual void setCompressedCaption(const QString& caption) = 0;
    [[nodiscard]] virtual int sliderValue() = 0;
    // The crop rectangle's geometry in twips, relative to the picture's top-left corner.
    [[nodiscard]] virtual float cropLeft() = 0;
    [[nodiscard]] virtual float cropTop() = 0;
    [[nodiscard]] virtual float cropWidth() = 0;
    [[nodiscard]] virtual float cropHeight() = 0;
    // The screen's twips per pixel, read afresh for each conversion.
    [[nodiscard]] virtual float twipsPerPixelX() = 0;
    [[nodiscard]] virtual float twipsPerPixelY() = 0;
};

// A twips value divided by twips per pixel, rounded to the nearest whole pixel with
// halves going to the even one; raises an overflow error outside the 32-bit range.
[[nodiscard]] std::int32_t twipsToPixel(float twips, float twipsPerPixel);

// Runs the pass. Returns true when the working file now holds the cut-out; false when
// the pass ended with one of its messages or captions.
[[nodiscard]] bool runCropPass(const SharedState& state, PassLibrary& library, CropView& view,
                               const QString& workingFile);

}  // namespace vellora
