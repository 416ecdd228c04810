// Every kernel implementation, one namespace per instruction set; dispatch.cpp puts
// each namespace's entries into that instruction set's table. Only kernel files and
// dispatch.cpp include this.
#pragma once

#include <cstddef>
#include <cstdint>

#include "chacha.hpp"
#include "factorisation.hpp"
#include "vector_sums.hpp"

namespace quillane::kernels {

class LaneMatrix;
struct TurboScanInputs;
struct TurboScanQuery;
struct CompactApproxInputs;
struct CompactManyInputs;
struct CompactBoundRecords;
struct CompactBoundQuery;
struct CompactBounds;
struct CompactRecordFields;
struct CompactRecordTerms;
struct HadamardPlan;
struct CentroidBlocks;
struct CentroidIntegerBlocks;
struct CentroidBoundLists;
struct CentroidBoundRow;
struct CentroidBoundTotals;

// The entries of one instruction set, as KernelTable lists them; every set declares the
// same list in its own namespace.
#define QL_KERNEL_ENTRIES                                                                   \
    void chacha8_four_blocks(const ChaChaKey& key, uint64_t counter, uint32_t* out);        \
    void lane_multiply(const LaneMatrix& m, const float* x, float* out);                    \
    extern const FactorisationKernels factorisation;                                        \
    void turbo_scan(const TurboScanInputs& in, const TurboScanQuery* queries, size_t count, \
                    const uint8_t* codes, size_t n);                                        \
    void compact_approx_scan(const CompactApproxInputs& in, const uint8_t* records, size_t n, \
                             int32_t* out);                                                 \
    void compact_approx_gather(const CompactApproxInputs& in, const uint8_t* codes, const uint32_t* rows, \
                               size_t n, int32_t* out);                                      \
    void compact_approx_scan_each(const CompactApproxInputs& in, const int8_t* const* queries, \
                                  size_t count, const uint8_t* records, size_t n, int32_t* out); \
    void compact_approx_scan_many(const CompactManyInputs& in, const int8_t* const* queries,   \
                                  size_t count, const uint8_t* records, size_t n, int32_t* out, \
                                  uint32_t* error_units);                                       \
    size_t compact_bounds(const CompactBoundRecords& records, const CompactBoundQuery& query, \
                          const int32_t* sums, size_t n, double threshold,                  \
                          const CompactBounds& out);                                        \
    void compact_record_terms(const CompactRecordFields& fields, size_t n, const CompactRecordTerms& out); \
    double compact_dot(const float* levels, uint8_t bits, const uint8_t* packed, size_t dim, \
                       const float* y);                                                     \
    void compact_dots(const float* levels, uint8_t bits, const uint8_t* const* packed, size_t count, \
                      size_t dim, const float* y, double* out);                             \
    void hadamard_rotate(const HadamardPlan& plan, float* v, bool forward);                 \
    void compact_cells(const float* boundaries, uint32_t count, const float* y, double k,    \
                       size_t dim, uint8_t* codes);                                         \
    void compact_code_sums(const float* levels, uint32_t count, const uint8_t* codes,        \
                           const float* y, size_t dim, double* dot, double* energy);       \
    void centroid_dots(const CentroidBlocks& c, const float* rows, size_t n, float* out);       \
    void centroid_integer_dots(const CentroidIntegerBlocks& c, const int16_t* rows, size_t n, int64_t* out); \
    CentroidBoundTotals centroid_bounds(const CentroidBoundLists& lists, const CentroidBoundRow& row,            \
                                        const int64_t* sums, double* upper, double* lower);     \
    void eight_lane_sums(const float* a, const float* b, size_t n, VectorTerm term, double* lanes);  \
    void eight_lane_sums_of_four(const float* a, const float* const* b, size_t n, VectorTerm term, double* lanes);

namespace portable {
QL_KERNEL_ENTRIES
// compact_approx_gather through `scan`: the records copied side by side, then scanned.
void gather_by_copy(void (*scan)(const CompactApproxInputs&, const uint8_t*, size_t, int32_t*),
                    const CompactApproxInputs& in, const uint8_t* codes, const uint32_t* rows, size_t n, int32_t* out);
// The sum of in.error_units over a record's codes from..dim-1: what the many-query pass
// reports per record, and the vector paths' tail past their whole groups.
uint32_t compact_error_units(const CompactManyInputs& in, const uint8_t* packed, size_t from);
}  // namespace portable

namespace avx2 {
QL_KERNEL_ENTRIES
}  // namespace avx2

// AVX-512 (F, BW, DQ, VL, VBMI, VNNI) replaces only the entries it makes faster; its table
// takes the AVX2 ones for the rest.
namespace avx512 {
void compact_approx_scan(const CompactApproxInputs& in, const uint8_t* records, size_t n, int32_t* out);
void compact_approx_gather(const CompactApproxInputs& in, const uint8_t* codes, const uint32_t* rows, size_t n,
                           int32_t* out);
void compact_approx_scan_each(const CompactApproxInputs& in, const int8_t* const* queries, size_t count,
                              const uint8_t* records, size_t n, int32_t* out);
size_t compact_bounds(const CompactBoundRecords& records, const CompactBoundQuery& query, const int32_t* sums, size_t n,
                      double threshold, const CompactBounds& out);
void compact_record_terms(const CompactRecordFields& fields, size_t n, const CompactRecordTerms& out);
double compact_dot(const float* levels, uint8_t bits, const uint8_t* packed, size_t dim, const float* y);
void compact_dots(const float* levels, uint8_t bits, const uint8_t* const* packed, size_t count, size_t dim,
                  const float* y, double* out);
void centroid_dots(const CentroidBlocks& c, const float* rows, size_t n, float* out);
void centroid_integer_dots(const CentroidIntegerBlocks& c, const int16_t* rows, size_t n, int64_t* out);
CentroidBoundTotals centroid_bounds(const CentroidBoundLists& lists, const CentroidBoundRow& row, const int64_t* sums,
                                    double* upper, double* lower);
void eight_lane_sums(const float* a, const float* b, size_t n, VectorTerm term, double* lanes);
void eight_lane_sums_of_four(const float* a, const float* const* b, size_t n, VectorTerm term, double* lanes);
}  // namespace avx512

// AMX replaces the many-query multiply of the AVX-512 table.
namespace amx {
void compact_approx_scan_each(const CompactApproxInputs& in, const int8_t* const* queries, size_t count,
                              const uint8_t* records, size_t n, int32_t* out);
}  // namespace amx

#undef QL_KERNEL_ENTRIES

}  // namespace quillane::kernels
