// Search at n = 100,000, dim 768, 4 bits: the vector scan with the bounded heap,
// beside the per-entry algorithm (parse each code, score it with the full
// inner-product estimate, stable-sort everything), timed at a small n.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "kernels/scan.hpp"
#include "ranking.hpp"
#include "rng.hpp"
#include "turbo.hpp"

using namespace quillane;
using Clock = std::chrono::steady_clock;

static double since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

int main(int argc, char** argv) {
    const size_t n = argc > 1 ? std::stoul(argv[1]) : 100000;
    const size_t dim = 768, k = 10, queries = 20;
    auto q = TurboQuantizer::make(dim, 4, dim / 4, 42);
    SeededRng rng(3);
    std::vector<uint8_t> arena;
    arena.reserve(n * q->code_size_bytes() + kernels::SCAN_SLACK_BYTES);
    std::vector<uint64_t> ids(n);
    kernels::LevelWindow window{UINT32_MAX, 0};
    for (size_t i = 0; i < n; ++i) {
        const auto bytes = q->encode(rng.standard_normal_vec(dim))->to_bytes();
        window.merge(q->level_window(bytes));
        arena.insert(arena.end(), bytes.begin(), bytes.end());
        ids[i] = i;
    }
    arena.resize(arena.size() + kernels::SCAN_SLACK_BYTES, 0);
    const size_t stride = q->code_size_bytes();
    std::vector<std::vector<float>> qs;
    for (size_t i = 0; i < queries; ++i) qs.push_back(rng.standard_normal_vec(dim));

    std::vector<float> scores(n);
    double sink = 0;
    auto t0 = Clock::now();
    for (const auto& query : qs) {
        auto prepared = q->prepare_query(query);
        kernels::scan(q->scan_inputs(*prepared, window), arena.data(), n, scores.data());
        sink += top_k_of(scores.data(), ids.data(), n, k)[0].score;
    }
    const double fast = since(t0) / queries;

    // The per-entry algorithm, through the reference loops and through the vector paths.
    const size_t small = 200;
    auto per_entry = [&](bool reference) {
        auto t = Clock::now();
        std::vector<Scored> all;
        for (size_t i = 0; i < small; ++i) {
            auto code = TurboCode::from_bytes({arena.data() + i * stride, stride});
            const float s = reference ? *q->inner_product_reference(*code, qs[0])
                                      : *q->inner_product(*code, qs[0]);
            all.push_back({ids[i], s});
        }
        rank(all, k);
        sink += all[0].score;
        return since(t) * double(n) / double(small);
    };
    const double reference = per_entry(true);
    const double per_entry_vector = per_entry(false);
    std::printf("n %zu, dim %zu, 4 bits, top %zu, %zu queries, one thread\n", n, dim, k, queries);
    std::printf("  scan + bounded heap          %9.2f ms per query\n", fast * 1e3);
    std::printf("  per-entry, reference loops   %9.2f s per query (from n = %zu)  ratio %.0fx\n",
                reference, small, reference / fast);
    std::printf("  per-entry, vector paths      %9.2f s per query (from n = %zu)  ratio %.0fx\n",
                per_entry_vector, small, per_entry_vector / fast);
    std::printf("  (sink %g)\n", double(sink != sink));
}
