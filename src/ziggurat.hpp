// The 256-layer ziggurat tables for the standard normal sampler.
#pragma once

#include <array>
#include <bit>

namespace quillane {

// Start of the normal tail, and the edge of layer 1.
inline constexpr double ZIGGURAT_R = std::bit_cast<double>(0x400D3BB48209AD33ull);

// Literal constants from tools/gen_ziggurat.py (correctly rounded recurrence).
extern const std::array<double, 257> ZIGGURAT_X;
extern const std::array<double, 257> ZIGGURAT_F;

}  // namespace quillane
