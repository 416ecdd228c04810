// The inverted-file index: a coarse quantizer partitions the space into lists; each entry
// is stored in the list of its nearest centroid as the compact record of its residual
// x - c, scored as f32(<c, q> + estimate of <x - c, q>). A search ranks the entries of the
// `probes` lists whose centroids have the highest <c, q>, exactly as scoring each of them
// would rank them: highest first, insertion order among equals, NaN last.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "error.hpp"
#include "index/compact_family.hpp"
#include "ivf/coarse.hpp"
#include "parallel/rows.hpp"

namespace quillane::ivf {

// The id of a padding entry (a row with fewer entries than asked for), never stored.
inline constexpr uint64_t NO_ID = ~uint64_t{0};

class IvfIndex {
public:
    static Result<IvfIndex> make(size_t dim, size_t lists, uint8_t bits, uint64_t seed);

    // Preconditions (InvariantFailure otherwise; the binding checks them first): not
    // trained yet, n >= lists, rows finite.
    void train(const float* rows, size_t n, unsigned iterations, unsigned threads,
               const std::function<void(const TrainingStep&)>& step);

    // Trained, id != NO_ID. A refused vector changes nothing.
    Status add(uint64_t id, std::span<const float> vector);
    // Every row as add would, all or nothing; the lowest failing row.
    std::optional<parallel::RowFailure> add_batch(const uint64_t* ids, const float* rows, size_t n,
                                                  unsigned threads);

    // The first top_k entries of the probed lists (probes clamped to lists; 0 is taken as
    // 1), padded with {NO_ID, NaN} up to min(top_k, size()).
    Result<std::vector<Scored>> search(std::span<const float> query, uint64_t top_k, uint64_t probes) const;
    // search for each of nq queries into rows of min(top_k, size()); queries that probe
    // the same list are scanned together.
    std::optional<parallel::RowFailure> search_batch(const float* queries, size_t nq, uint64_t top_k,
                                                     uint64_t probes, unsigned threads, uint64_t* out_ids,
                                                     float* out_scores) const;

    size_t size() const { return ids_.size(); }
    size_t dim() const { return family_.dim(); }
    uint8_t bits() const { return family_.quantizer().bits(); }
    uint64_t seed() const { return family_.quantizer().seed(); }
    const CoarseQuantizer& coarse() const { return coarse_; }
    std::vector<uint64_t> list_sizes() const;

private:
    struct List {
        std::vector<uint8_t> records;  // n records, then SCAN_SLACK_BYTES
        std::vector<uint64_t> order;   // each record's insertion number
        size_t size() const { return order.size(); }
    };
    // A query's probed lists and their offsets, in probe order.
    struct Probe {
        std::vector<uint32_t> lists;
        std::vector<double> offsets;
    };

    IvfIndex(CompactFamily family, size_t lists);
    Result<std::vector<uint8_t>> encode_residual(std::span<const float> vector, uint32_t list) const;
    Probe probe(const float* query, size_t probes) const;
    // The final rows from each list's best, merged by score then insertion order.
    std::vector<Scored> merge(std::vector<Scored> found, size_t k) const;

    CompactFamily family_;
    CoarseQuantizer coarse_;
    std::vector<List> lists_;
    std::vector<uint64_t> ids_;  // by insertion number
};

}  // namespace quillane::ivf
