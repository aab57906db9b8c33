#pragma once
// The application-wide pointer shape, numbered the classic way: 0 default, 5 size-all,
// 6 NE-SW, 7 N-S, 8 NW-SE, 9 W-E, 11 hourglass. Kept as Qt's application override
// cursor, so it holds over every window until something sets it again.

namespace vellora {

enum class PointerShape : int {
    Default = 0,
    SizeAll = 5,
    SizeNESW = 6,
    SizeNS = 7,
    SizeNWSE = 8,
    SizeWE = 9,
    Hourglass = 11,
};

void setScreenMousePointer(PointerShape shape);
[[nodiscard]] PointerShape screenMousePointer();

// Shows the hourglass while a pass runs and puts back the shape that was there before.
class WaitCursor {
public:
    WaitCursor();
    ~WaitCursor();
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;

private:
    PointerShape m_previous;
};

}  // namespace vellora
