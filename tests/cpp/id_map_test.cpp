// The id map against a plain multimap: both forms (array and hash), the change between them
// as ids arrive, duplicates, and the set used for removal.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <vector>

#include "index/id_map.hpp"

namespace quillane {
namespace {

std::vector<uint64_t> numbers_of(const IdMap& map, uint64_t id) {
    std::vector<uint64_t> out;
    map.find(id, out);
    std::sort(out.begin(), out.end());
    return out;
}

// Batches of ids drawn from a range that grows (or jumps) and may repeat.
class IdMapAgainstMultimap : public ::testing::TestWithParam<int> {};

TEST_P(IdMapAgainstMultimap, FindsWhatWasInserted) {
    std::mt19937_64 rng(GetParam());
    std::multimap<uint64_t, uint64_t> reference;
    std::vector<uint64_t> first_batch;
    const bool repeats = GetParam() % 2 == 1;
    for (uint64_t i = 0; i < 300; ++i) first_batch.push_back(repeats ? rng() % 200 : i * 3 % 301);
    IdMap map(first_batch.data(), first_batch.size());
    for (size_t i = 0; i < first_batch.size(); ++i) reference.emplace(first_batch[i], i);
    uint64_t next = first_batch.size();
    for (int round = 0; round < 20; ++round) {
        std::vector<uint64_t> batch;
        const uint64_t range = round == 15 ? uint64_t{1} << 40 : 400 + 50 * round;
        for (int j = 0; j < 25; ++j) batch.push_back(round < 10 && !repeats ? next + j : rng() % range);
        map.prepare(batch.data(), batch.size());
        for (uint64_t id : batch) {
            map.insert(id, next);
            reference.emplace(id, next++);
        }
        for (uint64_t probe = 0; probe < 1500; ++probe) {
            std::vector<uint64_t> want;
            for (auto [it, end] = reference.equal_range(probe); it != end; ++it) want.push_back(it->second);
            ASSERT_EQ(numbers_of(map, probe), want) << "id " << probe << " round " << round;
            ASSERT_EQ(map.contains(probe), !want.empty());
            ASSERT_EQ(map.first(probe), want.empty() ? IdMap::NONE : want.front());
        }
        ASSERT_EQ(map.size(), reference.size());
    }
    const IdSet set(first_batch.data(), first_batch.size());
    for (uint64_t probe = 0; probe < 1000; ++probe) {
        EXPECT_EQ(set.contains(probe), std::count(first_batch.begin(), first_batch.end(), probe) > 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, IdMapAgainstMultimap, ::testing::Range(0, 6));

}  // namespace
}  // namespace quillane
