#include "index/topk.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace quillane {
namespace {

std::vector<uint64_t> ids_of(const std::vector<Scored>& v) {
    std::vector<uint64_t> out;
    for (const auto& s : v) out.push_back(s.id);
    return out;
}

TEST(Ranking, DescendingWithInsertionOrderOnTiesAndNanLast) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    std::vector<Scored> v = {{0, 1.0f}, {1, nan}, {2, 3.0f}, {3, -0.0f}, {4, 1.0f}, {5, -nan},
                             {6, 0.0f}, {7, -inf}, {8, inf}, {9, 3.0f}};
    rank(v, 100);
    EXPECT_EQ(ids_of(v), (std::vector<uint64_t>{8, 2, 9, 0, 4, 3, 6, 7, 1, 5}));
}

TEST(Ranking, TopKKeepsThePrefix) {
    std::vector<Scored> all, cut;
    for (uint64_t i = 0; i < 50; ++i) all.push_back({i, float((i * 7) % 11)});
    cut = all;
    rank(all, 50);
    rank(cut, 5);
    ASSERT_EQ(cut.size(), 5u);
    for (size_t i = 0; i < 5; ++i) EXPECT_EQ(cut[i].id, all[i].id);
    std::vector<Scored> none = all;
    rank(none, 0);
    EXPECT_TRUE(none.empty());
}

}  // namespace
}  // namespace quillane
