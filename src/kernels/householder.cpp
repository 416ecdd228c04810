#include "householder.hpp"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <span>

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

// One reflection of the factorisation: v holds rows row .. n-1 of its vector.
struct Reflection {
    const float* v;
    size_t row;
    float sigma;
};

// y * sigma + p. With sigma exactly +1 or -1 this is y + p or p - y, the same value for
// every operand that is not NaN (x - y is x + (-y), and y * 1 is y), one multiply fewer.
enum class Sign { plus, minus, other };

template <Sign S>
__attribute__((target("avx2"))) inline __m256 reflected(__m256 y, __m256 p, __m256 sigma) {
    if constexpr (S == Sign::plus) return _mm256_add_ps(y, p);
    if constexpr (S == Sign::minus) return _mm256_sub_ps(p, y);
    return _mm256_add_ps(_mm256_mul_ps(y, sigma), p);
}

// Applies reflection r (t[i] its factor for column i) to N columns and, in the same pass,
// forms the dot products d of the next reflection nx with the updated columns. cols point
// at row 0 of each column. The dot's eight partial sums are aligned at nx.row as the
// kernel defines them; rows outside the aligned chunks are updated one at a time.
template <int N, Sign S>
__attribute__((target("avx2"))) void update_then_dot(const Reflection& r, const float* t,
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
    const float* vu_at = r.v + (b - a);
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
__attribute__((target("avx2"))) void reflect_sequence_avx2(const Reflection* seq, size_t count,
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

// Applies the reflections of seq in order to `count` adjacent columns starting at `first`
// (row 0, stride n). Two columns at a time: with their two reflection vectors they stay
// in L1 at the dimensions that matter (measured faster than 4 or 8).
void reflect_sequence(std::span<const Reflection> seq, float* first, size_t count, size_t n) {
    const Reflection* s = seq.data();
    const size_t len = seq.size();
    size_t i = 0;
    if (vector_lanes()) {
        for (; i + 2 <= count; i += 2) {
            float* y[2] = {first + i * n, first + (i + 1) * n};
            reflect_sequence_avx2<2>(s, len, y, n);
        }
        if (i < count) {
            float* y[1] = {first + i * n};
            reflect_sequence_avx2<1>(s, len, y, n);
        }
        return;
    }
    for (; i < count; ++i) {
        for (size_t k = 0; k < len; ++k) {
            reflect(s[k].v, first + i * n + s[k].row, n - s[k].row, s[k].sigma);
        }
    }
}

// Elimination steps c_0 < c_1 < ... (multipliers in columns c_k of the column-major a,
// below their pivots) on column y, in order. K of them share one trip over y: the rows
// down to the last of the K pivots take them one at a time, every row below takes all K
// in order, so each element sees the plain sequence of subtractions.
template <int K>
__attribute__((target("avx2"))) void eliminate_group_avx2(float* y, const size_t* c,
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

void eliminate_sequence(float* y, const std::vector<size_t>& steps, const float* a, size_t n) {
    size_t s = 0;
    if (vector_lanes()) {
        for (; s + 8 <= steps.size(); s += 8) eliminate_group_avx2<8>(y, &steps[s], a, n);
        for (; s + 4 <= steps.size(); s += 4) eliminate_group_avx2<4>(y, &steps[s], a, n);
    }
    for (; s < steps.size(); ++s) {
        const size_t c = steps[s];
        eliminate(y + c + 1, a + c * n + c + 1, n - c - 1, y[c]);
    }
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
    std::vector<Reflection> applied;  // the reflections that reach later columns, in order
    for (size_t j0 = 0; j0 < n; j0 += BLOCK) {
        const size_t j1 = std::min(n, j0 + BLOCK);
        // Reflections of every earlier column, in order, on this block of columns.
        reflect_sequence(applied, &g[j0 * n], j1 - j0, n);
        // Then the block's own columns, as the plain algorithm does them.
        for (size_t c = j0; c < j1; ++c) {
            float* x = &g[c * n + c];
            const size_t m = n - c;
            bool reflecting = false;
            diag[c] = householder_vector(x, m, dot8, reflecting);
            if (!reflecting) continue;
            const float sigma = reflection_sign(diag[c]);
            applied.push_back({x, c, sigma});
            if (c + 1 < j1) reflect_columns(x, &g[(c + 1) * n + c], j1 - c - 1, n, m, sigma);
        }
    }
    // Column j of Q starts as e_j and receives reflections j, j-1, ..., 0 (every one,
    // the skipped columns' included); columns are independent, so a block of them
    // shares each reflection vector's trip from memory.
    std::vector<Reflection> descending(n);
    for (size_t c = 0; c < n; ++c) {
        descending[n - 1 - c] = {&g[c * n + c], c, reflection_sign(diag[c])};
    }
    std::vector<float> q(n * n, 0.0f);
    for (size_t i = 0; i < n; ++i) q[i * n + i] = 1.0f;
    for (size_t j0 = 0; j0 < n; j0 += BLOCK) {
        const size_t j1 = std::min(n, j0 + BLOCK);
        for (size_t c = j1; c-- > j0;) {
            const Reflection& r = descending[n - 1 - c];
            reflect_columns(r.v, &q[c * n + c], j1 - c, n, n - c, r.sigma);
        }
        reflect_sequence(std::span(descending).subspan(n - j0), &q[j0 * n], j1 - j0, n);
    }
    return q;
}

float lu_determinant_blocked(const std::vector<float>& q, size_t n) {
    std::vector<float> a = q;  // column-major copy
    auto col = [&](size_t c) { return &a[c * n]; };
    std::vector<size_t> pivot(n);
    std::vector<size_t> steps;  // the columns whose elimination step was taken, in order
    size_t swaps = 0;
    for (size_t j0 = 0; j0 < n; j0 += BLOCK) {
        const size_t j1 = std::min(n, j0 + BLOCK);
        // Earlier steps on this block. A row exchange moves a row's multipliers with its
        // values, and every row below a step's pivot receives that step's elimination
        // wherever it sits, so the exchanges may all come first; the eliminations then
        // use the multipliers as the earlier columns hold them now.
        for (const size_t c : steps) {
            if (pivot[c] == c) continue;
            for (size_t j = j0; j < j1; ++j) std::swap(col(j)[pivot[c]], col(j)[c]);
        }
        for (size_t j = j0; j < j1; ++j) eliminate_sequence(col(j), steps, a.data(), n);
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
            if (x[p] == 0.0f) continue;
            if (p != c) {
                // The whole rows: the finished columns now, the later ones as they come.
                for (size_t j = 0; j <= c; ++j) std::swap(col(j)[p], col(j)[c]);
                ++swaps;
            }
            const float inv = 1.0f / x[c];
            for (size_t r = c + 1; r < n; ++r) x[r] = x[r] * inv;
            steps.push_back(c);
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
