#include "removal.hpp"

#include <algorithm>

#include "parallel/pool.hpp"

namespace quillane::graph {

namespace {

// How many of a removed neighbour's neighbours (its first: a list starts with those pruning
// kept, nearest first) are candidates to replace it: on GloVe, 16 relink as well as 32
// (recall within 0.001 after a fifth removed and added again) at half the distances.
constexpr size_t NEWCOMERS_FROM_EACH = 16;

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
        bool any = false;  // a kept neighbour, or a newcomer to choose from
        const uint32_t* row = graph.row(v);
        for (size_t i = 0, count = graph.count(v); i < count; ++i) {
            if (!removed[row[i]]) {
                any = true;
                continue;
            }
            const uint32_t* far = graph.row(row[i]);
            for (size_t j = 0, far_count = std::min(NEWCOMERS_FROM_EACH, graph.count(row[i])); j < far_count; ++j) {
                if (!removed[far[j]] && far[j] != v) measured[far[j]] = any = true;
            }
        }
        if (!any) {
            for (const uint32_t c : candidates_of(graph, removed, v)) measured[c] = 1;
        }
    }
    return measured;
}

namespace {

// v's new list, when v keeps neighbours or its removed ones have some left: the kept ones,
// then as many newcomers as it lost, chosen from the removed neighbours' neighbours nearest
// v first, each one farther from the newcomers before it than from v. Only distances from v
// and among newcomers are measured: a removal of few entries costs a few distances for each
// edge lost, not a new pruning of every list that held one.
std::vector<uint32_t> replaced_neighbours(const Adjacency& graph, const BuildVectors& vectors,
                                          const std::vector<uint8_t>& removed, uint32_t v) {
    std::vector<uint32_t> list;
    std::vector<uint32_t> candidates;
    const uint32_t* row = graph.row(v);
    const size_t count = graph.count(v);
    size_t lost = 0;
    for (size_t i = 0; i < count; ++i) {
        if (!removed[row[i]]) list.push_back(row[i]);
    }
    const size_t kept = list.size();
    for (size_t i = 0; i < count; ++i) {
        if (!removed[row[i]]) continue;
        ++lost;
        const uint32_t* far = graph.row(row[i]);
        for (size_t j = 0, far_count = std::min(NEWCOMERS_FROM_EACH, graph.count(row[i])); j < far_count; ++j) {
            const uint32_t c = far[j];
            if (removed[c] || c == v || std::find(list.begin(), list.end(), c) != list.end() ||
                std::find(candidates.begin(), candidates.end(), c) != candidates.end()) {
                continue;
            }
            candidates.push_back(c);
        }
    }
    // The candidates' vectors lie anywhere in memory: ask for all of them before measuring.
    const size_t lines = (vectors.dim * sizeof(float) + 63) / 64;
    for (const uint32_t c : candidates) {
        const char* at = reinterpret_cast<const char*>(vectors.values[c]);
        for (size_t l = 0; l < lines; ++l) __builtin_prefetch(at + 64 * l);
    }
    const std::vector<Near> near = nearest_first(vectors, v, candidates);
    for (const Near& c : near) {
        if (list.size() - kept == lost) break;
        bool diverse = true;  // as prune decides: not nearer to a newcomer than to v
        for (size_t k = kept; k < list.size() && diverse; ++k) {
            diverse = !(build_distance(vectors, list[k], c.vertex) <= c.distance);
        }
        if (diverse) list.push_back(c.vertex);
    }
    return list;
}

}  // namespace

std::vector<std::vector<uint32_t>> relinked(const Adjacency& graph, const BuildVectors& vectors,
                                            const std::vector<uint8_t>& removed,
                                            const std::vector<uint32_t>& losing, uint32_t degree, unsigned threads) {
    std::vector<std::vector<uint32_t>> lists(losing.size());
    const size_t used = parallel::thread_count(threads);
    parallel::for_chunks(losing.size(), std::max<size_t>(1, losing.size() / (4 * used)), threads,
                         [&](size_t begin, size_t end) {
                             for (size_t i = begin; i < end; ++i) {
                                 std::vector<uint32_t> list = replaced_neighbours(graph, vectors, removed, losing[i]);
                                 if (!list.empty()) {
                                     lists[i] = std::move(list);
                                     continue;
                                 }
                                 // Its surroundings were removed: candidates from farther
                                 // through them, each once, in order; pruned when more than
                                 // the degree.
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
