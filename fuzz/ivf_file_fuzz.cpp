// Arbitrary bytes into the inverted-file index reader. Without the body checksum,
// anything accepted must search safely and answer in full (min(k, n) entries a row,
// padded where the probed lists hold fewer); the header's own checksum is set right
// first, so that mutations reach the body. With the body checksum, anything accepted must
// be exactly what the writer makes of the index read (or, for a file of the earlier form,
// rewrite to a file that reads back to itself).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include <zlib.h>

#include "io/ivf_file.hpp"

namespace {

void read_unverified(std::span<const uint8_t> input) {
    auto index = quillane::io::read_ivf_index(input, false);
    if (!index) return;
    const size_t dim = index->dim(), n = index->size();
    std::vector<float> queries(2 * dim, 0.5f);
    for (size_t i = 0; i < dim; ++i) queries[dim + i] = (i % 3 == 0) ? -1.0f : 0.25f;
    for (const uint64_t k : {uint64_t{3}, uint64_t{n + 2}}) {
        const size_t want = std::min<uint64_t>(k, n);
        for (const uint64_t probes : {uint64_t{1}, uint64_t{1} << 40}) {
            auto found = index->search({queries.data(), dim}, k, probes);
            if (found && found->size() != want) std::abort();
            std::vector<uint64_t> ids(2 * want);
            std::vector<float> scores(2 * want);
            index->search_batch(queries.data(), 2, k, probes, 1, ids.data(), scores.data());
            // Filtered, both as a list and as a bitmap: still full (padded) rows.
            for (const size_t copies : {size_t{1}, size_t{64}}) {
                std::vector<uint64_t> allow(copies * 2, n > 0 ? index->ids()[0] : 0);
                allow.back() = 7;
                const auto set = quillane::AllowSet::of(index->lookup().ids, allow.data(), allow.size(), n);
                auto filtered = index->search({queries.data(), dim}, k, probes, &set);
                if (filtered && filtered->size() != want) std::abort();
            }
        }
    }
    if (n > 0 && !index->read_only()) {
        const uint64_t gone[1] = {index->ids()[n - 1]};
        const size_t removed = index->remove(gone, 1);
        if (index->size() + removed != n) std::abort();
        auto found = index->search({queries.data(), dim}, 3, 4);
        if (found && found->size() != std::min<size_t>(3, index->size())) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A copy at an 8-byte aligned address, as files are read and mapped.
    std::vector<uint64_t> aligned((size + 7) / 8);
    if (size > 0) std::memcpy(aligned.data(), data, size);
    auto* bytes = reinterpret_cast<uint8_t*>(aligned.data());
    const std::span<const uint8_t> input(bytes, size);
    if (auto index = quillane::io::read_ivf_index(input, true)) {
        std::vector<uint8_t> rewritten(quillane::io::image_size(*index));
        quillane::io::write_index(*index, rewritten.data());
        // A file of the earlier form (whole records: another record size at byte 12) is
        // written in the current one, which must read back to exactly itself.
        if (std::memcmp(rewritten.data() + 12, bytes + 12, 4) != 0) {
            auto again = quillane::io::read_ivf_index(rewritten, true);
            if (!again) std::abort();
            std::vector<uint8_t> twice(quillane::io::image_size(*again));
            quillane::io::write_index(*again, twice.data());
            if (twice != rewritten) std::abort();
        } else if (rewritten.size() != size || !std::equal(rewritten.begin(), rewritten.end(), bytes)) {
            std::abort();
        }
    }
    read_unverified(input);
    if (size >= quillane::io::HEADER_SIZE) {
        const uint32_t crc = static_cast<uint32_t>(crc32_z(0, bytes, 60));
        for (int i = 0; i < 4; ++i) bytes[60 + i] = static_cast<uint8_t>(crc >> (8 * i));
        read_unverified(input);
    }
    return 0;
}
