#include "libjpeg_bridge.h"

#include <cstdint>
#include <cstdlib>

#include <jerror.h>

namespace vellora::jpeg {
namespace {

void errorExit(j_common_ptr info) {
    auto* bridge = reinterpret_cast<ErrorBridge*>(info->err);
    (*info->err->format_message)(info, bridge->message);
    std::longjmp(bridge->jump, 1);
}

// Warnings that say nothing about the picture data: an unknown JFIF revision, or an
// unknown Adobe colour transform code (libjpeg then picks the usual one).
bool harmless(int code) {
    return code == JWRN_JFIF_MAJOR || code == JWRN_ADOBE_XFORM;
}

void emitMessage(j_common_ptr info, int level) {
    auto* bridge = reinterpret_cast<ErrorBridge*>(info->err);
    if (level < 0) {
        // A warning: libjpeg would carry on with made-up data.
        info->err->num_warnings++;
        if (bridge->warningsAreErrors && !harmless(info->err->msg_code)) {
            bridge->failedOnWarning = true;
            errorExit(info);
        }
    }
    // Trace messages are not wanted.
}

void outputMessage(j_common_ptr) {
    // Never print to stderr from inside the library; the text goes back to the caller.
}

}  // namespace

std::string ErrorBridge::unsupportedKind() const {
    switch (manager.msg_code) {
        case JERR_BAD_PRECISION:
            return "unsupported JPEG: " + text() + " (only 8-bit JPEGs can be read)";
        case JERR_SOF_UNSUPPORTED:
            return "unsupported JPEG: " + text() +
                   " (lossless and hierarchical JPEGs cannot be read)";
        default:
            return {};
    }
}

void ErrorBridge::attach(jpeg_common_struct* info) {
    info->err = jpeg_std_error(&manager);
    manager.error_exit = errorExit;
    manager.emit_message = emitMessage;
    manager.output_message = outputMessage;
}

Decompressor::Decompressor() {
    m_bridge.attach(reinterpret_cast<j_common_ptr>(&m_info));
    m_created = runGuarded(m_bridge, [this] { jpeg_create_decompress(&m_info); });
}

Decompressor::~Decompressor() {
    if (m_created) {
        jpeg_destroy_decompress(&m_info);
    }
}

Compressor::Compressor() {
    m_bridge.attach(reinterpret_cast<j_common_ptr>(&m_info));
    m_created = runGuarded(m_bridge, [this] { jpeg_create_compress(&m_info); });
}

Compressor::~Compressor() {
    if (m_created) {
        jpeg_destroy_compress(&m_info);
    }
}

MemoryDestination::MemoryDestination() {
    m_manager.manager.init_destination = initDestination;
    m_manager.manager.empty_output_buffer = emptyOutputBuffer;
    m_manager.manager.term_destination = termDestination;
    m_manager.self = this;
}

void MemoryDestination::attach(jpeg_compress_struct* info) {
    m_manager.manager.next_output_byte = m_buffer.get();
    m_manager.manager.free_in_buffer = m_capacity;
    info->dest = &m_manager.manager;
}

void MemoryDestination::initDestination(j_compress_ptr info) {
    MemoryDestination* self = &of(info);
    if (!self->m_buffer) {
        constexpr std::size_t kFirst = std::size_t{1} << 16;
        self->m_buffer.reset(static_cast<unsigned char*>(std::malloc(kFirst)));
        if (!self->m_buffer) {
            ERREXIT1(info, JERR_OUT_OF_MEMORY, 0);
        }
        self->m_capacity = kFirst;
    }
    self->m_manager.manager.next_output_byte = self->m_buffer.get();
    self->m_manager.manager.free_in_buffer = self->m_capacity;
}

boolean MemoryDestination::emptyOutputBuffer(j_compress_ptr info) {
    // Called with the whole buffer full: double it and go on where it ended. A failed
    // realloc leaves the old buffer in place and owned.
    MemoryDestination* self = &of(info);
    const std::size_t used = self->m_capacity;
    auto* bytes = used <= SIZE_MAX / 2
                      ? static_cast<unsigned char*>(std::realloc(self->m_buffer.get(), used * 2))
                      : nullptr;
    if (!bytes) {
        ERREXIT1(info, JERR_OUT_OF_MEMORY, 1);
    }
    static_cast<void>(self->m_buffer.release());
    self->m_buffer.reset(bytes);
    self->m_capacity = used * 2;
    self->m_manager.manager.next_output_byte = bytes + used;
    self->m_manager.manager.free_in_buffer = self->m_capacity - used;
    return TRUE;
}

}  // namespace vellora::jpeg
