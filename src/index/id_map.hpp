// Where each id is stored: a hash table from 64-bit ids to entry numbers (an entry's place
// in an index), built when first needed. An id may be stored several times: each of its
// entries has its own slot.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quillane {

class IdMap {
public:
    IdMap() = default;
    // Entries 0 to n - 1 under ids[0] to ids[n - 1].
    IdMap(const uint64_t* ids, size_t n);

    // Room for `total` entries, so that that many inserts cannot fail.
    void reserve(size_t total);
    void insert(uint64_t id, uint64_t number);
    bool contains(uint64_t id) const;
    // The numbers of the entries under `id`, appended to `out` in no particular order.
    void find(uint64_t id, std::vector<uint64_t>& out) const;
    // f(number) for every entry under each of the n ids, looking ahead in the table so that
    // long lists of ids do not wait on each lookup in turn.
    template <class F> void find_each(const uint64_t* ids, size_t n, F&& f) const {
        if (slots_.empty()) return;
        constexpr size_t AHEAD = 16;
        for (size_t i = 0; i < n; ++i) {
            if (i + AHEAD < n) __builtin_prefetch(&slots_[home(ids[i + AHEAD])]);
            for (size_t at = home(ids[i]); slots_[at].number != NONE; at = (at + 1) & (slots_.size() - 1)) {
                if (slots_[at].id == ids[i]) f(slots_[at].number);
            }
        }
    }
    // The lowest number under `id`, or NONE.
    static constexpr uint64_t NONE = ~uint64_t{0};
    uint64_t first(uint64_t id) const;
    size_t size() const { return used_; }

private:
    struct Slot {
        uint64_t id;
        uint64_t number;  // NONE: free
    };
    size_t home(uint64_t id) const;
    void place(uint64_t id, uint64_t number);

    std::vector<Slot> slots_;  // a power of two, at most half full
    size_t used_ = 0;
};

}  // namespace quillane
