// A flat index: codes of one family stored under 64-bit ids in one arena, searched
// exhaustively. Generic over the code family (see turbo_family.hpp for what a family
// provides); the index never touches a kernel or a byte layout itself. Each arena entry
// is the family's record: the code, then whatever the family keeps beside it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "error.hpp"
#include "allow.hpp"
#include "id_map.hpp"
#include "mapped_buffer.hpp"
#include "parallel/rows.hpp"
#include "topk.hpp"

namespace quillane {

template <class Family> class FlatIndex {
public:
    using Quantizer = typename Family::Quantizer;
    using FamilyType = Family;

    explicit FlatIndex(Family family)
        : family_(std::move(family)),
          stride_(family_.record_size()),
          summary_(family_.empty_summary()) {
        arena_.reserve(Family::SCAN_SLACK_BYTES);
    }
    explicit FlatIndex(Quantizer quantizer) : FlatIndex(Family(std::move(quantizer))) {}

    // An index of stored records and ids, copied into an arena of its own (n records of
    // record_size() bytes; the summary is that of all of them).
    static FlatIndex restored(Family family, typename Family::Summary summary,
                              std::span<const uint64_t> ids, std::span<const uint8_t> records) {
        FlatIndex index(std::move(family));
        if (!ids.empty()) index.ids_.append(ids.data(), ids.size_bytes());
        index.arena_.reserve(records.size() + Family::SCAN_SLACK_BYTES);
        if (!records.empty()) index.arena_.append(records.data(), records.size());
        index.summary_ = summary;
        return index;
    }

    // An index that takes over buffers of n ids (8 bytes each) and n records, the records'
    // buffer with Family::SCAN_SLACK_BYTES of capacity past them (the summary is theirs).
    static FlatIndex adopting(Family family, typename Family::Summary summary, MappedBuffer ids,
                              MappedBuffer records) {
        FlatIndex index(std::move(family));
        if (records.capacity() - records.size() < Family::SCAN_SLACK_BYTES) {
            throw InvariantFailure("adopted records have no room for the scan's slack");
        }
        index.ids_ = std::move(ids);
        index.arena_ = std::move(records);
        index.summary_ = summary;
        return index;
    }

    // A read-only index over records and ids that stay where they are (a mapped file that
    // `keep` holds, with Family::SCAN_SLACK_BYTES readable after the last record).
    static FlatIndex viewing(Family family, typename Family::Summary summary,
                             std::shared_ptr<const void> keep, const uint64_t* ids,
                             const uint8_t* records, size_t n) {
        FlatIndex index(std::move(family));
        index.view_ = View{std::move(keep), ids, records, n};
        index.summary_ = summary;
        return index;
    }

    // Whether the records are a read-only view; add and add_batch must not be called then.
    bool read_only() const { return view_.keep != nullptr; }

    // Encodes and appends; all or nothing: a refused vector or a failed allocation leaves
    // the index as it was.
    Status add(uint64_t id, std::span<const float> vector) {
        if (read_only()) throw InvariantFailure("add to a read-only index");
        QL_TRY_ASSIGN(const std::vector<uint8_t> code, family_.encode_record(vector));
        if (code.size() != stride_) {
            throw InvariantFailure("encoded record size differs from the family's record size");
        }
        auto summary = family_.summarize(code);
        summary.merge(summary_);
        // Reserve both first: the appends below cannot fail, so both happen or neither.
        // The scan may read a few slack bytes past the last record; they stay mapped.
        ids_.reserve(ids_.size() + sizeof id);
        arena_.reserve(arena_.size() + stride_ + Family::SCAN_SLACK_BYTES);
        if (map_) map_->prepare(&id, 1);
        arena_.append(code.data(), code.size());
        ids_.append(&id, sizeof id);
        if (map_) map_->insert(id, size() - 1);
        summary_ = summary;
        return {};
    }

    // add for each of n rows of dim() floats, on up to `threads` threads (0: every allowed
    // core), all or nothing: the lowest failing row, or a failed allocation, leaves the
    // index as it was. Records are encoded straight into the arena's reserved tail and
    // taken in together at the end.
    std::optional<parallel::RowFailure> add_batch(const uint64_t* ids, const float* vectors,
                                                  size_t n, unsigned threads) {
        if (read_only()) throw InvariantFailure("add to a read-only index");
        if (n == 0) return std::nullopt;
        if (n > (SIZE_MAX / 2 - arena_.size()) / stride_) throw std::bad_alloc();
        ids_.reserve(ids_.size() + n * sizeof(uint64_t));
        arena_.reserve(arena_.size() + n * stride_ + Family::SCAN_SLACK_BYTES);
        if (map_) map_->prepare(ids, n);
        uint8_t* tail = arena_.spare();
        const size_t dim = family_.dim();
        std::mutex merging;
        auto summary = summary_;
        auto failure = parallel::for_each_row(n, ADD_ROWS_PER_CHUNK, threads, [&](size_t i) -> Status {
            QL_TRY_ASSIGN(const std::vector<uint8_t> record, family_.encode_record({vectors + i * dim, dim}));
            if (record.size() != stride_) {
                throw InvariantFailure("encoded record size differs from the family's record size");
            }
            const auto own = family_.summarize(record);
            std::memcpy(tail + i * stride_, record.data(), stride_);
            std::lock_guard lock(merging);
            summary.merge(own);
            return {};
        });
        if (failure) return failure;
        const size_t first = size();
        arena_.extend(n * stride_);
        ids_.append(ids, n * sizeof(uint64_t));  // reserved above: cannot fail
        if (map_) {
            for (size_t i = 0; i < n; ++i) map_->insert(ids[i], first + i);
        }
        summary_ = summary;
        return std::nullopt;
    }

    // Removes every entry whose id is one of the n given; returns how many it removed. The
    // entries left keep their order; the memory of the removed ones goes back to the system.
    size_t remove(const uint64_t* gone, size_t count) {
        if (read_only()) throw InvariantFailure("remove from a read-only index");
        const size_t n = size();
        if (n == 0 || count == 0) return 0;
        const IdSet doomed(gone, count);
        uint8_t* records = arena_.data();
        auto* id_data = reinterpret_cast<uint64_t*>(ids_.data());
        // Runs of kept entries move down together.
        size_t kept = 0;
        for (size_t i = 0; i < n;) {
            if (doomed.contains(id_data[i])) {
                ++i;
                continue;
            }
            size_t end = i + 1;
            while (end < n && !doomed.contains(id_data[end])) ++end;
            if (kept != i) {
                std::memmove(records + kept * stride_, records + i * stride_, (end - i) * stride_);
                std::memmove(id_data + kept, id_data + i, (end - i) * sizeof(uint64_t));
            }
            kept += end - i;
            i = end;
        }
        if (kept == n) return 0;
        arena_.truncate(kept * stride_, Family::SCAN_SLACK_BYTES);
        ids_.truncate(kept * sizeof(uint64_t), 0);
        map_.reset();
        return n - kept;
    }

    // Keeps the first n entries (n <= size()): a later failure takes back the entries just
    // added.
    void truncate(size_t n) {
        if (read_only()) throw InvariantFailure("truncate a read-only index");
        if (n >= size()) return;
        arena_.truncate(n * stride_, Family::SCAN_SLACK_BYTES);
        ids_.truncate(n * sizeof(uint64_t), 0);
        map_.reset();
    }

    // Where each id is stored, built at the first call (and kept up to date by adds).
    const IdMap& id_map() const {
        std::lock_guard lock(*map_lock_);
        if (!map_) map_ = std::make_unique<IdMap>(ids(), size());
        return *map_;
    }
    // The entry's decoding (Family::decode_record).
    auto decode(size_t position) const { return family_.decode_record(records() + position * stride_, nullptr); }

    // The first min(top_k, size()) entries by score, highest first, insertion order among
    // equal scores, NaN last. An empty index returns nothing without looking at the query.
    Result<std::vector<Scored>> search(std::span<const float> query, uint64_t top_k) const {
        const size_t n = size();
        if (n == 0) return std::vector<Scored>{};
        QL_TRY_ASSIGN(auto prepared, family_.prepare(query));
        std::vector<Scored> row = family_.top_k_many({&prepared, 1}, summary_, records(), ids(), n, top_k)[0];
        for (Scored& s : row) s.score = family_.reported(s.score);
        return row;
    }

    // search for each of nq rows of dim() floats: row q of out_ids and out_scores (k =
    // min(top_k, size()) entries per row) is search(query q, top_k), or the lowest failing
    // row. Queries go in blocks, each block scored against the codes while they are in
    // cache; blocks are split over up to `threads` threads.
    std::optional<parallel::RowFailure> search_batch(const float* queries, size_t nq,
                                                     uint64_t top_k, unsigned threads,
                                                     uint64_t* out_ids, float* out_scores) const {
        const size_t n = size();
        if (n == 0) return std::nullopt;
        const size_t k = static_cast<size_t>(std::min<uint64_t>(top_k, n));
        const size_t used = parallel::thread_count(threads);
        // One block of queries and several threads: split the records instead, so that each
        // record is read and expanded once, not once per thread.
        if (used > 1 && nq <= Family::QUERIES_PER_BLOCK && n >= used * RECORDS_PER_SPLIT) {
            return search_split(queries, nq, k, used, out_ids, out_scores);
        }
        return rank_blocks(queries, nq, k, threads, false, out_ids, out_scores,
                           [&](std::span<const typename Family::Prepared> prepared) {
                               return family_.top_k_many(prepared, summary_, records(), ids(), n, k);
                           });
    }

    // search and search_batch restricted to the entries `allow` allows (an AllowSet of this
    // index's entries; Family::top_k_allowed), each row padded with {NO_ID, NaN} up to
    // min(top_k, size()) entries.
    Result<std::vector<Scored>> search_allowed(std::span<const float> query, uint64_t top_k,
                                               const AllowSet& allow) const {
        const size_t n = size();
        if (n == 0) return std::vector<Scored>{};
        QL_TRY_ASSIGN(auto prepared, family_.prepare(query));
        std::vector<Scored> row = family_.top_k_allowed({&prepared, 1}, records(), ids(), n, top_k, allow)[0];
        for (Scored& s : row) s.score = family_.reported(s.score);
        pad(row, static_cast<size_t>(std::min<uint64_t>(top_k, n)));
        return row;
    }
    std::optional<parallel::RowFailure> search_batch_allowed(const float* queries, size_t nq, uint64_t top_k,
                                                             unsigned threads, const AllowSet& allow,
                                                             uint64_t* out_ids, float* out_scores) const {
        const size_t n = size();
        if (n == 0) return std::nullopt;
        const size_t k = static_cast<size_t>(std::min<uint64_t>(top_k, n));
        return rank_blocks(queries, nq, k, threads, true, out_ids, out_scores,
                           [&](std::span<const typename Family::Prepared> prepared) {
                               return family_.top_k_allowed(prepared, records(), ids(), n, k, allow);
                           });
    }

    // search_batch of one block of queries over `parts` contiguous ranges of records, a
    // range per thread, each range's best k merged in range order: ties keep insertion order.
    std::optional<parallel::RowFailure> search_split(const float* queries, size_t nq, size_t k, size_t parts,
                                                     uint64_t* out_ids, float* out_scores) const {
        const size_t n = size();
        // The queries prepared by the threads too, a share each, kept in order.
        parallel::LowestFailure failure;
        std::vector<std::vector<typename Family::Prepared>> shares(parts);
        const size_t share = (nq + parts - 1) / parts;
        parallel::for_chunks(parts, 1, static_cast<unsigned>(parts), [&](size_t begin, size_t end) {
            for (size_t part = begin; part < end; ++part) {
                prepare_block(queries, std::min(nq, part * share), std::min(nq, (part + 1) * share), failure,
                              shares[part]);
            }
        });
        if (failure.failed()) return failure.take();
        std::vector<typename Family::Prepared> prepared;
        prepared.reserve(nq);
        for (auto& part : shares) std::move(part.begin(), part.end(), std::back_inserter(prepared));
        // run(part, its records, their ids, how many) for each thread's contiguous range.
        const auto in_parts = [&](auto&& run) {
            parallel::for_chunks(parts, 1, static_cast<unsigned>(parts), [&](size_t begin, size_t end) {
                for (size_t part = begin; part < end; ++part) {
                    const size_t first = n * part / parts, last = n * (part + 1) / parts;
                    run(part, records() + first * stride_, ids() + first, last - first);
                }
            });
        };
        std::vector<std::vector<Scored>> rows(nq);
        if constexpr (requires { &Family::finish_parts; }) {
            // Each part's first pass, then each query's parts merged before its exact
            // scoring, which then scores what one thread would (no part's weaker bar).
            std::vector<std::vector<typename Family::Ranking>> rankings(parts);
            in_parts([&](size_t part, const uint8_t* at, const uint64_t* part_ids, size_t count) {
                rankings[part] = family_.first_pass_part(prepared, {at, count, part_ids}, k);
            });
            parallel::for_chunks(nq, 1, static_cast<unsigned>(parts), [&](size_t begin, size_t end) {
                std::vector<typename Family::Ranking*> of_query(parts);
                for (size_t q = begin; q < end; ++q) {
                    for (size_t part = 0; part < parts; ++part) of_query[part] = &rankings[part][q];
                    rows[q] = family_.finish_parts(prepared[q], of_query);
                }
            });
        } else {
            // Each part ranked whole, the parts' best k merged in part order.
            std::vector<std::vector<std::vector<Scored>>> found(parts);
            in_parts([&](size_t part, const uint8_t* at, const uint64_t* part_ids, size_t count) {
                found[part] = family_.top_k_many(prepared, summary_, at, part_ids, count, k);
            });
            std::vector<float> scores;
            std::vector<uint64_t> candidate_ids;
            for (size_t q = 0; q < nq; ++q) {
                scores.clear();
                candidate_ids.clear();
                for (const auto& part : found) {
                    for (const Scored& s : part[q]) {
                        scores.push_back(s.score);
                        candidate_ids.push_back(s.id);
                    }
                }
                rows[q] = top_k_of(scores.data(), candidate_ids.data(), scores.size(), k);
            }
        }
        for (size_t q = 0; q < nq; ++q) {
            if (rows[q].size() != k) throw InvariantFailure("a search row has the wrong length");
            for (size_t r = 0; r < k; ++r) {
                out_ids[q * k + r] = rows[q][r].id;
                out_scores[q * k + r] = family_.reported(rows[q][r].score);
            }
        }
        return std::nullopt;
    }

    size_t size() const { return read_only() ? view_.n : ids_.size() / sizeof(uint64_t); }
    const Quantizer& quantizer() const { return family_.quantizer(); }
    const Family& family() const { return family_; }
    const typename Family::Summary& summary() const { return summary_; }
    std::span<const uint8_t> code(size_t i) const {
        return {records() + i * stride_, family_.code_size()};
    }
    uint64_t id(size_t i) const { return ids()[i]; }
    // Every record, one after another, and every id, in insertion order.
    std::span<const uint8_t> record_bytes() const { return {records(), size() * stride_}; }
    std::span<const uint64_t> id_list() const { return {ids(), size()}; }

private:
    struct View {
        std::shared_ptr<const void> keep;
        const uint64_t* ids = nullptr;
        const uint8_t* records = nullptr;
        size_t n = 0;
    };

    // The queries in blocks of up to QUERIES_PER_BLOCK (smaller when that leaves a thread
    // idle), each block prepared and ranked by rank(prepared), rows of k written out: padded
    // with {NO_ID, NaN} when `padded` (a filtered search), else each exactly k long.
    template <class Rank>
    std::optional<parallel::RowFailure> rank_blocks(const float* queries, size_t nq, size_t k, unsigned threads,
                                                    bool padded, uint64_t* out_ids, float* out_scores,
                                                    Rank&& rank) const {
        parallel::LowestFailure failure;
        const size_t used = parallel::thread_count(threads);
        const size_t block = std::clamp<size_t>((nq + used - 1) / used, 1, Family::QUERIES_PER_BLOCK);
        parallel::for_chunks(nq, block, threads, [&](size_t begin, size_t end) {
            std::vector<typename Family::Prepared> prepared;
            if (!prepare_block(queries, begin, end, failure, prepared)) return;  // the batch fails: no need to search
            std::vector<std::vector<Scored>> found = rank(std::span<const typename Family::Prepared>(prepared));
            for (size_t q = begin; q < end; ++q) {
                std::vector<Scored>& row = found[q - begin];
                for (Scored& s : row) s.score = family_.reported(s.score);
                if (padded) pad(row, k);
                if (row.size() != k) throw InvariantFailure("a search row has the wrong length");
                std::transform(row.begin(), row.end(), out_ids + q * k, [](const Scored& s) { return s.id; });
                std::transform(row.begin(), row.end(), out_scores + q * k, [](const Scored& s) { return s.score; });
            }
        });
        return failure.take();
    }

    // Queries begin to end prepared into `out`; false when one of them, or of another
    // block, failed (the lowest failure is recorded): the batch then fails.
    bool prepare_block(const float* queries, size_t begin, size_t end, parallel::LowestFailure& failure,
                       std::vector<typename Family::Prepared>& out) const {
        const size_t dim = family_.dim();
        out.reserve(end - begin);
        for (size_t q = begin; q < end; ++q) {
            if (failure.beyond(q)) return false;
            auto p = family_.prepare({queries + q * dim, dim});
            if (!p) {
                failure.record(q, p.error());
                return false;
            }
            out.push_back(std::move(*p));
        }
        return !failure.failed();
    }

    static constexpr size_t ADD_ROWS_PER_CHUNK = 16;
    // A search splits records between threads only where each gets this many.
    static constexpr size_t RECORDS_PER_SPLIT = 4096;

    const uint64_t* ids() const {
        return read_only() ? view_.ids : reinterpret_cast<const uint64_t*>(ids_.data());
    }
    const uint8_t* records() const { return read_only() ? view_.records : arena_.data(); }

    Family family_;
    size_t stride_;
    MappedBuffer arena_;  // record i at [i * stride, (i + 1) * stride), then mapped slack
    MappedBuffer ids_;    // uint64 id i at byte 8 i (page-aligned)
    View view_;           // instead of the two above, for a read-only index
    typename Family::Summary summary_;
    // Built by the first lookup, which may come from concurrent searches; add and remove
    // (which have the index to themselves) keep it up to date or drop it.
    mutable std::unique_ptr<IdMap> map_;
    mutable std::unique_ptr<std::mutex> map_lock_ = std::make_unique<std::mutex>();
};

}  // namespace quillane
