#include "polar.hpp"

#include <algorithm>
#include <bit>
#include <cmath>


namespace quillane {

float polar_pi() { return std::bit_cast<float>(0x40490FDBu); }

PolarQuantizer::PolarQuantizer(Codebook codebook, uint64_t dim, uint8_t bits)
    : codebook_(std::move(codebook)), dim_(dim), bits_(bits) {
    // Same library calls on the same angles as decode_reference, once per level.
    const float pi = polar_pi();
    for (float level : codebook_.levels()) {
        const float angle = level * pi;
        cos_levels_.push_back(std::cos(angle));
        sin_levels_.push_back(std::sin(angle));
    }
}

Result<PolarQuantizer> PolarQuantizer::make(uint64_t dim, uint8_t bits) {
    if (dim > MAX_DIM) return fail(DimensionTooLarge{dim, MAX_DIM});
    QL_TRY_ASSIGN(Codebook codebook, Codebook::make(bits));
    return PolarQuantizer(std::move(codebook), dim, bits);
}

Result<PolarCode> PolarQuantizer::encode(std::span<const float> v) const {
    QL_TRY(check_dimension(dim_, v.size()));
    QL_TRY(check_finite(v));
    const float pi = polar_pi();
    const size_t pairs = v.size() / 2;
    PolarCode code;
    code.radii.reserve(pairs);
    code.angle_indices.reserve(pairs);
    code.bits = bits_;
    for (size_t j = 0; j < pairs; ++j) {
        const float x = v[2 * j];
        const float y = v[2 * j + 1];
        const float theta = std::atan2(y, x);
        const float r = std::sqrt(y * y + x * x);
        const float g = theta / pi;
        code.radii.push_back(r);
        code.angle_indices.push_back(codebook_.quantize(g));
    }
    return code;
}

std::vector<float> PolarQuantizer::decode(const PolarCode& code) const {
    std::vector<float> out(dim_, 0.0f);
    const size_t p = std::min({dim_ / 2, code.radii.size(), code.angle_indices.size()});
    const size_t last = cos_levels_.size() - 1;
    for (size_t j = 0; j < p; ++j) {
        const size_t level = std::min<size_t>(code.angle_indices[j], last);
        const float r = code.radii[j];
        out[2 * j] = cos_levels_[level] * r;
        out[2 * j + 1] = r * sin_levels_[level];
    }
    return out;
}

std::vector<float> PolarQuantizer::decode_reference(const PolarCode& code) const {
    std::vector<float> out(dim_, 0.0f);
    const float pi = polar_pi();
    size_t p = dim_ / 2;
    p = std::min(p, code.radii.size());
    p = std::min(p, code.angle_indices.size());
    for (size_t j = 0; j < p; ++j) {
        const float angle = codebook_.dequantize(code.angle_indices[j]) * pi;
        const float r = code.radii[j];
        out[2 * j] = std::cos(angle) * r;
        out[2 * j + 1] = r * std::sin(angle);
    }
    return out;
}

Result<float> PolarQuantizer::inner_product(const PolarCode& code,
                                            std::span<const float> query) const {
    QL_TRY(check_dimension(dim_, query.size()));
    QL_TRY(check_finite(query));
    return dot(code, query);
}

float PolarQuantizer::dot(const PolarCode& code, std::span<const float> y) const {
    const std::vector<float> decoded = decode(code);
    float t = -0.0f;
    for (size_t k = 0; k < dim_; ++k) t = t + decoded[k] * y[k];
    return t;
}

bool operator==(const PolarCode& a, const PolarCode& b) {
    if (a.bits != b.bits || a.angle_indices != b.angle_indices) return false;
    if (a.radii.size() != b.radii.size()) return false;
    for (size_t j = 0; j < a.radii.size(); ++j) {
        if (std::bit_cast<uint32_t>(a.radii[j]) != std::bit_cast<uint32_t>(b.radii[j])) return false;
    }
    return true;
}

}  // namespace quillane
