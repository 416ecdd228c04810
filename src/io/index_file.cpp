#include "index_file.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "format/bytes.hpp"
#include "parallel/pool.hpp"

namespace quillane::io {

namespace {

constexpr char MAGIC[8] = {'Q', 'U', 'I', 'L', 'L', 'I', 'D', 'X'};
// Field offsets in the header.
constexpr size_t VERSION = 8, FAMILY = 10, BITS = 11, RECORD_SIZE = 12, DIM = 16,
                 PROJECTIONS = 24, SEED = 32, COUNT = 40, SUMMARY = 48, BODY_CRC = 56,
                 HEADER_CRC = 60;

uint32_t crc_of(uint32_t crc, const uint8_t* p, size_t n) {
    if (n == 0) return crc;  // zlib takes a null pointer as "start over"
    return static_cast<uint32_t>(crc32_z(crc, p, n));
}

// The same checksum computed in pieces on every allowed core, then combined.
uint32_t parallel_crc(const uint8_t* p, size_t n) {
    constexpr size_t PIECE = size_t{8} << 20;
    const size_t pieces = (n + PIECE - 1) / PIECE;
    if (pieces <= 1) return crc_of(0, p, n);
    std::vector<uint32_t> crcs(pieces);
    parallel::for_chunks(pieces, 1, 0, [&](size_t begin, size_t end) {
        for (size_t i = begin; i < end; ++i) {
            crcs[i] = crc_of(0, p + i * PIECE, std::min(PIECE, n - i * PIECE));
        }
    });
    uLong crc = crcs[0];
    for (size_t i = 1; i < pieces; ++i) {
        crc = crc32_combine(crc, crcs[i], static_cast<z_off_t>(std::min(PIECE, n - i * PIECE)));
    }
    return static_cast<uint32_t>(crc);
}

uint32_t zero_crc(uint32_t crc, size_t n) {
    static const uint8_t zeros[64] = {};
    while (n > 0) {
        const size_t step = std::min<size_t>(n, sizeof zeros);
        crc = crc_of(crc, zeros, step);
        n -= step;
    }
    return crc;
}

void put64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
// The header bytes, the body checksum given; the header checksum goes last.
void write_header(const IndexHeader& h, uint32_t body_crc, uint8_t* out) {
    std::memset(out, 0, HEADER_SIZE);
    std::memcpy(out, MAGIC, sizeof MAGIC);
    const uint16_t version = h.parameters.metric != 0 ? 2 : 1;
    out[VERSION] = version & 0xFF;
    out[VERSION + 1] = version >> 8;
    out[FAMILY] = h.family;
    out[BITS] = h.parameters.bits;
    put32(out + RECORD_SIZE, h.record_size);
    put64(out + DIM, h.parameters.dim);
    put64(out + PROJECTIONS, h.parameters.projections);
    put64(out + SEED, h.parameters.seed);
    put64(out + COUNT, h.count);
    put32(out + SUMMARY, h.summary[0]);
    put32(out + SUMMARY + 4, version == 2 ? h.parameters.metric : h.summary[1]);
    put32(out + BODY_CRC, body_crc);
    put32(out + HEADER_CRC, crc_of(0, out, HEADER_CRC));
}

uint64_t section_bytes(const Section& s) {
    uint64_t n = 0;
    for (const auto& piece : s) n += piece.size();
    return n;
}

// The file's pieces in order (header, unless head is null; each section, then zeros to
// the next multiple of 64; 64 more zeros), each handed to `put(data, n)`; data == nullptr
// stands for n zero bytes.
template <class Put> bool put_image(const uint8_t* head, std::span<const Section> sections, Put&& put) {
    if (head != nullptr && !put(head, HEADER_SIZE)) return false;
    uint64_t at = HEADER_SIZE;
    for (const Section& s : sections) {
        for (const auto& piece : s) {
            if (!put(piece.data(), piece.size())) return false;
            at += piece.size();
        }
        const uint64_t padded = (at + 63) / 64 * 64;
        if (!put(nullptr, padded - at)) return false;
        at = padded;
    }
    return put(nullptr, 64);
}

// The body's checksum: sections and padding, as the file lays them out.
uint32_t body_crc(std::span<const Section> sections) {
    uint32_t crc = 0;
    put_image(nullptr, sections, [&](const uint8_t* data, size_t n) {
        crc = data ? crc_of(crc, data, n) : zero_crc(crc, n);
        return true;
    });
    return crc;
}

// The flat layout's two sections.
std::vector<Section> flat_sections(std::span<const uint64_t> ids, std::span<const uint8_t> records) {
    return {Section{{reinterpret_cast<const uint8_t*>(ids.data()), ids.size_bytes()}}, Section{records}};
}

FileError os_error(const std::string& what, const std::string& path) {
    const int e = errno;
    return FileError{e, what + " '" + path + "': " + std::strerror(e)};
}

// Writes all of `n` bytes, retrying short writes.
bool write_all(int fd, const void* data, size_t n) {
    const auto* p = static_cast<const uint8_t*>(data);
    while (n > 0) {
        const ssize_t w = ::write(fd, p, std::min<size_t>(n, size_t{1} << 30));
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

bool write_zeros(int fd, size_t n) {
    static const uint8_t zeros[64] = {};
    while (n > 0) {
        const size_t step = std::min<size_t>(n, sizeof zeros);
        if (!write_all(fd, zeros, step)) return false;
        n -= step;
    }
    return true;
}

bool write_buffered(int fd, const uint8_t* head, std::span<const Section> sections) {
    return put_image(head, sections, [&](const uint8_t* data, size_t n) {
        return data ? write_all(fd, data, n) : write_zeros(fd, n);
    });
}

enum class Direct { written, refused, failed };

// Copying a large file into the page cache costs this kind of machine several times what
// the disk itself takes; direct writes skip it. They need aligned memory, offsets and
// lengths: the image passes through an aligned buffer, the last block is padded with
// zeros and the file cut back to its size. `refused`: the filesystem will not take them.
Direct write_direct(int fd, const uint8_t* head, std::span<const Section> sections, uint64_t size,
                    size_t capacity) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_DIRECT) != 0) return Direct::refused;
    const size_t whole_blocks = (capacity + DIRECT_BLOCK - 1) / DIRECT_BLOCK * DIRECT_BLOCK;
    const std::unique_ptr<uint8_t, decltype(&std::free)> buffer(
        static_cast<uint8_t*>(std::aligned_alloc(DIRECT_BLOCK, whole_blocks)), &std::free);
    if (!buffer) throw std::bad_alloc();
    size_t filled = 0;
    bool refused = false;
    const auto flush = [&](size_t n) {
        if (write_all(fd, buffer.get(), n)) return true;
        refused = errno == EINVAL;  // alignment or direct writes not supported here
        return false;
    };
    const bool written = put_image(head, sections, [&](const uint8_t* data, size_t n) {
        while (n > 0) {
            const size_t step = std::min(n, capacity - filled);
            if (data) {
                std::memcpy(buffer.get() + filled, data, step);
                data += step;
            } else {
                std::memset(buffer.get() + filled, 0, step);
            }
            filled += step;
            n -= step;
            if (filled == capacity) {
                if (!flush(capacity)) return false;
                filled = 0;
            }
        }
        return true;
    });
    if (!written) return refused ? Direct::refused : Direct::failed;
    if (filled > 0) {  // the last piece, padded to whole blocks (room for it was allocated)
        const size_t padded = (filled + DIRECT_BLOCK - 1) / DIRECT_BLOCK * DIRECT_BLOCK;
        std::memset(buffer.get() + filled, 0, padded - filled);
        if (!flush(padded)) return refused ? Direct::refused : Direct::failed;
    }
    if (::ftruncate(fd, static_cast<off_t>(size)) != 0) return Direct::failed;
    return Direct::written;
}

std::string directory_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

FileError malformed(std::string message) { return FileError{0, std::move(message)}; }

FileLayout FileLayout::of(uint64_t count, uint64_t record_size) {
    FileLayout l;
    l.records = (l.ids + 8 * count + 63) / 64 * 64;
    l.end_of_records = l.records + count * record_size;
    // Zero bytes to the next multiple of 64, then 64 more: vector scans read a little
    // past the last record of a mapped file.
    l.size = (l.end_of_records + 63) / 64 * 64 + 64;
    return l;
}

uint64_t sections_size(std::span<const Section> sections) {
    uint64_t at = HEADER_SIZE;
    for (const Section& s : sections) at = (at + section_bytes(s) + 63) / 64 * 64;
    return at + 64;
}

SectionLayout layout_of_sections(std::span<const uint64_t> sizes) {
    SectionLayout l;
    uint64_t at = HEADER_SIZE;
    for (const uint64_t size : sizes) {
        l.offset.push_back(at);
        l.size.push_back(size);
        at = (at + size + 63) / 64 * 64;
    }
    l.total = at + 64;
    return l;
}

FileResult<void> check_section_padding(std::span<const uint8_t> image, const SectionLayout& l) {
    if (image.size() != l.total) {
        return std::unexpected(malformed(image.size() < l.total
                                             ? "truncated: " + std::to_string(image.size()) + " bytes, the header says " +
                                                   std::to_string(l.total)
                                             : std::to_string(image.size() - l.total) +
                                                   " bytes of trailing data after the index (the header says " +
                                                   std::to_string(l.total) + " bytes)"));
    }
    for (size_t s = 0; s < l.offset.size(); ++s) {
        const uint64_t end = l.offset[s] + l.size[s], next = s + 1 < l.offset.size() ? l.offset[s + 1] : l.total;
        for (uint64_t i = end; i < next; ++i) {
            if (image[i] != 0) return std::unexpected(malformed("padding byte " + std::to_string(i) + " is not zero"));
        }
    }
    return {};
}

uint32_t crc32_of(std::span<const uint8_t> bytes) { return parallel_crc(bytes.data(), bytes.size()); }

void write_sections(const IndexHeader& header, std::span<const Section> sections, uint8_t* out) {
    uint8_t* at = out + HEADER_SIZE;  // the header goes last, once the body's checksum is known
    put_image(nullptr, sections, [&](const uint8_t* data, size_t n) {
        if (data) {
            std::memcpy(at, data, n);
        } else {
            std::memset(at, 0, n);
        }
        at += n;
        return true;
    });
    write_header(header, crc_of(0, out + HEADER_SIZE, static_cast<size_t>(at - out) - HEADER_SIZE), out);
}

void write_image(const IndexHeader& header, std::span<const uint64_t> ids,
                 std::span<const uint8_t> records, uint8_t* out) {
    write_sections(header, flat_sections(ids, records), out);
}

FileResult<void> save_image(const std::string& path, const IndexHeader& header,
                            std::span<const uint64_t> ids, std::span<const uint8_t> records,
                            size_t direct_buffer) {
    return save_sections(path, header, flat_sections(ids, records), direct_buffer);
}

FileResult<void> save_sections(const std::string& path, const IndexHeader& header, std::span<const Section> sections,
                               size_t direct_buffer) {
    static std::atomic<uint64_t> serial{0};
    const uint64_t size = sections_size(sections);
    // A symbolic link is written through: its target gets the new file, the link stays.
    std::string target = path;
    struct stat link {};
    if (::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
        if (char* resolved = ::realpath(path.c_str(), nullptr)) {
            target = resolved;
            std::free(resolved);
        }
    }
    const std::string directory = directory_of(target);
    // A short name of its own, so that any name the directory allows can be saved to.
    const std::string temporary = directory + "/.ql-" + std::to_string(::getpid()) + "-" +
                                  std::to_string(serial.fetch_add(1)) + ".tmp";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return std::unexpected(os_error("cannot create a temporary file beside", path));
    auto fail = [&](const char* what) {
        FileError e = os_error(what, path);
        ::close(fd);
        ::unlink(temporary.c_str());
        return std::unexpected(e);
    };
    uint8_t head[HEADER_SIZE];
    write_header(header, body_crc(sections), head);
    Direct direct = Direct::refused;
    try {
        if (direct_buffer > 0) direct = write_direct(fd, head, sections, size, direct_buffer);
    } catch (...) {
        ::close(fd);
        ::unlink(temporary.c_str());
        throw;
    }
    if (direct == Direct::failed) return fail("cannot write");
    if (direct == Direct::refused) {
        // Ordinary writes from the start, over whatever the direct ones left.
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_DIRECT) != 0 || ::ftruncate(fd, 0) != 0 ||
            ::lseek(fd, 0, SEEK_SET) != 0 || !write_buffered(fd, head, sections)) {
            return fail("cannot write");
        }
    }
    if (::fsync(fd) != 0) return fail("cannot flush to disk");
    if (::close(fd) != 0) {
        FileError e = os_error("cannot close", path);
        ::unlink(temporary.c_str());
        return std::unexpected(e);
    }
    if (::rename(temporary.c_str(), target.c_str()) != 0) {
        FileError e = os_error("cannot rename the temporary file to", path);
        ::unlink(temporary.c_str());
        return std::unexpected(e);
    }
    // The rename itself reaches the disk with the directory.
    const int dir = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return std::unexpected(os_error("cannot open the directory of", path));
    const int synced = ::fsync(dir);
    const int saved = errno;
    ::close(dir);
    if (synced != 0) {
        errno = saved;
        return std::unexpected(os_error("cannot flush the directory of", path));
    }
    return {};
}

