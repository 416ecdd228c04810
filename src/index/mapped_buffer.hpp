// A growable byte buffer in an anonymous mapping of its own. Growing moves the pages
// (mremap) instead of copying them, so an index never holds two copies of its codes
// while it grows, and its memory goes back to the system when it is freed.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillane {

class MappedBuffer {
public:
    // Buffers of at least this capacity ask for huge pages (prefer_huge_pages) as they grow.
    static constexpr size_t HUGE_PAGES_FROM = size_t{8} << 20;

    MappedBuffer() = default;
    MappedBuffer(MappedBuffer&& other) noexcept;
    MappedBuffer& operator=(MappedBuffer&& other) noexcept;
    MappedBuffer(const MappedBuffer&) = delete;
    MappedBuffer& operator=(const MappedBuffer&) = delete;
    ~MappedBuffer();

    // Room for at least `bytes` bytes in all; std::bad_alloc leaves the buffer as it was.
    // Bytes past size() up to capacity() are mapped (readable, zero until written).
    void reserve(size_t bytes);
    // Copies `count` bytes to the end; std::bad_alloc leaves the buffer as it was.
    void append(const void* bytes, size_t count);
    // The bytes past size(), up to capacity(), to be written in place and then taken in by
    // extend(count) (count <= capacity() - size()): a batch fills them and commits at once.
    uint8_t* spare() { return data_ + size_; }
    void extend(size_t count);
    // Keeps the first `bytes` bytes (bytes <= size()); the next `spare` bytes stay mapped and
    // are zeroed with the rest of their page, and the pages after it go back to the system.
    void truncate(size_t bytes, size_t spare);
    uint8_t* data() { return data_; }
    // Asks for huge pages under the buffer, now and after every growth (where the system
    // grants them on request): randomly read tables then miss the translation cache far
    // less often.
    void prefer_huge_pages();

    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }
    size_t capacity() const { return capacity_; }

private:
    uint8_t* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
    bool huge_ = false;
};

}  // namespace quillane
