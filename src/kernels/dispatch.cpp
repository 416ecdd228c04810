#include "dispatch.hpp"

#include <cpuid.h>

#include <atomic>
#include <cstdint>
#include <vector>

#if defined(__linux__)
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include "error.hpp"
#include "implementations.hpp"

namespace quillane::kernels {

namespace {

struct Features {
    bool avx2;
    bool avx512;
    bool amx;
};

// AMX-TILE and AMX-INT8, their state enabled by the system and, on Linux, granted to this
// process (the system hands it out only on request: once, here).
bool amx_usable() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid_count(7, 0, &a, &b, &c, &d) == 0 || ((d >> 24) & 1u) == 0 || ((d >> 25) & 1u) == 0) return false;
    if (__get_cpuid(1, &a, &b, &c, &d) == 0 || ((c >> 27) & 1u) == 0) return false;  // OSXSAVE
    uint32_t enabled = 0, high = 0;
    __asm__("xgetbv" : "=a"(enabled), "=d"(high) : "c"(0));
    if ((enabled & (3u << 17)) != (3u << 17)) return false;  // XTILECFG and XTILEDATA
#if defined(__linux__)
    constexpr long ARCH_REQ_XCOMP_PERM = 0x1023, XFEATURE_XTILEDATA = 18;
    return syscall(SYS_arch_prctl, ARCH_REQ_XCOMP_PERM, XFEATURE_XTILEDATA) == 0;
#else
    return false;
#endif
}

const Features& features() {
    static const Features f = [] {
        __builtin_cpu_init();
        const bool avx512 = __builtin_cpu_supports("avx512f") != 0 && __builtin_cpu_supports("avx512bw") != 0 &&
                            __builtin_cpu_supports("avx512vl") != 0 && __builtin_cpu_supports("avx512dq") != 0 &&
                            __builtin_cpu_supports("avx512vbmi") != 0 && __builtin_cpu_supports("avx512vnni") != 0;
        return Features{__builtin_cpu_supports("avx2") != 0, avx512, avx512 && amx_usable()};
    }();
    return f;
}

const KernelTable PORTABLE = {Isa::portable, portable::chacha8_four_blocks,
                              portable::lane_multiply, portable::factorisation,
                              portable::turbo_scan, portable::compact_approx_scan, portable::compact_approx_gather,
                              portable::compact_approx_scan_each, false,
                              portable::compact_approx_scan_many, portable::compact_bounds,
                              portable::compact_record_terms,
                              portable::compact_dot, portable::compact_dots,
                              portable::hadamard_rotate, portable::compact_cells,
                              portable::compact_code_sums, portable::centroid_dots,
                              portable::centroid_integer_dots, portable::centroid_bounds,
                              portable::eight_lane_sums, portable::eight_lane_sums_of_four};
const KernelTable AVX2 = {Isa::avx2, avx2::chacha8_four_blocks, avx2::lane_multiply,
                          avx2::factorisation, avx2::turbo_scan, avx2::compact_approx_scan, avx2::compact_approx_gather,
                          avx2::compact_approx_scan_each, false,
                          avx2::compact_approx_scan_many, avx2::compact_bounds,
                          avx2::compact_record_terms,
                          avx2::compact_dot, avx2::compact_dots,
                          avx2::hadamard_rotate, avx2::compact_cells,
                          avx2::compact_code_sums, avx2::centroid_dots,
                          avx2::centroid_integer_dots, avx2::centroid_bounds,
                          avx2::eight_lane_sums, avx2::eight_lane_sums_of_four};
const KernelTable AVX512 = {Isa::avx512, avx2::chacha8_four_blocks, avx2::lane_multiply,
                            avx2::factorisation, avx2::turbo_scan, avx512::compact_approx_scan, avx512::compact_approx_gather,
                            avx512::compact_approx_scan_each, true,
                            avx2::compact_approx_scan_many, avx512::compact_bounds,
                            avx512::compact_record_terms,
                            avx512::compact_dot, avx512::compact_dots,
                            avx2::hadamard_rotate, avx2::compact_cells,
                            avx2::compact_code_sums, avx512::centroid_dots,
                            avx512::centroid_integer_dots, avx512::centroid_bounds,
                            avx512::eight_lane_sums, avx512::eight_lane_sums_of_four};
// The AVX-512 table with the tiles' many-query multiply.
const KernelTable AMX = [] {
    KernelTable table = AVX512;
    table.isa = Isa::amx;
    table.compact_approx_scan_each = amx::compact_approx_scan_each;
    return table;
}();

const KernelTable* built_table(Isa isa) {
    switch (isa) {
        case Isa::portable: return &PORTABLE;
        case Isa::avx2: return &AVX2;
        case Isa::avx512: return &AVX512;
        case Isa::amx: return &AMX;
    }
    return nullptr;
}

const std::vector<Isa>& available() {
    static const std::vector<Isa> list = [] {
        std::vector<Isa> out;
        for (Isa isa : {Isa::portable, Isa::avx2, Isa::avx512, Isa::amx}) {
            if (built_table(isa) != nullptr && cpu_supports(isa)) out.push_back(isa);
        }
        return out;
    }();
    return list;
}

std::atomic<const KernelTable*>& chosen() {
    static std::atomic<const KernelTable*> table{&table_for(available().back())};
    return table;
}

}  // namespace

const char* isa_name(Isa isa) {
    switch (isa) {
        case Isa::portable: return "portable";
        case Isa::avx2: return "avx2";
        case Isa::avx512: return "avx512";
        case Isa::amx: return "amx";
    }
    return "unknown";
}

bool cpu_supports(Isa isa) {
    switch (isa) {
        case Isa::portable: return true;
        case Isa::avx2: return features().avx2;
        case Isa::avx512: return features().avx512;
        case Isa::amx: return features().amx;
    }
    return false;
}

std::span<const Isa> available_isas() { return available(); }

const KernelTable& table_for(Isa isa) {
    const KernelTable* table = built_table(isa);
    if (table == nullptr || !cpu_supports(isa)) {
        throw InvariantFailure("no kernels for this instruction set on this processor");
    }
    return *table;
}

const KernelTable& active() { return *chosen().load(std::memory_order_acquire); }

void force_isa(Isa isa) { chosen().store(&table_for(isa), std::memory_order_release); }

}  // namespace quillane::kernels
