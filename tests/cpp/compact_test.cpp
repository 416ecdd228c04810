// The compact family: golden bytes, the reader's checks, the rotation, the estimate's
// statistics, and the flat index over compact codes.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <cstring>
#include <fstream>

#include "compact/levels.hpp"
#include "format/bytes.hpp"
#include "compact/quantizer.hpp"
#include "index/compact_family.hpp"
#include "kernels/compact_bounds.hpp"
#include "kernels/dispatch.hpp"
#include "index/flat_index.hpp"
#include "isa.hpp"
#include "rng.hpp"
#include "test_data.hpp"

namespace quillane {
namespace {

using testing_data::bits;

const nlohmann::json& golden() {
    static const nlohmann::json data = [] {
        std::ifstream in(std::string(QUILLANE_TEST_DATA) + "/golden-compact.json");
        return nlohmann::json::parse(in);
    }();
    return data;
}

TEST(CompactGolden, CodesDecodingsAndScoresKeepTheirBits) {
    for (const auto& entry : golden()["compact"]) {
        const auto q = *CompactQuantizer::make(entry["dim"], entry["bits"],
                                               std::stoull(entry["seed"].get<std::string>()));
        EXPECT_EQ(q.code_size_bytes(), entry["code_size_bytes"].get<uint64_t>());
        const auto query = testing_data::hex_floats_le(entry["queries"][0]);
        for (const auto& v : entry["vectors"]) {
            const auto code = *q.encode(testing_data::hex_floats_le(v["vector"]));
            ASSERT_EQ(code, testing_data::hex_bytes(v["code"])) << entry["dim"];
            const auto decoded = *q.decode(code);
            for (size_t i = 0; i < decoded.size(); ++i) {
                ASSERT_EQ(bits(decoded[i]), testing_data::hex_u32(v["decoded"][i]));
            }
            EXPECT_EQ(bits(*q.inner_product(code, query)),
                      testing_data::hex_u32(v["inner_product_with_queries"][0]));
        }
    }
}

TEST(CompactQuantizer, ConstructionLimits) {
    EXPECT_EQ(CompactQuantizer::make(0, 4, 1).error(), QuantError(ZeroDimension{}));
    EXPECT_EQ(CompactQuantizer::make(65537, 4, 1).error(), QuantError(DimensionTooLarge{65537, 65536}));
    EXPECT_EQ(CompactQuantizer::make(8, 9, 1).error().message(), "bit width must be 1..=8, got 9");
    EXPECT_EQ(CompactQuantizer::make(8, 0, 1).error(), QuantError(InvalidBitWidth{0, 8}));
    const auto q = *CompactQuantizer::make(65536, 1, 1);
    EXPECT_EQ(q.code_size_bytes(), 16u + 8192u);
    EXPECT_TRUE(q.encode(std::vector<float>(65536, 0.5f)).has_value());
}

TEST(HadamardRotation, OrthogonalForEveryShapeOfDimension) {
    for (size_t dim : {1, 2, 3, 7, 8, 100, 384, 768, 1000, 4096}) {
        const compact::HadamardRotation r(dim, dim);
        SeededRng rng(dim);
        const auto x = rng.standard_normal_vec(dim), z = rng.standard_normal_vec(dim);
        std::vector<float> y(dim), back(dim), rz(dim);
        r.apply(x, y.data());
        r.apply(z, rz.data());
        r.apply_inverse(y, back.data());
        double xx = 0, yy = 0, xz = 0, yz = 0, err = 0;
        for (size_t i = 0; i < dim; ++i) {
            xx += double(x[i]) * x[i];
            yy += double(y[i]) * y[i];
            xz += double(x[i]) * z[i];
            yz += double(y[i]) * rz[i];
            err = std::max(err, std::fabs(double(back[i]) - x[i]));
        }
        EXPECT_NEAR(yy / xx, 1.0, 1e-5) << dim;
        EXPECT_NEAR(yz, xz, 1e-4 * std::sqrt(xx * dim)) << dim;
        EXPECT_LT(err, 1e-4) << dim;
    }
}

TEST(CompactPaths, RotationsCodesAndScoresAreTheSameOnEveryPath) {
    SeededRng rng(8);
    for (size_t dim : {1, 5, 8, 9, 16, 24, 40, 100, 130, 256, 768, 1500, 2100, 4096}) {
        for (uint8_t b : {1, 3, 4, 8}) {
            const auto q = *CompactQuantizer::make(dim, b, dim * 3 + b);
            auto x = rng.standard_normal_vec(dim), query = rng.standard_normal_vec(dim);
            for (size_t i = 0; i < dim; i += 7) x[i] = (i % 2) ? 1e30f : -0.0f;
            std::vector<std::vector<uint8_t>> codes;
            std::vector<std::vector<float>> rotated, back;
            std::vector<float> scores;
            testing_isa::for_each_isa([&](kernels::Isa) {
                std::vector<float> y(dim), z(dim);
                q.rotation().apply(x, y.data());
                q.rotation().apply_inverse(x, z.data());
                rotated.push_back(y);
                back.push_back(z);
                codes.push_back(*q.encode(x));
                scores.push_back(*q.inner_product(codes.back(), query));
            });
            for (size_t p = 1; p < codes.size(); ++p) {
                EXPECT_EQ(0, std::memcmp(rotated[p].data(), rotated[0].data(), dim * 4)) << dim;
                EXPECT_EQ(0, std::memcmp(back[p].data(), back[0].data(), dim * 4)) << dim;
                EXPECT_EQ(codes[p], codes[0]) << dim << " bits " << int(b);
                EXPECT_EQ(bits(scores[p]), bits(scores[0])) << dim << " bits " << int(b);
            }
        }
    }
}

struct ReaderCase {
    size_t at;                    // first byte to overwrite, or SIZE_MAX to cut to `cut` bytes
    std::vector<uint8_t> values;
    size_t cut;
    std::string message;          // the start of the message
};

class CompactReader : public ::testing::TestWithParam<ReaderCase> {};

TEST_P(CompactReader, ReportsTheFirstFailingCheck) {
    const auto q = *CompactQuantizer::make(7, 3, 1);  // 21 bits: 3 padding bits
    auto code = *q.encode(std::vector<float>{1, -2, 3, 0.5f, 0, 7, -1});
    const auto& c = GetParam();
    if (c.at == SIZE_MAX) {
        code.resize(c.cut);
    } else {
        std::copy(c.values.begin(), c.values.end(), code.begin() + c.at);
    }
    const auto checked = q.check_code(code);
    ASSERT_FALSE(checked.has_value());
    EXPECT_EQ(checked.error().message().substr(0, c.message.size()), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Checks, CompactReader,
    ::testing::Values(
        ReaderCase{SIZE_MAX, {}, 0, "deserialization failed: buffer is empty"},
        ReaderCase{0, {1}, 0, "deserialization failed: unsupported version 0x01, expected 0x02"},
        ReaderCase{SIZE_MAX, {}, 15, "deserialization failed: buffer too short: need 16, got 15"},
        ReaderCase{1, {9}, 0, "deserialization failed: invalid bit width 9: must be 1..=8"},
        ReaderCase{SIZE_MAX, {}, 18, "deserialization failed: buffer too short: need 19, got 18"},
        ReaderCase{10, {0x80, 0x7F}, 0, "deserialization failed: scale is not finite"},
        ReaderCase{14, {0xC0, 0xFF}, 0, "deserialization failed: decode scale is not finite"},
        ReaderCase{18, {0xE0}, 0, "deserialization failed: padding bits are not zero"},
        ReaderCase{2, {7}, 0, "dimension mismatch: quantizer expects 7, got 8"},
        ReaderCase{4, {0}, 0, "deserialization failed: code was written by another quantizer"}));

TEST(CompactQuantizer, ForeignCodesAreRefusedByName) {
    const auto q = *CompactQuantizer::make(16, 4, 1);
    const auto other = *CompactQuantizer::make(16, 4, 2);
    const auto code = *other.encode(std::vector<float>(16, 1.0f));
    const std::string message = q.check_code(code).error().message();
    EXPECT_EQ(message.rfind("deserialization failed: code was written by another quantizer", 0), 0u)
        << message;
    const auto wider = *CompactQuantizer::make(16, 5, 1);
    EXPECT_EQ(q.decode(*wider.encode(std::vector<float>(16, 1.0f))).error().message(),
              "deserialization failed: code has 5 bits per coordinate, quantizer expects 4");
}

// Over 200 seeds (rotations), the estimate of <x, q> for fixed x and q is unbiased:
// its mean error lies within 3 standard errors of 0; and the error falls as bits rise.
TEST(CompactEstimate, UnbiasedOverRotationsAndSharperWithMoreBits) {
    const size_t dim = 64;
    SeededRng rng(11);
    const auto x = rng.standard_normal_vec(dim), query = rng.standard_normal_vec(dim);
    double exact = 0;
    for (size_t i = 0; i < dim; ++i) exact += double(x[i]) * query[i];
    double previous_rms = INFINITY;
    for (uint8_t b : {1, 2, 3, 4, 5, 6, 7, 8}) {
        double sum = 0, sum_sq = 0;
        const int seeds = 200;
        for (int s = 0; s < seeds; ++s) {
            const auto q = *CompactQuantizer::make(dim, b, 1000 + s);
            const double e = *q.inner_product(*q.encode(x), query) - exact;
            sum += e;
            sum_sq += e * e;
        }
        const double mean = sum / seeds, rms = std::sqrt(sum_sq / seeds);
        const double se = std::sqrt((sum_sq / seeds - mean * mean) / (seeds - 1));
        if (b == 1 || b == 2 || b == 4 || b == 8) {
            EXPECT_LT(std::fabs(mean), 3 * se) << int(b) << " bits: mean " << mean;
        }
        EXPECT_LT(rms, previous_rms) << int(b) << " bits";
        previous_rms = rms;
    }
}

TEST(CompactApproxScan, EveryPathGivesTheIntegerSums) {
    SeededRng rng(3);
    for (size_t dim : {1, 31, 32, 33, 100, 768}) {
        for (uint8_t b : {1, 2, 3, 4, 5, 6, 7, 8}) {
            const auto q = *CompactQuantizer::make(dim, b, 1);
            const size_t stride = q.code_size_bytes() + 4, n = 70, nq = 37;  // past one tile of 32 records and one block of 32 queries
            std::vector<uint8_t> records;
            for (size_t i = 0; i < n; ++i) {
                auto code = *q.encode(rng.standard_normal_vec(dim));
                code.resize(stride, 0xAB);  // bytes after a code must not count
                records.insert(records.end(), code.begin(), code.end());
            }
            records.resize(records.size() + kernels::COMPACT_SCAN_SLACK_BYTES, 0xCD);
            // One record all of level 0, the one at the level limit below: with lanes at
            // theirs, its 16-bit sums reach their largest.
            std::fill_n(records.begin() + 16, (dim * b + 7) / 8, 0);
            const size_t padded = (dim + 63) / 64 * 64;
            std::vector<std::vector<int8_t>> queries(nq, std::vector<int8_t>(padded, 0));
            std::vector<const int8_t*> query_rows;
            // Each lane's four values within 258 in magnitude together, as the many-query
            // kernel requires, from lanes at the limit (127, 127, 4, 0 in every sign) to
            // random ones.
            for (auto& query : queries) {
                for (size_t lane = 0; lane < padded / 4; ++lane) {
                    const bool extreme = (lane + query_rows.size()) % 3 == 0;
                    const int at_limit[4] = {127, 127, 4, 0};
                    int room = static_cast<int>(kernels::COMPACT_LANE_LIMIT);
                    for (size_t v = 0; v < 4; ++v) {
                        const int limit = std::min(127, room);
                        int value = extreme ? at_limit[v] : static_cast<int>(rng.next_u64() % (limit + 1));
                        room -= value;
                        if (rng.next_u64() % 2) value = -value;
                        const size_t j = kernels::compact_lane_member(lane, v);
                        if (j < dim) query[j] = static_cast<int8_t>(value);
                    }
                }
                query_rows.push_back(query.data());
            }
            std::vector<int8_t> levels(1u << b), many_levels(1u << b);
            std::vector<uint8_t> units(1u << b);
            for (auto& l : levels) l = static_cast<int8_t>(rng.next_u64() % 255) - 127;
            for (auto& l : many_levels) l = static_cast<int8_t>(rng.next_u64() % 127) - 63;
            for (auto& u : units) u = static_cast<uint8_t>(rng.next_u64());
            many_levels[0] = 63, units[0] = 255;
            const auto expected_sums = [&](const std::vector<int8_t>& table) {
                std::vector<int32_t> sums(nq * n);
                for (size_t k = 0; k < nq; ++k) {
                    for (size_t i = 0; i < n; ++i) {
                        const uint8_t* packed = records.data() + i * stride + 16;
                        for (size_t j = 0; j < dim; ++j) sums[k * n + i] += table[format::unpack_code(packed, b, j)] * queries[k][j];
                    }
                }
                return sums;
            };
            const std::vector<int32_t> expected = expected_sums(levels), expected_many = expected_sums(many_levels);
            std::vector<uint32_t> expected_units(n);
            for (size_t i = 0; i < n; ++i) {
                for (size_t j = 0; j < dim; ++j) expected_units[i] += units[format::unpack_code(records.data() + i * stride + 16, b, j)];
            }
            const kernels::CompactApproxInputs in{queries[0].data(), levels.data(), dim, b, stride};
            const kernels::CompactManyInputs many_in{many_levels.data(), units.data(), dim, b, stride};
            for (kernels::Isa isa : kernels::available_isas()) {
                std::vector<int32_t> one(n), many(nq * n);
                std::vector<uint32_t> many_units(n);
                kernels::table_for(isa).compact_approx_scan(in, records.data() + 16, n, one.data());
                EXPECT_EQ(one, std::vector<int32_t>(expected.begin(), expected.begin() + n))
                    << kernels::isa_name(isa) << " dim " << dim << " bits " << int(b);
                // The same records met in any order, a record more than once, the last among them.
                std::vector<uint32_t> rows(n + 1);
                for (auto& r : rows) r = static_cast<uint32_t>(rng.next_u64() % n);
                rows[0] = static_cast<uint32_t>(n - 1);
                std::vector<int32_t> gathered(rows.size()), wanted(rows.size());
                for (size_t i = 0; i < rows.size(); ++i) wanted[i] = expected[rows[i]];
                kernels::table_for(isa).compact_approx_gather(in, records.data() + 16, rows.data(), rows.size(),
                                                              gathered.data());
                EXPECT_EQ(gathered, wanted) << kernels::isa_name(isa) << " dim " << dim << " bits " << int(b);
                std::vector<int32_t> each(nq * n);
                kernels::table_for(isa).compact_approx_scan_each(in, query_rows.data(), nq, records.data() + 16, n, each.data());
                EXPECT_EQ(each, expected) << kernels::isa_name(isa) << " dim " << dim << " bits " << int(b);
                kernels::table_for(isa).compact_approx_scan_many(many_in, query_rows.data(), nq, records.data() + 16, n,
                                                                 many.data(), many_units.data());
                EXPECT_EQ(many, expected_many) << kernels::isa_name(isa) << " dim " << dim << " bits " << int(b);
                EXPECT_EQ(many_units, expected_units) << kernels::isa_name(isa) << " dim " << dim << " bits " << int(b);
            }
        }
    }
}

TEST(CompactCells, EveryPathCountsTheBoundariesBelowEvenAtTies) {
    SeededRng rng(10);
    for (uint8_t b : {1, 2, 3, 4, 8}) {
        const auto& q = compact::lloyd_max(b);
        const uint32_t count = q.count() - 1;
        // Each boundary and its float neighbours, signed zeros, then ordinary values.
        std::vector<float> y = {-0.0f, 0.0f};
        for (uint32_t j = 0; j < count; ++j) {
            const float at = q.boundaries[j];
            y.insert(y.end(), {at, std::nextafter(at, -1e30f), std::nextafter(at, 1e30f)});
        }
        for (float v : rng.standard_normal_vec(37)) y.push_back(v);
        // k just off 1 moves f64(y) * k off a boundary by less than f32 can show.
        for (double k : {1.0, 1.0 + 0x1p-40, 1.0 - 0x1p-40, 0.75}) {
            std::vector<uint8_t> expected(y.size()), got(y.size());
            kernels::table_for(kernels::Isa::portable).compact_cells(q.boundaries, count, y.data(), k, y.size(), expected.data());
            for (kernels::Isa isa : kernels::available_isas()) {
                kernels::table_for(isa).compact_cells(q.boundaries, count, y.data(), k, y.size(), got.data());
                ASSERT_EQ(got, expected) << kernels::isa_name(isa) << " bits " << int(b) << " k " << k;
            }
        }
    }
}

TEST(CompactCodeSums, EveryPathGivesThePlainLoopsBits) {
    SeededRng rng(9);
    for (size_t dim : {1, 7, 8, 9, 768, 1001}) {
        for (uint8_t b : {1, 2, 4, 8}) {
            const auto& q = compact::lloyd_max(b);
            std::vector<uint8_t> codes(dim);
            for (auto& c : codes) c = static_cast<uint8_t>(rng.next_u64() % q.count());
            auto y = rng.standard_normal_vec(dim);
            y[0] = -0.0f, y[dim / 2] = 3e38f;
            std::vector<double> start(16);
            for (double& v : start) v = rng.standard_normal();  // the sums add onto what they hold
            std::vector<double> expected = start;
            kernels::table_for(kernels::Isa::portable)
                .compact_code_sums(q.levels, q.count(), codes.data(), y.data(), dim, expected.data(), expected.data() + 8);
            for (kernels::Isa isa : kernels::available_isas()) {
                std::vector<double> got = start;
                kernels::table_for(isa).compact_code_sums(q.levels, q.count(), codes.data(), y.data(), dim, got.data(),
                                                          got.data() + 8);
                for (size_t j = 0; j < 16; ++j) {
                    ASSERT_EQ(std::bit_cast<uint64_t>(got[j]), std::bit_cast<uint64_t>(expected[j]))
                        << kernels::isa_name(isa) << " dim " << dim << " bits " << int(b) << " sum " << j;
                }
            }
        }
    }
}

TEST(CompactDot, EveryPathGivesThePlainLoopsBits) {
    SeededRng rng(11);
    const float specials[] = {-0.0f, 1e-45f, -3e38f, 1e-30f, 65504.0f};
    for (size_t dim : {1, 7, 8, 9, 63, 768, 1001, 4100}) {
        for (uint8_t b : {1, 2, 3, 4, 5, 6, 7, 8}) {
            const auto& q = compact::lloyd_max(b);
            for (int trial = 0; trial < 2; ++trial) {
                // Six codes: scored together, four at once and two alone.
                std::vector<std::vector<uint8_t>> packed(6, std::vector<uint8_t>((dim * b + 7) / 8));
                std::vector<const uint8_t*> codes;
                for (auto& code : packed) {
                    for (auto& byte : code) byte = static_cast<uint8_t>(rng.next_u64());
                    codes.push_back(code.data());
                }
                auto y = rng.standard_normal_vec(dim);
                for (size_t i = trial; i < dim; i += 5) y[i] = specials[i % 5];
                std::vector<double> expected(codes.size()), together(codes.size());
                for (size_t c = 0; c < codes.size(); ++c) {
                    expected[c] = kernels::table_for(kernels::Isa::portable).compact_dot(q.levels, b, codes[c], dim, y.data());
                }
                for (kernels::Isa isa : kernels::available_isas()) {
                    const auto& table = kernels::table_for(isa);
                    table.compact_dots(q.levels, b, codes.data(), codes.size(), dim, y.data(), together.data());
                    for (size_t c = 0; c < codes.size(); ++c) {
                        const double got = table.compact_dot(q.levels, b, codes[c], dim, y.data());
                        ASSERT_EQ(std::bit_cast<uint64_t>(got), std::bit_cast<uint64_t>(expected[c]))
                            << kernels::isa_name(isa) << " dim " << dim << " bits " << int(b);
                        ASSERT_EQ(std::bit_cast<uint64_t>(together[c]), std::bit_cast<uint64_t>(expected[c]))
                            << kernels::isa_name(isa) << " dim " << dim << " bits " << int(b) << " code " << c;
                    }
                }
            }
        }
    }
}

TEST(CompactBounds, EveryPathGivesThePlainLoopsBits) {
    SeededRng rng(12);
    for (size_t n : {1, 3, 4, 5, 13, 256}) {
        std::vector<double> scale(n), levels(n), errors(n);
        std::vector<int32_t> sums(n);
        for (size_t b = 0; b < n; ++b) {
            scale[b] = rng.standard_normal() * (b % 3 == 0 ? 1e-30 : 1.0);
            levels[b] = std::fabs(rng.standard_normal());
            errors[b] = std::fabs(rng.standard_normal()) * 1e-3;
            sums[b] = b % 5 == 0 ? INT32_MIN + static_cast<int32_t>(b) : static_cast<int32_t>(rng.next_u64());
        }
        // A damaged record's NaN scale gives a NaN upper bound, which reaches no threshold.
        if (n > 2) scale[2] = std::numeric_limits<double>::quiet_NaN();
        const double unit = rng.standard_normal() * 1e-4;
        // Unshifted, and shifted by offsets that the slack's rounding matters next to.
        for (const auto& [shifted, offset] : {std::pair{false, 0.0}, {true, 0.0}, {true, 0.75}, {true, -3e3}})
        for (const double threshold : {-std::numeric_limits<double>::infinity(), 0.0, 1e-3, 0.75, -3e3}) {
            const kernels::CompactBoundQuery query{unit, 0.03, 1.5, shifted, offset};
            std::vector<double> expected(3 * n);
            std::vector<uint32_t> expected_reaching(n);
            const size_t expected_count = kernels::table_for(kernels::Isa::portable).compact_bounds(
                {scale.data(), levels.data(), errors.data()}, query, sums.data(), n, threshold,
                {expected.data(), expected.data() + n, expected.data() + 2 * n, expected_reaching.data()});
            expected_reaching.resize(expected_count);
            // Unshifted, a NaN upper bound reaches nothing; shifted, everything.
            if (threshold == -std::numeric_limits<double>::infinity()) {
                EXPECT_EQ(expected_count, n > 2 && !shifted ? n - 1 : n);
            }
            for (kernels::Isa isa : kernels::available_isas()) {
                std::vector<double> got(3 * n);
                std::vector<uint32_t> reaching(n);
                reaching.resize(kernels::table_for(isa).compact_bounds({scale.data(), levels.data(), errors.data()}, query, sums.data(), n,
                                                                       threshold, {got.data(), got.data() + n, got.data() + 2 * n, reaching.data()}));
                EXPECT_EQ(reaching, expected_reaching) << kernels::isa_name(isa);
                for (size_t k = 0; k < 3; ++k) {
                    for (size_t r = 0; r < expected_count; ++r) {
                        ASSERT_EQ(std::bit_cast<uint64_t>(got[k * n + r]), std::bit_cast<uint64_t>(expected[k * n + r]))
                            << kernels::isa_name(isa) << " " << k << " " << r;
                    }
                }
            }
        }
    }
}

TEST(CompactRecordTerms, EveryPathReadsTheFieldsAsTheRuleSays) {
    SeededRng rng(13);
    // Bounds and scales of every kind an unverified file may hold: signed zeros,
    // subnormals, infinities, NaNs, negatives, ordinary values.
    const uint32_t specials[] = {0x00000000u, 0x80000000u, 0x00010000u, 0x7F800000u, 0xFF800000u,
                                 0x7FC00000u, 0xFFC10000u, 0xBF800000u, 0x3F800000u};
    for (size_t stride : {13, 112, 4100}) {
        for (size_t n : {1, 3, 4, 5, 13, 256}) {
            std::vector<uint8_t> records(n * stride);
            for (auto& byte : records) byte = static_cast<uint8_t>(rng.next_u64());
            const size_t scale_at = 1, bounds_at = stride - 5;
            for (size_t b = 0; b < n; b += 2) {
                const uint32_t scale_bits = specials[rng.next_u64() % 9];
                std::memcpy(records.data() + b * stride + scale_at, &scale_bits, 4);
                const uint32_t word = specials[rng.next_u64() % 9] >> 16 | (specials[rng.next_u64() % 9] & 0xFFFF0000u);
                std::memcpy(records.data() + b * stride + bounds_at, &word, 4);
            }
            const kernels::CompactRecordFields fields{records.data(), stride, scale_at, bounds_at};
            std::vector<double> expected(3 * n);
            kernels::table_for(kernels::Isa::portable).compact_record_terms(fields, n, {expected.data(), expected.data() + n, expected.data() + 2 * n});
            for (size_t b = 0; b < n; ++b) {
                const uint8_t* record = records.data() + b * stride;
                const double scale = bytes::load_f32(record + scale_at);
                for (size_t k = 0; k < 2; ++k) {
                    const float stored = std::bit_cast<float>(uint32_t{bytes::load_u16(record + bounds_at + 2 * k)} << 16);
                    const double bound = stored >= 0.0f ? stored : std::numeric_limits<double>::infinity();
                    const double want = std::fabs(scale) * bound * (1.0 + 0x1p-20);
                    ASSERT_EQ(std::bit_cast<uint64_t>(expected[(k + 1) * n + b]), std::bit_cast<uint64_t>(want)) << b;
                }
            }
            for (kernels::Isa isa : kernels::available_isas()) {
                std::vector<double> got(3 * n);
                kernels::table_for(isa).compact_record_terms(fields, n, {got.data(), got.data() + n, got.data() + 2 * n});
                for (size_t i = 0; i < 3 * n; ++i) {
                    ASSERT_EQ(std::bit_cast<uint64_t>(got[i]), std::bit_cast<uint64_t>(expected[i])) << kernels::isa_name(isa) << " " << i;
                }
            }
        }
    }
}

TEST(CompactPrepare, QueryLanesStayWithinTheirLimit) {
    // Values within 127 and each lane of four within its limit, whatever the query: the
    // many-query kernel's 16-bit sums must not overflow.
    SeededRng rng(5);
    for (uint64_t dim : {1, 7, 64, 97, 768}) {
        const CompactFamily family(*CompactQuantizer::make(dim, 4, 3));
        std::vector<std::vector<float>> queries = {rng.standard_normal_vec(dim), std::vector<float>(dim, 1e-45f),
                                                   std::vector<float>(dim, -1e18f), std::vector<float>(dim, 0.0f)};
        queries.emplace_back(dim, 0.0f);
        queries.back()[0] = 1e30f;
        for (const auto& query : queries) {
            const auto prepared = family.prepare(query);
            ASSERT_TRUE(prepared.has_value());
            std::vector<int> lanes(prepared->query.size() / 4);
            for (size_t j = 0; j < prepared->query.size(); ++j) {
                ASSERT_LE(std::abs(prepared->query[j]), 127);
                lanes[kernels::compact_lane(j)] += std::abs(prepared->query[j]);
            }
            for (size_t lane = 0; lane < lanes.size(); ++lane) {
                ASSERT_LE(lanes[lane], static_cast<int>(kernels::COMPACT_LANE_LIMIT)) << "dim " << dim << " lane " << lane;
            }
        }
    }
}

using CompactIndex = FlatIndex<CompactFamily>;
class CompactIndexSearch : public testing_isa::OnEachIsa {};

TEST_P(CompactIndexSearch, EqualsScoringEveryEntryAndStableSorting) {
    for (uint64_t dim : {1, 9, 128, 300}) {
        for (uint8_t b : {1, 3, 4, 8}) {
            CompactIndex index(*CompactQuantizer::make(dim, b, dim + b));
            const CompactQuantizer& q = index.quantizer();
            SeededRng rng(dim * 10 + b);
            std::vector<std::vector<float>> vectors;
            for (size_t i = 0; i < 50; ++i) {
                // Repeated vectors tie; zero vectors score zero; near-copies nearly tie.
                if (i % 7 == 3) vectors.push_back(vectors[i / 2]);
                else if (i % 5 == 1 && i > 1) {
                    auto near = vectors[i - 1];
                    for (float& v : near) v += 1e-4f * float(rng.standard_normal());
                    vectors.push_back(near);
                }
                else if (i % 6 == 2) vectors.emplace_back(dim, 0.0f);
                else vectors.push_back(rng.standard_normal_vec(dim));
                ASSERT_TRUE(index.add(500 - i, vectors.back()).has_value());
            }
            const auto query = rng.standard_normal_vec(dim);
            std::vector<Scored> expected;
            for (size_t i = 0; i < vectors.size(); ++i) {
                expected.push_back({500 - i, *q.inner_product(*q.encode(vectors[i]), query)});
            }
            rank(expected, ~uint64_t{0});
            for (uint64_t k : {uint64_t{1}, uint64_t{10}, uint64_t{50}}) {
                const auto got = *index.search(query, k);
                ASSERT_EQ(got.size(), k);
                for (size_t i = 0; i < got.size(); ++i) {
                    ASSERT_EQ(got[i].id, expected[i].id) << dim << " " << int(b) << " at " << i;
                    ASSERT_EQ(bits(got[i].score), bits(expected[i].score));
                }
            }
        }
    }
}

INSTANTIATE_ON_EACH_ISA(CompactIndexSearch);

}  // namespace
}  // namespace quillane
