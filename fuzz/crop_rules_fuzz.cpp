// The crop rectangle's mouse rules on any sequence of events: a load, then presses
// and moves with any buttons and any positions (NaN, infinities, far outside the
// picture). No undefined behaviour (float to integer conversions out of range are
// what the sanitizer looks for here), and the two number helpers keep their promises.

#include <QString>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "fuzz/fuzz_support.h"
#include "image_windows/crop_interaction.h"

namespace {

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
    [[nodiscard]] bool empty() const { return m_used >= m_size; }
    std::uint8_t byte() { return m_used < m_size ? m_data[m_used++] : 0; }
    float number() {
        std::uint8_t bytes[4] = {byte(), byte(), byte(), byte()};
        float value = 0;
        std::memcpy(&value, bytes, sizeof value);
        return value;
    }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_used = 0;
};

void checkHelpers(float value) {
    using vellora::fuzz::require;
    const std::int32_t rounded = vellora::roundToInt32(value);
    if (std::isnan(value)) {
        require(rounded == 0, "NaN rounds to 0");
    } else if (value >= 2147483647.0F) {
        require(rounded == std::numeric_limits<std::int32_t>::max(), "clamps high");
    } else if (value <= -2147483648.0F) {
        require(rounded == std::numeric_limits<std::int32_t>::min(), "clamps low");
    } else {
        require(std::fabs(static_cast<double>(rounded) - value) <= 0.5, "rounds to nearest");
    }
    if (std::isfinite(value)) {
        const QString text = vellora::singleText(value, QStringLiteral("."));
        bool ok = false;
        const double back = text.toDouble(&ok);
        require(ok, "single text parses back", text.toStdString());
        require(std::fabs(back - value) <= std::fabs(static_cast<double>(value)) * 1e-6,
                "single text keeps seven digits", text.toStdString());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input input(data, size);
    vellora::CropGeometry shape{input.number(), input.number(), input.number(), input.number(),
                                (input.byte() & 1) != 0};
    vellora::PictureMetrics picture{input.number(), input.number(), 15.0F, 15.0F};
    if (input.byte() & 1) {
        picture.TwipsPerPixelX = input.number();
        picture.TwipsPerPixelY = input.number();
    }
    vellora::CropOutcome outcome = vellora::CropInteraction::formLoad({}, shape);
    for (int step = 0; step < 64 && !input.empty(); ++step) {
        const std::uint8_t kind = input.byte();
        const vellora::PointerEvent event{kind >> 2 & 7, input.number(), input.number()};
        checkHelpers(event.X);
        if (kind & 1) {
            outcome = vellora::CropInteraction::mouseDown(outcome.state, outcome.geometry, event);
        } else {
            outcome = vellora::CropInteraction::mouseMove(outcome.state, outcome.geometry, picture,
                                                          event);
        }
    }
    return 0;
}
