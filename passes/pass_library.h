#pragma once
// What the compression and crop passes call in the image library. The program uses
// the module (ModuleLibrary); tests substitute libraries that fail on purpose.

#include <cstdint>

namespace vellora {

class ImageLibrary;

class PassLibrary {
public:
    virtual ~PassLibrary() = default;
    virtual std::int32_t ImgDLLStringInitDLL(const char* init) = 0;
    virtual void* ImgDLLReadRGBFromJPG(const char* path, std::int32_t* width,
                                       std::int32_t* height) = 0;
    virtual void* ImgDLLReadRGBFromBMP(const char* path, std::int32_t* width,
                                       std::int32_t* height) = 0;
    virtual void* ImgDLLCropRGB(void* source, std::int32_t width, std::int32_t height,
                                std::int32_t left, std::int32_t top, std::int32_t right,
                                std::int32_t bottom) = 0;
    virtual std::int32_t ImgDLLSaveRGBToJPG(const char* path, void* buffer, std::int32_t width,
                                            std::int32_t height, std::int32_t quality,
                                            std::int32_t flag) = 0;
};

// Forwards to an ImageLibrary (by default the program's one).
class ModuleLibrary final : public PassLibrary {
public:
    ModuleLibrary();
    explicit ModuleLibrary(ImageLibrary& library) : m_library(library) {}

    std::int32_t ImgDLLStringInitDLL(const char* init) override;
    void* ImgDLLReadRGBFromJPG(const char* path, std::int32_t* width,
                               std::int32_t* height) override;
    void* ImgDLLReadRGBFromBMP(const char* path, std::int32_t* width,
                               std::int32_t* height) override;
    void* ImgDLLCropRGB(void* source, std::int32_t width, std::int32_t height, std::int32_t left,
                        std::int32_t top, std::int32_t right, std::int32_t bottom) override;
    std::int32_t ImgDLLSaveRGBToJPG(const char* path, void* buffer, std::int32_t width,
                                    std::int32_t height, std::int32_t quality,
                                    std::int32_t flag) override;

private:
    ImageLibrary& m_library;
};

// The initialisation string every pass hands the library first.
inline constexpr const char* kLibraryInitString = "Vellora";

}  // namespace vellora
