// The compact code's byte form: a 16-byte header, then the packed coordinate codes.
// All multi-byte fields little-endian, no padding between fields (docs/compact-format.md).
//
//   0  u8   version 0x02
//   1  u8   bits per coordinate, 1..8
//   2  u16  dim - 1
//   4  u32  fingerprint of (dim, bits, seed)
//   8  f32  scale: the estimate is scale * sum_i level[c_i] * (R q)_i
//   12 f32  decode scale: the decoding is R^T (decode scale * level[c_i])_i
//   16 u8[ceil(dim * bits / 8)]  code c_i in stream bits [i * bits, (i + 1) * bits),
//          stream bit k = bit k % 8 of byte k / 8; unused high bits of the last byte are 0
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillane::format {

inline constexpr uint8_t COMPACT_VERSION = 0x02;

struct CompactLayout {
    static constexpr size_t version = 0, bits_field = 1, dim_field = 2, fingerprint = 4,
                            scale = 8, decode_scale = 12, packed = 16;
    size_t dim;
    uint8_t bits;

    constexpr size_t packed_size() const { return (dim * bits + 7) / 8; }
    constexpr size_t size() const { return packed + packed_size(); }
};

}  // namespace quillane::format
