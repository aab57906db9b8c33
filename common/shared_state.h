#pragma once
// The state the commands, the passes and the crop rectangle share. One object for the
// whole program (sharedState()); everything starts at zero or empty and nothing resets
// it while the program runs.

#include <QString>
#include <cstdint>

namespace vellora {

// The crop rectangle's interaction state and the copy of its geometry, in twips.
// 32-bit so that pictures wider or taller than 32767 twips work to their far edges.
struct CropState {
    std::int32_t HoverZoneX = 0;
    std::int32_t HoverZoneY = 0;
    std::int32_t GrabOffsetX = 0;
    std::int32_t GrabOffsetY = 0;
    std::int32_t DragMode = 0;
    std::int32_t CropTop = 0;
    std::int32_t CropLeft = 0;
    std::int32_t CropWidth = 0;
    std::int32_t CropHeight = 0;

    friend bool operator==(const CropState&, const CropState&) = default;
};

struct SharedState {
    QString SourcePath;               // the picture last chosen with Open
    std::int64_t OriginalSize = 0;    // its length in bytes
    std::int64_t CompressedSize = 0;  // the working file's length after the last pass
    CropState crop;
};

[[nodiscard]] SharedState& sharedState();

}  // namespace vellora