FileResult<IndexHeader> read_header(std::span<const uint8_t> image, uint8_t family,
                                    const char* family_name) {
    const uint8_t* p = image.data();
    const auto get32 = [&](size_t at) { return bytes::read_u32(image, at); };
    const auto get64 = [&](size_t at) { return bytes::read_u64(image, at); };
    if (image.size() < HEADER_SIZE) {
        return std::unexpected(malformed("too short for an index file: " + std::to_string(image.size()) +
                                         " bytes, the header alone is 64"));
    }
    if (std::memcmp(p, MAGIC, sizeof MAGIC) != 0) {
        return std::unexpected(malformed("not a quillane index file (its first 8 bytes are not \"QUILLIDX\")"));
    }
    const uint16_t version = static_cast<uint16_t>(p[VERSION] | p[VERSION + 1] << 8);
    if (version == 0 || version > FORMAT_VERSION) {
        return std::unexpected(malformed(
            "index file format version " + std::to_string(version) +
            (version > FORMAT_VERSION ? " is newer than this library reads (1 and 2)"
                                      : " is not one this library reads (1 and 2)")));
    }
    if (get32(HEADER_CRC) != crc_of(0, p, HEADER_CRC)) {
        return std::unexpected(malformed("header checksum mismatch: the header is damaged"));
    }
    IndexHeader h;
    h.family = p[FAMILY];
    if (h.family != family) {
        const std::string held = h.family == 1 ? "a two-stage index (VectorIndex)"
                                 : h.family == 2 ? "a compact index (CompactIndex)"
                                 : h.family == 3 ? "an inverted-file index (IvfIndex)"
                                 : h.family == 4 ? "a graph index (GraphIndex)"
                                                 : "an unknown code family " + std::to_string(h.family);
        const bool vowel = std::string_view("aeiou").find(family_name[0]) != std::string_view::npos;
        return std::unexpected(
            malformed(std::string("the file holds ") + held + (vowel ? ", not an " : ", not a ") + family_name + " index"));
    }
    h.parameters = {get64(DIM), p[BITS], get64(PROJECTIONS), get64(SEED)};
    h.record_size = get32(RECORD_SIZE);
    h.count = get64(COUNT);
    h.summary[0] = get32(SUMMARY);
    h.summary[1] = get32(SUMMARY + 4);
    h.body_crc = get32(BODY_CRC);
    if (version == 2) {
        if (h.family == 1) return std::unexpected(malformed("a two-stage index file is always of format version 1"));
        if (h.summary[1] == 0 || h.summary[1] > 2) {
            return std::unexpected(malformed("unknown metric " + std::to_string(h.summary[1]) + " in a version 2 file"));
        }
        h.parameters.metric = static_cast<uint8_t>(h.summary[1]);
        h.summary[1] = 0;
    }
    return h;
}

