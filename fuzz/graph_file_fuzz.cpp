// Arbitrary bytes into the graph index reader. Without the body checksum, anything
// accepted must search safely and answer in full (min(k, n) entries a row, padded where
// the walk meets fewer), and take more rows; the header's own checksum is set right first,
// so that mutations reach the body. With the body checksum, anything accepted must be
// exactly what the writer makes of the index read.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include <zlib.h>

#include "io/graph_file.hpp"

namespace {

void read_unverified(std::span<const uint8_t> input) {
    auto index = quillane::io::read_graph_index(input, false);
    if (!index) return;
    const size_t dim = index->dim(), n = index->size();
    std::vector<float> queries(2 * dim, 0.5f);
    for (size_t i = 0; i < dim; ++i) queries[dim + i] = (i % 3 == 0) ? -1.0f : 0.25f;
    for (const uint64_t k : {uint64_t{3}, uint64_t{n + 2}}) {
        const size_t want = std::min<uint64_t>(k, n);
        for (const uint64_t ef : {uint64_t{1}, uint64_t{1} << 40}) {
            auto found = index->search({queries.data(), dim}, k, ef);
            if (found && found->size() != want) std::abort();
            std::vector<uint64_t> ids(2 * want);
            std::vector<float> scores(2 * want);
            index->search_batch(queries.data(), 2, k, ef, 1, ids.data(), scores.data());
        }
    }
    // Adding decodes every stored record and walks the stored edges.
    const uint64_t more[2] = {1, 2};
    index->add_batch(more, queries.data(), 2, 1);
    if (index->size() != n + 2) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A copy at an 8-byte aligned address, as files are read and mapped.
    std::vector<uint64_t> aligned((size + 7) / 8);
    if (size > 0) std::memcpy(aligned.data(), data, size);
    auto* bytes = reinterpret_cast<uint8_t*>(aligned.data());
    const std::span<const uint8_t> input(bytes, size);
    if (auto index = quillane::io::read_graph_index(input, true)) {
        std::vector<uint8_t> rewritten(quillane::io::image_size(*index));
        quillane::io::write_index(*index, rewritten.data());
        if (rewritten.size() != size || !std::equal(rewritten.begin(), rewritten.end(), bytes)) std::abort();
    }
    read_unverified(input);
    if (size >= quillane::io::HEADER_SIZE) {
        const uint32_t crc = static_cast<uint32_t>(crc32_z(0, bytes, 60));
        for (int i = 0; i < 4; ++i) bytes[60 + i] = static_cast<uint8_t>(crc >> (8 * i));
        read_unverified(input);
    }
    return 0;
}
