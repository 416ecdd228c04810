#include "id_map.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

namespace quillane {

IdMap::IdMap(const uint64_t* ids, size_t n, bool first_only) {
    uint64_t top = 0;
    for (size_t i = 0; i < n; ++i) top = std::max(top, ids[i]);
    if (n > 0 && compact_range(top, n)) {
        direct_ = true;
        widen(top);
        uint64_t* cell = cells();
        size_t i = 0;
        for (; i < n; ++i) {
            if (cell[ids[i]] == 0) {
                cell[ids[i]] = i + 1;
                ++used_, ++distinct_;
            } else if (!first_only) {
                break;
            }
        }
        if (i == n) return;
        // An id stored twice: a hash table after all.
        direct_ = false;
        store_ = MappedBuffer();
        count_ = 0;
        used_ = distinct_ = 0;
    }
    hash_with_room(n);
    chain_.reserve(n * sizeof(uint64_t));
    for (size_t i = 0; i < n; ++i) place(ids[i], i, first_only);
}

void IdMap::widen(uint64_t top) {
    if (top < count_) return;
    const size_t count = static_cast<size_t>(top) + 1;
    store_.reserve(count * sizeof(uint64_t));  // new pages read as zero: no entries
    store_.extend(count * sizeof(uint64_t) - store_.size());
    if (count_ == 0) store_.prefer_huge_pages();
    count_ = count;
}

void IdMap::hash_with_room(size_t total) {
    if (!direct_ && total * 2 <= count_) return;
    const size_t count = std::bit_ceil(std::max<size_t>(16, total * 2));
    MappedBuffer fresh;
    fresh.reserve(count * sizeof(Slot));
    fresh.prefer_huge_pages();
    std::memset(fresh.spare(), 0xFF, count * sizeof(Slot));  // every number NONE: free
    fresh.extend(count * sizeof(Slot));
    MappedBuffer old = std::move(fresh);
    std::swap(old, store_);
    const size_t old_count = count_;
    const bool was_direct = direct_;
    count_ = count;
    direct_ = false;
    Slot* slots = table();
    const auto move_in = [&](uint64_t id, uint64_t number) {
        size_t at = home(id);
        while (slots[at].number != NONE) at = (at + 1) & (count_ - 1);
        slots[at] = {id, number};
    };
    if (was_direct) {
        const auto* previous = reinterpret_cast<const uint64_t*>(old.data());
        for (size_t id = 0; id < old_count; ++id) {
            if (previous[id] != 0) move_in(id, previous[id] - 1);
        }
        return;
    }
    // Slots move whole: the chains are indexed by entry number and stay as they are.
    const auto* previous = reinterpret_cast<const Slot*>(old.data());
    for (size_t i = 0; i < old_count; ++i) {
        if (previous[i].number != NONE) move_in(previous[i].id, previous[i].number);
    }
}

void IdMap::prepare(const uint64_t* ids, size_t n) {
    if (direct_) {
        uint64_t top = 0;
        for (size_t i = 0; i < n; ++i) top = std::max(top, ids[i]);
        bool stays = compact_range(top, used_ + n);
        if (stays) {
            // Distinct from the stored ids and from each other: marked, then unmarked.
            widen(top);
            uint64_t* cell = cells();
            constexpr uint64_t MARK = NONE;
            size_t marked = 0;
            for (; marked < n && cell[ids[marked]] == 0; ++marked) cell[ids[marked]] = MARK;
            stays = marked == n;
            for (size_t i = 0; i < marked; ++i) cell[ids[i]] = 0;
        }
        if (stays) return;
    }
    hash_with_room(distinct_ + n);
    chain_.reserve((used_ + n) * sizeof(uint64_t));  // address space only, until an id repeats
}

void IdMap::chain_up_to(uint64_t number) {
    if (number >= chain_.capacity() / sizeof(uint64_t)) chain_.reserve((number + 1) * sizeof(uint64_t));
}

void IdMap::place(uint64_t id, uint64_t number, bool first_only) {
    Slot* slots = table();
    size_t at = home(id);
    for (; slots[at].number != NONE; at = (at + 1) & (count_ - 1)) {
        if (slots[at].id != id) continue;
        if (first_only) return;
        // A repeat: linked after the head, or made the head when it is lower.
        const uint64_t head = slots[at].number & ~CHAINED;
        chain_up_to(std::max(head, number));
        uint64_t* link = links();
        if (number > head) {
            link[number] = link[head];
            link[head] = number + 1;
        } else {
            link[number] = head + 1;
            slots[at].number = number;
        }
        slots[at].number |= CHAINED;
        ++used_;
        return;
    }
    slots[at] = {id, number};
    ++distinct_;
    ++used_;
}

void IdMap::insert(uint64_t id, uint64_t number) {
    if (direct_) {
        cells()[id] = number + 1;  // prepared: in range and not stored
        ++used_, ++distinct_;
        return;
    }
    hash_with_room(distinct_ + 1);
    place(id, number);
}

bool IdMap::contains(uint64_t id) const {
    bool found = false;
    find_each(&id, 1, [&](uint64_t) { found = true; });
    return found;
}

void IdMap::find(uint64_t id, std::vector<uint64_t>& out) const {
    find_each(&id, 1, [&](uint64_t number) { out.push_back(number); });
}

uint64_t IdMap::first(uint64_t id) const {
    uint64_t best = NONE;
    find_each(&id, 1, [&](uint64_t number) { best = std::min(best, number); });
    return best;
}

IdSet::IdSet(const uint64_t* ids, size_t n) : map_(ids, n, true) {
    const size_t bits = std::bit_ceil(std::max<size_t>(64, n * 16));
    sieve_.assign(bits / 64, 0);
    mask_ = bits - 1;
    for (size_t i = 0; i < n; ++i) {
        const uint64_t h = IdMap::mix(ids[i]) >> 32;
        sieve_[(h & mask_) >> 6] |= uint64_t{1} << (h & 63);
    }
}

}  // namespace quillane
