// The one place that asks the processor what it supports, and the one choice of
// kernels per process: a table of entry points per instruction set, the best one the
// processor runs chosen at first use. Every table gives the same bits; tests force
// each in turn.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "chacha.hpp"
#include "factorisation.hpp"

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
enum class VectorTerm;

// In order of preference, lowest first. AVX-512 means F, BW, DQ, VL, VBMI and VNNI together;
// AMX means that AVX-512 and AMX-TILE with AMX-INT8, their state granted by the system.
enum class Isa : uint8_t { portable, avx2, avx512, amx };
const char* isa_name(Isa isa);

struct KernelTable {
    Isa isa;
    FourBlocksFn chacha8_four_blocks;                                      // chacha.hpp
    void (*lane_multiply)(const LaneMatrix& m, const float* x, float* out);  // matvec.hpp
    FactorisationKernels factorisation;                                    // factorisation.hpp
    void (*turbo_scan)(const TurboScanInputs& in, const TurboScanQuery* queries, size_t count,
                       const uint8_t* codes, size_t n);                    // turbo_scan.hpp
    void (*compact_approx_scan)(const CompactApproxInputs& in, const uint8_t* records, size_t n,
                                int32_t* out);                             // compact_scan.hpp
    void (*compact_approx_gather)(const CompactApproxInputs& in, const uint8_t* codes,
                                  const uint32_t* rows, size_t n, int32_t* out);  // compact_scan.hpp
    void (*compact_approx_scan_each)(const CompactApproxInputs& in, const int8_t* const* queries,
                                     size_t count, const uint8_t* records, size_t n,
                                     int32_t* out);                        // compact_scan.hpp
    bool compact_scans_each_at_once;                                       // compact_scan.hpp
    void (*compact_approx_scan_many)(const CompactManyInputs& in, const int8_t* const* queries,
                                     size_t count, const uint8_t* records, size_t n, int32_t* out,
                                     uint32_t* error_units);               // compact_scan.hpp
    size_t (*compact_bounds)(const CompactBoundRecords& records, const CompactBoundQuery& query,
                             const int32_t* sums, size_t n, double threshold,
                             const CompactBounds& out);            // compact_bounds.hpp
    void (*compact_record_terms)(const CompactRecordFields& fields, size_t n,
                                 const CompactRecordTerms& out);           // compact_bounds.hpp
    double (*compact_dot)(const float* levels, uint8_t bits, const uint8_t* packed, size_t dim,
                          const float* y);                                 // compact_dot.hpp
    void (*compact_dots)(const float* levels, uint8_t bits, const uint8_t* const* packed, size_t count,
                         size_t dim, const float* y, double* out);         // compact_dot.hpp
    void (*hadamard_rotate)(const HadamardPlan& plan, float* v, bool forward);  // compact_encode.hpp
    void (*compact_cells)(const float* boundaries, uint32_t count, const float* y, double k,
                          size_t dim, uint8_t* codes);                     // compact_encode.hpp
    void (*compact_code_sums)(const float* levels, uint32_t count, const uint8_t* codes,
                              const float* y, size_t dim, double* dot,
                              double* energy);                             // compact_encode.hpp
    void (*centroid_dots)(const CentroidBlocks& c, const float* rows, size_t n,
                          float* out);                                     // centroid_dots.hpp
    void (*centroid_integer_dots)(const CentroidIntegerBlocks& c, const int16_t* rows, size_t n,
                                  int64_t* out);                           // centroid_dots.hpp
    CentroidBoundTotals (*centroid_bounds)(const CentroidBoundLists& lists, const CentroidBoundRow& row,
                                           const int64_t* sums, double* upper, double* lower);  // centroid_dots.hpp
    void (*eight_lane_sums)(const float* a, const float* b, size_t n, VectorTerm term,
                            double* lanes);                                // vector_sums.hpp
    void (*eight_lane_sums_of_four)(const float* a, const float* const* b, size_t n, VectorTerm term,
                                    double* lanes);                        // vector_sums.hpp
};

// What the processor supports, asked once.
bool cpu_supports(Isa isa);
// The instruction sets with a table that this processor runs, portable first.
std::span<const Isa> available_isas();
// The table of an available instruction set (InvariantFailure otherwise).
const KernelTable& table_for(Isa isa);
// The table in use: the last of available_isas() unless forced.
const KernelTable& active();
// Test hook: every later kernel call uses this available instruction set's table.
void force_isa(Isa isa);

}  // namespace quillane::kernels
