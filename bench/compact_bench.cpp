// Compact codes at dim 768: encode beside TurboQuantizer::encode, construction at dim
// 4096, and CompactIndex search at n = 100,000, 4 bits, top 10, one query per call,
// beside the memory floor (code bytes / single-core streaming bandwidth, same run).
#include <chrono>
#include <cstdio>
#include <numeric>
#include <string>
#include <vector>

#include "compact/quantizer.hpp"
#include "index/compact_family.hpp"
#include "index/flat_index.hpp"
#include "rng.hpp"
#include "turbo.hpp"

using namespace quillane;
using Clock = std::chrono::steady_clock;

static double since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// Bytes per second of one thread summing a buffer far larger than the caches.
static double streaming_bandwidth() {
    std::vector<uint64_t> buffer(64 << 20, 1);  // 512 MiB
    double best = 0;
    for (int r = 0; r < 3; ++r) {
        const auto t0 = Clock::now();
        const uint64_t s = std::accumulate(buffer.begin(), buffer.end(), uint64_t{0});
        const double t = since(t0);
        if (s != buffer.size()) return 0;
        best = std::max(best, buffer.size() * 8 / t);
    }
    return best;
}

int main(int argc, char** argv) {
    const size_t n = argc > 1 ? std::stoul(argv[1]) : 100000;
    const size_t dim = 768, k = 10, queries = 50;
    SeededRng rng(3);
    {
        auto t0 = Clock::now();
        auto q4096 = CompactQuantizer::make(4096, 4, 42);
        std::printf("construction at dim 4096: %.3f ms\n", since(t0) * 1e3);
        auto turbo = TurboQuantizer::make(dim, 4, dim / 4, 42);
        auto compact = CompactQuantizer::make(dim, 4, 42);
        std::vector<std::vector<float>> xs;
        for (int i = 0; i < 200; ++i) xs.push_back(rng.standard_normal_vec(dim));
        double sink = 0;
        t0 = Clock::now();
        for (const auto& x : xs) sink += (*turbo->encode(x)).qjl.norm;
        const double turbo_encode = since(t0) / xs.size();
        t0 = Clock::now();
        for (const auto& x : xs) sink += (*compact->encode(x))[20];
        const double compact_encode = since(t0) / xs.size();
        std::printf("encode at dim 768: compact %.1f us, TurboQuantizer %.1f us, ratio %.1fx (sink %d)\n",
                    compact_encode * 1e6, turbo_encode * 1e6, turbo_encode / compact_encode,
                    int(sink != sink));
    }
    FlatIndex<CompactFamily> index(*CompactQuantizer::make(dim, 4, 42));
    auto t0 = Clock::now();
    for (size_t i = 0; i < n; ++i) {
        if (!index.add(i, rng.standard_normal_vec(dim))) return 1;
    }
    const double add = since(t0);
    std::vector<std::vector<float>> qs;
    for (size_t i = 0; i < queries; ++i) qs.push_back(rng.standard_normal_vec(dim));
    double sink = 0;
    t0 = Clock::now();
    for (const auto& query : qs) sink += (*index.search(query, k))[0].score;
    const double search = since(t0) / queries;
    // 64 queries in one search_batch call on one thread, as users with many queries search.
    const size_t batch = 64;
    std::vector<float> block;
    for (size_t i = 0; i < batch; ++i) {
        const auto q = rng.standard_normal_vec(dim);
        block.insert(block.end(), q.begin(), q.end());
    }
    std::vector<uint64_t> found_ids(batch * k);
    std::vector<float> found_scores(batch * k);
    double batched = 1e9;
    for (int r = 0; r < 3; ++r) {
        t0 = Clock::now();
        if (index.search_batch(block.data(), batch, k, 1, found_ids.data(), found_scores.data())) return 1;
        batched = std::min(batched, since(t0) / batch);
    }
    std::printf("CompactIndex search_batch of %zu queries, one thread: %.3f ms per query\n", batch,
                batched * 1e3);
    const double bandwidth = streaming_bandwidth();
    const double floor = n * index.quantizer().code_size_bytes() / bandwidth;
    std::printf("CompactIndex n %zu dim %zu 4 bits: add %.2f s, search %.2f ms per query\n", n, dim,
                add, search * 1e3);
    std::printf("  memory floor %.2f ms (%zu code bytes at %.1f GB/s): search / floor %.2f (sink %d)\n",
                floor * 1e3, size_t(index.quantizer().code_size_bytes()), bandwidth / 1e9,
                search / floor, int(sink != sink));
}
