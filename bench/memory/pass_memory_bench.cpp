// Peak memory of one compression pass (the desktop program's: read through the image
// library, full-size copy, tuned encode into the working file, decode for display) on
// a very large photo, beside libjpeg-turbo's `djpeg | cjpeg`, measured in the same run.
//
//   vellora-pass-memory-bench --make OUT.jpg WIDTH HEIGHT   a photo-like test picture
//   vellora-pass-memory-bench --pass PICTURE                 one pass; prints its peak
//   vellora-pass-memory-bench --reference PICTURE QUALITY    djpeg | cjpeg; prints its peak
//
// Each measurement is its own process, so the peak (getrusage's maxrss) is that of the
// work measured and nothing else.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QTemporaryDir>
#include <cstdio>
#include <string>
#include <vector>

#include "common/shared_state.h"
#include "imaging/libjpeg_bridge.h"
#include "imaging/picture_loader.h"
#include "passes/compression_pass.h"

namespace {

class HeadlessView final : public vellora::CompressionView {
public:
    QString lastMessage;
    QSize shownSize;

    void message(vellora::MessageIcon, const QString& text) override { lastMessage = text; }
    void setMainCaption(const QString& caption) override { lastMessage = caption; }
    int sliderValue() override { return 60; }
    void setCompressedCaption(const QString&) override {}
    void showCompressed() override {}
    void loadCompressedPicture(const QString& path) override {
        // What the window does: the picture decoded for display, kept while shown.
        const QImage image = vellora::loadPicture(path).image;
        shownSize = image.size();
    }
    void repaintCompressed() override {}
    void sizeCompressedToPicture() override {}
    void setCompressedLabel(const QString&) override {}
};

long peakKilobytes(int who) {
    rusage usage{};
    getrusage(who, &usage);
    return usage.ru_maxrss;
}

// A photo-like picture of any size, written row by row: a Kodak photo tiled with
// every tile shifted, so the encoder sees real texture and no two tiles are alike.
int makePicture(const char* path, int width, int height) {
    const QImage tile = QImage(QStringLiteral(VELLORA_TESTDATA_DIR "/kodak/kodim05.png"))
                            .convertToFormat(QImage::Format_RGB888);
    if (tile.isNull()) {
        std::fprintf(stderr, "cannot read the Kodak photo\n");
        return 1;
    }
    std::FILE* file = std::fopen(path, "wb");
    if (!file) {
        std::perror(path);
        return 1;
    }
    vellora::jpeg::Compressor compressor;
    jpeg_compress_struct* info = compressor.info();
    std::vector<JSAMPLE> row(static_cast<std::size_t>(width) * 3);
    const bool ok = vellora::jpeg::runGuarded(compressor.bridge(), [&] {
        jpeg_stdio_dest(info, file);
        info->image_width = static_cast<JDIMENSION>(width);
        info->image_height = static_cast<JDIMENSION>(height);
        info->input_components = 3;
        info->in_color_space = JCS_RGB;
        jpeg_set_defaults(info);
        jpeg_set_quality(info, 92, TRUE);
        jpeg_start_compress(info, TRUE);
        while (info->next_scanline < info->image_height) {
            const int y = static_cast<int>(info->next_scanline);
            const int tileRow = y / tile.height();
            const uchar* source = tile.constScanLine(y % tile.height());
            for (int x = 0; x < width; ++x) {
                const int tileColumn = x / tile.width();
                const int shift = (tileRow * 7 + tileColumn * 13) % 32;
                const uchar* pixel = source + ((x + shift) % tile.width()) * 3;
                row[static_cast<std::size_t>(x) * 3] = pixel[(tileColumn + tileRow) % 3];
                row[static_cast<std::size_t>(x) * 3 + 1] = pixel[1];
                row[static_cast<std::size_t>(x) * 3 + 2] = pixel[2 - (tileColumn + tileRow) % 3];
            }
            JSAMPROW rows[1] = {row.data()};
            jpeg_write_scanlines(info, rows, 1);
        }
        jpeg_finish_compress(info);
    });
    std::fclose(file);
    return ok ? 0 : 1;
}

int runPass(const QString& path) {
    QTemporaryDir directory;
    vellora::ModuleLibrary library;
    vellora::SharedState state;
    state.SourcePath = path;
    state.OriginalSize = QFileInfo(path).size();
    HeadlessView view;
    const long before = peakKilobytes(RUSAGE_SELF);
    const bool ok = vellora::runCompressionPass(state, library, view,
                                                directory.filePath(QStringLiteral("winpcdll")));
    if (!ok || !view.lastMessage.isEmpty()) {
        std::fprintf(stderr, "the pass failed: %s\n", qPrintable(view.lastMessage));
        return 1;
    }
    std::printf("%d %d %ld %ld\n", view.shownSize.width(), view.shownSize.height(), before,
                peakKilobytes(RUSAGE_SELF));
    return 0;
}

int runReference(const char* picture, const char* quality) {
    const pid_t child = fork();
    if (child == 0) {
        const std::string command = std::string("djpeg '") + picture + "' | cjpeg -quality " +
                                    quality + " -optimize -progressive > /dev/null";
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "djpeg | cjpeg failed\n");
        return 1;
    }
    // The largest process of the pipeline (djpeg holds the decoder, cjpeg the encoder).
    std::printf("%ld\n", peakKilobytes(RUSAGE_CHILDREN));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "--make" && argc == 5) {
        QCoreApplication application(argc, argv);
        return makePicture(argv[2], std::atoi(argv[3]), std::atoi(argv[4]));
    }
    if (mode == "--pass" && argc == 3) {
        QGuiApplication application(argc, argv);
        return runPass(QString::fromLocal8Bit(argv[2]));
    }
    if (mode == "--reference" && argc == 4) {
        return runReference(argv[2], argv[3]);
    }
    std::fprintf(stderr,
                 "usage: vellora-pass-memory-bench --make OUT W H | --pass PICTURE | "
                 "--reference PICTURE QUALITY\n");
    return 2;
}
