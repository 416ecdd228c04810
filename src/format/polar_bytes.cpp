// PolarCode's byte form.
#include "bytes.hpp"
#include "polar.hpp"
#include "turbo_layout.hpp"

namespace quillane {

using format::PolarLayout;

std::vector<uint8_t> PolarCode::to_bytes() const {
    if (radii.size() > 65535) {
        throw InvariantFailure(
            "PolarCode num_pairs exceeds u16::MAX; dimension too large for compact format");
    }
    std::vector<uint8_t> out;
    out.reserve(PolarLayout{radii.size()}.size());
    out.push_back(format::TURBO_VERSION);
    out.push_back(bits);
    bytes::put_u16(out, static_cast<uint16_t>(radii.size()));
    for (float r : radii) bytes::put_f32(out, r);
    for (uint16_t i : angle_indices) bytes::put_u16(out, i);
    return out;
}

Result<PolarCode> PolarCode::from_bytes(std::span<const uint8_t> b) {
    if (b.size() < PolarLayout::radii) {
        return deserialization_failed("buffer too short: need at least 4 bytes");
    }
    if (b[PolarLayout::version] != format::TURBO_VERSION) {
        return deserialization_failed(
            bytes::unsupported_version(b[PolarLayout::version], format::TURBO_VERSION));
    }
    const uint8_t bits = b[PolarLayout::bits];
    if (bits == 0 || bits > 16) {
        return deserialization_failed("invalid bit width " + std::to_string(bits) +
                                      ": must be 1..=16");
    }
    const PolarLayout layout{bytes::read_u16(b, PolarLayout::pairs_field)};
    if (b.size() < layout.size()) {
        return deserialization_failed(bytes::too_short(layout.size(), b.size()));
    }
    PolarCode code;
    code.bits = bits;
    code.radii.resize(layout.pairs);
    code.angle_indices.resize(layout.pairs);
    for (size_t j = 0; j < layout.pairs; ++j) code.radii[j] = bytes::read_f32(b, layout.radius(j));
    for (size_t j = 0; j < layout.pairs; ++j) {
        code.angle_indices[j] = bytes::read_u16(b, layout.index(j));
    }
    return code;
}

}  // namespace quillane
