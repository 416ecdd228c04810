#include "rotation.hpp"

#include <unistd.h>

#include <cmath>
#include <limits>
#include <new>

#include "kernels/householder.hpp"
#include "kernels/matvec.hpp"
#include "rng.hpp"

namespace quillane {

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

float combine_partial_sums(const float* s) {
    float res = 0.0f;
    res = res + (s[0] + s[4]);
    res = res + (s[1] + s[5]);
    res = res + (s[2] + s[6]);
    res = res + (s[3] + s[7]);
    return res;
}

float reflection_sign(float d) {
    if (std::isnan(d)) return std::numeric_limits<float>::quiet_NaN();
    return std::copysign(1.0f, d);
}

namespace {

// y <- sigma * (I - 2 v v^T) y over m elements.
void reflect(const float* v, float* y, size_t m, float sigma) {
    const float d = householder_dot(v, y, m);
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
        diag[c] = householder_vector(x, m, householder_dot, reflects);
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

namespace {

// Construction holds two n x n float matrices at its peak. Refusing what cannot fit
// in physical memory turns a later kill by the kernel into an ordinary bad_alloc.
void ensure_fits_in_memory(size_t n) {
    if (n > 0xFFFFFFFFull) throw std::bad_alloc();
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page_size <= 0) return;
    const unsigned __int128 physical = static_cast<unsigned __int128>(pages) * page_size;
    const unsigned __int128 peak = static_cast<unsigned __int128>(n) * n * 2 * sizeof(float);
    if (peak > physical) throw std::bad_alloc();
}

}  // namespace

Result<RandomRotation> RandomRotation::make(size_t dim, uint64_t seed) {
    if (dim == 0) return fail(ZeroDimension{});
    const size_t n = dim;
    ensure_fits_in_memory(n);
    std::vector<float> q;
    {
        std::vector<float> g(n * n);
        {
            SeededRng rng(seed);
            const std::vector<float> z = rng.standard_normal_vec(n * n);
            // Column-major copy: the factorisation reads G's columns.
            for (size_t i = 0; i < n; ++i) {
                for (size_t j = 0; j < n; ++j) g[j * n + i] = z[i * n + j];
            }
        }
        // The blocked factorisation: the plain one's bits (householder_q, determinant).
        q = kernels::householder_q_blocked(std::move(g), n);
    }
    const float det = n >= 4 ? kernels::lu_determinant_blocked(q, n) : determinant(q, n);
    const bool negate = det < 0.0f || std::isnan(det);
    std::vector<float> matrix(n * n);
    for (size_t i = 0; i < n; ++i) {
        for (size_t j = 0; j < n; ++j) {
            const float v = q[j * n + i];
            matrix[i * n + j] = negate ? -v : v;
        }
    }
    return RandomRotation(std::move(matrix), n, seed);
}

RandomRotation::RandomRotation(std::vector<float> matrix, size_t dim, uint64_t seed)
    : matrix_(std::move(matrix)), dim_(dim), seed_(seed) {
    std::vector<float> transposed(dim * dim);
    for (size_t i = 0; i < dim; ++i) {
        for (size_t j = 0; j < dim; ++j) transposed[j * dim + i] = matrix_[i * dim + j];
    }
    // Output i of R x sums R[i][k] x[k] over k: coefficient k of output i is R^T[k][i].
    forward_ = kernels::LaneMatrix(transposed.data(), dim, dim, dim);
    inverse_ = kernels::LaneMatrix(matrix_.data(), dim, dim, dim);
}

std::vector<float> RandomRotation::apply(std::span<const float> x) const {
    std::vector<float> y(dim_);
    forward_.multiply(x, y.data());
    return y;
}

std::vector<float> RandomRotation::apply_inverse(std::span<const float> y) const {
    std::vector<float> x(dim_);
    inverse_.multiply(y, x.data());
    return x;
}

std::vector<float> RandomRotation::apply_reference(std::span<const float> x) const {
    std::vector<float> y(dim_);
    for (size_t i = 0; i < dim_; ++i) {
        const float* row = &matrix_[i * dim_];
        float acc = -0.0f;
        for (size_t j = 0; j < dim_; ++j) acc = acc + row[j] * x[j];
        y[i] = acc;
    }
    return y;
}

std::vector<float> RandomRotation::apply_inverse_reference(std::span<const float> y) const {
    std::vector<float> x(dim_);
    for (size_t j = 0; j < dim_; ++j) {
        float acc = -0.0f;
        for (size_t i = 0; i < dim_; ++i) acc = acc + y[i] * matrix_[i * dim_ + j];
        x[j] = acc;
    }
    return x;
}

}  // namespace quillane
