// The compact first pass as plain loops: the portable path, and the widths the vector
// paths leave to it.
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "compact_bounds.hpp"
#include "compact_scan.hpp"
#include "dispatch.hpp"
#include "format/bytes.hpp"
#include "format/compact_format.hpp"
#include "implementations.hpp"

namespace quillane::kernels {

void compact_approx_scan(const CompactApproxInputs& in, const uint8_t* records, size_t n,
                         int32_t* out) {
    active().compact_approx_scan(in, records, n, out);
}

void compact_approx_gather(const CompactApproxInputs& in, const uint8_t* codes, const uint32_t* rows, size_t n,
                           int32_t* out) {
    active().compact_approx_gather(in, codes, rows, n, out);
}

void compact_approx_scan_each(const CompactApproxInputs& in, const int8_t* const* queries, size_t count,
                              const uint8_t* records, size_t n, int32_t* out) {
    active().compact_approx_scan_each(in, queries, count, records, n, out);
}

bool compact_scans_each_at_once() { return active().compact_scans_each_at_once; }

void compact_approx_scan_many(const CompactManyInputs& in, const int8_t* const* queries,
                              size_t count, const uint8_t* records, size_t n, int32_t* out,
                              uint32_t* error_units) {
    active().compact_approx_scan_many(in, queries, count, records, n, out, error_units);
}

size_t compact_bounds(const CompactBoundRecords& records, const CompactBoundQuery& query,
                      const int32_t* sums, size_t n, double threshold, const CompactBounds& out) {
    return active().compact_bounds(records, query, sums, n, threshold, out);
}

void compact_record_terms(const CompactRecordFields& fields, size_t n, const CompactRecordTerms& out) {
    active().compact_record_terms(fields, n, out);
}

namespace portable {

void gather_by_copy(void (*scan)(const CompactApproxInputs&, const uint8_t*, size_t, int32_t*),
                    const CompactApproxInputs& in, const uint8_t* codes, const uint32_t* rows, size_t n, int32_t* out) {
    thread_local std::vector<uint8_t> copied;
    copied.resize(n * in.stride + COMPACT_SCAN_SLACK_BYTES);
    for (size_t i = 0; i < n; ++i) std::memcpy(copied.data() + i * in.stride, codes + size_t{rows[i]} * in.stride, in.stride);
    scan(in, copied.data(), n, out);
}

void compact_approx_gather(const CompactApproxInputs& in, const uint8_t* codes, const uint32_t* rows, size_t n,
                           int32_t* out) {
    for (size_t i = 0; i < n; ++i) portable::compact_approx_scan(in, codes + size_t{rows[i]} * in.stride, 1, out + i);
}

namespace {

double shifted_high(double offset, double centre, double margin, double upper) {
    const double low = offset + (centre - margin), high = offset + upper;
    return high + shifted_slack(low, high);
}

double stored_bound(const uint8_t* p) {
    const double b = std::bit_cast<float>(uint32_t{bytes::load_u16(p)} << 16);
    return b >= 0.0 ? b : std::numeric_limits<double>::infinity();
}

}  // namespace

void compact_record_terms(const CompactRecordFields& fields, size_t n, const CompactRecordTerms& out) {
    for (size_t b = 0; b < n; ++b) {
        const uint8_t* record = fields.records + b * fields.stride;
        const double scale = bytes::load_f32(record + fields.scale_at);
        out.scale[b] = scale;
        out.scaled_levels[b] = std::fabs(scale) * stored_bound(record + fields.bounds_at) * (1.0 + 0x1p-20);
        out.scaled_errors[b] = std::fabs(scale) * stored_bound(record + fields.bounds_at + 2) * (1.0 + 0x1p-20);
    }
}

size_t compact_bounds(const CompactBoundRecords& records, const CompactBoundQuery& query,
                      const int32_t* sums, size_t n, double threshold, const CompactBounds& out) {
    size_t reaching = 0;
    for (size_t b = 0; b < n; ++b) {
        const double c = records.scale[b] * query.unit * static_cast<double>(sums[b]);
        const double m = (records.scaled_levels[b] * query.per_level + records.scaled_errors[b] * query.rounded_norm) +
                         std::fabs(c) * 0x1p-20 + static_cast<double>(std::numeric_limits<float>::min());
        const double upper = c + m;
        if (query.shifted ? !(shifted_high(query.offset, c, m, upper) < threshold) : upper >= threshold) {
            out.centre[reaching] = c;
            out.margin[reaching] = m;
            out.upper[reaching] = upper;
            out.reaching[reaching++] = static_cast<uint32_t>(b);
        }
    }
    return reaching;
}

void compact_approx_scan(const CompactApproxInputs& in, const uint8_t* records, size_t n,
                         int32_t* out) {
    for (size_t i = 0; i < n; ++i) {
        const uint8_t* packed = records + i * in.stride;
        int32_t acc = 0;
        for (size_t j = 0; j < in.dim; ++j) {
            acc += int32_t{in.levels[format::unpack_code(packed, in.bits, j)]} * in.query[j];
        }
        out[i] = acc;
    }
}

void compact_approx_scan_each(const CompactApproxInputs& in, const int8_t* const* queries, size_t count,
                              const uint8_t* records, size_t n, int32_t* out) {
    for (size_t q = 0; q < count; ++q) {
        portable::compact_approx_scan({queries[q], in.levels, in.dim, in.bits, in.stride}, records, n, out + q * n);
    }
}

void compact_approx_scan_many(const CompactManyInputs& in, const int8_t* const* queries,
                              size_t count, const uint8_t* records, size_t n, int32_t* out,
                              uint32_t* error_units) {
    for (size_t q = 0; q < count; ++q) {
        portable::compact_approx_scan({queries[q], in.levels, in.dim, in.bits, in.stride}, records, n, out + q * n);
    }
    for (size_t i = 0; i < n; ++i) {
        error_units[i] = compact_error_units(in, records + i * in.stride, 0);
    }
}

uint32_t compact_error_units(const CompactManyInputs& in, const uint8_t* packed, size_t from) {
    uint32_t units = 0;
    for (size_t j = from; j < in.dim; ++j) units += in.error_units[format::unpack_code(packed, in.bits, j)];
    return units;
}

}  // namespace portable

}  // namespace quillane::kernels
