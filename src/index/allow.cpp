#include "allow.hpp"

#include <algorithm>
#include <bit>

namespace quillane {

AllowSet AllowSet::of(const IdMap& map, const uint64_t* ids, size_t n, size_t entries) {
    AllowSet set;
    if (n * FEW < entries) {
        set.listed_ = true;
        for (size_t i = 0; i < n; ++i) map.find(ids[i], set.list_);
        std::sort(set.list_.begin(), set.list_.end());
        set.list_.erase(std::unique(set.list_.begin(), set.list_.end()), set.list_.end());
        return set;
    }
    set.bits_.assign(entries / 64 + 1, 0);
    // Ids are mostly given in order: the word being filled stays in a register until the
    // next entry falls in another (a store and reload per id would chain them).
    uint64_t* bits = set.bits_.data();
    size_t at = 0;
    uint64_t word = 0;
    map.find_each(ids, n, [&](uint64_t entry) {
        if ((entry >> 6) != at) {
            bits[at] |= word;
            at = entry >> 6;
            word = 0;
        }
        word |= uint64_t{1} << (entry & 63);
    });
    bits[at] |= word;
    for (const uint64_t w : set.bits_) set.count_ += static_cast<size_t>(std::popcount(w));
    return set;
}

}  // namespace quillane
