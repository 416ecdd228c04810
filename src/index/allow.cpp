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
    map.find_each(ids, n, [&](uint64_t entry) { set.bits_[entry >> 6] |= uint64_t{1} << (entry & 63); });
    for (const uint64_t word : set.bits_) set.count_ += static_cast<size_t>(std::popcount(word));
    return set;
}

}  // namespace quillane
