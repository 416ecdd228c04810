#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <numeric>

#include "isa.hpp"
#include "io/ivf_file.hpp"
#include "ivf/ivf_index.hpp"
#include "rng.hpp"

using namespace quillane;

namespace {

// Rows around a few far-apart centres, so lists differ in size and some stay empty.
std::vector<float> clustered(size_t n, size_t dim, SeededRng& rng) {
    std::vector<float> centres = rng.standard_normal_vec(8 * dim), rows;
    for (size_t i = 0; i < n; ++i) {
        for (size_t j = 0; j < dim; ++j) rows.push_back(3.0f * centres[(i % 8) * dim + j] + rng.standard_normal());
    }
    return rows;
}

std::vector<uint32_t> bits_of(const std::vector<float>& v) {
    std::vector<uint32_t> out;
    for (float x : v) out.push_back(std::bit_cast<uint32_t>(x));
    return out;
}

}  // namespace

TEST(IvfTraining, TheSameCentroidsOnEveryPathAndThreadCount) {
    SeededRng rng(5);
    const size_t dim = 37, lists = 21, n = 700;  // lists not a multiple of the lanes
    const auto rows = clustered(n, dim, rng);
    std::vector<uint32_t> first;
    testing_isa::for_each_isa([&](kernels::Isa isa) {
        for (unsigned threads : {1u, 2u}) {
            auto index = *ivf::IvfIndex::make(dim, lists, 4, 9);
            unsigned steps = 0;
            index.train(rows.data(), n, 6, threads, [&](const ivf::TrainingStep& s) { steps = s.iteration; });
            EXPECT_EQ(steps, 6u);
            const auto got = bits_of(index.coarse().centroids());
            if (first.empty()) first = got;
            EXPECT_EQ(got, first) << kernels::isa_name(isa) << " threads " << threads;
            std::vector<uint32_t> one(n), many(n);
            for (size_t i = 0; i < n; ++i) index.coarse().assign(rows.data() + i * dim, 1, 1, &one[i]);
            index.coarse().assign(rows.data(), n, threads, many.data());
            EXPECT_EQ(one, many);
        }
    });
}

// The bounded assignment against the rule itself (every centroid's float32 product), on
// every path: near ties, equal centroids, zero, tiny and huge rows, odd dimensions.
TEST(IvfAssignment, TheIntegerBoundsChooseAsTheRuleDoes) {
    SeededRng rng(8);
    for (const size_t dim : {size_t{1}, size_t{7}, size_t{96}, size_t{600}}) {
        for (const bool nearest : {false, true}) {
            const size_t lists = 37;
            ivf::CoarseQuantizer q(dim, lists, nearest);
            std::vector<float> centroids = rng.standard_normal_vec(lists * dim);
            for (size_t j = 0; j < dim; ++j) {
                centroids[5 * dim + j] = centroids[20 * dim + j];  // equal centroids: the lower list wins
                centroids[6 * dim + j] = std::nextafter(centroids[3 * dim + j], 10.0f);  // a near tie
            }
            q.set_centroids(centroids);
            std::vector<float> rows;
            for (size_t i = 0; i < 300; ++i) {
                const size_t near = i % lists;
                const float scale = i % 50 == 1 ? 1e-41f : i % 50 == 2 ? 1e18f : i % 50 == 3 ? 0.0f : 1.0f;
                for (size_t j = 0; j < dim; ++j) {
                    const float c = centroids[near * dim + j];
                    rows.push_back(scale * (i % 3 == 0 ? c : c + 0.3f * rng.standard_normal()));
                }
            }
            // A centroid that is not finite (an unverified file's) leaves the rule to itself.
            ivf::CoarseQuantizer poisoned(dim, lists, nearest);
            std::vector<float> bad = centroids;
            bad[7 * dim] = std::numeric_limits<float>::quiet_NaN();
            bad[8 * dim] = std::numeric_limits<float>::infinity();
            poisoned.set_centroids(bad);
            testing_isa::for_each_isa([&](kernels::Isa isa) {
                std::vector<uint32_t> fast(300), rule(300);
                q.assign(rows.data(), 300, 2, fast.data());
                q.assign_exactly(rows.data(), 300, 1, rule.data());
                EXPECT_EQ(fast, rule) << kernels::isa_name(isa) << " dim " << dim << " nearest " << nearest;
                poisoned.assign(rows.data(), 300, 2, fast.data());
                poisoned.assign_exactly(rows.data(), 300, 1, rule.data());
                EXPECT_EQ(fast, rule) << kernels::isa_name(isa) << " poisoned, dim " << dim;
                // Probing: the p lists of highest key, from every product sorted by the rule.
                for (const size_t p : {size_t{1}, size_t{2}}) {
                    std::vector<uint32_t> probed(300 * p);
                    std::vector<float> offsets(300 * p);
                    q.probe(rows.data(), 300, p, probed.data(), offsets.data());
                    for (size_t i = 0; i < 300; ++i) {
                        std::vector<double> products(lists);
                        q.products(rows.data() + i * dim, products.data());
                        std::vector<uint32_t> order(lists);
                        std::iota(order.begin(), order.end(), 0u);
                        std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
                            const double ka = q.key(a, products[a]), kb = q.key(b, products[b]);
                            return !std::isnan(ka) && (std::isnan(kb) || ka > kb);
                        });
                        for (size_t r = 0; r < p; ++r) {
                            ASSERT_EQ(probed[i * p + r], order[r]) << kernels::isa_name(isa) << " row " << i;
                            EXPECT_EQ(offsets[i * p + r], static_cast<float>(products[order[r]]));
                        }
                    }
                }
            });
        }
    }
}

