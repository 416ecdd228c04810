#include "construction.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "kernels/vector_sums.hpp"
#include "graph/beam.hpp"
#include "parallel/pool.hpp"

namespace quillane::graph {

namespace {

kernels::VectorTerm term_of(const BuildVectors& vectors) {
    return vectors.metric == Metric::cosine ? kernels::VectorTerm::product : kernels::VectorTerm::squared_difference;
}

// The distance from a vector's eight lanes.
double finished(const BuildVectors& vectors, const double* lanes, uint32_t a, uint32_t b) {
    const double total = ((lanes[0] + lanes[1]) + (lanes[2] + lanes[3])) + ((lanes[4] + lanes[5]) + (lanes[6] + lanes[7]));
    if (vectors.metric != Metric::cosine) return total;
    return -((total * vectors.scales[a]) * vectors.scales[b]);
}

}  // namespace

double build_distance(const BuildVectors& vectors, uint32_t a, uint32_t b) {
    double lanes[8];
    // Products of two floats are exact in float64: only the sums round.
    vectors.sums(vectors.values[a], vectors.values[b], vectors.dim, term_of(vectors), lanes);
    return finished(vectors, lanes, a, b);
}

void build_distances(const BuildVectors& vectors, uint32_t a, const uint32_t* b, size_t count, double* out,
                     bool from_each) {
    size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        const float* four[4] = {vectors.values[b[i]], vectors.values[b[i + 1]], vectors.values[b[i + 2]],
                                vectors.values[b[i + 3]]};
        double lanes[32];
        // The lanes are the same either way round (products commute exactly, and x - y is
        // exactly -(y - x)); only the finishing order of a cosine differs.
        vectors.sums_of_four(vectors.values[a], four, vectors.dim, term_of(vectors), lanes);
        for (size_t j = 0; j < 4; ++j) {
            out[i + j] = from_each ? finished(vectors, lanes + 8 * j, b[i + j], a)
                                   : finished(vectors, lanes + 8 * j, a, b[i + j]);
        }
    }
    for (; i < count; ++i) out[i] = from_each ? build_distance(vectors, b[i], a) : build_distance(vectors, a, b[i]);
}

namespace {

// Nearest first, ties by vertex number, NaN distances last.
void sort_nearest_first(std::vector<Near>& near) {
    // NaN distances (vectors no encoder writes) sort last, after every number.
    std::sort(near.begin(), near.end(), [](const Near& a, const Near& b) {
        const bool a_nan = std::isnan(a.distance), b_nan = std::isnan(b.distance);
        if (a_nan || b_nan) return !a_nan || (b_nan && a.vertex < b.vertex);
        return a.distance < b.distance || (a.distance == b.distance && a.vertex < b.vertex);
    });
}

}  // namespace

std::vector<Near> nearest_first(const BuildVectors& vectors, uint32_t v, const std::vector<uint32_t>& candidates) {
    std::vector<double> distances(candidates.size());
    build_distances(vectors, v, candidates.data(), candidates.size(), distances.data());
    std::vector<Near> near;
    near.reserve(candidates.size());
    for (size_t i = 0; i < candidates.size(); ++i) near.push_back({distances[i], candidates[i]});
    sort_nearest_first(near);
    return near;
}

size_t round_size(size_t previous, size_t graph_size) {
    const size_t doubled = previous == 0 ? 1 : previous * 2;
    return std::max<size_t>(1, std::min(doubled, graph_size / 50));
}

std::vector<uint32_t> prune(const BuildVectors& vectors, uint32_t v, std::vector<uint32_t> candidates,
                            uint32_t degree) {
    std::erase(candidates, v);
    std::vector<Near> near = nearest_first(vectors, v, candidates);
    near.erase(std::unique(near.begin(), near.end(), [](const Near& a, const Near& b) { return a.vertex == b.vertex; }),
               near.end());
    std::vector<uint32_t> kept;
    double from_kept[4];
    for (const Near& c : near) {
        if (kept.size() == degree) break;
        bool diverse = true;
        // Four kept vertices measured at a time (a few past the first that rules c out).
        for (size_t k = 0; k < kept.size() && diverse; k += 4) {
            const size_t m = std::min<size_t>(4, kept.size() - k);
            build_distances(vectors, c.vertex, kept.data() + k, m, from_kept, true);
            for (size_t j = 0; j < m && diverse; ++j) diverse = !(from_kept[j] <= c.distance);
        }
        if (diverse) kept.push_back(c.vertex);
    }
    return kept;
}

