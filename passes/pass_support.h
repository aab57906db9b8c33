#pragma once
// Pieces the compression and crop passes share: the picture type rule, the message
// kinds, the error trap that carries a pass on to its next step, and the formats of
// the size label.

#include <QString>
#include <cstdint>
#include <exception>
#include <functional>

#include "platform/runtime_error.h"

namespace vellora {

enum class PictureType { NoFile, Jpeg, Bitmap, Invalid };

// The reader a path asks for: by the last three letters of the lower-cased path, "jpg"
// or "bmp"; names ending in ".jpeg" or ".jpe" are JPEGs too. An empty path means no
// file was opened.
[[nodiscard]] PictureType pictureType(const QString& path);

// The reader a pass uses: as pictureType() says, but between a JPEG and a bitmap the
// file's first bytes decide, as they decide what the windows show. Save As proposes the
// source's own name, so a bitmap's result may be a JPEG named ".bmp"; shown, it must
// compress too.
[[nodiscard]] PictureType passPictureType(const QString& path);

enum class MessageIcon { None, Exclamation, Information, Question };

// "###,###,###": the whole number with the locale's thousands separator, no leading
// zeros (so zero shows as nothing).
[[nodiscard]] QString formatByteCount(std::int64_t bytes);

// The share saved in whole per cent, rounded down: (1 - compressed / original) * 100.
[[nodiscard]] std::int64_t shareSaved(std::int64_t original, std::int64_t compressed);

// The save entry's status as a 16-bit number; a value outside that range raises an
// overflow error (it must never wrap round to 1 and pass for success).
[[nodiscard]] std::int16_t narrowStatus(std::int32_t status);

// A pass's error trap: runs each step, and when a step raises a run-time error lets the
// pass go on with the next one. Error 48 (the library module will not load) runs the
// library-load recovery first, which may end the program; ended() then tells the pass
// to stop.
class StepTrap {
public:
    using Recovery = std::function<bool()>;  // true when the program was ended
    explicit StepTrap(Recovery recovery) : m_recovery(std::move(recovery)) {}

    // Runs `step`; false when it raised an error (or the program has ended).
    template <typename Step>
    bool run(Step&& step) {
        if (m_ended) {
            return false;
        }
        try {
            step();
            return true;
        } catch (const RuntimeError& error) {
            if (error.number() == ErrorNumber::LibraryLoadFailed && m_recovery) {
                m_ended = m_recovery();
            }
        } catch (const std::exception&) {
            // Any other failure of a step: go on with the next one.
        }
        return false;
    }

    [[nodiscard]] bool ended() const { return m_ended; }

private:
    Recovery m_recovery;
    bool m_ended = false;
};

}  // namespace vellora
