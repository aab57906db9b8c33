// vellora-read-bench: one read of a picture through the image library's read entry, as
// the program does it (JPEG or BMP by the file's extension). bench/pass/run.sh times the
// whole process beside djpeg and cjpeg on the same picture. --repeat N reads N more
// times in the process and prints the best in-process time.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "imaging/imgdll_api.h"
#include "platform/global_block.h"

int main(int argc, char** argv) {
    int repeat = 0;
    int first = 1;
    if (argc > 2 && std::strcmp(argv[1], "--repeat") == 0) {
        repeat = std::atoi(argv[2]);
        first = 3;
    }
    if (first != argc - 1) {
        std::fprintf(stderr, "usage: vellora-read-bench [--repeat N] PICTURE.jpg|PICTURE.bmp\n");
        return 2;
    }
    const std::string path = argv[first];
    const bool bitmap = path.size() > 4 && (path.ends_with(".bmp") || path.ends_with(".BMP"));
    auto read = [&] {
        std::int32_t width = 0, height = 0;
        vellora::GlobalBlock block(bitmap ? ImgDLLReadRGBFromBMP(path.c_str(), &width, &height)
                                          : ImgDLLReadRGBFromJPG(path.c_str(), &width, &height));
        return static_cast<bool>(block);
    };
    if (!read()) {
        std::fprintf(stderr, "%s: %s\n", path.c_str(), ImgDLLGetLastError());
        return 1;
    }
    double best = 1e30;
    for (int i = 0; i < repeat; ++i) {
        const auto start = std::chrono::steady_clock::now();
        (void)read();
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        best = std::min(best, took.count());
    }
    if (repeat > 0) {
        std::printf("%.4f\n", best);
    }
    return 0;
}
