#include "householder.hpp"

#include <cmath>
#include <limits>

#include "kernels/factorisation.hpp"

namespace quillane::linalg {

float reflection_sign(float d) {
    if (std::isnan(d)) return std::numeric_limits<float>::quiet_NaN();
    return std::copysign(1.0f, d);
}

namespace {

// y <- sigma * (I - 2 v v^T) y over m elements.
void reflect(const float* v, float* y, size_t m, float sigma) {
    const float d = kernels::householder_dot(v, y, m);
    const float t = d * (-2.0f * sigma);
    for (size_t k = 0; k < m; ++k) y[k] = y[k] * sigma + v[k] * t;
}

}  // namespace

std::vector<float> householder_q(std::vector<float> g, size_t n) {
    std::vector<float> diag(n);
    for (size_t c = 0; c < n; ++c) {
        float* x = &g[c * n + c];
        const size_t m = n - c;
        bool reflects = false;
        diag[c] = householder_vector(x, m, kernels::householder_dot, reflects);
        if (!reflects) continue;
        const float sigma = reflection_sign(diag[c]);
        for (size_t j = c + 1; j < n; ++j) reflect(x, &g[j * n + c], m, sigma);
    }

    std::vector<float> q(n * n, 0.0f);
    for (size_t i = 0; i < n; ++i) q[i * n + i] = 1.0f;
    for (size_t c = n; c-- > 0;) {
        const float* v = &g[c * n + c];
        const float sigma = reflection_sign(diag[c]);
        for (size_t j = c; j < n; ++j) reflect(v, &q[j * n + c], n - c, sigma);
    }
    return q;
}

float determinant(const std::vector<float>& q, size_t n) {
    auto at = [&](size_t r, size_t c) { return q[c * n + r]; };
    if (n == 1) return at(0, 0);
    if (n == 2) return at(0, 0) * at(1, 1) - at(0, 1) * at(1, 0);
    if (n == 3) {
        return at(0, 0) * (at(1, 1) * at(2, 2) - at(2, 1) * at(1, 2)) -
               at(0, 1) * (at(1, 0) * at(2, 2) - at(2, 0) * at(1, 2)) +
               at(0, 2) * (at(1, 0) * at(2, 1) - at(2, 0) * at(1, 1));
    }
    // LU with partial pivoting on a column-major copy; only the sign is used.
    std::vector<float> a = q;
    auto el = [&](size_t r, size_t c) -> float& { return a[c * n + r]; };
    size_t swaps = 0;
    for (size_t c = 0; c < n; ++c) {
        size_t p = c;
        float best = std::fabs(el(c, c));
        for (size_t r = c + 1; r < n; ++r) {
            const float mag = std::fabs(el(r, c));
            if (mag > best) {
                best = mag;
                p = r;
            }
        }
        if (el(p, c) == 0.0f) continue;
        if (p != c) {
            for (size_t j = 0; j < n; ++j) std::swap(el(p, j), el(c, j));
            ++swaps;
        }
        const float inv = 1.0f / el(c, c);
        for (size_t r = c + 1; r < n; ++r) el(r, c) = el(r, c) * inv;
        for (size_t j = c + 1; j < n; ++j) {
            const float acj = el(c, j);
            float* col = &a[j * n];
            const float* lcol = &a[c * n];
            for (size_t r = c + 1; r < n; ++r) col[r] = col[r] - lcol[r] * acj;
        }
    }
    float det = 1.0f;
    for (size_t i = 0; i < n; ++i) det = det * el(i, i);
    return (swaps % 2 == 1) ? -det : det;
}

}  // namespace quillane::linalg
