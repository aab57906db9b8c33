// The whole road of a picture through the real window and the real image library:
// Open, the slider, the crop rectangle under the mouse, the crop pass, Save As, Help
// and the about window.
#include <QApplication>
#include <QCursor>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QLabel>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QPushButton>
#include <QStatusBar>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QToolButton>
#include <QUrl>
#include <QtTest/QTest>
#include <functional>
#include <map>

#include "about/frmabout.h"
#include "app/click_slider.h"
#include "common/twips.h"
#include "gui_fixture.h"
#include "image_windows/image_window.h"

namespace vellora {
namespace {

using test::GuiTest;
using test::sendMouse;

QByteArray contents(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QImage decode(const QString& path) {
    QImageReader reader(path);
    reader.setDecideFormatFromContent(true);
    return reader.read().convertToFormat(QImage::Format_RGB32);
}

// Mean absolute difference per channel between `cut` and the same-sized region of `source`
// starting at (left, top).
double meanDifference(const QImage& cut, const QImage& source, int left, int top) {
    double total = 0;
    for (int y = 0; y < cut.height(); ++y) {
        for (int x = 0; x < cut.width(); ++x) {
            const QRgb a = cut.pixel(x, y);
            const QRgb b = source.pixel(left + x, top + y);
            total += std::abs(qRed(a) - qRed(b)) + std::abs(qGreen(a) - qGreen(b)) +
                     std::abs(qBlue(a) - qBlue(b));
        }
    }
    return total / (3.0 * cut.width() * cut.height());
}

// ---- Open and the compression pass --------------------------------------------------

TEST_F(GuiTest, OpenShowsThePictureAndItsCompressedForm) {
    for (const char* format : {"jpg", "bmp"}) {
        const QString path = makePicture(QStringLiteral("photo.") + format, 64, 48,
                                         format == QByteArray("jpg") ? "JPEG" : "BMP");
        open(path);
        const SharedState& state = sharedState();
        EXPECT_EQ(state.SourcePath, path);
        EXPECT_EQ(state.OriginalSize, QFileInfo(path).size());
        EXPECT_EQ(m_window->panelText(1), path);

        FmJpg& original = m_window->fm_jpg();
        EXPECT_EQ(original.Caption(), QStringLiteral("Original Image"));
        EXPECT_EQ(original.Label1()->text(), QStringLiteral("Filesize:  ") +
                                                 formatByteCount(state.OriginalSize) +
                                                 QStringLiteral(" bytes"));
        EXPECT_EQ(original.pic_photo()->size(), QSize(64, 48));
        // At least the design's allowance; more where the frame drawn needs more.
        EXPECT_GE(original.Width(), original.pic_photo()->Width() + 50);
        EXPECT_GE(original.Height(), original.pic_photo()->Height() + original.labelHeight() + 380);
        EXPECT_FLOAT_EQ(original.Width(), std::max(original.pic_photo()->Width() + 50,
                                                   original.outerWidthForPicture()));
        EXPECT_FLOAT_EQ(original.Height(),
                        std::max(original.pic_photo()->Height() + original.labelHeight() + 380,
                                 original.outerHeightForPicture()));

        ASSERT_TRUE(m_window->fmComLoaded()) << format;
        FmCom& compressed = m_window->fm_com();
        EXPECT_EQ(compressed.Caption(), QStringLiteral("Compressed Image"));
        EXPECT_EQ(compressed.pic_photo()->size(), QSize(64, 48));
        EXPECT_EQ(state.CompressedSize, QFileInfo(working()).size());
        const QString label = compressed.Label1()->text();
        if (state.OriginalSize > state.CompressedSize) {
            EXPECT_EQ(label, QStringLiteral("Filesize:  %1 bytes    %2%")
                                 .arg(formatByteCount(state.CompressedSize))
                                 .arg(shareSaved(state.OriginalSize, state.CompressedSize)));
        } else {
            EXPECT_EQ(label, QStringLiteral("Filesize:  ") + formatByteCount(state.CompressedSize));
        }
        EXPECT_EQ(decode(working()).size(), QSize(64, 48));
        // fm_com lies over fm_jpg at the top-left corner.
        EXPECT_EQ(compressed.pos(), QPoint(0, 0));
        EXPECT_EQ(m_window->mdiArea()->subWindowList(QMdiArea::StackingOrder).last(), &compressed);
    }
    EXPECT_TRUE(m_ui.messages.empty());
}

TEST_F(GuiTest, OpenSetsTheDialogAndRemembersTheLastName) {
    const QString first = makePicture(QStringLiteral("a.jpg"), 16, 16, "JPEG");
    open(first);
    m_ui.openAnswers.push_back(std::nullopt);  // cancel the second one
    command(0);
    ASSERT_EQ(m_ui.openSeen.size(), 2U);
    const CommonDialog& seen = m_ui.openSeen[1];
    EXPECT_TRUE(seen.CancelError);
    EXPECT_EQ(seen.Flags, 4);
    EXPECT_EQ(seen.FilterIndex, 1);
    EXPECT_EQ(seen.Filter, MDIForm1::kOpenFilter);
    EXPECT_EQ(seen.FileName, first);
    EXPECT_TRUE(
        qtNameFilters(seen.Filter).first().endsWith(QStringLiteral("(*.jpg *.bmp *.jpeg *.jpe)")));
}

TEST_F(GuiTest, CancelledOpenChangesNothing) {
    const QString path = makePicture(QStringLiteral("a.jpg"), 16, 16, "JPEG");
    open(path);
    const SharedState before = sharedState();
    FmCom* compressed = &m_window->fm_com();
    m_ui.openAnswers.push_back(std::nullopt);
    command(0);
    EXPECT_EQ(sharedState().SourcePath, before.SourcePath);
    EXPECT_EQ(sharedState().OriginalSize, before.OriginalSize);
    EXPECT_EQ(&m_window->fm_com(), compressed);
    EXPECT_EQ(m_window->panelText(1), path);
    EXPECT_TRUE(m_ui.messages.empty());
}

TEST_F(GuiTest, AFileThatCannotBeShownIsReportedAndChangesNothing) {
    const QString good = makePicture(QStringLiteral("good.jpg"), 16, 16, "JPEG");
    open(good);
    const SharedState before = sharedState();
    const QString caption = m_window->fm_jpg().Label1()->text();

    QFile bad(m_work.filePath(QStringLiteral("notes.jpg")));
    ASSERT_TRUE(bad.open(QIODevice::WriteOnly));
    bad.write("this is no picture");
    bad.close();
    for (const QString& path : {bad.fileName(), m_work.filePath(QStringLiteral("missing.jpg"))}) {
        m_ui.messages.clear();
        open(path);
        ASSERT_EQ(m_ui.messages.size(), 1U);
        EXPECT_TRUE(m_ui.messages[0].text.contains(path));
        EXPECT_EQ(sharedState().SourcePath, before.SourcePath);
        EXPECT_EQ(sharedState().OriginalSize, before.OriginalSize);
        EXPECT_EQ(m_window->panelText(1), good);
        EXPECT_EQ(m_window->fm_jpg().Label1()->text(), caption);
        EXPECT_TRUE(m_window->fmComLoaded());
    }
}

TEST_F(GuiTest, SliderClicksReencodeFromTheSource) {
    const QString path = makePicture(QStringLiteral("photo.jpg"), 160, 120, "JPEG", 95);
    open(path);
    const std::int64_t at60 = sharedState().CompressedSize;

    // A click near the right end pages the handle up: stronger compression, smaller file.
    ClickSlider* slider = m_window->Slider1();
    QStyleOptionSlider option;
    option.initFrom(slider);
    option.orientation = slider->orientation();
    option.minimum = slider->minimum();
    option.maximum = slider->maximum();
    option.sliderPosition = slider->value();
    option.tickPosition = slider->tickPosition();
    const QRect groove = slider->style()->subControlRect(QStyle::CC_Slider, &option,
                                                         QStyle::SC_SliderGroove, slider);
    const QPoint nearRightEnd(groove.right() - 2, groove.center().y());
    sendMouse(slider, QEvent::MouseButtonPress, nearRightEnd, Qt::LeftButton, Qt::LeftButton);
    sendMouse(slider, QEvent::MouseButtonRelease, nearRightEnd, Qt::LeftButton, Qt::NoButton);
    EXPECT_EQ(slider->value(), 70);
    const std::int64_t at70 = sharedState().CompressedSize;
    EXPECT_LT(at70, at60);

    // Keys move the handle without a pass.
    const QByteArray before = contents(working());
    QTest::keyClick(slider, Qt::Key_Left);
    EXPECT_EQ(slider->value(), 69);
    EXPECT_EQ(sharedState().CompressedSize, at70);
    EXPECT_EQ(contents(working()), before);
    // Return (or the keypad's Enter) is the keyboard's click: the value the keys
    // chose, as it stands.
    QTest::keyClick(slider, Qt::Key_Return);
    EXPECT_EQ(slider->value(), 69);
    const QByteArray at69 = contents(working());
    EXPECT_NE(at69, before);
    QTest::keyClick(slider, Qt::Key_Left);
    QTest::keyClick(slider, Qt::Key_Enter, Qt::KeypadModifier);
    EXPECT_EQ(slider->value(), 68);
    EXPECT_NE(contents(working()), at69);

    // Back at 60 by clicks: the same bytes as the first pass (nothing compounds).
    slider->setValue(60);
    m_window->Slider1_Click();
    EXPECT_EQ(sharedState().CompressedSize, at60);
}

TEST_F(GuiTest, TabLeavesThePictureWindowsForTheButtonsAndTheSlider) {
    // Once a picture was open, Tab stayed in its window: the slider was out of the
    // keyboard's reach.
    open(makePicture(QStringLiteral("photo.jpg"), 64, 48, "JPEG"));
    m_window->activateWindow();
    QApplication::setActiveWindow(m_window.get());
    const struct {
        Qt::KeyboardModifiers modifiers;
        QWidget* expected;
    } cases[] = {{Qt::NoModifier, m_window->cmd_toolbar(0)},
                 {Qt::ShiftModifier, m_window->Slider1()}};
    for (ImageWindow* window : {static_cast<ImageWindow*>(&m_window->fm_com()),
                                static_cast<ImageWindow*>(&m_window->fm_jpg())}) {
        for (const auto& c : cases) {
            m_window->mdiArea()->setActiveSubWindow(window);
            window->setFocus();
            ASSERT_TRUE(window->isAncestorOf(QApplication::focusWidget()) ||
                        QApplication::focusWidget() == window);
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab, c.modifiers);
            EXPECT_EQ(QApplication::focusWidget(), c.expected)
                << window->objectName().toStdString() << " " << c.modifiers.toInt();
        }
    }
}

TEST_F(GuiTest, PassMessagesForMissingWrongAndVanishedFiles) {
    m_window->compress();
    ASSERT_EQ(m_ui.messages.size(), 1U);
    EXPECT_EQ(m_ui.messages[0].text, QStringLiteral("You must open an image file first."));
    EXPECT_EQ(m_ui.messages[0].icon, MessageIcon::Exclamation);

    // A picture the windows can show but the pass does not take.
    m_ui.messages.clear();
    open(makePicture(QStringLiteral("picture.png"), 16, 16, "PNG"));
    EXPECT_EQ(m_window->fm_jpg().Caption(), QStringLiteral("Original Image"));
    ASSERT_EQ(m_ui.messages.size(), 1U);
    EXPECT_EQ(m_ui.messages[0].text, QStringLiteral("Invalid File Type!"));
    EXPECT_EQ(m_ui.messages[0].icon, MessageIcon::Exclamation);

    // The source vanished after the Open.
    m_ui.messages.clear();
    const QString path = makePicture(QStringLiteral("gone.jpg"), 16, 16, "JPEG");
    open(path);
    QFile::remove(path);
    m_window->Slider1_Click();
    ASSERT_EQ(m_ui.messages.size(), 1U);
    EXPECT_EQ(m_ui.messages[0].text, QStringLiteral("Error 1 Occurred"));
    EXPECT_EQ(m_ui.messages[0].icon, MessageIcon::None);
}

TEST_F(GuiTest, AFailedSaveLeavesError4AndThePreviousPicture) {
    const QString path = makePicture(QStringLiteral("photo.jpg"), 32, 24, "JPEG");
    open(path);
    const QString label = m_window->fm_com().Label1()->text();
    m_platform.windowsDir = m_work.filePath(QStringLiteral("no/such/folder")).toStdString();
    m_window->Slider1_Click();
    EXPECT_EQ(m_window->windowTitle(), QStringLiteral("error4"));
    EXPECT_EQ(m_window->fm_com().Caption(), QStringLiteral("Compressed Image"));
    EXPECT_EQ(m_window->fm_com().Label1()->text(), label);
    EXPECT_EQ(m_window->fm_com().pic_photo()->size(), QSize(32, 24));
}

TEST_F(GuiTest, LabelWithoutShareWhenTheResultIsLarger) {
    // Noise saved at quality 50: re-encoding it at quality 100 makes it bigger.
    QImage noise(64, 64, QImage::Format_RGB32);
    std::uint32_t seed = 12345;
    for (int y = 0; y < 64; ++y) {
        for (int x = 0; x < 64; ++x) {
            seed = seed * 1664525U + 1013904223U;
            noise.setPixel(x, y, seed >> 8);
        }
    }
    const QString path = m_work.filePath(QStringLiteral("tiny.jpg"));
    ASSERT_TRUE(noise.save(path, "JPEG", 50));
    m_window->Slider1()->setValue(1);  // quality 100
    open(path);
    const SharedState& state = sharedState();
    ASSERT_GE(state.CompressedSize, state.OriginalSize);
    EXPECT_EQ(m_window->fm_com().Label1()->text(),
              QStringLiteral("Filesize:  ") + formatByteCount(state.CompressedSize));
}

TEST_F(GuiTest, ThePassPutsBackThePointerShapeItFound) {
    const QString path = makePicture(QStringLiteral("photo.jpg"), 32, 24, "JPEG");
    open(path);
    setScreenMousePointer(PointerShape::SizeNS);
    m_window->Slider1_Click();
    EXPECT_EQ(screenMousePointer(), PointerShape::SizeNS);
    ASSERT_NE(QGuiApplication::overrideCursor(), nullptr);
    EXPECT_EQ(QGuiApplication::overrideCursor()->shape(), Qt::SizeVerCursor);
}

// ---- The crop rectangle under the mouse ---------------------------------------------

TEST_F(GuiTest, CropRectangleFollowsRealMouseEvents) {
    open(makePicture(QStringLiteral("photo.jpg"), 64, 48, "JPEG"));
    command(3);  // show the rectangle
    FmCom& w = m_window->fm_com();
    PictureBox* box = w.pic_photo();
    CropShape* shape = w.sh_crop();
    ASSERT_TRUE(shape->Visible());

    // Hover over the left edge, half-way down: the west-east arrow, left-edge mode.
    sendMouse(box, QEvent::MouseMove, {8, 20}, Qt::NoButton, Qt::NoButton);
    EXPECT_EQ(m_window->panelText(2), QStringLiteral("(X,Y)     (8,8)"));
    EXPECT_EQ(m_window->panelText(3), QStringLiteral("Width x Height     25 x 25"));
    EXPECT_EQ(sharedState().crop.DragMode, 7);
    ASSERT_NE(QGuiApplication::overrideCursor(), nullptr);
    EXPECT_EQ(QGuiApplication::overrideCursor()->shape(), Qt::SizeHorCursor);

    // Drag the left edge 4 pixels out; the panels lag one event behind.
    sendMouse(box, QEvent::MouseButtonPress, {8, 20}, Qt::LeftButton, Qt::LeftButton);
    sendMouse(box, QEvent::MouseMove, {4, 20}, Qt::NoButton, Qt::LeftButton);
    EXPECT_FLOAT_EQ(shape->Left(), 60.0F);
    EXPECT_FLOAT_EQ(shape->Width(), 435.0F);
    EXPECT_TRUE(shape->isVisible());
    EXPECT_EQ(m_window->panelText(2), QStringLiteral("(X,Y)     (8,8)"));
    sendMouse(box, QEvent::MouseButtonRelease, {4, 20}, Qt::LeftButton, Qt::NoButton);
    sendMouse(box, QEvent::MouseMove, {20, 20}, Qt::NoButton, Qt::NoButton);
    EXPECT_EQ(m_window->panelText(2), QStringLiteral("(X,Y)     (4,8)"));
    EXPECT_EQ(m_window->panelText(3), QStringLiteral("Width x Height     29 x 25"));

    // Inside: the four-headed arrow; a drag moves the whole rectangle.
    EXPECT_EQ(sharedState().crop.DragMode, 10);
    EXPECT_EQ(QGuiApplication::overrideCursor()->shape(), Qt::SizeAllCursor);
    sendMouse(box, QEvent::MouseButtonPress, {20, 20}, Qt::LeftButton, Qt::LeftButton);
    EXPECT_EQ(sharedState().crop.GrabOffsetX, 240);
    EXPECT_EQ(sharedState().crop.GrabOffsetY, 180);
    sendMouse(box, QEvent::MouseMove, {30, 25}, Qt::NoButton, Qt::LeftButton);
    EXPECT_FLOAT_EQ(shape->Left(), 210.0F);
    EXPECT_FLOAT_EQ(shape->Top(), 195.0F);
    EXPECT_FLOAT_EQ(shape->Width(), 435.0F);
    EXPECT_EQ(shape->geometry(), QRect(14, 13, 29, 25));
    // Far past the right border: stopped at it.
    sendMouse(box, QEvent::MouseMove, {500, 25}, Qt::NoButton, Qt::LeftButton);
    EXPECT_FLOAT_EQ(shape->Left(), 64 * 15 - 435.0F);
    sendMouse(box, QEvent::MouseButtonRelease, {500, 25}, Qt::LeftButton, Qt::NoButton);

    // The right button moves nothing and takes no grab offsets.
    const CropState before = sharedState().crop;
    sendMouse(box, QEvent::MouseButtonPress, {40, 20}, Qt::RightButton, Qt::RightButton);
    sendMouse(box, QEvent::MouseMove, {10, 10}, Qt::NoButton, Qt::RightButton);
    EXPECT_EQ(sharedState().crop, before);

    // Moving onto the toolbar strip puts the pointer back.
    sendMouse(m_window->Picture1(), QEvent::MouseMove, {300, 5}, Qt::NoButton, Qt::NoButton);
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);

