#pragma once
// The one bridge between libjpeg's error handling (error_exit must not return, so it
// jumps) and our code. Everything that calls into libjpeg runs inside
// `runGuarded`, which turns a libjpeg failure into `false` plus a message. Keep the
// work inside a guarded step free of objects with destructors: a jump skips them.

#include <csetjmp>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include <jpeglib.h>

namespace vellora::jpeg {

struct ErrorBridge {
    jpeg_error_mgr manager{};
    std::jmp_buf jump{};
    char message[JMSG_LENGTH_MAX] = {};
    // A corrupt-data warning (a truncated file, a bad Huffman code) fails the whole
    // operation instead of letting libjpeg fill the rest of the picture with grey.
    bool warningsAreErrors = true;
    // Set when the failure was such a warning (the picture data is damaged) rather
    // than an error; manager.msg_code says which.
    bool failedOnWarning = false;

    // Installs the bridge as `info`'s error manager.
    void attach(jpeg_common_struct* info);
    [[nodiscard]] std::string text() const { return message; }
    // Why the picture cannot be read when the failure was a kind of JPEG that cannot be
    // decoded here (12-bit, lossless process, hierarchical); otherwise "".
    [[nodiscard]] std::string unsupportedKind() const;
};

// Runs `step`; returns false (and leaves libjpeg's text in bridge.message) when
// libjpeg reported an error or, with warningsAreErrors, a warning.
template <typename Step>
[[nodiscard]] bool runGuarded(ErrorBridge& bridge, Step&& step) {
    if (setjmp(bridge.jump) != 0) {
        return false;
    }
    step();
    return true;
}

// Owns a decompressor and its error bridge; the destructor releases libjpeg's memory
// whatever state the decompressor was left in.
class Decompressor {
public:
    Decompressor();
    ~Decompressor();
    Decompressor(const Decompressor&) = delete;
    Decompressor& operator=(const Decompressor&) = delete;

    [[nodiscard]] bool valid() const { return m_created; }
    [[nodiscard]] jpeg_decompress_struct* info() { return &m_info; }
    [[nodiscard]] ErrorBridge& bridge() { return m_bridge; }

private:
    ErrorBridge m_bridge;
    jpeg_decompress_struct m_info{};
    bool m_created = false;
};

class Compressor {
public:
    Compressor();
    ~Compressor();
    Compressor(const Compressor&) = delete;
    Compressor& operator=(const Compressor&) = delete;

    [[nodiscard]] bool valid() const { return m_created; }
    [[nodiscard]] jpeg_compress_struct* info() { return &m_info; }
    [[nodiscard]] ErrorBridge& bridge() { return m_bridge; }

private:
    ErrorBridge m_bridge;
    jpeg_compress_struct m_info{};
    bool m_created = false;
};

// Output into a growing memory buffer that this object owns. Not libjpeg's jpeg_mem_dest:
// that one frees its old buffer when it grows but hands the new one back only when
// compression finishes, so after an error part-way (a hostile coefficient out of range
// in a repack, say) the caller holds a freed pointer and the live buffer leaks.
class MemoryDestination {
public:
    MemoryDestination();
    MemoryDestination(const MemoryDestination&) = delete;
    MemoryDestination& operator=(const MemoryDestination&) = delete;

    // Points `info` at this buffer, emptied. The object must outlive the compression.
    void attach(jpeg_compress_struct* info);
    [[nodiscard]] const unsigned char* data() const { return m_buffer.get(); }
    // The bytes written so far (all of them once compression has finished).
    [[nodiscard]] std::size_t size() const { return m_capacity - m_manager.manager.free_in_buffer; }

private:
    static void initDestination(j_compress_ptr info);
    static boolean emptyOutputBuffer(j_compress_ptr info);
    static void termDestination(j_compress_ptr) {}

    struct Free {
        void operator()(unsigned char* bytes) const { std::free(bytes); }
    };
    // What libjpeg holds a pointer to; the callbacks find this object through `self`.
    struct Manager {
        jpeg_destination_mgr manager{};  // first: libjpeg's pointer is a Manager's too
        MemoryDestination* self = nullptr;
    };
    static MemoryDestination& of(j_compress_ptr info) {
        return *reinterpret_cast<Manager*>(info->dest)->self;
    }

    Manager m_manager;
    std::unique_ptr<unsigned char, Free> m_buffer;
    std::size_t m_capacity = 0;
};

}  // namespace vellora::jpeg
