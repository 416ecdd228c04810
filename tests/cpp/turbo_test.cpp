#include "turbo.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <fstream>

#include "rng.hpp"
#include "test_data.hpp"

namespace quillane {
namespace {

using namespace testing_data;

struct BadArgs {
    uint64_t dim;
    unsigned bits;
    uint64_t m;
    const char* message;
};

class TurboConstruction : public ::testing::TestWithParam<BadArgs> {};

TEST_P(TurboConstruction, FirstFailingCheckWinsAtOnce) {
    const auto& c = GetParam();
    const auto t0 = std::chrono::steady_clock::now();
    auto q = TurboQuantizer::make(c.dim, static_cast<uint8_t>(c.bits), c.m, 42);
    ASSERT_FALSE(q.has_value());
    EXPECT_EQ(q.error().message(), c.message);
    // Refused before anything is built: no dim^3 factorisation, no dim^2 allocation.
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 0.5);
}

INSTANTIATE_TEST_SUITE_P(
    CheckOrder, TurboConstruction,
    ::testing::Values(
        BadArgs{0, 4, 1, "dimension must be > 0"},
        BadArgs{0, 0, 0, "dimension must be > 0"},
        BadArgs{7, 4, 1, "dimension must be even, got 7"},
        BadArgs{7, 0, 0, "dimension must be even, got 7"},
        BadArgs{131072, 4, 1, "dimension 131072 too large for compact format (max 131070)"},
        BadArgs{131072, 0, 0, "dimension 131072 too large for compact format (max 131070)"},
        BadArgs{8, 0, 2, "bit width must be 1..=16, got 0"},
        BadArgs{8192, 0, 2, "bit width must be 1..=16, got 0"},
        BadArgs{8, 17, 0, "bit width must be 1..=16, got 17"},
        BadArgs{8, 4, 0, "projections must be > 0"},
        BadArgs{131070, 4, 0, "projections must be > 0"},
        BadArgs{8, 4, 65536, "dimension 65536 too large for compact format (max 65535)"},
        BadArgs{8192, 16, 65536, "dimension 65536 too large for compact format (max 65535)"}));

TEST(TurboConstruction, LargestDimensionPassesTheChecks) {
    EXPECT_TRUE(TurboQuantizer::check_parameters(131070, 4, 1).has_value());
    EXPECT_TRUE(TurboQuantizer::check_parameters(8, 16, 65535).has_value());
}

TEST(TurboConstruction, UnallocatableRotationThrowsBadAlloc) {
    // 131070^2 floats is about 64 GiB per matrix: more than this machine can hand out.
    EXPECT_THROW((void)TurboQuantizer::make(131070, 4, 1, 42), std::bad_alloc);
}

TEST(TurboConstruction, LastSeedWrapsToProjectionSeedZero) {
    auto q = TurboQuantizer::make(8, 4, 2, 0xFFFFFFFFFFFFFFFFull);
    ASSERT_TRUE(q.has_value());
    EXPECT_EQ(q->qjl().seed(), 0u);
    SeededRng zero(0);
    EXPECT_EQ(q->qjl().projection_matrix(), zero.standard_normal_vec(16));
}

TEST(TurboConstruction, BitWidthChangesNeitherRotationNorProjections) {
    auto a = TurboQuantizer::make(16, 1, 4, 9);
    auto b = TurboQuantizer::make(16, 16, 4, 9);
    EXPECT_EQ(a->rotation().matrix(), b->rotation().matrix());
    EXPECT_EQ(a->qjl().projection_matrix(), b->qjl().projection_matrix());
}

void check_golden_file(const nlohmann::json& entries) {
    for (const auto& e : entries) {
        const uint64_t seed = std::stoull(e["seed"].get<std::string>());
        auto q = TurboQuantizer::make(e["dim"], e["bits"].get<uint8_t>(), e["projections"], seed);
        ASSERT_TRUE(q.has_value());
        EXPECT_EQ(q->code_size_bytes(), e["code_size_bytes"].get<uint64_t>());
        std::vector<std::vector<float>> queries;
        for (const auto& s : e["queries"]) queries.push_back(hex_floats_le(s));
        for (const auto& v : e["vectors"]) {
            SCOPED_TRACE("dim " + e["dim"].dump() + " bits " + e["bits"].dump() + " vector " +
                         v["vector"].get<std::string>().substr(0, 16));
            auto code = q->encode(hex_floats_le(v["vector"]));
            ASSERT_TRUE(code.has_value());
            const auto bytes = code->to_bytes();
            EXPECT_EQ(bytes, hex_bytes(v["code"]));
            EXPECT_EQ(bytes.size(), q->code_size_bytes());
            const auto decoded = q->decode(*code);
            ASSERT_EQ(decoded.size(), v["decoded"].size());
            for (size_t i = 0; i < decoded.size(); ++i)
                EXPECT_EQ(bits(decoded[i]), hex_u32(v["decoded"][i])) << i;
            for (size_t k = 0; k < queries.size(); ++k) {
                auto ip = q->inner_product(*code, queries[k]);
                ASSERT_TRUE(ip.has_value());
                EXPECT_EQ(bits(*ip), hex_u32(v["inner_product_with_queries"][k]));
            }
        }
    }
}

TEST(TurboGolden, ReferenceQuantizers) { check_golden_file(reference()["quantizer"]); }

TEST(TurboGolden, CommittedRegressionVectors) {
    std::ifstream in(std::string(QUILLANE_TEST_DATA) + "/golden-core.json");
    ASSERT_TRUE(in.good());
    check_golden_file(nlohmann::json::parse(in)["quantizer"]);
}

TEST(Turbo, EncodingTheZeroVector) {
    auto q = TurboQuantizer::make(16, 4, 9, 3);
    auto code = q->encode(std::vector<float>(16, 0.0f));
    ASSERT_TRUE(code.has_value());
    for (float r : code->polar.radii) EXPECT_EQ(r, 0.0f);
    EXPECT_EQ(bits(code->qjl.norm), 0u);
    EXPECT_EQ(code->qjl.signs, (std::vector<uint8_t>{0xFF, 0x01}));
}

TEST(Turbo, EstimateIsPolarTermPlusZeroBelowTheNormEpsilon) {
    auto q = TurboQuantizer::make(8, 4, 2, 42);
    SeededRng rng(5);
    const auto x = rng.standard_normal_vec(8);
    const auto query = rng.standard_normal_vec(8);
    auto code = *q->encode(x);
    code.qjl.norm = 1e-31f;
    const auto y = q->rotation().apply(query);
    const float t = *q->polar().inner_product(code.polar, y);
    EXPECT_EQ(bits(*q->inner_product(code, query)), bits(t + 0.0f));
}

TEST(Turbo, ChecksQueryDimensionBeforeFiniteness) {
    auto q = TurboQuantizer::make(8, 4, 2, 42);
    auto code = *q->encode(std::vector<float>(8, 1.0f));
    EXPECT_EQ(q->inner_product(code, std::vector<float>(7, NAN)).error().message(),
              "dimension mismatch: quantizer expects 8, got 7");
    EXPECT_EQ(q->encode(std::vector<float>(7, NAN)).error().message(),
              "dimension mismatch: quantizer expects 8, got 7");
    std::vector<float> v(8, 1.0f);
    v[5] = -INFINITY;
    EXPECT_EQ(q->encode(v).error(), QuantError(NonFiniteInput{5}));
    EXPECT_EQ(q->inner_product(code, v).error(), QuantError(NonFiniteInput{5}));
    EXPECT_EQ(q->encode(std::vector<float>{}).error().message(),
              "dimension mismatch: quantizer expects 8, got 0");
}

TEST(Turbo, RotationOverflowIsReportedAtTheRotatedIndex) {
    auto q = TurboQuantizer::make(8, 4, 2, 42);
    std::vector<float> v(8, 3e38f);
    auto r = q->encode(v);
    ASSERT_FALSE(r.has_value());
    EXPECT_TRUE(r.error().is<NonFiniteInput>());
}

TEST(Turbo, ShortSignArrayIsRefusedBeforeAnyArithmetic) {
    auto small = TurboQuantizer::make(16, 4, 8, 42);
    auto big = TurboQuantizer::make(16, 4, 17, 42);
    auto code = *small->encode(std::vector<float>(16, 0.5f));
    ASSERT_EQ(code.qjl.signs.size(), 1u);
    auto r = big->inner_product(code, std::vector<float>(16, 1.0f));
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), QuantError(DimensionMismatch{17, 8}));
    // Enough bytes but a different field: accepted, the quantizer's own m is used.
    auto code17 = *big->encode(std::vector<float>(16, 0.5f));
    EXPECT_TRUE(small->inner_product(code17, std::vector<float>(16, 1.0f)).has_value());
}

