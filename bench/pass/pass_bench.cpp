// Times whole compression passes on the given pictures: the same code the window runs
// (read through the image library, full-size copy, save with the tuned encoder, load the
// result back for display), with a view that does not paint. Prints one line per
// picture: "<path> <megapixels> <best seconds of N runs> <output bytes>".
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QGuiApplication>
#include <QTemporaryDir>
#include <cstdio>

#include "common/shared_state.h"
#include "imaging/picture_loader.h"
#include "passes/compression_pass.h"

namespace {

class HeadlessView final : public vellora::CompressionView {
public:
    int slider = 60;
    QString lastMessage;
    QImage shown;

    void message(vellora::MessageIcon, const QString& text) override { lastMessage = text; }
    void setMainCaption(const QString& caption) override { lastMessage = caption; }
    int sliderValue() override { return slider; }
    void setCompressedCaption(const QString&) override {}
    void showCompressed() override {}
    void loadCompressedPicture(const QString& path) override {
        shown = vellora::loadPicture(path).image;
    }
    void repaintCompressed() override {}
    void sizeCompressedToPicture() override {}
    void setCompressedLabel(const QString&) override {}
};

}  // namespace

int main(int argc, char** argv) {
    QGuiApplication application(argc, argv);
    QStringList arguments = QCoreApplication::arguments().mid(1);
    int runs = 3;
    int slider = 60;
    while (!arguments.isEmpty() && arguments.first().startsWith(QLatin1String("--"))) {
        const QString option = arguments.takeFirst();
        if (option.startsWith(QLatin1String("--runs="))) {
            runs = option.mid(7).toInt();
        } else if (option.startsWith(QLatin1String("--slider="))) {
            slider = option.mid(9).toInt();
        }
    }
    if (arguments.isEmpty()) {
        std::fprintf(stderr, "usage: vellora-pass-bench [--runs=N] [--slider=V] PICTURE...\n");
        return 2;
    }
    QTemporaryDir directory;
    const QString working = directory.filePath(QStringLiteral("winpcdll"));
    vellora::ModuleLibrary library;
    for (const QString& path : arguments) {
        vellora::SharedState state;
        state.SourcePath = path;
        state.OriginalSize = QFileInfo(path).size();
        double best = 1e30;
        HeadlessView view;
        view.slider = slider;
        for (int run = 0; run < runs; ++run) {
            QElapsedTimer timer;
            timer.start();
            vellora::runCompressionPass(state, library, view, working);
            best = std::min(best, static_cast<double>(timer.nsecsElapsed()) / 1e9);
        }
        if (!view.lastMessage.isEmpty() || view.shown.isNull()) {
            std::fprintf(stderr, "%s: the pass failed: %s\n", qPrintable(path),
                         qPrintable(view.lastMessage));
            return 1;
        }
        const double megapixels = view.shown.width() * double(view.shown.height()) / 1e6;
        std::printf("%s %.3f %.4f %lld\n", qPrintable(path), megapixels, best,
                    static_cast<long long>(state.CompressedSize));
    }
    return 0;
}
