// The three compact byte forms: exact layouts, reader checks in order, round trips.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>

#include "rng.hpp"
#include "test_data.hpp"
#include "format/turbo_format.hpp"
#include "turbo.hpp"

namespace quillane {
namespace {

using Bytes = std::vector<uint8_t>;
using testing_data::bits;

std::string reason(const QuantError& e) { return e.as<DeserializationFailed>().reason; }

uint32_t bytes_le32(const Bytes& b) {
    return uint32_t(b[1]) | uint32_t(b[2]) << 8 | uint32_t(b[3]) << 16 | uint32_t(b[4]) << 24;
}

TEST(PolarFormat, WritesTheSpecifiedLayout) {
    PolarCode code{{1.0f}, {9}, 4};
    EXPECT_EQ(code.to_bytes(), (Bytes{0x01, 0x04, 0x01, 0x00, 0x00, 0x00, 0x80, 0x3F, 0x09, 0x00}));
    PolarCode two{{1.0f, -2.0f}, {1, 0x0302}, 2};
    EXPECT_EQ(two.to_bytes(), (Bytes{0x01, 0x02, 0x02, 0x00, 0x00, 0x00, 0x80, 0x3F, 0x00, 0x00,
                                     0x00, 0xC0, 0x01, 0x00, 0x02, 0x03}));
}

TEST(PolarFormat, EmptyCodeAndTrailingBytes) {
    for (const Bytes& b : {Bytes{1, 4, 0, 0}, Bytes{1, 4, 0, 0, 0xFF}}) {
        auto code = PolarCode::from_bytes(b);
        ASSERT_TRUE(code.has_value());
        EXPECT_TRUE(code->radii.empty());
        EXPECT_TRUE(code->angle_indices.empty());
        EXPECT_EQ(code->bits, 4);
    }
}

struct ReaderFailure {
    Bytes bytes;
    const char* reason;
};

class PolarReaderFailures : public ::testing::TestWithParam<ReaderFailure> {};

TEST_P(PolarReaderFailures, ReportTheFirstFailingCheck) {
    auto r = PolarCode::from_bytes(GetParam().bytes);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(reason(r.error()), GetParam().reason);
}

INSTANTIATE_TEST_SUITE_P(
    InOrder, PolarReaderFailures,
    ::testing::Values(
        ReaderFailure{{}, "buffer too short: need at least 4 bytes"},
        ReaderFailure{{0x07, 0x00, 0x00}, "buffer too short: need at least 4 bytes"},
        ReaderFailure{{0x02, 0x04, 0x00, 0x00}, "unsupported version 0x02, expected 0x01"},
        ReaderFailure{{0xAB, 0x00, 0xFF, 0xFF}, "unsupported version 0xAB, expected 0x01"},
        ReaderFailure{{0x01, 0x11, 0x00, 0x00}, "invalid bit width 17: must be 1..=16"},
        ReaderFailure{{0x01, 0x00, 0xFF, 0xFF}, "invalid bit width 0: must be 1..=16"},
        ReaderFailure{{0x01, 0x04, 0x02, 0x00, 1, 2, 3, 4, 5}, "buffer too short: need 16, got 9"},
        ReaderFailure{{0x01, 0x10, 0xFF, 0xFF}, "buffer too short: need 393214, got 4"}));

TEST(PolarFormat, RoundTripsEveryRadiusBitForBit) {
    const float nan_payload = std::bit_cast<float>(0x7FC12345u);
    const float neg_nan = std::bit_cast<float>(0xFFA00001u);
    PolarCode code{{INFINITY, -INFINITY, nan_payload, neg_nan, -0.0f, -3.5f, 1e-45f},
                   {0, 65535, 7, 15, 16, 300, 1},
                   4};
    auto back = PolarCode::from_bytes(code.to_bytes());
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, code);
    for (size_t i = 0; i < code.radii.size(); ++i) EXPECT_EQ(bits(back->radii[i]), bits(code.radii[i]));
    EXPECT_EQ(back->to_bytes(), code.to_bytes());
}

TEST(PolarFormat, WriterRefusesMoreThan65535Pairs) {
    PolarCode code{std::vector<float>(65536, 1.0f), std::vector<uint16_t>(65536, 0), 4};
    try {
        (void)code.to_bytes();
        FAIL() << "no invariant failure";
    } catch (const InvariantFailure& e) {
        EXPECT_STREQ(e.what(),
                     "PolarCode num_pairs exceeds u16::MAX; dimension too large for compact format");
    }
    PolarCode largest{std::vector<float>(65535, 1.0f), std::vector<uint16_t>(65535, 0), 4};
    EXPECT_EQ(largest.to_bytes().size(), 4u + 6u * 65535u);
}

TEST(QjlFormat, WritesTheSpecifiedLayout) {
    QjlSketch s{{0xA5, 0x01}, 9, 1.5f};
    const Bytes expected{0x01, 0x09, 0x00, 0x00, 0x00, 0xC0, 0x3F, 0xA5, 0x01};
    EXPECT_EQ(s.to_bytes(), expected);
    auto back = QjlSketch::from_bytes(expected);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, s);
    QjlSketch negative_zero{{0x01}, 1, -0.0f};
    EXPECT_EQ(negative_zero.to_bytes(), (Bytes{0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x80, 0x01}));
}

