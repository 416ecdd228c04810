// The graph's edges: each vertex (an entry number) has room for `degree` out-neighbours in
// one fixed block of 32-bit entry numbers, its used slots first and NONE after them, so a
// search reads a vertex's neighbours in one contiguous run and a file holds the blocks as
// they are.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "index/mapped_buffer.hpp"

namespace quillane::graph {

class Adjacency {
public:
    static constexpr uint32_t NONE = UINT32_MAX;

    explicit Adjacency(uint32_t degree) : degree_(degree) {}
    // The blocks of n vertices copied (`words`: n * degree values).
    static Adjacency restored(uint32_t degree, const uint32_t* words, size_t n);
    // A read-only view of n vertices' blocks that stay where they are (a mapped file that
    // `keep` holds); set, reserve, grow and truncate must not be called then.
    static Adjacency viewing(uint32_t degree, std::shared_ptr<const void> keep, const uint32_t* words, size_t n);

    uint32_t degree() const { return degree_; }
    size_t size() const { return keep_ ? viewed_ : slots_.size() / row_bytes(); }
    // Vertex v's block: its neighbours, then NONE up to degree().
    const uint32_t* row(size_t v) const { return words() + v * degree_; }
    size_t count(size_t v) const;
    // Asks for every cache line of v's block.
    void prefetch(size_t v) const {
        const char* block = reinterpret_cast<const char*>(row(v));
        for (size_t at = 0; at < row_bytes(); at += 64) __builtin_prefetch(block + at);
    }
    // Replaces v's neighbours (at most degree()).
    void set(size_t v, std::span<const uint32_t> neighbours);
    // Room for `vertices` in all (std::bad_alloc, or nothing changes), then rows for them,
    // empty, which cannot fail once reserved.
    void reserve(size_t vertices);
    void grow(size_t vertices);
    void truncate(size_t vertices);
    std::span<const uint8_t> bytes() const {
        return {reinterpret_cast<const uint8_t*>(words()), size() * row_bytes()};
    }

private:
    size_t row_bytes() const { return size_t{degree_} * sizeof(uint32_t); }
    const uint32_t* words() const { return keep_ ? view_ : reinterpret_cast<const uint32_t*>(slots_.data()); }
    uint32_t* words() { return reinterpret_cast<uint32_t*>(slots_.data()); }

    uint32_t degree_;
    MappedBuffer slots_;
    std::shared_ptr<const void> keep_;  // set: the blocks are view_'s
    const uint32_t* view_ = nullptr;
    size_t viewed_ = 0;
};

}  // namespace quillane::graph
