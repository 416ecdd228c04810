#include "codebook.hpp"

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <cmath>
#include <cstring>

#include "test_data.hpp"

namespace quillane {
namespace {

using testing_data::bits;
using testing_data::hex_u32;

TEST(Codebook, RefusesBitWidthsOutsideOneToSixteen) {
    for (unsigned b : {0u, 17u, 255u}) {
        auto cb = Codebook::make(static_cast<uint8_t>(b));
        ASSERT_FALSE(cb.has_value());
        EXPECT_EQ(cb.error(), QuantError(InvalidBitWidth{static_cast<uint8_t>(b)}));
    }
}

TEST(Codebook, ReferenceLevelsAndBoundaries) {
    for (const auto& entry : testing_data::reference()["codebook"]) {
        const uint8_t b = entry["bits"];
        auto cb = Codebook::make(b);
        ASSERT_TRUE(cb.has_value());
        ASSERT_EQ(cb->levels().size(), size_t{1} << b);
        ASSERT_EQ(cb->boundaries().size(), (size_t{1} << b) - 1);
        if (entry.contains("levels")) {
            for (size_t i = 0; i < cb->levels().size(); ++i)
                EXPECT_EQ(bits(cb->levels()[i]), hex_u32(entry["levels"][i])) << int(b) << " " << i;
            for (size_t i = 0; i < cb->boundaries().size(); ++i)
                EXPECT_EQ(bits(cb->boundaries()[i]), hex_u32(entry["boundaries"][i]));
        } else {
            unsigned char digest[SHA256_DIGEST_LENGTH];
            SHA256(reinterpret_cast<const unsigned char*>(cb->levels().data()),
                   cb->levels().size() * sizeof(float), digest);
            char hex[2 * SHA256_DIGEST_LENGTH + 1];
            for (int i = 0; i < SHA256_DIGEST_LENGTH; ++i) std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
            EXPECT_EQ(std::string(hex),
                      entry["sha256_of_levels_as_little_endian_float32"].get<std::string>());
        }
    }
}

struct Published {
    uint8_t bits;
    std::vector<double> upper_half;  // levels from the middle outwards
};

class CodebookPublishedLevels : public ::testing::TestWithParam<Published> {};

TEST_P(CodebookPublishedLevels, MatchToPublishedDigits) {
    const auto& p = GetParam();
    auto cb = Codebook::make(p.bits);
    const size_t n = cb->levels().size();
    for (size_t k = 0; k < p.upper_half.size(); ++k) {
        EXPECT_NEAR(cb->levels()[n / 2 + k], p.upper_half[k], 1e-5);
        EXPECT_NEAR(cb->levels()[n / 2 - 1 - k], -p.upper_half[k], 1e-5);
    }
}

INSTANTIATE_TEST_SUITE_P(
    OneToFourBits, CodebookPublishedLevels,
    ::testing::Values(Published{1, {0.7978846}}, Published{2, {0.45278, 1.51042}},
                      Published{3, {0.24738, 0.76226, 1.35246, 2.16040}},
                      Published{4, {0.14741, 0.44384, 0.74563, 1.05834, 1.39138, 1.76272,
                                    2.21211, 2.86035}}));

TEST(Codebook, OneBitBoundaryIsExactlyZeroAndTiesGoLow) {
    auto cb = Codebook::make(1);
    EXPECT_EQ(bits(cb->boundaries()[0]), 0u);
    EXPECT_EQ(cb->quantize(0.0f), 0);
    EXPECT_EQ(cb->quantize(-0.0f), 0);
    EXPECT_EQ(cb->quantize(1e-7f), 1);
    EXPECT_NEAR(cb->levels()[1], 0.7978846f, 1e-7);
}

TEST(Codebook, FourBitBoundariesInsideTheAngleRange) {
    auto cb = Codebook::make(4);
    const double expected[] = {-0.90198, -0.59473, -0.29562, 0.0, 0.29562, 0.59473, 0.90198};
    for (int i = 0; i < 7; ++i) EXPECT_NEAR(cb->boundaries()[4 + i], expected[i], 1e-5);
}

TEST(Codebook, QuantizeCountsBoundariesStrictlyBelow) {
    for (uint8_t b = 1; b <= 8; ++b) {
        auto cb = Codebook::make(b);
        const auto& bd = cb->boundaries();
        for (size_t i = 0; i < bd.size(); ++i) {
            EXPECT_EQ(cb->quantize(bd[i]), i) << int(b);  // a tie goes to the lower cell
            EXPECT_EQ(cb->quantize(std::nextafter(bd[i], 1e9f)), i + 1);
        }
        EXPECT_EQ(cb->quantize(-1e30f), 0);
        EXPECT_EQ(cb->quantize(1e30f), (1u << b) - 1);
    }
}

TEST(Codebook, DequantizeClampsPastTheLastLevel) {
    auto cb = Codebook::make(4);
    EXPECT_EQ(bits(cb->dequantize(65535)), bits(cb->levels()[15]));
    EXPECT_NEAR(cb->dequantize(65535), 2.86035, 1e-5);
    EXPECT_EQ(bits(cb->dequantize(3)), bits(cb->levels()[3]));
}

TEST(Codebook, SixteenBitsHasUnorderedNeighboursAndZeroLevels) {
    auto cb = Codebook::make(16);
    ASSERT_EQ(cb->levels().size(), 65536u);
    ASSERT_EQ(cb->boundaries().size(), 65535u);
    size_t out_of_order = 0, zeros = 0;
    for (size_t i = 0; i + 1 < 65536; ++i) out_of_order += !(cb->levels()[i] < cb->levels()[i + 1]);
    for (float l : cb->levels()) zeros += (l == 0.0f);
    // "close to half of all neighbouring pairs at 16 bits"
    EXPECT_GT(out_of_order, 20000u);
    EXPECT_LT(out_of_order, 40000u);
    EXPECT_GT(zeros, 0u);
    // The bisection is followed whatever the order: compare with a literal transcription.
    const auto& bd = cb->boundaries();
    for (float v : {-2.5f, -0.3f, 0.0f, 1e-6f, 0.7f, 2.9f}) {
        size_t base = 0, size = bd.size();
        while (size > 1) {
            const size_t half = size / 2;
            if (v > bd[base + half]) base += half;
            size -= half;
        }
        EXPECT_EQ(cb->quantize(v), v > bd[base] ? base + 1 : base);
    }
}

TEST(Codebook, CentroidDegenerateCells) {
    const float inf = INFINITY;
    EXPECT_EQ(cell_centroid(-inf, inf), 0.0f);      // den = 1: the mean of N(0, 1)
    EXPECT_EQ(cell_centroid(50.0f, 60.0f), 55.0f);  // both cdfs round to 1
    EXPECT_EQ(cell_centroid(50.0f, inf), 53.0f);
    EXPECT_EQ(cell_centroid(-inf, -50.0f), -53.0f);
}

TEST(Codebook, ErfSignOfNegativeZeroIsPositive) {
    EXPECT_FALSE(std::signbit(erf_approx(-0.0f)));
    EXPECT_EQ(bits(erf_approx(-1.0f)), bits(-erf_approx(1.0f)));
}

}  // namespace
}  // namespace quillane
