// Files of inverted-file indexes (docs/index-file-format.md, family 3): the common header,
// then the centroids, the lists' starts, each record's insertion number, the ids and the
// records, each list's records contiguous so that a mapped file is searched in place.
#pragma once

#include <string>

#include "io/index_file.hpp"
#include "ivf/ivf_index.hpp"

namespace quillane::io {

inline constexpr uint8_t IVF_FILE_TAG = 3;

uint64_t image_size(const ivf::IvfIndex& index);
void write_index(const ivf::IvfIndex& index, uint8_t* out);
FileResult<void> save_index(const ivf::IvfIndex& index, const std::string& path);

// The index in an image. Its lists point into the image, which `keep` holds (without
// one, into a copy of it); read_only refuses adds (a mapped file), otherwise a list
// copies its entries out before its first add. Or in a file, read into memory of its
// own, or mapped (read-only).
FileResult<ivf::IvfIndex> read_ivf_index(std::span<const uint8_t> image, bool verify,
                                         std::shared_ptr<const void> keep = nullptr, bool read_only = false);
FileResult<ivf::IvfIndex> load_ivf_index(const std::string& path, bool map, bool verify);

}  // namespace quillane::io
