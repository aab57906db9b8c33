#include "imaging/jpeg_encoder.h"

namespace vellora::imaging {

EncodedJpeg encodeBest(const PixelView& picture, int quality, const JpegMetadata& metadata) {
    return encodeStandard(picture, quality, metadata);
}

}  // namespace vellora::imaging
