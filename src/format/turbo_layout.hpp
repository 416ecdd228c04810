// Where every field of the two-stage code's byte forms sits: the one owner of their
// offsets and sizes. All multi-byte fields are little-endian, with no padding.
//
//   PolarCode   version u8 | bits u8 | pairs u16 | radii f32[pairs] | indices u16[pairs]
//   QjlSketch   version u8 | m u16 | norm f32 | signs u8[ceil(m / 8)]
//   TurboCode   version u8 | polar length u32 | PolarCode | QjlSketch
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillane::format {

// The version byte that starts each of the three forms.
inline constexpr uint8_t TURBO_VERSION = 0x01;

struct PolarLayout {
    static constexpr size_t version = 0, bits = 1, pairs_field = 2, radii = 4;
    size_t pairs;

    constexpr size_t radius(size_t j) const { return radii + 4 * j; }
    constexpr size_t indices() const { return radii + 4 * pairs; }
    constexpr size_t index(size_t j) const { return indices() + 2 * j; }
    constexpr size_t size() const { return radii + 6 * pairs; }
};

struct QjlLayout {
    static constexpr size_t version = 0, projections_field = 1, norm = 3, signs = 7;
    size_t projections;

    constexpr size_t sign_bytes() const { return (projections + 7) / 8; }
    constexpr size_t size() const { return signs + sign_bytes(); }
};

// A whole code written by a quantizer of dimension dim with m projections; offsets
// below are from the start of the code.
struct TurboLayout {
    static constexpr size_t version = 0, polar_length = 1, polar_at = 5;
    PolarLayout polar;
    QjlLayout qjl;

    static constexpr TurboLayout of(uint64_t dim, uint64_t projections) {
        return {{static_cast<size_t>(dim / 2)}, {static_cast<size_t>(projections)}};
    }
    constexpr size_t pairs() const { return polar.pairs; }
    constexpr size_t projections() const { return qjl.projections; }
    constexpr size_t qjl_at() const { return polar_at + polar.size(); }
    // 16 + 3 dim + ceil(m / 8)
    constexpr size_t size() const { return qjl_at() + qjl.size(); }

    constexpr size_t polar_version() const { return polar_at + PolarLayout::version; }
    constexpr size_t bits() const { return polar_at + PolarLayout::bits; }
    constexpr size_t pairs_field() const { return polar_at + PolarLayout::pairs_field; }
    constexpr size_t radius(size_t j) const { return polar_at + polar.radius(j); }
    constexpr size_t index(size_t j) const { return polar_at + polar.index(j); }
    constexpr size_t qjl_version() const { return qjl_at() + QjlLayout::version; }
    constexpr size_t projections_field() const { return qjl_at() + QjlLayout::projections_field; }
    constexpr size_t norm() const { return qjl_at() + QjlLayout::norm; }
    constexpr size_t signs() const { return qjl_at() + QjlLayout::signs; }
};

}  // namespace quillane::format
