// The crop rectangle's mouse rules, case by case. Expected values are worked out by hand
// from the rules (bands of 50 twips, 5-twip snap, borders, half-to-even rounding).
#include <gtest/gtest.h>
#include <QLocale>
#include <cmath>
#include <cstdint>
#include <limits>

#include "image_windows/crop_interaction.h"

namespace vellora {
namespace {

constexpr int kNoButton = 0;

// The usual scene: a 600 x 400 twip rectangle at (1000, 2000) on a 6000 x 4500 twip
// (400 x 300 pixel) picture, its stored copy taken.
//   x bands: left 950..1050, between 1050..1550, right 1550..1650
//   y bands: top 1950..2050, between 2050..2350, bottom 2350..2450
constexpr CropGeometry kRect{1000.0F, 2000.0F, 600.0F, 400.0F, true};
constexpr PictureMetrics kPicture{6000.0F, 4500.0F, 15.0F, 15.0F};

CropState storedFor(const CropGeometry& g) {
    CropState s;
    s.CropLeft = static_cast<std::int32_t>(g.Left);
    s.CropTop = static_cast<std::int32_t>(g.Top);
    s.CropWidth = static_cast<std::int32_t>(g.Width);
    s.CropHeight = static_cast<std::int32_t>(g.Height);
    return s;
}

void expectGeometry(const CropGeometry& actual, float left, float top, float width, float height) {
    EXPECT_EQ(actual.Left, left);
    EXPECT_EQ(actual.Top, top);
    EXPECT_EQ(actual.Width, width);
    EXPECT_EQ(actual.Height, height);
}

void expectStored(const CropState& s, std::int32_t left, std::int32_t top, std::int32_t width,
                  std::int32_t height) {
    EXPECT_EQ(s.CropLeft, left);
    EXPECT_EQ(s.CropTop, top);
    EXPECT_EQ(s.CropWidth, width);
    EXPECT_EQ(s.CropHeight, height);
}

// --- rounding and number text -------------------------------------------------------

TEST(CropRounding, HalvesGoToTheEvenNeighbourAndRangeEndsClamp) {
    constexpr auto kMax = std::numeric_limits<std::int32_t>::max();
    constexpr auto kMin = std::numeric_limits<std::int32_t>::min();
    const struct {
        double in;
        std::int32_t out;
    } cases[] = {
        {120.5, 120},
        {121.5, 122},
        {0.5, 0},
        {-0.5, 0},
        {-1.5, -2},
        {-2.5, -2},
        {2.4999, 2},
        {2.5001, 3},
        {-120.7, -121},
        {45000.5, 45000},
        {1e10, kMax},
        {-1e10, kMin},
        {2147483646.5, 2147483646},
        {-2147483648.0, kMin},
        {std::numeric_limits<double>::infinity(), kMax},
        {std::numeric_limits<double>::quiet_NaN(), 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(roundToInt32(c.in), c.out) << c.in;
    }
}

TEST(CropPanelNumber, ShortestSingleFormWithSevenDigits) {
    const struct {
        float in;
        const char* out;
    } cases[] = {
        {8.0F, "8"},
        {25.0F, "25"},
        {8.2F, "8.2"},
        {1.0F / 3.0F, "0.3333333"},
        {-1.0F / 3.0F, "-0.3333333"},
        {0.0F, "0"},
        {31.25F, "31.25"},
        {1000.0F / 15.0F, "66.66666"},  // the single is 66.666664...
        {3100.0F / 15.0F, "206.6667"},
        {1234567.0F, "1234567"},  // no grouping
        {12345678.0F, "1.234568E+07"},
        {15000000.0F, "1.5E+07"},
        {0.0001F, "0.0001"},
        {0.00001F, "1E-05"},
        {-3.0F, "-3"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(singleText(c.in, QStringLiteral(".")), QLatin1String(c.out)) << c.out;
    }
    EXPECT_EQ(singleText(31.25F, QStringLiteral(",")), QStringLiteral("31,25"));
    EXPECT_EQ(singleText(1234567.5F, QStringLiteral(",")), QStringLiteral("1234568"));
}

class DefaultLocale {
public:
    explicit DefaultLocale(const QLocale& locale) { QLocale::setDefault(locale); }
    ~DefaultLocale() { QLocale::setDefault(m_previous); }
    DefaultLocale(const DefaultLocale&) = delete;
    DefaultLocale& operator=(const DefaultLocale&) = delete;

private:
    QLocale m_previous;
};

TEST(CropPanelNumber, UsesTheUsersDecimalSeparatorWithoutGrouping) {
    {
        const DefaultLocale german(QLocale(QLocale::German, QLocale::Germany));
        EXPECT_EQ(singleText(8.2F), QStringLiteral("8,2"));
        EXPECT_EQ(singleText(1234567.0F), QStringLiteral("1234567"));
    }
    {
        const DefaultLocale english(QLocale(QLocale::English, QLocale::UnitedStates));
        EXPECT_EQ(singleText(8.2F), QStringLiteral("8.2"));
    }
}

// --- Form_Load -----------------------------------------------------------------------

TEST(CropFormLoad, CapturesRoundedGeometryAndNothingElse) {
    CropState before;
    before.HoverZoneX = 2;
    before.HoverZoneY = 16;
    before.GrabOffsetX = 33;
    before.GrabOffsetY = 44;
    before.DragMode = 10;
    const CropGeometry shape{120.5F, 121.5F, 375.5F, 376.5F, false};
    const CropOutcome out = CropInteraction::formLoad(before, shape);
    expectStored(out.state, 120, 122, 376, 376);
    EXPECT_EQ(out.state.HoverZoneX, 2);
    EXPECT_EQ(out.state.HoverZoneY, 16);
    EXPECT_EQ(out.state.GrabOffsetX, 33);
    EXPECT_EQ(out.state.GrabOffsetY, 44);
    EXPECT_EQ(out.state.DragMode, 10);
    EXPECT_EQ(out.geometry, shape);
    EXPECT_FALSE(out.hiddenAndShown);
    EXPECT_FALSE(out.MousePointer);
    EXPECT_FALSE(out.panel2);
    EXPECT_FALSE(out.panel3);
}

TEST(CropFormLoad, OutOfRangeGeometryClampsInsteadOfWrapping) {
    const CropGeometry shape{3.0e9F, -3.0e9F, 40000.0F, 70000.0F, true};
    const CropOutcome out = CropInteraction::formLoad(CropState{}, shape);
    expectStored(out.state, std::numeric_limits<std::int32_t>::max(),
                 std::numeric_limits<std::int32_t>::min(), 40000, 70000);
}

// --- hover classification -------------------------------------------------------------

struct HoverCase {
    float x;
    float y;
    std::int32_t zoneX;
    std::int32_t zoneY;
    PointerShape pointer;
    std::int32_t mode;
    const char* what;
};

void checkHover(const CropGeometry& rect, const HoverCase& c) {
    SCOPED_TRACE(c.what);
    CropState before = storedFor(rect);
    before.DragMode = 99;  // must be overwritten, also with 0
    before.GrabOffsetX = 7;
    before.GrabOffsetY = 9;
    const CropOutcome out =
        CropInteraction::mouseMove(before, rect, kPicture, PointerEvent{kNoButton, c.x, c.y});
    EXPECT_EQ(out.state.HoverZoneX, c.zoneX);
    EXPECT_EQ(out.state.HoverZoneY, c.zoneY);
    EXPECT_EQ(out.state.DragMode, c.mode);
    ASSERT_TRUE(out.MousePointer);
    EXPECT_EQ(*out.MousePointer, static_cast<int>(c.pointer));
    // A hover move changes nothing else.
    EXPECT_EQ(out.geometry, rect);
    EXPECT_FALSE(out.hiddenAndShown);
    expectStored(out.state, before.CropLeft, before.CropTop, before.CropWidth, before.CropHeight);
    EXPECT_EQ(out.state.GrabOffsetX, 7);
    EXPECT_EQ(out.state.GrabOffsetY, 9);
}

TEST(CropHover, SumTableBandsAndTies) {
    using P = PointerShape;
    const HoverCase cases[] = {
        // the nine sums
        {950, 1950, 1, 8, P::SizeNWSE, 8, "top-left corner, outer limits"},
        {1300, 1950, 2, 8, P::SizeNS, 1, "top band"},
        {1650, 1950, 4, 8, P::SizeNESW, 2, "top-right corner, outer limits"},
        {1000, 2200, 1, 16, P::SizeWE, 7, "left band"},
        {1300, 2200, 2, 16, P::SizeAll, 10, "between"},
        {1600, 2200, 4, 16, P::SizeWE, 3, "right band"},
        {950, 2450, 1, 32, P::SizeNESW, 6, "bottom-left corner, outer limits"},
        {1300, 2400, 2, 32, P::SizeNS, 5, "bottom band"},
        {1650, 2450, 4, 32, P::SizeNWSE, 4, "bottom-right corner, outer limits"},
        // x ties: 50 inside the left edge is the left band, 50 inside the right is between
        {1050, 2200, 1, 16, P::SizeWE, 7, "x exactly 50 inside the left edge"},
        {1050.5F, 2200, 2, 16, P::SizeAll, 10, "just past the left band"},
        {1550, 2200, 2, 16, P::SizeAll, 10, "x exactly 50 inside the right edge"},
        {1551, 2200, 4, 16, P::SizeWE, 3, "just past the between zone"},
        {949.5F, 2200, 0, 16, P::Default, 0, "just outside the left band"},
        {1650.5F, 2200, 0, 16, P::Default, 0, "just outside the right band"},
        // y ties
        {1300, 2050, 2, 8, P::SizeNS, 1, "y exactly 50 inside the top edge"},
        {1300, 2051, 2, 16, P::SizeAll, 10, "just past the top band"},
        {1300, 2350, 2, 16, P::SizeAll, 10, "y exactly 50 inside the bottom edge"},
        {1300, 2351, 2, 32, P::SizeNS, 5, "just past the between zone"},
        {1300, 1949, 2, 0, P::Default, 0, "just above the top band"},
        {1300, 2451, 2, 0, P::Default, 0, "just below the bottom band"},
        // the other sums
        {100, 100, 0, 0, P::Default, 0, "far from everything (0)"},
        {1000, 1000, 1, 0, P::Default, 0, "left band column, above (1)"},
        {1300, 1000, 2, 0, P::Default, 0, "between column, above (2)"},
        {1600, 3000, 4, 0, P::Default, 0, "right band column, below (4)"},
        {100, 2000, 0, 8, P::Default, 0, "top band row, left of it (8)"},
        {3000, 2200, 0, 16, P::Default, 0, "between row, right of it (16)"},
        {100, 2400, 0, 32, P::Default, 0, "bottom band row, left of it (32)"},
    };
    for (const HoverCase& c : cases) {
        checkHover(kRect, c);
    }
}

TEST(CropHover, BoundsAreRoundedToSinglePrecision) {
    // Left 0.7 as a single is 0.69999999...; plus 50 exactly is 50.69999999, which a
    // single rounds up to 50.70000076 (= 50.7F). The pointer at 50.7F therefore lies on
    // the rounded bound and belongs to the left band, not to the between zone.
    const CropGeometry rect{0.7F, 2000.0F, 600.0F, 400.0F, true};
    checkHover(rect, {50.7F, 2200, 1, 16, PointerShape::SizeWE, 7, "on the rounded bound"});
}

TEST(CropHover, HundredTwipRectangleHasNoMoveZone) {
    // Bands: left 950..1050, right 1050..1150 (left wins where they meet); no between zone.
    const CropGeometry small{1000.0F, 2000.0F, 100.0F, 100.0F, true};
    using P = PointerShape;
    const HoverCase cases[] = {
        {1050, 2050, 1, 8, P::SizeNWSE, 8, "the overlap goes to the left and top bands"},
        {1051, 2050, 4, 8, P::SizeNESW, 2, "right band right past the overlap"},
        {1051, 2051, 4, 32, P::SizeNWSE, 4, "bottom-right"},
        {1000, 2075, 1, 32, P::SizeNESW, 6, "bottom-left"},
        {1150, 2150, 4, 32, P::SizeNWSE, 4, "outer corner"},
    };
    for (const HoverCase& c : cases) {
        checkHover(small, c);
    }
    for (float x = 940.0F; x <= 1160.0F; x += 1.0F) {
        for (float y = 1940.0F; y <= 2160.0F; y += 1.0F) {
            const CropOutcome out = CropInteraction::mouseMove(CropState{}, small, kPicture,
                                                               PointerEvent{kNoButton, x, y});
            ASSERT_NE(out.state.DragMode, 10) << x << "," << y;
        }
    }
    // One twip more and the single column x = 1051 is between.
    const CropGeometry wider{1000.0F, 2000.0F, 101.0F, 400.0F, true};
    checkHover(wider, {1051, 2200, 2, 16, P::SizeAll, 10, "101 twips wide"});
}

// --- press ----------------------------------------------------------------------------

TEST(CropPress, InsideBoundsAreInclusive) {
    const struct {
        float x;
        float y;
        bool inside;
        std::int32_t grabX;
        std::int32_t grabY;
        const char* what;
    } cases[] = {
        {1000, 2000, true, 0, 0, "top-left corner"},
        {1600, 2400, true, 600, 400, "exactly on the right and bottom edges"},
        {1600, 2200, true, 600, 200, "on the right edge"},
        {1300, 2400, true, 300, 400, "on the bottom edge"},
        {1601, 2200, false, 0, 0, "one twip right of the right edge"},
        {1300, 2401, false, 0, 0, "one twip below the bottom edge"},
        {999, 2200, false, 0, 0, "one twip left of the left edge"},
        {1300, 1999, false, 0, 0, "one twip above the top edge"},
        {1600.5F, 2200, false, 0, 0, "half a twip right"},
        {1300.5F, 2100.5F, true, 300, 100, "halves to even (down)"},
        {1301.5F, 2101.5F, true, 302, 102, "halves to even (up)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CropState before;  // stored copy stale on purpose: the press takes it first
        before.GrabOffsetX = 7;
        before.GrabOffsetY = 9;
        before.DragMode = 3;
        const CropOutcome out =
            CropInteraction::mouseDown(before, kRect, PointerEvent{kLeftButton, c.x, c.y});
        expectStored(out.state, 1000, 2000, 600, 400);
        EXPECT_EQ(out.state.GrabOffsetX, c.inside ? c.grabX : 7);
        EXPECT_EQ(out.state.GrabOffsetY, c.inside ? c.grabY : 9);
        EXPECT_EQ(out.state.DragMode, 3);
        EXPECT_EQ(out.geometry, kRect);
        EXPECT_FALSE(out.MousePointer);
        EXPECT_FALSE(out.panel2);
        EXPECT_FALSE(out.hiddenAndShown);
    }
}

TEST(CropPress, OtherButtonsDoNothing) {
    CropState before;
    before.GrabOffsetX = 7;
    before.CropLeft = 5;
    for (const int button : {kNoButton, kRightButton, kMiddleButton, kLeftButton | kRightButton,
                             kLeftButton | kMiddleButton, 7}) {
        const CropOutcome out =
            CropInteraction::mouseDown(before, kRect, PointerEvent{button, 1300, 2200});
        EXPECT_EQ(out.state, before) << button;
        EXPECT_EQ(out.geometry, kRect) << button;
    }
}

TEST(CropPress, WorksOnAHiddenRectangle) {
    CropGeometry hidden = kRect;
    hidden.Visible = false;
    const CropOutcome out =
        CropInteraction::mouseDown(CropState{}, hidden, PointerEvent{kLeftButton, 1100, 2100});
    expectStored(out.state, 1000, 2000, 600, 400);
    EXPECT_EQ(out.state.GrabOffsetX, 100);
    EXPECT_EQ(out.state.GrabOffsetY, 100);
    EXPECT_FALSE(out.geometry.Visible);
}

// --- drag step --------------------------------------------------------------------------

struct DragCase {
    std::int32_t mode;
    float x;
    float y;
    CropGeometry expected;
    const char* what;
};

CropOutcome drag(const CropGeometry& rect, const PictureMetrics& picture, std::int32_t mode,
                 float x, float y, std::int32_t grabX = 0, std::int32_t grabY = 0) {
    CropState before = storedFor(rect);
    before.DragMode = mode;
    before.GrabOffsetX = grabX;
    before.GrabOffsetY = grabY;
    before.HoverZoneX = 2;
    before.HoverZoneY = 16;
    return CropInteraction::mouseMove(before, rect, picture, PointerEvent{kLeftButton, x, y});
}

void checkDrag(const DragCase& c, std::int32_t grabX = 0, std::int32_t grabY = 0) {
    SCOPED_TRACE(c.what);
    const CropOutcome out = drag(kRect, kPicture, c.mode, c.x, c.y, grabX, grabY);
    expectGeometry(out.geometry, c.expected.Left, c.expected.Top, c.expected.Width,
                   c.expected.Height);
    EXPECT_TRUE(out.geometry.Visible);
    EXPECT_TRUE(out.hiddenAndShown);
    // The stored copy follows the new geometry; mode, zones and offsets stay.
    expectStored(out.state, static_cast<std::int32_t>(c.expected.Left),
                 static_cast<std::int32_t>(c.expected.Top),
                 static_cast<std::int32_t>(c.expected.Width),
                 static_cast<std::int32_t>(c.expected.Height));
    EXPECT_EQ(out.state.DragMode, c.mode);
    EXPECT_EQ(out.state.HoverZoneX, 2);
    EXPECT_EQ(out.state.HoverZoneY, 16);
    EXPECT_EQ(out.state.GrabOffsetX, grabX);
    EXPECT_EQ(out.state.GrabOffsetY, grabY);
    EXPECT_FALSE(out.MousePointer);  // only hover moves set the pointer
}

constexpr CropGeometry at(float left, float top, float width, float height) {
    return {left, top, width, height, true};
}

TEST(CropDrag, TopEdge) {
    const DragCase cases[] = {
        {1, 1300, 1500, at(1000, 1500, 600, 900), "up: bottom stays at 2400"},
        {1, 1300, 2399, at(1000, 2399, 600, 1), "down to one twip high"},
        {1, 1300, 2400, kRect, "onto the bottom edge: no change"},
        {1, 1300, 3000, kRect, "past the bottom edge: no change"},
        {1, 1300, 1, at(1000, 1, 600, 2399), "to y = 1"},
        {1, 1300, 0, at(1000, 0, 600, 2400), "to y = 0: top at 0"},
        {1, 1300, -500, at(1000, 0, 600, 2400), "past the top border"},
    };
    for (const DragCase& c : cases) {
        checkDrag(c);
    }
}

TEST(CropDrag, RightEdge) {
    const DragCase cases[] = {
        {3, 2000, 2200, at(1000, 2000, 1000, 400), "wider"},
        {3, 1200, 2200, at(1000, 2000, 200, 400), "narrower"},
        {3, 1001, 2200, at(1000, 2000, 1, 400), "one twip right of the left edge"},
        {3, 1000, 2200, at(1000, 2000, 5, 400), "onto the left edge: snaps to 5"},
        {3, 500, 2200, at(1000, 2000, 5, 400), "past the left edge: snaps to 5"},
        {3, -100, 2200, at(1000, 2000, 5, 400), "past the picture's left border"},
        {3, 5999, 2200, at(1000, 2000, 4999, 400), "one twip short of the border"},
        {3, 6000, 2200, at(1000, 2000, 5000, 400), "onto the right border"},
        {3, 9000, 2200, at(1000, 2000, 5000, 400), "past the right border"},
    };
    for (const DragCase& c : cases) {
        checkDrag(c);
    }
}

TEST(CropDrag, BottomEdge) {
    const DragCase cases[] = {
        {5, 1300, 3000, at(1000, 2000, 600, 1000), "taller"},
        {5, 1300, 2001, at(1000, 2000, 600, 1), "one twip below the top edge"},
        {5, 1300, 2000, at(1000, 2000, 600, 5), "onto the top edge: snaps to 5"},
        {5, 1300, 0, at(1000, 2000, 600, 5), "past the top edge"},
        {5, 1300, 4500, at(1000, 2000, 600, 2500), "onto the bottom border"},
        {5, 1300, 9999, at(1000, 2000, 600, 2500), "past the bottom border"},
    };
    for (const DragCase& c : cases) {
        checkDrag(c);
    }
}

TEST(CropDrag, LeftEdge) {
    const DragCase cases[] = {
        {7, 500, 2200, at(500, 2000, 1100, 400), "out: right edge stays at 1600"},
        {7, 1500, 2200, at(1500, 2000, 100, 400), "in"},
        {7, 1597, 2200, at(1597, 2000, 3, 400), "width 3 still follows"},
        {7, 1598, 2200, kRect, "width would be 2: no change"},
        {7, 2000, 2200, kRect, "past the right edge: no change"},
        {7, 0, 2200, at(0, 2000, 1600, 400), "onto the left border"},
        {7, -300, 2200, at(0, 2000, 1600, 400), "past the left border: stops at 0"},
    };
    for (const DragCase& c : cases) {
        checkDrag(c);
    }
}

TEST(CropDrag, CornersHandleBothEdgesInOrder) {
    const DragCase cases[] = {
        {2, 2000, 1500, at(1000, 1500, 1000, 900), "top-right: both"},
        {2, 2000, 2400, at(1000, 2000, 1000, 400), "top stuck, right still follows"},
        {2, 7000, -10, at(1000, 0, 5000, 2400), "top-right past both borders"},
        {4, 2000, 3000, at(1000, 2000, 1000, 1000), "bottom-right: both"},
        {4, 500, 1000, at(1000, 2000, 5, 5), "bottom-right past the opposite edges"},
        {4, 9000, 9000, at(1000, 2000, 5000, 2500), "bottom-right past both borders"},
        {6, 500, 3000, at(500, 2000, 1100, 1000), "bottom-left: both"},
        {6, 1598, 3000, at(1000, 2000, 600, 1000), "left stuck, bottom still follows"},
        {6, -5, 9999, at(0, 2000, 1600, 2500), "bottom-left past both borders"},
        {8, 500, 1500, at(500, 1500, 1100, 900), "top-left: both"},
        {8, 1598, 1500, at(1000, 1500, 600, 900), "left stuck, top moves"},
        {8, 500, 2400, at(500, 2000, 1100, 400), "top stuck, left still follows"},
        {8, -5, -5, at(0, 0, 1600, 2400), "top-left past both borders"},
    };
    for (const DragCase& c : cases) {
        checkDrag(c);
    }
}

TEST(CropDrag, ModesWithoutADragChangeNothingButStillHideAndShow) {
    for (const std::int32_t mode : {0, 9, 11, -1}) {
        checkDrag({mode, 3000, 3000, kRect, "no drag in this mode"});
    }
}

TEST(CropDrag, MoveClampsToThePicture) {
    // Grabbed 100 twips right of and 50 below the top-left corner. Farthest left is
    // 6000 - 600 = 5400, farthest top 4500 - 400 = 4100.
    const DragCase cases[] = {
        {10, 2100, 3050, at(2000, 3000, 600, 400), "free move"},
        {10, 99, 3050, at(0, 3000, 600, 400), "past the left border"},
        {10, 100, 50, at(0, 0, 600, 400), "exactly onto the top-left corner"},
        {10, 2100, 49, at(2000, 0, 600, 400), "past the top border"},
        {10, 5499, 3050, at(5399, 3000, 600, 400), "one twip short of the right border"},
        {10, 5500, 3050, at(5400, 3000, 600, 400), "onto the right border"},
        {10, 9000, 3050, at(5400, 3000, 600, 400), "past the right border"},
        {10, 2100, 4150, at(2000, 4100, 600, 400), "onto the bottom border"},
        {10, 2100, 9999, at(2000, 4100, 600, 400), "past the bottom border"},
        {10, -500, 9999, at(0, 4100, 600, 400), "past the bottom-left corner"},
    };
    for (const DragCase& c : cases) {
        checkDrag(c, 100, 50);
    }
}

TEST(CropDrag, MoveUsesTheControlsOwnSizeAndRoundsItsCopy) {
    // After a fractional edge drag the control is 600.5 wide while the copy says 600.
    const CropGeometry rect{1000.0F, 2000.0F, 600.5F, 400.0F, true};
    const CropOutcome far = drag(rect, kPicture, 10, 9000, 2050, 0, 0);
    EXPECT_EQ(far.geometry.Left, 5399.5F);  // 6000 - 600.5, not 6000 - 600
    EXPECT_EQ(far.state.CropLeft, 5400);    // 5399.5 to even
    const CropOutcome halfDown = drag(kRect, kPicture, 10, 2100.5F, 2050.5F, 0, 0);
    EXPECT_EQ(halfDown.geometry.Left, 2100.5F);
    EXPECT_EQ(halfDown.state.CropLeft, 2100);
    EXPECT_EQ(halfDown.state.CropTop, 2050);
    const CropOutcome halfUp = drag(kRect, kPicture, 10, 2101.5F, 2051.5F, 0, 0);
    EXPECT_EQ(halfUp.state.CropLeft, 2102);
    EXPECT_EQ(halfUp.state.CropTop, 2052);
}

TEST(CropDrag, TopEdgeHalfTwipRoundsToEven) {
    const CropOutcome out = drag(kRect, kPicture, 1, 1300, 0.5F);
    expectGeometry(out.geometry, 1000, 0.5F, 600, 2399.5F);
    expectStored(out.state, 1000, 0, 600, 2400);
}

TEST(CropDrag, RectangleWiderThanThePictureEndsAtTheFarBorder) {
    // 7000 wide on 6000: a new left >= 0 is >= 6000 - 7000, so Left = -1000.
    const CropGeometry wide{0.0F, 100.0F, 7000.0F, 400.0F, true};
    const CropOutcome out = drag(wide, kPicture, 10, 100, 150, 100, 50);
    expectGeometry(out.geometry, -1000, 100, 7000, 400);
    expectStored(out.state, -1000, 100, 7000, 400);
    // A new left below 0 still clamps to 0 first.
    const CropOutcome left = drag(wide, kPicture, 10, 99, 150, 100, 50);
    EXPECT_EQ(left.geometry.Left, 0.0F);
}

TEST(CropDrag, BorderBeforeTheRectangleSnapsInsteadOfGoingNegative) {
    // A picture narrower and lower than the design rectangle's corner (6 x 6 pixels =
    // 90 twips) with a right or bottom mode left over from an earlier picture: the
    // border lies before the rectangle, and the width or height snaps to 5.
    const CropGeometry design{120.0F, 120.0F, 375.0F, 375.0F, true};
    const PictureMetrics tiny{90.0F, 90.0F, 15.0F, 15.0F};
    const CropOutcome right = drag(design, tiny, 3, 95, 100);
    expectGeometry(right.geometry, 120, 120, 5, 375);
    const CropOutcome bottom = drag(design, tiny, 5, 100, 95);
    expectGeometry(bottom.geometry, 120, 120, 375, 5);
    // A border exactly at the left edge gives width 0, as the rule says.
    const PictureMetrics edge{120.0F, 120.0F, 15.0F, 15.0F};
    const CropOutcome zero = drag(design, edge, 4, 130, 130);
    expectGeometry(zero.geometry, 120, 120, 0, 0);
}

TEST(CropDrag, BeforeAnyHoverNothingMoves) {
    const CropState atStart = storedFor(kRect);  // DragMode 0 as at program start
    const CropOutcome out =
        CropInteraction::mouseMove(atStart, kRect, kPicture, PointerEvent{kLeftButton, 3000, 3000});
    EXPECT_EQ(out.geometry, kRect);
    EXPECT_EQ(out.state, atStart);
}

// --- other buttons, hidden rectangle, panels -----------------------------------------

TEST(CropMove, OtherButtonsOnlyWritePanels) {
    CropState before = storedFor(kRect);
    before.DragMode = 10;
    before.GrabOffsetX = 100;
    for (const int button : {kRightButton, kMiddleButton, kLeftButton | kRightButton,
                             kLeftButton | kMiddleButton, kRightButton | kMiddleButton, 7}) {
        SCOPED_TRACE(button);
        const CropOutcome out =
            CropInteraction::mouseMove(before, kRect, kPicture, PointerEvent{button, 3000, 3000});
        EXPECT_EQ(out.state, before);
        EXPECT_EQ(out.geometry, kRect);
        EXPECT_FALSE(out.hiddenAndShown);
        EXPECT_FALSE(out.MousePointer);
        ASSERT_TRUE(out.panel2);
        ASSERT_TRUE(out.panel3);
        // 1000/15 = 66.66666, 2000/15 = 133.3333, 600/15 = 40, 400/15 = 26.66667
        EXPECT_EQ(*out.panel2, QStringLiteral("(X,Y)     (66.66666,133.3333)"));
        EXPECT_EQ(*out.panel3, QStringLiteral("Width x Height     40 x 26.66667"));
    }
}

TEST(CropMove, HiddenRectangleOnlyClearsPanels) {
    CropGeometry hidden = kRect;
    hidden.Visible = false;
    CropState before = storedFor(kRect);
    before.DragMode = 10;
    before.HoverZoneX = 2;
    for (const int button : {kNoButton, kLeftButton, kRightButton}) {
        SCOPED_TRACE(button);
        const CropOutcome out =
            CropInteraction::mouseMove(before, hidden, kPicture, PointerEvent{button, 1300, 2200});
        EXPECT_EQ(out.state, before);
        EXPECT_EQ(out.geometry, hidden);
        EXPECT_FALSE(out.hiddenAndShown);
        EXPECT_FALSE(out.MousePointer);
        ASSERT_TRUE(out.panel2);
        ASSERT_TRUE(out.panel3);
        EXPECT_TRUE(out.panel2->isEmpty());
        EXPECT_TRUE(out.panel3->isEmpty());
    }
}

TEST(CropPanels, DesignRectangleReadsInPixels) {
    const CropGeometry design{120.0F, 120.0F, 375.0F, 375.0F, true};
    const CropState loaded = CropInteraction::formLoad(CropState{}, design).state;
    const CropOutcome at15 =
        CropInteraction::mouseMove(loaded, design, kPicture, PointerEvent{kNoButton, 5000, 4000});
    EXPECT_EQ(*at15.panel2, QStringLiteral("(X,Y)     (8,8)"));
    EXPECT_EQ(*at15.panel3, QStringLiteral("Width x Height     25 x 25"));
    // At 120 dots per inch a pixel is 12 twips: 10 and 31.25.
    const PictureMetrics at12{6000.0F, 4500.0F, 12.0F, 12.0F};
    const DefaultLocale english(QLocale(QLocale::English, QLocale::UnitedStates));
    const CropOutcome out12 =
        CropInteraction::mouseMove(loaded, design, at12, PointerEvent{kNoButton, 5000, 4000});
    EXPECT_EQ(*out12.panel2, QStringLiteral("(X,Y)     (10,10)"));
    EXPECT_EQ(*out12.panel3, QStringLiteral("Width x Height     31.25 x 31.25"));
}

TEST(CropPanels, LagOneEventBehindDuringADrag) {
    CropGeometry rect = kRect;
    CropState state = CropInteraction::formLoad(CropState{}, rect).state;
    auto move = [&](int button, float x, float y) {
        const CropOutcome out =
            CropInteraction::mouseMove(state, rect, kPicture, PointerEvent{button, x, y});
        state = out.state;
        rect = out.geometry;
        return out;
    };
    // Hover in the middle, press, drag twice, then hover again after the release.
    EXPECT_EQ(move(kNoButton, 1300, 2200).state.DragMode, 10);
    const CropOutcome press =
        CropInteraction::mouseDown(state, rect, PointerEvent{kLeftButton, 1300, 2200});
    state = press.state;
    EXPECT_EQ(state.GrabOffsetX, 300);
    EXPECT_EQ(state.GrabOffsetY, 200);

    const CropOutcome first = move(kLeftButton, 2300, 3200);  // rectangle to (2000, 3000)
    EXPECT_EQ(*first.panel2, QStringLiteral("(X,Y)     (66.66666,133.3333)"));
    expectGeometry(rect, 2000, 3000, 600, 400);

    const CropOutcome second = move(kLeftButton, 2400, 3400);               // to (2100, 3200)
    EXPECT_EQ(*second.panel2, QStringLiteral("(X,Y)     (133.3333,200)"));  // 2000, 3000
    expectGeometry(rect, 2100, 3200, 600, 400);

    const CropOutcome after = move(kNoButton, 2400, 3400);
    EXPECT_EQ(*after.panel2, QStringLiteral("(X,Y)     (140,213.3333)"));  // 2100, 3200
    EXPECT_EQ(*after.panel3, QStringLiteral("Width x Height     40 x 26.66667"));
    EXPECT_EQ(after.state.DragMode, 10);  // still inside, away from the edges
}

// --- big pictures ---------------------------------------------------------------------

TEST(CropBigPicture, FarEdgesWorkBeyondSixteenBits) {
    // 3000 x 2400 pixels = 45000 x 36000 twips.
    const PictureMetrics big{45000.0F, 36000.0F, 15.0F, 15.0F};
    CropGeometry rect{30000.0F, 100.0F, 3000.0F, 375.0F, true};
    CropState state = CropInteraction::formLoad(CropState{}, rect).state;

    // Hover the middle, press on the right edge (offset 3000), drag far right.
    state = CropInteraction::mouseMove(state, rect, big, PointerEvent{kNoButton, 31500, 250}).state;
    ASSERT_EQ(state.DragMode, 10);
    state = CropInteraction::mouseDown(state, rect, PointerEvent{kLeftButton, 33000, 250}).state;
    EXPECT_EQ(state.GrabOffsetX, 3000);
    CropOutcome out =
        CropInteraction::mouseMove(state, rect, big, PointerEvent{kLeftButton, 50000, 250});
    expectGeometry(out.geometry, 42000, 100, 3000, 375);  // 45000 - 3000
    expectStored(out.state, 42000, 100, 3000, 375);
    state = out.state;
    rect = out.geometry;

    // A press on the right edge at 45000 twips is inside (sum 45000 does not wrap).
    state = CropInteraction::mouseDown(state, rect, PointerEvent{kLeftButton, 45000, 475}).state;
    EXPECT_EQ(state.GrabOffsetX, 3000);
    EXPECT_EQ(state.GrabOffsetY, 375);
    out = CropInteraction::mouseMove(state, rect, big, PointerEvent{kNoButton, 44000, 300});
    EXPECT_EQ(*out.panel2, QStringLiteral("(X,Y)     (2800,6.666667)"));

    // The left edge dragged to the far left of the picture: width 45000.
    state.DragMode = 7;
    out = CropInteraction::mouseMove(state, rect, big, PointerEvent{kLeftButton, -10, 300});
    expectGeometry(out.geometry, 0, 100, 45000, 375);
    expectStored(out.state, 0, 100, 45000, 375);

    // A grab offset beyond 32767: a 40000-twip rectangle pressed at its right edge.
    const CropGeometry wide{1000.0F, 100.0F, 40000.0F, 35000.0F, true};
    state = CropInteraction::mouseDown(CropState{}, wide, PointerEvent{kLeftButton, 41000, 35100})
                .state;
    EXPECT_EQ(state.GrabOffsetX, 40000);
    EXPECT_EQ(state.GrabOffsetY, 35000);

    // Top edge to y <= 0 with a sum beyond 32767, bottom edge to the far border.
    const CropGeometry tall{100.0F, 30000.0F, 375.0F, 5000.0F, true};
    out = drag(tall, big, 1, 200, -1);
    expectGeometry(out.geometry, 100, 0, 375, 35000);
    out = drag(tall, big, 4, 46000, 40000);
    expectGeometry(out.geometry, 100, 30000, 44900, 6000);
}

}  // namespace
}  // namespace vellora