class QjlReaderFailures : public ::testing::TestWithParam<ReaderFailure> {};

TEST_P(QjlReaderFailures, ReportTheFirstFailingCheck) {
    auto r = QjlSketch::from_bytes(GetParam().bytes);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(reason(r.error()), GetParam().reason);
}

INSTANTIATE_TEST_SUITE_P(
    InOrder, QjlReaderFailures,
    ::testing::Values(
        ReaderFailure{{0x02, 0, 0, 0, 0, 0}, "buffer too short: need at least 7 bytes"},
        ReaderFailure{{0x10, 0, 0, 0, 0, 0xC0, 0x7F}, "unsupported version 0x10, expected 0x01"},
        ReaderFailure{{0x01, 0x00, 0x00, 0x00, 0x00, 0xC0, 0x7F}, "num_projections must be > 0"},
        ReaderFailure{{0x01, 0x09, 0x00, 0x00, 0x00, 0xC0, 0x7F}, "norm is NaN"},
        ReaderFailure{{0x01, 0x09, 0x00, 0x01, 0x00, 0x80, 0xFF}, "norm is NaN"},
        ReaderFailure{{0x01, 0x09, 0x00, 0x00, 0x00, 0x80, 0x7F}, "norm is infinite"},
        ReaderFailure{{0x01, 0x09, 0x00, 0x00, 0x00, 0x80, 0xFF}, "norm is infinite"},
        ReaderFailure{{0x01, 0x09, 0x00, 0x00, 0x00, 0x80, 0xBF}, "norm is negative"},
        ReaderFailure{{0x01, 0x09, 0x00, 0x01, 0x00, 0x00, 0x80}, "norm is negative"},
        ReaderFailure{{0x01, 0x09, 0x00, 0x00, 0x00, 0x00, 0x00}, "buffer too short: need 9, got 7"},
        ReaderFailure{{0x01, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00}, "buffer too short: need 8199, got 7"}));

TEST(QjlFormat, ReadsExactlyTheSignBytesItNeeds) {
    Bytes b{0x01, 0x09, 0x00, 0x00, 0x00, 0x00, 0x80, 0xAA, 0xFE};
    auto nine = QjlSketch::from_bytes(b);
    ASSERT_TRUE(nine.has_value());
    EXPECT_EQ(nine->signs, (Bytes{0xAA, 0xFE}));  // high bits neither checked nor cleared
    EXPECT_TRUE(std::signbit(nine->norm));
    b.insert(b.end(), {1, 2, 3});
    auto twelve = QjlSketch::from_bytes(b);
    EXPECT_EQ(twelve->signs, (Bytes{0xAA, 0xFE}));
    Bytes full(7 + 8192, 0);
    full[0] = 1;
    full[1] = full[2] = 0xFF;
    auto largest = QjlSketch::from_bytes(full);
    ASSERT_TRUE(largest.has_value());
    EXPECT_EQ(largest->num_projections, 65535u);
    EXPECT_EQ(largest->signs.size(), 8192u);
}

