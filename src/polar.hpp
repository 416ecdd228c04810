// Polar stage: adjacent coordinate pairs as exact radii and codebook angle indices.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "codebook.hpp"
#include "error.hpp"

namespace quillane {

struct PolarCode {
    std::vector<float> radii;
    std::vector<uint16_t> angle_indices;
    uint8_t bits = 0;

    // Byte form: see format/turbo_layout.hpp.
    std::vector<uint8_t> to_bytes() const;
    static Result<PolarCode> from_bytes(std::span<const uint8_t> bytes);
};

// Equal when every radius has the same bit pattern (NaN payloads included).
bool operator==(const PolarCode& a, const PolarCode& b);

class PolarQuantizer {
public:
    static constexpr uint64_t MAX_DIM = 131070;

    static Result<PolarQuantizer> make(uint64_t dim, uint8_t bits);

    Result<PolarCode> encode(std::span<const float> vector) const;
    std::vector<float> decode(const PolarCode& code) const;
    // inner_product without its checks: the decoding dotted with y, sequential from -0.0.
    float dot(const PolarCode& code, std::span<const float> y) const;
    // The plain loop with cosf/sinf per pair that the level tables are proven against.
    std::vector<float> decode_reference(const PolarCode& code) const;
    Result<float> inner_product(const PolarCode& code, std::span<const float> query) const;

    const Codebook& codebook() const { return codebook_; }
    // cosf and sinf of level i times pi: the values decoding computes for index i.
    const std::vector<float>& cos_levels() const { return cos_levels_; }
    const std::vector<float>& sin_levels() const { return sin_levels_; }
    uint64_t dim() const { return dim_; }
    uint8_t bits() const { return bits_; }

private:
    PolarQuantizer(Codebook codebook, uint64_t dim, uint8_t bits);

    Codebook codebook_;
    std::vector<float> cos_levels_;
    std::vector<float> sin_levels_;
    uint64_t dim_;
    uint8_t bits_;
};

// float32 pi, 0x40490FDB.
float polar_pi();

}  // namespace quillane
