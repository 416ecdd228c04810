#include "mapped_buffer.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <new>
#include <stdexcept>
#include <utility>

namespace quillane {

MappedBuffer::MappedBuffer(MappedBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

MappedBuffer& MappedBuffer::operator=(MappedBuffer&& other) noexcept {
    if (this != &other) {
        if (data_ != nullptr) munmap(data_, capacity_);
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        capacity_ = std::exchange(other.capacity_, 0);
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

}  // namespace quillane
