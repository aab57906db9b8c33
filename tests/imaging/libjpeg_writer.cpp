#include "libjpeg_writer.h"

#include <cstdio>

#include <jpeglib.h>

#include "imaging/libjpeg_bridge.h"

namespace vellora::test {

QByteArray writeWithLibjpeg(const std::vector<std::uint8_t>& rgb, int width, int height,
                            const LibjpegLayout& layout) {
    const auto pixels = static_cast<std::size_t>(width) * height;
    if (rgb.size() < pixels * 3) {
        return {};
    }
    std::vector<std::uint8_t> grey;
    if (layout.components == 1) {
        grey.resize(pixels);
        for (std::size_t i = 0; i < pixels; ++i) {
            grey[i] = rgb[3 * i + 1];
        }
    }
    // CMYK inks that stand for the same colours, no black ink, in the file's convention.
    std::vector<std::uint8_t> inks;
    if (layout.components == 4) {
        inks.resize(pixels * 4);
        for (std::size_t i = 0; i < pixels; ++i) {
            for (std::size_t c = 0; c < 3; ++c) {
                inks[4 * i + c] = layout.adobeMarker ? rgb[3 * i + c] : 255 - rgb[3 * i + c];
            }
            inks[4 * i + 3] = layout.adobeMarker ? 255 : 0;
        }
    }
    jpeg::Compressor compressor;
    if (!compressor.valid()) {
        return {};
    }
    jpeg::MemoryDestination destination;
    jpeg_compress_struct* info = compressor.info();
    const bool ok = jpeg::runGuarded(compressor.bridge(), [&] {
        destination.attach(info);
        info->image_width = static_cast<JDIMENSION>(width);
        info->image_height = static_cast<JDIMENSION>(height);
        info->input_components = layout.components;
        info->in_color_space = layout.components == 1   ? JCS_GRAYSCALE
                               : layout.components == 4 ? JCS_CMYK
                                                        : JCS_RGB;
        jpeg_set_defaults(info);
        info->write_Adobe_marker =
            layout.components == 4 && !layout.adobeMarker ? FALSE : info->write_Adobe_marker;
        jpeg_set_quality(info, layout.quality, TRUE);
        info->comp_info[0].h_samp_factor = layout.hSamp;
        info->comp_info[0].v_samp_factor = layout.vSamp;
        info->restart_in_rows = layout.restartRows;
        info->density_unit = static_cast<UINT8>(layout.densityUnit);
        info->X_density = static_cast<UINT16>(layout.xDensity);
        info->Y_density = static_cast<UINT16>(layout.yDensity);
        if (layout.progressive) {
            jpeg_simple_progression(info);
        }
        info->arith_code = layout.arithmetic ? TRUE : FALSE;
        jpeg_start_compress(info, TRUE);
        while (info->next_scanline < info->image_height) {
            const std::size_t y = info->next_scanline;
            auto* row = const_cast<JSAMPLE*>(layout.components == 1   ? grey.data() + y * width
                                             : layout.components == 4 ? inks.data() + y * width * 4
                                                                      : rgb.data() + y * width * 3);
            jpeg_write_scanlines(info, &row, 1);
        }
        jpeg_finish_compress(info);
    });
    if (!ok) {
        return {};
    }
    return QByteArray(reinterpret_cast<const char*>(destination.data()),
                      static_cast<qsizetype>(destination.size()));
}

}  // namespace vellora::test
