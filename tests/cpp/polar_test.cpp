#include "polar.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "test_data.hpp"

namespace quillane {
namespace {

using testing_data::bits;

struct PairCase {
    uint8_t bits;
    float x, y;
    uint16_t index;
    double dx, dy;
};

class PolarPairs : public ::testing::TestWithParam<PairCase> {};

TEST_P(PolarPairs, IndexAndDecoding) {
    const auto& c = GetParam();
    auto pq = PolarQuantizer::make(2, c.bits);
    const float v[2] = {c.x, c.y};
    auto code = pq->encode(v);
    ASSERT_TRUE(code.has_value());
    ASSERT_EQ(code->angle_indices.size(), 1u);
    EXPECT_EQ(code->angle_indices[0], c.index);
    EXPECT_EQ(code->bits, c.bits);
    const auto out = pq->decode(*code);
    EXPECT_NEAR(out[0], c.dx, 1e-3);
    EXPECT_NEAR(out[1], c.dy, 1e-3);
}

INSTANTIATE_TEST_SUITE_P(
    SpecifiedPairs, PolarPairs,
    ::testing::Values(PairCase{1, 1.0f, 0.0f, 0, -0.805, -0.593},
                      PairCase{1, 0.0f, 1.0f, 1, -0.805, 0.593},
                      PairCase{4, -1.0f, 0.0f, 11, -0.983, -0.182},
                      PairCase{4, -1.0f, -0.0f, 4, -0.983, 0.182},
                      PairCase{4, 0.0f, 1.0f, 9, 0.176, 0.984}));

TEST(Polar, ZeroPairHasZeroRadiusAndDecodesToZeros) {
    auto pq = PolarQuantizer::make(2, 4);
    const float v[2] = {0.0f, 0.0f};
    auto code = pq->encode(v);
    EXPECT_EQ(bits(code->radii[0]), 0u);
    EXPECT_EQ(code->angle_indices[0], pq->codebook().quantize(0.0f));
    for (float o : pq->decode(*code)) EXPECT_EQ(o, 0.0f);
}

TEST(Polar, RadiusOverflowsWithoutHypot) {
    auto pq = PolarQuantizer::make(2, 4);
    const float v[2] = {2e19f, 0.0f};
    auto code = pq->encode(v);
    EXPECT_TRUE(std::isinf(code->radii[0]));
}

TEST(Polar, ChecksRunDimensionFirstThenFinite) {
    auto pq = PolarQuantizer::make(8, 4);
    const float nan = NAN;
    std::vector<float> too_long(9, nan);
    EXPECT_EQ(pq->encode(too_long).error(), QuantError(DimensionMismatch{8, 9}));
    std::vector<float> v(8, 1.0f);
    v[3] = nan;
    v[7] = nan;
    EXPECT_EQ(pq->encode(v).error(), QuantError(NonFiniteInput{3}));
    PolarCode code = *pq->encode(std::vector<float>(8, 1.0f));
    EXPECT_EQ(pq->inner_product(code, too_long).error(), QuantError(DimensionMismatch{8, 9}));
    EXPECT_EQ(pq->inner_product(code, v).error(), QuantError(NonFiniteInput{3}));
}

TEST(Polar, ConstructionLimits) {
    EXPECT_TRUE(PolarQuantizer::make(131070, 4).has_value());
    EXPECT_EQ(PolarQuantizer::make(131072, 4).error(),
              QuantError(DimensionTooLarge{131072, 131070}));
    EXPECT_EQ(PolarQuantizer::make(8, 0).error(), QuantError(InvalidBitWidth{0}));
}

TEST(Polar, DecodeToleratesShortLongAndForeignCodes) {
    auto pq = PolarQuantizer::make(6, 4);
    PolarCode short_code{{1.0f}, {9, 9, 9}, 4};
    auto out = pq->decode(short_code);
    ASSERT_EQ(out.size(), 6u);
    for (size_t i = 2; i < 6; ++i) EXPECT_EQ(bits(out[i]), 0u);
    PolarCode long_code{{1.0f, 1.0f, 1.0f, 5.0f}, {9, 9, 9, 9}, 2};
    EXPECT_EQ(pq->decode(long_code).size(), 6u);
    // An index past 2^bits decodes with the last level of the decoder's codebook.
    PolarCode clamped{{1.0f}, {65535}, 1};
    const float angle = pq->codebook().levels().back() * polar_pi();
    auto c = pq->decode(clamped);
    EXPECT_EQ(bits(c[0]), bits(std::cos(angle) * 1.0f));
    EXPECT_EQ(bits(c[1]), bits(1.0f * std::sin(angle)));
}

TEST(Polar, InnerProductSumsTheDecodingSequentiallyFromNegativeZero) {
    auto pq = PolarQuantizer::make(4, 3);
    const std::vector<float> v = {0.5f, -1.5f, 2.0f, 0.25f};
    const std::vector<float> q = {1.0f, 3.0f, -0.5f, 7.0f};
    auto code = pq->encode(v);
    const auto d = pq->decode(*code);
    float t = -0.0f;
    for (int k = 0; k < 4; ++k) t = t + d[k] * q[k];
    EXPECT_EQ(bits(*pq->inner_product(*code, q)), bits(t));
    // An empty code decodes to zeros; -0.0 + 0 * q keeps the sign rules.
    PolarCode empty{{}, {}, 3};
    const std::vector<float> negq = {-1.0f, -1.0f, -1.0f, -1.0f};
    EXPECT_EQ(bits(*pq->inner_product(empty, negq)), bits(-0.0f));
}

}  // namespace
}  // namespace quillane
