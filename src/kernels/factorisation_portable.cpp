// The factorisation's kernels as plain loops: the portable path.
#include "factorisation.hpp"
#include "implementations.hpp"

namespace quillane::kernels {

float householder_dot(const float* a, const float* b, size_t m) {
    const size_t blocks = m / 8;
    float s[8] = {0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
    for (size_t k = 0; k < blocks; ++k) {
        for (size_t r = 0; r < 8; ++r) s[r] = s[r] + a[8 * k + r] * b[8 * k + r];
    }
    float res = combine_partial_sums(s);
    for (size_t j = 8 * blocks; j < m; ++j) res = res + a[j] * b[j];
    return res;
}

namespace portable {

namespace {

void reflect_update(float* y, const float* x, size_t m, float sigma, float t) {
    for (size_t k = 0; k < m; ++k) y[k] = y[k] * sigma + x[k] * t;
}

void reflect(const float* v, float* y, size_t m, float sigma) {
    const float d = householder_dot(v, y, m);
    reflect_update(y, v, m, sigma, d * (-2.0f * sigma));
}

void reflect_columns(const float* v, float* first, size_t count, size_t n, size_t m, float sigma) {
    for (size_t i = 0; i < count; ++i) reflect(v, first + i * n, m, sigma);
}

void reflect_sequence(const Reflection* seq, size_t len, float* first, size_t count, size_t n) {
    for (size_t i = 0; i < count; ++i) {
        for (size_t k = 0; k < len; ++k) {
            reflect(seq[k].v, first + i * n + seq[k].row, n - seq[k].row, seq[k].sigma);
        }
    }
}

void eliminate(float* y, const float* l, size_t m, float u) {
    for (size_t k = 0; k < m; ++k) y[k] = y[k] - l[k] * u;
}

void eliminate_sequence(float* y, const size_t* steps, size_t count, const float* a, size_t n) {
    for (size_t s = 0; s < count; ++s) {
        const size_t c = steps[s];
        eliminate(y + c + 1, a + c * n + c + 1, n - c - 1, y[c]);
    }
}

}  // namespace

const FactorisationKernels factorisation = {householder_dot, reflect_update, reflect_columns,
                                            reflect_sequence, eliminate_sequence, eliminate};

}  // namespace portable

}  // namespace quillane::kernels
