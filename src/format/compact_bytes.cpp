// The compact code's byte form.
#include <algorithm>
#include <cmath>

#include "bytes.hpp"
#include "compact_format.hpp"

namespace quillane::format {

Result<CompactHeader> read_compact_header(std::span<const uint8_t> b) {
    using L = CompactLayout;
    if (b.empty()) return deserialization_failed("buffer is empty");
    if (b[L::version] != COMPACT_VERSION) {
        return deserialization_failed(bytes::unsupported_version(b[L::version], COMPACT_VERSION));
    }
    if (b.size() < L::packed) return deserialization_failed(bytes::too_short(L::packed, b.size()));
    CompactHeader h;
    h.bits = b[L::bits_field];
    if (h.bits == 0 || h.bits > 8) {
        return deserialization_failed("invalid bit width " + std::to_string(h.bits) +
                                      ": must be 1..=8");
    }
    h.dim = uint32_t(bytes::read_u16(b, L::dim_field)) + 1;
    const CompactLayout layout{h.dim, h.bits};
    if (b.size() < layout.size()) {
        return deserialization_failed(bytes::too_short(layout.size(), b.size()));
    }
    h.fingerprint = bytes::read_u32(b, L::fingerprint);
    h.scale = bytes::read_f32(b, L::scale);
    h.decode_scale = bytes::read_f32(b, L::decode_scale);
    if (!std::isfinite(h.scale)) return deserialization_failed("scale is not finite");
    if (!std::isfinite(h.decode_scale)) return deserialization_failed("decode scale is not finite");
    const size_t used = (h.dim * size_t{h.bits}) % 8;
    if (used != 0 && (b[layout.size() - 1] >> used) != 0) {
        return deserialization_failed("padding bits are not zero");
    }
    return h;
}

std::vector<uint8_t> write_compact_code(const CompactHeader& h, std::span<const uint8_t> codes) {
    if (h.dim == 0 || h.dim > 65536 || codes.size() != h.dim || h.bits == 0 || h.bits > 8) {
        throw InvariantFailure("compact code header out of range");
    }
    const CompactLayout layout{h.dim, h.bits};
    std::vector<uint8_t> out;
    out.reserve(layout.size() + 4);  // room for what an index keeps beside a code
    out.push_back(COMPACT_VERSION);
    out.push_back(h.bits);
    bytes::put_u16(out, static_cast<uint16_t>(h.dim - 1));
    bytes::put_u32(out, h.fingerprint);
    bytes::put_f32(out, h.scale);
    bytes::put_f32(out, h.decode_scale);
    out.resize(layout.size(), 0);
    uint8_t* packed = out.data() + CompactLayout::packed;
    if (h.bits == 8) {
        std::copy(codes.begin(), codes.end(), packed);
        return out;
    }
    if (h.bits == 4) {  // two codes a byte, the first in the low nibble
        for (size_t i = 0; i + 1 < codes.size(); i += 2) {
            packed[i / 2] = static_cast<uint8_t>(codes[i] | codes[i + 1] << 4);
        }
        if (codes.size() % 2) packed[codes.size() / 2] = codes.back();
        return out;
    }
    for (size_t i = 0; i < codes.size(); ++i) {
        const size_t bit = i * h.bits;
        const uint32_t shifted = uint32_t(codes[i]) << (bit % 8);
        packed[bit / 8] |= static_cast<uint8_t>(shifted);
        if (bit % 8 + h.bits > 8) packed[bit / 8 + 1] |= static_cast<uint8_t>(shifted >> 8);
    }
    return out;
}

void unpack_codes(const uint8_t* packed, uint8_t bits, size_t dim, uint8_t* out) {
    for (size_t i = 0; i < dim; ++i) out[i] = static_cast<uint8_t>(unpack_code(packed, bits, i));
}

}  // namespace quillane::format
