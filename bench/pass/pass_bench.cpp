// Times whole compression passes on the given pictures: the same code the window runs
// (read through the image library, full-size copy, save with the tuned encoder, load the
// result back for display), with a view that does not paint. Prints one line per
// picture: "<path> <megapixels> <best seconds of N runs> <output bytes>".
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QGuiApplication>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>

#include "common/shared_state.h"
#include "imaging/picture_loader.h"
#include "passes/compression_pass.h"
#include "passes/pass_library.h"

namespace {

// Seconds spent in each library entry and in the display load.
struct StageTimes {
    double read = 0;
    double crop = 0;
    double save = 0;
    double display = 0;

    void keepLeast(const StageTimes& other) {
        read = std::min(read, other.read);
        crop = std::min(crop, other.crop);
        save = std::min(save, other.save);
        display = std::min(display, other.display);
    }
};

double secondsSince(const QElapsedTimer& timer) {
    return static_cast<double>(timer.nsecsElapsed()) / 1e9;
}

// Runs `call` and adds the seconds it took to `total`.
template <typename Call>
auto timed(double& total, Call&& call) {
    QElapsedTimer timer;
    timer.start();
    auto result = call();
    total += secondsSince(timer);
    return result;
}

// Forwards every entry to the real library and adds its time to `times`.
class TimedLibrary final : public vellora::PassLibrary {
public:
    TimedLibrary(vellora::PassLibrary& inner, StageTimes& times) : m_inner(inner), m_times(times) {}
    std::int32_t ImgDLLStringInitDLL(const char* init) override {
        return m_inner.ImgDLLStringInitDLL(init);
    }
    void* ImgDLLReadRGBFromJPG(const char* path, std::int32_t* width,
                               std::int32_t* height) override {
        return timed(m_times.read,
                     [&] { return m_inner.ImgDLLReadRGBFromJPG(path, width, height); });
    }
    void* ImgDLLReadRGBFromBMP(const char* path, std::int32_t* width,
                               std::int32_t* height) override {
        return timed(m_times.read,
                     [&] { return m_inner.ImgDLLReadRGBFromBMP(path, width, height); });
    }
    void* ImgDLLCropRGB(void* source, std::int32_t width, std::int32_t height, std::int32_t left,
                        std::int32_t top, std::int32_t right, std::int32_t bottom) override {
        return timed(m_times.crop, [&] {
            return m_inner.ImgDLLCropRGB(source, width, height, left, top, right, bottom);
        });
    }
    std::int32_t ImgDLLSaveRGBToJPG(const char* path, void* buffer, std::int32_t width,
                                    std::int32_t height, std::int32_t quality,
                                    std::int32_t flag) override {
        return timed(m_times.save, [&] {
            return m_inner.ImgDLLSaveRGBToJPG(path, buffer, width, height, quality, flag);
        });
    }

private:
    vellora::PassLibrary& m_inner;
    StageTimes& m_times;
};

class HeadlessView final : public vellora::CompressionView {
public:
    int slider = 60;
    QString lastMessage;
    QImage shown;
    double* displaySeconds = nullptr;

    void message(vellora::MessageIcon, const QString& text) override { lastMessage = text; }
    void setMainCaption(const QString& caption) override { lastMessage = caption; }
    int sliderValue() override { return slider; }
    void setCompressedCaption(const QString&) override {}
    void showCompressed() override {}
    void loadCompressedPicture(const QString& path) override {
        QElapsedTimer timer;
        timer.start();
        shown = vellora::loadPicture(path).image;
        if (displaySeconds) {
            *displaySeconds += secondsSince(timer);
        }
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
    bool stages = false;
    while (!arguments.isEmpty() && arguments.first().startsWith(QLatin1String("--"))) {
        const QString option = arguments.takeFirst();
        if (option.startsWith(QLatin1String("--runs="))) {
            runs = option.mid(7).toInt();
        } else if (option.startsWith(QLatin1String("--slider="))) {
            slider = option.mid(9).toInt();
        } else if (option == QLatin1String("--stages")) {
            stages = true;
        }
    }
    if (arguments.isEmpty()) {
        std::fprintf(stderr,
                     "usage: vellora-pass-bench [--runs=N] [--slider=V] [--stages] PICTURE...\n");
        return 2;
    }
    QTemporaryDir directory;
    const QString working = directory.filePath(QStringLiteral("winpcdll"));
    vellora::ModuleLibrary module;
    for (const QString& path : arguments) {
        vellora::SharedState state;
        state.SourcePath = path;
        state.OriginalSize = QFileInfo(path).size();
        double best = 1e30;
        StageTimes times;
        StageTimes least{1e30, 1e30, 1e30, 1e30};
        TimedLibrary library(module, times);
        HeadlessView view;
        view.slider = slider;
        view.displaySeconds = &times.display;
        for (int run = 0; run < runs; ++run) {
            times = StageTimes{};
            QElapsedTimer timer;
            timer.start();
            vellora::runCompressionPass(state, library, view, working);
            best = std::min(best, secondsSince(timer));
            least.keepLeast(times);
        }
        if (!view.lastMessage.isEmpty() || view.shown.isNull()) {
            std::fprintf(stderr, "%s: the pass failed: %s\n", qPrintable(path),
                         qPrintable(view.lastMessage));
            return 1;
        }
        const double megapixels = view.shown.width() * double(view.shown.height()) / 1e6;
        std::printf("%s %.3f %.4f %lld\n", qPrintable(path), megapixels, best,
                    static_cast<long long>(state.CompressedSize));
        if (stages) {
            // Each step's best time over the runs, on standard error so that the script's
            // reading of the main line stays as it is.
            std::fprintf(stderr, "%s: read %.4f crop %.4f save %.4f display %.4f (best s)\n",
                         qPrintable(QFileInfo(path).fileName()), least.read, least.crop, least.save,
                         least.display);
        }
    }
    return 0;
}
