#include "codebook.hpp"

#include <bit>
#include <cmath>
#include <limits>

namespace quillane {

namespace {

const float INV_SQRT_2PI = std::bit_cast<float>(0x3ECC422Au);
const float SQRT_2 = std::bit_cast<float>(0x3FB504F3u);
const float ERF_P = std::bit_cast<float>(0x3EA7BA05u);
const float ERF_A1 = std::bit_cast<float>(0x3E827906u);
const float ERF_A2 = std::bit_cast<float>(0xBE91A98Eu);
const float ERF_A3 = std::bit_cast<float>(0x3FB5F0E3u);
const float ERF_A4 = std::bit_cast<float>(0xBFBA00E3u);
const float ERF_A5 = std::bit_cast<float>(0x3F87DC22u);
const float DEGENERATE_CELL = std::bit_cast<float>(0x2B8CBCCCu);
constexpr int LLOYD_ROUNDS = 30;

bool finite(float v) { return std::isfinite(v); }

void boundaries_from(const std::vector<float>& levels, std::vector<float>& boundaries) {
    for (size_t i = 0; i + 1 < levels.size(); ++i) {
        boundaries[i] = (levels[i] + levels[i + 1]) * 0.5f;
    }
}

}  // namespace

float normal_pdf(float x) { return std::exp((x * -0.5f) * x) * INV_SQRT_2PI; }

float erf_approx(float z) {
    const float a = std::fabs(z);
    const float t = 1.0f / (a * ERF_P + 1.0f);
    const float poly = ((((t * ERF_A5 + ERF_A4) * t + ERF_A3) * t + ERF_A2) * t + ERF_A1) * t;
    const float y = 1.0f - std::exp(-(a * a)) * poly;
    return z < 0.0f ? -y : y;
}

float normal_cdf(float x) { return (erf_approx(x / SQRT_2) + 1.0f) * 0.5f; }

float cell_centroid(float lo, float hi) {
    const bool lo_finite = finite(lo);
    const bool hi_finite = finite(hi);
    const float phi_lo = lo_finite ? normal_pdf(lo) : 0.0f;
    const float phi_hi = hi_finite ? normal_pdf(hi) : 0.0f;
    const float cdf_lo = lo_finite ? normal_cdf(lo) : 0.0f;
    const float cdf_hi = hi_finite ? normal_cdf(hi) : 1.0f;
    const float den = cdf_hi - cdf_lo;
    if (std::fabs(den) < DEGENERATE_CELL) {
        if (lo_finite && hi_finite) return (lo + hi) * 0.5f;
        if (lo_finite) return lo + 3.0f;
        if (hi_finite) return hi + (-3.0f);
        return 0.0f;
    }
    return (phi_lo - phi_hi) / den;
}

Result<Codebook> Codebook::make(uint8_t bits) {
    if (bits == 0 || bits > 16) return fail(InvalidBitWidth{bits});
    const size_t n = size_t{1} << bits;
    const float step = 6.0f / static_cast<float>(n);
    std::vector<float> levels(n);
    for (size_t i = 0; i < n; ++i) levels[i] = (static_cast<float>(i) + 0.5f) * step + (-3.0f);
    std::vector<float> boundaries(n - 1);
    std::vector<float> next(n);
    const float inf = std::numeric_limits<float>::infinity();
    for (int round = 0; round < LLOYD_ROUNDS; ++round) {
        boundaries_from(levels, boundaries);
        for (size_t i = 0; i < n; ++i) {
            const float lo = i == 0 ? -inf : boundaries[i - 1];
            const float hi = i == n - 1 ? inf : boundaries[i];
            next[i] = cell_centroid(lo, hi);
        }
        levels.swap(next);
    }
    boundaries_from(levels, boundaries);
    return Codebook(std::move(levels), std::move(boundaries), bits);
}

uint16_t Codebook::quantize(float value) const {
    const size_t m = boundaries_.size();
    if (m == 0) return 0;
    size_t base = 0;
    size_t size = m;
    while (size > 1) {
        const size_t half = size / 2;
        if (value > boundaries_[base + half]) base = base + half;
        size = size - half;
    }
    const size_t result = value > boundaries_[base] ? base + 1 : base;
    return result > 65535 ? uint16_t{65535} : static_cast<uint16_t>(result);
}

float Codebook::dequantize(uint16_t index) const {
    const size_t i = index < levels_.size() ? index : levels_.size() - 1;
    return levels_[i];
}

}  // namespace quillane
