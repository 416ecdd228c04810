#include "removal.hpp"

#include <algorithm>

#include "parallel/pool.hpp"

namespace quillane::graph {

namespace {

// Removed vertices whose neighbours a vertex short of candidates looks through, at most:
// enough to relink it after most of its surroundings went, bounded where nearly all did.
constexpr size_t REMOVED_LOOKED_THROUGH = 64;

// v's candidates, as relinked lists them: its neighbours left, then those of its removed
// neighbours, then, while fewer than `degree`, those of the removed vertices found so (in
// the order found), so that a vertex whose surroundings were removed is linked again.
std::vector<uint32_t> candidates_of(const Adjacency& graph, const std::vector<uint8_t>& removed, uint32_t v) {
    std::vector<uint32_t> out, through;
    const uint32_t* row = graph.row(v);
    const size_t count = graph.count(v);
    for (size_t i = 0; i < count; ++i) {
        if (!removed[row[i]]) out.push_back(row[i]);
    }
    for (size_t i = 0; i < count; ++i) {
        if (removed[row[i]]) through.push_back(row[i]);
    }
    const size_t own = through.size();
    for (size_t k = 0; k < through.size(); ++k) {
        const bool short_of_candidates = out.size() < graph.degree();
        if (k >= own && !short_of_candidates) break;  // past v's own removed neighbours
        const uint32_t* far = graph.row(through[k]);
        const size_t far_count = graph.count(through[k]);
        for (size_t j = 0; j < far_count; ++j) {
            const uint32_t w = far[j];
            if (!removed[w]) {
                if (w != v) out.push_back(w);
            } else if (short_of_candidates && through.size() < REMOVED_LOOKED_THROUGH &&
                       std::find(through.begin(), through.end(), w) == through.end()) {
                through.push_back(w);
            }
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
