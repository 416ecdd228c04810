// Little-endian field access for the byte formats.
#pragma once

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <span>
#include <string>
#include <vector>

namespace quillane::bytes {

inline uint16_t read_u16(std::span<const uint8_t> b, size_t at) {
    return static_cast<uint16_t>(b[at] | (b[at + 1] << 8));
}
inline uint32_t read_u32(std::span<const uint8_t> b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
           uint32_t(b[at + 3]) << 24;
}
inline uint64_t read_u64(std::span<const uint8_t> b, size_t at) {
    return uint64_t{read_u32(b, at)} | uint64_t{read_u32(b, at + 4)} << 32;
}
inline float read_f32(std::span<const uint8_t> b, size_t at) {
    return std::bit_cast<float>(read_u32(b, at));
}

// Unchecked loads for the scan kernels, which have checked the whole code once. The
// host is little-endian, as the formats are.
inline uint16_t load_u16(const uint8_t* p) {
    uint16_t w;
    std::memcpy(&w, p, 2);
    return w;
}
inline float load_f32(const uint8_t* p) {
    uint32_t w;
    std::memcpy(&w, p, 4);
    return std::bit_cast<float>(w);
}

inline void put_u16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}
inline void put_u32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline void put_f32(std::vector<uint8_t>& out, float v) { put_u32(out, std::bit_cast<uint32_t>(v)); }

// "unsupported version 0xAB, expected 0xCD": two upper-case hex digits each.
inline std::string unsupported_version(uint8_t got, uint8_t expected) {
    char text[64];
    std::snprintf(text, sizeof text, "unsupported version 0x%02X, expected 0x%02X", got, expected);
    return text;
}

inline std::string too_short(uint64_t need, uint64_t got) {
    return "buffer too short: need " + std::to_string(need) + ", got " + std::to_string(got);
}

}  // namespace quillane::bytes
