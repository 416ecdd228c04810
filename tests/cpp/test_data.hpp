// Exact reference outputs shipped with the tests (tests/data).
#pragma once

#include <nlohmann/json.hpp>

#include <bit>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

namespace quillane::testing_data {

inline const nlohmann::json& reference() {
    static const nlohmann::json data = [] {
        std::ifstream in(std::string(QUILLANE_TEST_DATA) + "/reference-vectors.json");
        return nlohmann::json::parse(in);
    }();
    return data;
}

inline uint64_t hex_u64(const std::string& s) { return std::stoull(s, nullptr, 16); }
inline uint32_t hex_u32(const std::string& s) {
    return static_cast<uint32_t>(std::stoul(s, nullptr, 16));
}
inline float hex_f32(const std::string& s) { return std::bit_cast<float>(hex_u32(s)); }

inline std::vector<uint8_t> hex_bytes(const std::string& s) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < s.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(std::stoul(s.substr(i, 2), nullptr, 16)));
    }
    return out;
}

// Little-endian float32 bytes, as the reference file stores vectors.
inline std::vector<float> hex_floats_le(const std::string& s) {
    const auto bytes = hex_bytes(s);
    std::vector<float> out;
    for (size_t i = 0; i + 3 < bytes.size(); i += 4) {
        const uint32_t w = uint32_t(bytes[i]) | uint32_t(bytes[i + 1]) << 8 |
                           uint32_t(bytes[i + 2]) << 16 | uint32_t(bytes[i + 3]) << 24;
        out.push_back(std::bit_cast<float>(w));
    }
    return out;
}

inline uint32_t bits(float f) { return std::bit_cast<uint32_t>(f); }

}  // namespace quillane::testing_data
