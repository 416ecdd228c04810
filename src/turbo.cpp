#include "turbo.hpp"

#include "bytes.hpp"

#include <cmath>

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
    if (auto ok = check_parameters(dim, bits, m); !ok) return std::unexpected(ok.error());
    auto rotation = RandomRotation::make(dim, seed);
    if (!rotation) return std::unexpected(rotation.error());
    auto polar = PolarQuantizer::make(dim, bits);
    if (!polar) return std::unexpected(polar.error());
    auto qjl = QjlQuantizer::make(dim, m, seed + 1);  // wraps modulo 2^64
    if (!qjl) return std::unexpected(qjl.error());
    return TurboQuantizer(std::move(*rotation), std::move(*polar), std::move(*qjl), dim, m, seed,
                          bits);
}

Status TurboQuantizer::check_sign_bytes(const TurboCode& code) const {
    if (code.qjl.signs.size() < qjl_.sign_bytes()) {
        return fail(DimensionMismatch{num_projections_, code.qjl.num_projections});
    }
    return {};
}

Result<TurboCode> TurboQuantizer::encode(std::span<const float> x) const {
    if (auto ok = check_dimension(dim_, x.size()); !ok) return std::unexpected(ok.error());
    if (auto ok = check_finite(x); !ok) return std::unexpected(ok.error());
    const std::vector<float> y = rotation_.apply(x);
    auto polar = polar_.encode(y);
    if (!polar) return std::unexpected(polar.error());
    const std::vector<float> y_hat = polar_.decode(*polar);
    std::vector<float> residual(dim_);
    for (size_t i = 0; i < dim_; ++i) residual[i] = y[i] - y_hat[i];
    auto sketch = qjl_.sketch(residual);
    if (!sketch) return std::unexpected(sketch.error());
    return TurboCode{std::move(*polar), std::move(*sketch)};
}

std::vector<float> TurboQuantizer::decode(const TurboCode& code) const {
    return rotation_.apply_inverse(polar_.decode(code.polar));
}

Result<float> TurboQuantizer::inner_product(const TurboCode& code,
                                            std::span<const float> query) const {
    if (auto ok = check_dimension(dim_, query.size()); !ok) return std::unexpected(ok.error());
    if (auto ok = check_finite(query); !ok) return std::unexpected(ok.error());
    if (auto ok = check_sign_bytes(code); !ok) return std::unexpected(ok.error());
    const std::vector<float> y = rotation_.apply(query);
    auto t = polar_.inner_product(code.polar, y);
    if (!t) return std::unexpected(t.error());
    auto c = qjl_.estimate(code.qjl, y);
    if (!c) return std::unexpected(c.error());
    return *t + *c;
}

void check_polar_payload_size(uint64_t size) {
    if (size > 0xFFFFFFFFull) {
        throw InvariantFailure(
            "polar payload exceeds u32::MAX; dimension too large for compact format");
    }
}

namespace {

float polar_dot_reference(const PolarQuantizer& polar, const PolarCode& code,
                          std::span<const float> y) {
    const std::vector<float> y_hat = polar.decode_reference(code);
    float t = -0.0f;
    for (size_t k = 0; k < y_hat.size(); ++k) t = t + y_hat[k] * y[k];
    return t;
}

}  // namespace

Result<TurboCode> TurboQuantizer::encode_reference(std::span<const float> x) const {
    if (auto ok = check_dimension(dim_, x.size()); !ok) return std::unexpected(ok.error());
    if (auto ok = check_finite(x); !ok) return std::unexpected(ok.error());
    const std::vector<float> y = rotation_.apply_reference(x);
    auto polar = polar_.encode(y);
    if (!polar) return std::unexpected(polar.error());
    const std::vector<float> y_hat = polar_.decode_reference(*polar);
    std::vector<float> r(dim_);
    for (size_t i = 0; i < dim_; ++i) r[i] = y[i] - y_hat[i];
    if (auto ok = check_finite(r); !ok) return std::unexpected(ok.error());
    float s = -0.0f;
    for (size_t i = 0; i < dim_; ++i) s = s + r[i] * r[i];
    QjlSketch sketch;
    sketch.signs.assign(qjl_.sign_bytes(), 0);
    for (size_t j = 0; j < num_projections_; ++j) {
        if (qjl_.project(j, r) >= 0.0f) sketch.signs[j / 8] |= static_cast<uint8_t>(1u << (j % 8));
    }
    sketch.num_projections = num_projections_;
    sketch.norm = std::sqrt(s);
    return TurboCode{std::move(*polar), std::move(sketch)};
}

std::vector<float> TurboQuantizer::decode_reference(const TurboCode& code) const {
    return rotation_.apply_inverse_reference(polar_.decode_reference(code.polar));
}

Result<float> TurboQuantizer::inner_product_reference(const TurboCode& code,
                                                      std::span<const float> query) const {
    if (auto ok = check_dimension(dim_, query.size()); !ok) return std::unexpected(ok.error());
    if (auto ok = check_finite(query); !ok) return std::unexpected(ok.error());
    if (auto ok = check_sign_bytes(code); !ok) return std::unexpected(ok.error());
    const std::vector<float> y = rotation_.apply_reference(query);
    if (auto ok = check_finite(y); !ok) return std::unexpected(ok.error());
    const float t = polar_dot_reference(polar_, code.polar, y);
    float c = 0.0f;
    if (!(code.qjl.norm < qjl_norm_epsilon())) {
        std::vector<float> p(num_projections_);
        for (size_t j = 0; j < num_projections_; ++j) p[j] = qjl_.project(j, y);
        c = qjl_.signed_correction(code.qjl, p);
    }
    return t + c;
}

