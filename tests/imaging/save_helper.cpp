// Reads a JPEG and saves it again through the image library, for tests that must run
// a save as another (unprivileged) user. Usage: imaging_save_helper SOURCE TARGET.
// Exit code 0: saved; 1: the save returned a status other than 1; 2: the read failed;
// 3: wrong usage. The library's last error goes to standard output.
#include <cstdint>
#include <cstdio>

#include "imaging/imgdll_api.h"
#include "platform/global_block.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s SOURCE TARGET\n", argv[0]);
        return 3;
    }
    std::int32_t width = 0, height = 0;
    vellora::GlobalBlock block(ImgDLLReadRGBFromJPG(argv[1], &width, &height));
    if (!block) {
        std::printf("read failed: %s\n", ImgDLLGetLastError());
        return 2;
    }
    const int status = ImgDLLSaveRGBToJPG(argv[2], block.lock(), width, height, 80, 1);
    std::printf("status %d: %s\n", status, ImgDLLGetLastError());
    return status == 1 ? 0 : 1;
}
