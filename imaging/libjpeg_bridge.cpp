#include "libjpeg_bridge.h"

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

MemoryDestination::~MemoryDestination() {
    std::free(m_buffer);
}

void MemoryDestination::attach(jpeg_compress_struct* info) {
    jpeg_mem_dest(info, &m_buffer, &m_size);
}

}  // namespace vellora::jpeg
