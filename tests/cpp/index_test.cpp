// The flat index against the per-entry algorithm: parse every stored code, score it
// with the full estimate, stable-sort everything.
#include <gtest/gtest.h>

#include <cmath>

#include "index/flat_index.hpp"
#include "index/turbo_family.hpp"
#include "isa.hpp"
#include "rng.hpp"
#include "test_data.hpp"

namespace quillane {
namespace {

using testing_data::bits;
using TurboIndex = FlatIndex<TurboFamily>;

class FlatIndexSearch : public testing_isa::OnEachIsa {};

TEST_P(FlatIndexSearch, EqualsScoringEveryEntryAndStableSorting) {
    for (uint64_t dim : {2, 16, 130}) {
        TurboIndex index(*TurboQuantizer::make(dim, 4, dim / 4 + 1, dim));
        const TurboQuantizer& q = index.quantizer();
        SeededRng rng(dim);
        std::vector<std::vector<float>> vectors;
        for (size_t i = 0; i < 40; ++i) {
            // Repeated vectors tie; zero vectors tie at +0.0.
            if (i % 7 == 3) vectors.push_back(vectors[i / 2]);
            else if (i % 11 == 5) vectors.emplace_back(dim, 0.0f);
            else vectors.push_back(rng.standard_normal_vec(dim));
            ASSERT_TRUE(index.add(1000 - i, vectors.back()).has_value());
        }
        const auto query = rng.standard_normal_vec(dim);
        std::vector<Scored> expected;
        for (size_t i = 0; i < vectors.size(); ++i) {
            auto code = TurboCode::from_bytes(*q.encode_to_bytes(vectors[i]));
            expected.push_back({1000 - i, *q.inner_product(*code, query)});
        }
        rank(expected, ~uint64_t{0});
        for (uint64_t k : {uint64_t{0}, uint64_t{1}, uint64_t{10}, uint64_t{40}, uint64_t{1000}}) {
            const auto got = *index.search(query, k);
            ASSERT_EQ(got.size(), std::min<uint64_t>(k, 40));
            for (size_t i = 0; i < got.size(); ++i) {
                ASSERT_EQ(got[i].id, expected[i].id) << dim << " k " << k << " at " << i;
                ASSERT_EQ(bits(got[i].score), bits(expected[i].score));
            }
        }
    }
}

INSTANTIATE_ON_EACH_ISA(FlatIndexSearch);

TEST(FlatIndex, RefusedInputsChangeNothing) {
    TurboIndex index(*TurboQuantizer::make(8, 1, 2, 42));
    // An empty index answers without looking at the query.
    EXPECT_TRUE(index.search(std::vector<float>{NAN}, 5)->empty());
    ASSERT_TRUE(index.add(7, std::vector<float>(8, 1.0f)).has_value());
    const auto before = *index.search(std::vector<float>(8, 1.0f), 5);
    EXPECT_EQ(index.add(8, std::vector<float>(7, 1.0f)).error(),
              QuantError(DimensionMismatch{8, 7}));
    std::vector<float> nan(8, 1.0f);
    nan[3] = NAN;
    EXPECT_EQ(index.add(8, nan).error(), QuantError(NonFiniteInput{3}));
    // A residual norm that overflows could never be read back: refused, not stored. The
    // rotated vector is pairs (1e19, 0), whose 1-bit residuals square past float32.
    const std::vector<float> pairs = {1e19f, 0.0f, 1e19f, 0.0f, 1e19f, 0.0f, 1e19f, 0.0f};
    EXPECT_EQ(index.add(8, index.quantizer().rotation().apply_inverse(pairs)).error(),
              QuantError(DeserializationFailed{"norm is infinite"}));
    EXPECT_EQ(index.search(std::vector<float>(9, 1.0f), 5).error(),
              QuantError(DimensionMismatch{8, 9}));
    ASSERT_EQ(index.size(), 1u);
    const auto after = *index.search(std::vector<float>(8, 1.0f), 5);
    ASSERT_EQ(after.size(), before.size());
    EXPECT_EQ(after[0].id, 7u);
    EXPECT_EQ(bits(after[0].score), bits(before[0].score));
}

}  // namespace
}  // namespace quillane
