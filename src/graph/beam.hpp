// The beam search that both construction and queries run: from the entry vertex, keep the
// `width` best vertices met so far and expand the best one not yet expanded, until none of
// them is better than the worst kept. "Better" is a higher key; equal keys go to the lower
// vertex number, and a NaN key counts as the lowest, so the walk and its result depend on
// nothing but the keys and the graph.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <queue>
#include <vector>

#include "graph/adjacency.hpp"
#include "graph/visited.hpp"

namespace quillane::graph {

template <class K> struct Met {
    K key;
    uint32_t vertex;
};

// a before b: the higher key, then the lower vertex number; NaN keys after every number.
template <class K> bool met_before(const Met<K>& a, const Met<K>& b) {
    const bool a_nan = std::isnan(a.key), b_nan = std::isnan(b.key);
    if (a_nan || b_nan) return !a_nan || (b_nan && a.vertex < b.vertex);
    return a.key > b.key || (a.key == b.key && a.vertex < b.vertex);
}

// keys(vertices, n, out) gives the keys of n vertices met together (K: float or double);
// prefetch(v) is called for each as it is met, before keys asks for it. Returns the kept
// vertices, best first (at most `width`). `vertices`: the number of vertices (the visited
// table's size); the search meets only those that edges from the entry reach.
template <class K, class Keys, class Prefetch>
std::vector<Met<K>> beam_search(const Adjacency& graph, size_t vertices, uint32_t entry, size_t width,
                                Visited& visited, Keys&& keys, Prefetch&& prefetch) {
    std::vector<Met<K>> kept;
    if (vertices == 0 || width == 0) return kept;
    const auto worse = [](const Met<K>& a, const Met<K>& b) { return met_before(a, b); };  // a min-heap of the best
    const auto better = [](const Met<K>& a, const Met<K>& b) { return met_before(b, a); };
    std::priority_queue<Met<K>, std::vector<Met<K>>, decltype(better)> frontier(better);  // best on top
    std::priority_queue<Met<K>, std::vector<Met<K>>, decltype(worse)> best(worse);        // worst kept on top
    visited.start(vertices);
    visited.check_in(entry);
    std::vector<uint32_t> fresh(graph.degree());
    std::vector<K> fresh_keys(graph.degree());
    keys(&entry, 1, fresh_keys.data());
    const Met<K> first{fresh_keys[0], entry};
    frontier.push(first);
    best.push(first);
    while (!frontier.empty()) {
        const Met<K> current = frontier.top();
        if (best.size() >= width && met_before(best.top(), current)) break;
        frontier.pop();
        const uint32_t* row = graph.row(current.vertex);
        // The neighbours' tags are scattered: all asked for before the first is read.
        uint32_t count = 0;
        for (; count < graph.degree() && row[count] != Adjacency::NONE; ++count) visited.prefetch(row[count]);
        size_t n = 0;
        for (uint32_t i = 0; i < count; ++i) {
            const uint32_t u = row[i];
            if (visited.check_in(u)) continue;
            fresh[n++] = u;
            prefetch(u);
        }
        if (n == 0) continue;
        keys(fresh.data(), n, fresh_keys.data());
        for (size_t i = 0; i < n; ++i) {
            const Met<K> m{fresh_keys[i], fresh[i]};
            if (best.size() < width || met_before(m, best.top())) {
                __builtin_prefetch(graph.row(m.vertex));  // likely expanded soon
                frontier.push(m);
                best.push(m);
                if (best.size() > width) best.pop();
            }
        }
    }
    kept.reserve(best.size());
    while (!best.empty()) {
        kept.push_back(best.top());
        best.pop();
    }
    std::reverse(kept.begin(), kept.end());
    return kept;
}

}  // namespace quillane::graph
