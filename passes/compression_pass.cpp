#include "compression_pass.h"

#include <QFileInfo>
#include <cstdint>

#include "imaging/image_library.h"
#include "platform/global_block.h"

namespace vellora {

bool runLibraryLoadRecovery(CompressionView& view) {
    return recoverFromLibraryLoadFailure(
        [&view](const QString& text) { view.message(MessageIcon::Information, text); });
}

bool runCompressionPass(SharedState& state, PassLibrary& library, CompressionView& view,
                        const QString& workingFile) {
    StepTrap trap([&view] { return runLibraryLoadRecovery(view); });

    const QString path = state.SourcePath;
    const QByteArray nativePath = path.toLocal8Bit();
    std::int32_t width = 0;
    std::int32_t height = 0;
    GlobalBlock source;
    GlobalBlock copy;

    trap.run([&] { library.ImgDLLStringInitDLL(kLibraryInitString); });
    if (trap.ended()) {
        return false;
    }

    switch (passPictureType(path)) {
        case PictureType::Jpeg:
            trap.run([&] {
                source = GlobalBlock(
                    library.ImgDLLReadRGBFromJPG(nativePath.constData(), &width, &height));
            });
            break;
        case PictureType::Bitmap:
            trap.run([&] {
                source = GlobalBlock(
                    library.ImgDLLReadRGBFromBMP(nativePath.constData(), &width, &height));
            });
            break;
        case PictureType::NoFile:
            trap.run([&] { view.message(MessageIcon::Exclamation, texts::kNoFileOpen); });
            return false;
        case PictureType::Invalid:
            trap.run([&] { view.message(MessageIcon::Exclamation, texts::kInvalidFileType); });
            return false;
    }
    if (trap.ended()) {
        return false;
    }

    if (!source) {
        trap.run([&] { view.message(MessageIcon::None, texts::kError1); });
        return false;
    }

    void* sourcePointer = source.lock();
    if (sourcePointer == nullptr) {
        trap.run([&] { view.setMainCaption(texts::kError2Caption); });
        source.reset();
        return false;
    }

    // A full-size copy through the library's crop: the saved picture is always a buffer
    // the library made for saving.
    trap.run([&] {
        copy = GlobalBlock(
            library.ImgDLLCropRGB(sourcePointer, width, height, 0, 0, 0 + width, 0 + height));
    });
    if (trap.ended()) {
        return false;
    }
    if (!copy) {
        trap.run([&] { view.message(MessageIcon::None, texts::kError3); });
        source.reset();
        return false;
    }
    source.reset();

    void* copyPointer = copy.lock();

    std::int32_t value = 0;
    trap.run([&] { value = view.sliderValue(); });
    const std::int32_t quality = 101 - value;

    std::int16_t status = 0;
    trap.run([&] {
        const QByteArray nativeWorking = workingFile.toLocal8Bit();
        status = narrowStatus(library.ImgDLLSaveRGBToJPG(nativeWorking.constData(), copyPointer,
                                                         width, height, quality, kPassSaveFlag));
    });
    if (trap.ended()) {
        return false;
    }

    trap.run([&] { view.setCompressedCaption(texts::kCompressedImage); });
    if (status != 1) {
        trap.run([&] { view.setMainCaption(texts::kError4Caption); });
        copy.reset();
        return false;
    }

    // The pixels are in the working file now: free them before the window decodes that
    // file for display, so a very large picture is never held three times at once.
    copy.reset();
    trap.run([&] { view.showCompressed(); });
    trap.run([&] { view.loadCompressedPicture(workingFile); });
    trap.run([&] { view.repaintCompressed(); });
    trap.run([&] { view.sizeCompressedToPicture(); });
    trap.run([&] {
        const QFileInfo info(workingFile);
        if (!info.exists()) {
            throw RuntimeError(ErrorNumber::FileNotFound, "the working file is missing");
        }
        state.CompressedSize = info.size();
    });
    trap.run([&] {
        QString text = texts::kFilesize + formatByteCount(state.CompressedSize);
        if (state.OriginalSize > state.CompressedSize) {
            text += texts::kBytesAndGap +
                    QString::number(shareSaved(state.OriginalSize, state.CompressedSize)) +
                    QLatin1Char('%');
        }
        view.setCompressedLabel(text);
    });
    copy.reset();
    return true;
}

}  // namespace vellora