TEST(Turbo, DecodeAlwaysGivesDimValues) {
    auto q = TurboQuantizer::make(10, 4, 2, 1);
    TurboCode empty{{{}, {}, 4}, {{0}, 2, 0.0f}};
    EXPECT_EQ(q->decode(empty).size(), 10u);
}

TEST(Turbo, SameArgumentsSameBytes) {
    auto a = TurboQuantizer::make(32, 3, 8, 77);
    auto b = TurboQuantizer::make(32, 3, 8, 77);
    SeededRng rng(1);
    for (int i = 0; i < 20; ++i) {
        const auto v = rng.standard_normal_vec(32);
        EXPECT_EQ(a->encode(v)->to_bytes(), b->encode(v)->to_bytes());
    }
}

TEST(Turbo, PreparedScoringIsBitIdenticalToInnerProduct) {
    struct Config { uint64_t dim; uint8_t bits; uint64_t m; };
    for (const Config c : {Config{2, 1, 1}, Config{8, 4, 2}, Config{10, 16, 3}, Config{64, 8, 16},
                           Config{130, 2, 33}}) {
        auto q = TurboQuantizer::make(c.dim, c.bits, c.m, c.dim * 31 + c.bits);
        SeededRng rng(c.dim);
        for (int trial = 0; trial < 20; ++trial) {
            auto query = rng.standard_normal_vec(c.dim);
            if (trial == 1) query.assign(c.dim, -0.0f);
            if (trial == 2) query[0] = 1e-42f;
            if (trial == 3) query[c.dim - 1] = 3e37f;
            auto prepared = q->prepare_query(query);
            ASSERT_TRUE(prepared.has_value());
            for (int k = 0; k < 10; ++k) {
                auto v = rng.standard_normal_vec(c.dim);
                if (k == 1) v.assign(c.dim, 0.0f);
                auto code = *q->encode(v);
                if (k == 2) code.qjl.norm = 1e-31f;
                const float expected = *q->inner_product(code, query);
                EXPECT_EQ(bits(*q->score(code, *prepared)), bits(expected))
                    << "dim " << c.dim << " trial " << trial << " code " << k;
            }
        }
    }
}

