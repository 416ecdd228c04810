#include "matvec.hpp"

#include <immintrin.h>

#include <algorithm>

#include "../chacha.hpp"

namespace quillane::kernels {

void strided_matvec_reference(const float* a, size_t stride, size_t outputs, size_t inner,
                              const float* x, float* out) {
    for (size_t i = 0; i < outputs; ++i) {
        float acc = -0.0f;
        for (size_t k = 0; k < inner; ++k) acc = acc + a[k * stride + i] * x[k];
        out[i] = acc;
    }
}

LaneMatrix::LaneMatrix(const float* a, size_t stride, size_t outputs, size_t inner)
    : outputs_(outputs), inner_(inner) {
    const size_t padded = (outputs + 7) / 8 * 8;
    data_.assign(padded * inner, 0.0f);
    size_t offset = 0;
    for (size_t first = 0; first < padded; first += 32) {
        const size_t width = std::min<size_t>(32, padded - first);
        panels_.push_back({first, width, offset});
        for (size_t k = 0; k < inner; ++k) {
            for (size_t l = 0; l < width && first + l < outputs; ++l) {
                data_[offset + k * width + l] = a[k * stride + first + l];
            }
        }
        offset += width * inner;
    }
}

void LaneMatrix::multiply(std::span<const float> x, float* out) const {
    static const bool vector = cpu_has_avx2();
    if (vector) {
        multiply_avx2(x, out);
    } else {
        multiply_portable(x, out);
    }
}

void LaneMatrix::multiply_portable(std::span<const float> x, float* out) const {
    for (const Panel& p : panels_) {
        const float* base = data_.data() + p.offset;
        for (size_t l = 0; l < p.width && p.first_output + l < outputs_; ++l) {
            float acc = -0.0f;
            for (size_t k = 0; k < inner_; ++k) acc = acc + base[k * p.width + l] * x[k];
            out[p.first_output + l] = acc;
        }
    }
}

namespace {

template <int R>
__attribute__((target("avx2"))) void panel_avx2(const float* base, const float* x, size_t inner,
                                                __m256* acc) {
    for (int r = 0; r < R; ++r) acc[r] = _mm256_set1_ps(-0.0f);
    for (size_t k = 0; k < inner; ++k) {
        const __m256 xk = _mm256_set1_ps(x[k]);
        const float* row = base + k * (8 * R);
        for (int r = 0; r < R; ++r) {
            acc[r] = _mm256_add_ps(acc[r], _mm256_mul_ps(_mm256_loadu_ps(row + 8 * r), xk));
        }
    }
}

}  // namespace

__attribute__((target("avx2"))) void LaneMatrix::multiply_avx2(std::span<const float> x,
                                                               float* out) const {
    alignas(32) float lanes[32];
    for (const Panel& p : panels_) {
        const float* base = data_.data() + p.offset;
        __m256 acc[4];
        switch (p.width) {
            case 32: panel_avx2<4>(base, x.data(), inner_, acc); break;
            case 24: panel_avx2<3>(base, x.data(), inner_, acc); break;
            case 16: panel_avx2<2>(base, x.data(), inner_, acc); break;
            default: panel_avx2<1>(base, x.data(), inner_, acc); break;
        }
        for (size_t r = 0; r < p.width / 8; ++r) _mm256_store_ps(lanes + 8 * r, acc[r]);
        const size_t n = std::min(p.width, outputs_ - p.first_output);
        std::copy(lanes, lanes + n, out + p.first_output);
    }
}

}  // namespace quillane::kernels
