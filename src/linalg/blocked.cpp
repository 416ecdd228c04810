#include "blocked.hpp"

#include <algorithm>
#include <cmath>

#include "householder.hpp"
#include "kernels/dispatch.hpp"
#include "kernels/factorisation.hpp"

namespace quillane::linalg {

namespace {

// Columns per block: a block's columns receive the earlier reflections (or elimination
// steps) together, while they stay in cache.
constexpr size_t BLOCK = 32;

}  // namespace

std::vector<float> householder_q_blocked(std::vector<float> g, size_t n) {
    const kernels::FactorisationKernels& k = kernels::active().factorisation;
    std::vector<float> diag(n);
    std::vector<kernels::Reflection> applied;  // the reflections that reach later columns, in order
    for (size_t j0 = 0; j0 < n; j0 += BLOCK) {
        const size_t j1 = std::min(n, j0 + BLOCK);
        // Reflections of every earlier column, in order, on this block of columns.
        k.reflect_sequence(applied.data(), applied.size(), &g[j0 * n], j1 - j0, n);
        // Then the block's own columns, as the plain algorithm does them.
        for (size_t c = j0; c < j1; ++c) {
            float* x = &g[c * n + c];
            const size_t m = n - c;
            bool reflecting = false;
            diag[c] = householder_vector(x, m, k.dot8, reflecting);
            if (!reflecting) continue;
            const float sigma = linalg::reflection_sign(diag[c]);
            applied.push_back({x, c, sigma});
            if (c + 1 < j1) k.reflect_columns(x, &g[(c + 1) * n + c], j1 - c - 1, n, m, sigma);
        }
    }
    // Column j of Q starts as e_j and receives reflections j, j-1, ..., 0 (every one,
    // the skipped columns' included); columns are independent, so a block of them
    // shares each reflection vector's trip from memory.
    std::vector<kernels::Reflection> descending(n);
    for (size_t c = 0; c < n; ++c) {
        descending[n - 1 - c] = {&g[c * n + c], c, reflection_sign(diag[c])};
    }
    std::vector<float> q(n * n, 0.0f);
    for (size_t i = 0; i < n; ++i) q[i * n + i] = 1.0f;
    for (size_t j0 = 0; j0 < n; j0 += BLOCK) {
        const size_t j1 = std::min(n, j0 + BLOCK);
        for (size_t c = j1; c-- > j0;) {
            const kernels::Reflection& r = descending[n - 1 - c];
            k.reflect_columns(r.v, &q[c * n + c], j1 - c, n, n - c, r.sigma);
        }
        k.reflect_sequence(descending.data() + (n - j0), j0, &q[j0 * n], j1 - j0, n);
    }
    return q;
}

float lu_determinant_blocked(const std::vector<float>& q, size_t n) {
    const kernels::FactorisationKernels& k = kernels::active().factorisation;
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
        for (size_t j = j0; j < j1; ++j) k.eliminate_sequence(col(j), steps.data(), steps.size(), a.data(), n);
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
                k.eliminate(y + c + 1, x + c + 1, n - c - 1, y[c]);
            }
        }
    }
    float det = 1.0f;
    for (size_t i = 0; i < n; ++i) det = det * a[i * n + i];
    return (swaps % 2 == 1) ? -det : det;
}

}  // namespace quillane::linalg
