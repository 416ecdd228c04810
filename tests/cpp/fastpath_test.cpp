// Every fast path against the plain reference loop it replaces, bit for bit.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>

#include "format/turbo_format.hpp"
#include "index/topk.hpp"
#include "index/turbo_family.hpp"
#include "isa.hpp"
#include "kernels/matvec.hpp"
#include "rng.hpp"
#include "test_data.hpp"
#include "turbo.hpp"

namespace quillane {
namespace {

using testing_data::bits;

// Gaussian values salted with the awkward ones: signed zeros, subnormals, huge finites.
std::vector<float> hostile_vector(SeededRng& rng, size_t n) {
    auto v = rng.standard_normal_vec(n);
    const float specials[] = {0.0f, -0.0f, 1e-45f, -1e-40f, 3e38f, -3e38f, 1e19f, 1e-20f};
    for (size_t i = 0; i < n; ++i) {
        const uint64_t w = rng.next_u64();
        if (w % 7 == 0) v[i] = specials[(w >> 8) % 8];
    }
    return v;
}

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * 4) == 0;
}

TEST(LaneMatrix, EveryPathMatchesTheStridedReference) {
    SeededRng rng(1);
    for (size_t outputs : {1, 7, 8, 9, 31, 32, 33, 40, 64, 70, 130}) {
        for (size_t inner : {1, 2, 9, 64, 131}) {
            const size_t stride = outputs + (outputs % 3);
            const auto a = hostile_vector(rng, stride * inner);
            const auto x = hostile_vector(rng, inner);
            const kernels::LaneMatrix lanes(a.data(), stride, outputs, inner);
            std::vector<float> ref(outputs);
            kernels::strided_matvec_reference(a.data(), stride, outputs, inner, x.data(), ref.data());
            for (kernels::Isa isa : kernels::available_isas()) {
                std::vector<float> out(outputs);
                kernels::table_for(isa).lane_multiply(lanes, x.data(), out.data());
                ASSERT_TRUE(same_bits(out, ref)) << kernels::isa_name(isa) << " " << outputs << "x" << inner;
            }
        }
    }
}

class FastPaths : public ::testing::TestWithParam<uint64_t> {};

TEST_P(FastPaths, RotationProjectionsAndDecodingMatchReference) {
    const uint64_t dim = GetParam();
    testing_isa::for_each_isa([&](kernels::Isa) {
    SeededRng rng(dim * 13);
    for (uint8_t b : {1, 4, 8, 16}) {
        auto q = TurboQuantizer::make(dim, b, std::max<uint64_t>(1, dim / 4 + 3), dim + b);
        for (int trial = 0; trial < 8; ++trial) {
            const auto x = hostile_vector(rng, dim);
            EXPECT_TRUE(same_bits(q->rotation().apply(x), q->rotation().apply_reference(x)));
            EXPECT_TRUE(same_bits(q->rotation().apply_inverse(x),
                                  q->rotation().apply_inverse_reference(x)));
            const auto p = q->qjl().project_all(x);
            for (size_t j = 0; j < p.size(); ++j) ASSERT_EQ(bits(p[j]), bits(q->qjl().project(j, x)));
            PolarCode code;
            code.bits = b;
            for (size_t j = 0; j < dim / 2; ++j) {
                code.radii.push_back(x[j]);
                code.angle_indices.push_back(static_cast<uint16_t>(rng.next_u64()));
            }
            EXPECT_TRUE(same_bits(q->polar().decode(code), q->polar().decode_reference(code)));
        }
    }
    });
}