// The float32 products on every path, bit for bit, for every grouping of rows (1 to 11)
// and of blocks (a row alone takes eight blocks at a time, then the rest).
TEST(IvfAssignment, FloatProductsAreTheSameOnEveryPath) {
    SeededRng rng(10);
    const size_t dim = 29, blocks = 19, width = blocks * kernels::CENTROID_LANES;
    const std::vector<float> lanes = rng.standard_normal_vec(blocks * dim * kernels::CENTROID_LANES);
    for (size_t n = 1; n <= 11; ++n) {
        const std::vector<float> rows = rng.standard_normal_vec(n * dim);
        std::vector<float> expected(n * width);
        kernels::table_for(kernels::Isa::portable).centroid_dots({lanes.data(), dim, blocks}, rows.data(), n, expected.data());
        for (kernels::Isa isa : kernels::available_isas()) {
            std::vector<float> got(n * width);
            kernels::table_for(isa).centroid_dots({lanes.data(), dim, blocks}, rows.data(), n, got.data());
            EXPECT_EQ(bits_of(got), bits_of(expected)) << kernels::isa_name(isa) << " rows " << n;
        }
    }
}

// The bounds from integer products, bit for bit on every path (vector lanes and the tail).
TEST(IvfAssignment, KeyBoundsAreTheSameOnEveryPath) {
    SeededRng rng(12);
    const size_t n = 37;
    std::vector<double> shift(n), norm(n), error(n);
    std::vector<int64_t> sums(n);
    for (size_t l = 0; l < n; ++l) {
        shift[l] = std::fabs(rng.standard_normal()) * 10.0;
        norm[l] = std::fabs(rng.standard_normal()) * 3.0;
        error[l] = std::fabs(rng.standard_normal()) * 1e-3;
        sums[l] = static_cast<int64_t>(rng.next_u64() % (int64_t{1} << 40)) - (int64_t{1} << 39);
    }
    const kernels::CentroidBoundLists lists{shift.data(), norm.data(), error.data(), n};
    const kernels::CentroidBoundRow row{1.3e-7, 0.02, 0.7, 1e-40};
    std::vector<double> upper(n), lower(n);
    const auto expected = kernels::table_for(kernels::Isa::portable).centroid_bounds(lists, row, sums.data(), upper.data(), lower.data());
    for (kernels::Isa isa : kernels::available_isas()) {
        std::vector<double> u(n), w(n);
        const auto got = kernels::table_for(isa).centroid_bounds(lists, row, sums.data(), u.data(), w.data());
        EXPECT_EQ(u, upper) << kernels::isa_name(isa);
        EXPECT_EQ(w, lower) << kernels::isa_name(isa);
        EXPECT_EQ(got.highest_lower, expected.highest_lower) << kernels::isa_name(isa);
        EXPECT_EQ(got.widest, expected.widest) << kernels::isa_name(isa);
    }
}