namespace {

// The neighbours v's search finds among the linked vertices, pruned.
std::vector<uint32_t> choose(const Adjacency& graph, const BuildVectors& vectors, uint32_t v, uint32_t entry,
                             const BuildOptions& options, Visited& visited) {
    std::vector<uint32_t> candidates = beam_search<double>(
        graph, vectors.values.size(), entry, options.width, visited,
        [&](const uint32_t* us, size_t n, double* keys) {
            build_distances(vectors, v, us, n, keys);
            for (size_t i = 0; i < n; ++i) keys[i] = -keys[i];
        },
        [&](uint32_t u) { __builtin_prefetch(vectors.values[u]); });
    return prune(vectors, v, std::move(candidates), options.degree);
}

// x takes an edge to w: appended when x has room, else (if `may_replace`) in place of x's
// last neighbour that other edges still reach; false when it cannot.
bool take(Adjacency& graph, std::vector<uint32_t>& incoming, uint32_t x, uint32_t w, std::vector<uint32_t>& row,
          bool may_replace = true) {
    row.assign(graph.row(x), graph.row(x) + graph.count(x));
    if (std::find(row.begin(), row.end(), w) != row.end()) return true;
    if (row.size() < graph.degree()) {
        row.push_back(w);
    } else if (!may_replace) {
        return false;
    } else {
        size_t at = row.size();
        while (at > 0 && incoming[row[at - 1]] < 2) --at;
        if (at == 0) return false;
        --incoming[row[at - 1]];
        row[at - 1] = w;
    }
    ++incoming[w];
    graph.set(x, row);
    return true;
}

// w has no edge in: the nearest of its neighbours that can takes it (with room, or giving
// up for it its last neighbour that other edges still reach). No vertex is left
// unreachable by pruning alone.
void repair(Adjacency& graph, std::vector<uint32_t>& incoming, uint32_t w) {
    std::vector<uint32_t> row;
    for (size_t i = 0, n = graph.count(w); i < n; ++i) {
        const uint32_t x = graph.row(w)[i];
        if (x != w && take(graph, incoming, x, w, row)) return;
    }
}

}  // namespace

void count_incoming(const Adjacency& graph, std::vector<uint32_t>& incoming) {
    incoming.assign(graph.size(), 0);
    for (size_t v = 0; v < graph.size(); ++v) {
        for (const uint32_t* r = graph.row(v); r < graph.row(v) + graph.degree() && *r != Adjacency::NONE; ++r) ++incoming[*r];
    }
}

void give_orphans_an_edge(Adjacency& graph, uint32_t entry, std::vector<uint32_t>& incoming) {
    count_incoming(graph, incoming);
    for (size_t w = 0; w < graph.size(); ++w) {
        if (w != entry && incoming[w] == 0) repair(graph, incoming, static_cast<uint32_t>(w));
    }
}

// How many times reach_every_vertex walks the graph at most.
constexpr int REACH_PASSES = 4;

void reach_every_vertex(Adjacency& graph, uint32_t entry, ReachScratch& scratch) {
    const size_t n = graph.size();
    if (n == 0) return;
    auto& [incoming, reached, stack, row] = scratch;
    const auto walk = [&](uint32_t from) {
        reached[from] = 1;
        stack.push_back(from);
        while (!stack.empty()) {
            const uint32_t u = stack.back();
            stack.pop_back();
            for (size_t i = 0, count = graph.count(u); i < count; ++i) {
                const uint32_t x = graph.row(u)[i];
                if (!reached[x]) {
                    reached[x] = 1;
                    stack.push_back(x);
                }
            }
        }
    };
    // An edge given up to take a vertex in (when no reached vertex has room) may cut off
    // what only it reached: the walk then starts again, a few times at most.
    for (int pass = 0; pass < REACH_PASSES; ++pass) {
        reached.assign(n, 0);
        stack.clear();
        walk(entry);
        bool replaced = false;
        for (size_t v = 0; v < n; ++v) {
            if (reached[v]) continue;
            const auto w = static_cast<uint32_t>(v);
            // A reached neighbour of w with room takes it, else the entry, else the first
            // reached vertex with room; when none has room, the first that can give up an
            // edge (one can: reached vertices hold more edges than vertices, degree >= 2).
            bool taken = false;
            for (size_t i = 0; i < graph.count(w) && !taken; ++i) {
                const uint32_t x = graph.row(w)[i];
                taken = reached[x] && take(graph, incoming, x, w, row, false);
            }
            taken = taken || take(graph, incoming, entry, w, row, false);
            for (size_t x = 0; x < n && !taken; ++x) {
                taken = reached[x] && take(graph, incoming, static_cast<uint32_t>(x), w, row, false);
            }
            for (size_t x = 0; x < n && !taken; ++x) {
                taken = reached[x] && take(graph, incoming, static_cast<uint32_t>(x), w, row);
                replaced = replaced || taken;
            }
            walk(w);
        }
        if (!replaced) return;
    }
}

