#include "picture_box.h"

#include <QMouseEvent>
#include <QPainter>

#include "common/twips.h"

namespace vellora {

int buttonMask(Qt::MouseButtons buttons) {
    int mask = 0;
    if (buttons & Qt::LeftButton) {
        mask |= 1;
    }
    if (buttons & Qt::RightButton) {
        mask |= 2;
    }
    if (buttons & Qt::MiddleButton) {
        mask |= 4;
    }
    return mask;
}

PictureBox::PictureBox(QWidget* parent) : QWidget(parent) {
    setAutoFillBackground(true);
    QPalette colours = palette();
    // The box's own colour shows only where there is no picture yet.
    colours.setColor(QPalette::Window, colours.color(QPalette::WindowText));
    setPalette(colours);
    // Hover moves (no button held) drive the crop rectangle's pointer shapes.
    setMouseTracking(true);
}

void PictureBox::setPicture(const QImage& picture) {
    m_picture = picture;
    if (!m_picture.isNull()) {
        resize(m_picture.size());
    }
    update();
}

float PictureBox::Width() const {
    return pixelsToTwipsX(width());
}

float PictureBox::Height() const {
    return pixelsToTwipsY(height());
}

void PictureBox::setSizeTwips(float width, float height) {
    resize(twipsToPixelsX(width), twipsToPixelsY(height));
}

void PictureBox::paintEvent(QPaintEvent*) {
    if (!m_picture.isNull()) {
        QPainter painter(this);
        // One picture pixel to one logical pixel, whatever pixel ratio the picture carries
        // (Qt's reader gives "name@2x.jpg" a ratio of 2, which would draw it at half the
        // box's size, away from the crop rectangle's idea of where its pixels are).
        painter.drawImage(QRect(QPoint(0, 0), m_picture.size()), m_picture);
    }
}

void PictureBox::mousePressEvent(QMouseEvent* event) {
    const QPointF at = event->position();
    emit mouseDown(buttonMask(event->buttons()), static_cast<float>(at.x()) * TwipsPerPixelX(),
                   static_cast<float>(at.y()) * TwipsPerPixelY());
}

void PictureBox::mouseMoveEvent(QMouseEvent* event) {
    const QPointF at = event->position();
    emit mouseMove(buttonMask(event->buttons()), static_cast<float>(at.x()) * TwipsPerPixelX(),
                   static_cast<float>(at.y()) * TwipsPerPixelY());
}

}  // namespace vellora
