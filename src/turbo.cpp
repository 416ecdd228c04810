#include "turbo.hpp"

#include <cmath>

#include "estimate.hpp"

namespace quillane {

Status TurboQuantizer::check_parameters(uint64_t dim, uint8_t bits, uint64_t m) {
    if (dim == 0) return fail(ZeroDimension{});
    if (dim % 2 != 0) return fail(OddDimension{dim});
    if (dim > MAX_DIM) return fail(DimensionTooLarge{dim, MAX_DIM});
    if (bits == 0 || bits > 16) return fail(InvalidBitWidth{bits});
    if (m == 0) return fail(ZeroProjections{});
    if (m > MAX_PROJECTIONS) return fail(DimensionTooLarge{m, MAX_PROJECTIONS});
    return {};
}

Result<TurboQuantizer> TurboQuantizer::make(uint64_t dim, uint8_t bits, uint64_t m,
                                            uint64_t seed) {
    // Refuse bad parameters before the O(dim^3) rotation is built.
    QL_TRY(check_parameters(dim, bits, m));
    QL_TRY_ASSIGN(RandomRotation rotation, RandomRotation::make(dim, seed));
    QL_TRY_ASSIGN(PolarQuantizer polar, PolarQuantizer::make(dim, bits));
    QL_TRY_ASSIGN(QjlQuantizer qjl, QjlQuantizer::make(dim, m, seed + 1));  // wraps modulo 2^64
    return TurboQuantizer(std::move(rotation), std::move(polar), std::move(qjl), dim, m, seed,
                          bits);
}

Status TurboQuantizer::check_query(std::span<const float> query) const {
    QL_TRY(check_dimension(dim_, query.size()));
    return check_finite(query);
}

Status TurboQuantizer::check_sign_bytes(const TurboCode& code) const {
    if (code.qjl.signs.size() < qjl_.sign_bytes()) {
        return fail(DimensionMismatch{num_projections_, code.qjl.num_projections});
    }
    return {};
}

Result<TurboCode> TurboQuantizer::encode(std::span<const float> x) const {
    QL_TRY(check_query(x));
    const std::vector<float> y = rotation_.apply(x);
    QL_TRY_ASSIGN(PolarCode polar, polar_.encode(y));
    const std::vector<float> y_hat = polar_.decode(polar);
    std::vector<float> residual(dim_);
    for (size_t i = 0; i < dim_; ++i) residual[i] = y[i] - y_hat[i];
    QL_TRY_ASSIGN(QjlSketch sketch, qjl_.sketch(residual));
    return TurboCode{std::move(polar), std::move(sketch)};
}

Result<std::vector<uint8_t>> TurboQuantizer::encode_to_bytes(std::span<const float> x) const {
    QL_TRY_ASSIGN(const TurboCode code, encode(x));
    if (std::isinf(code.qjl.norm)) return deserialization_failed("norm is infinite");
    return code.to_bytes();
}

std::vector<float> TurboQuantizer::decode(const TurboCode& code) const {
    return rotation_.apply_inverse(polar_.decode(code.polar));
}

Result<float> TurboQuantizer::inner_product(const TurboCode& code,
                                            std::span<const float> query) const {
    QL_TRY(check_query(query));
    QL_TRY(check_sign_bytes(code));
    QL_TRY_ASSIGN(const PreparedQuery prepared, rotate_and_project(query));
    return estimate(code, prepared);
}

Result<PreparedQuery> TurboQuantizer::prepare_query(std::span<const float> query) const {
    QL_TRY(check_query(query));
    return rotate_and_project(query);
}

Result<PreparedQuery> TurboQuantizer::rotate_and_project(std::span<const float> query) const {
    PreparedQuery prepared;
    prepared.rotated = rotation_.apply(query);
    // The stages check the rotated query; it is the same for every code.
    QL_TRY(check_finite(prepared.rotated));
    prepared.projections = qjl_.project_all(prepared.rotated);
    return prepared;
}

Result<float> TurboQuantizer::score(const TurboCode& code, const PreparedQuery& prepared) const {
    QL_TRY(check_sign_bytes(code));
    return estimate(code, prepared);
}

float TurboQuantizer::estimate(const TurboCode& code, const PreparedQuery& prepared) const {
    return turbo_estimate(polar_.dot(code.polar, prepared.rotated), code.qjl.norm,
                          qjl_.signed_sum(code.qjl, prepared.projections), num_projections_);
}

Result<TurboCode> TurboQuantizer::encode_reference(std::span<const float> x) const {
    QL_TRY(check_query(x));
    const std::vector<float> y = rotation_.apply_reference(x);
    QL_TRY_ASSIGN(PolarCode polar, polar_.encode(y));
    const std::vector<float> y_hat = polar_.decode_reference(polar);
    std::vector<float> r(dim_);
    for (size_t i = 0; i < dim_; ++i) r[i] = y[i] - y_hat[i];
    QL_TRY(check_finite(r));
    float s = -0.0f;
    for (size_t i = 0; i < dim_; ++i) s = s + r[i] * r[i];
    QjlSketch sketch;
    sketch.signs.assign(qjl_.sign_bytes(), 0);
    for (size_t j = 0; j < num_projections_; ++j) {
        if (qjl_.project(j, r) >= 0.0f) sketch.signs[j / 8] |= static_cast<uint8_t>(1u << (j % 8));
    }
    sketch.num_projections = num_projections_;
    sketch.norm = std::sqrt(s);
    return TurboCode{std::move(polar), std::move(sketch)};
}

std::vector<float> TurboQuantizer::decode_reference(const TurboCode& code) const {
    return rotation_.apply_inverse_reference(polar_.decode_reference(code.polar));
}

Result<float> TurboQuantizer::inner_product_reference(const TurboCode& code,
                                                      std::span<const float> query) const {
    QL_TRY(check_query(query));
    QL_TRY(check_sign_bytes(code));
    const std::vector<float> y = rotation_.apply_reference(query);
    QL_TRY(check_finite(y));
    const std::vector<float> y_hat = polar_.decode_reference(code.polar);
    float t = -0.0f;
    for (size_t k = 0; k < y_hat.size(); ++k) t = t + y_hat[k] * y[k];
    std::vector<float> p(num_projections_);
    for (size_t j = 0; j < num_projections_; ++j) p[j] = qjl_.project(j, y);
    return turbo_estimate(t, code.qjl.norm, qjl_.signed_sum(code.qjl, p), num_projections_);
}

}  // namespace quillane