// The integer products on every path, at the extremes (every value +-2047 for many pairs,
// where 32-bit sums would overflow without their flushes) and at random; a row alone takes
// eight blocks at a time.
TEST(IvfAssignment, IntegerProductsAreExactOnEveryPath) {
    SeededRng rng(9);
    for (const auto& [pairs, blocks] : {std::pair<size_t, size_t>{1, 3}, {300, 11}, {700, 3}}) {
        const size_t n = 11, width = blocks * kernels::CENTROID_LANES;
        for (const bool extreme : {false, true}) {
            std::vector<int16_t> lanes(blocks * pairs * kernels::CENTROID_LANES * 2), rows(n * 2 * pairs);
            const auto value = [&] {
                return static_cast<int16_t>(extreme ? kernels::CENTROID_LEVELS : static_cast<int>(rng.next_u64() % 4095) - 2047);
            };
            for (auto& v : lanes) v = value();
            for (auto& v : rows) v = value();
            std::vector<int64_t> expected(n * width);
            kernels::table_for(kernels::Isa::portable).centroid_integer_dots({lanes.data(), pairs, blocks}, rows.data(), n, expected.data());
            if (extreme) {
                EXPECT_EQ(expected[0], int64_t{2} * pairs * 2047 * 2047);
            }
            for (kernels::Isa isa : kernels::available_isas()) {
                std::vector<int64_t> got(n * width);
                kernels::table_for(isa).centroid_integer_dots({lanes.data(), pairs, blocks}, rows.data(), n, got.data());
                EXPECT_EQ(got, expected) << kernels::isa_name(isa) << " pairs " << pairs;
            }
        }
    }
}

