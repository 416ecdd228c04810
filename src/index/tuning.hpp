// Choosing a search setting (an inverted file's probes, a graph's ef) for a target recall:
// a sample of queries is searched at growing settings and each answer compared with the
// answer wanted (the exhaustive ranking, or the exact top k); the smallest setting that
// reaches the target is kept, with what each setting tried gave.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace quillane {

// The share of the wanted ids (nq rows of k; NO_ID padding is not wanted) that the found
// rows (nq rows of k) hold, over every row; 1 when nothing is wanted.
double recall_of(const uint64_t* found, const uint64_t* wanted, size_t nq, size_t k);

struct TuningRow {
    uint64_t setting;
    double recall;
    double queries_per_second;  // the sample's queries over the wall time of its search
};

struct Tuning {
    std::optional<uint64_t> chosen;  // none when even `most` misses the target
    std::vector<TuningRow> rows;     // every setting tried, in increasing order
};

// search(setting, out) writes the sample's nq rows of k ids at that setting. Settings
// double from `least` until one reaches `target` (or `most` is tried, or two doublings in a
// row gain no recall); then the gap between the last that missed and the first that
// reached is halved until they meet.
// Recall must grow with the setting for the result to be the smallest (it does for probes;
// for ef nearly always).
Tuning tune(uint64_t least, uint64_t most, double target, const uint64_t* wanted, size_t nq, size_t k,
            const std::function<void(uint64_t, uint64_t*)>& search);

}  // namespace quillane
