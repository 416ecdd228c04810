// A flat index: codes of one family stored under 64-bit ids in one arena, searched
// exhaustively. Generic over the code family (see turbo_family.hpp for what a family
// provides); the index never touches a kernel or a byte layout itself. Each arena entry
// is the family's record: the code, then whatever the family keeps beside it.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "error.hpp"
#include "mapped_buffer.hpp"
#include "topk.hpp"

namespace quillane {

template <class Family> class FlatIndex {
public:
    using Quantizer = typename Family::Quantizer;

    explicit FlatIndex(Quantizer quantizer)
        : family_(std::move(quantizer)),
          stride_(family_.record_size()),
          summary_(family_.empty_summary()) {
        arena_.reserve(Family::SCAN_SLACK_BYTES);
    }

    // Encodes and appends; all or nothing: a refused vector or a failed allocation leaves
    // the index as it was.
    Status add(uint64_t id, std::span<const float> vector) {
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
        arena_.append(code.data(), code.size());
        ids_.append(&id, sizeof id);
        summary_ = summary;
        return {};
    }

    // The first min(top_k, size()) entries by score, highest first, insertion order among
    // equal scores, NaN last. An empty index returns nothing without looking at the query.
    Result<std::vector<Scored>> search(std::span<const float> query, uint64_t top_k) const {
        const size_t n = size();
        if (n == 0) return std::vector<Scored>{};
        QL_TRY_ASSIGN(const auto prepared, family_.prepare(query));
        return family_.top_k(prepared, summary_, arena_.data(), ids(), n, top_k);
    }

    size_t size() const { return ids_.size() / sizeof(uint64_t); }
    const Quantizer& quantizer() const { return family_.quantizer(); }
    std::span<const uint8_t> code(size_t i) const {
        return {arena_.data() + i * stride_, family_.code_size()};
    }
    uint64_t id(size_t i) const { return ids()[i]; }

private:
    const uint64_t* ids() const { return reinterpret_cast<const uint64_t*>(ids_.data()); }

    Family family_;
    size_t stride_;
    MappedBuffer arena_;  // record i at [i * stride, (i + 1) * stride), then mapped slack
    MappedBuffer ids_;    // uint64 id i at byte 8 i (page-aligned)
    typename Family::Summary summary_;
};

}  // namespace quillane
