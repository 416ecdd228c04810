// A graph index: the entries of a flat index (compact records, ids, the id map), each a
// vertex of a proximity graph whose edges were chosen, while adding, from the vectors in
// hand. A search walks the graph from a fixed entry vertex, keying each vertex it meets by
// its exact score from its code (the flat index's score), and ranks what it kept.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "error.hpp"
#include "graph/adjacency.hpp"
#include "graph/construction.hpp"
#include "graph/visited.hpp"
#include "index/compact_family.hpp"
#include "index/allow.hpp"
#include "index/flat_index.hpp"
#include "parallel/rows.hpp"

namespace quillane::graph {

class GraphIndex {
public:
    static constexpr uint32_t MAX_DEGREE = 256;
    // Entry numbers are 32-bit in the graph, NONE excluded.
    static constexpr size_t MAX_ENTRIES = Adjacency::NONE;

    // "degree must be between 2 and 256, got {}" and the compact quantizer's checks.
    static Result<GraphIndex> make(uint64_t dim, uint32_t degree, uint8_t bits, uint64_t seed, Metric metric);

    // An index of stored parts (a file's, checked): the flat index of the records and ids,
    // the edges, the first entry.
    GraphIndex(FlatIndex<CompactFamily> flat, Adjacency graph, uint32_t entry)
        : flat_(std::move(flat)), graph_(std::move(graph)), entry_(entry) {}

    // Rows done so far of a batch being added, and the batch's size.
    using Progress = std::function<void(size_t done, size_t total)>;
    // Every row encoded (the lowest failing row refuses the batch), then linked into the
    // graph in rounds; all or nothing. The same rows give the same index at any thread count.
    std::optional<parallel::RowFailure> add_batch(const uint64_t* ids, const float* rows, size_t n,
                                                  unsigned threads, const Progress& progress = {});

    // The first min(top_k, size()) entries a beam of max(ef, top_k) finds, by score
    // (highest first, smallest first under l2; insertion order among equals, NaN last),
    // padded with {NO_ID, NaN} when the walk met fewer.
    // With `allow` (an AllowSet of entry numbers), only allowed entries are ranked: a few
    // (a listed set) scored one by one, as CompactIndex scores them; more by a walk over
    // every vertex whose beam is widened by the inverse of the allowed share (at most the
    // index's size), the `width` best allowed vertices it meets then scored exactly.
    Result<std::vector<Scored>> search(std::span<const float> query, uint64_t top_k, uint64_t ef,
                                       const AllowSet* allow = nullptr) const;
    std::optional<parallel::RowFailure> search_batch(const float* queries, size_t nq, uint64_t top_k, uint64_t ef,
                                                     unsigned threads, uint64_t* out_ids, float* out_scores,
                                                     const AllowSet* allow = nullptr) const;

    // Removes every entry whose id is one of the `count` given; returns how many. The graph
    // closes around them (graph/removal.hpp), the entries left keep their insertion order
    // (renumbered from 0), and their memory goes back; not read-only. The same index and ids
    // give the same index at any thread count.
    size_t remove(const uint64_t* gone, size_t count, unsigned threads = 0);

    size_t size() const { return flat_.size(); }
    uint64_t dim() const { return flat_.family().dim(); }
    uint8_t bits() const { return flat_.quantizer().bits(); }
    uint64_t seed() const { return flat_.quantizer().seed(); }
    Metric metric() const { return flat_.family().metric(); }
    uint32_t degree() const { return graph_.degree(); }
    uint32_t entry() const { return entry_; }
    const CompactFamily& family() const { return flat_.family(); }
    const FlatIndex<CompactFamily>& flat() const { return flat_; }
    const Adjacency& graph() const { return graph_; }
    // Whether the index is a view of a mapped file; add_batch must not be called then.
    bool read_only() const { return flat_.read_only(); }
    // Entry e's decoding (FlatIndex::decode).
    auto decode(size_t e) const { return flat_.decode(e); }

    // The beam of each new vertex's search while adding.
    static constexpr uint32_t BUILD_WIDTH = 128;
    // A batch of this many rows or more gives the heap's free pages back when it is done.
    static constexpr size_t TRIM_AFTER_ROWS = 1024;

private:
    GraphIndex(CompactFamily family, uint32_t degree) : flat_(std::move(family)), graph_(degree) {}
    // What construction measures: the rows being added as given, the earlier entries as
    // their codes decode (into `decoded`).
    BuildVectors build_vectors(const float* rows, size_t n, unsigned threads, std::vector<float>& decoded) const;
    // What construction measures of the first `stored` entries (those `only` marks, when
    // given): their decodings, into `decoded`; room for `vertices` in all, the others null.
    BuildVectors decoded_vectors(size_t stored, const std::vector<uint8_t>* only, size_t vertices, unsigned threads,
                                 std::vector<float>& decoded) const;
    // Vertex e measured as `values` (dim floats), with its scale under cosine.
    static void set_vector(BuildVectors& vectors, size_t e, const float* values);
    // The row of the batch nearest the batch's mean (in metric space): the first entry.
    size_t central_row(const BuildVectors& vectors, size_t first, size_t n) const;
    // The walk: a beam of `width` over every vertex; the vertices it ranks at the end are
    // those it kept, or with `allow` the best `allowed_width` allowed ones it met.
    std::vector<Scored> walk(const CompactFamily::Prepared& prepared, size_t k, size_t width, const AllowSet* allow,
                             size_t allowed_width) const;

    FlatIndex<CompactFamily> flat_;
    Adjacency graph_;
    uint32_t entry_ = 0;
    std::unique_ptr<VisitedPool> pool_ = std::make_unique<VisitedPool>();
};

}  // namespace quillane::graph
