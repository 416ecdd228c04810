// standard_normal_vec throughput through the portable and the vectorised ChaCha paths.
#include <algorithm>
#include <chrono>
#include <cstdio>

#include "chacha.hpp"
#include "kernels/dispatch.hpp"
#include "rng.hpp"

using namespace quillane;

static double samples_per_second(FourBlocksFn fn, size_t count, int reps) {
    double best = 1e30;
    for (int r = 0; r < reps; ++r) {
        SeededRng rng(42 + r, fn);
        const auto t0 = std::chrono::steady_clock::now();
        auto v = rng.standard_normal_vec(count);
        const auto t1 = std::chrono::steady_clock::now();
        if (v.size() != count) return 0;
        best = std::min(best, std::chrono::duration<double>(t1 - t0).count());
    }
    return count / best;
}

int main() {
    std::printf("%-12s %-10s %16s\n", "samples", "chacha", "samples/s");
    for (size_t dim : {768, 1536}) {
        const size_t n = dim * dim;
        for (kernels::Isa isa : kernels::available_isas()) {
            std::printf("%4zux%-7zu %-10s %16.3e\n", dim, dim, kernels::isa_name(isa),
                        samples_per_second(kernels::table_for(isa).chacha8_four_blocks, n, 5));
        }
    }
}
