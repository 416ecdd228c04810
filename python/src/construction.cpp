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

namespace {

std::optional<CompactQuantizer> compact_quantizer_of(PyObject* const* given) {
    const auto dim = to_count(given[0], "dim");
    if (!dim) return std::nullopt;
    uint8_t bits = 4;
    uint64_t seed = 42;
    if (!optional_argument(given[1], "bits", bits, to_byte) ||
        !optional_argument(given[2], "seed", seed, to_count)) {
        return std::nullopt;
    }
    auto quantizer = CompactQuantizer::make(*dim, bits, seed);
    if (!quantizer) {
        raise_parameter_error(quantizer.error());
        return std::nullopt;
    }
    return std::move(*quantizer);
}

}  // namespace

std::optional<CompactQuantizer> build_compact_quantizer(const char* function, PyObject* args,
                                                        PyObject* kwargs) {
    static constexpr Param params[] = {{"dim", true}, {"bits", false}, {"seed", false}};
    PyObject* given[3];
    if (!bind_arguments(function, params, args, kwargs, given)) return std::nullopt;
    return compact_quantizer_of(given);
}

std::optional<CompactFamily> build_compact_family(const char* function, PyObject* args, PyObject* kwargs) {
    static constexpr Param params[] = {{"dim", true}, {"bits", false}, {"seed", false}, {"metric", false, true}};
    PyObject* given[4];
    if (!bind_arguments(function, params, args, kwargs, given)) return std::nullopt;
    auto quantizer = compact_quantizer_of(given);
    if (!quantizer) return std::nullopt;
    const auto metric = to_metric(given[3]);
    if (!metric) return std::nullopt;
    return CompactFamily(std::move(*quantizer), *metric);
}

std::optional<Metric> to_metric(PyObject* given) {
    if (given == nullptr) return Metric::ip;
    if (!PyUnicode_Check(given)) {
        PyErr_Format(PyExc_TypeError, "argument 'metric': expected str, got '%s'", type_qualname(given).c_str());
        return std::nullopt;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(given, &size);
    if (text == nullptr) return std::nullopt;
    if (const auto metric = metric_named({text, static_cast<size_t>(size)})) return metric;
    PyErr_Format(PyExc_ValueError, "metric must be 'ip', 'cosine' or 'l2', got %R", given);
    return std::nullopt;
}

}  // namespace quillane::py
