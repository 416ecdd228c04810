// The entries a filtered search may return, from a list of allowed ids: a set of entry
// numbers (an entry's place in its index). Few of them are listed and scored one by one;
// many are a bitmap that the search's first pass consults for each entry it reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "index/id_map.hpp"

namespace quillane {

class AllowSet {
public:
    // The entries (of `entries` in all) stored under any of the n ids.
    static AllowSet of(const IdMap& map, const uint64_t* ids, size_t n, size_t entries);

    // Listed: the allowed entry numbers, ascending. Otherwise a bitmap.
    bool listed() const { return listed_; }
    const std::vector<uint64_t>& list() const { return list_; }
    bool allows(uint64_t entry) const { return (bits_[entry >> 6] >> (entry & 63)) & 1; }
    // How many entries are allowed.
    size_t count() const { return listed_ ? list_.size() : count_; }

private:
    // An allow-list this much smaller than the index is scored entry by entry: each exact
    // score costs about as much as the first pass over this many entries.
    static constexpr size_t FEW = 16;

    bool listed_ = false;
    std::vector<uint64_t> list_;
    std::vector<uint64_t> bits_;
    size_t count_ = 0;  // of a bitmap
};

}  // namespace quillane
