#pragma once
// Quantisation tables for the tuned encoder.

#include <array>
#include <cstdint>

#include "imaging/encoder/encoder_settings.h"

namespace vellora::imaging::encoder {

using QuantTable = std::array<std::uint16_t, 64>;  // natural (row-major) order

// The table of `shape` at `quality` on libjpeg's scale (1..100, fractions allowed),
// steps limited to 1..255 (baseline).
[[nodiscard]] QuantTable shapedTable(const TableShape& shape, float quality);

// The example tables of the JPEG standard (what cjpeg uses) at `quality`.
[[nodiscard]] QuantTable annexTable(bool chroma, float quality);

}  // namespace vellora::imaging::encoder
