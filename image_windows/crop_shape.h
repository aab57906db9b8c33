#pragma once

#include <QWidget>

namespace vellora {

// The crop rectangle: a blue, 2-pixel, unfilled outline inside the picture box. Its
// geometry is kept in twips as single-precision values (the authoritative numbers the
// crop pass reads); the widget follows them in whole pixels. Mouse events go through
// to the picture box underneath.
class CropShape : public QWidget {
    Q_OBJECT
public:
    // The design geometry, in twips.
    static constexpr float kDesignLeft = 120.0F;
    static constexpr float kDesignTop = 120.0F;
    static constexpr float kDesignWidth = 375.0F;
    static constexpr float kDesignHeight = 375.0F;

    explicit CropShape(QWidget* parent);

    [[nodiscard]] float Left() const { return m_left; }
    [[nodiscard]] float Top() const { return m_top; }
    [[nodiscard]] float Width() const { return m_width; }
    [[nodiscard]] float Height() const { return m_height; }
    [[nodiscard]] bool Visible() const { return m_visible; }

    void setLeft(float twips);
    void setTop(float twips);
    void setWidth(float twips);
    void setHeight(float twips);
    void setGeometryTwips(float left, float top, float width, float height);
    void setVisible(bool visible) override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void place();

    float m_left = kDesignLeft;
    float m_top = kDesignTop;
    float m_width = kDesignWidth;
    float m_height = kDesignHeight;
    bool m_visible = false;
};

}  // namespace vellora
