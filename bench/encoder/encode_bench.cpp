// vellora-encode-bench: the benchmark's command-line driver for our encoders.
//
//   vellora-encode-bench [--standard] [--repeat N] [--set name=value]... QUALITY IN.ppm OUT.jpg
//
// Reads a binary PPM (P6) or PGM (P5), the same input cjpeg gets, encodes it with the
// tuned encoder (or the plain one with --standard) and writes the JPEG. --repeat N
// encodes N times and prints the mean encode time; --set overrides one tuned setting
// (see applyOverride) so that the benchmark can measure what each technique buys.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "imaging/encoder/encoder_settings.h"
#include "imaging/jpeg_encoder.h"

namespace {

struct Picture {
    std::vector<std::uint8_t> pixels;
    int width = 0;
    int height = 0;
    int channels = 3;
};

// Reads the next header number of a PNM file, skipping white space and comments.
bool readHeaderNumber(std::istream& in, int& value) {
    int c = in.get();
    while (c != EOF && (std::isspace(c) || c == '#')) {
        if (c == '#') {
            while (c != EOF && c != '\n') {
                c = in.get();
            }
        }
        c = in.get();
    }
    if (c == EOF || !std::isdigit(c)) {
        return false;
    }
    value = 0;
    while (c != EOF && std::isdigit(c)) {
        value = value * 10 + (c - '0');
        if (value > 1000000) {
            return false;
        }
        c = in.get();
    }
    return true;  // the single white-space character after the number is consumed
}

bool readPnm(const char* path, Picture& picture) {
    std::ifstream in(path, std::ios::binary);
    char magic[2] = {};
    if (!in.read(magic, 2) || magic[0] != 'P' || (magic[1] != '5' && magic[1] != '6')) {
        return false;
    }
    picture.channels = magic[1] == '6' ? 3 : 1;
    int maxValue = 0;
    if (!readHeaderNumber(in, picture.width) || !readHeaderNumber(in, picture.height) ||
        !readHeaderNumber(in, maxValue) || maxValue != 255 || picture.width <= 0 ||
        picture.height <= 0) {
        return false;
    }
    picture.pixels.resize(static_cast<std::size_t>(picture.width) * picture.height *
                          picture.channels);
    return static_cast<bool>(in.read(reinterpret_cast<char*>(picture.pixels.data()),
                                     static_cast<std::streamsize>(picture.pixels.size())));
}

int usage() {
    std::cerr << "usage: vellora-encode-bench [--standard] [--repeat N] [--set name=value]... "
                 "QUALITY IN.ppm OUT.jpg\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace vellora::imaging;
    bool standard = false;
    int repeat = 0;
    std::vector<std::string> overrides;
    std::vector<const char*> positional;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--standard") == 0) {
            standard = true;
        } else if (std::strcmp(argv[i], "--repeat") == 0 && i + 1 < argc) {
            repeat = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--set") == 0 && i + 1 < argc) {
            overrides.emplace_back(argv[++i]);
        } else {
            positional.push_back(argv[i]);
        }
    }
    if (positional.size() != 3) {
        return usage();
    }
    const int quality = std::atoi(positional[0]);
    Picture picture;
    if (!readPnm(positional[1], picture)) {
        std::cerr << "cannot read " << positional[1] << " as binary PPM/PGM\n";
        return 1;
    }
    encoder::Settings settings = encoder::settingsFor(quality);
    for (const auto& assignment : overrides) {
        const std::string error = encoder::applyOverride(settings, assignment);
        if (!error.empty()) {
            std::cerr << error << "\n";
            return 2;
        }
    }
    const PixelView view{picture.pixels.data(), picture.width, picture.height,
                         static_cast<std::ptrdiff_t>(picture.width) * picture.channels,
                         picture.channels};
    auto encode = [&] {
        return standard ? encodeStandard(view, quality, {})
                        : encoder::encodeWithSettings(view, settings, {});
    };
    EncodedJpeg encoded = encode();
    if (!encoded.ok()) {
        std::cerr << encoded.error << "\n";
        return 1;
    }
    if (repeat > 0) {
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < repeat; ++i) {
            encoded = encode();
        }
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        const double seconds = elapsed.count() / repeat;
        std::printf("%.3f ms %.1f MP/s\n", seconds * 1000.0,
                    picture.width * static_cast<double>(picture.height) / seconds / 1e6);
    }
    std::ofstream out(positional[2], std::ios::binary);
    out.write(reinterpret_cast<const char*>(encoded.bytes.data()),
              static_cast<std::streamsize>(encoded.bytes.size()));
    return out ? 0 : 1;
}
