// Which vertices a search has met: a tag per vertex, the search's number when met, so that
// a new search starts by taking the next number instead of clearing the table (but once
// every 255 searches). Searches
// borrow tables from a pool and give them back, so a table's memory is made once per
// thread that searches at the same time, not once per search.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace quillane::graph {

class Visited {
public:
    // A new search over `vertices` vertices: none met yet.
    void start(size_t vertices) {
        if (tags_.size() < vertices) tags_.resize(vertices, 0);
        if (++current_ == 0) {  // the numbers wrapped: clear once every 255 searches
            std::fill(tags_.begin(), tags_.end(), 0);
            current_ = 1;
        }
    }
    void prefetch(uint32_t v) const { __builtin_prefetch(tags_.data() + v); }
    // Whether v was met before; marks it met.
    bool check_in(uint32_t v) {
        if (tags_[v] == current_) return true;
        tags_[v] = current_;
        return false;
    }

private:
    // A byte per vertex: a table a quarter the size stays in a nearer cache.
    std::vector<uint8_t> tags_;
    uint8_t current_ = 0;
};

class VisitedPool {
public:
    // A table for one search, back in the pool when the handle goes.
    struct Handle {
        VisitedPool* pool;
        std::unique_ptr<Visited> table;
        Handle(VisitedPool* p, std::unique_ptr<Visited> t) : pool(p), table(std::move(t)) {}
        Handle(Handle&&) = default;
        Handle& operator=(Handle&&) = delete;
        ~Handle() {
            if (table) pool->give_back(std::move(table));
        }
        Visited& operator*() { return *table; }
    };
    Handle take() {
        std::lock_guard lock(mutex_);
        if (free_.empty()) return {this, std::make_unique<Visited>()};
        auto table = std::move(free_.back());
        free_.pop_back();
        return {this, std::move(table)};
    }

private:
    void give_back(std::unique_ptr<Visited> table) {
        std::lock_guard lock(mutex_);
        free_.push_back(std::move(table));
    }
    std::mutex mutex_;
    std::vector<std::unique_ptr<Visited>> free_;
};

}  // namespace quillane::graph
