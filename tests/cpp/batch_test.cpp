// Batch calls against the one-at-a-time calls: every row bit-identical at every thread
// count and on every kernel path; a failing batch names its lowest failing row and
// changes nothing.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "batch/quantizers.hpp"
#include "index/compact_family.hpp"
#include "index/flat_index.hpp"
#include "index/turbo_family.hpp"
#include "isa.hpp"
#include "rng.hpp"
#include "test_data.hpp"

namespace quillane {
namespace {

using testing_data::bits;

// n rows of dim floats with repeated rows (ties) and, where asked, one bad row.
std::vector<float> rows_of(size_t n, size_t dim, uint64_t seed, size_t bad_row = SIZE_MAX) {
    SeededRng rng(seed);
    std::vector<float> v;
    for (size_t i = 0; i < n; ++i) {
        const auto row = i % 9 == 4 ? std::vector<float>(v.begin() + (i / 2) * dim, v.begin() + (i / 2 + 1) * dim)
                                    : rng.standard_normal_vec(dim);
        v.insert(v.end(), row.begin(), row.end());
    }
    if (bad_row < n) v[bad_row * dim + dim / 2] = NAN;
    return v;
}

TurboQuantizer turbo(uint64_t dim) { return *TurboQuantizer::make(dim, 4, dim / 4 + 1, 7); }
CompactQuantizer compact(uint64_t dim) { return *CompactQuantizer::make(dim, 4, 7); }

std::vector<uint8_t> one_code(const TurboQuantizer& q, std::span<const float> x) { return *q.encode_to_bytes(x); }
std::vector<uint8_t> one_code(const CompactQuantizer& q, std::span<const float> x) { return *q.encode(x); }
std::vector<float> one_decoding(const TurboQuantizer& q, std::span<const uint8_t> c) { return q.decode(*TurboCode::from_bytes(c)); }
std::vector<float> one_decoding(const CompactQuantizer& q, std::span<const uint8_t> c) { return *q.decode(c); }
float one_score(const TurboQuantizer& q, std::span<const uint8_t> c, std::span<const float> x) { return *q.inner_product(*TurboCode::from_bytes(c), x); }
float one_score(const CompactQuantizer& q, std::span<const uint8_t> c, std::span<const float> x) { return *q.inner_product(c, x); }

template <class Q> void quantizer_batches_equal_rows(const Q& q) {
    const size_t dim = q.dim(), size = q.code_size_bytes(), n = 37, nq = 5;
    const auto vectors = rows_of(n, dim, 1), queries = rows_of(nq, dim, 2);
    for (unsigned threads : {1u, 2u, 0u, 64u}) {
        std::vector<uint8_t> codes(n * size);
        ASSERT_FALSE(batch::encode(q, vectors.data(), n, codes.data(), threads));
        std::vector<float> decoded(n * dim), scores(n * nq);
        ASSERT_FALSE(batch::decode(q, codes.data(), n, decoded.data(), threads));
        ASSERT_FALSE(batch::inner_product(q, codes.data(), n, queries.data(), nq, scores.data(), threads));
        for (size_t i = 0; i < n; ++i) {
            const std::span<const uint8_t> code(codes.data() + i * size, size);
            ASSERT_EQ(one_code(q, {vectors.data() + i * dim, dim}), std::vector<uint8_t>(code.begin(), code.end()));
            const auto d = one_decoding(q, code);
            ASSERT_EQ(0, std::memcmp(d.data(), decoded.data() + i * dim, dim * sizeof(float)));
            for (size_t j = 0; j < nq; ++j) {
                ASSERT_EQ(bits(one_score(q, code, {queries.data() + j * dim, dim})), bits(scores[i * nq + j]));
            }
        }
        // The lowest failing row is named, whichever thread met it first.
        const auto bad = rows_of(n, dim, 1, 20);
        auto worse = bad;
        worse[33 * dim] = INFINITY;
        const auto failure = batch::encode(q, worse.data(), n, codes.data(), threads);
        ASSERT_TRUE(failure);
        EXPECT_EQ(failure->row, 20u);
        EXPECT_TRUE(failure->error.template is<NonFiniteInput>());
        // inner_product: row 0 against the first bad query, else the first bad code.
        const auto bad_queries = rows_of(nq, dim, 2, 3);
        auto pair = batch::inner_product(q, codes.data(), n, bad_queries.data(), nq, scores.data(), threads);
        ASSERT_TRUE(pair);
        EXPECT_EQ(pair->row, 0u);
        EXPECT_EQ(pair->query, 3u);
        std::vector<uint8_t> broken = codes;
        broken[11 * size] ^= 0xFF;  // the version byte
        pair = batch::inner_product(q, broken.data(), n, queries.data(), nq, scores.data(), threads);
        ASSERT_TRUE(pair);
        EXPECT_EQ(pair->row, 11u);
        EXPECT_EQ(pair->query, 0u);
        EXPECT_TRUE(pair->error.template is<DeserializationFailed>());
    }
}

class QuantizerBatches : public testing_isa::OnEachIsa {};

TEST_P(QuantizerBatches, EveryRowEqualsTheOneAtATimeCall) {
    for (uint64_t dim : {6, 130}) {
        quantizer_batches_equal_rows(turbo(dim));
        quantizer_batches_equal_rows(compact(dim));
        quantizer_batches_equal_rows(compact(dim + 1));
    }
}

template <class Family> void index_batches_equal_rows(typename Family::Quantizer q) {
    // A full block of 64 compact queries and a remainder; and, searched alone, the first 12
    // (one block of either family: threads split the records, over 4096 each).
    const size_t dim = q.dim(), n = 8300, nq = 69;
    const auto vectors = rows_of(n, dim, 3), queries = rows_of(nq, dim, 4);
    std::vector<uint64_t> ids(n);
    for (size_t i = 0; i < n; ++i) ids[i] = 5000 - i % 250;  // repeated ids too
    FlatIndex<Family> one(q);
    for (size_t i = 0; i < n; ++i) ASSERT_TRUE(one.add(ids[i], {vectors.data() + i * dim, dim}));
    for (unsigned threads : {1u, 2u, 0u}) {
        FlatIndex<Family> many(q);
        // A refused batch adds nothing, then the same rows go in as two batches.
        const auto bad = rows_of(n, dim, 3, 150);
        const auto failure = many.add_batch(ids.data(), bad.data(), n, threads);
        ASSERT_TRUE(failure);
        EXPECT_EQ(failure->row, 150u);
        EXPECT_EQ(many.size(), 0u);
        ASSERT_FALSE(many.add_batch(ids.data(), vectors.data(), 100, threads));
        ASSERT_FALSE(many.add_batch(ids.data() + 100, vectors.data() + 100 * dim, n - 100, threads));
        ASSERT_EQ(many.size(), n);
        for (size_t i = 0; i < n; ++i) {
            ASSERT_EQ(many.id(i), one.id(i));
            ASSERT_TRUE(std::ranges::equal(many.code(i), one.code(i)));
        }
        for (uint64_t k : {uint64_t{0}, uint64_t{1}, uint64_t{10}, uint64_t{1000}})
        for (size_t rows : {nq, size_t{12}}) {
            const size_t kk = std::min<size_t>(k, n);
            std::vector<uint64_t> got_ids(rows * kk);
            std::vector<float> got_scores(rows * kk);
            ASSERT_FALSE(many.search_batch(queries.data(), rows, k, threads, got_ids.data(), got_scores.data()));
            for (size_t j = 0; j < rows; ++j) {
                const auto expected = *one.search({queries.data() + j * dim, dim}, k);
                ASSERT_EQ(expected.size(), kk);
                for (size_t r = 0; r < kk; ++r) {
                    ASSERT_EQ(got_ids[j * kk + r], expected[r].id) << "query " << j << " rank " << r;
                    ASSERT_EQ(bits(got_scores[j * kk + r]), bits(expected[r].score));
                }
            }
        }
        // The lowest bad row, from query blocks and from one block split by records.
        const auto bad_queries = rows_of(nq, dim, 4, 13);
        std::vector<uint64_t> got_ids(nq * 10);
        std::vector<float> got_scores(nq * 10);
        for (size_t rows : {nq, size_t{20}}) {
            const auto refused = many.search_batch(bad_queries.data(), rows, 10, threads, got_ids.data(), got_scores.data());
            ASSERT_TRUE(refused);
            EXPECT_EQ(refused->row, 13u);
        }
    }
    // An empty index answers every row with nothing, without looking at the queries.
    FlatIndex<Family> empty(q);
    const auto bad_queries = rows_of(nq, dim, 4, 0);
    EXPECT_FALSE(empty.search_batch(bad_queries.data(), nq, 10, 0, nullptr, nullptr));
}

class IndexBatches : public testing_isa::OnEachIsa {};

TEST_P(IndexBatches, EveryRowEqualsTheOneAtATimeCall) {
    index_batches_equal_rows<TurboFamily>(turbo(24));
    for (uint8_t b : {1, 4, 8}) index_batches_equal_rows<CompactFamily>(*CompactQuantizer::make(40, b, 3));
}

INSTANTIATE_ON_EACH_ISA(QuantizerBatches);
INSTANTIATE_ON_EACH_ISA(IndexBatches);

}  // namespace
}  // namespace quillane
