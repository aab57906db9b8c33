#include "pass_library.h"

#include "imaging/image_library.h"

namespace vellora {

ModuleLibrary::ModuleLibrary() : m_library(imageLibrary()) {}

std::int32_t ModuleLibrary::ImgDLLStringInitDLL(const char* init) {
    return m_library.ImgDLLStringInitDLL(init);
}

void* ModuleLibrary::ImgDLLReadRGBFromJPG(const char* path, std::int32_t* width,
                                          std::int32_t* height) {
    return m_library.ImgDLLReadRGBFromJPG(path, width, height);
}

void* ModuleLibrary::ImgDLLReadRGBFromBMP(const char* path, std::int32_t* width,
                                          std::int32_t* height) {
    return m_library.ImgDLLReadRGBFromBMP(path, width, height);
}

void* ModuleLibrary::ImgDLLCropRGB(void* source, std::int32_t width, std::int32_t height,
                                   std::int32_t left, std::int32_t top, std::int32_t right,
                                   std::int32_t bottom) {
    return m_library.ImgDLLCropRGB(source, width, height, left, top, right, bottom);
}

std::int32_t ModuleLibrary::ImgDLLSaveRGBToJPG(const char* path, void* buffer, std::int32_t width,
                                               std::int32_t height, std::int32_t quality,
                                               std::int32_t flag) {
    return m_library.ImgDLLSaveRGBToJPG(path, buffer, width, height, quality, flag);
}

}  // namespace vellora
