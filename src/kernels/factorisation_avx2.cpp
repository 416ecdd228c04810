// The factorisation's kernels in AVX2 lanes. Vectorised across independent rows of
// a column (and across columns); the dot kernel's eight partial sums are exactly one
// register's lanes.
#include <immintrin.h>

#include <algorithm>

#include "factorisation.hpp"
#include "implementations.hpp"

#define QL_AVX2 __attribute__((target("avx2")))

namespace quillane::kernels::avx2 {

namespace {

QL_AVX2 float dot8_avx2(const float* a, const float* b, size_t m) {
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

QL_AVX2 void reflect_update_avx2(float* y, const float* x, size_t m,
                                                         float sigma, float t) {
    const __m256 vs = _mm256_set1_ps(sigma), vt = _mm256_set1_ps(t);
    size_t k = 0;
    for (; k + 8 <= m; k += 8) {
        const __m256 yk = _mm256_mul_ps(_mm256_loadu_ps(y + k), vs);
        _mm256_storeu_ps(y + k, _mm256_add_ps(yk, _mm256_mul_ps(_mm256_loadu_ps(x + k), vt)));
    }
    for (; k < m; ++k) y[k] = y[k] * sigma + x[k] * t;
}

QL_AVX2 void eliminate_avx2(float* y, const float* l, size_t m, float u) {
    const __m256 vu = _mm256_set1_ps(u);
    size_t k = 0;
    for (; k + 8 <= m; k += 8) {
        _mm256_storeu_ps(y + k, _mm256_sub_ps(_mm256_loadu_ps(y + k),
                                              _mm256_mul_ps(_mm256_loadu_ps(l + k), vu)));
    }
    for (; k < m; ++k) y[k] = y[k] - l[k] * u;
}

QL_AVX2 void reflect(const float* v, float* y, size_t m, float sigma) {
    const float d = dot8_avx2(v, y, m);
    reflect_update_avx2(y, v, m, sigma, d * (-2.0f * sigma));
}

// N dot8(v, y_i) at once: N independent add chains instead of one.
template <int N>
QL_AVX2 void dot8_many_avx2(const float* v, float* const* y, size_t m,
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
QL_AVX2 void reflect_columns(const float* v, float* first, size_t count, size_t n, size_t m,
                             float sigma) {
    size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        float* y[8];
        for (int k = 0; k < 8; ++k) y[k] = first + (i + k) * n;
        float d[8];
        dot8_many_avx2<8>(v, y, m, d);
        for (int k = 0; k < 8; ++k) reflect_update_avx2(y[k], v, m, sigma, d[k] * (-2.0f * sigma));
    }
    for (; i + 4 <= count; i += 4) {
        float* y[4] = {first + i * n, first + (i + 1) * n, first + (i + 2) * n, first + (i + 3) * n};
        float d[4];
        dot8_many_avx2<4>(v, y, m, d);
        for (int k = 0; k < 4; ++k) reflect_update_avx2(y[k], v, m, sigma, d[k] * (-2.0f * sigma));
    }
    for (; i < count; ++i) reflect(v, first + i * n, m, sigma);
}

// y * sigma + p. With sigma exactly +1 or -1 this is y + p or p - y, the same value for
// every operand that is not NaN (x - y is x + (-y), and y * 1 is y), one multiply fewer.
enum class Sign { plus, minus, other };

template <Sign S>
QL_AVX2 inline __m256 reflected(__m256 y, __m256 p, __m256 sigma) {
    if constexpr (S == Sign::plus) return _mm256_add_ps(y, p);
    if constexpr (S == Sign::minus) return _mm256_sub_ps(p, y);
    return _mm256_add_ps(_mm256_mul_ps(y, sigma), p);
}

// Applies reflection r (t[i] its factor for column i) to N columns and, in the same pass,
// forms the dot products d of the next reflection nx with the updated columns. cols point
// at row 0 of each column. The dot's eight partial sums are aligned at nx.row as the
// kernel defines them; rows outside the aligned chunks are updated one at a time.
template <int N, Sign S>
QL_AVX2 void update_then_dot(const Reflection& r, const float* t,
                                                     const Reflection& nx, float* const* cols,
                                                     size_t n, float* d) {
    const size_t a = r.row, b = nx.row, m = n - b, chunks = m / 8;
    auto update_row = [&](size_t row) {
        for (int i = 0; i < N; ++i) {
            float& y = cols[i][row];
            y = y * r.sigma + r.v[row - a] * t[i];
        }
    };
    for (size_t row = a; row < b; ++row) update_row(row);
    // Chunks that begin above the update's first row are updated row by row first.
    const size_t head = a > b ? std::min(chunks, (a - b + 7) / 8) : 0;
    __m256 acc[N];
    for (int i = 0; i < N; ++i) acc[i] = _mm256_setzero_ps();
    for (size_t k = 0; k < head; ++k) {
        const size_t base = b + 8 * k;
        for (size_t row = std::max(base, a); row < base + 8; ++row) update_row(row);
        const __m256 vd = _mm256_loadu_ps(nx.v + 8 * k);
        for (int i = 0; i < N; ++i) {
            acc[i] = _mm256_add_ps(acc[i], _mm256_mul_ps(vd, _mm256_loadu_ps(cols[i] + base)));
        }
    }
    // Locals, so that the stores below cannot be taken to move the pointers.
    const __m256 vs = _mm256_set1_ps(r.sigma);
    // Row b of r's vector; b may lie above r's first row a (those chunks were done above).
    const float* vu_at = r.v + (static_cast<ptrdiff_t>(b) - static_cast<ptrdiff_t>(a));
    const float* vd_at = nx.v;
    float* y_at[N];
    __m256 tv[N];
    for (int i = 0; i < N; ++i) {
        y_at[i] = cols[i] + b;
        tv[i] = _mm256_set1_ps(t[i]);
    }
    for (size_t k = 8 * head; k < 8 * chunks; k += 8) {
        const __m256 vu = _mm256_loadu_ps(vu_at + k);
        const __m256 vd = _mm256_loadu_ps(vd_at + k);
        for (int i = 0; i < N; ++i) {
            const __m256 p = _mm256_mul_ps(vu, tv[i]);
            const __m256 y = reflected<S>(_mm256_loadu_ps(y_at[i] + k), p, vs);
            _mm256_storeu_ps(y_at[i] + k, y);
            acc[i] = _mm256_add_ps(acc[i], _mm256_mul_ps(vd, y));
        }
    }
    for (size_t row = std::max(b + 8 * chunks, a); row < n; ++row) update_row(row);
    alignas(32) float s[8];
    for (int i = 0; i < N; ++i) {
        _mm256_store_ps(s, acc[i]);
        float res = combine_partial_sums(s);
        for (size_t j = 8 * chunks; j < m; ++j) res = res + nx.v[j] * cols[i][b + j];
        d[i] = res;
    }
}

// Applies seq[0], seq[1], ... in order to N columns: one trip over the columns per
// reflection, carrying each next reflection's dot products.
template <int N>
QL_AVX2 void reflect_sequence_avx2(const Reflection* seq, size_t count,
                                                           float* const* cols, size_t n) {
    if (count == 0) return;
    float d[N];
    {
        float* y[N];
        for (int i = 0; i < N; ++i) y[i] = cols[i] + seq[0].row;
        dot8_many_avx2<N>(seq[0].v, y, n - seq[0].row, d);
    }
    for (size_t s = 0; s < count; ++s) {
        const Reflection& r = seq[s];
        float t[N];
        for (int i = 0; i < N; ++i) t[i] = d[i] * (-2.0f * r.sigma);
        if (s + 1 == count) {
            for (int i = 0; i < N; ++i) {
                reflect_update_avx2(cols[i] + r.row, r.v, n - r.row, r.sigma, t[i]);
            }
        } else if (r.sigma == 1.0f) {
            update_then_dot<N, Sign::plus>(r, t, seq[s + 1], cols, n, d);
        } else if (r.sigma == -1.0f) {
            update_then_dot<N, Sign::minus>(r, t, seq[s + 1], cols, n, d);
        } else {
            update_then_dot<N, Sign::other>(r, t, seq[s + 1], cols, n, d);
        }
    }
}

// Two columns at a time: with their two reflection vectors they stay in L1 at the
// dimensions that matter (measured faster than 4 or 8).
QL_AVX2 void reflect_sequence(const Reflection* s, size_t len, float* first, size_t count,
                              size_t n) {
    size_t i = 0;
    for (; i + 2 <= count; i += 2) {
        float* y[2] = {first + i * n, first + (i + 1) * n};
        reflect_sequence_avx2<2>(s, len, y, n);
    }
    if (i < count) {
        float* y[1] = {first + i * n};
        reflect_sequence_avx2<1>(s, len, y, n);
    }
}

// Elimination steps c_0 < c_1 < ... (multipliers in columns c_k of the column-major a,
// below their pivots) on column y, in order. K of them share one trip over y: the rows
// down to the last of the K pivots take them one at a time, every row below takes all K
// in order, so each element sees the plain sequence of subtractions.
template <int K>
QL_AVX2 void eliminate_group_avx2(float* y, const size_t* c,
                                                          const float* a, size_t n) {
    const float* l[K];
    float u[K];
    const size_t last = c[K - 1];
    for (int k = 0; k < K; ++k) {
        l[k] = a + c[k] * n;
        u[k] = y[c[k]];
        for (size_t r = c[k] + 1; r <= last; ++r) y[r] = y[r] - l[k][r] * u[k];
    }
    __m256 vu[K];
    for (int k = 0; k < K; ++k) vu[k] = _mm256_set1_ps(u[k]);
    size_t r = last + 1;
    for (; r + 8 <= n; r += 8) {
        __m256 v = _mm256_loadu_ps(y + r);
        for (int k = 0; k < K; ++k) v = _mm256_sub_ps(v, _mm256_mul_ps(_mm256_loadu_ps(l[k] + r), vu[k]));
        _mm256_storeu_ps(y + r, v);
    }
    for (; r < n; ++r) {
        float v = y[r];
        for (int k = 0; k < K; ++k) v = v - l[k][r] * u[k];
        y[r] = v;
    }
}

QL_AVX2 void eliminate_sequence(float* y, const size_t* steps, size_t count, const float* a,
                                size_t n) {
    size_t s = 0;
    for (; s + 8 <= count; s += 8) eliminate_group_avx2<8>(y, &steps[s], a, n);
    for (; s + 4 <= count; s += 4) eliminate_group_avx2<4>(y, &steps[s], a, n);
    for (; s < count; ++s) {
        const size_t c = steps[s];
        eliminate_avx2(y + c + 1, a + c * n + c + 1, n - c - 1, y[c]);
    }
}

}  // namespace

const FactorisationKernels factorisation = {dot8_avx2, reflect_update_avx2, reflect_columns,
                                            reflect_sequence, eliminate_sequence, eliminate_avx2};

}  // namespace quillane::kernels::avx2
