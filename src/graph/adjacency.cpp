#include "adjacency.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace quillane::graph {

Adjacency Adjacency::restored(uint32_t degree, const uint32_t* words, size_t n) {
    Adjacency a(degree);
    a.slots_.reserve(n * a.row_bytes());
    if (n > 0) a.slots_.append(words, n * a.row_bytes());
    return a;
}

Adjacency Adjacency::viewing(uint32_t degree, std::shared_ptr<const void> keep, const uint32_t* words, size_t n) {
    Adjacency a(degree);
    a.keep_ = std::move(keep);
    a.view_ = words;
    a.viewed_ = n;
    return a;
}

size_t Adjacency::count(size_t v) const {
    const uint32_t* r = row(v);
    size_t n = 0;
    while (n < degree_ && r[n] != NONE) ++n;
    return n;
}

void Adjacency::set(size_t v, std::span<const uint32_t> neighbours) {
    if (neighbours.size() > degree_) throw std::logic_error("more neighbours than the degree");
    uint32_t* r = words() + v * degree_;
    std::copy(neighbours.begin(), neighbours.end(), r);
    std::fill(r + neighbours.size(), r + degree_, NONE);
}

void Adjacency::reserve(size_t vertices) { slots_.reserve(vertices * row_bytes()); }

void Adjacency::grow(size_t vertices) {
    const size_t have = size();
    if (vertices <= have) return;
    std::memset(slots_.spare(), 0xFF, (vertices - have) * row_bytes());  // every slot NONE
    slots_.extend((vertices - have) * row_bytes());
}

void Adjacency::truncate(size_t vertices) { slots_.truncate(std::min(vertices, size()) * row_bytes(), 0); }

}  // namespace quillane::graph