FileResult<FileLayout> check_sizes(uint64_t file_size, const IndexHeader& h) {
    // Every record takes its size plus 8 bytes of id.
    const uint64_t per_entry = uint64_t{h.record_size} + 8;
    if (h.record_size == 0 || h.count > (file_size - HEADER_SIZE) / per_entry) {
        return std::unexpected(malformed("truncated or damaged: " + std::to_string(h.count) + " records of " +
                                         std::to_string(h.record_size) + " bytes do not fit in " +
                                         std::to_string(file_size) + " bytes"));
    }
    const FileLayout l = FileLayout::of(h.count, h.record_size);
    if (file_size < l.size) {
        return std::unexpected(malformed("truncated: " + std::to_string(file_size) + " bytes, the header says " +
                                         std::to_string(l.size)));
    }
    if (file_size > l.size) {
        return std::unexpected(malformed(std::to_string(file_size - l.size) +
                                         " bytes of trailing data after the index (the header says " +
                                         std::to_string(l.size) + " bytes)"));
    }
    return l;
}

FileParts parts_of(std::span<const uint8_t> image, const FileLayout& l, uint64_t count) {
    const uint64_t ids_end = l.ids + 8 * count;
    return {image.subspan(0, HEADER_SIZE), image.subspan(l.ids, ids_end - l.ids),
            image.subspan(ids_end, l.records - ids_end), image.subspan(l.records, l.end_of_records - l.records),
            image.subspan(l.end_of_records, l.size - l.end_of_records)};
}

