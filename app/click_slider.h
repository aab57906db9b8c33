#pragma once

#include <QSlider>

namespace vellora {

// A slider whose "click" is a mouse click on it: the release of the left button,
// including the release that ends a drag of the handle. Keys and the wheel move the
// value without a click.
class ClickSlider : public QSlider {
    Q_OBJECT
public:
    explicit ClickSlider(QWidget* parent = nullptr) : QSlider(Qt::Horizontal, parent) {}

signals:
    void clicked();

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
};

}  // namespace vellora
