#include "qjl.hpp"

#include <bit>
#include <cmath>

#include "bytes.hpp"
#include "kernels/matvec.hpp"
#include "rng.hpp"

namespace quillane {

float qjl_sqrt_half_pi() { return std::bit_cast<float>(0x3FA06C99u); }
float qjl_norm_epsilon() { return std::bit_cast<float>(0x0DA24260u); }

Result<QjlQuantizer> QjlQuantizer::make(uint64_t dim, uint64_t m, uint64_t seed) {
    if (m == 0) return fail(ZeroProjections{});
    if (m > MAX_PROJECTIONS) return fail(DimensionTooLarge{m, MAX_PROJECTIONS});
    SeededRng rng(seed);
    return QjlQuantizer(rng.standard_normal_vec(dim * m), dim, m, seed);
}

QjlQuantizer::QjlQuantizer(std::vector<float> p, uint64_t dim, uint64_t m, uint64_t seed)
    : projection_matrix_(std::move(p)), dim_(dim), num_projections_(m), seed_(seed) {
    std::vector<float> transposed(dim * m);
    for (size_t j = 0; j < m; ++j) {
        for (size_t i = 0; i < dim; ++i) transposed[i * m + j] = projection_matrix_[j * dim + i];
    }
    lanes_ = kernels::LaneMatrix(transposed.data(), m, m, dim);
}

std::vector<float> QjlQuantizer::project_all(std::span<const float> v) const {
    std::vector<float> out(num_projections_);
    lanes_.multiply(v, out.data());
    return out;
}

float QjlQuantizer::project(size_t j, std::span<const float> v) const {
    const float* row = &projection_matrix_[j * dim_];
    float acc = -0.0f;
    for (size_t i = 0; i < dim_; ++i) acc = acc + row[i] * v[i];
    return acc;
}

Result<QjlSketch> QjlQuantizer::sketch(std::span<const float> r) const {
    if (auto ok = check_dimension(dim_, r.size()); !ok) return std::unexpected(ok.error());
    if (auto ok = check_finite(r); !ok) return std::unexpected(ok.error());
    float s = -0.0f;
    for (size_t i = 0; i < dim_; ++i) s = s + r[i] * r[i];
    QjlSketch out;
    out.signs.assign(sign_bytes(), 0);
    const std::vector<float> p = project_all(r);
    for (size_t j = 0; j < num_projections_; ++j) {
        if (p[j] >= 0.0f) out.signs[j / 8] |= static_cast<uint8_t>(1u << (j % 8));
    }
    out.num_projections = num_projections_;
    out.norm = std::sqrt(s);
    return out;
}

Result<float> QjlQuantizer::estimate(const QjlSketch& sketch, std::span<const float> y) const {
    if (auto ok = check_dimension(dim_, y.size()); !ok) return std::unexpected(ok.error());
    if (auto ok = check_finite(y); !ok) return std::unexpected(ok.error());
    if (sketch.norm < qjl_norm_epsilon()) return 0.0f;
    return signed_correction(sketch, project_all(y));
}

float QjlQuantizer::signed_correction(const QjlSketch& sketch,
                                      std::span<const float> projections) const {
    float acc = 0.0f;
    for (size_t j = 0; j < num_projections_; ++j) {
        const bool set = (sketch.signs[j / 8] >> (j % 8)) & 1u;
        acc = acc + (set ? projections[j] : -projections[j]);
    }
    const float m = static_cast<float>(num_projections_);
    return ((sketch.norm * qjl_sqrt_half_pi()) / m) * acc;
}

bool operator==(const QjlSketch& a, const QjlSketch& b) {
    return a.signs == b.signs && a.num_projections == b.num_projections &&
           std::bit_cast<uint32_t>(a.norm) == std::bit_cast<uint32_t>(b.norm);
}

std::vector<uint8_t> QjlSketch::to_bytes() const {
    if (num_projections > 65535) {
        throw InvariantFailure(
            "QjlSketch num_projections exceeds u16::MAX; too many projections for compact format");
    }
    std::vector<uint8_t> out;
    out.reserve(7 + signs.size());
    out.push_back(bytes::FORMAT_VERSION);
    bytes::put_u16(out, static_cast<uint16_t>(num_projections));
    bytes::put_f32(out, norm);
    out.insert(out.end(), signs.begin(), signs.end());
    return out;
}

Result<QjlSketch> QjlSketch::from_bytes(std::span<const uint8_t> b) {
    if (b.size() < 7) return deserialization_failed("buffer too short: need at least 7 bytes");
    if (b[0] != bytes::FORMAT_VERSION) return deserialization_failed(bytes::unsupported_version(b[0]));
    const size_t m = bytes::read_u16(b, 1);
    if (m == 0) return deserialization_failed("num_projections must be > 0");
    const float norm = bytes::read_f32(b, 3);
    if (std::isnan(norm)) return deserialization_failed("norm is NaN");
    if (std::isinf(norm)) return deserialization_failed("norm is infinite");
    if (norm < 0.0f) return deserialization_failed("norm is negative");
    const size_t need = 7 + (m + 7) / 8;
    if (b.size() < need) return deserialization_failed(bytes::too_short(need, b.size()));
    QjlSketch sketch;
    sketch.signs.assign(b.begin() + 7, b.begin() + need);
    sketch.num_projections = m;
    sketch.norm = norm;
    return sketch;
}

}  // namespace quillane