TEST_P(FastPaths, QuantizerOperationsMatchTheirReferencePipeline) {
    const uint64_t dim = GetParam();
    testing_isa::for_each_isa([&](kernels::Isa) {
    SeededRng rng(dim * 17);
    for (uint8_t b : {1, 2, 4, 9, 16}) {
        auto q = TurboQuantizer::make(dim, b, dim / 2 + 1, dim * 3 + b);
        for (int trial = 0; trial < 6; ++trial) {
            const auto x = hostile_vector(rng, dim);
            const auto query = hostile_vector(rng, dim);
            auto fast = q->encode(x);
            auto ref = q->encode_reference(x);
            ASSERT_EQ(fast.has_value(), ref.has_value());
            if (!fast) {
                EXPECT_EQ(fast.error(), ref.error());
                continue;
            }
            EXPECT_EQ(fast->to_bytes(), ref->to_bytes());
            EXPECT_TRUE(same_bits(q->decode(*fast), q->decode_reference(*fast)));
            auto s_fast = q->inner_product(*fast, query);
            auto s_ref = q->inner_product_reference(*fast, query);
            ASSERT_EQ(s_fast.has_value(), s_ref.has_value());
            if (s_fast) {
                // Which NaN an overflow yields (sign, payload) is the processor's and the
                // compiler's operand order's, not part of the result; every other value is.
                if (!(std::isnan(*s_fast) && std::isnan(*s_ref))) {
                    EXPECT_EQ(bits(*s_fast), bits(*s_ref));
                }
            } else {
                EXPECT_EQ(s_fast.error(), s_ref.error());
            }
        }
    }
    });
}

// Under the sanitizers the largest case shrinks to half: a dense rotation of 768 there takes
// over half a minute, and the smaller dimensions already cover every code path.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QL_SANITIZED_BUILD 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define QL_SANITIZED_BUILD 1
#endif
#ifdef QL_SANITIZED_BUILD
constexpr uint64_t LARGEST_DIM = 384;
#else
constexpr uint64_t LARGEST_DIM = 768;
#endif
INSTANTIATE_TEST_SUITE_P(Dims, FastPaths, ::testing::Values(2, 8, 10, 64, 130, LARGEST_DIM));

TEST(FastPaths, EveryBitWidthDecodesLikeTheReference) {
    for (uint8_t b = 1; b <= 16; ++b) {
        auto pq = PolarQuantizer::make(6, b);
        PolarCode code{{1.0f, -2.5f, 1e30f}, {0, static_cast<uint16_t>((1u << b) - 1), 65535}, b};
        EXPECT_TRUE(same_bits(pq->decode(code), pq->decode_reference(code))) << int(b);
    }
}

}  // namespace
}  // namespace quillane

