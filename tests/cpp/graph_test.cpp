// The graph's kernels and construction: every path gives the plain loop's lanes, and the
// graph is the same at any thread count.
#include <gtest/gtest.h>

#include <bit>
#include <random>
#include <vector>

#include "graph/graph_index.hpp"
#include "io/graph_file.hpp"
#include "isa.hpp"
#include "kernels/vector_sums.hpp"

namespace quillane {
namespace {

TEST(EightLaneSums, EveryPathGivesThePlainLoopsLanes) {
    std::mt19937 rng(3);
    std::normal_distribution<float> normal;
    for (size_t n : {0, 1, 7, 8, 9, 50, 64, 77, 768}) {
        std::vector<float> a(n), b(n);
        for (size_t i = 0; i < n; ++i) a[i] = normal(rng) * (i % 5 == 0 ? 1e30f : 1.0f), b[i] = -normal(rng);
        for (const auto term : {kernels::VectorTerm::product, kernels::VectorTerm::squared_difference}) {
            double want[8];
            kernels::table_for(kernels::Isa::portable).eight_lane_sums(a.data(), b.data(), n, term, want);
            // Four at once: b, then a itself, b again and a reversed copy of b, in step.
            std::vector<float> reversed(b.rbegin(), b.rend());
            const float* four[4] = {b.data(), a.data(), b.data(), reversed.data()};
            double want_four[32];
            for (size_t j = 0; j < 4; ++j) {
                kernels::table_for(kernels::Isa::portable).eight_lane_sums(a.data(), four[j], n, term, want_four + 8 * j);
            }
            for (kernels::Isa isa : kernels::available_isas()) {
                double got[8], got_four[32];
                kernels::table_for(isa).eight_lane_sums(a.data(), b.data(), n, term, got);
                kernels::table_for(isa).eight_lane_sums_of_four(a.data(), four, n, term, got_four);
                for (size_t l = 0; l < 8; ++l) {
                    ASSERT_EQ(std::bit_cast<uint64_t>(got[l]), std::bit_cast<uint64_t>(want[l]))
                        << kernels::isa_name(isa) << " n " << n << " lane " << l;
                }
                for (size_t l = 0; l < 32; ++l) {
                    ASSERT_EQ(std::bit_cast<uint64_t>(got_four[l]), std::bit_cast<uint64_t>(want_four[l]))
                        << kernels::isa_name(isa) << " n " << n << " four, lane " << l;
                }
            }
        }
    }
}

// The same rows give the same edges on every instruction set and at any thread count, and
// so does a removal from them.
TEST(GraphConstruction, TheSameGraphOnEveryPathAndThreadCount) {
    std::mt19937 rng(5);
    std::normal_distribution<float> normal;
    const size_t n = 600, dim = 20;
    std::vector<float> rows(n * dim);
    for (float& x : rows) x = normal(rng);
    std::vector<uint64_t> ids(n);
    for (size_t i = 0; i < n; ++i) ids[i] = i;
    std::vector<uint64_t> gone, most;  // a seventh, then all but every eleventh of the rest
    for (size_t i = 3; i < n; i += 7) gone.push_back(i);
    for (size_t i = 0; i < n; ++i) {
        if (i % 11 != 0) most.push_back(i);
    }
    std::vector<uint8_t> first, first_removed;
    testing_isa::for_each_isa([&](kernels::Isa isa) {
        for (unsigned threads : {1u, 2u, 3u}) {
            auto index = graph::GraphIndex::make(dim, 8, 4, 7, Metric::cosine);
            ASSERT_TRUE(index.has_value());
            ASSERT_FALSE(index->add_batch(ids.data(), rows.data(), 400, threads));
            ASSERT_FALSE(index->add_batch(ids.data() + 400, rows.data() + 400 * dim, n - 400, threads));
            const auto edges = index->graph().bytes();
            std::vector<uint8_t> bytes(edges.begin(), edges.end());
            if (first.empty()) first = bytes;
            EXPECT_EQ(bytes, first) << kernels::isa_name(isa) << " threads " << threads;
            ASSERT_EQ(index->remove(gone.data(), gone.size(), threads), gone.size());
            index->remove(most.data(), most.size(), threads);  // surroundings removed: relinked from farther
            const auto left = index->graph().bytes();
            bytes.assign(left.begin(), left.end());
            bytes.push_back(static_cast<uint8_t>(index->entry()));
            if (first_removed.empty()) first_removed = bytes;
            EXPECT_EQ(bytes, first_removed) << kernels::isa_name(isa) << " threads " << threads << " after removal";
        }
    });
}

}  // namespace
}  // namespace quillane

namespace quillane {
namespace {

// The CRC-32 of each metric's file (ip, cosine, l2).
constexpr uint32_t GOLDEN_CRC[3] = {1207906618u, 3910909193u, 2031074556u};

// A fixed build's file, to the bit: every compiler (g++ here, clang in the sanitized run)
// and instruction set must give these bytes.
TEST(GraphConstruction, AFixedBuildGivesTheSameFileOnEveryCompiler) {
    const size_t n = 300, dim = 12;
    std::vector<float> rows(n * dim);
    for (size_t i = 0; i < rows.size(); ++i) rows[i] = static_cast<float>((i * 7919) % 113) / 17.0f - 3.0f;
    std::vector<uint64_t> ids(n);
    for (size_t i = 0; i < n; ++i) ids[i] = 1000 + i;
    testing_isa::for_each_isa([&](kernels::Isa isa) {
        for (const Metric metric : {Metric::ip, Metric::cosine, Metric::l2}) {
            auto index = graph::GraphIndex::make(dim, 6, 3, 11, metric);
            ASSERT_TRUE(index.has_value());
            ASSERT_FALSE(index->add_batch(ids.data(), rows.data(), n, 2));
            std::vector<uint8_t> image(io::image_size(*index));
            io::write_index(*index, image.data());
            EXPECT_EQ(io::crc32_of(image), GOLDEN_CRC[static_cast<int>(metric)])
                << kernels::isa_name(isa) << " metric " << static_cast<int>(metric);
        }
    });
}

}  // namespace
}  // namespace quillane
