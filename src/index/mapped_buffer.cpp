#include "mapped_buffer.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>
#include <utility>

namespace quillane {

MappedBuffer::MappedBuffer(MappedBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)),
      huge_(std::exchange(other.huge_, false)) {}

MappedBuffer& MappedBuffer::operator=(MappedBuffer&& other) noexcept {
    if (this != &other) {
        if (data_ != nullptr) munmap(data_, capacity_);
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        capacity_ = std::exchange(other.capacity_, 0);
        huge_ = std::exchange(other.huge_, false);
    }
    return *this;
}

MappedBuffer::~MappedBuffer() {
    if (data_ != nullptr) munmap(data_, capacity_);
}

void MappedBuffer::reserve(size_t bytes) {
    if (bytes <= capacity_) return;
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    size_t wanted = capacity_ + capacity_ / 2;  // geometric growth: amortised O(1) appends
    if (wanted < bytes) wanted = bytes;
    if (wanted > SIZE_MAX - page) throw std::bad_alloc();
    wanted = (wanted + page - 1) / page * page;
    void* moved = data_ == nullptr
                      ? mmap(nullptr, wanted, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                      : mremap(data_, capacity_, wanted, MREMAP_MAYMOVE);
    if (moved == MAP_FAILED) throw std::bad_alloc();
    data_ = static_cast<uint8_t*>(moved);
    capacity_ = wanted;
    // A large buffer is read at random (a graph's records and edges, a list's codes): with
    // 4 KiB pages most such reads also miss the translation cache. Advice only.
    if (huge_ || capacity_ >= HUGE_PAGES_FROM) madvise(data_, capacity_, MADV_HUGEPAGE);
}

void MappedBuffer::append(const void* bytes, size_t count) {
    if (count > SIZE_MAX - size_) throw std::bad_alloc();
    reserve(size_ + count);
    std::memcpy(data_ + size_, bytes, count);
    size_ += count;
}

void MappedBuffer::extend(size_t count) {
    if (count > capacity_ - size_) throw std::logic_error("extend past the reserved capacity");
    size_ += count;
}

void MappedBuffer::prefer_huge_pages() {
    huge_ = true;
    if (data_ != nullptr) madvise(data_, capacity_, MADV_HUGEPAGE);  // advice only: a refusal changes nothing
}

void MappedBuffer::truncate(size_t bytes, size_t spare) {
    if (bytes > size_ || spare > capacity_ - bytes) throw std::logic_error("truncate past the size");
    size_ = bytes;
    if (data_ == nullptr) return;
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t kept = std::max(page, (bytes + spare + page - 1) / page * page);
    std::memset(data_ + bytes, 0, std::min(kept, capacity_) - bytes);
    if (kept < capacity_) {
        // Shrinking in place cannot move or fail; if it did, the pages would simply stay.
        void* shrunk = mremap(data_, capacity_, kept, 0);
        if (shrunk != MAP_FAILED) capacity_ = kept;
    }
}

}  // namespace quillane
