// Index files: one flat index, its quantizer's integers, ids and records, with CRC-32
// checksums of header and body (docs/index-file-format.md). Saving is atomic: a
// temporary file beside the target, flushed to disk, renamed over it. Loading checks
// the header, the sizes and the padding before anything else, copies the records or
// maps the file and scans it in place.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <mutex>
#include <span>
#include <string>
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
inline constexpr uint16_t FORMAT_VERSION = 1;

// The header's fields (the checksums apart).
struct IndexHeader {
    uint8_t family = 0;
    FamilyParameters parameters;
    uint32_t record_size = 0;
    uint64_t count = 0;
    uint32_t summary[2] = {0, 0};
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

// The header's checks: size, magic, version, header checksum, family.
FileResult<IndexHeader> read_header(std::span<const uint8_t> image, uint8_t family,
                                    const char* family_name);
// The body's: the count against the image's size (before any product of it), the exact
// size, zero padding, and with `verify` the body checksum.
FileResult<void> check_layout(std::span<const uint8_t> image, const IndexHeader& header, bool verify);

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

// The index in `image`: its records copied (keep == nullptr) or viewed in place (the
// image stays mapped while `keep` lives). With `verify`, the body checksum and every
// record are checked too.
template <class Family>
FileResult<FlatIndex<Family>> read_index(std::span<const uint8_t> image, bool verify,
                                         std::shared_ptr<const void> keep = nullptr) {
    auto header = read_header(image, Family::FILE_TAG, Family::NAME);
    if (!header) return std::unexpected(header.error());
    const FamilyParameters& p = header->parameters;
    if (auto ok = Family::check_parameters(p); !ok) {
        return std::unexpected(malformed("its quantizer's integers are refused: " + ok.error().message()));
    }
    if (Family::record_size_of(p) != header->record_size) {
        return std::unexpected(malformed("record size " + std::to_string(header->record_size) +
                                         " does not match its quantizer's " +
                                         std::to_string(Family::record_size_of(p))));
    }
    if (auto laid_out = check_layout(image, *header, verify); !laid_out) {
        return std::unexpected(laid_out.error());
    }
    auto quantizer = Family::build(p);
    if (!quantizer) return std::unexpected(malformed(quantizer.error().message()));
    const FileLayout layout = FileLayout::of(header->count, header->record_size);
    const auto* ids = reinterpret_cast<const uint64_t*>(image.data() + layout.ids);
    const uint8_t* records = image.data() + layout.records;
    const size_t n = header->count, stride = header->record_size;
    const auto summary = Family::summary_from_words(header->summary);
    if (verify) {
        // Every record checked, in chunks on every allowed core; the lowest bad one named.
        const Family family(*quantizer);
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
        if (a[0] != b[0] || a[1] != b[1]) {
            return std::unexpected(malformed("its summary does not cover its records"));
        }
    }
    if (keep) {
        return FlatIndex<Family>::viewing(std::move(*quantizer), summary, std::move(keep), ids, records, n);
    }
    return FlatIndex<Family>::restored(std::move(*quantizer), summary, {ids, n}, {records, n * stride});
}

template <class Family>
FileResult<FlatIndex<Family>> load_index(const std::string& path, bool map, bool verify) {
    // A copy is read from the mapping too: one pass over the file's pages.
    auto mapping = map_file(path, verify || !map);
    if (!mapping) return std::unexpected(mapping.error());
    const std::span<const uint8_t> image = **mapping;
    return read_index<Family>(image, verify, map ? std::shared_ptr<const void>(*mapping) : nullptr);
}

}  // namespace quillane::io
