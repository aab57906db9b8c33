#pragma once
// Movable memory blocks behind handles, the way the image library hands pictures to
// its callers: the library allocates a block, the caller locks it to get a pointer,
// unlocks it and frees it. The functions have C linkage and live in one shared
// library that both the program and the image library module link, so a block made
// by one can be locked and freed by the other.
//
// Handles are checked: locking, unlocking or freeing something that is not a live
// handle fails (null / 0 / the handle back) instead of touching memory.

#include <stddef.h>

#if defined(_WIN32)
#define VELLORA_PLATFORM_API __declspec(dllexport)
#else
#define VELLORA_PLATFORM_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef void* HGLOBAL;

enum {
    GMEM_FIXED = 0x0000,
    GMEM_MOVEABLE = 0x0002,
    GMEM_ZEROINIT = 0x0040,
    GHND = GMEM_MOVEABLE | GMEM_ZEROINIT
};

/* A new block of `bytes` bytes (zeroed with GMEM_ZEROINIT); null when memory is short. */
VELLORA_PLATFORM_API HGLOBAL GlobalAlloc(unsigned int flags, size_t bytes);
/* The block's address, and one more lock on it; null for anything but a live handle. */
VELLORA_PLATFORM_API void* GlobalLock(HGLOBAL handle);
/* One lock fewer; returns non-zero while the block is still locked, 0 otherwise. */
VELLORA_PLATFORM_API int GlobalUnlock(HGLOBAL handle);
/* Frees the block; null on success, the handle back when it is not a live handle. */
VELLORA_PLATFORM_API HGLOBAL GlobalFree(HGLOBAL handle);
/* Size in bytes of a live block, 0 otherwise. */
VELLORA_PLATFORM_API size_t GlobalSize(HGLOBAL handle);
/* The handle of the block whose address is `pointer` (as returned by GlobalLock), or null. */
VELLORA_PLATFORM_API HGLOBAL GlobalHandle(const void* pointer);

#ifdef __cplusplus
}
#endif
