// The inverted-file index: a coarse quantizer partitions the space into lists; each entry
// is stored in the list of its nearest centroid as the compact record of its residual
// x - c, scored as f32(<c, q> + estimate of <x - c, q>). A search ranks the entries of the
// `probes` lists whose centroids have the highest <c, q>, exactly as scoring each of them
// would rank them: highest first, insertion order among equals, NaN last.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "error.hpp"
#include "index/compact_family.hpp"
#include "index/id_map.hpp"
#include "ivf/coarse.hpp"
#include "parallel/rows.hpp"

namespace quillane::ivf {

using quillane::NO_ID;

class IvfIndex {
public:
    // Each entry's insertion number takes 32 bits.
    static constexpr size_t MAX_ENTRIES = 0xFFFFFFFFu;

    static Result<IvfIndex> make(size_t dim, size_t lists, uint8_t bits, uint64_t seed, Metric metric = Metric::ip);
    IvfIndex(IvfIndex&&) = default;
    IvfIndex& operator=(IvfIndex&&) = delete;  // its family holds a reference
    IvfIndex(const IvfIndex&) = delete;  // lists may point into their own buffers

    // The entries of a file image whose every part was checked (io/ivf_file): list l
    // holds records [starts[l], starts[l + 1]) of `records`, with their insertion
    // numbers, in place; `image` keeps that memory. Read-only keeps them read-only (a
    // mapped file); otherwise a list copies its entries out before its first add.
    void adopt(std::vector<float> centroids, std::shared_ptr<const void> image, const uint64_t* starts,
               const uint32_t* orders, std::span<const uint64_t> ids, const uint8_t* records, bool read_only);
    bool read_only() const { return read_only_; }

    // Preconditions (InvariantFailure otherwise; the binding checks them first): not
    // trained yet, n >= lists, rows finite (and under cosine not all zero: they are
    // trained on as unit vectors).
    void train(const float* rows, size_t n, unsigned iterations, unsigned threads,
               const std::function<void(const TrainingStep&)>& step);

    // Given centroids instead of training (lists x dim, finite; not trained yet).
    void set_centroids(std::vector<float> centroids);

    // Trained, id != NO_ID. A refused vector changes nothing. More than MAX_ENTRIES in all
    // throw std::length_error (MemoryError in Python), before anything changes.
    Status add(uint64_t id, std::span<const float> vector);
    // Every row as add would, all or nothing; the lowest failing row.
    std::optional<parallel::RowFailure> add_batch(const uint64_t* ids, const float* rows, size_t n,
                                                  unsigned threads);

    // The first top_k entries of the probed lists (probes clamped to lists; 0 is taken as
    // 1), padded with {NO_ID, NaN} up to min(top_k, size()). With `allow` (an AllowSet of
    // insertion numbers), only the entries it allows.
    Result<std::vector<Scored>> search(std::span<const float> query, uint64_t top_k, uint64_t probes,
                                       const AllowSet* allow = nullptr) const;
    // search for each of nq queries into rows of min(top_k, size()), probes clamped as
    // search clamps them; queries that probe the same list are scanned together.
    std::optional<parallel::RowFailure> search_batch(const float* queries, size_t nq, uint64_t top_k,
                                                     uint64_t probes, unsigned threads, uint64_t* out_ids,
                                                     float* out_scores, const AllowSet* allow = nullptr) const;

    // Removes every entry whose id is one of the n given; returns how many it removed. The
    // entries left keep their insertion order (renumbered from 0); not read-only.
    size_t remove(const uint64_t* gone, size_t count);

    // Where each id and each entry is, built at the first call (kept up to date by adds).
    struct Lookup {
        IdMap ids;  // id -> insertion number
        std::vector<std::pair<uint32_t, uint32_t>> place;  // insertion number -> (list, position)
    };
    const Lookup& lookup() const;
    // The decoding of the entry with this insertion number: its residual's plus its centroid.
    Result<std::vector<float>> decode(uint64_t insertion) const;