void link(Adjacency& graph, const BuildVectors& vectors, const std::vector<uint32_t>& order, size_t linked,
          uint32_t entry, const BuildOptions& options, VisitedPool& pool, const std::function<void(size_t)>& after) {
    const unsigned used = parallel::thread_count(options.threads);
    size_t done = 0, size = 0;
    std::vector<std::vector<uint32_t>> chosen;
    std::vector<std::pair<uint32_t, uint32_t>> reverse;  // (chosen vertex, new vertex)
    std::vector<size_t> groups;
    std::vector<std::vector<uint32_t>> lists;
    std::vector<uint32_t> orphans;
    // Each vertex's in-degree, from the graph as it stands (not stored: the edges say it).
    std::vector<uint32_t> incoming;
    count_incoming(graph, incoming);
    while (done < order.size()) {
        size = round_size(size, linked + done);
        const size_t m = std::min(size, order.size() - done);
        chosen.assign(m, {});
        // Every search of the round reads the graph as it stood at the round's start.
        // Chunks of a quarter of a thread's share: searches differ in length, and a thread
        // that finishes early takes the next chunk.
        parallel::for_chunks(m, std::max<size_t>(1, m / (4 * used)), options.threads, [&](size_t begin, size_t end) {
            auto visited = pool.take();
            for (size_t i = begin; i < end; ++i) {
                const uint32_t v = order[done + i];
                if (linked + done == 0) continue;  // the first vertex: nothing to link to
                chosen[i] = choose(graph, vectors, v, entry, options, *visited);
            }
        });
        reverse.clear();
        for (size_t i = 0; i < m; ++i) {
            const uint32_t v = order[done + i];
            graph.set(v, chosen[i]);
            for (const uint32_t u : chosen[i]) reverse.emplace_back(u, v);
        }
        // Each chosen vertex takes its new neighbours in order of vertex number; vertices
        // are independent of one another, so they may be taken on any thread.
        std::sort(reverse.begin(), reverse.end());
        groups.clear();
        for (size_t r = 0; r < reverse.size(); ++r) {
            if (r == 0 || reverse[r].first != reverse[r - 1].first) groups.push_back(r);
        }
        groups.push_back(reverse.size());
        const size_t count = groups.size() - 1;
        lists.assign(count, {});
        parallel::for_chunks(count, std::max<size_t>(1, count / (4 * used)), options.threads,
                             [&](size_t begin, size_t end) {
                                 for (size_t g = begin; g < end; ++g) {
                                     const uint32_t u = reverse[groups[g]].first;
                                     std::vector<uint32_t>& merged = lists[g];
                                     merged.assign(graph.row(u), graph.row(u) + graph.count(u));
                                     for (size_t r = groups[g]; r < groups[g + 1]; ++r) merged.push_back(reverse[r].second);
                                     if (merged.size() > options.degree) {
                                         merged = prune(vectors, u, std::move(merged), options.degree);
                                     }
                                 }
                             });
        // In order of vertex: the new lists replace the old, the in-degrees follow, and a
        // vertex left with none gets an edge back (repair).
        orphans.clear();
        for (const auto& [u, v] : reverse) ++incoming[u];
        for (size_t g = 0; g < count; ++g) {
            const uint32_t u = reverse[groups[g]].first;
            const uint32_t* old_row = graph.row(u);
            const size_t old_count = graph.count(u);
            const std::vector<uint32_t>& fresh = lists[g];
            for (size_t i = 0; i < old_count; ++i) {
                if (std::find(fresh.begin(), fresh.end(), old_row[i]) == fresh.end() && --incoming[old_row[i]] == 0) {
                    orphans.push_back(old_row[i]);
                }
            }
            for (const uint32_t w : fresh) {
                if (std::find(old_row, old_row + old_count, w) == old_row + old_count) ++incoming[w];
            }
            graph.set(u, fresh);
        }
        for (size_t i = 0; i < m; ++i) {
            if (incoming[order[done + i]] == 0) orphans.push_back(order[done + i]);
        }
        std::sort(orphans.begin(), orphans.end());
        orphans.erase(std::unique(orphans.begin(), orphans.end()), orphans.end());
        for (const uint32_t w : orphans) {
            if (w != entry && incoming[w] == 0) repair(graph, incoming, w);
        }
        done += m;
        if (after) after(done);
    }
}

}  // namespace quillane::graph
