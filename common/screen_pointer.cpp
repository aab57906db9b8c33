#include "screen_pointer.h"

#include <QCursor>
#include <QGuiApplication>

namespace vellora {
namespace {

PointerShape g_shape = PointerShape::Default;

Qt::CursorShape qtShape(PointerShape shape) {
    switch (shape) {
        case PointerShape::SizeAll:
            return Qt::SizeAllCursor;
        case PointerShape::SizeNESW:
            return Qt::SizeBDiagCursor;
        case PointerShape::SizeNS:
            return Qt::SizeVerCursor;
        case PointerShape::SizeNWSE:
            return Qt::SizeFDiagCursor;
        case PointerShape::SizeWE:
            return Qt::SizeHorCursor;
        case PointerShape::Hourglass:
            return Qt::WaitCursor;
        case PointerShape::Default:
            break;
    }
    return Qt::ArrowCursor;
}

}  // namespace

void setScreenMousePointer(PointerShape shape) {
    if (shape == g_shape) {
        return;
    }
    // One override cursor at most stands for the shape: change it, drop it for the
    // default, or set it when there was none.
    if (shape == PointerShape::Default) {
        QGuiApplication::restoreOverrideCursor();
    } else if (g_shape == PointerShape::Default) {
        QGuiApplication::setOverrideCursor(QCursor(qtShape(shape)));
    } else {
        QGuiApplication::changeOverrideCursor(QCursor(qtShape(shape)));
    }
    g_shape = shape;
}

PointerShape screenMousePointer() {
    return g_shape;
}

WaitCursor::WaitCursor() : m_previous(screenMousePointer()) {
    setScreenMousePointer(PointerShape::Hourglass);
}

WaitCursor::~WaitCursor() {
    setScreenMousePointer(m_previous);
}

}  // namespace vellora
