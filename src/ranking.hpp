// Ranking of scored entries: highest score first, insertion order among equal
// scores, NaN scores after every other score (in insertion order among themselves).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace quillane {

struct Scored {
    uint64_t id;
    float score;
};

// A strict weak order: NaN forms one class below all numbers; -0.0 ties with +0.0.
inline bool ranks_before(const Scored& a, const Scored& b) {
    if (std::isnan(a.score)) return false;
    if (std::isnan(b.score)) return true;
    return a.score > b.score;
}

// Keeps the first min(top_k, n) of the stably sorted list.
inline void rank(std::vector<Scored>& entries, uint64_t top_k) {
    std::stable_sort(entries.begin(), entries.end(), ranks_before);
    if (top_k < entries.size()) entries.resize(static_cast<size_t>(top_k));
}

}  // namespace quillane