Result<PreparedQuery> TurboQuantizer::prepare_query(std::span<const float> query) const {
    if (auto ok = check_dimension(dim_, query.size()); !ok) return std::unexpected(ok.error());
    if (auto ok = check_finite(query); !ok) return std::unexpected(ok.error());
    PreparedQuery prepared;
    prepared.rotated = rotation_.apply(query);
    // The stages check the rotated query; it is the same for every code.
    if (auto ok = check_finite(prepared.rotated); !ok) return std::unexpected(ok.error());
    prepared.projections = qjl_.project_all(prepared.rotated);
    return prepared;
}

Result<float> TurboQuantizer::score(const TurboCode& code, const PreparedQuery& prepared) const {
    if (auto ok = check_sign_bytes(code); !ok) return std::unexpected(ok.error());
    const float t = polar_.dot(code.polar, prepared.rotated);
    const float c = code.qjl.norm < qjl_norm_epsilon()
                        ? 0.0f
                        : qjl_.signed_correction(code.qjl, prepared.projections);
    return t + c;
}

kernels::CodeLayout TurboQuantizer::code_layout() const {
    const size_t pairs = dim_ / 2;
    const size_t polar = 4 + 6 * pairs;
    return {code_size_bytes(), pairs, 9, 9 + 4 * pairs, 5 + polar + 3, 5 + polar + 7,
            num_projections_};
}

bool TurboQuantizer::is_regular_code(std::span<const uint8_t> b) const {
    const kernels::CodeLayout l = code_layout();
    if (b.size() != l.stride) return false;
    const uint32_t polar = static_cast<uint32_t>(4 + 6 * l.pairs);
    const size_t qjl = 5 + polar;
    const bool header = b[0] == bytes::FORMAT_VERSION && bytes::read_u32(b, 1) == polar &&
                        b[5] == bytes::FORMAT_VERSION && b[6] == bits_ &&
                        bytes::read_u16(b, 7) == l.pairs && b[qjl] == bytes::FORMAT_VERSION &&
                        bytes::read_u16(b, qjl + 1) == num_projections_;
    const uint32_t norm = bytes::read_u32(b, l.norm);
    const bool finite = (norm & 0x7F800000u) != 0x7F800000u;
    const bool non_negative = (norm & 0x80000000u) == 0 || norm == 0x80000000u;
    return header && finite && non_negative;
}

kernels::ScanInputs TurboQuantizer::scan_inputs(const PreparedQuery& prepared,
                                                const kernels::LevelWindow& window) const {
    return {code_layout(),
            prepared.rotated.data(),
            prepared.projections.data(),
            polar_.cos_levels().data(),
            polar_.sin_levels().data(),
            static_cast<uint32_t>(polar_.cos_levels().size() - 1),
            window,
            qjl_norm_epsilon(),
            qjl_sqrt_half_pi()};
}

kernels::LevelWindow TurboQuantizer::level_window(std::span<const uint8_t> bytes) const {
    const kernels::CodeLayout l = code_layout();
    const uint32_t last = static_cast<uint32_t>(polar_.cos_levels().size() - 1);
    kernels::LevelWindow w{last, 0};
    for (size_t j = 0; j < l.pairs; ++j) {
        const uint32_t level = std::min<uint32_t>(bytes::read_u16(bytes, l.indices + 2 * j), last);
        w.lowest = std::min(w.lowest, level);
        w.highest = std::max(w.highest, level);
    }
    return w;
}

std::vector<uint8_t> TurboCode::to_bytes() const {
    const std::vector<uint8_t> polar_bytes = polar.to_bytes();
    const std::vector<uint8_t> qjl_bytes = qjl.to_bytes();
    check_polar_payload_size(polar_bytes.size());
    std::vector<uint8_t> out;
    out.reserve(5 + polar_bytes.size() + qjl_bytes.size());
    out.push_back(bytes::FORMAT_VERSION);
    bytes::put_u32(out, static_cast<uint32_t>(polar_bytes.size()));
    out.insert(out.end(), polar_bytes.begin(), polar_bytes.end());
    out.insert(out.end(), qjl_bytes.begin(), qjl_bytes.end());
    return out;
}

Result<TurboCode> TurboCode::from_bytes(std::span<const uint8_t> b) {
    if (b.empty()) return deserialization_failed("buffer is empty");
    if (b[0] != bytes::FORMAT_VERSION) return deserialization_failed(bytes::unsupported_version(b[0]));
    if (b.size() < 5) return deserialization_failed("buffer too short for polar length prefix");
    const uint64_t p = bytes::read_u32(b, 1);
    if (static_cast<uint64_t>(b.size()) < 5 + p) {
        return deserialization_failed("buffer too short for polar payload");
    }
    auto polar = PolarCode::from_bytes(b.subspan(5, p));
    if (!polar) return std::unexpected(polar.error());
    if (b.size() == 5 + p) return deserialization_failed("missing qjl payload");
    auto qjl = QjlSketch::from_bytes(b.subspan(5 + p));
    if (!qjl) return std::unexpected(qjl.error());
    return TurboCode{std::move(*polar), std::move(*qjl)};
}

}  // namespace quillane
