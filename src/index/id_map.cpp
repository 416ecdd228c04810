#include "id_map.hpp"

#include <algorithm>
#include <bit>

namespace quillane {

namespace {

// Ids are often consecutive: a full 64-bit mix spreads them over the table.
uint64_t mix(uint64_t z) {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

}  // namespace

IdMap::IdMap(const uint64_t* ids, size_t n) {
    reserve(n);
    for (size_t i = 0; i < n; ++i) place(ids[i], i);
}

size_t IdMap::home(uint64_t id) const { return static_cast<size_t>(mix(id)) & (slots_.size() - 1); }

void IdMap::reserve(size_t total) {
    if (total * 2 <= slots_.size()) return;
    const size_t size = std::bit_ceil(std::max<size_t>(16, total * 2));
    std::vector<Slot> old(size, Slot{0, NONE});
    old.swap(slots_);
    used_ = 0;
    for (const Slot& s : old) {
        if (s.number != NONE) place(s.id, s.number);
    }
}

void IdMap::place(uint64_t id, uint64_t number) {
    size_t at = home(id);
    while (slots_[at].number != NONE) at = (at + 1) & (slots_.size() - 1);
    slots_[at] = {id, number};
    ++used_;
}

void IdMap::insert(uint64_t id, uint64_t number) {
    reserve(used_ + 1);
    place(id, number);
}

bool IdMap::contains(uint64_t id) const {
    if (slots_.empty()) return false;
    for (size_t at = home(id); slots_[at].number != NONE; at = (at + 1) & (slots_.size() - 1)) {
        if (slots_[at].id == id) return true;
    }
    return false;
}

void IdMap::find(uint64_t id, std::vector<uint64_t>& out) const {
    if (slots_.empty()) return;
    for (size_t at = home(id); slots_[at].number != NONE; at = (at + 1) & (slots_.size() - 1)) {
        if (slots_[at].id == id) out.push_back(slots_[at].number);
    }
}

uint64_t IdMap::first(uint64_t id) const {
    uint64_t best = NONE;
    if (slots_.empty()) return best;
    for (size_t at = home(id); slots_[at].number != NONE; at = (at + 1) & (slots_.size() - 1)) {
        if (slots_[at].id == id) best = std::min(best, slots_[at].number);
    }
    return best;
}

}  // namespace quillane
