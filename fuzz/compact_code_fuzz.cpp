// Arbitrary bytes into the compact code reader; anything it accepts must be in the
// canonical form its writer produces, and must decode and score.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "compact/quantizer.hpp"

namespace {

const quillane::CompactQuantizer& fixed_quantizer() {
    static const quillane::CompactQuantizer q = *quillane::CompactQuantizer::make(7, 3, 1);
    return q;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> input(data, size);
    auto header = quillane::format::read_compact_header(input);
    if (!header) {
        if (!header.error().is<quillane::DeserializationFailed>()) std::abort();
        return 0;
    }
    // Accepted bytes are exactly what the writer makes of the fields it read.
    std::vector<uint8_t> codes(header->dim);
    quillane::format::unpack_codes(data + quillane::format::CompactLayout::packed, header->bits,
                                   header->dim, codes.data());
    const auto rewritten = quillane::format::write_compact_code(*header, codes);
    if (rewritten.size() > size || !std::equal(rewritten.begin(), rewritten.end(), data)) std::abort();

    const auto& q = fixed_quantizer();
    auto decoded = q.decode(input);
    const std::vector<float> query = {1.0f, -2.0f, 0.5f, 0.0f, -0.0f, 3.0f, 1e-40f};
    auto score = q.inner_product(input, query);
    if (decoded.has_value() != score.has_value()) std::abort();
    if (decoded && decoded->size() != q.dim()) std::abort();
    return 0;
}
