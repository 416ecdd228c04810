// Arbitrary bytes into the index file reader, for both families. Without the body
// checksum, anything accepted must search safely; with it, anything accepted must be
// exactly what the writer makes of the index read.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "index/compact_family.hpp"
#include "index/turbo_family.hpp"
#include "io/index_file.hpp"

namespace {

template <class Family> void read_both_ways(std::span<const uint8_t> input) {
    if (auto index = quillane::io::read_index<Family>(input, false)) {
        const std::vector<float> query(index->quantizer().dim(), 0.5f);
        if (auto found = index->search(query, 3); found && found->size() > index->size()) std::abort();
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
