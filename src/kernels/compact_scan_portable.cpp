// The compact first pass as plain loops: the portable path, and the widths the vector
// paths leave to it.
#include "compact_scan.hpp"
#include "dispatch.hpp"
#include "format/compact_format.hpp"
#include "implementations.hpp"

namespace quillane::kernels {

void compact_approx_scan(const CompactApproxInputs& in, const uint8_t* records, size_t n,
                         int32_t* out) {
    active().compact_approx_scan(in, records, n, out);
}

void compact_approx_scan_many(const CompactApproxInputs& in, const int8_t* const* queries,
                              size_t count, const uint8_t* records, size_t n, int32_t* out) {
    active().compact_approx_scan_many(in, queries, count, records, n, out);
}

namespace portable {

void compact_approx_scan(const CompactApproxInputs& in, const uint8_t* records, size_t n,
                         int32_t* out) {
    for (size_t i = 0; i < n; ++i) {
        const uint8_t* packed = records + i * in.stride + format::CompactLayout::packed;
        int32_t acc = 0;
        for (size_t j = 0; j < in.dim; ++j) {
            acc += int32_t{in.levels[format::unpack_code(packed, in.bits, j)]} * in.query[j];
        }
        out[i] = acc;
    }
}

void compact_approx_scan_many(const CompactApproxInputs& in, const int8_t* const* queries,
                              size_t count, const uint8_t* records, size_t n, int32_t* out) {
    for (size_t q = 0; q < count; ++q) {
        CompactApproxInputs one = in;
        one.query = queries[q];
        portable::compact_approx_scan(one, records, n, out + q * n);
    }
}

}  // namespace portable

}  // namespace quillane::kernels
