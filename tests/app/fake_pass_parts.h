#pragma once
// A scriptable image library and a recording view for driving the passes without the
// module or a window.

#include <QFile>
#include <QString>
#include <functional>
#include <optional>
#include <vector>

#include "passes/compression_pass.h"
#include "platform/globalmem.h"
#include "platform/runtime_error.h"

namespace vellora::test {

class FakeLibrary : public PassLibrary {
public:
    int width = 40;
    int height = 30;
    bool readFails = false;
    bool cropFails = false;
    bool cropThrows = false;
    bool saveWritesFile = true;          // false: report success without writing anything
    void* readHandleOverride = nullptr;  // e.g. a handle that cannot be locked
    std::optional<ErrorNumber> initThrows;
    std::optional<ErrorNumber> readThrows;
    std::int32_t saveStatus = 1;
    qint64 savedBytes = 1000;  // what a save writes

    std::vector<std::string> calls;
    std::vector<void*> handedOut;  // every handle the fake returned
    int lastQuality = -1;
    int lastFlag = -1;
    std::string lastSavePath;
    std::vector<int> lastCrop;  // left, top, right, bottom

    std::int32_t ImgDLLStringInitDLL(const char*) override {
        calls.emplace_back("init");
        if (initThrows) {
            throw RuntimeError(*initThrows, "init");
        }
        return 1;
    }
    void* ImgDLLReadRGBFromJPG(const char*, std::int32_t* w, std::int32_t* h) override {
        calls.emplace_back("readJPG");
        return read(w, h);
    }
    void* ImgDLLReadRGBFromBMP(const char*, std::int32_t* w, std::int32_t* h) override {
        calls.emplace_back("readBMP");
        return read(w, h);
    }
    void* ImgDLLCropRGB(void*, std::int32_t, std::int32_t, std::int32_t left, std::int32_t top,
                        std::int32_t right, std::int32_t bottom) override {
        calls.emplace_back("crop");
        lastCrop = {left, top, right, bottom};
        if (cropThrows) {
            throw RuntimeError(ErrorNumber::Other, "crop");
        }
        return cropFails ? nullptr : block();
    }
    std::int32_t ImgDLLSaveRGBToJPG(const char* path, void*, std::int32_t, std::int32_t,
                                    std::int32_t quality, std::int32_t flag) override {
        calls.emplace_back("save");
        lastQuality = quality;
        lastFlag = flag;
        lastSavePath = path;
        if (saveStatus == 1 && saveWritesFile) {
            QFile file(QString::fromLocal8Bit(path));
            if (file.open(QIODevice::WriteOnly)) {
                file.write(QByteArray(static_cast<qsizetype>(savedBytes), 'x'));
            }
        }
        return saveStatus;
    }

    // True when every block this fake handed out has been freed.
    [[nodiscard]] bool allFreed() const {
        for (void* handle : handedOut) {
            if (GlobalSize(handle) != 0) {
                return false;
            }
        }
        return true;
    }

private:
    void* read(std::int32_t* w, std::int32_t* h) {
        if (readThrows) {
            throw RuntimeError(*readThrows, "read");
        }
        if (readFails) {
            return nullptr;
        }
        *w = width;
        *h = height;
        return readHandleOverride ? readHandleOverride : block();
    }
    void* block() {
        void* handle = GlobalAlloc(GMEM_MOVEABLE, static_cast<size_t>(width) * height * 3);
        handedOut.push_back(handle);
        return handle;
    }
};

// Records what a pass does on screen, in order.
class RecordingView : public CompressionView {
public:
    std::vector<QString> events;
    int slider = 60;
    bool sliderThrows = false;
    bool loadThrows = false;
    QString mainCaption = QStringLiteral("Vellora");
    QString compressedLabel;

    void message(MessageIcon icon, const QString& text) override {
        events.push_back(QStringLiteral("message %1 %2").arg(static_cast<int>(icon)).arg(text));
    }
    void setMainCaption(const QString& caption) override {
        mainCaption = caption;
        events.push_back(QStringLiteral("main caption ") + caption);
    }
    int sliderValue() override {
        if (sliderThrows) {
            throw RuntimeError(ErrorNumber::Other, "slider");
        }
        return slider;
    }
    void setCompressedCaption(const QString& caption) override {
        events.push_back(QStringLiteral("caption ") + caption);
    }
    void showCompressed() override { events.push_back(QStringLiteral("show")); }
    void loadCompressedPicture(const QString&) override {
        if (loadThrows) {
            throw RuntimeError(ErrorNumber::Other, "not a picture");
        }
        events.push_back(QStringLiteral("load"));
    }
    void repaintCompressed() override { events.push_back(QStringLiteral("repaint")); }
    void sizeCompressedToPicture() override { events.push_back(QStringLiteral("size")); }
    void setCompressedLabel(const QString& text) override {
        compressedLabel = text;
        events.push_back(QStringLiteral("label ") + text);
    }
};

}  // namespace vellora::test
