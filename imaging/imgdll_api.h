#pragma once
// The image library's entries. C linkage, bound by name at run time by the program and
// the command-line tool (see image_library.h); handles and buffer pointers are
// pointer-sized, every number is a 32-bit signed int, strings are NUL-terminated
// single-byte text (file names in the local 8-bit encoding).
//
// Buffers: a read or a crop returns the handle of a new movable memory block
// (globalmem.h) holding an RGB picture; rgb_buffer.h describes its layout. The caller
// owns it: GlobalLock gives the pointer that crop and save take, GlobalUnlock and
// GlobalFree release it. Crop and save check that the pointer is the locked address of
// one of these buffers and that the numbers passed agree with the size it records, so
// a wrong pointer or wrong numbers fail instead of reading outside the buffer.
//
// Every entry may be called from several threads at once. A failing entry returns a
// null handle or status 0 and leaves its reason for ImgDLLGetLastError.

#include <stdint.h>

#if defined(_WIN32)
#define IMGDLL_API __declspec(dllexport)
#else
#define IMGDLL_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Bits of the save entry's final flag. 0 is a plain save with metadata; the program
// passes 1. A flag with any other bit set fails, so a value meant for a later version
// is never silently misread.
enum {
    // Set: the tuned encoder, smallest file for the quality. Clear: libjpeg-turbo's
    // standard encoder (optimised Huffman tables, progressive scans).
    IMGDLL_SAVE_BEST = 0x1,
    // Leave out the EXIF block, the comments, the XMP packets and the IPTC block read
    // with the picture. By default all are written back in their order, the EXIF block
    // with orientation 1 (the pixels are upright) and without its thumbnail.
    IMGDLL_SAVE_STRIP_EXIF = 0x2,
    // Leave out the ICC colour profile read with the picture (kept by default).
    IMGDLL_SAVE_STRIP_ICC = 0x4
};

// Prepares the library; the string is informational and may be null. Returns 1.
IMGDLL_API int32_t ImgDLLStringInitDLL(const char* init);

// Reads a JPEG / BMP file into a new RGB buffer, turned upright for its EXIF
// orientation. Sets *width and *height (either may be null) to the buffer's size and
// returns the block's handle; null on failure (not a regular file, not of that type,
// truncated or corrupt, unsupported, larger than the pixel limit).
IMGDLL_API void* ImgDLLReadRGBFromJPG(const char* path, int32_t* width, int32_t* height);
IMGDLL_API void* ImgDLLReadRGBFromBMP(const char* path, int32_t* width, int32_t* height);

// Cuts the pixels [left, right) x [top, bottom) out of the locked buffer `source`,
// whose size the caller gives as width x height (it must be the buffer's). The
// rectangle is clipped to the picture; the new buffer holds the clipped cut-out, the
// source's EXIF block and colour profile, and the rectangle's unclipped size. Returns
// the new block's handle; null when the rectangle is empty or lies wholly outside the
// picture, or for a bad pointer or size. The source stays the caller's.
IMGDLL_API void* ImgDLLCropRGB(void* source, int32_t width, int32_t height, int32_t left,
                               int32_t top, int32_t right, int32_t bottom);

// Writes the locked buffer as a JPEG file at `path`. width x height must be the
// buffer's size or, for a cut-out, the unclipped size its crop was asked for; the
// pixels the buffer holds are written either way. Quality runs from 1 (smallest) to
// 100 (best); values outside are clamped to that range. The file is written beside
// `path` under a temporary name, flushed and renamed over `path`, so a failed save
// leaves no partial file and an existing `path` as it was. Returns exactly 1 when the
// complete file is in place, 0 otherwise. A successful save that had to leave out
// metadata (an EXIF block grown past the 65533 bytes one marker holds), or that
// replaced a file whose owner it may not give back (the new file gets the old one's
// owner, group and permissions when the process may), says so in ImgDLLGetLastError;
// after a plain success that text is "".
IMGDLL_API int32_t ImgDLLSaveRGBToJPG(const char* path, void* buffer, int32_t width, int32_t height,
                                      int32_t quality, int32_t flag);

// A clear English text for the failure of the calling thread's last call of an
// entry, or for what a successful save left out; "" when that call fully succeeded. The text stays
// valid until the thread's next call of an entry.
IMGDLL_API const char* ImgDLLGetLastError(void);

#ifdef __cplusplus
}
#endif