FileResult<void> check_body(const FileParts& parts, const IndexHeader& h, bool verify) {
    const uint64_t gap_start = HEADER_SIZE + parts.ids.size();
    const uint64_t tail_start = gap_start + parts.gap.size() + parts.records.size();
    for (const auto& [start, zeros] : {std::pair{gap_start, parts.gap}, std::pair{tail_start, parts.tail}}) {
        for (size_t i = 0; i < zeros.size(); ++i) {
            if (zeros[i] != 0) return std::unexpected(malformed("padding byte " + std::to_string(start + i) + " is not zero"));
        }
    }
    if (verify) {
        // The body's checksum from its parts' checksums, in file order.
        uLong crc = parallel_crc(parts.ids.data(), parts.ids.size());
        crc = crc_of(static_cast<uint32_t>(crc), parts.gap.data(), parts.gap.size());
        crc = crc32_combine(crc, parallel_crc(parts.records.data(), parts.records.size()),
                            static_cast<z_off_t>(parts.records.size()));
        crc = crc_of(static_cast<uint32_t>(crc), parts.tail.data(), parts.tail.size());
        if (h.body_crc != static_cast<uint32_t>(crc)) {
            return std::unexpected(malformed("body checksum mismatch: the ids or records are damaged"));
        }
    }
    return {};
}

