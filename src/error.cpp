#include "error.hpp"

#include <bit>

namespace quillane {

namespace {

struct MessageOf {
    std::string operator()(const OddDimension& e) const {
        return "dimension must be even, got " + std::to_string(e.dim);
    }
    std::string operator()(const ZeroDimension&) const { return "dimension must be > 0"; }
    std::string operator()(const InvalidBitWidth& e) const {
        return "bit width must be 1..=" + std::to_string(static_cast<unsigned>(e.max)) + ", got " +
               std::to_string(static_cast<unsigned>(e.bits));
    }
    std::string operator()(const ZeroProjections&) const { return "projections must be > 0"; }
    std::string operator()(const DimensionTooLarge& e) const {
        return "dimension " + std::to_string(e.dim) + " too large for compact format (max " +
               std::to_string(e.max) + ")";
    }
    std::string operator()(const DimensionMismatch& e) const {
        return "dimension mismatch: quantizer expects " + std::to_string(e.expected) + ", got " +
               std::to_string(e.got);
    }
    std::string operator()(const NonFiniteInput& e) const {
        return "input contains non-finite values (NaN or Inf) at index " + std::to_string(e.index);
    }
    std::string operator()(const DeserializationFailed& e) const {
        return "deserialization failed: " + e.reason;
    }
};

}  // namespace

std::string QuantError::message() const { return std::visit(MessageOf{}, kind_); }

bool operator==(const OddDimension& a, const OddDimension& b) { return a.dim == b.dim; }
bool operator==(const ZeroDimension&, const ZeroDimension&) { return true; }
bool operator==(const InvalidBitWidth& a, const InvalidBitWidth& b) {
    return a.bits == b.bits && a.max == b.max;
}
bool operator==(const ZeroProjections&, const ZeroProjections&) { return true; }
bool operator==(const DimensionTooLarge& a, const DimensionTooLarge& b) {
    return a.dim == b.dim && a.max == b.max;
}
bool operator==(const DimensionMismatch& a, const DimensionMismatch& b) {
    return a.expected == b.expected && a.got == b.got;
}
bool operator==(const NonFiniteInput& a, const NonFiniteInput& b) { return a.index == b.index; }
bool operator==(const DeserializationFailed& a, const DeserializationFailed& b) {
    return a.reason == b.reason;
}

Status check_dimension(uint64_t expected, uint64_t got) {
    if (expected != got) return fail(DimensionMismatch{expected, got});
    return {};
}

Status check_finite(std::span<const float> values) {
    // Not finite exactly when the exponent bits are all ones (infinity or NaN).
    constexpr uint32_t kExponent = 0x7F800000u;
    const auto non_finite = [&](size_t i) { return (std::bit_cast<uint32_t>(values[i]) & kExponent) == kExponent; };
    // Sixteen values at a time without a branch each; the first chunk holding a
    // non-finite value is then searched one value at a time.
    constexpr size_t CHUNK = 16;
    size_t i = 0;
    for (; i + CHUNK <= values.size(); i += CHUNK) {
        uint32_t any = 0;
        for (size_t j = 0; j < CHUNK; ++j) any |= non_finite(i + j);
        if (any) break;
    }
    for (; i < values.size(); ++i) {
        if (non_finite(i)) return fail(NonFiniteInput{i});
    }
    return {};
}

}  // namespace quillane
