// Where each id is stored: a table from 64-bit ids to entry numbers (an entry's place in an
// index), built when first needed. Distinct ids in a compact range (the common case: row
// numbers) are looked up in an array indexed by id, so sorted lists of them are read in
// order; any others in a hash table with one slot per id, which holds the id's lowest entry
// number; the other entries of an id stored several times follow it in a chain indexed by
// entry number, so every lookup and insert costs the same however often an id repeats.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "index/mapped_buffer.hpp"

namespace quillane {

class IdMap {
public:
    static constexpr uint64_t NONE = ~uint64_t{0};

    IdMap() = default;
    IdMap(IdMap&&) = default;
    IdMap& operator=(IdMap&&) = default;
    // Entries 0 to n - 1 under ids[0] to ids[n - 1]; with first_only, only the first entry
    // of each id (a set of the ids, as removal wants it).
    IdMap(const uint64_t* ids, size_t n, bool first_only = false);

    // Room for the n ids that insert takes next, under the numbers following size(), so
    // that inserting them cannot fail (the table may change its form here, never during
    // the inserts).
    void prepare(const uint64_t* ids, size_t n);
    void insert(uint64_t id, uint64_t number);
    bool contains(uint64_t id) const;
    // The numbers of the entries under `id`, appended to `out` in no particular order.
    void find(uint64_t id, std::vector<uint64_t>& out) const;
    // The lowest number under `id`, or NONE.
    uint64_t first(uint64_t id) const;
    // f(number) for every entry under each of the n ids, looking ahead in the table so that
    // long lists of ids do not wait on each lookup in turn.
    template <class F> void find_each(const uint64_t* ids, size_t n, F&& f) const {
        if (count_ == 0) return;
        constexpr size_t AHEAD = 32;
        if (direct_) {
            const uint64_t* cells = this->cells();
            for (size_t i = 0; i < n; ++i) {
                if (i + AHEAD < n && ids[i + AHEAD] < count_) __builtin_prefetch(&cells[ids[i + AHEAD]]);
                if (ids[i] < count_ && cells[ids[i]] != 0) f(cells[ids[i]] - 1);
            }
            return;
        }
        const Slot* slots = table();
        for (size_t i = 0; i < n; ++i) {
            if (i + AHEAD < n) __builtin_prefetch(&slots[home(ids[i + AHEAD])]);
            for (size_t at = home(ids[i]); slots[at].number != NONE; at = (at + 1) & (count_ - 1)) {
                if (slots[at].id != ids[i]) continue;
                const uint64_t head = slots[at].number & ~CHAINED;
                f(head);
                if (slots[at].number & CHAINED) {
                    for (uint64_t next = links()[head]; next != 0; next = links()[next - 1]) f(next - 1);
                }
                break;  // one slot per id
            }
        }
    }
    size_t size() const { return used_; }
    // Ids are often consecutive: a full 64-bit mix spreads them over the hash table.
    static uint64_t mix(uint64_t z) {
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

private:
    struct Slot {
        uint64_t id;
        uint64_t number;  // the id's lowest entry number, CHAINED when it has others; NONE: free
    };
    static constexpr uint64_t CHAINED = uint64_t{1} << 63;
    // Ids below this many per entry (plus a little) are kept in the array.
    static constexpr uint64_t SPREAD = 2;
    static bool compact_range(uint64_t top, size_t entries) { return top < SPREAD * entries + 64; }

    size_t home(uint64_t id) const { return static_cast<size_t>(mix(id)) & (count_ - 1); }
    void hash_with_room(size_t total);  // becomes (or grows) the hash table
    // Adds an entry under id (first_only: not when the id is there already).
    void place(uint64_t id, uint64_t number, bool first_only = false);
    // The chain reaches entry number `number`.
    void chain_up_to(uint64_t number);
    void widen(uint64_t top);  // the array covers ids up to top
    const Slot* table() const { return reinterpret_cast<const Slot*>(store_.data()); }
    Slot* table() { return reinterpret_cast<Slot*>(store_.data()); }
    const uint64_t* cells() const { return reinterpret_cast<const uint64_t*>(store_.data()); }
    uint64_t* cells() { return reinterpret_cast<uint64_t*>(store_.data()); }
    const uint64_t* links() const { return reinterpret_cast<const uint64_t*>(chain_.data()); }
    uint64_t* links() { return reinterpret_cast<uint64_t*>(chain_.data()); }

    // Array: count_ cells, cell id holding its entry's number + 1 (0: none). Hash: count_
    // slots, a power of two, at most half full.
    bool direct_ = false;
    MappedBuffer store_;
    // Hash only: per entry number, the next entry of the same id + 1 (0: the last). Reserved
    // ahead; its pages stay untouched (and not resident) while no id repeats.
    MappedBuffer chain_;
    size_t count_ = 0;
    size_t distinct_ = 0;  // ids (hash slots taken; in the array, every entry's)
    size_t used_ = 0;      // entries
};

// A set of ids asked about many times (each entry of an index, say): a bitmap of their
// hashes, small enough to stay in cache, answers most absent ids before the table does.
class IdSet {
public:
    IdSet(const uint64_t* ids, size_t n);
    bool contains(uint64_t id) const {
        const uint64_t h = IdMap::mix(id) >> 32;
        return ((sieve_[(h & mask_) >> 6] >> (h & 63)) & 1) && map_.contains(id);
    }

private:
    IdMap map_;
    std::vector<uint64_t> sieve_;
    uint64_t mask_;
};

}  // namespace quillane
