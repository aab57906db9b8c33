#pragma once
// Test pictures written by libjpeg-turbo itself in a chosen layout: colour or grey,
// chroma sampling, restart markers, progressive scans, resolution.

#include <QByteArray>
#include <cstdint>
#include <vector>

namespace vellora::test {

struct LibjpegLayout {
    int components = 3;       // 1: grey, made of the pictures' green channel; 4: CMYK (below)
    bool adobeMarker = true;  // CMYK: inverted inks with an Adobe marker, or plain ink amounts
    int hSamp = 2;            // luma sampling factors; chroma 1x1
    int vSamp = 2;
    int restartRows = 0;
    bool progressive = false;  // libjpeg's jpeg_simple_progression
    bool arithmetic = false;   // arithmetic coding instead of Huffman
    int quality = 85;
    int densityUnit = 0;  // 0: aspect ratio only, 1: dots per inch, 2: per cm
    int xDensity = 1;
    int yDensity = 1;
};

// `rgb` (packed RGB rows, top first) as a JPEG in `layout`; empty on failure.
[[nodiscard]] QByteArray writeWithLibjpeg(const std::vector<std::uint8_t>& rgb, int width,
                                          int height, const LibjpegLayout& layout);

}  // namespace vellora::test
