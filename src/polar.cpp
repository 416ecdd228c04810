#include "polar.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

#include "bytes.hpp"

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
    auto codebook = Codebook::make(bits);
    if (!codebook) return std::unexpected(codebook.error());
    return PolarQuantizer(std::move(*codebook), dim, bits);
}

Result<PolarCode> PolarQuantizer::encode(std::span<const float> v) const {
    if (auto ok = check_dimension(dim_, v.size()); !ok) return std::unexpected(ok.error());
    if (auto ok = check_finite(v); !ok) return std::unexpected(ok.error());
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
    if (auto ok = check_dimension(dim_, query.size()); !ok) return std::unexpected(ok.error());
    if (auto ok = check_finite(query); !ok) return std::unexpected(ok.error());
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

std::vector<uint8_t> PolarCode::to_bytes() const {
    if (radii.size() > 65535) {
        throw InvariantFailure(
            "PolarCode num_pairs exceeds u16::MAX; dimension too large for compact format");
    }
    std::vector<uint8_t> out;
    out.reserve(4 + 4 * radii.size() + 2 * angle_indices.size());
    out.push_back(bytes::FORMAT_VERSION);
    out.push_back(bits);
    bytes::put_u16(out, static_cast<uint16_t>(radii.size()));
    for (float r : radii) bytes::put_f32(out, r);
    for (uint16_t i : angle_indices) bytes::put_u16(out, i);
    return out;
}

Result<PolarCode> PolarCode::from_bytes(std::span<const uint8_t> b) {
    if (b.size() < 4) return deserialization_failed("buffer too short: need at least 4 bytes");
    if (b[0] != bytes::FORMAT_VERSION) return deserialization_failed(bytes::unsupported_version(b[0]));
    const uint8_t bits = b[1];
    if (bits == 0 || bits > 16) {
        return deserialization_failed("invalid bit width " + std::to_string(bits) +
                                      ": must be 1..=16");
    }
    const size_t n = bytes::read_u16(b, 2);
    const size_t need = 4 + 6 * n;
    if (b.size() < need) return deserialization_failed(bytes::too_short(need, b.size()));
    PolarCode code;
    code.bits = bits;
    code.radii.resize(n);
    code.angle_indices.resize(n);
    for (size_t j = 0; j < n; ++j) code.radii[j] = bytes::read_f32(b, 4 + 4 * j);
    for (size_t j = 0; j < n; ++j) code.angle_indices[j] = bytes::read_u16(b, 4 + 4 * n + 2 * j);
    return code;
}

}  // namespace quillane
