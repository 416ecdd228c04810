#include "rotation.hpp"

#include <unistd.h>

#include <cmath>
#include <new>

#include "kernels/matvec.hpp"
#include "linalg/blocked.hpp"
#include "linalg/householder.hpp"
#include "rng.hpp"

namespace quillane {

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
        // The blocked factorisation: the plain one's bits (linalg/householder.hpp).
        q = linalg::householder_q_blocked(std::move(g), n);
    }
    const float det = n >= 4 ? linalg::lu_determinant_blocked(q, n) : linalg::determinant(q, n);
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
