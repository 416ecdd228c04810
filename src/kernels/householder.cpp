#include "householder.hpp"

#include <immintrin.h>

#include <algorithm>
#include <cmath>

#include "../chacha.hpp"
#include "../rotation.hpp"  // householder_dot, the plain kernel

namespace quillane::kernels {

namespace {

bool portable_only = false;

bool vector_lanes() {
    static const bool avx2 = cpu_has_avx2();
    return avx2 && !portable_only;
}

// The eight partial sums are exactly one register's lanes.
__attribute__((target("avx2"))) float dot8_avx2(const float* a, const float* b, size_t m) {
    const size_t blocks = m / 8;
    __m256 acc = _mm256_setzero_ps();
    for (size_t k = 0; k < blocks; ++k) {
        acc = _mm256_add_ps(acc, _mm256_mul_ps(_mm256_loadu_ps(a + 8 * k), _mm256_loadu_ps(b + 8 * k)));
    }
    alignas(32) float s[8];
    _mm256_store_ps(s, acc);
    float res = combine_partial_sums(s);
    for (size_t j = 8 * blocks; j < m; ++j) res = res + a[j] * b[j];
    return res;
}

__attribute__((target("avx2"))) void reflect_update_avx2(float* y, const float* x, size_t m,
                                                         float sigma, float t) {
    const __m256 vs = _mm256_set1_ps(sigma), vt = _mm256_set1_ps(t);
    size_t k = 0;
    for (; k + 8 <= m; k += 8) {
        const __m256 yk = _mm256_mul_ps(_mm256_loadu_ps(y + k), vs);
        _mm256_storeu_ps(y + k, _mm256_add_ps(yk, _mm256_mul_ps(_mm256_loadu_ps(x + k), vt)));
    }
    for (; k < m; ++k) y[k] = y[k] * sigma + x[k] * t;
}

__attribute__((target("avx2"))) void eliminate_avx2(float* y, const float* l, size_t m, float u) {
    const __m256 vu = _mm256_set1_ps(u);
    size_t k = 0;
    for (; k + 8 <= m; k += 8) {
        _mm256_storeu_ps(y + k, _mm256_sub_ps(_mm256_loadu_ps(y + k),
                                              _mm256_mul_ps(_mm256_loadu_ps(l + k), vu)));
    }
    for (; k < m; ++k) y[k] = y[k] - l[k] * u;
}

void reflect(const float* v, float* y, size_t m, float sigma) {
    const float d = dot8(v, y, m);
    reflect_update(y, v, m, sigma, d * (-2.0f * sigma));
}

// N dot8(v, y_i) at once: N independent add chains instead of one.
template <int N>
__attribute__((target("avx2"))) void dot8_many_avx2(const float* v, float* const* y, size_t m,
                                                    float* out) {
    const size_t blocks = m / 8;
    __m256 acc[N];
    for (int i = 0; i < N; ++i) acc[i] = _mm256_setzero_ps();
    for (size_t k = 0; k < blocks; ++k) {
        const __m256 vk = _mm256_loadu_ps(v + 8 * k);
        for (int i = 0; i < N; ++i) {
            acc[i] = _mm256_add_ps(acc[i], _mm256_mul_ps(vk, _mm256_loadu_ps(y[i] + 8 * k)));
        }
    }
    alignas(32) float s[8];
    for (int i = 0; i < N; ++i) {
        _mm256_store_ps(s, acc[i]);
        float res = combine_partial_sums(s);
        for (size_t j = 8 * blocks; j < m; ++j) res = res + v[j] * y[i][j];
        out[i] = res;
    }
}

// Reflects columns first, first + 1, ... (stride n, rows from `row`) by vector v.
void reflect_columns(const float* v, float* first, size_t count, size_t n, size_t m, float sigma) {
    size_t i = 0;
    if (vector_lanes()) {
        for (; i + 8 <= count; i += 8) {
            float* y[8];
            for (int k = 0; k < 8; ++k) y[k] = first + (i + k) * n;
            float d[8];
            dot8_many_avx2<8>(v, y, m, d);
            for (int k = 0; k < 8; ++k) reflect_update(y[k], v, m, sigma, d[k] * (-2.0f * sigma));
        }
        for (; i + 4 <= count; i += 4) {
            float* y[4] = {first + i * n, first + (i + 1) * n, first + (i + 2) * n,
                           first + (i + 3) * n};
            float d[4];
            dot8_many_avx2<4>(v, y, m, d);
            for (int k = 0; k < 4; ++k) reflect_update(y[k], v, m, sigma, d[k] * (-2.0f * sigma));
        }
    }
    for (; i < count; ++i) reflect(v, first + i * n, m, sigma);
}

constexpr size_t BLOCK = 32;

}  // namespace

void use_portable_factorisation_kernels(bool portable) { portable_only = portable; }

float dot8(const float* a, const float* b, size_t m) {
    return vector_lanes() ? dot8_avx2(a, b, m) : householder_dot(a, b, m);
}

void reflect_update(float* y, const float* x, size_t m, float sigma, float t) {
    if (vector_lanes()) {
        reflect_update_avx2(y, x, m, sigma, t);
    } else {
        for (size_t k = 0; k < m; ++k) y[k] = y[k] * sigma + x[k] * t;
    }
}

void eliminate(float* y, const float* l, size_t m, float u) {
    if (vector_lanes()) {
        eliminate_avx2(y, l, m, u);
    } else {
        for (size_t k = 0; k < m; ++k) y[k] = y[k] - l[k] * u;
    }
}

std::vector<float> householder_q_blocked(std::vector<float> g, size_t n) {
    std::vector<float> diag(n);
    std::vector<char> reflects(n, 0);  // factor != 0: the column's reflection is applied
    for (size_t j0 = 0; j0 < n; j0 += BLOCK) {
        const size_t j1 = std::min(n, j0 + BLOCK);
        // Reflections of every earlier column, in order, on this block of columns.
        for (size_t c = 0; c < j0; ++c) {
            if (!reflects[c]) continue;
            const float* x = &g[c * n + c];
            const float sigma = reflection_sign(diag[c]);
            reflect_columns(x, &g[j0 * n + c], j1 - j0, n, n - c, sigma);
        }
        // Then the block's own columns, as the plain algorithm does them.
        for (size_t c = j0; c < j1; ++c) {
            float* x = &g[c * n + c];
            const size_t m = n - c;
            bool reflecting = false;
            diag[c] = householder_vector(x, m, dot8, reflecting);
            if (!reflecting) continue;
            reflects[c] = 1;
            const float sigma = reflection_sign(diag[c]);
            if (c + 1 < j1) reflect_columns(x, &g[(c + 1) * n + c], j1 - c - 1, n, m, sigma);
        }
    }
    // Column j of Q starts as e_j and receives reflections j, j-1, ..., 0; columns are
    // independent, so a block of them shares each reflection vector's trip from memory.
    std::vector<float> q(n * n, 0.0f);
    for (size_t i = 0; i < n; ++i) q[i * n + i] = 1.0f;
    for (size_t j0 = 0; j0 < n; j0 += BLOCK) {
        const size_t j1 = std::min(n, j0 + BLOCK);
        for (size_t c = j1; c-- > 0;) {
            const float* v = &g[c * n + c];
            const float sigma = reflection_sign(diag[c]);
            const size_t from = std::max(c, j0);
            reflect_columns(v, &q[from * n + c], j1 - from, n, n - c, sigma);
        }
    }
    return q;
}

float lu_determinant_blocked(const std::vector<float>& q, size_t n) {
    std::vector<float> a = q;  // column-major copy
    auto col = [&](size_t c) { return &a[c * n]; };
    std::vector<size_t> pivot(n);
    std::vector<char> skipped(n, 0);
    size_t swaps = 0;
    for (size_t j0 = 0; j0 < n; j0 += BLOCK) {
        const size_t j1 = std::min(n, j0 + BLOCK);
        // Earlier steps on this block. A row exchange moves a row's multipliers with its
        // values, and every row below a step's pivot receives that step's elimination
        // wherever it sits, so the exchanges may all come first; the eliminations then
        // use the multipliers as the earlier columns hold them now.
        for (size_t c = 0; c < j0; ++c) {
            if (skipped[c] || pivot[c] == c) continue;
            for (size_t j = j0; j < j1; ++j) std::swap(col(j)[pivot[c]], col(j)[c]);
        }
        for (size_t c = 0; c < j0; ++c) {
            if (skipped[c]) continue;
            for (size_t j = j0; j < j1; ++j) {
                float* y = col(j);
                eliminate(y + c + 1, col(c) + c + 1, n - c - 1, y[c]);
            }
        }
        for (size_t c = j0; c < j1; ++c) {
            float* x = col(c);
            size_t p = c;
            float best = std::fabs(x[c]);
            for (size_t r = c + 1; r < n; ++r) {
                const float mag = std::fabs(x[r]);
                if (mag > best) {
                    best = mag;
                    p = r;
                }
            }
            pivot[c] = p;
            if (x[p] == 0.0f) {
                skipped[c] = 1;
                continue;
            }
            if (p != c) {
                // The whole rows: the finished columns now, the later ones as they come.
                for (size_t j = 0; j <= c; ++j) std::swap(col(j)[p], col(j)[c]);
                ++swaps;
            }
            const float inv = 1.0f / x[c];
            for (size_t r = c + 1; r < n; ++r) x[r] = x[r] * inv;
            for (size_t j = c + 1; j < j1; ++j) {
                float* y = col(j);
                if (p != c) std::swap(y[p], y[c]);
                eliminate(y + c + 1, x + c + 1, n - c - 1, y[c]);
            }
        }
    }
    float det = 1.0f;
    for (size_t i = 0; i < n; ++i) det = det * a[i * n + i];
    return (swaps % 2 == 1) ? -det : det;
}

}  // namespace quillane::kernels