TEST(IvfSearch, ProbedListsRankExactlyAsScoringEveryEntry) {
    SeededRng rng(6);
    const size_t dim = 40, lists = 12, n = 500;
    const auto rows = clustered(n, dim, rng);
    for (uint8_t bits : {1, 4, 8}) {
        auto index = *ivf::IvfIndex::make(dim, lists, bits, 3);
        index.train(rows.data(), n, 4, 1, nullptr);
        std::vector<uint64_t> ids(n);
        for (size_t i = 0; i < n; ++i) ids[i] = 1000 + i % 450;  // some ids twice
        ASSERT_FALSE(index.add_batch(ids.data(), rows.data(), 300, 2));
        for (size_t i = 300; i < n; ++i) ASSERT_TRUE(index.add(ids[i], {rows.data() + i * dim, dim}));
        // Duplicated rows make equal scores: they must come in insertion order.
        ASSERT_TRUE(index.add(77, {rows.data(), dim}));
        // Six random queries, then twenty near copies of one row: they visit the same lists
        // together, through the many-query pass.
        constexpr size_t NQ = 26;
        auto queries = rng.standard_normal_vec(6 * dim);
        for (size_t c = 0; c < 20; ++c) {
            for (size_t j = 0; j < dim; ++j) queries.push_back(rows[j] * (1.0f + 0.01f * static_cast<float>(c)));
        }
        for (size_t probes : {size_t{1}, size_t{3}, lists}) {
            std::vector<uint64_t> batch_ids(NQ * 20);
            std::vector<float> batch_scores(NQ * 20);
            ASSERT_FALSE(index.search_batch(queries.data(), NQ, 20, probes, 1, batch_ids.data(), batch_scores.data()));
            for (size_t q = 0; q < NQ; ++q) {
                const auto found = *index.search({queries.data() + q * dim, dim}, 20, probes);
                ASSERT_EQ(found.size(), 20u);
                for (size_t r = 0; r < 20; ++r) {
                    EXPECT_EQ(batch_ids[q * 20 + r], found[r].id);
                    EXPECT_EQ(std::bit_cast<uint32_t>(batch_scores[q * 20 + r]), std::bit_cast<uint32_t>(found[r].score));
                }
                if (probes != lists) continue;
                // Every entry scored by the quantizer: residual estimate plus <c, q>.
                std::vector<Scored> all;
                const auto quantizer = CompactQuantizer::make(dim, bits, 3).value();
                std::vector<double> products(lists);
                index.coarse().products(queries.data() + q * dim, products.data());
                for (size_t i = 0; i <= n; ++i) {
                    const float* x = rows.data() + (i == n ? 0 : i) * dim;
                    uint32_t list = 0;
                    index.coarse().assign(x, 1, 1, &list);
                    std::vector<float> residual(dim);
                    for (size_t j = 0; j < dim; ++j) residual[j] = x[j] - index.coarse().centroid(list)[j];
                    const auto code = *quantizer.encode(residual);
                    const float est = *quantizer.inner_product(code, {queries.data() + q * dim, dim});
                    all.push_back({i == n ? 77 : ids[i], static_cast<float>(products[list] + est)});
                }
                rank(all, 20);
                for (size_t r = 0; r < 20; ++r) {
                    EXPECT_EQ(found[r].id, all[r].id) << int(bits) << " bits, rank " << r;
                    EXPECT_EQ(std::bit_cast<uint32_t>(found[r].score), std::bit_cast<uint32_t>(all[r].score));
                }
            }
        }
    }
}

TEST(IvfSearch, RowsArePaddedWhenTheProbedListsHoldFewerEntries) {
    SeededRng rng(7);
    const size_t dim = 16, lists = 8, n = 64;
    const auto rows = clustered(n, dim, rng);
    auto index = *ivf::IvfIndex::make(dim, lists, 2, 1);
    index.train(rows.data(), n, 3, 1, nullptr);
    std::vector<uint64_t> ids(n);
    for (size_t i = 0; i < n; ++i) ids[i] = i;
    ASSERT_FALSE(index.add_batch(ids.data(), rows.data(), n, 1));
    const auto sizes = index.list_sizes();
    const auto found = *index.search({rows.data(), dim}, 60, 1);
    ASSERT_EQ(found.size(), 60u);
    size_t real = 0;
    while (real < found.size() && found[real].id != ivf::NO_ID) ++real;
    EXPECT_LT(real, 60u);
    EXPECT_NE(std::find(sizes.begin(), sizes.end(), real), sizes.end());
    for (size_t r = real; r < found.size(); ++r) {
        EXPECT_EQ(found[r].id, ivf::NO_ID);
        EXPECT_TRUE(std::isnan(found[r].score));
    }
}

// Training, codes and the saved file, as bits: the same value from every compiler and path
// that runs this test (a change to any of them is a change to stored files).
TEST(IvfGolden, TheSavedFileKeepsItsBits) {
    SeededRng rng(11);
    const size_t dim = 20, lists = 7, n = 300;
    const auto rows = clustered(n, dim, rng);
    testing_isa::for_each_isa([&](kernels::Isa isa) {
        auto index = *ivf::IvfIndex::make(dim, lists, 3, 5);
        index.train(rows.data(), n, 5, 2, nullptr);
        std::vector<uint64_t> ids(n);
        for (size_t i = 0; i < n; ++i) ids[i] = i * 3;
        ASSERT_FALSE(index.add_batch(ids.data(), rows.data(), n, 2));
        std::vector<uint8_t> image(io::image_size(index));
        io::write_index(index, image.data());
        EXPECT_EQ(io::crc32_of(image), 2855135970u) << kernels::isa_name(isa);
    });
}
