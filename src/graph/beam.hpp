// The beam search that both construction and queries run: from the entry vertex, keep the
// `width` best vertices met so far and expand the best one not yet expanded, until every
// kept vertex is expanded. "Better" is a higher key; equal keys go to the lower vertex
// number, and a NaN key counts as the lowest, so the walk and its result depend on nothing
// but the keys and the graph.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <vector>

#include "graph/adjacency.hpp"
#include "graph/visited.hpp"

namespace quillane::graph {

// A key and its vertex as one unsigned integer that orders as the walk ranks them: the
// higher integer ranks first. The key's bits are mapped to an order-preserving integer
// (-0 taken as +0, which compares equal to it; every NaN below every number) above the
// vertex number complemented, so that one integer comparison replaces three branches.
template <class K> struct Ranks;

template <> struct Ranks<float> {
    using Rank = uint64_t;
    static Rank of(float key, uint32_t vertex) {
        uint32_t order = 0;  // NaN
        if (!std::isnan(key)) {
            const uint32_t bits = std::bit_cast<uint32_t>(key == 0.0f ? 0.0f : key);
            order = (bits >> 31) != 0 ? ~bits : bits | 0x80000000u;
        }
        return (Rank{order} << 32) | (UINT32_MAX - vertex);
    }
    static uint32_t vertex(Rank r) { return UINT32_MAX - static_cast<uint32_t>(r); }
};

template <> struct Ranks<double> {
    using Rank = unsigned __int128;
    static Rank of(double key, uint32_t vertex) {
        uint64_t order = 0;  // NaN
        if (!std::isnan(key)) {
            const uint64_t bits = std::bit_cast<uint64_t>(key == 0.0 ? 0.0 : key);
            order = (bits >> 63) != 0 ? ~bits : bits | (uint64_t{1} << 63);
        }
        return (Rank{order} << 32) | (UINT32_MAX - vertex);
    }
    static uint32_t vertex(Rank r) { return UINT32_MAX - static_cast<uint32_t>(r); }
};

// Puts r among `ranks` (highest first, at most `width` of them, each distinct): its place,
// or SIZE_MAX when the set is full and r ranks after its last (one comparison).
template <class Rank> size_t offer(std::vector<Rank>& ranks, Rank r, size_t width) {
    if (ranks.size() == width && r < ranks.back()) return SIZE_MAX;
    const auto at = std::lower_bound(ranks.begin(), ranks.end(), r, std::greater<Rank>());
    const size_t place = static_cast<size_t>(at - ranks.begin());
    ranks.insert(at, r);
    if (ranks.size() > width) ranks.pop_back();
    return place;
}

// keys(vertices, n, out) gives the keys of n vertices met together (K: float or double);
// prefetch(v) is called for each as it is met, before keys asks for it. Returns the kept
// vertices, best first (at most `width`). `vertices`: the number of vertices (the visited
// table's size); the search meets only those that edges from the entry reach.
template <class K, class Keys, class Prefetch>
std::vector<uint32_t> beam_search(const Adjacency& graph, size_t vertices, uint32_t entry, size_t width,
                                  Visited& visited, Keys&& keys, Prefetch&& prefetch) {
    using Rank = typename Ranks<K>::Rank;
    if (vertices == 0 || width == 0) return {};
    // The kept vertices, best first, each with whether it was expanded. An expansion takes
    // the first one not expanded; a vertex that enters before it moves that point back.
    std::vector<Rank> beam;
    std::vector<uint8_t> expanded;
    beam.reserve(width + 1);
    expanded.reserve(width + 1);
    visited.start(vertices);
    visited.check_in(entry);
    std::vector<uint32_t> fresh(graph.degree());
    std::vector<K> fresh_keys(graph.degree());
    keys(&entry, 1, fresh_keys.data());
    beam.push_back(Ranks<K>::of(fresh_keys[0], entry));
    expanded.push_back(0);
    for (size_t next = 0; next < beam.size();) {
        if (expanded[next]) {
            ++next;
            continue;
        }
        expanded[next] = 1;
        const uint32_t* row = graph.row(Ranks<K>::vertex(beam[next]));
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
            const size_t at = offer(beam, Ranks<K>::of(fresh_keys[i], fresh[i]), width);
            if (at == SIZE_MAX) continue;
            expanded.insert(expanded.begin() + static_cast<std::ptrdiff_t>(at), 0);
            expanded.resize(beam.size());
            next = std::min(next, at);
            graph.prefetch(fresh[i]);  // likely expanded soon
        }
    }
    std::vector<uint32_t> kept(beam.size());
    for (size_t i = 0; i < beam.size(); ++i) kept[i] = Ranks<K>::vertex(beam[i]);
    return kept;
}

}  // namespace quillane::graph