    size_t size() const { return ids_.size(); }
    size_t dim() const { return family_.dim(); }
    uint8_t bits() const { return family_.quantizer().bits(); }
    uint64_t seed() const { return family_.quantizer().seed(); }
    Metric metric() const { return family_.metric(); }
    const CoarseQuantizer& coarse() const { return coarse_; }
    std::vector<uint64_t> list_sizes() const;

private:
    struct List {
        const uint8_t* records = nullptr;  // n records, then SCAN_SLACK_BYTES: owned or in an image
        const uint32_t* order = nullptr;   // each record's insertion number
        size_t n = 0;
        std::vector<uint8_t> own_records;  // once the list owns its entries
        std::vector<uint32_t> own_order;
        size_t size() const { return n; }
        // The entries copied into the list's own buffers (a no-op once they are).
        void own(size_t stride);
        // Room for `more` records, then one appended (room first: nothing fails half-way);
        // reserve returns the bytes of the buffers it gave up.
        size_t reserve(size_t more, size_t stride);
        void append(const uint8_t* record, size_t stride, uint32_t insertion);
    };
    // A query's probed lists and their offsets, in probe order.
    struct Probe {
        std::vector<uint32_t> lists;
        std::vector<double> offsets;
    };

    IvfIndex(CompactFamily family, size_t lists);
    // How many lists a search opens for `probes`: clamped to 1..lists, the one rule of
    // search and search_batch.
    size_t probed_count(uint64_t probes) const {
        return static_cast<size_t>(std::clamp<uint64_t>(probes, 1, std::max<size_t>(lists_.size(), 1)));
    }
    // add_batch but for giving the freed pages back.
    std::optional<parallel::RowFailure> add_rows(const uint64_t* ids, const float* rows, size_t n, unsigned threads);
    // The probed lists of a prepared query (under cosine its unit vector's; raw otherwise).
    Probe probe(const CompactFamily::Prepared& prepared, const float* query, size_t probes) const;
    // The same for n prepared queries (rows of `queries`) at once.
    std::vector<Probe> probe_all(std::span<const CompactFamily::Prepared> prepared, const float* queries,
                                 size_t probes) const;
    // A ranking's rows (ids are insertion numbers) with their ids, padded to k.
    std::vector<Scored> padded(std::vector<Scored> best, size_t k) const;
    // The first k of the listed entries of `allow` that lie in the probed lists, each scored
    // exactly (ids are insertion numbers).
    std::vector<Scored> rank_listed(const CompactFamily::Prepared& prepared, const Probe& probe,
                                    const AllowSet& allow, size_t k) const;
    CompactFamily::Segment segment(uint32_t l, const AllowSet* allow) const {
        const List& list = lists_[l];
        return {list.records, list.size(), nullptr, allow, nullptr, 0, list.order};
    }

    CompactFamily family_;
    CoarseQuantizer coarse_;
    std::vector<List> lists_;
    std::vector<uint64_t> ids_;  // by insertion number
    std::shared_ptr<const void> image_;  // what adopted lists point into
    size_t freed_ = 0;  // bytes of list buffers given up since their pages last went back
    bool read_only_ = false;
    // Built by the first lookup, which may come from concurrent searches; add and remove
    // (which have the index to themselves) keep it up to date or drop it.
    mutable std::unique_ptr<Lookup> lookup_;
    mutable std::unique_ptr<std::mutex> lookup_lock_ = std::make_unique<std::mutex>();

public:
    // For the file writer: list l's records, insertion numbers and the ids.
    std::span<const uint8_t> list_records(size_t l) const {
        return {lists_[l].records, lists_[l].n * family_.record_size()};
    }
    std::span<const uint32_t> list_order(size_t l) const { return {lists_[l].order, lists_[l].n}; }
    std::span<const uint64_t> ids() const { return ids_; }
    const CompactFamily& family() const { return family_; }
};

}  // namespace quillane::ivf
