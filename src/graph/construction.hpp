// How the graph grows: new vertices are linked in rounds of growing size. Each round's
// searches read the graph as it stood at the round's start (so they may run on any number
// of threads), each new vertex keeps the best of what its search met, pruned by the rule
// below, and then every vertex that a new one chose takes it as a neighbour in turn, its
// list pruned again when full, in order of vertex and then of new vertex. The graph is the
// same at any thread count (docs/graph-index.md).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "graph/adjacency.hpp"
#include "graph/visited.hpp"
#include "index/metric.hpp"
#include "kernels/vector_sums.hpp"

namespace quillane::graph {

// The vectors construction measures, per vertex: its values (dim floats) and a scale
// (1 / |v| under cosine, else 1). Rows added now are read as given; earlier vertices as
// their codes decode.
struct BuildVectors {
    std::vector<const float*> values;
    std::vector<double> scales;
    size_t dim = 0;
    Metric metric = Metric::ip;
    // The active kernels' entry, asked for once per build rather than per distance.
    void (*sums)(const float*, const float*, size_t, kernels::VectorTerm, double*) = nullptr;
    void (*sums_of_four)(const float*, const float* const*, size_t, kernels::VectorTerm, double*) = nullptr;
};

// The distance that construction ranks by (smaller: nearer): minus the cosine under cosine,
// else the squared distance (also under ip: a graph of inner products links every vertex to
// the few of largest norm and leaves the others unreachable, while a search by inner
// product walks a Euclidean graph well). Sums in the eight lanes of compact/eight_sums.hpp:
// the same bits on every machine.
double build_distance(const BuildVectors& vectors, uint32_t a, uint32_t b);
// out[i] = build_distance(vectors, a, b[i]) for i < count (from_each: build_distance(vectors,
// b[i], a)), four at a time.
void build_distances(const BuildVectors& vectors, uint32_t a, const uint32_t* b, size_t count, double* out,
                     bool from_each = false);

// A candidate and its distance from the vertex being linked.
struct Near {
    double distance;
    uint32_t vertex;
};
// The candidates with their distances from v (build_distances), nearest first (ties by
// vertex number, NaN distances last).
std::vector<Near> nearest_first(const BuildVectors& vectors, uint32_t v, const std::vector<uint32_t>& candidates);

struct BuildOptions {
    uint32_t degree = 32;
    uint32_t width = 128;  // the beam of each new vertex's search
    unsigned threads = 0;
};

// The rounds' sizes: 1, 2, 4, ... doubling, never more than a fiftieth of the graph (at
// least 1), so later rounds search a graph that has most of its vertices.
size_t round_size(size_t previous, size_t graph_size);

// Links the vertices of `order` (entry numbers below vectors.values.size(), none linked
// yet), in that order, into `graph`, which has rows for every vertex and `linked` vertices
// linked already (none: order[0] must be `entry`, which starts every search). after(done)
// is called on the calling thread after each round.
void link(Adjacency& graph, const BuildVectors& vectors, const std::vector<uint32_t>& order, size_t linked,
          uint32_t entry, const BuildOptions& options, VisitedPool& pool,
          const std::function<void(size_t done)>& after = {});

// Each vertex's in-degree, from its edges (without allocating when `incoming` has room).
void count_incoming(const Adjacency& graph, std::vector<uint32_t>& incoming);

// Every vertex but `entry` left with no edge in, in vertex order, is given one (link's
// repair); `incoming` is scratch of graph.size() counts, sized by the caller beforehand
// when nothing may be allocated here.
void give_orphans_an_edge(Adjacency& graph, uint32_t entry, std::vector<uint32_t>& incoming);

// Every vertex reachable from `entry` by edges: in vertex order, each vertex no walk from
// the entry reaches is taken by a reached neighbour of its own, else by the entry, else by
// the first reached vertex that can (as repair takes it), and what it reaches is reached.
// Its scratch, reserved by the caller (n vertices, `degree` for the row) where nothing may
// be allocated; `incoming` must hold the in-degrees (as give_orphans_an_edge leaves them).
struct ReachScratch {
    std::vector<uint32_t> incoming;
    std::vector<uint8_t> reached;
    std::vector<uint32_t> stack, row;
    void reserve(size_t n, size_t degree) {
        incoming.reserve(n);
        reached.reserve(n);
        stack.reserve(n);
        row.reserve(degree);
    }
};
void reach_every_vertex(Adjacency& graph, uint32_t entry, ReachScratch& scratch);

// The pruning rule: candidates (vertices other than v) in order of distance from v (then
// vertex number); one is kept when it is nearer to v than to every vertex kept before it,
// until `degree` are kept. A vertex that pruning leaves with no edge in is given one back
// by its nearest neighbour (link's repair).
std::vector<uint32_t> prune(const BuildVectors& vectors, uint32_t v, std::vector<uint32_t> candidates,
                            uint32_t degree);

}  // namespace quillane::graph
