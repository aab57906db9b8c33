#include "click_slider.h"

#include <QMouseEvent>

namespace vellora {

void ClickSlider::mouseReleaseEvent(QMouseEvent* event) {
    QSlider::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton) {
        emit clicked();
    }
}

}  // namespace vellora