    // Another picture starts with a new rectangle: the old one's figures go with it.
    ASSERT_FALSE(m_window->panelText(2).isEmpty());
    open(makePicture(QStringLiteral("other.jpg"), 40, 30, "JPEG"));
    EXPECT_EQ(m_window->panelText(2), QString());
    EXPECT_EQ(m_window->panelText(3), QString());
}

TEST_F(GuiTest, StatusPanelsShowTheRectanglesFiguresWhole) {
    // The design's widths hold the first picture's figures, not a photo's.
    open(makePicture(QStringLiteral("photo.jpg"), 64, 48, "JPEG"));
    const QSize windowSize = m_window->size();
    auto* path = m_window->statusBar()->findChild<QLabel*>(QStringLiteral("Panel1"));
    ASSERT_NE(path, nullptr);
    const int pathWidth = path->width();
    const struct {
        int panel;
        const char* text;
    } cases[] = {
        {2, "(X,Y)     (8,8)"},
        {2, "(X,Y)     (1500,1380)"},
        {2, "(X,Y)     (1456.333,-1455.583)"},  // a screen of 84 logical dots per inch
        {3, "Width x Height     1456.333 x 1455.583"},
    };
    for (const auto& c : cases) {
        m_window->setPanelText(c.panel, QString::fromLatin1(c.text));
        QApplication::processEvents();
        auto* label =
            m_window->statusBar()->findChild<QLabel*>(QStringLiteral("Panel%1").arg(c.panel));
        ASSERT_NE(label, nullptr);
        EXPECT_GE(label->width(), label->sizeHint().width()) << c.text;
        EXPECT_LE(label->geometry().right(), m_window->statusBar()->width()) << c.text;
        EXPECT_EQ(m_window->size(), windowSize) << c.text;
    }
    // The path's panel gave way, and takes its width again when there is room.
    EXPECT_LT(path->width(), pathWidth);
    m_window->setPanelText(3, QStringLiteral("Width x Height     25 x 25"));
    m_window->setPanelText(2, QStringLiteral("(X,Y)     (8,8)"));
    QApplication::processEvents();
    EXPECT_EQ(path->width(), pathWidth);
}

TEST_F(GuiTest, HiddenRectangleOnlyClearsThePanels) {
    open(makePicture(QStringLiteral("photo.jpg"), 64, 48, "JPEG"));
    m_window->setPanelText(2, QStringLiteral("old"));
    setScreenMousePointer(PointerShape::SizeNS);
    PictureBox* box = m_window->fm_com().pic_photo();
    sendMouse(box, QEvent::MouseMove, {8, 20}, Qt::NoButton, Qt::NoButton);
    EXPECT_EQ(m_window->panelText(2), QString());
    EXPECT_EQ(m_window->panelText(3), QString());
    EXPECT_EQ(screenMousePointer(), PointerShape::SizeNS);
    EXPECT_EQ(sharedState().crop.DragMode, 0);
}

TEST_F(GuiTest, OpenPutsTheRectangleBackToItsDesign) {
    const QString path = makePicture(QStringLiteral("photo.jpg"), 64, 48, "JPEG");
    open(path);
    command(3);
    m_window->fm_com().sh_crop()->setGeometryTwips(300, 300, 200, 200);
    open(path);
    CropShape* shape = m_window->fm_com().sh_crop();
    EXPECT_FALSE(shape->Visible());
    command(3);
    EXPECT_TRUE(shape->Visible());
    EXPECT_FLOAT_EQ(shape->Left(), 120.0F);
    EXPECT_FLOAT_EQ(shape->Width(), 375.0F);
    EXPECT_EQ(sharedState().crop.CropLeft, 120);
    command(3);
    command(3);  // two toggles: as it was
    EXPECT_TRUE(shape->Visible());
    EXPECT_FLOAT_EQ(shape->Top(), 120.0F);
}

TEST_F(GuiTest, ToggleBeforeAnyOpenShowsAnEmptyWindowWithTheRectangle) {
    command(3);
    ASSERT_TRUE(m_window->fmComLoaded());
    FmCom& w = m_window->fm_com();
    EXPECT_EQ(w.Caption(), QStringLiteral("Compressed File"));
    EXPECT_TRUE(w.sh_crop()->Visible());
    EXPECT_EQ(w.sh_crop()->geometry(), QRect(8, 8, 25, 25));
}

// ---- The crop pass and Save As -------------------------------------------------------

TEST_F(GuiTest, SaveAsWithTheRectangleHiddenCopiesTheWorkingFile) {
    open(makePicture(QStringLiteral("photo.jpg"), 64, 48, "JPEG"));
    const QString target = m_work.filePath(QStringLiteral("out"));
    saveAs(target);
    EXPECT_EQ(contents(target), contents(working()));
    EXPECT_FALSE(contents(target).isEmpty());
    EXPECT_TRUE(m_ui.messages.empty());
    ASSERT_EQ(m_ui.saveSeen.size(), 1U);
    EXPECT_EQ(m_ui.saveSeen[0].FileName, sharedState().SourcePath);  // starts at the last name
}

TEST_F(GuiTest, SaveAsAfterTheCompressedWindowWasClosedOpensNoEmptyOne) {
    open(makePicture(QStringLiteral("photo.jpg"), 64, 48, "JPEG"));
    for (QMdiSubWindow* window : m_window->mdiArea()->subWindowList()) {
        if (window->widget() == &m_window->fm_com() || window == &m_window->fm_com()) {
            window->close();  // as its title bar's close button does
        }
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    ASSERT_FALSE(m_window->fmComLoaded());
    const QString target = m_work.filePath(QStringLiteral("out.jpg"));
    saveAs(target);
    EXPECT_EQ(contents(target), contents(working()));
    EXPECT_FALSE(m_window->fmComLoaded());
    EXPECT_EQ(m_window->mdiArea()->subWindowList().size(), 1);
}

TEST_F(GuiTest, SaveAsWithTheRectangleShownSavesTheCutOut) {
    const QString source = makePicture(QStringLiteral("photo.jpg"), 64, 48, "JPEG", 100);
    open(source);
    command(3);
    const QString target = m_work.filePath(QStringLiteral("cut.bmp"));  // JPEG data anyway
    saveAs(target);
    const QImage cut = decode(target);
    EXPECT_EQ(cut.size(), QSize(25, 25));
    EXPECT_EQ(QImageReader(target).format(), QByteArray("jpeg"));
    EXPECT_LT(meanDifference(cut, decode(source), 8, 8), 10.0);
    // The window still shows the uncut picture.
    EXPECT_EQ(m_window->fm_com().pic_photo()->size(), QSize(64, 48));
    // A second Save As with the rectangle hidden, before any new pass: still the cut-out.
    command(3);
    const QString second = m_work.filePath(QStringLiteral("second.jpg"));
    saveAs(second);
    EXPECT_EQ(decode(second).size(), QSize(25, 25));
    // After a new pass the working file is whole again.
    m_window->Slider1_Click();
    const QString third = m_work.filePath(QStringLiteral("third.jpg"));
    saveAs(third);
    EXPECT_EQ(decode(third).size(), QSize(64, 48));
}

TEST_F(GuiTest, CropPassCases) {
    const struct {
        const char* what;
        QString name;
        QSize picture;
        float left, top, width, height;  // twips; NaN keeps the design
        int slider;
        QSize expected;
        QPoint from;
    } cases[] = {
        {"design rectangle", "a.jpg", {64, 48}, 120, 120, 375, 375, 60, {25, 25}, {8, 8}},
        {".jpeg name", "b.jpeg", {64, 48}, 120, 120, 375, 375, 60, {25, 25}, {8, 8}},
        {"bitmap", "c.bmp", {64, 48}, 120, 120, 375, 375, 60, {25, 25}, {8, 8}},
        {"halves go to even",
         "d.jpg",
         {64, 48},
         127.5F,
         112.5F,
         382.5F,
         367.5F,
         60,
         {26, 24},
         {8, 8}},
        {"clipped at the picture", "e.jpg", {20, 20}, 120, 120, 375, 375, 60, {12, 12}, {8, 8}},
        {"slider at 1", "f.jpg", {64, 48}, 120, 120, 375, 375, 1, {25, 25}, {8, 8}},
        {"slider at 100", "g.jpg", {64, 48}, 120, 120, 375, 375, 100, {25, 25}, {8, 8}},
        {"far right of a wide picture",
         "h.jpg",
         {3000, 40},
         44625,
         120,
         375,
         375,
         60,
         {25, 25},
         {2975, 8}},
    };
    std::map<int, qint64> sizeBySlider;
    for (const auto& c : cases) {
        m_ui.messages.clear();
        const char* format = c.name.endsWith(QLatin1String(".bmp")) ? "BMP" : "JPEG";
        const QString source =
            makePicture(c.name, c.picture.width(), c.picture.height(), format, 100);
        open(source);
        command(3);
        m_window->fm_com().sh_crop()->setGeometryTwips(c.left, c.top, c.width, c.height);
        m_window->Slider1()->setValue(c.slider);
        const QString target = m_work.filePath(QStringLiteral("out-") + c.name + ".jpg");
        saveAs(target);
        EXPECT_TRUE(m_ui.messages.empty()) << c.what;
        const QImage cut = decode(target);
        EXPECT_EQ(cut.size(), c.expected) << c.what;
        if (c.slider == 60) {
            EXPECT_LT(meanDifference(cut, decode(source), c.from.x(), c.from.y()), 12.0) << c.what;
        }
        sizeBySlider[c.slider] = QFileInfo(target).size();
        m_window->Slider1()->setValue(60);
    }
    // Slider 1 is quality 100, slider 100 quality 1.
    EXPECT_GT(sizeBySlider[1], sizeBySlider[100]);
}

TEST_F(GuiTest, CropFailuresStopSaveAsWithoutACopy) {
    const QString target = m_work.filePath(QStringLiteral("out.jpg"));
    // The source was deleted since it was opened.
    const QString gone = makePicture(QStringLiteral("gone.jpg"), 64, 48, "JPEG");
    open(gone);
    command(3);
    QFile::remove(gone);
    saveAs(target);
    EXPECT_EQ(m_ui.texts(), QStringList{QStringLiteral("Error 1 Occurred")});
    EXPECT_EQ(m_ui.messages[0].icon, MessageIcon::None);
    EXPECT_FALSE(QFile::exists(target));

    // The rectangle lies wholly outside the picture.
    m_ui.messages.clear();
    open(makePicture(QStringLiteral("small.jpg"), 4, 4, "JPEG"));
    command(3);
    saveAs(target);
    EXPECT_EQ(m_ui.texts(), QStringList{QStringLiteral("Error 3 Occurred!")});
    EXPECT_FALSE(QFile::exists(target));
}

TEST_F(GuiTest, SaveAsAsksBeforeReplacing) {
    const QString source = makePicture(QStringLiteral("photo.jpg"), 64, 48, "JPEG");
    open(source);
    const QByteArray original = contents(source);

    // Right after the Open the dialog proposes the source itself: asked, "No" keeps it.
    m_ui.answers.push_back(QMessageBox::No);
    saveAs(source);
    ASSERT_EQ(m_ui.messages.size(), 1U);
    EXPECT_EQ(m_ui.messages[0].icon, MessageIcon::Question);
    EXPECT_TRUE(m_ui.messages[0].text.contains(source));
    EXPECT_EQ(contents(source), original);

    // "Yes" replaces it, and the windows then show the saved file as the open picture:
    // its size, not the size of the file it replaced.
    const QByteArray result = contents(working());
    m_ui.answers.push_back(QMessageBox::Yes);
    saveAs(source);
    EXPECT_EQ(contents(source), result);
    EXPECT_EQ(sharedState().OriginalSize, result.size());
    EXPECT_EQ(
        m_window->fm_jpg().Label1()->text(),
        QStringLiteral("Filesize:  ") + formatByteCount(result.size()) + QStringLiteral(" bytes"));
}

TEST_F(GuiTest, SavingOverTheOpenNameShowsTheSavedFileAfterAnotherProgramReplacedIt) {
    // vellora-cli --in-place gives the name a new file; a Save As over that name then
    // left the Original window describing a file that was gone.
    const QString source = makePicture(QStringLiteral("photo.jpg"), 64, 48, "JPEG");
    open(source);
    QImage other(80, 60, QImage::Format_RGB32);
    other.fill(Qt::darkBlue);
    const QString replacement = m_work.filePath(QStringLiteral("replacement.jpg"));
    ASSERT_TRUE(other.save(replacement, "JPEG", 95));
    ASSERT_EQ(
        ::rename(QFile::encodeName(replacement).constData(), QFile::encodeName(source).constData()),
        0);
    const QByteArray result = contents(working());
    m_ui.answers.push_back(QMessageBox::Yes);
    saveAs(source);
    EXPECT_EQ(contents(source), result);
    EXPECT_EQ(sharedState().OriginalSize, result.size());
    EXPECT_EQ(m_window->fm_jpg().pic_photo()->size(), QSize(64, 48));
}

TEST_F(GuiTest, APictureChangedOnDiskIsOpenedAgainBeforeAPassReadsIt) {
    // Another program saves a different picture under the open one's name; the next pass
    // must not describe the new file with the old one's size and window.
    struct Case {
        const char* what;
        bool cropped;  // Save As with the rectangle shown: nothing saved, and said why
    };
    for (const Case& c : {Case{"slider", false}, Case{"cut-out save", true}}) {
        const QString source = makePicture(QStringLiteral("photo.jpg"), 64, 48, "JPEG");
        open(source);
        m_ui.messages.clear();
        QImage other(80, 60, QImage::Format_RGB32);
        other.fill(Qt::darkGreen);
        ASSERT_TRUE(other.save(source, "JPEG", 95));
        const QString target = m_work.filePath(QStringLiteral("cut.jpg"));
        if (c.cropped) {
            m_window->fm_com().sh_crop()->setVisible(true);
            saveAs(target);
            EXPECT_FALSE(QFile::exists(target)) << c.what;
            ASSERT_EQ(m_ui.messages.size(), 1U) << c.what;
            EXPECT_TRUE(m_ui.messages[0].text.contains(QLatin1String("has changed since")))
                << m_ui.messages[0].text.toStdString();
        } else {
            m_window->Slider1_Click();
            EXPECT_TRUE(m_ui.messages.empty()) << c.what;
        }
        EXPECT_EQ(sharedState().OriginalSize, QFileInfo(source).size()) << c.what;
        EXPECT_EQ(m_window->fm_jpg().pic_photo()->size(), QSize(80, 60)) << c.what;
        EXPECT_EQ(decode(working()).size(), QSize(80, 60)) << c.what;
    }
}

TEST_F(GuiTest, ACutOutSaveOfAPictureThatCannotBeOpenedAgainSaysSo) {
    // Replaced by something that is no picture: the message must not claim the picture is
    // "shown again"; the open says why it is not, then the save says it did not happen.
    const QString source = makePicture(QStringLiteral("photo.jpg"), 64, 48, "JPEG");
    open(source);
    m_ui.messages.clear();
    QFile replaced(source);
    ASSERT_TRUE(replaced.open(QIODevice::WriteOnly | QIODevice::Truncate));
    replaced.write("no picture at all");
    replaced.close();
    m_window->fm_com().sh_crop()->setVisible(true);
    const QString target = m_work.filePath(QStringLiteral("cut.jpg"));
    saveAs(target);
    EXPECT_FALSE(QFile::exists(target));
    ASSERT_EQ(m_ui.messages.size(), 2U) << m_ui.texts().join(u'|').toStdString();
    EXPECT_TRUE(m_ui.messages[0].text.startsWith(QLatin1String("Vellora cannot show")));
    EXPECT_TRUE(m_ui.messages[1].text.contains(QLatin1String("has changed since")));
    EXPECT_FALSE(m_ui.messages[1].text.contains(QLatin1String("shown again")));
}

TEST_F(GuiTest, SaveAsCancelAndFailuresLeaveTargetsAlone) {
    // Before any pass in this run: nothing to save, even if a stale working file exists.
    QFile stale(working());
    ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
    stale.write("stale");
    stale.close();
    const QString target = m_work.filePath(QStringLiteral("out.jpg"));
    command(1);
    EXPECT_EQ(m_ui.texts(), QStringList{QStringLiteral("You must open an image file first.")});
    EXPECT_TRUE(m_ui.saveSeen.empty());

    open(makePicture(QStringLiteral("photo.jpg"), 64, 48, "JPEG"));
    m_ui.messages.clear();
    // Cancel: nothing, silently.
    m_ui.saveAnswers.push_back(std::nullopt);
    command(1);
    EXPECT_TRUE(m_ui.messages.empty());

    const QString dangling = m_work.filePath(QStringLiteral("dangling.jpg"));
    const QString loop = m_work.filePath(QStringLiteral("loop.jpg"));
    ASSERT_TRUE(QFile::link(m_work.filePath(QStringLiteral("elsewhere.jpg")), dangling));
    ASSERT_TRUE(QFile::link(loop, loop));
    const struct {
        const char* what;
        QString target;
    } failures[] = {
        {"missing folder", m_work.filePath(QStringLiteral("nowhere/out.jpg"))},
        {"a folder as target", m_work.path()},
        {"a link to no file", dangling},
        {"a link in a loop", loop},
    };
    for (const auto& f : failures) {
        m_ui.messages.clear();
        saveAs(f.target);
        ASSERT_EQ(m_ui.messages.size(), 1U) << f.what;
        EXPECT_TRUE(m_ui.messages[0].text.contains(f.target)) << f.what;
        EXPECT_FALSE(QFileInfo(f.target).isFile()) << f.what;
    }
    EXPECT_TRUE(QFileInfo(loop).isSymLink());
    EXPECT_FALSE(QFileInfo::exists(m_work.filePath(QStringLiteral("elsewhere.jpg"))));

    // The working file vanished: said so, nothing written.
    m_ui.messages.clear();
    QFile::remove(working());
    saveAs(target);
    ASSERT_EQ(m_ui.messages.size(), 1U);
    EXPECT_TRUE(m_ui.messages[0].text.contains(target));
    EXPECT_FALSE(QFile::exists(target));
    // Nothing but the pictures made here is left in the folder: no temporary files.
    EXPECT_EQ(QDir(m_work.path()).entryList(QDir::Files), QStringList{QStringLiteral("photo.jpg")});
}

TEST_F(GuiTest, SaveAsNeedsAResultForThePictureNowOpen) {
    const QString target = m_work.filePath(QStringLiteral("out.jpg"));
    // A slider click before any Open writes nothing there is to save.
    m_window->Slider1_Click();
    m_ui.messages.clear();
    command(1);
    EXPECT_EQ(m_ui.texts(), QStringList{QStringLiteral("You must open an image file first.")});

    // A picture the pass refuses: the result of the one before must not be saved as it.
    open(makePicture(QStringLiteral("a.jpg"), 64, 48, "JPEG"));
    const QString png = makePicture(QStringLiteral("b.png"), 32, 32, "PNG");
    open(png);
    m_ui.messages.clear();
    command(1);
    // The picture is open and shown: what failed is its compression.
    EXPECT_EQ(m_ui.texts(),
              QStringList{QStringLiteral("There is no compressed picture of \"%1\" to save: it "
                                         "could not be compressed.")
                              .arg(png)});
    EXPECT_FALSE(QFile::exists(target));
    EXPECT_TRUE(m_ui.saveSeen.empty());

    // A later good Open makes Save As work again.
    open(makePicture(QStringLiteral("c.jpg"), 64, 48, "JPEG"));
    saveAs(target);
    EXPECT_EQ(decode(target).size(), QSize(64, 48));
}

TEST_F(GuiTest, CropFailuresInSaveAsAreReported) {
    open(makePicture(QStringLiteral("photo.jpg"), 64, 48, "JPEG"));
    command(3);
    const QString target = m_work.filePath(QStringLiteral("out.jpg"));

    // A rectangle beyond any pixel count: the crop pass fails outright.
    m_window->fm_com().sh_crop()->setGeometryTwips(4e10F, 120, 375, 375);
    m_ui.messages.clear();
    saveAs(target);
    ASSERT_EQ(m_ui.messages.size(), 1U);
    EXPECT_TRUE(m_ui.messages[0].text.contains(target));
    EXPECT_FALSE(QFile::exists(target));

    // The crop pass cannot write the working file: error4, and no copy.
    m_window->fm_com().sh_crop()->setGeometryTwips(120, 120, 375, 375);
    m_platform.windowsDir = m_work.filePath(QStringLiteral("no/such/folder")).toStdString();
    m_ui.messages.clear();
    saveAs(target);
    EXPECT_TRUE(m_ui.messages.empty());
    EXPECT_EQ(m_window->windowTitle(), QStringLiteral("error4"));
    EXPECT_EQ(m_window->fm_com().Caption(), QStringLiteral("Compressed Image"));
    EXPECT_FALSE(QFile::exists(target));
}

TEST_F(GuiTest, ToolbarAndFileMenuRouteToTheirCommands) {
    const QString picture = makePicture(QStringLiteral("photo.jpg"), 64, 48, "JPEG");
    const struct {
        const char* what;
        std::function<void()> trigger;
        int opens, saves, shells;
        bool cropToggled;
    } cases[] = {
        {"button 0", [&] { m_window->cmd_toolbar(0)->click(); }, 1, 0, 0, false},
        {"Open item", [&] { m_window->mnu_f(0)->trigger(); }, 1, 0, 0, false},
        {"button 1", [&] { m_window->cmd_toolbar(1)->click(); }, 0, 1, 0, false},
        {"Save As item", [&] { m_window->mnu_f(1)->trigger(); }, 0, 1, 0, false},
        {"button 2", [&] { m_window->cmd_toolbar(2)->click(); }, 0, 0, 1, false},
        {"button 3", [&] { m_window->cmd_toolbar(3)->click(); }, 0, 0, 0, true},
        {"unknown element", [&] { m_window->mnu_f_Click(4); }, 0, 0, 0, false},
        {"unknown index", [&] { m_window->cmd_toolbar_Click(9); }, 0, 0, 0, false},
    };
    for (const auto& c : cases) {
        open(picture);
        m_ui.openSeen.clear();
        m_ui.saveSeen.clear();
        m_platform.shellTargets.clear();
        const bool visibleBefore = m_window->fm_com().sh_crop()->Visible();
        m_ui.openAnswers.push_back(std::nullopt);
        m_ui.saveAnswers.push_back(std::nullopt);
        c.trigger();
        EXPECT_EQ(static_cast<int>(m_ui.openSeen.size()), c.opens) << c.what;
        EXPECT_EQ(static_cast<int>(m_ui.saveSeen.size()), c.saves) << c.what;
        EXPECT_EQ(static_cast<int>(m_platform.shellTargets.size()), c.shells) << c.what;
        EXPECT_EQ(m_window->fm_com().sh_crop()->Visible() != visibleBefore, c.cropToggled)
            << c.what;
        m_ui.openAnswers.clear();
        m_ui.saveAnswers.clear();
    }
    EXPECT_EQ(m_platform.endCount, 0);
}

// ---- Help and the about window ------------------------------------------------------

TEST_F(GuiTest, HelpButtonAndIndexOpenTheSameInstalledPage) {
    command(2);
    m_window->mnu_h(0)->trigger();
    ASSERT_EQ(m_platform.shellTargets.size(), 2U);
    EXPECT_EQ(m_platform.shellTargets[0], m_platform.shellTargets[1]);
    const QUrl page(QString::fromStdString(m_platform.shellTargets[0]));
    ASSERT_TRUE(page.isLocalFile());
    EXPECT_TRUE(QFileInfo::exists(page.toLocalFile())) << page.toLocalFile().toStdString();
    EXPECT_TRUE(contents(page.toLocalFile()).contains("Invalid File Type!"));
}

TEST_F(GuiTest, HelpThatCannotBeOpenedIsReported) {
    // It failed in silence: a help button that did nothing.
    m_platform.shellOpens = false;
    command(2);
    m_window->mnu_h(0)->trigger();
    ASSERT_EQ(m_ui.texts().size(), 2);
    for (const QString& text : m_ui.texts()) {
        EXPECT_TRUE(text.startsWith(QStringLiteral("Vellora could not open its help.\nNo program")))
            << text.toStdString();
    }
}

TEST_F(GuiTest, OneAboutWindowAtATime) {
    m_window->mnu_h(2)->trigger();
    frmAbout* about = m_window->aboutWindow();
    ASSERT_NE(about, nullptr);
    EXPECT_TRUE(about->isVisible());
    EXPECT_FALSE(about->isModal());
    EXPECT_EQ(about->windowTitle(), QStringLiteral("About Vellora"));
    EXPECT_EQ(about->lblTitle()->text(), QStringLiteral("Vellora"));
    EXPECT_EQ(about->lblVersion()->text(), QStringLiteral("Version 1.5.7"));
    EXPECT_TRUE(about->lblTitle()->font().bold());
    EXPECT_DOUBLE_EQ(about->lblTitle()->font().pointSizeF(), 11.25);
    EXPECT_EQ(about->picIcon()->pixmap().size(), QSize(150, 50));
    EXPECT_EQ(about->size(), QSize(384, 283));
    EXPECT_EQ(about->Label(3)->text(), frmAbout::kMakerName);
    EXPECT_EQ(about->cmd_abt(1)->text(), QStringLiteral("Continue"));

    m_window->mnu_h(2)->trigger();
    EXPECT_EQ(m_window->aboutWindow(), about);
    int visible = 0;
    for (QWidget* top : QApplication::topLevelWidgets()) {
        visible += qobject_cast<frmAbout*>(top) != nullptr && top->isVisible();
    }
    EXPECT_EQ(visible, 1);

    // The links open through the shell and leave the window open.
    QTest::mouseClick(about->picIcon(), Qt::LeftButton);
    QTest::mouseClick(about->Label(2), Qt::LeftButton);
    EXPECT_EQ(m_platform.shellTargets.size(), 2U);
    EXPECT_TRUE(about->isVisible());

    // Continue unloads it; the next About loads a fresh one with the same texts.
    QPointer<frmAbout> first = about;
    QTest::mouseClick(about->cmd_abt(1), Qt::LeftButton);
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(first.isNull());
    EXPECT_EQ(m_window->aboutWindow(), nullptr);
    m_window->mnu_h(2)->trigger();
    ASSERT_NE(m_window->aboutWindow(), nullptr);
    EXPECT_EQ(m_window->aboutWindow()->lblVersion()->text(), QStringLiteral("Version 1.5.7"));
    m_window->aboutWindow()->close();
}

}  // namespace
}  // namespace vellora
