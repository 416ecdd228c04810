// A flat index: codes of one family stored under 64-bit ids in one arena, searched
// exhaustively. Generic over the code family (see turbo_family.hpp for what a family
// provides); the index never touches a kernel or a byte layout itself. Each arena entry
// is the family's record: the code, then whatever the family keeps beside it.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "error.hpp"
#include "topk.hpp"

namespace quillane {

template <class Family> class FlatIndex {
public:
    using Quantizer = typename Family::Quantizer;

    explicit FlatIndex(Quantizer quantizer)
        : family_(std::move(quantizer)),
          stride_(family_.record_size()),
          arena_(Family::SCAN_SLACK_BYTES, 0),
          summary_(family_.empty_summary()) {}

    // Encodes and appends; all or nothing: a refused vector or a failed allocation leaves
    // the index as it was.
    Status add(uint64_t id, std::span<const float> vector) {
        QL_TRY_ASSIGN(const std::vector<uint8_t> code, family_.encode_record(vector));
        if (code.size() != stride_) {
            throw InvariantFailure("encoded record size differs from the family's record size");
        }
        auto summary = family_.summarize(code);
        summary.merge(summary_);
        if (ids_.size() == ids_.capacity()) ids_.reserve(ids_.empty() ? 16 : 2 * ids_.size());
        const size_t end = size() * stride_;  // the scan's slack bytes follow the codes
        arena_.insert(arena_.begin() + static_cast<ptrdiff_t>(end), code.begin(), code.end());
        ids_.push_back(id);  // cannot throw: capacity was reserved
        summary_ = summary;
        return {};
    }

    // The first min(top_k, size()) entries by score, highest first, insertion order among
    // equal scores, NaN last. An empty index returns nothing without looking at the query.
    Result<std::vector<Scored>> search(std::span<const float> query, uint64_t top_k) const {
        const size_t n = size();
        if (n == 0) return std::vector<Scored>{};
        QL_TRY_ASSIGN(const auto prepared, family_.prepare(query));
        return family_.top_k(prepared, summary_, arena_.data(), ids_.data(), n, top_k);
    }

    size_t size() const { return ids_.size(); }
    const Quantizer& quantizer() const { return family_.quantizer(); }
    const Family& family() const { return family_; }
    std::span<const uint8_t> code(size_t i) const {
        return {arena_.data() + i * stride_, family_.code_size()};
    }
    uint64_t id(size_t i) const { return ids_[i]; }

private:
    Family family_;
    size_t stride_;
    std::vector<uint8_t> arena_;  // record i at [i * stride, (i + 1) * stride), then the slack
    std::vector<uint64_t> ids_;
    typename Family::Summary summary_;
};

}  // namespace quillane
