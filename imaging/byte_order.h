#pragma once
// Reading numbers stored byte by byte: bitmaps store theirs little-endian, colour
// profiles and Photoshop's resources big-endian.

#include <cstdint>

namespace vellora::imaging {

[[nodiscard]] inline std::uint32_t littleEndian32(const std::uint8_t* bytes) {
    return std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 | std::uint32_t{bytes[2]} << 16 |
           std::uint32_t{bytes[3]} << 24;
}

[[nodiscard]] inline std::uint32_t bigEndian32(const std::uint8_t* bytes) {
    return std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 |
           std::uint32_t{bytes[2]} << 8 | std::uint32_t{bytes[3]};
}

}  // namespace vellora::imaging
