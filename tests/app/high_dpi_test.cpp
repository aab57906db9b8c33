// The windows on high-density screens. ctest runs this program at the screen's plain
// density, at QT_SCALE_FACTOR=2 and at 144 logical dots per inch, telling it through
// VELLORA_EXPECT_TWIPS and VELLORA_EXPECT_RATIO what that screen must give.
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImageReader>
#include <QProcess>
#include <QProcessEnvironment>
#include <QScreen>
#include <QToolButton>

#include "common/twips.h"
#include "gui_fixture.h"
#include "image_windows/image_window.h"

namespace vellora {
namespace {

using test::GuiTest;
using test::sendMouse;

double expected(const char* variable, double fallback) {
    bool ok = false;
    const double value = qEnvironmentVariable(variable).toDouble(&ok);
    return ok ? value : fallback;
}

QImage decode(const QString& path) {
    QImageReader reader(path);
    reader.setDecideFormatFromContent(true);
    return reader.read().convertToFormat(QImage::Format_RGB32);
}

TEST_F(GuiTest, TwipsFollowTheScreensLogicalDensity) {
    const QScreen* screen = QGuiApplication::primaryScreen();
    ASSERT_NE(screen, nullptr);
    EXPECT_FLOAT_EQ(TwipsPerPixelX(), 1440.0F / static_cast<float>(screen->logicalDotsPerInchX()));
    EXPECT_FLOAT_EQ(TwipsPerPixelY(), 1440.0F / static_cast<float>(screen->logicalDotsPerInchY()));
    EXPECT_FLOAT_EQ(TwipsPerPixelX(), expected("VELLORA_EXPECT_TWIPS", 15.0));
    EXPECT_DOUBLE_EQ(m_window->devicePixelRatioF(), expected("VELLORA_EXPECT_RATIO", 1.0));
    // The design's toolbar buttons are 350 twips square whatever the density.
    EXPECT_EQ(m_window->cmd_toolbar(1)->width(), twipsToPixelsX(350.0F));
}

// Every picture pixel shows as one logical pixel: a block of ratio x ratio device pixels,
// also for a picture whose name marks it for high density (the crop rectangle and the
// compressed window count its pixels so).
TEST_F(GuiTest, PicturesShowAtTheirSizeInLogicalPixels) {
    for (const auto& [name, format] : {std::pair{"scan.bmp", "BMP"}, {"scan@2x.jpg", "JPEG"}}) {
        const QString path = makePicture(QString::fromLatin1(name), 61, 37, format, 100);
        open(path);
        const QImage source = decode(path);
        FmJpg& window = m_window->fm_jpg();
        PictureBox* box = window.pic_photo();
        EXPECT_EQ(box->size(), QSize(61, 37)) << name;
        EXPECT_FLOAT_EQ(box->Width(), 61 * TwipsPerPixelX()) << name;

        const QImage shown = window.grab().toImage().convertToFormat(QImage::Format_RGB32);
        const double ratio = shown.devicePixelRatio();
        EXPECT_DOUBLE_EQ(ratio, expected("VELLORA_EXPECT_RATIO", 1.0));
        const QPoint origin = box->mapTo(&window, QPoint(0, 0));
        for (const int y : {0, 1, 18, 35, 36}) {
            for (const int x : {0, 1, 30, 59, 60}) {
                const QPoint device((origin.x() + x) * ratio + ratio / 2,
                                    (origin.y() + y) * ratio + ratio / 2);
                EXPECT_EQ(shown.pixel(device), source.pixel(x, y))
                    << name << " at " << x << "," << y;
            }
        }
    }
}

class HighDpiCrop : public GuiTest {
protected:
    // Returns the rectangle the user saw, in picture pixels.
    QRect cropAndSave(const QString& target) {
        FmCom& com = m_window->fm_com();
        PictureBox* box = com.pic_photo();
        CropShape* shape = com.sh_crop();
        auto drag = [box](QPoint from, QPoint to) {
            sendMouse(box, QEvent::MouseMove, from, Qt::NoButton, Qt::NoButton);
            sendMouse(box, QEvent::MouseButtonPress, from, Qt::LeftButton, Qt::LeftButton);
            sendMouse(box, QEvent::MouseMove, to, Qt::NoButton, Qt::LeftButton);
            sendMouse(box, QEvent::MouseButtonRelease, to, Qt::LeftButton, Qt::NoButton);
        };
        // Move it by its inside, then pull its bottom-right corner out.
        const QPoint inside = shape->geometry().center();
        drag(inside, inside + QPoint(11, 7));
        const QPoint corner = shape->geometry().bottomRight();
        drag(corner, corner + QPoint(13, 9));
        const QRect seen = shape->geometry();
        saveAs(target);
        return seen;
    }
};

TEST_F(HighDpiCrop, CutsExactlyThePixelsUnderTheRectangle) {
    const QString source = makePicture(QStringLiteral("photo.jpg"), 96, 64, "JPEG", 100);
    open(source);
    command(3);  // show the rectangle
    const QString target = m_work.filePath(QStringLiteral("cut.jpg"));
    const QRect seen = cropAndSave(target);
    EXPECT_GT(seen.width(), 30);
    EXPECT_GT(seen.left(), 10);
    ASSERT_TRUE(m_ui.messages.empty()) << m_ui.texts().join('\n').toStdString();

    const QImage cut = decode(target);
    ASSERT_EQ(cut.size(), seen.size());
    // Against the source cut at the rectangle's place and one pixel off in each
    // direction: the cut-out is re-encoded, so not equal, but its own place fits best.
    const QImage shown = decode(source);
    auto difference = [&](int dx, int dy) {
        double total = 0;
        for (int y = 0; y < cut.height(); ++y) {
            for (int x = 0; x < cut.width(); ++x) {
                const QRgb a = cut.pixel(x, y);
                const QRgb b = shown.pixel(std::clamp(seen.left() + dx + x, 0, shown.width() - 1),
                                           std::clamp(seen.top() + dy + y, 0, shown.height() - 1));
                total += std::abs(qRed(a) - qRed(b)) + std::abs(qGreen(a) - qGreen(b)) +
                         std::abs(qBlue(a) - qBlue(b));
            }
        }
        return total / (3.0 * cut.width() * cut.height());
    };
    const double atPlace = difference(0, 0);
    EXPECT_LT(atPlace, 12.0);
    for (const QPoint off : {QPoint(1, 0), QPoint(-1, 0), QPoint(0, 1), QPoint(0, -1)}) {
        EXPECT_LT(atPlace, difference(off.x(), off.y())) << off.x() << "," << off.y();
    }

    // Asked by the cross-density test below: keep the cut-out and where it was.
    const QString keep = qEnvironmentVariable("VELLORA_CROP_OUT");
    if (!keep.isEmpty()) {
        QFile::remove(keep);
        ASSERT_TRUE(QFile::copy(target, keep));
        QFile where(keep + QStringLiteral(".rect"));
        ASSERT_TRUE(where.open(QIODevice::WriteOnly));
        where.write(QStringLiteral("%1 %2 %3 %4")
                        .arg(seen.x())
                        .arg(seen.y())
                        .arg(seen.width())
                        .arg(seen.height())
                        .toUtf8());
    }
}

// The same drags at scale factor 1 and 2 cut the same pixels: the files are identical.
TEST(HighDpiCropAcrossScales, ScaleTwoCutsTheSamePixelsAsScaleOne) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QByteArray cuts[2];
    QByteArray places[2];
    const char* factors[2] = {"1", "2"};
    for (int i = 0; i < 2; ++i) {
        const QString out = dir.filePath(QStringLiteral("cut%1.jpg").arg(i));
        QProcess run;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("QT_SCALE_FACTOR"), QString::fromLatin1(factors[i]));
        env.insert(QStringLiteral("VELLORA_EXPECT_RATIO"), QString::fromLatin1(factors[i]));
        env.insert(QStringLiteral("VELLORA_CROP_OUT"), out);
        run.setProcessEnvironment(env);
        run.setProcessChannelMode(QProcess::MergedChannels);
        run.start(
            QCoreApplication::applicationFilePath(),
            {QStringLiteral("--gtest_filter=HighDpiCrop.CutsExactlyThePixelsUnderTheRectangle")});
        ASSERT_TRUE(run.waitForFinished(120000));
        ASSERT_EQ(run.exitCode(), 0) << "scale " << factors[i] << ":\n"
                                     << run.readAll().toStdString();
        QFile cut(out);
        ASSERT_TRUE(cut.open(QIODevice::ReadOnly)) << factors[i];
        cuts[i] = cut.readAll();
        QFile place(out + QStringLiteral(".rect"));
        ASSERT_TRUE(place.open(QIODevice::ReadOnly));
        places[i] = place.readAll();
    }
    EXPECT_EQ(places[0], places[1]);
    EXPECT_FALSE(cuts[0].isEmpty());
    EXPECT_EQ(cuts[0], cuts[1]);
}

}  // namespace
}  // namespace vellora
