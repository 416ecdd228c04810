// Ranking of scored entries: highest score first, insertion order among equal
// scores, NaN scores after every other score (in insertion order among themselves).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace quillane {

struct Scored {
    uint64_t id;
    float score;
};

// The id of a padding entry (a row with fewer entries than asked for), never stored.
inline constexpr uint64_t NO_ID = ~uint64_t{0};
// The row padded with {NO_ID, NaN} up to k entries.
inline void pad(std::vector<Scored>& row, size_t k) {
    if (row.size() < k) row.resize(k, Scored{NO_ID, std::numeric_limits<float>::quiet_NaN()});
}

// A strict weak order: NaN forms one class below all numbers; -0.0 ties with +0.0.
inline bool ranks_before(const Scored& a, const Scored& b) {
    if (std::isnan(a.score)) return false;
    if (std::isnan(b.score)) return true;
    return a.score > b.score;
}

// Keeps the first min(top_k, n) of the stably sorted list. The reference.
inline void rank(std::vector<Scored>& entries, uint64_t top_k) {
    std::stable_sort(entries.begin(), entries.end(), ranks_before);
    if (top_k < entries.size()) entries.resize(static_cast<size_t>(top_k));
}

// The same result from scores[i] of entry i (id ids[i]) with a heap of top_k entries:
// ties broken by position make the order total, so its first top_k are exactly the
// stable sort's.
inline std::vector<Scored> top_k_of(const float* scores, const uint64_t* ids, size_t n,
                                    uint64_t top_k) {
    const size_t k = static_cast<size_t>(std::min<uint64_t>(top_k, n));
    struct Item {
        float score;
        size_t position;
    };
    auto better = [](const Item& a, const Item& b) {
        const Scored sa{0, a.score}, sb{0, b.score};
        if (ranks_before(sa, sb)) return true;
        if (ranks_before(sb, sa)) return false;
        return a.position < b.position;
    };
    std::vector<Item> heap;  // the worst kept entry on top
    heap.reserve(k);
    for (size_t i = 0; i < n && k > 0; ++i) {
        const Item item{scores[i], i};
        if (heap.size() < k) {
            heap.push_back(item);
            std::push_heap(heap.begin(), heap.end(), better);
        } else if (better(item, heap.front())) {
            std::pop_heap(heap.begin(), heap.end(), better);
            heap.back() = item;
            std::push_heap(heap.begin(), heap.end(), better);
        }
    }
    std::sort(heap.begin(), heap.end(), better);
    std::vector<Scored> out;
    out.reserve(heap.size());
    for (const Item& item : heap) out.push_back({ids[item.position], item.score});
    return out;
}

}  // namespace quillane
