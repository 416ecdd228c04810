#include "construction.hpp"

#include <algorithm>

namespace quillane::py {

std::optional<TurboQuantizer> build_quantizer(const char* function, PyObject* args,
                                              PyObject* kwargs) {
    static constexpr Param params[] = {
        {"dim", true}, {"bits", false}, {"projections", false}, {"seed", false}};
    PyObject* given[4];
    if (!bind_arguments(function, params, args, kwargs, given)) return std::nullopt;
    const auto dim = to_u64(given[0], "dim");
    if (!dim) return std::nullopt;
    uint8_t bits = 4;
    if (given[1] != nullptr) {
        const auto b = to_u8(given[1], "bits");
        if (!b) return std::nullopt;
        bits = *b;
    }
    uint64_t projections = std::max<uint64_t>(1, *dim / 4);
    if (given[2] != nullptr && given[2] != Py_None) {
        const auto p = to_u64(given[2], "projections");
        if (!p) return std::nullopt;
        projections = *p;
    }
    uint64_t seed = 42;
    if (given[3] != nullptr) {
        const auto s = to_u64(given[3], "seed");
        if (!s) return std::nullopt;
        seed = *s;
    }
    auto quantizer = TurboQuantizer::make(*dim, bits, projections, seed);
    if (!quantizer) {
        raise_quant_error(quantizer.error());
        return std::nullopt;
    }
    return std::move(*quantizer);
}

std::optional<CompactQuantizer> build_compact_quantizer(const char* function, PyObject* args,
                                                        PyObject* kwargs) {
    static constexpr Param params[] = {{"dim", true}, {"bits", false}, {"seed", false}};
    PyObject* given[3];
    if (!bind_arguments(function, params, args, kwargs, given)) return std::nullopt;
    const auto dim = to_u64(given[0], "dim");
    if (!dim) return std::nullopt;
    uint8_t bits = 4;
    if (given[1] != nullptr) {
        const auto b = to_u8(given[1], "bits");
        if (!b) return std::nullopt;
        bits = *b;
    }
    uint64_t seed = 42;
    if (given[2] != nullptr) {
        const auto s = to_u64(given[2], "seed");
        if (!s) return std::nullopt;
        seed = *s;
    }
    auto quantizer = CompactQuantizer::make(*dim, bits, seed);
    if (!quantizer) {
        raise_quant_error(quantizer.error());
        return std::nullopt;
    }
    return std::move(*quantizer);
}

}  // namespace quillane::py
