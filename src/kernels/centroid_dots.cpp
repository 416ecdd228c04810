// The centroid products on each instruction set: rows several at a time against one block
// of 16 centroids, each lane a centroid; the same products and sums in the same order.
#include <immintrin.h>

#include "dispatch.hpp"
#include "implementations.hpp"
#include "centroid_dots.hpp"

namespace quillane::kernels {

void centroid_dots(const CentroidBlocks& c, const float* rows, size_t n, float* out) {
    active().centroid_dots(c, rows, n, out);
}

namespace {

constexpr size_t L = CENTROID_LANES;
constexpr size_t GROUP = 8;  // rows sharing each load of the centroids

using DotsFn = void (*)(const CentroidBlocks& c, const float* const* x, float* out, size_t width);

// Groups of GROUP rows, then the rest one at a time.
void in_groups(const CentroidBlocks& c, const float* rows, size_t n, float* out, DotsFn group, DotsFn one) {
    const size_t width = c.blocks * L;
    size_t i = 0;
    for (; i + GROUP <= n; i += GROUP) {
        const float* x[GROUP];
        for (size_t r = 0; r < GROUP; ++r) x[r] = rows + (i + r) * c.dim;
        group(c, x, out + i * width, width);
    }
    for (; i < n; ++i) {
        const float* x = rows + i * c.dim;
        one(c, &x, out + i * width, width);
    }
}

}  // namespace

namespace portable {
void centroid_dots(const CentroidBlocks& c, const float* rows, size_t n, float* out) {
    const size_t width = c.blocks * L;
    for (size_t i = 0; i < n; ++i) {
        const float* x = rows + i * c.dim;
        for (size_t b = 0; b < c.blocks; ++b) {
            float acc[L] = {};
            const float* block = c.lanes + b * c.dim * L;
            for (size_t j = 0; j < c.dim; ++j) {
                for (size_t l = 0; l < L; ++l) acc[l] = acc[l] + x[j] * block[j * L + l];
            }
            for (size_t l = 0; l < L; ++l) out[i * width + b * L + l] = acc[l];
        }
    }
}
}  // namespace portable

namespace avx2 {
template <size_t ROWS>
__attribute__((target("avx2"))) void dots_of(const CentroidBlocks& c, const float* const* x, float* out, size_t width) {
    for (size_t b = 0; b < c.blocks; ++b) {
        const float* block = c.lanes + b * c.dim * L;
        __m256 lo[ROWS], hi[ROWS];
        for (size_t r = 0; r < ROWS; ++r) lo[r] = hi[r] = _mm256_setzero_ps();
        for (size_t j = 0; j < c.dim; ++j) {
            const __m256 c0 = _mm256_loadu_ps(block + j * L), c1 = _mm256_loadu_ps(block + j * L + 8);
            for (size_t r = 0; r < ROWS; ++r) {
                const __m256 v = _mm256_broadcast_ss(x[r] + j);
                lo[r] = _mm256_add_ps(lo[r], _mm256_mul_ps(v, c0));
                hi[r] = _mm256_add_ps(hi[r], _mm256_mul_ps(v, c1));
            }
        }
        for (size_t r = 0; r < ROWS; ++r) {
            _mm256_storeu_ps(out + r * width + b * L, lo[r]);
            _mm256_storeu_ps(out + r * width + b * L + 8, hi[r]);
        }
    }
}

__attribute__((target("avx2"))) void centroid_dots(const CentroidBlocks& c, const float* rows, size_t n, float* out) {
    in_groups(c, rows, n, out, dots_of<GROUP>, dots_of<1>);
}
}  // namespace avx2

namespace avx512 {
template <size_t ROWS>
__attribute__((target("avx512f"))) void dots_of(const CentroidBlocks& c, const float* const* x, float* out, size_t width) {
    for (size_t b = 0; b < c.blocks; ++b) {
        const float* block = c.lanes + b * c.dim * L;
        __m512 acc[ROWS];
        for (size_t r = 0; r < ROWS; ++r) acc[r] = _mm512_setzero_ps();
        for (size_t j = 0; j < c.dim; ++j) {
            const __m512 cj = _mm512_loadu_ps(block + j * L);
            for (size_t r = 0; r < ROWS; ++r) acc[r] = _mm512_add_ps(acc[r], _mm512_mul_ps(_mm512_set1_ps(x[r][j]), cj));
        }
        for (size_t r = 0; r < ROWS; ++r) _mm512_storeu_ps(out + r * width + b * L, acc[r]);
    }
}

__attribute__((target("avx512f"))) void centroid_dots(const CentroidBlocks& c, const float* rows, size_t n, float* out) {
    in_groups(c, rows, n, out, dots_of<GROUP>, dots_of<1>);
}
}  // namespace avx512

}  // namespace quillane::kernels
