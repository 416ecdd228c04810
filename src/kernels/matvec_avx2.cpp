// LaneMatrix products with eight outputs per AVX2 register.
#include <immintrin.h>

#include <algorithm>

#include "implementations.hpp"
#include "matvec.hpp"

namespace quillane::kernels::avx2 {

namespace {

template <int R>
__attribute__((target("avx2"))) void panel(const float* base, const float* x, size_t inner,
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

__attribute__((target("avx2"))) void lane_multiply(const LaneMatrix& m, const float* x,
                                                   float* out) {
    alignas(32) float lanes[32];
    for (const LaneMatrix::Panel& p : m.panels()) {
        const float* base = m.data() + p.offset;
        __m256 acc[4];
        switch (p.width) {
            case 32: panel<4>(base, x, m.inner(), acc); break;
            case 24: panel<3>(base, x, m.inner(), acc); break;
            case 16: panel<2>(base, x, m.inner(), acc); break;
            default: panel<1>(base, x, m.inner(), acc); break;
        }
        for (size_t r = 0; r < p.width / 8; ++r) _mm256_store_ps(lanes + 8 * r, acc[r]);
        const size_t n = std::min(p.width, m.outputs() - p.first_output);
        std::copy(lanes, lanes + n, out + p.first_output);
    }
}

}  // namespace quillane::kernels::avx2
