#include "quantizer.hpp"

#include <cmath>
#include <cstdio>

#include "compact/eight_sums.hpp"
#include "kernels/compact_dot.hpp"
#include "kernels/compact_encode.hpp"

namespace quillane {

namespace {

uint64_t splitmix64(uint64_t z) {
    z += 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

std::string hex32(uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", v);
    return text;
}

// sum of f64(y_i)^2.
double squared_norm(std::span<const float> y) {
    compact::EightSums s;
    s.add_all(y.size(), [&](size_t i) { return static_cast<double>(y[i]) * static_cast<double>(y[i]); });
    return s.total();
}

}  // namespace

uint32_t compact_fingerprint(uint64_t dim, uint8_t bits, uint64_t seed) {
    uint64_t h = splitmix64(seed);
    h = splitmix64(h ^ dim);
    h = splitmix64(h ^ bits);
    return static_cast<uint32_t>(h);
}

double compact_dot(const compact::ScalarQuantizer& q, const uint8_t* packed, size_t dim,
                   const float* y) {
    return kernels::compact_dot(q.levels, q.bits, packed, dim, y);
}

CompactQuantizer::CompactQuantizer(uint64_t dim, uint8_t bits, uint64_t seed)
    : dim_(dim),
      bits_(bits),
      seed_(seed),
      fingerprint_(compact_fingerprint(dim, bits, seed)),
      rotation_(dim, seed),
      levels_(compact::lloyd_max(bits)) {}

Result<CompactQuantizer> CompactQuantizer::make(uint64_t dim, uint8_t bits, uint64_t seed) {
    if (dim == 0) return fail(ZeroDimension{});
    if (dim > MAX_DIM) return fail(DimensionTooLarge{dim, MAX_DIM});
    if (bits == 0 || bits > MAX_BITS) return fail(InvalidBitWidth{bits, MAX_BITS});
    return CompactQuantizer(dim, bits, seed);
}

Result<std::vector<uint8_t>> CompactQuantizer::encode(std::span<const float> x) const {
    QL_TRY(check_dimension(dim_, x.size()));
    QL_TRY(check_finite(x));
    std::vector<float> y(dim_);
    rotation_.apply(x, y.data());
    const double s = squared_norm(y);
    if (!std::isfinite(s)) QL_TRY(check_finite(y));  // names the first non-finite element
    std::vector<uint8_t> codes(dim_);
    format::CompactHeader header{bits_, static_cast<uint32_t>(dim_), fingerprint_, 0.0f, 0.0f};
    if (s > 0.0) {
        // The rotated unit vector times sqrt(dim): coordinates close to N(0, 1).
        const double k = std::sqrt(static_cast<double>(dim_)) / std::sqrt(s);
        kernels::compact_cells(levels_.boundaries, levels_.count() - 1, y.data(), k, dim_,
                               codes.data());
        compact::EightSums dot_sums, energy_sums;
        kernels::compact_code_sums(levels_.levels, levels_.count(), codes.data(), y.data(), dim_, dot_sums.s,
                                   energy_sums.s);
        const double dot = dot_sums.total(), energy = energy_sums.total();
        // |y|^2 / <x^, y> makes scale * <x^, R q> unbiased; <x^, y> / |x^|^2 is the
        // least-squares length of the decoding.
        header.scale = static_cast<float>(s / dot);
        header.decode_scale = static_cast<float>(dot / energy);
        if (!std::isfinite(header.scale) || !std::isfinite(header.decode_scale)) {
            return deserialization_failed("scale is infinite");
        }
    } else {
        const uint32_t zero_cell = levels_.cell(0.0);
        for (uint8_t& c : codes) c = static_cast<uint8_t>(zero_cell);
    }
    return format::write_compact_code(header, codes);
}

Result<format::CompactHeader> CompactQuantizer::check_code(std::span<const uint8_t> code) const {
    QL_TRY_ASSIGN(const format::CompactHeader header, format::read_compact_header(code));
    if (header.dim != dim_) return fail(DimensionMismatch{dim_, header.dim});
    if (header.bits != bits_) {
        return deserialization_failed("code has " + std::to_string(header.bits) +
                                      " bits per coordinate, quantizer expects " +
                                      std::to_string(bits_));
    }
    if (header.fingerprint != fingerprint_) {
        return deserialization_failed("code was written by another quantizer (fingerprint " +
                                      hex32(header.fingerprint) + ", expected " +
                                      hex32(fingerprint_) + ")");
    }
    // A code has one length: bytes after it are not part of any code of this quantizer.
    if (code.size() != code_size_bytes()) {
        return deserialization_failed("code is " + std::to_string(code.size()) + " bytes long, expected " +
                                      std::to_string(code_size_bytes()));
    }
    return header;
}

Result<std::vector<float>> CompactQuantizer::decode(std::span<const uint8_t> code) const {
    QL_TRY_ASSIGN(const format::CompactHeader header, check_code(code));
    const uint8_t* packed = code.data() + format::CompactLayout::packed;
    std::vector<float> v(dim_);
    for (size_t i = 0; i < dim_; ++i) {
        v[i] = header.decode_scale * levels_.levels[format::unpack_code(packed, bits_, i)];
    }
    rotation_.apply_inverse(v, v.data());
    return v;
}

Result<CompactPrepared> CompactQuantizer::prepare_query(std::span<const float> query) const {
    QL_TRY(check_dimension(dim_, query.size()));
    QL_TRY(check_finite(query));
    CompactPrepared prepared{std::vector<float>(dim_)};
    rotation_.apply(query, prepared.rotated.data());
    QL_TRY(check_finite(prepared.rotated));
    return prepared;
}

float CompactQuantizer::score(const CompactPrepared& prepared, const uint8_t* code) const {
    return score_parts(prepared, format::code_scale(code), code + format::CompactLayout::packed);
}

void CompactQuantizer::dots(const CompactPrepared& prepared, const uint8_t* const* packed, size_t n,
                            double* dots) const {
    kernels::compact_dots(levels_.levels, levels_.bits, packed, n, dim_, prepared.rotated.data(), dots);
}

float CompactQuantizer::score_parts(const CompactPrepared& prepared, float scale, const uint8_t* packed) const {
    const double dot = compact_dot(levels_, packed, dim_, prepared.rotated.data());
    return static_cast<float>(static_cast<double>(scale) * dot);
}

Result<float> CompactQuantizer::inner_product(std::span<const uint8_t> code,
                                              std::span<const float> query) const {
    QL_TRY(check_code(code));
    QL_TRY_ASSIGN(const CompactPrepared prepared, prepare_query(query));
    return score(prepared, code.data());
}

}  // namespace quillane
