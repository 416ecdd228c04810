#include "error.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <vector>

namespace quillane {
namespace {

struct MessageCase {
    QuantErrorKind kind;
    const char* text;
};

class QuantErrorMessage : public ::testing::TestWithParam<MessageCase> {};

TEST_P(QuantErrorMessage, RendersExactly) {
    EXPECT_EQ(QuantError(GetParam().kind).message(), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    AllVariants, QuantErrorMessage,
    ::testing::Values(
        MessageCase{OddDimension{9}, "dimension must be even, got 9"},
        MessageCase{ZeroDimension{}, "dimension must be > 0"},
        MessageCase{InvalidBitWidth{0}, "bit width must be 1..=16, got 0"},
        MessageCase{InvalidBitWidth{17}, "bit width must be 1..=16, got 17"},
        MessageCase{InvalidBitWidth{255}, "bit width must be 1..=16, got 255"},
        MessageCase{ZeroProjections{}, "projections must be > 0"},
        MessageCase{DimensionTooLarge{131072, 131070},
                    "dimension 131072 too large for compact format (max 131070)"},
        MessageCase{DimensionTooLarge{65536, 65535},
                    "dimension 65536 too large for compact format (max 65535)"},
        MessageCase{DimensionMismatch{8, 7}, "dimension mismatch: quantizer expects 8, got 7"},
        MessageCase{DimensionMismatch{8, 0}, "dimension mismatch: quantizer expects 8, got 0"},
        MessageCase{NonFiniteInput{1}, "input contains non-finite values (NaN or Inf) at index 1"},
        MessageCase{DimensionMismatch{18446744073709551615ull, 0},
                    "dimension mismatch: quantizer expects 18446744073709551615, got 0"},
        MessageCase{DeserializationFailed{"buffer is empty"},
                    "deserialization failed: buffer is empty"}));

TEST(QuantError, VariantsAreDeclaredInOrder) {
    EXPECT_EQ(QuantErrorKind(OddDimension{}).index(), 0u);
    EXPECT_EQ(QuantErrorKind(ZeroDimension{}).index(), 1u);
    EXPECT_EQ(QuantErrorKind(InvalidBitWidth{}).index(), 2u);
    EXPECT_EQ(QuantErrorKind(ZeroProjections{}).index(), 3u);
    EXPECT_EQ(QuantErrorKind(DimensionTooLarge{}).index(), 4u);
    EXPECT_EQ(QuantErrorKind(DimensionMismatch{}).index(), 5u);
    EXPECT_EQ(QuantErrorKind(NonFiniteInput{}).index(), 6u);
    EXPECT_EQ(QuantErrorKind(DeserializationFailed{}).index(), 7u);
}

TEST(CheckDimension, ReportsExpectedThenGot) {
    EXPECT_TRUE(check_dimension(8, 8).has_value());
    auto r = check_dimension(8, 7);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), QuantError(DimensionMismatch{8, 7}));
}

float from_bits(uint32_t b) { return std::bit_cast<float>(b); }

TEST(CheckFinite, AcceptsEveryFiniteBitPattern) {
    const std::vector<float> ok = {
        0.0f, from_bits(0x80000000u), from_bits(0x00000001u), from_bits(0x807FFFFFu),
        from_bits(0x7F7FFFFFu), from_bits(0xFF7FFFFFu), 1.0f, -1.0f};
    EXPECT_TRUE(check_finite(ok).has_value());
    EXPECT_TRUE(check_finite({}).has_value());
}

class CheckFiniteRejects : public ::testing::TestWithParam<uint32_t> {};

TEST_P(CheckFiniteRejects, AtItsIndex) {
    // The first of two, wherever it falls among the check's chunks of sixteen.
    for (size_t first : {0, 2, 15, 16, 17, 31, 40, 49}) {
        std::vector<float> v(50, 1.0f);
        v[first] = from_bits(GetParam());
        if (first + 3 < v.size()) v[first + 3] = from_bits(GetParam());
        auto r = check_finite(v);
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(r.error(), QuantError(NonFiniteInput{first})) << first;
    }
}

INSTANTIATE_TEST_SUITE_P(NanAndInfinity, CheckFiniteRejects,
                         ::testing::Values(0x7F800000u, 0xFF800000u, 0x7FC00000u, 0xFFC00000u,
                                           0x7F800001u, 0xFFFFFFFFu, 0x7FBFFFFFu));

TEST(CheckFinite, FirstNonFiniteWins) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    auto r = check_finite(std::vector<float>{1.0f, nan, inf});
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().message(), "input contains non-finite values (NaN or Inf) at index 1");
}

}  // namespace
}  // namespace quillane