TEST(QjlFormat, WriterRefusesMoreThan65535Projections) {
    QjlSketch s{Bytes(8192, 0), 65536, 1.0f};
    try {
        (void)s.to_bytes();
        FAIL() << "no invariant failure";
    } catch (const InvariantFailure& e) {
        EXPECT_STREQ(e.what(),
                     "QjlSketch num_projections exceeds u16::MAX; too many projections for compact format");
    }
}

TEST(TurboFormat, TheTwentyThreeByteExample) {
    TurboCode code{PolarCode{{1.0f}, {9}, 4}, QjlSketch{{0x01}, 1, 0.5f}};
    const Bytes expected{0x01, 0x0A, 0x00, 0x00, 0x00, 0x01, 0x04, 0x01, 0x00, 0x00, 0x00, 0x80,
                         0x3F, 0x09, 0x00, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x3F, 0x01};
    EXPECT_EQ(code.to_bytes(), expected);
    auto back = TurboCode::from_bytes(expected);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, code);
    Bytes longer = expected;
    longer.insert(longer.end(), {9, 9, 9});
    EXPECT_EQ(*TurboCode::from_bytes(longer), code);
}

struct SizeCase {
    uint64_t dim, m, size;
};

class TurboCodeSizes : public ::testing::TestWithParam<SizeCase> {};

TEST_P(TurboCodeSizes, SixteenPlusThreeDimPlusSignBytes) {
    const auto& c = GetParam();
    auto q = TurboQuantizer::make(c.dim, 4, c.m, 1);
    const auto bytes = q->encode(std::vector<float>(c.dim, 0.25f))->to_bytes();
    EXPECT_EQ(bytes.size(), c.size);
    EXPECT_EQ(bytes[0], 0x01);
    const uint32_t p = 4 + 3 * uint32_t(c.dim);
    EXPECT_EQ(bytes_le32(bytes), p);
}

INSTANTIATE_TEST_SUITE_P(Specified, TurboCodeSizes,
                         ::testing::Values(SizeCase{8, 2, 41}, SizeCase{128, 32, 404},
                                           SizeCase{768, 192, 2344}, SizeCase{2, 1, 23}));

// The layout's size is the length of the zero vector's encoding, which is what the
// code size used to be measured by; its offsets read that code's fields.
TEST(TurboLayout, SizeIsTheZeroVectorEncodingsLength) {
    for (uint64_t dim : {2, 4, 10, 34, 130}) {
        for (uint8_t b : {1, 5, 16}) {
            for (uint64_t m : {1, 7, 8, 9, 64, 65535}) {
                if (m == 65535 && dim > 4) continue;
                auto q = TurboQuantizer::make(dim, b, m, dim + m);
                const auto bytes = q->encode(std::vector<float>(dim, 0.0f))->to_bytes();
                const auto layout = q->layout();
                ASSERT_EQ(bytes.size(), q->code_size_bytes()) << dim << " " << int(b) << " " << m;
                EXPECT_EQ(bytes.size(), layout.size());
                EXPECT_TRUE(format::is_regular_turbo_code(bytes, layout, b));
                EXPECT_EQ(bytes[layout.bits()], b);
                EXPECT_EQ(bytes[layout.projections_field()] | bytes[layout.projections_field() + 1] << 8, int(m));
            }
        }
    }
}

class TurboReaderFailures : public ::testing::TestWithParam<ReaderFailure> {};

TEST_P(TurboReaderFailures, ReportTheFirstFailingCheck) {
    auto r = TurboCode::from_bytes(GetParam().bytes);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().message(), std::string("deserialization failed: ") + GetParam().reason);
}

