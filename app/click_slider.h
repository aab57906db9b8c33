#pragma once

#include <QSlider>

namespace vellora {

// A slider whose "click" is a mouse click on it: the release of the left button,
// including the release that ends a drag of the handle. Keys, the wheel and a middle
// click move the value without a click; Return, Enter or Space is the keyboard's click,
// so that a value chosen with the keys can be applied without a mouse (a click beside
// the handle moves it by a page first).
class ClickSlider : public QSlider {
    Q_OBJECT
public:
    explicit ClickSlider(QWidget* parent = nullptr) : QSlider(Qt::Horizontal, parent) {}

signals:
    void clicked();

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
};

}  // namespace vellora
