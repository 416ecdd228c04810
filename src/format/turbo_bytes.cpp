// TurboCode's byte form, and reading stored codes in place.
#include "bytes.hpp"
#include "turbo.hpp"
#include "turbo_format.hpp"
#include "turbo_layout.hpp"

namespace quillane {

using format::TurboLayout;

void check_polar_payload_size(uint64_t size) {
    if (size > 0xFFFFFFFFull) {
        throw InvariantFailure(
            "polar payload exceeds u32::MAX; dimension too large for compact format");
    }
}

std::vector<uint8_t> TurboCode::to_bytes() const {
    const std::vector<uint8_t> polar_bytes = polar.to_bytes();
    const std::vector<uint8_t> qjl_bytes = qjl.to_bytes();
    check_polar_payload_size(polar_bytes.size());
    std::vector<uint8_t> out;
    out.reserve(TurboLayout::polar_at + polar_bytes.size() + qjl_bytes.size());
    out.push_back(format::TURBO_VERSION);
    bytes::put_u32(out, static_cast<uint32_t>(polar_bytes.size()));
    out.insert(out.end(), polar_bytes.begin(), polar_bytes.end());
    out.insert(out.end(), qjl_bytes.begin(), qjl_bytes.end());
    return out;
}

Result<TurboCode> TurboCode::from_bytes(std::span<const uint8_t> b) {
    if (b.empty()) return deserialization_failed("buffer is empty");
    if (b[TurboLayout::version] != format::TURBO_VERSION) {
        return deserialization_failed(
            bytes::unsupported_version(b[TurboLayout::version], format::TURBO_VERSION));
    }
    if (b.size() < TurboLayout::polar_at) {
        return deserialization_failed("buffer too short for polar length prefix");
    }
    const uint64_t p = bytes::read_u32(b, TurboLayout::polar_length);
    const uint64_t qjl_at = TurboLayout::polar_at + p;
    if (static_cast<uint64_t>(b.size()) < qjl_at) {
        return deserialization_failed("buffer too short for polar payload");
    }
    QL_TRY_ASSIGN(PolarCode polar, PolarCode::from_bytes(b.subspan(TurboLayout::polar_at, p)));
    if (b.size() == qjl_at) return deserialization_failed("missing qjl payload");
    QL_TRY_ASSIGN(QjlSketch qjl, QjlSketch::from_bytes(b.subspan(qjl_at)));
    return TurboCode{std::move(polar), std::move(qjl)};
}

namespace format {

bool is_regular_turbo_code(std::span<const uint8_t> b, const TurboLayout& l, uint8_t bits) {
    if (b.size() != l.size()) return false;
    const bool header = b[TurboLayout::version] == TURBO_VERSION &&
                        bytes::read_u32(b, TurboLayout::polar_length) == l.polar.size() &&
                        b[l.polar_version()] == TURBO_VERSION && b[l.bits()] == bits &&
                        bytes::read_u16(b, l.pairs_field()) == l.pairs() &&
                        b[l.qjl_version()] == TURBO_VERSION &&
                        bytes::read_u16(b, l.projections_field()) == l.projections();
    const uint32_t norm = bytes::read_u32(b, l.norm());
    const bool finite = (norm & 0x7F800000u) != 0x7F800000u;
    const bool non_negative = (norm & 0x80000000u) == 0 || norm == 0x80000000u;
    return header && finite && non_negative;
}

uint16_t angle_index(std::span<const uint8_t> b, const TurboLayout& l, size_t j) {
    return bytes::read_u16(b, l.index(j));
}

}  // namespace format

}  // namespace quillane
