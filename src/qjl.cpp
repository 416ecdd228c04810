#include "qjl.hpp"

#include <bit>
#include <cmath>

#include "estimate.hpp"
#include "kernels/matvec.hpp"
#include "rng.hpp"

namespace quillane {

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
    QL_TRY(check_dimension(dim_, r.size()));
    QL_TRY(check_finite(r));
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
    QL_TRY(check_dimension(dim_, y.size()));
    QL_TRY(check_finite(y));
    return qjl_correction(sketch.norm, signed_sum(sketch, project_all(y)), num_projections_);
}

float QjlQuantizer::signed_sum(const QjlSketch& sketch, std::span<const float> projections) const {
    float acc = 0.0f;
    for (size_t j = 0; j < num_projections_; ++j) {
        const bool set = (sketch.signs[j / 8] >> (j % 8)) & 1u;
        acc = acc + (set ? projections[j] : -projections[j]);
    }
    return acc;
}

bool operator==(const QjlSketch& a, const QjlSketch& b) {
    return a.signs == b.signs && a.num_projections == b.num_projections &&
           std::bit_cast<uint32_t>(a.norm) == std::bit_cast<uint32_t>(b.norm);
}

}  // namespace quillane
