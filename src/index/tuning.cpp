#include "tuning.hpp"

#include <algorithm>
#include <chrono>
#include <unordered_set>

#include "index/topk.hpp"

namespace quillane {

double recall_of(const uint64_t* found, const uint64_t* wanted, size_t nq, size_t k) {
    size_t hits = 0, total = 0;
    std::unordered_set<uint64_t> row;
    for (size_t q = 0; q < nq; ++q) {
        row.clear();
        for (size_t r = 0; r < k; ++r) {
            if (found[q * k + r] != NO_ID) row.insert(found[q * k + r]);
        }
        for (size_t r = 0; r < k; ++r) {
            const uint64_t id = wanted[q * k + r];
            if (id == NO_ID) continue;
            ++total;
            // An id stored twice counts once per place it is wanted, while the row has it.
            if (row.erase(id) > 0) ++hits;
        }
    }
    return total == 0 ? 1.0 : static_cast<double>(hits) / static_cast<double>(total);
}

Tuning tune(uint64_t least, uint64_t most, double target, const uint64_t* wanted, size_t nq, size_t k,
            const std::function<void(uint64_t, uint64_t*)>& search) {
    Tuning tuning;
    std::vector<uint64_t> found(nq * k);
    const auto attempt = [&](uint64_t setting) {
        const auto start = std::chrono::steady_clock::now();
        search(setting, found.data());
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const TuningRow row{setting, recall_of(found.data(), wanted, nq, k),
                            static_cast<double>(nq) / std::max(seconds, 1e-9)};
        tuning.rows.push_back(row);
        return row.recall >= target;
    };
    least = std::max<uint64_t>(1, std::min(least, most));
    uint64_t missed = 0, reached = 0;  // 0: none yet
    for (uint64_t s = least;; s = s > most / 2 ? most : s * 2) {
        if (attempt(s)) {
            reached = s;
            break;
        }
        missed = s;
        if (s == most) break;
        // Two doublings that gained nothing: the codes' own ranking is the limit, and wider
        // searches would only cost more (a wide graph walk costs as much as a full scan).
        const size_t tried = tuning.rows.size();
        if (tried >= 3 && tuning.rows[tried - 1].recall <= tuning.rows[tried - 3].recall) break;
    }
    if (reached != 0) {
        while (missed != 0 && reached - missed > 1) {
            const uint64_t middle = missed + (reached - missed) / 2;
            (attempt(middle) ? reached : missed) = middle;
        }
        tuning.chosen = reached;
    }
    std::sort(tuning.rows.begin(), tuning.rows.end(),
              [](const TuningRow& a, const TuningRow& b) { return a.setting < b.setting; });
    return tuning;
}

}  // namespace quillane
