#include "crop_shape.h"

#include <QPainter>
#include <cmath>

#include "common/twips.h"

namespace vellora {

CropShape::CropShape(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_NoSystemBackground);
    place();
    QWidget::setVisible(false);
}

void CropShape::setLeft(float twips) {
    m_left = twips;
    place();
}

void CropShape::setTop(float twips) {
    m_top = twips;
    place();
}

void CropShape::setWidth(float twips) {
    m_width = twips;
    place();
}

void CropShape::setHeight(float twips) {
    m_height = twips;
    place();
}

void CropShape::setGeometryTwips(float left, float top, float width, float height) {
    m_left = left;
    m_top = top;
    m_width = width;
    m_height = height;
    place();
}

void CropShape::setVisible(bool visible) {
    m_visible = visible;
    QWidget::setVisible(visible);
}

void CropShape::place() {
    const int left = twipsToPixelsX(m_left);
    const int top = twipsToPixelsY(m_top);
    // A rectangle narrower than a pixel still shows as a pixel-wide outline.
    const int width = std::max(1, twipsToPixelsX(m_width));
    const int height = std::max(1, twipsToPixelsY(m_height));
    setGeometry(left, top, width, height);
}

void CropShape::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    QPen pen(QColor(0, 0, 255));
    pen.setWidth(2);
    pen.setJoinStyle(Qt::MiterJoin);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    // Drawn inside the rectangle so the whole outline stays visible.
    painter.drawRect(QRectF(rect()).adjusted(1, 1, -1, -1));
}

}  // namespace vellora
