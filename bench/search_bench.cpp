// Search at n = 100,000, dim 768, 4 bits: the flat index (vector scan, bounded heap)
// beside the per-entry algorithm (parse each code, score it with the full
// inner-product estimate, stable-sort everything), timed at a small n.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "index/flat_index.hpp"
#include "index/turbo_family.hpp"
#include "rng.hpp"

using namespace quillane;
using Clock = std::chrono::steady_clock;

static double since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

int main(int argc, char** argv) {
    const size_t n = argc > 1 ? std::stoul(argv[1]) : 100000;
    const size_t dim = 768, k = 10, queries = 20;
    FlatIndex<TurboFamily> index(*TurboQuantizer::make(dim, 4, dim / 4, 42));
    const TurboQuantizer& q = index.quantizer();
    SeededRng rng(3);
    for (size_t i = 0; i < n; ++i) {
        if (!index.add(i, rng.standard_normal_vec(dim))) return 1;
    }
    std::vector<std::vector<float>> qs;
    for (size_t i = 0; i < queries; ++i) qs.push_back(rng.standard_normal_vec(dim));

    double sink = 0;
    auto t0 = Clock::now();
    for (const auto& query : qs) sink += (*index.search(query, k))[0].score;
    const double fast = since(t0) / queries;

    // The per-entry algorithm, through the reference loops and through the vector paths.
    const size_t small = 200;
    auto per_entry = [&](bool reference) {
        auto t = Clock::now();
        std::vector<Scored> all;
        for (size_t i = 0; i < small; ++i) {
            auto code = TurboCode::from_bytes(index.code(i));
            const float s = reference ? *q.inner_product_reference(*code, qs[0])
                                      : *q.inner_product(*code, qs[0]);
            all.push_back({index.id(i), s});
        }
        rank(all, k);
        sink += all[0].score;
        return since(t) * double(n) / double(small);
    };
    const double reference = per_entry(true);
    const double per_entry_vector = per_entry(false);
    std::printf("n %zu, dim %zu, 4 bits, top %zu, %zu queries, one thread\n", n, dim, k, queries);
    std::printf("  flat index search            %9.2f ms per query\n", fast * 1e3);
    std::printf("  per-entry, reference loops   %9.2f s per query (from n = %zu)  ratio %.0fx\n",
                reference, small, reference / fast);
    std::printf("  per-entry, vector paths      %9.2f s per query (from n = %zu)  ratio %.0fx\n",
                per_entry_vector, small, per_entry_vector / fast);
    std::printf("  (sink %g)\n", double(sink != sink));
}
