#include "artwork.h"

#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>

namespace vellora::artwork {
namespace {

// The 16-colour palette the small pictures keep to.
const QColor kBlack(0, 0, 0);
const QColor kNavy(0, 0, 128);
const QColor kYellow(255, 255, 0);
const QColor kOlive(128, 128, 0);
const QColor kPurple(128, 0, 128);
const QColor kGrey(128, 128, 128);
const QColor kSilver(192, 192, 192);
const QColor kWhite(255, 255, 255);
const QColor kBlue(0, 0, 255);
const QColor kTeal(0, 128, 128);
const QColor kGreen(0, 128, 0);

QPixmap canvas(int width, int height) {
    QPixmap pixmap(width, height);
    pixmap.fill(Qt::transparent);
    return pixmap;
}

}  // namespace

QPixmap openFolder() {
    QPixmap pixmap = canvas(16, 16);
    QPainter p(&pixmap);
    p.setPen(kBlack);
    // back of the folder with its tab
    p.setBrush(kOlive);
    p.drawPolygon(QPolygon({{1, 3}, {5, 3}, {6, 4}, {12, 4}, {12, 13}, {1, 13}}));
    // the open front flap, tilted forward
    p.setBrush(kYellow);
    p.drawPolygon(QPolygon({{1, 13}, {4, 7}, {15, 7}, {12, 13}}));
    return pixmap;
}

QPixmap floppyDisk() {
    QPixmap pixmap = canvas(16, 16);
    QPainter p(&pixmap);
    p.setPen(kBlack);
    p.setBrush(kNavy);
    p.drawPolygon(QPolygon({{1, 1}, {14, 1}, {14, 14}, {2, 14}, {1, 13}}));
    // label
    p.setBrush(kWhite);
    p.drawRect(3, 1, 9, 6);
    p.setPen(kGrey);
    p.drawLine(5, 3, 10, 3);
    p.drawLine(5, 5, 10, 5);
    // shutter
    p.setPen(kBlack);
    p.setBrush(kSilver);
    p.drawRect(4, 9, 7, 5);
    p.setBrush(kNavy);
    p.drawRect(8, 10, 1, 3);
    return pixmap;
}

QPixmap helpBook() {
    QPixmap pixmap = canvas(16, 16);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing, false);
    p.setPen(kBlack);
    // pages seen at the lower edge, then the tilted cover
    p.setBrush(kWhite);
    p.drawPolygon(QPolygon({{2, 12}, {10, 15}, {14, 5}, {13, 4}}));
    p.setBrush(kPurple);
    p.drawPolygon(QPolygon({{1, 10}, {9, 13}, {13, 3}, {5, 0}}));
    // a yellow question mark on the cover
    QFont font;
    font.setPixelSize(10);
    font.setBold(true);
    p.setFont(font);
    p.setPen(kYellow);
    p.drawText(QRect(3, 1, 9, 11), Qt::AlignCenter, QStringLiteral("?"));
    return pixmap;
}

QPixmap cropTool() {
    QPixmap pixmap = canvas(16, 16);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing, false);
    QPen pen(kBlack);
    pen.setWidth(2);
    p.setPen(pen);
    // two right angles, one from the top-left, one from the bottom-right, crossing
    p.drawPolyline(QPolygon({{4, 1}, {4, 11}, {15, 11}}));
    p.drawPolyline(QPolygon({{1, 4}, {11, 4}, {11, 15}}));
    return pixmap;
}

QIcon windowIcon() {
    QPixmap pixmap = canvas(32, 32);
    QPainter p(&pixmap);
    p.setPen(kBlack);
    // a photo: sky, a sun, green hills
    p.setBrush(kWhite);
    p.drawRect(1, 3, 29, 25);
    p.setBrush(kTeal);
    p.drawRect(3, 5, 25, 21);
    p.setPen(Qt::NoPen);
    p.setBrush(kYellow);
    p.drawEllipse(QPoint(21, 11), 3, 3);
    p.setBrush(kGreen);
    p.drawPolygon(QPolygon({{3, 26}, {3, 19}, {10, 13}, {17, 20}, {21, 17}, {28, 23}, {28, 26}}));
    // the squeeze arrows: a photo made smaller
    p.setBrush(kBlue);
    p.drawPolygon(QPolygon({{0, 30}, {7, 30}, {7, 32}, {0, 32}}));
    p.setBrush(kNavy);
    p.drawPolygon(QPolygon({{24, 29}, {31, 29}, {31, 31}, {24, 31}}));
    return QIcon(pixmap);
}

QPixmap logo() {
    QPixmap pixmap(150, 50);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing, true);
    // a rounded badge: a photo's corner being folded down into a smaller one
    QLinearGradient gradient(0, 0, 0, 50);
    gradient.setColorAt(0, QColor(0, 96, 192));
    gradient.setColorAt(1, kNavy);
    p.setPen(Qt::NoPen);
    p.setBrush(gradient);
    p.drawRoundedRect(QRectF(1, 1, 148, 48), 8, 8);
    p.setBrush(kWhite);
    p.drawRect(QRectF(10, 10, 30, 30));
    p.setBrush(QColor(0, 160, 0));
    p.drawPolygon(QPolygonF({{10, 40}, {20, 26}, {28, 34}, {33, 30}, {40, 40}}));
    p.setBrush(kYellow);
    p.drawEllipse(QPointF(32, 18), 3.5, 3.5);
    p.setBrush(QColor(255, 255, 255, 160));
    p.drawPolygon(QPolygonF({{40, 10}, {40, 24}, {26, 10}}));
    QFont font(QStringLiteral("Arial"));
    font.setPixelSize(22);
    font.setBold(true);
    p.setFont(font);
    p.setPen(kWhite);
    p.drawText(QRectF(46, 0, 102, 50), Qt::AlignVCenter | Qt::AlignLeft, QStringLiteral("Vellora"));
    return pixmap;
}

}  // namespace vellora::artwork
