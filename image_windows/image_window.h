#pragma once

#include <QLabel>
#include <QMdiSubWindow>

#include "crop_shape.h"
#include "picture_box.h"

namespace vellora {

struct CropGeometry;
struct CropOutcome;

// One picture with its file size: a size label on top and an auto-sizing picture box
// below it, in a fixed-frame MDI child window. Sizes are in twips.
class ImageWindow : public QMdiSubWindow {
    Q_OBJECT
public:
    // Label1's top and pic_photo's top inside the window, in twips.
    static constexpr float kLabelTop = 0.0F;
    static constexpr float kPictureTop = 240.0F;

    [[nodiscard]] QLabel* Label1() const { return m_label; }
    [[nodiscard]] PictureBox* pic_photo() const { return m_picture; }

    // The caption (window title).
    [[nodiscard]] QString Caption() const { return windowTitle(); }
    void setCaption(const QString& caption) { setWindowTitle(caption); }

    // Sets Label1's text; the label sizes itself to it.
    void setLabelCaption(const QString& text);
    // Label1's height in twips.
    [[nodiscard]] float labelHeight() const;

    // Outer size (frame included), in twips.
    [[nodiscard]] float Width() const;
    [[nodiscard]] float Height() const;
    void setOuterSize(float widthTwips, float heightTwips);

    // The smallest outer size, in twips, that shows the whole picture: the picture box
    // below the label plus the frame this window really draws (title bar and borders, as
    // the window measures them for the current style and screen).
    [[nodiscard]] float outerWidthForPicture() const;
    [[nodiscard]] float outerHeightForPicture() const;

protected:
    ImageWindow(QWidget* parent, const QString& name, const QString& designCaption,
                float designClientWidth, float designClientHeight);

private:
    QWidget* m_form;
    QLabel* m_label;
    PictureBox* m_picture;
};

// The source picture as the user opened it.
class FmJpg : public ImageWindow {
    Q_OBJECT
public:
    explicit FmJpg(QWidget* parent = nullptr);
};

// The re-encoded picture, with the crop rectangle.
class FmCom : public ImageWindow {
    Q_OBJECT
public:
    explicit FmCom(QWidget* parent = nullptr);

    [[nodiscard]] CropShape* sh_crop() const { return m_crop; }

    // The crop rectangle's handlers.
    void Form_Load();
    void pic_photo_MouseDown(int button, float x, float y);
    void pic_photo_MouseMove(int button, float x, float y);

signals:
    // Status panels 2 and 3 (counted from 1) get new texts.
    void statusPanelsChanged(const QString& panel2, const QString& panel3);

private:
    [[nodiscard]] CropGeometry cropGeometry() const;
    void apply(const CropOutcome& outcome);

    CropShape* m_crop;
};

}  // namespace vellora
