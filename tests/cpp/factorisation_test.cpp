// The blocked, vectorised factorisation against the plain algorithm, bit for bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "isa.hpp"
#include "kernels/factorisation.hpp"
#include "linalg/blocked.hpp"
#include "linalg/householder.hpp"
#include "rng.hpp"

namespace quillane {
namespace {

std::vector<float> column_major_samples(size_t n, uint64_t seed) {
    SeededRng rng(seed);
    const auto z = rng.standard_normal_vec(n * n);
    std::vector<float> g(n * n);
    for (size_t i = 0; i < n; ++i)
        for (size_t j = 0; j < n; ++j) g[j * n + i] = z[i * n + j];
    return g;
}

using BlockedFactorisation = testing_isa::OnEachIsa;

TEST_P(BlockedFactorisation, QAndDeterminantMatchThePlainAlgorithm) {
    for (size_t n : {1, 2, 3, 4, 5, 7, 8, 9, 16, 31, 32, 33, 40, 64, 65, 100, 130}) {
        for (uint64_t seed : {0ull, 42ull, 7ull}) {
            const auto g = column_major_samples(n, seed + n);
            const auto plain = linalg::householder_q(g, n);
            const auto blocked = linalg::householder_q_blocked(g, n);
            ASSERT_EQ(0, std::memcmp(plain.data(), blocked.data(), n * n * 4)) << n << " " << seed;
            if (n >= 4) {
                const float a = linalg::determinant(plain, n);
                const float b = linalg::lu_determinant_blocked(plain, n);
                ASSERT_EQ(std::bit_cast<uint32_t>(a), std::bit_cast<uint32_t>(b)) << n;
            }
        }
    }
}

TEST_P(BlockedFactorisation, QMatchesWithSkippedReflectionsAndUnitSigns) {
    // A zero column stays zero under every reflection, so its own reflection is skipped;
    // columns equal to earlier ones, rounded entries and tiny or huge scales exercise the
    // sign cases of the update and the chunk edges of the fused passes.
    for (size_t n : {9, 47, 97, 200}) {
        for (int trial = 0; trial < 4; ++trial) {
            auto g = column_major_samples(n, 100 + n + trial);
            if (trial == 0) {
                for (size_t j : {size_t{0}, size_t{5}, n / 2, n - 1})
                    std::fill(g.begin() + j * n, g.begin() + (j + 1) * n, 0.0f);
            }
            if (trial == 1) std::copy(g.begin(), g.begin() + n, g.begin() + 3 * n);
            if (trial == 2) for (auto& v : g) v = std::round(v);
            if (trial == 3) for (size_t i = 0; i < n * n; ++i) g[i] *= (i % 3 == 0) ? 1e-30f : 1e30f;
            const auto plain = linalg::householder_q(g, n);
            const auto blocked = linalg::householder_q_blocked(g, n);
            for (size_t i = 0; i < n * n; ++i) {
                const bool both_nan = std::isnan(plain[i]) && std::isnan(blocked[i]);
                ASSERT_TRUE(both_nan || std::bit_cast<uint32_t>(plain[i]) ==
                                            std::bit_cast<uint32_t>(blocked[i]))
                    << n << " " << trial << " " << i;
            }
            const float a = linalg::determinant(plain, n), b = linalg::lu_determinant_blocked(plain, n);
            ASSERT_TRUE((std::isnan(a) && std::isnan(b)) ||
                        std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b))
                << n << " " << trial;
        }
    }
}

TEST_P(BlockedFactorisation, DeterminantOfMatricesThatNeedPivotingAndSkips) {
    SeededRng rng(9);
    for (size_t n : {4, 6, 33, 70}) {
        for (int trial = 0; trial < 5; ++trial) {
            auto m = rng.standard_normal_vec(n * n);
            // Zero columns skip a step; small diagonals force exchanges; repeated rows tie.
            if (trial == 1) for (size_t i = 0; i < n; ++i) m[2 * n + i] = 0.0f;
            if (trial == 2) for (size_t i = 0; i < n; ++i) m[i * n + i] *= 1e-6f;
            if (trial == 3) for (size_t j = 0; j < n; ++j) m[j * n + 1] = m[j * n];
            if (trial == 4) for (size_t i = 0; i < n * n; ++i) m[i] = std::round(m[i]);
            const float a = linalg::determinant(m, n);
            const float b = linalg::lu_determinant_blocked(m, n);
            ASSERT_EQ(std::bit_cast<uint32_t>(a), std::bit_cast<uint32_t>(b)) << n << " " << trial;
        }
    }
}

TEST_P(BlockedFactorisation, DotKernelAndUpdatesMatchThePlainLoops) {
    SeededRng rng(4);
    for (size_t m : {0, 1, 7, 8, 9, 16, 23, 64, 100}) {
        const auto a = rng.standard_normal_vec(m), b = rng.standard_normal_vec(m);
        EXPECT_EQ(std::bit_cast<uint32_t>(kernels::active().factorisation.dot8(a.data(), b.data(), m)),
                  std::bit_cast<uint32_t>(kernels::householder_dot(a.data(), b.data(), m)));
        auto y = b, y_ref = b;
        kernels::active().factorisation.reflect_update(y.data(), a.data(), m, -1.0f, 0.37f);
        for (size_t k = 0; k < m; ++k) y_ref[k] = y_ref[k] * -1.0f + a[k] * 0.37f;
        EXPECT_EQ(y, y_ref);
        auto e = b, e_ref = b;
        kernels::active().factorisation.eliminate(e.data(), a.data(), m, 1.7f);
        for (size_t k = 0; k < m; ++k) e_ref[k] = e_ref[k] - a[k] * 1.7f;
        EXPECT_EQ(e, e_ref);
    }
}

INSTANTIATE_ON_EACH_ISA(BlockedFactorisation);

}  // namespace
}  // namespace quillane
