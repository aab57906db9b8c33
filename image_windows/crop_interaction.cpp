#include "image_windows/crop_interaction.h"

#include <QLocale>
#include <array>
#include <charconv>
#include <cmath>
#include <limits>

namespace vellora {

namespace {

// The bands reach this far to either side of each edge.
constexpr float kBand = 50.0F;
// Width or height a right or bottom edge snaps to when dragged onto the opposite edge.
constexpr float kSnap = 5.0F;
// A left edge stops following the pointer once the width would drop to this or less.
constexpr float kLeftEdgeStop = 2.0F;

// The rectangle's geometry, read in this order, becomes the stored copy.
void captureGeometry(CropState& state, const CropGeometry& shape) {
    state.CropTop = roundToInt32(shape.Top);
    state.CropLeft = roundToInt32(shape.Left);
    state.CropHeight = roundToInt32(shape.Height);
    state.CropWidth = roundToInt32(shape.Width);
}

[[nodiscard]] float single(std::int32_t value) {
    return static_cast<float>(value);
}

// Sums of two stored values are exact even where 32 bits would not hold them.
[[nodiscard]] double sum(std::int32_t a, std::int32_t b) {
    return static_cast<double>(static_cast<std::int64_t>(a) + static_cast<std::int64_t>(b));
}

// Zone of one axis: first band (1), between (2), second band (4), or none (0). Each bound
// is rounded to single precision before the comparison; the first test that holds wins.
[[nodiscard]] std::int32_t axisZone(float origin, float extent, float position) {
    const float firstLow = origin - kBand;
    const float firstHigh = origin + kBand;
    const float far = origin + extent;
    const float secondLow = far - kBand;
    const float secondHigh = far + kBand;
    if (firstLow <= position && position <= firstHigh) {
        return 1;
    }
    if (firstHigh <= position && position <= secondLow) {
        return 2;
    }
    if (secondLow <= position && position <= secondHigh) {
        return 4;
    }
    return 0;
}

struct HoverChoice {
    PointerShape pointer;
    std::int32_t mode;
};

[[nodiscard]] HoverChoice chooseBySum(std::int32_t zoneSum) {
    switch (zoneSum) {
        case 9:  // top and left
            return {PointerShape::SizeNWSE, 8};
        case 10:  // top
            return {PointerShape::SizeNS, 1};
        case 12:  // top and right
            return {PointerShape::SizeNESW, 2};
        case 17:  // left
            return {PointerShape::SizeWE, 7};
        case 18:  // inside, away from the edges
            return {PointerShape::SizeAll, 10};
        case 20:  // right
            return {PointerShape::SizeWE, 3};
        case 33:  // bottom and left
            return {PointerShape::SizeNESW, 6};
        case 34:  // bottom
            return {PointerShape::SizeNS, 5};
        case 36:  // bottom and right
            return {PointerShape::SizeNWSE, 4};
        default:
            return {PointerShape::Default, 0};
    }
}

void hover(CropOutcome& out, float x, float y) {
    const CropGeometry& shape = out.geometry;
    out.state.HoverZoneX = axisZone(shape.Left, shape.Width, x);
    out.state.HoverZoneY = 8 * axisZone(shape.Top, shape.Height, y);
    const HoverChoice choice = chooseBySum(out.state.HoverZoneX + out.state.HoverZoneY);
    out.MousePointer = static_cast<int>(choice.pointer);
    out.state.DragMode = choice.mode;
}

// The edge rules read the stored copy (the geometry at the start of the event).

void dragTopEdge(const CropState& s, CropGeometry& shape, float y) {
    if (y > 0.0F) {
        const float height = single(s.CropTop) - y + single(s.CropHeight);
        if (height > 0.0F) {
            shape.Top = y;
            shape.Height = height;
        }
    } else {
        shape.Top = 0.0F;
        shape.Height = static_cast<float>(sum(s.CropTop, s.CropHeight));
    }
}

// A border at or before the opposite edge (a picture smaller than where the rectangle
// starts) would give a negative size; that snaps like an edge dragged past its opposite.
[[nodiscard]] float sizeToBorder(float border, std::int32_t start) {
    const float size = border - single(start);
    return size < 0.0F ? kSnap : size;
}

void dragRightEdge(const CropState& s, CropGeometry& shape, float x, float scaleWidth) {
    if (x >= scaleWidth) {
        shape.Width = sizeToBorder(scaleWidth, s.CropLeft);
    } else if (x > single(s.CropLeft)) {
        shape.Width = x - single(s.CropLeft);
    } else {
        shape.Width = kSnap;
    }
}

void dragBottomEdge(const CropState& s, CropGeometry& shape, float y, float scaleHeight) {
    if (y >= scaleHeight) {
        shape.Height = sizeToBorder(scaleHeight, s.CropTop);
    } else if (y > single(s.CropTop)) {
        shape.Height = y - single(s.CropTop);
    } else {
        shape.Height = kSnap;
    }
}

void dragLeftEdge(const CropState& s, CropGeometry& shape, float x) {
    if (single(s.CropLeft) - x + single(s.CropWidth) > kLeftEdgeStop) {
        const float left = x < 0.0F ? 0.0F : x;
        shape.Left = left;
        shape.Width = single(s.CropLeft) - left + single(s.CropWidth);
    }
}

// Moving keeps the rectangle's current size and clamps it to the picture; a rectangle
// larger than the picture ends at the far border with its near edge outside.
[[nodiscard]] float movedOrigin(float wanted, float scale, float extent) {
    if (wanted < 0.0F) {
        return 0.0F;
    }
    const float farthest = scale - extent;
    if (wanted >= farthest) {
        return farthest;
    }
    return wanted;
}

void dragStep(CropOutcome& out, const CropState& before, const PictureMetrics& picture, float x,
              float y) {
    CropGeometry& shape = out.geometry;
    shape.Visible = false;
    switch (before.DragMode) {
        case 1:
            dragTopEdge(before, shape, y);
            break;
        case 2:
            dragTopEdge(before, shape, y);
            dragRightEdge(before, shape, x, picture.ScaleWidth);
            break;
        case 3:
            dragRightEdge(before, shape, x, picture.ScaleWidth);
            break;
        case 4:
            dragRightEdge(before, shape, x, picture.ScaleWidth);
            dragBottomEdge(before, shape, y, picture.ScaleHeight);
            break;
        case 5:
            dragBottomEdge(before, shape, y, picture.ScaleHeight);
            break;
        case 6:
            dragLeftEdge(before, shape, x);
            dragBottomEdge(before, shape, y, picture.ScaleHeight);
            break;
        case 7:
            dragLeftEdge(before, shape, x);
            break;
        case 8:
            dragTopEdge(before, shape, y);
            dragLeftEdge(before, shape, x);
            break;
        case 10:
            shape.Left =
                movedOrigin(x - single(before.GrabOffsetX), picture.ScaleWidth, shape.Width);
            shape.Top =
                movedOrigin(y - single(before.GrabOffsetY), picture.ScaleHeight, shape.Height);
            break;
        default:
            break;
    }
    shape.Visible = true;
    out.hiddenAndShown = true;
    captureGeometry(out.state, shape);
}

}  // namespace

std::int32_t roundToInt32(double value) {
    if (std::isnan(value)) {
        return 0;
    }
    constexpr double lowest = std::numeric_limits<std::int32_t>::min();
    constexpr double highest = std::numeric_limits<std::int32_t>::max();
    if (value <= lowest) {
        return std::numeric_limits<std::int32_t>::min();
    }
    if (value >= highest) {
        return std::numeric_limits<std::int32_t>::max();
    }
    // Decided by hand so that the result does not depend on the current rounding mode.
    double whole = std::floor(value);
    const double fraction = value - whole;  // exact for a double
    if (fraction > 0.5 || (fraction == 0.5 && std::fmod(whole, 2.0) != 0.0)) {
        whole += 1.0;
    }
    return static_cast<std::int32_t>(whole);
}

QString singleText(float value, const QString& decimalPoint) {
    // Seven significant digits of the single's own value, shortest form ('g' drops
    // trailing zeros); to_chars ignores the C locale, so the separator is ours to set.
    std::array<char, 32> buffer{};
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(),
                                      static_cast<double>(value), std::chars_format::general, 7);
    QString text = QString::fromLatin1(buffer.data(), result.ptr - buffer.data());
    if (text == QLatin1String("-0")) {
        text = QStringLiteral("0");
    }
    text.replace(QLatin1Char('e'), QLatin1Char('E'));
    text.replace(QLatin1Char('.'), decimalPoint);
    return text;
}

