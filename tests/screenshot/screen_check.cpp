// Looks at what the installed program really shows on an X server.
//
//   vellora_screen_check picture FILE.jpg WIDTH HEIGHT
//       writes a test picture: flat colour blocks aligned to the JPEG blocks, which
//       survive re-encoding nearly unchanged, in colours no window frame uses.
//   vellora_screen_check find FILE.jpg SHOT.png [COUNT [SCALE]]
//       grabs the whole screen into SHOT.png and finds the places where the picture
//       shows whole, every pixel of its last column and last row included, each picture
//       pixel as a SCALE x SCALE block of screen pixels (default 1). Succeeds when it
//       shows at least COUNT times (default 1), printing each place.
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <vector>

namespace {

constexpr int kBlock = 16;
constexpr QRgb kColours[] = {qRgb(230, 20, 20),  qRgb(20, 200, 40),  qRgb(30, 40, 230),
                             qRgb(240, 220, 20), qRgb(220, 30, 220), qRgb(20, 210, 220)};

QImage testPicture(int width, int height) {
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            image.setPixel(x, y, kColours[(x / kBlock + 2 * (y / kBlock)) % 6]);
        }
    }
    return image;
}

int difference(QRgb a, QRgb b) {
    return std::max({std::abs(qRed(a) - qRed(b)), std::abs(qGreen(a) - qGreen(b)),
                     std::abs(qBlue(a) - qBlue(b))});
}

struct Match {
    double mean = 0;        // mean of the largest channel difference, whole picture
    double lastColumn = 0;  // the same over the picture's last column
    double lastRow = 0;     // and over its last row
};

// How closely the screen at (left, top) shows `picture`; nothing when a cheap look at
// the corners and centre already says it does not.
std::optional<Match> compare(const QImage& screen, const QImage& picture, int left, int top) {
    constexpr int kQuick = 60;
    const int w = picture.width();
    const int h = picture.height();
    for (const QPoint at : {QPoint(0, 0), QPoint(w - 1, 0), QPoint(0, h - 1), QPoint(w - 1, h - 1),
                            QPoint(w / 2, h / 2)}) {
        if (difference(screen.pixel(left + at.x(), top + at.y()), picture.pixel(at)) > kQuick) {
            return std::nullopt;
        }
    }
    Match match;
    double total = 0;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const int d = difference(screen.pixel(left + x, top + y), picture.pixel(x, y));
            total += d;
            if (x == w - 1) {
                match.lastColumn += d;
            }
            if (y == h - 1) {
                match.lastRow += d;
            }
        }
    }
    match.mean = total / (double(w) * h);
    match.lastColumn /= h;
    match.lastRow /= w;
    return match;
}

int findPicture(const QString& file, const QString& shotPath, int wanted, int scale) {
    QImage picture = QImage(file).convertToFormat(QImage::Format_RGB32);
    if (!picture.isNull() && scale > 1) {
        picture =
            picture.scaled(picture.size() * scale, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    }
    if (picture.isNull()) {
        std::fprintf(stderr, "cannot read %s\n", qPrintable(file));
        return 2;
    }
    QScreen* screen = QGuiApplication::primaryScreen();
    const QImage shot = screen->grabWindow(0).toImage().convertToFormat(QImage::Format_RGB32);
    if (shot.isNull() || !shot.save(shotPath)) {
        std::fprintf(stderr, "cannot grab the screen into %s\n", qPrintable(shotPath));
        return 2;
    }
    std::printf("screen %dx%d, picture %dx%d\n", shot.width(), shot.height(), picture.width(),
                picture.height());
    // Re-encoding at the program's starting quality moves flat blocks by a few levels and
    // blurs colour edges by a pixel or so; a frame or a background over the picture's
    // edge differs by far more.
    constexpr double kMeanLimit = 12.0;
    constexpr double kEdgeLimit = 20.0;
    int found = 0;
    for (int top = 0; top + picture.height() <= shot.height(); ++top) {
        for (int left = 0; left + picture.width() <= shot.width(); ++left) {
            const std::optional<Match> match = compare(shot, picture, left, top);
            if (!match || match->mean > kMeanLimit) {
                continue;
            }
            const bool edges = match->lastColumn <= kEdgeLimit && match->lastRow <= kEdgeLimit;
            std::printf(
                "picture at (%d,%d): mean difference %.2f, last column %.2f, last row "
                "%.2f: %s\n",
                left, top, match->mean, match->lastColumn, match->lastRow,
                edges ? "whole, edges visible" : "EDGES CUT OFF");
            if (edges) {
                ++found;
            }
            left += picture.width() - 1;  // one report per place
        }
    }
    std::printf("shown whole %d time(s), wanted at least %d\n", found, wanted);
    return found >= wanted ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    const QStringList args = QGuiApplication::arguments();
    if (args.size() == 5 && args[1] == QLatin1String("picture")) {
        return testPicture(args[3].toInt(), args[4].toInt()).save(args[2], "JPEG", 100) ? 0 : 2;
    }
    if (args.size() >= 4 && args.size() <= 6 && args[1] == QLatin1String("find")) {
        return findPicture(args[2], args[3], args.size() >= 5 ? args[4].toInt() : 1,
                           args.size() == 6 ? std::max(1, args[5].toInt()) : 1);
    }
    std::fprintf(stderr, "usage: %s picture FILE W H | find FILE SHOT.png [COUNT [SCALE]]\n",
                 argv[0]);
    return 2;
}
