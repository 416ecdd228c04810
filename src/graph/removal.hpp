// How the graph closes around removed vertices: every vertex that loses a neighbour keeps
// the others and takes as many newcomers as it lost, the nearest of the removed neighbours'
// first neighbours that are far enough from each other (a vertex left with nothing takes
// candidates from farther through the removed ones, pruned by the construction rule); then
// the vertices left are renumbered in order, any left with no edge in gets one back, and
// any no walk from the entry reaches is taken in. Every step reads the graph as it stood
// before (or runs in vertex order), so the result is the same at any thread count
// (docs/graph-index.md).
#pragma once

#include <cstdint>
#include <vector>

#include "graph/adjacency.hpp"
#include "graph/construction.hpp"

namespace quillane::graph {

// The vertices not removed (removed[v] == 0) with a removed neighbour, in vertex order.
std::vector<uint32_t> losing_neighbours(const Adjacency& graph, const std::vector<uint8_t>& removed);

// Each vertex of `losing`'s new list (in the same order), as docs/graph-index.md says.
// Reads only the graph as it stands; lists on up to `threads` threads.
std::vector<std::vector<uint32_t>> relinked(const Adjacency& graph, const BuildVectors& vectors,
                                            const std::vector<uint8_t>& removed,
                                            const std::vector<uint32_t>& losing, uint32_t degree, unsigned threads);

// Which vertices relinked measures: those losing a neighbour and their candidates.
std::vector<uint8_t> measured_in_relinking(const Adjacency& graph, const std::vector<uint8_t>& removed,
                                           const std::vector<uint32_t>& losing);

}  // namespace quillane::graph
