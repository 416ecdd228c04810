#include "qjl.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "estimate.hpp"
#include "rng.hpp"
#include "test_data.hpp"

namespace quillane {
namespace {

using testing_data::bits;

TEST(Qjl, ConstructionChecksAndDraws) {
    EXPECT_EQ(QjlQuantizer::make(8, 0, 1).error(), QuantError(ZeroProjections{}));
    EXPECT_EQ(QjlQuantizer::make(8, 65536, 1).error(), QuantError(DimensionTooLarge{65536, 65535}));
    auto q = QjlQuantizer::make(6, 3, 99);
    SeededRng rng(99);
    EXPECT_EQ(q->projection_matrix(), rng.standard_normal_vec(18));
}

class QjlPacking : public ::testing::TestWithParam<uint64_t> {};

TEST_P(QjlPacking, SignBitsLsbFirstWithClearHighBits) {
    const uint64_t m = GetParam();
    auto q = QjlQuantizer::make(16, m, 5);
    SeededRng rng(17);
    const auto r = rng.standard_normal_vec(16);
    auto s = q->sketch(r);
    ASSERT_TRUE(s.has_value());
    ASSERT_EQ(s->signs.size(), (m + 7) / 8);
    EXPECT_EQ(s->num_projections, m);
    for (uint64_t j = 0; j < m; ++j) {
        const bool bit = (s->signs[j / 8] >> (j % 8)) & 1;
        EXPECT_EQ(bit, q->project(j, r) >= 0.0f) << j;
    }
    if (m % 8) {
        EXPECT_EQ(s->signs.back() >> (m % 8), 0);
    }
    float sq = -0.0f;
    for (float v : r) sq = sq + v * v;
    EXPECT_EQ(bits(s->norm), bits(std::sqrt(sq)));
}

INSTANTIATE_TEST_SUITE_P(Counts, QjlPacking, ::testing::Values(1, 7, 8, 9, 16, 33));

TEST(Qjl, AllZeroResidualSetsEverySignBit) {
    auto q = QjlQuantizer::make(8, 9, 1);
    for (float z : {0.0f, -0.0f}) {
        auto s = q->sketch(std::vector<float>(8, z));
        EXPECT_EQ(s->signs, (std::vector<uint8_t>{0xFF, 0x01}));
        EXPECT_EQ(bits(s->norm), 0u);
    }
}

TEST(Qjl, NormBelowEpsilonGivesPositiveZero) {
    auto q = QjlQuantizer::make(4, 2, 1);
    const std::vector<float> y = {1.0f, -2.0f, 3.0f, 4.0f};
    for (float norm : {0.0f, -0.0f, 9.9e-31f}) {
        QjlSketch s{{0x03}, 2, norm};
        EXPECT_EQ(bits(*q->estimate(s, y)), 0u);
    }
    QjlSketch above{{0x03}, 2, 1.1e-30f};
    EXPECT_NE(*q->estimate(above, y), 0.0f);
}

TEST(Qjl, EstimateOrderAndSignFlip) {
    auto q = QjlQuantizer::make(4, 3, 8);
    const std::vector<float> y = {0.5f, -1.0f, 2.0f, 0.125f};
    QjlSketch s{{0b101}, 3, 1.5f};
    float acc = 0.0f;
    acc = acc + q->project(0, y);
    acc = acc + -q->project(1, y);
    acc = acc + q->project(2, y);
    const float expected = ((1.5f * QJL_SQRT_HALF_PI) / 3.0f) * acc;
    EXPECT_EQ(bits(*q->estimate(s, y)), bits(expected));
    // All bits clear: the same magnitude with the opposite sign.
    QjlSketch all{{0x07}, 3, 1.5f}, none{{0x00}, 3, 1.5f};
    EXPECT_EQ(bits(*q->estimate(all, y)), bits(-*q->estimate(none, y)));
    // The stage's own m is used, not the sketch's field.
    QjlSketch other{{0b101}, 200, 1.5f};
    EXPECT_EQ(bits(*q->estimate(other, y)), bits(expected));
}

TEST(Qjl, ChecksDimensionThenFinite) {
    auto q = QjlQuantizer::make(4, 3, 8);
    QjlSketch s{{0}, 3, 1.0f};
    EXPECT_EQ(q->sketch(std::vector<float>(5, NAN)).error(), QuantError(DimensionMismatch{4, 5}));
    EXPECT_EQ(q->estimate(s, std::vector<float>(3)).error(), QuantError(DimensionMismatch{4, 3}));
    EXPECT_EQ(q->sketch(std::vector<float>{0, 0, INFINITY, NAN}).error(), QuantError(NonFiniteInput{2}));
    EXPECT_EQ(q->estimate(s, std::vector<float>{0, NAN, 0, 0}).error(), QuantError(NonFiniteInput{1}));
}

TEST(Qjl, OverflowingResidualGivesInfiniteNorm) {
    auto q = QjlQuantizer::make(4, 1, 8);
    auto s = q->sketch(std::vector<float>{1e19f, 1e19f, 1e19f, 1e19f});
    ASSERT_TRUE(s.has_value());
    EXPECT_TRUE(std::isinf(s->norm));
}

}  // namespace
}  // namespace quillane
