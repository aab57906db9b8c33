#include "click_slider.h"

#include <QKeyEvent>
#include <QMouseEvent>

namespace vellora {

void ClickSlider::mouseReleaseEvent(QMouseEvent* event) {
    QSlider::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton) {
        emit clicked();
    }
}

void ClickSlider::keyPressEvent(QKeyEvent* event) {
    const int key = event->key();
    // Keypad keys come with the keypad modifier: its Enter is as good as Return.
    if ((event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier &&
        (key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Space)) {
        if (!event->isAutoRepeat()) {
            emit clicked();
        }
        event->accept();
        return;
    }
    QSlider::keyPressEvent(event);
}

}  // namespace vellora
