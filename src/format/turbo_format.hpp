// Reading a stored two-stage code in place, without parsing it into its parts.
#pragma once

#include <cstdint>
#include <span>

#include "turbo_layout.hpp"

namespace quillane::format {

// True when `code` has exactly the header a quantizer with this layout and bit width
// writes and a readable norm (finite, not negative): then TurboCode::from_bytes cannot
// fail on it and a scan may read its fields straight from the bytes.
bool is_regular_turbo_code(std::span<const uint8_t> code, const TurboLayout& layout,
                           uint8_t bits);

// Angle index j of a code of this layout.
uint16_t angle_index(std::span<const uint8_t> code, const TurboLayout& layout, size_t j);

}  // namespace quillane::format
