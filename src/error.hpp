// The core's one error type and the two input checks every stage applies.
#pragma once

#include <cstdint>
#include <expected>
#include <source_location>
#include <span>
#include <stdexcept>
#include <string>
#include <variant>

namespace quillane {

struct OddDimension { uint64_t dim = 0; };
struct ZeroDimension {};
struct InvalidBitWidth { uint8_t bits = 0; uint8_t max = 16; };  // max: the family's widest
struct ZeroProjections {};
struct DimensionTooLarge { uint64_t dim = 0; uint64_t max = 0; };
struct DimensionMismatch { uint64_t expected = 0; uint64_t got = 0; };
struct NonFiniteInput { uint64_t index = 0; };
struct DeserializationFailed { std::string reason; };

// The variant order is part of the contract: it is the declaration order of the kinds.
using QuantErrorKind = std::variant<OddDimension, ZeroDimension, InvalidBitWidth, ZeroProjections,
                                    DimensionTooLarge, DimensionMismatch, NonFiniteInput,
                                    DeserializationFailed>;

class QuantError {
public:
    QuantError(const QuantErrorKind& kind) : kind_(kind) {}  // NOLINT: implicit by design

    const QuantErrorKind& kind() const { return kind_; }
    template <class T> bool is() const { return std::holds_alternative<T>(kind_); }
    template <class T> const T& as() const { return std::get<T>(kind_); }

    // The user-visible text; the binding passes it to Python unchanged.
    std::string message() const;

    friend bool operator==(const QuantError&, const QuantError&) = default;

private:
    QuantErrorKind kind_;
};

bool operator==(const OddDimension&, const OddDimension&);
bool operator==(const ZeroDimension&, const ZeroDimension&);
bool operator==(const InvalidBitWidth&, const InvalidBitWidth&);
bool operator==(const ZeroProjections&, const ZeroProjections&);
bool operator==(const DimensionTooLarge&, const DimensionTooLarge&);
bool operator==(const DimensionMismatch&, const DimensionMismatch&);
bool operator==(const NonFiniteInput&, const NonFiniteInput&);
bool operator==(const DeserializationFailed&, const DeserializationFailed&);

// A value or the first error; dropping one unexamined is a compile-time warning.
template <class T> class [[nodiscard]] Result : public std::expected<T, QuantError> {
public:
    using std::expected<T, QuantError>::expected;
    Result(std::expected<T, QuantError> e) : std::expected<T, QuantError>(std::move(e)) {}  // NOLINT
};
using Status = Result<void>;

// Passes the error of a Result or Status up to the caller:
//   QL_TRY(check_dimension(dim_, x.size()));
//   QL_TRY_ASSIGN(auto code, PolarCode::from_bytes(b));
#define QL_TRY(expr)                                                                   \
    do {                                                                               \
        if (auto ql_try_ = (expr); !ql_try_) return std::unexpected(ql_try_.error()); \
    } while (false)
#define QL_CONCAT_INNER(a, b) a##b
#define QL_CONCAT(a, b) QL_CONCAT_INNER(a, b)
#define QL_TRY_ASSIGN(declaration, expr) \
    QL_TRY_ASSIGN_IMPL(QL_CONCAT(ql_result_, __LINE__), declaration, expr)
#define QL_TRY_ASSIGN_IMPL(result, declaration, expr)                  \
    auto result = (expr);                                              \
    if (!result) return std::unexpected(result.error());               \
    declaration = std::move(*result)

template <class Kind> std::unexpected<QuantError> fail(Kind kind) {
    return std::unexpected<QuantError>(std::in_place, QuantErrorKind(std::in_place_type<Kind>, std::move(kind)));
}
inline std::unexpected<QuantError> deserialization_failed(std::string reason) {
    return fail(DeserializationFailed{std::move(reason)});
}

Status check_dimension(uint64_t expected, uint64_t got);
// Fails at the lowest index whose |x| bit pattern exceeds the largest finite float.
Status check_finite(std::span<const float> values);

// A violated writer precondition: unreachable from any quantizer, so it is an
// internal invariant failure rather than a QuantError.
class InvariantFailure : public std::logic_error {
public:
    explicit InvariantFailure(const char* message,
                              std::source_location where = std::source_location::current())
        : std::logic_error(message), where_(where) {}
    const std::source_location& where() const { return where_; }

private:
    std::source_location where_;
};

}  // namespace quillane