FileResult<void> check_layout(std::span<const uint8_t> image, const IndexHeader& h, bool verify) {
    auto l = check_sizes(image.size(), h);
    if (!l) return std::unexpected(l.error());
    return check_body(parts_of(image, *l, h.count), h, verify);
}

OpenFile::~OpenFile() {
    if (fd >= 0) ::close(fd);
}

FileResult<OpenFile> open_file(const std::string& path) {
    OpenFile file;
    file.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (file.fd < 0) return std::unexpected(os_error("cannot open", path));
    struct stat st {};
    if (::fstat(file.fd, &st) != 0) return std::unexpected(os_error("cannot read the size of", path));
    if (S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        return std::unexpected(os_error("cannot load", path));
    }
    file.size = static_cast<uint64_t>(st.st_size);
    return file;
}

FileResult<void> read_at(const OpenFile& file, const std::string& path, uint64_t offset, uint8_t* out, size_t n) {
    while (n > 0) {
        const ssize_t got = ::pread(file.fd, out, std::min<size_t>(n, size_t{1} << 30), static_cast<off_t>(offset));
        if (got < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(os_error("cannot read", path));
        }
        if (got == 0) {
            return std::unexpected(malformed("truncated while it was read: it ends at byte " + std::to_string(offset) +
                                             ", before the size it had when opened (" + std::to_string(file.size) +
                                             " bytes)"));
        }
        out += got;
        offset += static_cast<uint64_t>(got);
        n -= static_cast<size_t>(got);
    }
    return {};
}

FileResult<std::shared_ptr<const std::span<const uint8_t>>> map_file(const std::string& path, bool populate) {
    auto file = open_file(path);
    if (!file) return std::unexpected(file.error());
    const size_t size = static_cast<size_t>(file->size);
    if (size == 0) return std::make_shared<const std::span<const uint8_t>>();
    void* at = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | (populate ? MAP_POPULATE : 0), file->fd, 0);
    if (at == MAP_FAILED) return std::unexpected(os_error("cannot map", path));
    // The mapping keeps the file once its descriptor closes.
    auto* view = new std::span<const uint8_t>(static_cast<const uint8_t*>(at), size);
    return std::shared_ptr<const std::span<const uint8_t>>(view, [](const std::span<const uint8_t>* v) {
        ::munmap(const_cast<uint8_t*>(v->data()), v->size());
        delete v;
    });
}

}  // namespace quillane::io
