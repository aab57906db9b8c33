#include "jpeg_encoder.h"

#include <algorithm>
#include <cstring>

#include "imaging/encoder/encoder_settings.h"
#include "libjpeg_bridge.h"

namespace vellora::imaging {
namespace {}  // namespace

std::string encodingProblem(const PixelView& picture) {
    const bool valid =
        picture.pixels != nullptr && picture.width > 0 && picture.height > 0 &&
        (picture.channels == 1 || picture.channels == 3) &&
        picture.stride >= static_cast<std::ptrdiff_t>(picture.width) * picture.channels;
    if (!valid) {
        return "invalid picture for encoding";
    }
    if (picture.width > JPEG_MAX_DIMENSION || picture.height > JPEG_MAX_DIMENSION) {
        return "picture too large for JPEG";
    }
    return {};
}

EncodedJpeg encodedResult(bool ok, jpeg::Compressor& compressor,
                          const jpeg::MemoryDestination& destination) {
    EncodedJpeg result;
    if (!ok) {
        result.error = "JPEG encoding failed: " + compressor.bridge().text();
        return result;
    }
    result.bytes.assign(destination.data(), destination.data() + destination.size());
    return result;
}

void setJfifDensity(jpeg_compress_struct* info, const PixelDensity& density) {
    info->density_unit = density.unit;
    info->X_density = density.x;
    info->Y_density = density.y;
}

void writeMetadataMarkers(jpeg_compress_struct* info, const JpegMetadata& metadata) {
    // An EXIF block that does not fit one marker cannot be written as a standard APP1;
    // leave it out rather than write a broken one.
    if (!metadata.exif.empty() && metadata.exif.size() <= kMaxMarkerPayload) {
        jpeg_write_marker(info, kExifMarker, metadata.exif.data(),
                          static_cast<unsigned>(metadata.exif.size()));
    }
    for (const CarriedMarker& marker : metadata.markers) {
        if (marker.payload.size() <= kMaxMarkerPayload) {
            jpeg_write_marker(info, marker.code, marker.payload.data(),
                              static_cast<unsigned>(marker.payload.size()));
        }
    }
    // A profile describes the file's components: a grey one goes only with a grey file,
    // any other only with a colour one, or every reader would show wrong tones.
    if (!metadata.icc.empty() && isGreyProfile(metadata.icc) == (info->num_components == 1)) {
        jpeg_write_icc_profile(info, metadata.icc.data(),
                               static_cast<unsigned>(metadata.icc.size()));
    }
}

EncodedJpeg encodeStandard(const PixelView& picture, int quality, const JpegMetadata& metadata) {
    EncodedJpeg result;
    result.error = encodingProblem(picture);
    if (!result.error.empty()) {
        return result;
    }
    quality = std::clamp(quality, 1, 100);

    jpeg::Compressor compressor;
    if (!compressor.valid()) {
        result.error = "cannot start the JPEG encoder: " + compressor.bridge().text();
        return result;
    }
    jpeg::MemoryDestination destination;
    jpeg_compress_struct* info = compressor.info();
    const bool ok = jpeg::runGuarded(compressor.bridge(), [&] {
        destination.attach(info);
        info->image_width = static_cast<JDIMENSION>(picture.width);
        info->image_height = static_cast<JDIMENSION>(picture.height);
        info->input_components = picture.channels;
        info->in_color_space = picture.channels == 1 ? JCS_GRAYSCALE : JCS_RGB;
        jpeg_set_defaults(info);
        setJfifDensity(info, metadata.density);
        // The stock encoder writes what it is given, colour for RGB; but a grey picture
        // carrying a grey profile (a black-and-white photo read back) is written grey,
        // so that the profile matches the file.
        if (isGreyProfile(metadata.icc) && encoder::writesGrey(picture, metadata)) {
            jpeg_set_colorspace(info, JCS_GRAYSCALE);
        }
        jpeg_set_quality(info, quality, TRUE);
        info->optimize_coding = TRUE;
        jpeg_simple_progression(info);
        jpeg_start_compress(info, TRUE);
        writeMetadataMarkers(info, metadata);
        while (info->next_scanline < info->image_height) {
            auto* row = const_cast<JSAMPLE*>(
                picture.pixels + static_cast<std::ptrdiff_t>(info->next_scanline) * picture.stride);
            jpeg_write_scanlines(info, &row, 1);
        }
        jpeg_finish_compress(info);
    });
    return encodedResult(ok, compressor, destination);
}

bool isGreyProfile(const std::vector<std::uint8_t>& icc) {
    constexpr std::size_t kSpaceAt = 16;
    return icc.size() >= kSpaceAt + 4 && std::memcmp(icc.data() + kSpaceAt, "GRAY", 4) == 0;
}

EncodedJpeg encodeJpeg(const PixelView& picture, int quality, EncoderKind kind,
                       const JpegMetadata& metadata) {
    return kind == EncoderKind::Best ? encodeBest(picture, quality, metadata)
                                     : encodeStandard(picture, quality, metadata);
}

}  // namespace vellora::imaging
