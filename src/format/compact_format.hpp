// Reading, writing and packing compact codes (layout in compact_layout.hpp).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "bytes.hpp"
#include "compact_layout.hpp"
#include "error.hpp"

namespace quillane::format {

struct CompactHeader {
    uint8_t bits;
    uint32_t dim;
    uint32_t fingerprint;
    float scale;
    float decode_scale;
};

// The checks that need no quantizer, in this order: empty, version, header length, bit
// width, total length, scales finite, padding bits zero. Trailing bytes are ignored.
Result<CompactHeader> read_compact_header(std::span<const uint8_t> code);

// The header and the packed codes (each below 2^bits) as bytes.
std::vector<uint8_t> write_compact_code(const CompactHeader& header, std::span<const uint8_t> codes);

// Code i of the packed stream.
inline uint32_t unpack_code(const uint8_t* packed, uint8_t bits, size_t i) {
    const size_t bit = i * bits;
    const size_t byte = bit / 8, shift = bit % 8;
    uint32_t word = packed[byte];
    if (shift + bits > 8) word |= uint32_t(packed[byte + 1]) << 8;
    return (word >> shift) & ((1u << bits) - 1u);
}

// The scale field of a code that passed the checks.
inline float code_scale(const uint8_t* code) { return bytes::load_f32(code + CompactLayout::scale); }

// Every code of a packed stream of `dim` codes.
void unpack_codes(const uint8_t* packed, uint8_t bits, size_t dim, uint8_t* out);

}  // namespace quillane::format
