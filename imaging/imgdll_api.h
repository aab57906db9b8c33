#pragma once
// The image library's entries. C linkage, bound by name at run time by the program and
// the command-line tool (see image_library.h); handles and buffer pointers are
// pointer-sized, every number is a 32-bit signed int, strings are NUL-terminated
// single-byte text (file names in the local 8-bit encoding).

#include <stdint.h>

#if defined(_WIN32)
#define IMGDLL_API __declspec(dllexport)
#else
#define IMGDLL_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Bits of the save entry's final flag.
enum {
    IMGDLL_SAVE_BEST = 0x1,        // the tuned encoder; clear: plain optimised progressive
    IMGDLL_SAVE_STRIP_EXIF = 0x2,  // leave out the EXIF block and comments
    IMGDLL_SAVE_STRIP_ICC = 0x4    // leave out the colour profile
};

// Prepares the library; the string is informational. Always returns 1.
IMGDLL_API int32_t ImgDLLStringInitDLL(const char* init);
// Reads a JPEG / BMP file into a new RGB buffer (a movable memory block, see
// globalmem.h). Sets *width and *height; returns the block's handle, or null.
IMGDLL_API void* ImgDLLReadRGBFromJPG(const char* path, int32_t* width, int32_t* height);
IMGDLL_API void* ImgDLLReadRGBFromBMP(const char* path, int32_t* width, int32_t* height);
// Cuts [left, right) x [top, bottom) out of a locked buffer into a new buffer; the
// rectangle is clipped to the picture. Returns the new block's handle, or null.
IMGDLL_API void* ImgDLLCropRGB(void* source, int32_t width, int32_t height, int32_t left,
                               int32_t top, int32_t right, int32_t bottom);
// Writes a locked buffer as a JPEG file. Returns exactly 1 when a complete file was
// written, 0 otherwise.
IMGDLL_API int32_t ImgDLLSaveRGBToJPG(const char* path, void* buffer, int32_t width,
                                      int32_t height, int32_t quality, int32_t flag);
// A clear English text for the last failure on the calling thread ("" when none).
IMGDLL_API const char* ImgDLLGetLastError(void);

#ifdef __cplusplus
}
#endif
