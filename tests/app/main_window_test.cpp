// The main window as it starts, its menus and toolbar, the pointer reset, the unload
// step, and the two picture windows' design state.
#include <QAction>
#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QMdiArea>
#include <QMenu>
#include <QMouseEvent>
#include <QStatusBar>
#include <QToolButton>

#include "app/click_slider.h"
#include "common/twips.h"
#include "gui_fixture.h"
#include "image_windows/image_window.h"

namespace vellora {
namespace {

using test::GuiTest;

QStringList menuTexts(QMenu* menu) {
    QStringList texts;
    for (QAction* action : menu->actions()) {
        texts << (action->isSeparator() ? QStringLiteral("-") : action->text());
    }
    return texts;
}

TEST_F(GuiTest, StartsWithTheDesignState) {
    MDIForm1& w = *m_window;
    EXPECT_EQ(w.windowTitle(), QStringLiteral("Vellora"));
    EXPECT_FALSE(w.windowIcon().isNull());
    EXPECT_EQ(w.Slider1()->value(), 60);
    EXPECT_EQ(w.Slider1()->minimum(), 1);
    EXPECT_EQ(w.Slider1()->maximum(), 100);
    EXPECT_EQ(w.Slider1()->singleStep(), 1);
    EXPECT_EQ(w.Slider1()->pageStep(), 10);
    EXPECT_EQ(w.Slider1()->tickInterval(), 10);
    EXPECT_EQ(w.Slider1()->tickPosition(), QSlider::TicksBelow);
    for (int panel = 1; panel <= 3; ++panel) {
        EXPECT_EQ(w.panelText(panel), QString()) << panel;
    }
    EXPECT_TRUE(w.mdiArea()->subWindowList().isEmpty());
    EXPECT_FALSE(w.fmJpgLoaded());
    EXPECT_FALSE(w.fmComLoaded());
    EXPECT_EQ(w.mdiArea()->background().color(), QColor(Qt::white));
    EXPECT_EQ(w.Label1()->text(), QStringLiteral("Less Compression"));
    EXPECT_EQ(w.lbl_compress()->text(), QStringLiteral("More Compression"));
    EXPECT_EQ(w.Label1()->palette().color(QPalette::WindowText), QColor(0, 0, 128));
}

TEST_F(GuiTest, ClientAreaIs537By402PixelsAt96Dpi) {
    ASSERT_FLOAT_EQ(TwipsPerPixelX(), 15.0F) << "the offscreen screen is expected at 96 dpi";
    MDIForm1& w = *m_window;
    QApplication::processEvents();
    EXPECT_EQ(w.centralWidget()->width(), 537);
    EXPECT_EQ(w.centralWidget()->height() + w.statusBar()->height(), 402);
    EXPECT_EQ(w.Picture1()->height(), 27);  // 405 twips
}

TEST_F(GuiTest, ToolbarButtonsSitAtTheirDesignPlaces) {
    for (int i = 0; i < 4; ++i) {
        QToolButton* button = m_window->cmd_toolbar(i);
        ASSERT_NE(button, nullptr);
        EXPECT_EQ(button->geometry(), QRect(24 * i, 1, 23, 23)) << i;
        EXPECT_FALSE(button->icon().isNull()) << i;
        EXPECT_TRUE(button->text().isEmpty() ||
                    button->toolButtonStyle() == Qt::ToolButtonIconOnly);
        EXPECT_TRUE(button->toolTip().isEmpty()) << i;
    }
    EXPECT_EQ(m_window->cmd_toolbar(4), nullptr);
}

TEST_F(GuiTest, MenusCarryTheirElementNumbers) {
    EXPECT_EQ(m_window->mnu(0)->title(), QStringLiteral("&File"));
    EXPECT_EQ(m_window->mnu(1)->title(), QStringLiteral("&Help"));
    EXPECT_EQ(menuTexts(m_window->mnu(0)), (QStringList{"&Open", "Sav&e As", "-", "E&xit"}));
    EXPECT_EQ(menuTexts(m_window->mnu(1)), (QStringList{"&Index", "-", "&About"}));
    const struct {
        int index;
        bool exists;
    } file[] = {{0, true}, {1, true}, {2, true}, {3, false}, {4, false}, {5, true}, {6, false}};
    for (const auto& item : file) {
        EXPECT_EQ(m_window->mnu_f(item.index) != nullptr, item.exists) << item.index;
    }
    EXPECT_EQ(m_window->mnu_f(5)->text(), QStringLiteral("E&xit"));
    for (QAction* action : m_window->mnu(0)->actions()) {
        EXPECT_TRUE(action->shortcut().isEmpty());
        EXPECT_FALSE(action->isCheckable());
    }
}

TEST_F(GuiTest, ExitEndsAtOnceWithoutTheUnloadStep) {
    QFile file(working());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("jpeg");
    file.close();
    m_window->mnu_f(5)->trigger();
    EXPECT_EQ(m_platform.endCount, 1);
    EXPECT_TRUE(QFile::exists(working()));
}

TEST_F(GuiTest, ClosingDeletesTheWorkingFileAndEnds) {
    QFile file(working());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("jpeg");
    file.close();
    m_window->close();
    EXPECT_FALSE(QFile::exists(working()));
    EXPECT_EQ(m_platform.endCount, 1);
}

TEST_F(GuiTest, ClosingWithoutAWorkingFileStillEnds) {
    m_window->MDIForm_Unload();
    EXPECT_EQ(m_platform.endCount, 1);
    m_platform.windowsDir.clear();  // no private directory at all
    m_window->MDIForm_Unload();
    EXPECT_EQ(m_platform.endCount, 2);
}

TEST_F(GuiTest, PointerGoesBackToDefaultOverTheWindowOnly) {
    const struct {
        const char* where;
        QWidget* widget;
        bool resets;
    } cases[] = {
        {"toolbar strip", m_window->Picture1(), true},
        {"toolbar button", m_window->cmd_toolbar(2), true},
        {"window background", m_window->mdiArea()->viewport(), true},
        {"slider", m_window->Slider1(), false},
        {"status bar", m_window->StatusBar1(), false},
        {"label", m_window->lbl_compress(), false},
    };
    for (const auto& c : cases) {
        setScreenMousePointer(PointerShape::SizeAll);
        sharedState().crop.DragMode = 10;
        test::sendMouse(c.widget, QEvent::MouseMove, QPoint(2, 2), Qt::NoButton, Qt::NoButton);
        EXPECT_EQ(screenMousePointer(), c.resets ? PointerShape::Default : PointerShape::SizeAll)
            << c.where;
        EXPECT_EQ(sharedState().crop.DragMode, 10) << c.where;
        EXPECT_EQ(QGuiApplication::overrideCursor() != nullptr, !c.resets) << c.where;
    }
}

TEST_F(GuiTest, PictureWindowsHaveTheirDesignGeometry) {
    const struct {
        ImageWindow* window;
        const char* name;
        const char* caption;
        QSize client;
    } cases[] = {
        {&m_window->fm_jpg(), "fm_jpg", "", QSize(158, 185)},
        {&m_window->fm_com(), "fm_com", "Compressed File", QSize(157, 186)},
    };
    for (const auto& c : cases) {
        ImageWindow& w = *c.window;
        EXPECT_EQ(w.objectName(), QString::fromLatin1(c.name));
        EXPECT_EQ(w.Caption(), QString::fromLatin1(c.caption));
        EXPECT_EQ(w.widget()->size(), c.client) << c.name;
        EXPECT_EQ(w.pos(), QPoint(0, 0)) << c.name;
        EXPECT_TRUE(w.isVisible());
        EXPECT_FALSE(w.windowFlags() & Qt::WindowMinimizeButtonHint);
        EXPECT_FALSE(w.windowFlags() & Qt::WindowMaximizeButtonHint);
        EXPECT_EQ(w.minimumSize(), w.maximumSize()) << "fixed frame";
        EXPECT_EQ(w.Label1()->pos(), QPoint(0, 0));
        EXPECT_EQ(w.pic_photo()->geometry(), QRect(0, 16, 157, 169)) << c.name;
    }
    EXPECT_EQ(m_window->mdiArea()->subWindowList().size(), 2);
}

// The frame the window system draws is thicker than the old design's allowance: each
// window must still show every pixel of its picture, the last column and row included.
TEST_F(GuiTest, PictureWindowsShowTheWholePicture) {
    for (const QSize size : {QSize(64, 48), QSize(13, 120), QSize(260, 9)}) {
        QImage source(size, QImage::Format_RGB32);
        for (int y = 0; y < size.height(); ++y) {
            for (int x = 0; x < size.width(); ++x) {
                source.setPixel(x, y, qRgb((x * 37) % 256, (y * 53) % 256, ((x + y) % 2) * 255));
            }
        }
        const QString path = m_work.filePath(QStringLiteral("edges.bmp"));
        ASSERT_TRUE(source.save(path, "BMP"));
        open(path);
        QApplication::processEvents();
        ASSERT_TRUE(m_ui.messages.empty());

        const struct {
            ImageWindow* window;
            QImage picture;
        } windows[] = {{&m_window->fm_jpg(), source},
                       {&m_window->fm_com(), m_window->fm_com().pic_photo()->picture()}};
        for (const auto& [window, picture] : windows) {
            const std::string what = window->objectName().toStdString() + " " +
                                     std::to_string(size.width()) + "x" +
                                     std::to_string(size.height());
            PictureBox* box = window->pic_photo();
            const QRect shownAt(box->mapTo(window, QPoint(0, 0)), box->size());
            EXPECT_TRUE(window->contentsRect().contains(shownAt)) << what;
            const QImage shot = window->grab().toImage().convertToFormat(QImage::Format_RGB32);
            const QImage expected = picture.convertToFormat(QImage::Format_RGB32);
            int wrong = 0;
            for (int y = 0; y < size.height(); ++y) {
                const int x = size.width() - 1;
                wrong += shot.pixel(shownAt.topLeft() + QPoint(x, y)) != expected.pixel(x, y);
            }
            for (int x = 0; x < size.width(); ++x) {
                const int y = size.height() - 1;
                wrong += shot.pixel(shownAt.topLeft() + QPoint(x, y)) != expected.pixel(x, y);
            }
            EXPECT_EQ(wrong, 0) << what << ": last column and row";
        }
    }
}

TEST_F(GuiTest, StatusBarShowsItsTextWhole) {
    for (int panel = 1; panel <= 3; ++panel) {
        m_window->setPanelText(panel, QStringLiteral("/home/Jög/Äpfel (qy)"));
    }
    QApplication::processEvents();
    QStatusBar* bar = m_window->StatusBar1();
    EXPECT_GE(bar->height(), twipsToPixelsY(255.0F));
    for (int panel = 1; panel <= 3; ++panel) {
        auto* label = bar->findChild<QLabel*>(QStringLiteral("Panel%1").arg(panel));
        ASSERT_NE(label, nullptr);
        // The text's whole line height fits inside the sunken frame, and the frame inside
        // the bar.
        EXPECT_GE(label->contentsRect().height(), label->fontMetrics().height()) << panel;
        EXPECT_TRUE(bar->rect().contains(label->geometry())) << panel;
        EXPECT_LE(label->geometry().bottom(), bar->height() - 1) << panel;
    }
}

TEST_F(GuiTest, CropRectangleStartsHiddenAtItsDesignPlace) {
    FmCom& w = m_window->fm_com();
    CropShape* shape = w.sh_crop();
    EXPECT_EQ(shape->objectName(), QStringLiteral("sh_crop"));
    EXPECT_EQ(shape->parentWidget(), w.pic_photo());
    EXPECT_FALSE(shape->Visible());
    EXPECT_FALSE(shape->isVisible());
    EXPECT_FLOAT_EQ(shape->Left(), 120.0F);
    EXPECT_FLOAT_EQ(shape->Top(), 120.0F);
    EXPECT_FLOAT_EQ(shape->Width(), 375.0F);
    EXPECT_FLOAT_EQ(shape->Height(), 375.0F);
    EXPECT_EQ(shape->geometry(), QRect(8, 8, 25, 25));
    // The load captured the geometry.
    EXPECT_EQ(sharedState().crop.CropLeft, 120);
    EXPECT_EQ(sharedState().crop.CropHeight, 375);

    // Shown: a blue 2-pixel outline with the picture showing through.
    w.pic_photo()->setPicture([] {
        QImage white(60, 60, QImage::Format_RGB32);
        white.fill(Qt::white);
        return white;
    }());
    shape->setVisible(true);
    const QImage shot = w.pic_photo()->grab().toImage();
    EXPECT_EQ(shot.pixelColor(8, 20), QColor(0, 0, 255));
    EXPECT_EQ(shot.pixelColor(9, 20), QColor(0, 0, 255));
    EXPECT_EQ(shot.pixelColor(10, 20), QColor(Qt::white));
    EXPECT_EQ(shot.pixelColor(20, 20), QColor(Qt::white));
    EXPECT_EQ(shot.pixelColor(20, 32), QColor(0, 0, 255));
}

}  // namespace
}  // namespace vellora
