// Arbitrary bytes into the code reader; anything it accepts must decode, score,
// and survive a write/read cycle unchanged.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "turbo.hpp"

namespace {

const quillane::TurboQuantizer& fixed_quantizer() {
    static const quillane::TurboQuantizer q = *quillane::TurboQuantizer::make(8, 4, 2, 42);
    return q;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> input(data, size);
    auto code = quillane::TurboCode::from_bytes(input);
    if (!code) {
        // Every refusal is a deserialization failure.
        if (!code.error().is<quillane::DeserializationFailed>()) std::abort();
        return 0;
    }
    const auto& q = fixed_quantizer();
    if (q.decode(*code).size() != q.dim()) std::abort();
    const std::vector<float> query = {1.0f, -2.0f, 0.5f, 0.0f, -0.0f, 3.0f, 1e-40f, -7.0f};
    auto score = q.inner_product(*code, query);
    if (!score && !score.error().is<quillane::DimensionMismatch>()) std::abort();

    const std::vector<uint8_t> rewritten = code->to_bytes();
    auto again = quillane::TurboCode::from_bytes(rewritten);
    if (!again || !(*again == *code) || again->to_bytes() != rewritten) std::abort();
    return 0;
}
