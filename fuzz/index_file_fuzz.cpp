// Arbitrary bytes into the index file reader, for both families. Without the body
// checksum, anything accepted must search safely and answer in full (min(k, n) entries a
// row, whatever its records hold); the header's own checksum is set right first, so that
// mutations reach the records. With the body checksum, anything accepted must be exactly
// what the writer makes of the index read.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <type_traits>
#include <vector>

#include <zlib.h>

#include "index/compact_family.hpp"
#include "index/turbo_family.hpp"
#include "io/index_file.hpp"

namespace {

template <class Family> void read_unverified(std::span<const uint8_t> input) {
    auto index = quillane::io::read_index<Family>(input, false);
    if (!index) return;
    const size_t dim = index->quantizer().dim(), n = index->size();
    std::vector<float> queries(2 * dim, 0.5f);
    for (size_t i = 0; i < dim; ++i) queries[dim + i] = (i % 3 == 0) ? -1.0f : 0.25f;
    for (const uint64_t k : {uint64_t{3}, uint64_t{n + 2}}) {
        const size_t want = std::min<uint64_t>(k, n);
        auto found = index->search({queries.data(), dim}, k);
        if (found && found->size() != want) std::abort();
        std::vector<uint64_t> ids(2 * want);
        std::vector<float> scores(2 * want);
        index->search_batch(queries.data(), 2, k, 1, ids.data(), scores.data());
        if constexpr (std::is_same_v<Family, quillane::CompactFamily>) {
            // Filtered, both as a list and as a bitmap, then after a removal: still full rows.
            const uint64_t allowed[2] = {n > 0 ? index->id(0) : 0, 7};
            for (const size_t copies : {size_t{1}, size_t{64}}) {
                std::vector<uint64_t> allow(copies * 2, allowed[0]);
                allow.back() = allowed[1];
                const auto set = quillane::AllowSet::of(index->id_map(), allow.data(), allow.size(), n);
                auto filtered = index->search_allowed({queries.data(), dim}, k, set);
                if (filtered && filtered->size() != want) std::abort();
            }
        }
    }
    if constexpr (std::is_same_v<Family, quillane::CompactFamily>) {
        const uint64_t gone[1] = {n > 0 ? index->id(n - 1) : 0};
        const size_t removed = index->remove(gone, 1);
        if (index->size() + removed != n) std::abort();
        auto found = index->search({queries.data(), dim}, 3);
        if (found && found->size() != std::min<size_t>(3, index->size())) std::abort();
    }
}

template <class Family> void read_both_ways(std::span<const uint8_t> input) {
    read_unverified<Family>(input);
    if (input.size() >= quillane::io::HEADER_SIZE) {
        std::vector<uint64_t> fixed((input.size() + 7) / 8);
        auto* bytes = reinterpret_cast<uint8_t*>(fixed.data());
        std::memcpy(bytes, input.data(), input.size());
        const uint32_t crc = static_cast<uint32_t>(crc32_z(0, bytes, 60));
        for (int i = 0; i < 4; ++i) bytes[60 + i] = static_cast<uint8_t>(crc >> (8 * i));
        read_unverified<Family>({bytes, input.size()});
    }
    if (auto index = quillane::io::read_index<Family>(input, true)) {
        std::vector<uint8_t> rewritten(quillane::io::image_size(*index));
        quillane::io::write_index(*index, rewritten.data());
        if (rewritten.size() != input.size() || !std::equal(rewritten.begin(), rewritten.end(), input.begin())) {
            std::abort();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A copy at an 8-byte aligned address, as files are read and mapped.
    std::vector<uint64_t> aligned((size + 7) / 8);
    if (size > 0) std::memcpy(aligned.data(), data, size);
    const std::span<const uint8_t> input(reinterpret_cast<const uint8_t*>(aligned.data()), size);
    read_both_ways<quillane::CompactFamily>(input);
    read_both_ways<quillane::TurboFamily>(input);
    return 0;
}
