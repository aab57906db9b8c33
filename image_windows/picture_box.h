#pragma once

#include <QImage>
#include <QWidget>

namespace vellora {

// The mouse buttons held, as a mask: 1 left, 2 right, 4 middle.
[[nodiscard]] int buttonMask(Qt::MouseButtons buttons);

// A borderless picture box that sizes itself to its picture and shows it at its
// top-left corner. Sizes and mouse positions are reported in twips.
class PictureBox : public QWidget {
    Q_OBJECT
public:
    explicit PictureBox(QWidget* parent = nullptr);

    // Shows `picture` and takes its size (an empty picture keeps the current size).
    void setPicture(const QImage& picture);
    [[nodiscard]] const QImage& picture() const { return m_picture; }

    // Outer size and inner (scale) size in twips; the same, as there is no border.
    [[nodiscard]] float Width() const;
    [[nodiscard]] float Height() const;
    [[nodiscard]] float ScaleWidth() const { return Width(); }
    [[nodiscard]] float ScaleHeight() const { return Height(); }
    void setSizeTwips(float width, float height);

signals:
    // Button: mask of the buttons held (including the one just pressed); x, y in twips.
    void mouseDown(int button, float x, float y);
    void mouseMove(int button, float x, float y);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

private:
    QImage m_picture;
};

}  // namespace vellora
