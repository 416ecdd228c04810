// QjlSketch's byte form.
#include <cmath>

#include "bytes.hpp"
#include "qjl.hpp"
#include "turbo_layout.hpp"

namespace quillane {

using format::QjlLayout;

std::vector<uint8_t> QjlSketch::to_bytes() const {
    if (num_projections > 65535) {
        throw InvariantFailure(
            "QjlSketch num_projections exceeds u16::MAX; too many projections for compact format");
    }
    std::vector<uint8_t> out;
    out.reserve(QjlLayout::signs + signs.size());
    out.push_back(format::TURBO_VERSION);
    bytes::put_u16(out, static_cast<uint16_t>(num_projections));
    bytes::put_f32(out, norm);
    out.insert(out.end(), signs.begin(), signs.end());
    return out;
}

Result<QjlSketch> QjlSketch::from_bytes(std::span<const uint8_t> b) {
    if (b.size() < QjlLayout::signs) {
        return deserialization_failed("buffer too short: need at least 7 bytes");
    }
    if (b[QjlLayout::version] != format::TURBO_VERSION) {
        return deserialization_failed(
            bytes::unsupported_version(b[QjlLayout::version], format::TURBO_VERSION));
    }
    const QjlLayout layout{bytes::read_u16(b, QjlLayout::projections_field)};
    if (layout.projections == 0) return deserialization_failed("num_projections must be > 0");
    const float norm = bytes::read_f32(b, QjlLayout::norm);
    if (std::isnan(norm)) return deserialization_failed("norm is NaN");
    if (std::isinf(norm)) return deserialization_failed("norm is infinite");
    if (norm < 0.0f) return deserialization_failed("norm is negative");
    if (b.size() < layout.size()) {
        return deserialization_failed(bytes::too_short(layout.size(), b.size()));
    }
    QjlSketch sketch;
    sketch.signs.assign(b.begin() + QjlLayout::signs, b.begin() + layout.size());
    sketch.num_projections = layout.projections;
    sketch.norm = norm;
    return sketch;
}

}  // namespace quillane
