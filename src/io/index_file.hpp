// Index files: one flat index, its quantizer's integers, ids and records, with CRC-32
// checksums of header and body (docs/index-file-format.md). Saving is atomic: a
// temporary file beside the target, flushed to disk, renamed over it. Loading checks
// the header, the sizes and the padding before anything else, then either reads the
// file with ordinary reads into the index's own memory (so that a file changed under it
// gives an error, never a signal) or maps the file and scans it in place.
#pragma once

#include <algorithm>
#include <cstdint>
#include <expected>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "index/family_parameters.hpp"
#include "index/flat_index.hpp"
#include "parallel/rows.hpp"

namespace quillane::io {

// A file that could not be read or written (os_errno: the system's error number) or
// whose content is not an index of the expected family (os_errno 0: the message says
// what is wrong).
struct FileError {
    int os_errno = 0;
    std::string message;
};
template <class T> using FileResult = std::expected<T, FileError>;

inline constexpr size_t HEADER_SIZE = 64;
// Version 1 holds inner-product indexes; version 2, written only for another metric, holds
// the metric in summary word 1 (compact and inverted-file indexes), so that a reader that
// knows only version 1 refuses such files instead of ranking them by inner product.
inline constexpr uint16_t FORMAT_VERSION = 2;

// The header's fields (the checksums apart).
struct IndexHeader {
    uint8_t family = 0;
    FamilyParameters parameters;
    uint32_t record_size = 0;
    uint64_t count = 0;
    uint32_t summary[2] = {0, 0};
    uint32_t body_crc = 0;  // as read; the writer computes its own
};

// Where each part of a file of `count` records of `record_size` bytes lies.
struct FileLayout {
    uint64_t ids = HEADER_SIZE;  // count * 8 bytes
    uint64_t records = 0;        // aligned to 64 bytes
    uint64_t end_of_records = 0;
    uint64_t size = 0;           // zero bytes after the records up to here
    static FileLayout of(uint64_t count, uint64_t record_size);  // no overflow: checked first
};

// The whole file image of an index: header, ids, records, padding and checksums.
void write_image(const IndexHeader& header, std::span<const uint64_t> ids,
                 std::span<const uint8_t> records, uint8_t* out);

// Writes the image to `path` atomically (temporary file, fsync, rename, fsync of the
// directory); on any failure the path is as it was and the temporary file is gone. The
// bytes go to the disk directly, past the page cache, in pieces of `direct_buffer` bytes
// from an aligned buffer; 0, or a filesystem that refuses direct writes (or pieces of
// that size), gives ordinary writes.
constexpr size_t DIRECT_BLOCK = 4096;
constexpr size_t DIRECT_BUFFER = size_t{4} << 20;
FileResult<void> save_image(const std::string& path, const IndexHeader& header,
                            std::span<const uint64_t> ids, std::span<const uint8_t> records,
                            size_t direct_buffer = DIRECT_BUFFER);

// A part of a file: pieces written one after another. A file is its header, then each
// section from a multiple of 64 with zeros to the next, then 64 zero bytes.
using Section = std::vector<std::span<const uint8_t>>;
uint64_t sections_size(std::span<const Section> sections);
// The whole file image of a header and sections, the body checksum computed.
void write_sections(const IndexHeader& header, std::span<const Section> sections, uint8_t* out);
// save_image of any sections.
FileResult<void> save_sections(const std::string& path, const IndexHeader& header, std::span<const Section> sections,
                               size_t direct_buffer = DIRECT_BUFFER);
// Where each section of a file lies when its sections have these sizes (from byte 64, each
// from a multiple of 64), and the file's size (64 zero bytes after the last).
struct SectionLayout {
    std::vector<uint64_t> offset, size;
    uint64_t total = 0;
};
SectionLayout layout_of_sections(std::span<const uint64_t> sizes);
// An image of exactly the layout's size (truncated, or trailing data, named as such) whose
// every byte between and after the sections is zero.
FileResult<void> check_section_padding(std::span<const uint8_t> image, const SectionLayout& layout);
// CRC-32 of bytes (zlib's), on every allowed core.
uint32_t crc32_of(std::span<const uint8_t> bytes);

// The header's checks: size, magic, version, header checksum, family.
FileResult<IndexHeader> read_header(std::span<const uint8_t> image, uint8_t family,
                                    const char* family_name);

// An index file's parts, wherever they are in memory: header, ids, the zeros between ids
// and records, records, the zeros after them.
struct FileParts {
    std::span<const uint8_t> header, ids, gap, records, tail;
};
// The sizes' checks: the count against the file's size (before any product of it), then
// the exact size.
FileResult<FileLayout> check_sizes(uint64_t file_size, const IndexHeader& header);
// The parts of a whole image of `count` records whose sizes were checked.
FileParts parts_of(std::span<const uint8_t> image, const FileLayout& layout, uint64_t count);
// The body's checks: zero padding, and with `verify` the body checksum.
FileResult<void> check_body(const FileParts& parts, const IndexHeader& header, bool verify);
// check_sizes and check_body of a whole image.
FileResult<void> check_layout(std::span<const uint8_t> image, const IndexHeader& header, bool verify);

// A regular file opened for reading, and its size; a directory is refused (EISDIR).
struct OpenFile {
    int fd = -1;
    uint64_t size = 0;
    OpenFile() = default;
    OpenFile(OpenFile&& o) noexcept : fd(std::exchange(o.fd, -1)), size(o.size) {}
    OpenFile& operator=(OpenFile&&) = delete;
    ~OpenFile();
};
FileResult<OpenFile> open_file(const std::string& path);
// Exactly n bytes at `offset` by ordinary reads; a file now shorter than that is damaged.
FileResult<void> read_at(const OpenFile& file, const std::string& path, uint64_t offset, uint8_t* out, size_t n);

// A read-only mapping of a whole file, unmapped when the last holder lets go; with
// `populate`, its pages are read in at once (faster when all of them are read next).
FileResult<std::shared_ptr<const std::span<const uint8_t>>> map_file(const std::string& path,
                                                                      bool populate = false);

FileError malformed(std::string message);

template <class Family> IndexHeader header_of(const FlatIndex<Family>& index) {
    IndexHeader h;
    h.family = Family::FILE_TAG;
    h.parameters = index.family().parameters();
    h.record_size = static_cast<uint32_t>(index.family().record_size());
    h.count = index.size();
    Family::summary_words(index.summary(), h.summary);
    return h;
}

template <class Family> uint64_t image_size(const FlatIndex<Family>& index) {
    return FileLayout::of(index.size(), index.family().record_size()).size;
}

template <class Family> void write_index(const FlatIndex<Family>& index, uint8_t* out) {
    write_image(header_of(index), index.id_list(), index.record_bytes(), out);
}

template <class Family> FileResult<void> save_index(const FlatIndex<Family>& index, const std::string& path) {
    return save_image(path, header_of(index), index.id_list(), index.record_bytes());
}

// The quantizer's integers and the record size in a header, checked.
template <class Family> FileResult<void> check_quantizer(const IndexHeader& header) {
    const FamilyParameters& p = header.parameters;
    if (auto ok = Family::check_parameters(p); !ok) {
        return std::unexpected(malformed("its quantizer's integers are refused: " + ok.error().message()));
    }
    if (Family::record_size_of(p) != header.record_size) {
        return std::unexpected(malformed("record size " + std::to_string(header.record_size) +
                                         " does not match its quantizer's " +
                                         std::to_string(Family::record_size_of(p))));
    }
    return {};
}

// Every record checked, in chunks on every allowed core; the lowest bad one named, and
// the header's summary must cover them all.
template <class Family>
FileResult<void> check_records(const Family& family, const IndexHeader& header, const uint8_t* records) {
    const size_t n = header.count, stride = header.record_size;
    const auto summary = Family::summary_from_words(header.summary);
    parallel::LowestFailure failure;
    std::mutex merging;
    auto seen = family.empty_summary();
    parallel::for_chunks(n, 4096, 0, [&](size_t begin, size_t end) {
        auto own = family.empty_summary();
        for (size_t i = begin; i < end && !failure.beyond(i); ++i) {
            auto checked = family.check_record({records + i * stride, stride});
            if (!checked) {
                failure.record(i, checked.error());
                return;
            }
            own.merge(*checked);
        }
        std::lock_guard lock(merging);
        seen.merge(own);
    });
    if (auto bad = failure.take()) {
        return std::unexpected(malformed("record " + std::to_string(bad->row) + " is not a stored code: " +
                                         bad->error.message()));
    }
    auto merged = seen;
    merged.merge(summary);
    uint32_t a[2], b[2];
    Family::summary_words(merged, a);
    Family::summary_words(summary, b);
    if (a[0] != b[0] || a[1] != b[1]) return std::unexpected(malformed("its summary does not cover its records"));
    return {};
}

// The family of a header whose checks passed, after, with `verify`, every record's.
template <class Family>
FileResult<Family> family_of(const IndexHeader& header, const uint8_t* records, bool verify) {
    auto family = Family::build(header.parameters);
    if (!family) return std::unexpected(malformed(family.error().message()));
    if (verify) {
        if (auto ok = check_records(*family, header, records); !ok) return std::unexpected(ok.error());
    }
    return std::move(*family);
}

// The index in `image`: its records copied (keep == nullptr) or viewed in place (the
// image stays mapped while `keep` lives). With `verify`, the body checksum and every
// record are checked too.
template <class Family>
FileResult<FlatIndex<Family>> read_index(std::span<const uint8_t> image, bool verify,
                                         std::shared_ptr<const void> keep = nullptr) {
    auto header = read_header(image, Family::FILE_TAG, Family::NAME);
    if (!header) return std::unexpected(header.error());
    if (auto ok = check_quantizer<Family>(*header); !ok) return std::unexpected(ok.error());
    if (auto ok = check_layout(image, *header, verify); !ok) return std::unexpected(ok.error());
    const FileLayout layout = FileLayout::of(header->count, header->record_size);
    const auto* ids = reinterpret_cast<const uint64_t*>(image.data() + layout.ids);
    const uint8_t* records = image.data() + layout.records;
    const size_t n = header->count, stride = header->record_size;
    auto family = family_of<Family>(*header, records, verify);
    if (!family) return std::unexpected(family.error());
    const auto summary = Family::summary_from_words(header->summary);
    if (keep) {
        return FlatIndex<Family>::viewing(std::move(*family), summary, std::move(keep), ids, records, n);
    }
    return FlatIndex<Family>::restored(std::move(*family), summary, {ids, n}, {records, n * stride});
}

// The index in the file at `path`, read with ordinary reads straight into the index's
// own buffers: the checks of read_index, in the same order, on what was read.
template <class Family>
FileResult<FlatIndex<Family>> read_index_file(const std::string& path, bool verify) {
    auto file = open_file(path);
    if (!file) return std::unexpected(file.error());
    uint8_t head[HEADER_SIZE];
    const size_t head_size = static_cast<size_t>(std::min<uint64_t>(file->size, HEADER_SIZE));
    if (auto ok = read_at(*file, path, 0, head, head_size); !ok) return std::unexpected(ok.error());
    auto header = read_header({head, head_size}, Family::FILE_TAG, Family::NAME);
    if (!header) return std::unexpected(header.error());
    if (auto ok = check_quantizer<Family>(*header); !ok) return std::unexpected(ok.error());
    auto layout = check_sizes(file->size, *header);
    if (!layout) return std::unexpected(layout.error());
    const size_t n = header->count, stride = header->record_size;
    MappedBuffer ids, records;
    ids.reserve(n * 8);
    records.reserve(n * stride + Family::SCAN_SLACK_BYTES);
    std::vector<uint8_t> gap(layout->records - (layout->ids + n * 8)), tail(layout->size - layout->end_of_records);
    for (auto [offset, out, size] : {std::tuple{layout->ids, ids.spare(), n * 8},
                                     std::tuple{layout->ids + n * 8, gap.data(), gap.size()},
                                     std::tuple{layout->records, records.spare(), n * stride},
                                     std::tuple{layout->end_of_records, tail.data(), tail.size()}}) {
        if (auto ok = read_at(*file, path, offset, out, size); !ok) return std::unexpected(ok.error());
    }
    ids.extend(n * 8);
    records.extend(n * stride);
    const FileParts parts{{head, HEADER_SIZE}, {ids.data(), n * 8}, gap, {records.data(), n * stride}, tail};
    if (auto ok = check_body(parts, *header, verify); !ok) return std::unexpected(ok.error());
    auto family = family_of<Family>(*header, records.data(), verify);
    if (!family) return std::unexpected(family.error());
    return FlatIndex<Family>::adopting(std::move(*family), Family::summary_from_words(header->summary),
                                       std::move(ids), std::move(records));
}

// mmap: a read-only index over the mapped file; else a copy read with ordinary reads.
template <class Family>
FileResult<FlatIndex<Family>> load_index(const std::string& path, bool map, bool verify) {
    if (!map) return read_index_file<Family>(path, verify);
    auto mapping = map_file(path, verify);
    if (!mapping) return std::unexpected(mapping.error());
    const std::span<const uint8_t> image = **mapping;
    return read_index<Family>(image, verify, std::shared_ptr<const void>(*mapping));
}

}  // namespace quillane::io