TEST(Turbo, PreparedQueryReportsTheSameErrors) {
    auto q = TurboQuantizer::make(8, 4, 2, 42);
    auto code = *q->encode(std::vector<float>(8, 1.0f));
    const std::vector<std::vector<float>> bad = {std::vector<float>(7, NAN),
                                                 {1, 2, NAN, 4, 5, 6, 7, 8},
                                                 std::vector<float>(8, 3e38f)};
    for (const auto& query : bad) {
        auto expected = q->inner_product(code, query);
        ASSERT_FALSE(expected.has_value());
        auto prepared = q->prepare_query(query);
        ASSERT_FALSE(prepared.has_value());
        EXPECT_EQ(prepared.error(), expected.error());
    }
    auto big = TurboQuantizer::make(8, 4, 9, 42);
    auto prepared = big->prepare_query(std::vector<float>(8, 1.0f));
    EXPECT_EQ(big->score(code, *prepared).error(),
              big->inner_product(code, std::vector<float>(8, 1.0f)).error());
}

TEST(Turbo, EstimateIsUnbiasedOverSeeds) {
    constexpr size_t dim = 64;
    SeededRng data(2026);
    const auto x = data.standard_normal_vec(dim);
    const auto query = data.standard_normal_vec(dim);
    double exact = 0;
    for (size_t i = 0; i < dim; ++i) exact += double(x[i]) * query[i];
    constexpr int seeds = 2000;
    double sum = 0, sum_sq = 0;
    for (int s = 0; s < seeds; ++s) {
        auto q = TurboQuantizer::make(dim, 2, 16, 1000 + s);
        const double est = *q->inner_product(*q->encode(x), query);
        sum += est;
        sum_sq += est * est;
    }
    const double mean = sum / seeds;
    const double sd = std::sqrt((sum_sq - seeds * mean * mean) / (seeds - 1));
    const double standard_error = sd / std::sqrt(double(seeds));
    EXPECT_LT(std::fabs(mean - exact), 4.0 * standard_error)
        << "mean " << mean << " exact " << exact << " se " << standard_error;
    EXPECT_GT(sd, 0.0);
}

}  // namespace
}  // namespace quillane
