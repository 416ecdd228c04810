#include "rotation.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "kernels/factorisation.hpp"
#include "linalg/householder.hpp"
#include "rng.hpp"
#include "test_data.hpp"

namespace quillane {
namespace {

using testing_data::bits;
using testing_data::hex_u32;

TEST(RandomRotation, ZeroDimensionIsRefused) {
    auto r = RandomRotation::make(0, 42);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().message(), "dimension must be > 0");
}

TEST(RandomRotation, ReferenceMatrices) {
    for (const auto& entry : testing_data::reference()["rotation"]) {
        const size_t dim = entry["dim"];
        const uint64_t seed = std::stoull(entry["seed"].get<std::string>());
        auto r = RandomRotation::make(dim, seed);
        ASSERT_TRUE(r.has_value());
        const auto& m = entry["matrix_row_major"];
        ASSERT_EQ(r->matrix().size(), m.size());
        for (size_t i = 0; i < m.size(); ++i) {
            ASSERT_EQ(bits(r->matrix()[i]), hex_u32(m[i])) << "dim " << dim << " entry " << i;
        }
    }
}

TEST(RandomRotation, DimensionOneIsAlwaysPlusOne) {
    for (uint64_t seed : {0ull, 1ull, 2ull, 3ull, 42ull, 43ull, 1000ull}) {
        auto r = RandomRotation::make(1, seed);
        ASSERT_TRUE(r.has_value());
        EXPECT_EQ(bits(r->matrix()[0]), bits(1.0f)) << seed;
    }
}

TEST(RandomRotation, DimensionTwoFirstColumnIsNormalisedSamplesZeroAndTwo) {
    for (uint64_t seed : {5ull, 42ull, 99ull}) {
        SeededRng rng(seed);
        const auto z = rng.standard_normal_vec(4);
        const double norm = std::hypot(double(z[0]), double(z[2]));
        auto r = RandomRotation::make(2, seed);
        const auto& m = r->matrix();
        const double sign = (m[0] * z[0] >= 0) ? 1.0 : -1.0;
        EXPECT_NEAR(m[0], sign * z[0] / norm, 1e-6);
        EXPECT_NEAR(m[2], sign * z[2] / norm, 1e-6);
    }
}

class RotationOrthogonality : public ::testing::TestWithParam<size_t> {};

TEST_P(RotationOrthogonality, RowsAreOrthonormalAndNormsPreserved) {
    const size_t n = GetParam();
    auto r = RandomRotation::make(n, 7 + n);
    ASSERT_TRUE(r.has_value());
    const auto& m = r->matrix();
    // float32 rounding in an O(n) Householder chain: error grows roughly like n * eps.
    const double tol = 8.0 * n * 1.2e-7 + 1e-6;
    double worst = 0;
    for (size_t i = 0; i < n; ++i) {
        for (size_t j = i; j < n; ++j) {
            double dot = 0;
            for (size_t k = 0; k < n; ++k) dot += double(m[i * n + k]) * m[j * n + k];
            worst = std::max(worst, std::fabs(dot - (i == j ? 1.0 : 0.0)));
        }
    }
    EXPECT_LT(worst, tol);

    SeededRng rng(n);
    const auto x = rng.standard_normal_vec(n);
    const auto y = r->apply(x);
    const auto back = r->apply_inverse(y);
    double nx = 0, ny = 0, err = 0;
    for (size_t i = 0; i < n; ++i) {
        nx += double(x[i]) * x[i];
        ny += double(y[i]) * y[i];
        err = std::max(err, std::fabs(double(back[i]) - x[i]));
    }
    EXPECT_NEAR(std::sqrt(ny), std::sqrt(nx), tol * std::sqrt(nx));
    EXPECT_LT(err, tol * 10);
}

INSTANTIATE_TEST_SUITE_P(EvenDims, RotationOrthogonality,
                         ::testing::Values(2, 4, 6, 8, 10, 16, 64, 130, 256));

TEST(RandomRotation, ZeroInputGivesSignedZeros) {
    auto r = RandomRotation::make(2, 42);
    const auto& m = r->matrix();
    for (float zero : {0.0f, -0.0f}) {
        const std::vector<float> zeros(2, zero);
        const bool z_neg = std::signbit(zero);
        // A product z * R[i][j] is -0 when the signs differ; a sum from -0.0 stays
        // -0.0 only when every product is -0.
        auto negative_product = [&](float rij) { return (rij < 0) != z_neg; };
        const auto y = r->apply(zeros);
        const auto x = r->apply_inverse(zeros);
        for (size_t i = 0; i < 2; ++i) {
            EXPECT_EQ(y[i], 0.0f);
            EXPECT_EQ(std::signbit(y[i]),
                      negative_product(m[i * 2]) && negative_product(m[i * 2 + 1]));
            EXPECT_EQ(x[i], 0.0f);
            EXPECT_EQ(std::signbit(x[i]), negative_product(m[i]) && negative_product(m[2 + i]));
        }
    }
}

TEST(RandomRotation, DeterministicAndSeedSensitive) {
    auto a = RandomRotation::make(32, 42);
    auto b = RandomRotation::make(32, 42);
    auto c = RandomRotation::make(32, 43);
    ASSERT_EQ(a->matrix().size(), b->matrix().size());
    EXPECT_EQ(0, std::memcmp(a->matrix().data(), b->matrix().data(), 32 * 32 * 4));
    size_t same = 0;
    for (size_t i = 0; i < 32 * 32; ++i) same += a->matrix()[i] == c->matrix()[i];
    EXPECT_LT(same, 4u);
}

TEST(RandomRotation, ApplySumsSequentiallyFromNegativeZero) {
    auto r = RandomRotation::make(6, 3);
    SeededRng rng(11);
    const auto x = rng.standard_normal_vec(6);
    const auto y = r->apply(x);
    const auto back = r->apply_inverse(x);
    const auto& m = r->matrix();
    for (size_t i = 0; i < 6; ++i) {
        float acc = -0.0f, acc_t = -0.0f;
        for (size_t j = 0; j < 6; ++j) {
            acc = acc + m[i * 6 + j] * x[j];
            acc_t = acc_t + x[j] * m[j * 6 + i];
        }
        EXPECT_EQ(bits(y[i]), bits(acc));
        EXPECT_EQ(bits(back[i]), bits(acc_t));
    }
}

TEST(HouseholderDot, EightPartialSumsThenTail) {
    std::vector<float> a(19), b(19);
    for (size_t i = 0; i < 19; ++i) {
        a[i] = 1.0f + 1e-7f * float(i * i);
        b[i] = (i % 3 == 0 ? 1e8f : 1.0f) * (i % 2 ? -1.0f : 1.0f);
    }
    float s[8] = {};
    for (size_t k = 0; k < 2; ++k)
        for (size_t r = 0; r < 8; ++r) s[r] = s[r] + a[8 * k + r] * b[8 * k + r];
    float res = 0.0f;
    res = res + (s[0] + s[4]);
    res = res + (s[1] + s[5]);
    res = res + (s[2] + s[6]);
    res = res + (s[3] + s[7]);
    for (size_t j = 16; j < 19; ++j) res = res + a[j] * b[j];
    EXPECT_EQ(bits(kernels::householder_dot(a.data(), b.data(), 19)), bits(res));
    // Below 8 elements it is the plain sum from +0.
    const float neg[2] = {-0.0f, -0.0f}, one[2] = {1.0f, 1.0f};
    EXPECT_EQ(bits(kernels::householder_dot(neg, one, 2)), bits(0.0f));
}

TEST(Determinant, SmallFormulasAndLuAgreeOnSign) {
    // A permutation (odd) and the identity, column-major.
    for (size_t n : {1, 2, 3, 4, 5, 9}) {
        std::vector<float> id(n * n, 0.0f), swap(n * n, 0.0f);
        for (size_t i = 0; i < n; ++i) id[i * n + i] = 1.0f;
        EXPECT_EQ(linalg::determinant(id, n), 1.0f) << n;
        if (n < 2) continue;
        swap = id;
        swap[0] = 0.0f; swap[n + 1] = 0.0f; swap[1] = 1.0f; swap[n] = 1.0f;
        EXPECT_EQ(linalg::determinant(swap, n), -1.0f) << n;
    }
}

}  // namespace
}  // namespace quillane
