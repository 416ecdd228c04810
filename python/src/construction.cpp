#include "construction.hpp"

#include <algorithm>

namespace quillane::py {

namespace {

// `value` keeps its default when the argument is absent; false with an exception set
// when the conversion fails.
template <class T, class Convert>
bool optional_argument(PyObject* given, const char* name, T& value, Convert convert) {
    if (given == nullptr) return true;
    const auto converted = convert(given, name);
    if (!converted) return false;
    value = *converted;
    return true;
}

}  // namespace

std::optional<TurboQuantizer> build_quantizer(const char* function, PyObject* args,
                                              PyObject* kwargs) {
    static constexpr Param params[] = {
        {"dim", true}, {"bits", false}, {"projections", false}, {"seed", false}};
    PyObject* given[4];
    if (!bind_arguments(function, params, args, kwargs, given)) return std::nullopt;
    const auto dim = to_u64(given[0], "dim");
    if (!dim) return std::nullopt;
    uint8_t bits = 4;
    uint64_t projections = std::max<uint64_t>(1, *dim / 4);
    uint64_t seed = 42;
    if (!optional_argument(given[1], "bits", bits, to_u8) ||
        !optional_argument(given[2] == Py_None ? nullptr : given[2], "projections", projections,
                           to_u64) ||
        !optional_argument(given[3], "seed", seed, to_u64)) {
        return std::nullopt;
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
    uint64_t seed = 42;
    if (!optional_argument(given[1], "bits", bits, to_u8) ||
        !optional_argument(given[2], "seed", seed, to_u64)) {
        return std::nullopt;
    }
    auto quantizer = CompactQuantizer::make(*dim, bits, seed);
    if (!quantizer) {
        raise_quant_error(quantizer.error());
        return std::nullopt;
    }
    return std::move(*quantizer);
}

}  // namespace quillane::py