INSTANTIATE_TEST_SUITE_P(
    InOrder, TurboReaderFailures,
    ::testing::Values(
        ReaderFailure{{}, "buffer is empty"},
        ReaderFailure{{0x01}, "buffer too short for polar length prefix"},
        ReaderFailure{{0x00}, "unsupported version 0x00, expected 0x01"},
        ReaderFailure{{0xFF}, "unsupported version 0xFF, expected 0x01"},
        ReaderFailure{{0x07}, "unsupported version 0x07, expected 0x01"},
        ReaderFailure{{0x2A, 0, 0, 0, 0, 0}, "unsupported version 0x2A, expected 0x01"},
        ReaderFailure{{0x01, 0xFF, 0xFF, 0xFF, 0xFF, 1, 2, 3}, "buffer too short for polar payload"},
        ReaderFailure{{0x01, 0x04, 0x00, 0x00, 0x00, 0x01, 0x04, 0x00}, "buffer too short for polar payload"},
        // A well-formed polar payload that ends the buffer.
        ReaderFailure{{0x01, 0x04, 0x00, 0x00, 0x00, 0x01, 0x04, 0x00, 0x00}, "missing qjl payload"},
        // A malformed polar payload at the end reports the polar reason.
        ReaderFailure{{0x01, 0x04, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00}, "invalid bit width 0: must be 1..=16"},
        ReaderFailure{{0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x04, 0x00, 0x00}, "buffer too short: need at least 4 bytes"},
        ReaderFailure{{0x01, 0x04, 0x00, 0x00, 0x00, 0x01, 0x04, 0x01, 0x00, 0, 0}, "buffer too short: need 10, got 4"},
        ReaderFailure{{0x01, 0x04, 0x00, 0x00, 0x00, 0x01, 0x04, 0x00, 0x00, 0x01, 0x01, 0x00}, "buffer too short: need at least 7 bytes"},
        ReaderFailure{{0x01, 0x04, 0x00, 0x00, 0x00, 0x01, 0x04, 0x00, 0x00,
                       0x01, 0x01, 0x00, 0x00, 0x00, 0x80, 0x7F, 0x01}, "norm is infinite"}));

TEST(TurboFormat, PolarSliceMayHoldUnusedBytes) {
    // P = 6 but the polar reader uses 4 of them; the QJL payload starts after all 6.
    const Bytes b{0x01, 0x06, 0x00, 0x00, 0x00, 0x01, 0x04, 0x00, 0x00, 0xEE, 0xEE,
                  0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x3F, 0x01};
    auto code = TurboCode::from_bytes(b);
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(code->qjl.norm, 0.5f);
}

TEST(TurboFormat, WriterRefusesAPolarPayloadOf4GiB) {
    try {
        check_polar_payload_size(0x100000000ull);
        FAIL() << "no invariant failure";
    } catch (const InvariantFailure& e) {
        EXPECT_STREQ(e.what(), "polar payload exceeds u32::MAX; dimension too large for compact format");
    }
    EXPECT_NO_THROW(check_polar_payload_size(0xFFFFFFFFull));
}

struct RoundTripCase {
    uint64_t dim;
    uint8_t bits;
    uint64_t m;
    uint64_t seed;
};

class TurboRoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(TurboRoundTrip, ReadingWhatWasWrittenGivesTheSameCodeAndBytes) {
    const auto& c = GetParam();
    auto q = TurboQuantizer::make(c.dim, c.bits, c.m, c.seed);
    SeededRng rng(c.seed ^ 0x5555);
    for (int i = 0; i < 50; ++i) {
        auto v = rng.standard_normal_vec(c.dim);
        if (i % 10 == 1) v.assign(c.dim, 0.0f);
        if (i % 10 == 2) v[0] = 1e18f;
        if (i % 10 == 3) v[c.dim - 1] = -1e-40f;
        auto code = q->encode(v);
        ASSERT_TRUE(code.has_value());
        const auto bytes = code->to_bytes();
        auto back = TurboCode::from_bytes(bytes);
        ASSERT_TRUE(back.has_value()) << back.error().message();
        EXPECT_EQ(*back, *code);
        EXPECT_EQ(back->to_bytes(), bytes);
    }
}

INSTANTIATE_TEST_SUITE_P(ManyQuantizers, TurboRoundTrip,
                         ::testing::Values(RoundTripCase{2, 1, 1, 0}, RoundTripCase{8, 4, 2, 42},
                                           RoundTripCase{10, 16, 3, 7}, RoundTripCase{16, 8, 17, 9},
                                           RoundTripCase{64, 2, 64, 3}, RoundTripCase{130, 3, 32, 11}));

}  // namespace
}  // namespace quillane