namespace quillane {
namespace {

struct ScanCase {
    uint64_t dim;
    uint8_t bits;
    uint64_t m;
};

class ScanMatchesScore : public ::testing::TestWithParam<ScanCase> {};

TEST_P(ScanMatchesScore, EveryPathGivesScoresBits) {
    const auto& c = GetParam();
    const TurboFamily family(*TurboQuantizer::make(c.dim, c.bits, c.m, c.dim * 7 + c.bits));
    const TurboQuantizer& q = family.quantizer();
    SeededRng rng(c.m);
    const size_t n = 29;  // three full blocks of eight and a tail
    std::vector<uint8_t> arena;
    std::vector<TurboCode> codes;
    kernels::LevelWindow natural = family.empty_summary();
    for (size_t i = 0; i < n; ++i) {
        auto v = hostile_vector(rng, c.dim);
        for (float& x : v) x = std::fmax(std::fmin(x, 1e6f), -1e6f);  // keep the norm finite
        if (i % 9 == 4) v.assign(c.dim, 0.0f);
        auto code = *q.encode(v);
        if (i % 11 == 5) code.qjl.norm = 1e-31f;
        if (i % 13 == 6) code.polar.angle_indices[0] = 65535;
        const auto bytes = code.to_bytes();
        natural.merge(family.summarize(bytes));
        arena.insert(arena.end(), bytes.begin(), bytes.end());
        codes.push_back(code);
    }
    arena.resize(arena.size() + TurboFamily::SCAN_SLACK_BYTES, 0);
    for (int trial = 0; trial < 4; ++trial) {
        auto query = hostile_vector(rng, c.dim);
        for (float& x : query) x = std::fmax(std::fmin(x, 1e6f), -1e6f);
        auto prepared = family.prepare(query);
        ASSERT_TRUE(prepared.has_value());
        // The codes' own window, and every level (other lookups in the vector path).
        const uint32_t last = (1u << c.bits) - 1;
        for (const kernels::LevelWindow window : {natural, kernels::LevelWindow{0, last}}) {
            testing_isa::for_each_isa([&](kernels::Isa isa) {
                std::vector<float> scores(n);
                family.scan(*prepared, window, arena.data(), n, scores.data());
                for (size_t i = 0; i < n; ++i) {
                    const float expected = *q.inner_product(codes[i], query);
                    ASSERT_EQ(bits(scores[i]), bits(expected)) << kernels::isa_name(isa) << " entry " << i;
                    const auto stored = std::span(arena).subspan(i * q.code_size_bytes(), q.code_size_bytes());
                    ASSERT_EQ(bits(family.score(*prepared, stored)), bits(expected));
                }
            });
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Quantizers, ScanMatchesScore,
                         ::testing::Values(ScanCase{2, 1, 1}, ScanCase{8, 4, 2}, ScanCase{10, 16, 3},
                                           ScanCase{64, 3, 8}, ScanCase{96, 5, 24},
                                           ScanCase{64, 8, 16}, ScanCase{130, 2, 33},
                                           ScanCase{256, 4, 64}, ScanCase{768, 4, 192},
                                           ScanCase{16, 12, 9}));

TEST(ScanRegularity, ForeignHeadersAndUnreadableNormsAreIrregular) {
    auto q = TurboQuantizer::make(8, 4, 2, 42);
    const auto layout = q->layout();
    auto regular = [&](std::span<const uint8_t> b, uint8_t bits = 4) {
        return format::is_regular_turbo_code(b, layout, bits);
    };
    const auto good = q->encode(std::vector<float>(8, 1.0f))->to_bytes();
    EXPECT_TRUE(regular(good));
    EXPECT_FALSE(regular(good, 5));  // bit width differs
    for (size_t at : {size_t{0}, size_t{1}, size_t{5}, size_t{7}, size_t{33}, size_t{34}}) {
        auto bad = good;
        bad[at] ^= 0x40;
        EXPECT_FALSE(regular(bad)) << at;
    }
    for (uint32_t pattern : {0x7F800000u, 0xFF800000u, 0x7FC00000u, 0xBF800000u}) {
        auto bad = good;
        std::memcpy(&bad[layout.norm()], &pattern, 4);
        EXPECT_FALSE(regular(bad));
    }
    auto negative_zero = good;
    const uint32_t nz = 0x80000000u;
    std::memcpy(&negative_zero[layout.norm()], &nz, 4);
    EXPECT_TRUE(regular(negative_zero));
    EXPECT_FALSE(regular(std::span<const uint8_t>(good).first(good.size() - 1)));
}

TEST(TopK, HeapSelectionEqualsTheStableSort) {
    SeededRng rng(5);
    const float specials[] = {NAN, -NAN, 0.0f, -0.0f, INFINITY, -INFINITY, 1.0f, 1.0f};
    for (int trial = 0; trial < 200; ++trial) {
        const size_t n = 1 + rng.next_u64() % 60;
        std::vector<float> scores(n);
        std::vector<uint64_t> ids(n);
        for (size_t i = 0; i < n; ++i) {
            const uint64_t w = rng.next_u64();
            scores[i] = (w % 3 == 0) ? specials[(w >> 8) % 8] : float(int((w >> 16) % 7) - 3);
            ids[i] = w >> 40;
        }
        for (uint64_t k : {uint64_t{0}, uint64_t{1}, uint64_t{3}, uint64_t{10}, uint64_t(n),
                           ~uint64_t{0}}) {
            std::vector<Scored> sorted;
            for (size_t i = 0; i < n; ++i) sorted.push_back({ids[i], scores[i]});
            rank(sorted, k);
            const auto heap = top_k_of(scores.data(), ids.data(), n, k);
            ASSERT_EQ(heap.size(), sorted.size());
            for (size_t i = 0; i < heap.size(); ++i) {
                ASSERT_EQ(heap[i].id, sorted[i].id) << "trial " << trial << " k " << k;
                ASSERT_EQ(bits(heap[i].score), bits(sorted[i].score));
            }
        }
    }
}

}  // namespace
}  // namespace quillane
