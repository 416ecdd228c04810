#include "removal.hpp"

#include <algorithm>

#include "parallel/pool.hpp"

namespace quillane::graph {

namespace {

// v's candidates, as relinked lists them.
std::vector<uint32_t> candidates_of(const Adjacency& graph, const std::vector<uint8_t>& removed, uint32_t v) {
    std::vector<uint32_t> out;
    const uint32_t* row = graph.row(v);
    const size_t count = graph.count(v);
    for (size_t i = 0; i < count; ++i) {
        if (!removed[row[i]]) out.push_back(row[i]);
    }
    for (size_t i = 0; i < count; ++i) {
        if (!removed[row[i]]) continue;
        const uint32_t* far = graph.row(row[i]);
        const size_t far_count = graph.count(row[i]);
        for (size_t j = 0; j < far_count; ++j) {
            if (!removed[far[j]] && far[j] != v) out.push_back(far[j]);
        }
    }
    return out;
}

}  // namespace

std::vector<uint32_t> losing_neighbours(const Adjacency& graph, const std::vector<uint8_t>& removed) {
    std::vector<uint32_t> losing;
    for (size_t v = 0; v < graph.size(); ++v) {
        if (removed[v]) continue;
        const uint32_t* row = graph.row(v);
        const size_t count = graph.count(v);
        for (size_t i = 0; i < count; ++i) {
            if (removed[row[i]]) {
                losing.push_back(static_cast<uint32_t>(v));
                break;
            }
        }
    }
    return losing;
}

std::vector<uint8_t> measured_in_relinking(const Adjacency& graph, const std::vector<uint8_t>& removed,
                                           const std::vector<uint32_t>& losing) {
    std::vector<uint8_t> measured(graph.size(), 0);
    for (const uint32_t v : losing) {
        measured[v] = 1;
        for (const uint32_t c : candidates_of(graph, removed, v)) measured[c] = 1;
    }
    return measured;
}

std::vector<std::vector<uint32_t>> relinked(const Adjacency& graph, const BuildVectors& vectors,
                                            const std::vector<uint8_t>& removed,
                                            const std::vector<uint32_t>& losing, uint32_t degree, unsigned threads) {
    std::vector<std::vector<uint32_t>> lists(losing.size());
    const size_t used = parallel::thread_count(threads);
    parallel::for_chunks(losing.size(), std::max<size_t>(1, losing.size() / (4 * used)), threads,
                         [&](size_t begin, size_t end) {
                             for (size_t i = begin; i < end; ++i) {
                                 // Each candidate once, in order; as a list that takes reverse
                                 // edges, pruned only when more than the degree.
                                 std::vector<uint32_t> once;
                                 for (const uint32_t c : candidates_of(graph, removed, losing[i])) {
                                     if (std::find(once.begin(), once.end(), c) == once.end()) once.push_back(c);
                                 }
                                 if (once.size() > degree) once = prune(vectors, losing[i], std::move(once), degree);
                                 lists[i] = std::move(once);
                             }
                         });
    return lists;
}

}  // namespace quillane::graph
