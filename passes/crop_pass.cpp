#include "crop_pass.h"

#include <cmath>
#include <limits>

#include "passes/compression_pass.h"
#include "platform/global_block.h"

namespace vellora {
namespace {

std::int32_t checkedSum(std::int32_t a, std::int32_t b) {
    std::int32_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum)) {
        throw RuntimeError(ErrorNumber::Overflow, "Overflow");
    }
    return sum;
}

}  // namespace

std::int32_t twipsToPixel(float twips, float twipsPerPixel) {
    const double quotient = static_cast<double>(twips) / static_cast<double>(twipsPerPixel);
    const double rounded = std::nearbyint(quotient);  // default mode: halves to even
    if (!std::isfinite(rounded) || rounded < std::numeric_limits<std::int32_t>::min() ||
        rounded > std::numeric_limits<std::int32_t>::max()) {
        throw RuntimeError(ErrorNumber::Overflow, "Overflow");
    }
    return static_cast<std::int32_t>(rounded);
}

bool runCropPass(const SharedState& state, PassLibrary& library, CropView& view,
                 const QString& workingFile) {
    const QString path = state.SourcePath;
    const QByteArray nativePath = path.toLocal8Bit();
    library.ImgDLLStringInitDLL(kLibraryInitString);

    std::int32_t pictureWidth = 0;
    std::int32_t pictureHeight = 0;
    GlobalBlock source;
    switch (passPictureType(path)) {
        case PictureType::Jpeg:
            source = GlobalBlock(library.ImgDLLReadRGBFromJPG(nativePath.constData(), &pictureWidth,
                                                              &pictureHeight));
            break;
        case PictureType::Bitmap:
            source = GlobalBlock(library.ImgDLLReadRGBFromBMP(nativePath.constData(), &pictureWidth,
                                                              &pictureHeight));
            break;
        case PictureType::NoFile:
        case PictureType::Invalid:
            view.message(MessageIcon::None, texts::kInvalidFileType);
            return false;
    }
    if (!source) {
        view.message(MessageIcon::None, texts::kError1);
        return false;
    }
    void* sourcePointer = source.lock();
    if (sourcePointer == nullptr) {
        view.setMainCaption(texts::kError2Caption);
        source.reset();
        return false;
    }

    const std::int32_t left = twipsToPixel(view.cropLeft(), view.twipsPerPixelX());
    const std::int32_t top = twipsToPixel(view.cropTop(), view.twipsPerPixelY());
    const std::int32_t width = twipsToPixel(view.cropWidth(), view.twipsPerPixelX());
    const std::int32_t height = twipsToPixel(view.cropHeight(), view.twipsPerPixelY());
    const std::int32_t right = checkedSum(left, width);
    const std::int32_t bottom = checkedSum(top, height);

    // The rectangle goes to the library as it is; the library clips it to the picture.
    GlobalBlock cutOut(library.ImgDLLCropRGB(sourcePointer, pictureWidth, pictureHeight, left, top,
                                             right, bottom));
    if (!cutOut) {
        view.message(MessageIcon::None, texts::kError3);
        source.reset();
        return false;
    }
    // Only the cut-out is held while saving.
    source.reset();
    void* cutOutPointer = cutOut.lock();

    const std::int32_t value = view.sliderValue();
    std::int32_t quality = 0;
    if (__builtin_sub_overflow(101, value, &quality)) {
        throw RuntimeError(ErrorNumber::Overflow, "Overflow");
    }
    const QByteArray nativeWorking = workingFile.toLocal8Bit();
    const std::int16_t status = narrowStatus(library.ImgDLLSaveRGBToJPG(
        nativeWorking.constData(), cutOutPointer, width, height, quality, kPassSaveFlag));
    view.setCompressedCaption(texts::kCompressedImage);
    if (status != 1) {
        view.setMainCaption(texts::kError4Caption);
        return false;
    }
    return true;
}

}  // namespace vellora