QString singleText(float value) {
    return singleText(value, QLocale().decimalPoint());
}

CropOutcome CropInteraction::formLoad(const CropState& state, const CropGeometry& shape) {
    CropOutcome out;
    out.state = state;
    out.geometry = shape;
    captureGeometry(out.state, shape);
    return out;
}

CropOutcome CropInteraction::mouseDown(const CropState& state, const CropGeometry& shape,
                                       const PointerEvent& event) {
    CropOutcome out;
    out.state = state;
    out.geometry = shape;
    if (event.Button != kLeftButton) {
        return out;
    }
    captureGeometry(out.state, shape);
    const CropState& s = out.state;
    const double x = event.X;
    const double y = event.Y;
    const bool inside = s.CropLeft <= x && x <= sum(s.CropLeft, s.CropWidth) && s.CropTop <= y &&
                        y <= sum(s.CropTop, s.CropHeight);
    if (inside) {
        out.state.GrabOffsetX = roundToInt32(event.X - single(s.CropLeft));
        out.state.GrabOffsetY = roundToInt32(event.Y - single(s.CropTop));
    }
    return out;
}

CropOutcome CropInteraction::mouseMove(const CropState& state, const CropGeometry& shape,
                                       const PictureMetrics& picture, const PointerEvent& event) {
    CropOutcome out;
    out.state = state;
    out.geometry = shape;
    if (!shape.Visible) {
        out.panel2 = QString();
        out.panel3 = QString();
        return out;
    }
    // From the stored copy, before anything moves: during a drag the panels show the
    // geometry as the previous event left it.
    out.panel2 = QStringLiteral("(X,Y)     (") +
                 singleText(single(state.CropLeft) / picture.TwipsPerPixelX) + QLatin1Char(',') +
                 singleText(single(state.CropTop) / picture.TwipsPerPixelY) + QLatin1Char(')');
    out.panel3 = QStringLiteral("Width x Height     ") +
                 singleText(single(state.CropWidth) / picture.TwipsPerPixelX) +
                 QStringLiteral(" x ") +
                 singleText(single(state.CropHeight) / picture.TwipsPerPixelY);
    if (event.Button == 0) {
        hover(out, event.X, event.Y);
    } else if (event.Button == kLeftButton) {
        dragStep(out, state, picture, event.X, event.Y);
    }
    return out;
}

}  // namespace vellora
