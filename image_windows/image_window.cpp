#include "image_window.h"

#include "common/artwork.h"
#include "common/screen_pointer.h"
#include "common/shared_state.h"
#include "common/twips.h"
#include "image_windows/crop_interaction.h"

namespace vellora {

ImageWindow::ImageWindow(QWidget* parent, const QString& name, const QString& designCaption,
                         float designClientWidth, float designClientHeight)
    : QMdiSubWindow(parent),
      m_form(new QWidget(this)),
      m_label(new QLabel(m_form)),
      m_picture(new PictureBox(m_form)) {
    setObjectName(name);
    // A fixed dialog frame: a title and a close box, no minimise, maximise or resizing.
    setWindowFlags(Qt::SubWindow | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setOption(QMdiSubWindow::RubberBandResize, false);
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(designCaption);
    setWindowIcon(artwork::windowIcon());

    m_label->setObjectName(QStringLiteral("Label1"));
    m_label->setAutoFillBackground(true);  // opaque, default colours
    m_label->move(0, twipsToPixelsY(kLabelTop));
    m_label->adjustSize();

    m_picture->setObjectName(QStringLiteral("pic_photo"));
    m_picture->move(0, twipsToPixelsY(kPictureTop));
    m_picture->setSizeTwips(2355.0F, 2535.0F);

    setWidget(m_form);
    const QSize client(twipsToPixelsX(designClientWidth), twipsToPixelsY(designClientHeight));
    m_form->setMinimumSize(client);
    const QMargins frame = contentsMargins();
    setFixedSize(client.grownBy(frame));
}

void ImageWindow::setLabelCaption(const QString& text) {
    m_label->setText(text);
    m_label->adjustSize();
}

float ImageWindow::labelHeight() const {
    return pixelsToTwipsY(m_label->height());
}

float ImageWindow::Width() const {
    return pixelsToTwipsX(width());
}

float ImageWindow::Height() const {
    return pixelsToTwipsY(height());
}

void ImageWindow::setOuterSize(float widthTwips, float heightTwips) {
    const QSize outer(twipsToPixelsX(widthTwips), twipsToPixelsY(heightTwips));
    // The form inside must still hold the whole picture below the label, even where
    // the outer size leaves no room to show all of it.
    m_form->setMinimumSize(0, 0);
    m_form->resize(std::max(outer.width(), m_picture->width()),
                   std::max(outer.height(), m_picture->y() + m_picture->height()));
    setFixedSize(outer);
}

float ImageWindow::outerWidthForPicture() const {
    // The sub-window keeps its frame as its contents margins: the form sits inside them.
    const QMargins frame = contentsMargins();
    return pixelsToTwipsX(frame.left() + m_picture->x() + m_picture->width() + frame.right());
}

float ImageWindow::outerHeightForPicture() const {
    const QMargins frame = contentsMargins();
    return pixelsToTwipsY(frame.top() + m_picture->y() + m_picture->height() + frame.bottom());
}

FmJpg::FmJpg(QWidget* parent)
    : ImageWindow(parent, QStringLiteral("fm_jpg"), QString(), 2370.0F, 2775.0F) {}

FmCom::FmCom(QWidget* parent)
    : ImageWindow(parent, QStringLiteral("fm_com"), QStringLiteral("Compressed File"), 2355.0F,
                  2790.0F),
      m_crop(new CropShape(pic_photo())) {
    m_crop->setObjectName(QStringLiteral("sh_crop"));
    connect(pic_photo(), &PictureBox::mouseDown, this, &FmCom::pic_photo_MouseDown);
    connect(pic_photo(), &PictureBox::mouseMove, this, &FmCom::pic_photo_MouseMove);
    Form_Load();
}

CropGeometry FmCom::cropGeometry() const {
    return {m_crop->Left(), m_crop->Top(), m_crop->Width(), m_crop->Height(), m_crop->Visible()};
}

void FmCom::apply(const CropOutcome& outcome) {
    sharedState().crop = outcome.state;
    if (outcome.panel2 || outcome.panel3) {
        emit statusPanelsChanged(outcome.panel2.value_or(QString()),
                                 outcome.panel3.value_or(QString()));
    }
    const CropGeometry& g = outcome.geometry;
    if (outcome.hiddenAndShown) {
        // The rectangle is hidden while it is moved and shown again at its new place.
        m_crop->setVisible(false);
        m_crop->setGeometryTwips(g.Left, g.Top, g.Width, g.Height);
        m_crop->setVisible(true);
    } else if (g != cropGeometry()) {
        m_crop->setGeometryTwips(g.Left, g.Top, g.Width, g.Height);
        m_crop->setVisible(g.Visible);
    }
    if (outcome.MousePointer) {
        setScreenMousePointer(static_cast<PointerShape>(*outcome.MousePointer));
    }
}

void FmCom::Form_Load() {
    apply(CropInteraction::formLoad(sharedState().crop, cropGeometry()));
}

void FmCom::pic_photo_MouseDown(int button, float x, float y) {
    apply(CropInteraction::mouseDown(sharedState().crop, cropGeometry(), {button, x, y}));
}

void FmCom::pic_photo_MouseMove(int button, float x, float y) {
    const PictureMetrics picture{pic_photo()->ScaleWidth(), pic_photo()->ScaleHeight(),
                                 TwipsPerPixelX(), TwipsPerPixelY()};
    apply(CropInteraction::mouseMove(sharedState().crop, cropGeometry(), picture, {button, x, y}));
}

}  // namespace vellora
